// Windows only: the HID port (SetupAPI and hid.dll passthrough); nothing else lives here.
#include "platform/win32.h"

#include <setupapi.h>
// mingw's hidsdi.h declares hid.dll's functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/hid_port.h"

namespace vtrl {

namespace {

HANDLE AsHandle(HidHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

class WindowsHidPort final : public HidPort {
  public:
    bool BeginEnumeration() override {
        EndEnumeration();
        HidD_GetHidGuid(&hid_guid_);
        HDEVINFO set = SetupDiGetClassDevsA(&hid_guid_, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) {
            return false;
        }
        set_ = set;
        return true;
    }

    bool EnumerateInterface(uint32_t index, std::string* path) override {
        if (set_ == INVALID_HANDLE_VALUE) {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return false;
        }
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &hid_guid_, index, &data)) {
            return false;
        }
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set_, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            return true;  // no path: the open that follows fails and the link skips it
        }
        // Allocated as DWORDs so that the detail record is aligned.
        std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD) + 1);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set_, &data, detail, size, nullptr, nullptr)) {
            *path = detail->DevicePath;
        }
        return true;
    }

    void EndEnumeration() override {
        if (set_ != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set_);
            set_ = INVALID_HANDLE_VALUE;
        }
    }

    HidHandle Open(const std::string& path) override {
        // GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE
        HANDLE h = CreateFileA(path.c_str(), 0xC0100000, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE || h == nullptr) {
            return kNoHidHandle;
        }
        return reinterpret_cast<HidHandle>(h);
    }

    void Close(HidHandle handle) override {
        CancelIo(handle);
        CloseHandle(AsHandle(handle));
    }

    bool GetAttributes(HidHandle handle, HidAttributes* attributes) override {
        HIDD_ATTRIBUTES a{};
        a.Size = sizeof a;
        if (!HidD_GetAttributes(AsHandle(handle), &a)) {
            return false;
        }
        attributes->vendor_id = a.VendorID;
        attributes->product_id = a.ProductID;
        attributes->version_number = a.VersionNumber;
        return true;
    }

    bool GetNumInputBuffers(HidHandle handle, uint32_t* count) override {
        ULONG n = 0;
        if (!HidD_GetNumInputBuffers(AsHandle(handle), &n)) {
            return false;
        }
        *count = n;
        return true;
    }

    bool SetNumInputBuffers(HidHandle handle, uint32_t count) override {
        return HidD_SetNumInputBuffers(AsHandle(handle), count) != FALSE;
    }

    bool GetIndexedString(HidHandle handle, uint32_t index, uint16_t* buffer,
                          size_t buffer_bytes) override {
        return HidD_GetIndexedString(AsHandle(handle), index, buffer,
                                     static_cast<ULONG>(buffer_bytes)) != FALSE;
    }

    bool FlushQueue(HidHandle handle) override {
        return HidD_FlushQueue(AsHandle(handle)) != FALSE;
    }

    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override {
        return HidD_GetFeature(AsHandle(handle), report, static_cast<ULONG>(length)) != FALSE;
    }

    HidIoRecord CreateIoRecord() override {
        auto record = std::make_unique<Record>();
        // Auto-reset, not signalled, unnamed.
        record->overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (record->overlapped.hEvent == nullptr) {
            return kNoHidIoRecord;
        }
        HidIoRecord id = reinterpret_cast<HidIoRecord>(record.get());
        records_[id] = std::move(record);
        return id;
    }

    void CloseIoRecord(HidIoRecord id) override {
        auto it = records_.find(id);
        if (it == records_.end()) {
            return;
        }
        if (it->second->io_handle != nullptr) {
            ::CancelIo(it->second->io_handle);
        }
        Settle(*it->second);
        CloseHandle(it->second->overlapped.hEvent);
        records_.erase(it);
    }

    bool StartWrite(HidHandle handle, HidIoRecord id, const uint8_t* report, size_t length,
                    uint32_t* transferred) override {
        *transferred = 0;
        Record* record = Find(id);
        if (record == nullptr) {
            return false;
        }
        Arm(*record, handle);
        DWORD written = 0;
        BOOL ok = WriteFile(AsHandle(handle), report, static_cast<DWORD>(length), &written,
                            &record->overlapped);
        *transferred = written;
        return ok != FALSE;
    }

    bool StartRead(HidHandle handle, HidIoRecord id, uint8_t* report, size_t length) override {
        Record* record = Find(id);
        if (record == nullptr) {
            return false;
        }
        Arm(*record, handle);
        DWORD read = 0;
        return ReadFile(AsHandle(handle), report, static_cast<DWORD>(length), &read,
                        &record->overlapped) != FALSE;
    }

    HidWait Wait(HidIoRecord id, uint32_t timeout_ms) override {
        Record* record = Find(id);
        if (record == nullptr) {
            return HidWait::kFailed;
        }
        switch (WaitForSingleObject(record->overlapped.hEvent, timeout_ms)) {
            case WAIT_OBJECT_0: {
                // The event also comes when the I/O ended in an error (the
                // device went away); the report buffer then still holds the
                // previous report, whose echo could match.
                DWORD transferred = 0;
                const BOOL ok = record->io_handle == nullptr ||
                                GetOverlappedResult(record->io_handle, &record->overlapped,
                                                    &transferred, FALSE);
                record->io_handle = nullptr;
                return ok ? HidWait::kSignalled : HidWait::kFailed;
            }
            case WAIT_TIMEOUT:
                return HidWait::kTimedOut;
            default:
                return HidWait::kFailed;
        }
    }

    void CancelIo(HidHandle handle) override {
        DWORD error = GetLastError();
        ::CancelIo(AsHandle(handle));
        for (const auto& entry : records_) {
            if (entry.second->io_handle == AsHandle(handle)) {
                Settle(*entry.second);
            }
        }
        SetLastError(error);
    }

    uint32_t LastError() override { return GetLastError(); }

    void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }

  private:
    struct Record {
        OVERLAPPED overlapped{};
        HANDLE io_handle = nullptr;  // handle of the I/O last started, until it is known done
    };

    Record* Find(HidIoRecord id) {
        auto it = records_.find(id);
        if (it == records_.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return it->second.get();
    }

    static void Arm(Record& record, HidHandle handle) {
        HANDLE event = record.overlapped.hEvent;
        record.overlapped = OVERLAPPED{};
        record.overlapped.hEvent = event;
        record.io_handle = AsHandle(handle);
    }

    // Waits (boundedly: a driver that never completes a cancelled request
    // must not hang the program) for a cancelled or finished I/O to let go of
    // its buffer, and leaves the event clear for the next one.
    static void Settle(Record& record) {
        if (record.io_handle != nullptr && !HasOverlappedIoCompleted(&record.overlapped)) {
            WaitForSingleObject(record.overlapped.hEvent, kSettleWaitMs);
        }
        record.io_handle = nullptr;
        ResetEvent(record.overlapped.hEvent);
    }

    static constexpr DWORD kSettleWaitMs = 1000;

    GUID hid_guid_{};
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    std::map<HidIoRecord, std::unique_ptr<Record>> records_;
};

}  // namespace

HidPort& NativeHidPort() {
    // Never destroyed: the USB link closes its records at program end.
    static WindowsHidPort* port = new WindowsHidPort;
    return *port;
}

}  // namespace vtrl
