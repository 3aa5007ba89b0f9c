// Linux only: the HID port (hidapi over hidraw); nothing else lives here.
#include <hidapi/hidapi.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "link/hid_report_descriptor.h"
#include "link/linux/hid_port.h"
#include "platform/clock.h"
#include "platform/scoped_handle.h"

namespace vtrl {

namespace {

// The report descriptor of the hidraw node at `path` (/dev/hidrawN), as sysfs
// under `sys_root` keeps it beside the device (hidapi 0.13 has no call for
// it); false when the node has none there or it is longer than a descriptor
// can be.
bool ReadReportDescriptor(const std::string& sys_root, const std::string& path,
                          std::vector<uint8_t>* descriptor) {
    const size_t slash = path.rfind('/');
    const std::string node = slash == std::string::npos ? path : path.substr(slash + 1);
    if (node.rfind("hidraw", 0) != 0 ||
        node.find_first_not_of("0123456789", 6) != std::string::npos || node.size() == 6) {
        return false;
    }
    const std::string file = sys_root + "/class/hidraw/" + node + "/device/report_descriptor";
    ScopedStdioFile in(std::fopen(file.c_str(), "rb"));
    if (!in) {
        return false;
    }
    descriptor->assign(kHidMaxDescriptorBytes + 1, 0);
    const size_t n = std::fread(descriptor->data(), 1, descriptor->size(), in.Get());
    if (n > kHidMaxDescriptorBytes || std::ferror(in.Get()) != 0) {
        return false;
    }
    descriptor->resize(n);
    return true;
}

// hidraw has no overlapped I/O: a write is done when StartWrite returns, and a
// read happens inside Wait with the wait's time-out, so nothing ever blocks
// longer than the time-out the link asked for.
class LinuxHidPort final : public HidPort {
  public:
    explicit LinuxHidPort(std::string sys_root) : sys_root_(std::move(sys_root)) {}

    bool BeginEnumeration() override {
        paths_.clear();
        infos_.clear();
        if (hid_init() != 0) {
            return Fail(kHidErrorGenFailure);
        }
        hid_device_info* list = hid_enumerate(0, 0);
        for (hid_device_info* d = list; d != nullptr; d = d->next) {
            if (d->path != nullptr) {
                paths_.emplace_back(d->path);
                infos_[d->path] = HidAttributes{d->vendor_id, d->product_id, d->release_number};
            }
        }
        hid_free_enumeration(list);
        return true;
    }

    bool EnumerateInterface(uint32_t index, std::string* path) override {
        if (index >= paths_.size()) {
            return Fail(kHidErrorNoMoreItems);
        }
        *path = paths_[index];
        return true;
    }

    void EndEnumeration() override { paths_.clear(); }

    HidHandle Open(const std::string& path) override {
        if (hid_init() != 0) {
            Fail(kHidErrorGenFailure);
            return kNoHidHandle;
        }
        errno = 0;
        hid_device* device = hid_open_path(path.c_str());
        if (device == nullptr) {
            Fail(errno == EACCES || errno == EPERM ? kHidErrorAccessDenied : kHidErrorFileNotFound);
            return kNoHidHandle;
        }
        HidHandle handle = reinterpret_cast<HidHandle>(device);
        Device& d = devices_[handle];
        d.path = path;
        auto info = infos_.find(path);
        if (info != infos_.end()) {
            d.attributes = info->second;
            d.have_attributes = true;
        }
        return handle;
    }

    void Close(HidHandle handle) override {
        auto it = devices_.find(handle);
        if (it == devices_.end()) {
            return;
        }
        for (auto& record : records_) {
            if (record.second.handle == handle) {
                record.second = Io{};
            }
        }
        hid_close(reinterpret_cast<hid_device*>(handle));
        devices_.erase(it);
    }

    bool GetAttributes(HidHandle handle, HidAttributes* attributes) override {
        Device* d = Find(handle);
        if (d == nullptr) {
            return false;
        }
        if (!d->have_attributes) {
            // Opened by a path that was not enumerated: ask the device.
            hid_device_info* info = hid_get_device_info(reinterpret_cast<hid_device*>(handle));
            if (info == nullptr) {
                return Fail(kHidErrorGenFailure);
            }
            d->attributes = HidAttributes{info->vendor_id, info->product_id, info->release_number};
            d->have_attributes = true;
        }
        *attributes = d->attributes;
        return true;
    }

    bool GetCaps(HidHandle handle, HidCaps* caps) override {
        Device* d = Find(handle);
        if (d == nullptr) {
            return false;
        }
        std::vector<uint8_t> descriptor;
        if (!ReadReportDescriptor(sys_root_, d->path, &descriptor) ||
            !ReportLengthsFromDescriptor(descriptor.data(), descriptor.size(), caps)) {
            return Fail(kHidErrorInvalidParameter);
        }
        return true;
    }

    // hidraw keeps its own report queue whose length cannot be asked or set.
    bool GetNumInputBuffers(HidHandle, uint32_t*) override { return Fail(kHidErrorNotSupported); }
    bool SetNumInputBuffers(HidHandle, uint32_t) override { return Fail(kHidErrorNotSupported); }

    bool GetIndexedString(HidHandle handle, uint32_t index, uint16_t* buffer,
                          size_t buffer_bytes) override {
        if (Find(handle) == nullptr || buffer_bytes < 2) {
            return false;
        }
        const size_t units = buffer_bytes / 2;
        std::vector<wchar_t> wide(units + 1, L'\0');
        hid_device* device = reinterpret_cast<hid_device*>(handle);
        if (hid_get_indexed_string(device, static_cast<int>(index), wide.data(), wide.size()) !=
            0) {
            // hidraw cannot fetch a string descriptor by its index; the three
            // that the device descriptor names (manufacturer 1, product 2,
            // serial number 3 on the instrument) come from sysfs instead.
            // There an absent string reads as empty, so empty counts as
            // absent, as it does for hid.dll.
            wide.assign(units + 1, L'\0');
            int r = -1;
            switch (index) {
                case 1:
                    r = hid_get_manufacturer_string(device, wide.data(), wide.size());
                    break;
                case 2:
                    r = hid_get_product_string(device, wide.data(), wide.size());
                    break;
                case 3:
                    r = hid_get_serial_number_string(device, wide.data(), wide.size());
                    break;
                default:
                    break;
            }
            if (r != 0 || wide[0] == L'\0') {
                return Fail(kHidErrorInvalidParameter);
            }
        }
        // wchar_t is UTF-32 here; the link keeps the low byte of each unit anyway.
        for (size_t i = 0; i < units; ++i) {
            buffer[i] = static_cast<uint16_t>(wide[i] > 0xFFFF ? 0xFFFD : wide[i]);
            if (wide[i] == L'\0') {
                break;
            }
        }
        return true;
    }

    bool FlushQueue(HidHandle handle) override {
        if (Find(handle) == nullptr) {
            return false;
        }
        // Drains what the hidraw queue holds without waiting.
        hid_device* device = reinterpret_cast<hid_device*>(handle);
        unsigned char scratch[1024];
        for (int i = 0; i < 4096; ++i) {
            int n = hid_read_timeout(device, scratch, sizeof scratch, 0);
            if (n <= 0) {
                return n == 0 || Fail(kHidErrorGenFailure);
            }
        }
        return true;
    }

    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override {
        if (Find(handle) == nullptr) {
            return false;
        }
        int n = hid_get_feature_report(reinterpret_cast<hid_device*>(handle), report, length);
        if (n < 0) {
            return Fail(kHidErrorGenFailure);
        }
        // The device may send fewer bytes than asked; the rest reads as zero.
        if (static_cast<size_t>(n) < length) {
            std::memset(report + n, 0, length - static_cast<size_t>(n));
        }
        return true;
    }

    HidIoRecord CreateIoRecord() override {
        HidIoRecord record = next_record_++;
        records_[record] = Io{};
        return record;
    }

    void CloseIoRecord(HidIoRecord record) override { records_.erase(record); }

    bool StartWrite(HidHandle handle, HidIoRecord record, const uint8_t* report, size_t length,
                    uint32_t* transferred) override {
        *transferred = 0;
        Io* io = FindRecord(record);
        if (io == nullptr || Find(handle) == nullptr) {
            return false;
        }
        *io = Io{};
        errno = 0;
        int n = hid_write(reinterpret_cast<hid_device*>(handle), report, length);
        if (n < 0) {
            // hidraw answers ENODEV once the device is gone, at once: a write
            // refused, with nothing under way to wait for.
            return Fail(errno == ENODEV ? kHidErrorDeviceNotConnected : kHidErrorGenFailure);
        }
        // hidraw does not count the report ID of unnumbered reports.
        *transferred = static_cast<uint32_t>(length);
        io->handle = handle;
        io->signalled = true;
        return true;
    }

    bool StartRead(HidHandle handle, HidIoRecord record, uint8_t* report, size_t length) override {
        Io* io = FindRecord(record);
        if (io == nullptr || Find(handle) == nullptr) {
            return false;
        }
        *io = Io{};
        io->handle = handle;
        io->read_buffer = report;
        io->read_length = length;
        return Fail(kHidErrorIoPending);
    }

    HidWait Wait(HidIoRecord record, uint32_t timeout_ms) override {
        Io* io = FindRecord(record);
        if (io == nullptr) {
            return HidWait::kFailed;
        }
        if (io->signalled) {
            *io = Io{};
            return HidWait::kSignalled;
        }
        if (io->read_buffer == nullptr || Find(io->handle) == nullptr) {
            // Nothing under way: the event would never be signalled.
            CurrentClock().SleepMs(timeout_ms);
            return HidWait::kTimedOut;
        }
        // Unnumbered reports come from hidraw without their ID byte.
        io->read_buffer[0] = 0;
        int ms =
            timeout_ms > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeout_ms);
        int n = hid_read_timeout(reinterpret_cast<hid_device*>(io->handle), io->read_buffer + 1,
                                 io->read_length - 1, ms);
        if (n < 0) {
            *io = Io{};
            Fail(kHidErrorDeviceNotConnected);
            return HidWait::kFailed;
        }
        if (n == 0) {
            // hidraw reads are not left outstanding: the poll simply ends.
            *io = Io{};
            return HidWait::kTimedOut;
        }
        // A short report must not leave an earlier report's bytes (an echo
        // that could match) behind it.
        const size_t filled = static_cast<size_t>(n) + 1;
        if (filled < io->read_length) {
            std::memset(io->read_buffer + filled, 0, io->read_length - filled);
        }
        *io = Io{};
        return HidWait::kSignalled;
    }

    void CancelIo(HidHandle handle) override {
        for (auto& record : records_) {
            if (record.second.handle == handle) {
                record.second = Io{};
            }
        }
    }

    uint32_t LastError() override { return last_error_; }

  private:
    struct Device {
        std::string path;
        HidAttributes attributes;
        bool have_attributes = false;
    };
    struct Io {
        HidHandle handle = kNoHidHandle;
        bool signalled = false;
        uint8_t* read_buffer = nullptr;
        size_t read_length = 0;
    };

    bool Fail(uint32_t error) {
        last_error_ = error;
        return false;
    }
    // What `key` names in `map`; null, the last error an invalid handle, when
    // it names nothing (closed, or never handed out).
    template <typename Map>
    typename Map::mapped_type* Entry(Map& map, typename Map::key_type key) {
        auto it = map.find(key);
        if (it == map.end()) {
            Fail(kHidErrorInvalidHandle);
            return nullptr;
        }
        return &it->second;
    }
    Device* Find(HidHandle handle) { return Entry(devices_, handle); }
    Io* FindRecord(HidIoRecord record) { return Entry(records_, record); }

    const std::string sys_root_;
    std::vector<std::string> paths_;
    std::map<std::string, HidAttributes> infos_;
    std::map<HidHandle, Device> devices_;
    std::map<HidIoRecord, Io> records_;
    HidIoRecord next_record_ = 1;
    uint32_t last_error_ = 0;
};

}  // namespace

std::unique_ptr<HidPort> MakeHidrawPort(const std::string& sys_root) {
    return std::make_unique<LinuxHidPort>(sys_root);
}

HidPort& NativeHidPort() {
    // Never destroyed: the USB link closes its records at program end.
    static HidPort* port = MakeHidrawPort("/sys").release();
    return *port;
}

}  // namespace vtrl
