// Windows only: the HID port (SetupAPI and hid.dll passthrough); nothing else lives here.
#include "platform/windows/win32.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/hid_port.h"
#include "link/windows/hid_api.h"

namespace vtrl {

namespace {

// A function of a loaded module as the type of the table's field.
template <typename Function>
void Resolve(HMODULE module, const char* name, Function* field) {
    *field = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// hid.dll from the system folder, by its full path; LOAD_WITH_ALTERED_SEARCH_PATH
// has what it imports looked for beside it (in the system folder) too.  All
// of its calls or none: a hid.dll that lacks one is not used.
void LoadSystemHidDll(HidApi* api) {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    const std::wstring path = std::wstring(folder, length) + L"\\hid.dll";
    HMODULE hid = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (hid == nullptr) {
        // Where the search is limited to the system folder already, the plain
        // load of the full path finds its imports there.
        hid = LoadLibraryExW(path.c_str(), nullptr, 0);
    }
    if (hid == nullptr) {
        return;
    }
    HidApi loaded = *api;
    Resolve(hid, "HidD_GetHidGuid", &loaded.get_hid_guid);
    Resolve(hid, "HidD_GetAttributes", &loaded.get_attributes);
    Resolve(hid, "HidD_GetPreparsedData", &loaded.get_preparsed_data);
    Resolve(hid, "HidD_FreePreparsedData", &loaded.free_preparsed_data);
    Resolve(hid, "HidP_GetCaps", &loaded.get_caps);
    Resolve(hid, "HidD_GetNumInputBuffers", &loaded.get_num_input_buffers);
    Resolve(hid, "HidD_SetNumInputBuffers", &loaded.set_num_input_buffers);
    Resolve(hid, "HidD_GetIndexedString", &loaded.get_indexed_string);
    Resolve(hid, "HidD_FlushQueue", &loaded.flush_queue);
    Resolve(hid, "HidD_GetFeature", &loaded.get_feature);
    if (loaded.get_hid_guid == nullptr || loaded.get_attributes == nullptr ||
        loaded.get_preparsed_data == nullptr || loaded.free_preparsed_data == nullptr ||
        loaded.get_caps == nullptr || loaded.get_num_input_buffers == nullptr ||
        loaded.set_num_input_buffers == nullptr || loaded.get_indexed_string == nullptr ||
        loaded.flush_queue == nullptr || loaded.get_feature == nullptr) {
        FreeLibrary(hid);
        return;
    }
    // Kept loaded for the rest of the run.
    *api = loaded;
}

HidApi MakeSystemHidApi() {
    HidApi api{};
    api.get_class_devs = ::SetupDiGetClassDevsA;
    api.enum_device_interfaces = ::SetupDiEnumDeviceInterfaces;
    api.get_device_interface_detail = ::SetupDiGetDeviceInterfaceDetailA;
    api.destroy_device_info_list = ::SetupDiDestroyDeviceInfoList;
    api.create_file = ::CreateFileA;
    api.close_handle = ::CloseHandle;
    api.create_event = ::CreateEventA;
    api.reset_event = ::ResetEvent;
    api.write_file = ::WriteFile;
    api.read_file = ::ReadFile;
    api.wait_for_single_object = ::WaitForSingleObject;
    api.get_overlapped_result = ::GetOverlappedResult;
    api.cancel_io = ::CancelIo;
    api.get_last_error = ::GetLastError;
    api.set_last_error = ::SetLastError;
    LoadSystemHidDll(&api);
    return api;
}

const HidApi* g_api = nullptr;

const HidApi& Api() {
    return g_api != nullptr ? *g_api : SystemHidApi();
}

HANDLE AsHandle(HidHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

class WindowsHidPort final : public HidPort {
  public:
    bool BeginEnumeration() override {
        EndEnumeration();
        const HidApi& api = Api();
        if (api.get_hid_guid == nullptr) {
            // No hid.dll in the system folder: no HID interface to find.
            api.set_last_error(ERROR_MOD_NOT_FOUND);
            return false;
        }
        api.get_hid_guid(&hid_guid_);
        HDEVINFO set =
            api.get_class_devs(&hid_guid_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) {
            return false;
        }
        set_ = set;
        return true;
    }

    bool EnumerateInterface(uint32_t index, std::string* path) override {
        const HidApi& api = Api();
        if (set_ == INVALID_HANDLE_VALUE) {
            api.set_last_error(ERROR_NO_MORE_ITEMS);
            return false;
        }
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!api.enum_device_interfaces(set_, nullptr, &hid_guid_, index, &data)) {
            return false;
        }
        DWORD size = 0;
        api.get_device_interface_detail(set_, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            return true;  // no path: the open that follows fails and the link skips it
        }
        // Allocated as DWORDs so that the detail record is aligned.
        std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD) + 1);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (api.get_device_interface_detail(set_, &data, detail, size, nullptr, nullptr)) {
            *path = detail->DevicePath;
        }
        return true;
    }

    void EndEnumeration() override {
        if (set_ != INVALID_HANDLE_VALUE) {
            Api().destroy_device_info_list(set_);
            set_ = INVALID_HANDLE_VALUE;
        }
    }

    HidHandle Open(const std::string& path) override {
        // GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE
        HANDLE h = Api().create_file(path.c_str(), 0xC0100000, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE || h == nullptr) {
            return kNoHidHandle;
        }
        return reinterpret_cast<HidHandle>(h);
    }

    void Close(HidHandle handle) override {
        CancelIo(handle);
        Api().close_handle(AsHandle(handle));
    }

    bool GetAttributes(HidHandle handle, HidAttributes* attributes) override {
        const HidApi& api = Api();
        HIDD_ATTRIBUTES a{};
        a.Size = sizeof a;
        if (!HidLoaded() || !api.get_attributes(AsHandle(handle), &a)) {
            return false;
        }
        attributes->vendor_id = a.VendorID;
        attributes->product_id = a.ProductID;
        attributes->version_number = a.VersionNumber;
        return true;
    }

    bool GetCaps(HidHandle handle, HidCaps* caps) override {
        const HidApi& api = Api();
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (!HidLoaded() || !api.get_preparsed_data(AsHandle(handle), &preparsed)) {
            return false;
        }
        HIDP_CAPS c{};
        const NTSTATUS status = api.get_caps(preparsed, &c);
        api.free_preparsed_data(preparsed);
        if (status != HIDP_STATUS_SUCCESS) {
            api.set_last_error(ERROR_INVALID_DATA);
            return false;
        }
        caps->input_report_bytes = c.InputReportByteLength;
        caps->output_report_bytes = c.OutputReportByteLength;
        caps->feature_report_bytes = c.FeatureReportByteLength;
        return true;
    }

    bool GetNumInputBuffers(HidHandle handle, uint32_t* count) override {
        ULONG n = 0;
        if (!HidLoaded() || !Api().get_num_input_buffers(AsHandle(handle), &n)) {
            return false;
        }
        *count = n;
        return true;
    }

    bool SetNumInputBuffers(HidHandle handle, uint32_t count) override {
        return HidLoaded() && Api().set_num_input_buffers(AsHandle(handle), count) != FALSE;
    }

    bool GetIndexedString(HidHandle handle, uint32_t index, uint16_t* buffer,
                          size_t buffer_bytes) override {
        return HidLoaded() && Api().get_indexed_string(AsHandle(handle), index, buffer,
                                                       static_cast<ULONG>(buffer_bytes)) != FALSE;
    }

    bool FlushQueue(HidHandle handle) override {
        return HidLoaded() && Api().flush_queue(AsHandle(handle)) != FALSE;
    }

    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override {
        return HidLoaded() &&
               Api().get_feature(AsHandle(handle), report, static_cast<ULONG>(length)) != FALSE;
    }

    HidIoRecord CreateIoRecord() override {
        auto record = std::make_unique<Record>();
        // Auto-reset, not signalled, unnamed.
        record->overlapped.hEvent = Api().create_event(nullptr, FALSE, FALSE, nullptr);
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
            Api().cancel_io(it->second->io_handle);
        }
        Settle(*it->second);
        Api().close_handle(it->second->overlapped.hEvent);
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
        const BOOL ok = Api().write_file(AsHandle(handle), report, static_cast<DWORD>(length),
                                         &written, &record->overlapped);
        *transferred = written;
        return Started(*record, ok);
    }

    bool StartRead(HidHandle handle, HidIoRecord id, uint8_t* report, size_t length) override {
        Record* record = Find(id);
        if (record == nullptr) {
            return false;
        }
        Arm(*record, handle);
        DWORD read = 0;
        const BOOL ok = Api().read_file(AsHandle(handle), report, static_cast<DWORD>(length), &read,
                                        &record->overlapped);
        return Started(*record, ok);
    }

    HidWait Wait(HidIoRecord id, uint32_t timeout_ms) override {
        Record* record = Find(id);
        if (record == nullptr) {
            return HidWait::kFailed;
        }
        const HidApi& api = Api();
        switch (api.wait_for_single_object(record->overlapped.hEvent, timeout_ms)) {
            case WAIT_OBJECT_0: {
                // The event also comes when the I/O ended in an error (the
                // device went away); the report buffer then still holds the
                // previous report, whose echo could match.
                DWORD transferred = 0;
                const BOOL ok = record->io_handle == nullptr ||
                                api.get_overlapped_result(record->io_handle, &record->overlapped,
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
        const HidApi& api = Api();
        const DWORD error = api.get_last_error();
        api.cancel_io(AsHandle(handle));
        for (const auto& entry : records_) {
            if (entry.second->io_handle == AsHandle(handle)) {
                Settle(*entry.second);
            }
        }
        api.set_last_error(error);
    }

    uint32_t LastError() override { return Api().get_last_error(); }

  private:
    struct Record {
        OVERLAPPED overlapped{};
        HANDLE io_handle = nullptr;  // handle of the I/O last started, until it is known done
    };

    bool HidLoaded() const {
        if (Api().get_hid_guid != nullptr) {
            return true;
        }
        Api().set_last_error(ERROR_MOD_NOT_FOUND);
        return false;
    }

    Record* Find(HidIoRecord id) {
        auto it = records_.find(id);
        if (it == records_.end()) {
            Api().set_last_error(ERROR_INVALID_HANDLE);
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

    // What a ReadFile or WriteFile that returned `ok` left under way.  One
    // refused at once (ERROR_DEVICE_NOT_CONNECTED once the cable is pulled)
    // started nothing: its record says nothing that may be looked at
    // ("Do not call this macro [HasOverlappedIoCompleted] unless the call to
    // GetLastError returns ERROR_IO_PENDING", Microsoft's page), and its
    // event will not come, so there is nothing to settle or wait for.
    static bool Started(Record& record, BOOL ok) {
        if (!ok && Api().get_last_error() != ERROR_IO_PENDING) {
            record.io_handle = nullptr;
        }
        return ok != FALSE;
    }

    // Waits (boundedly: a driver that never completes a cancelled request
    // must not hang the program) for a cancelled or finished I/O to let go of
    // its buffer, and leaves the event clear for the next one.
    static void Settle(Record& record) {
        if (record.io_handle != nullptr && !HasOverlappedIoCompleted(&record.overlapped)) {
            Api().wait_for_single_object(record.overlapped.hEvent, kSettleWaitMs);
        }
        record.io_handle = nullptr;
        Api().reset_event(record.overlapped.hEvent);
    }

    static constexpr DWORD kSettleWaitMs = 1000;

    GUID hid_guid_{};
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    std::map<HidIoRecord, std::unique_ptr<Record>> records_;
};

}  // namespace

const HidApi& SystemHidApi() {
    static const HidApi api = MakeSystemHidApi();
    return api;
}

void SetHidApi(const HidApi* api) {
    g_api = api;
}

HidPort& NativeHidPort() {
    // Never destroyed: the USB link closes its records at program end.
    static WindowsHidPort* port = new WindowsHidPort;
    return *port;
}

}  // namespace vtrl
