#include "tests/usb/fake_hidapi.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

struct hid_device_ {
    size_t index;
    hid_device_info info;
};

namespace vtrl::test {

std::vector<FakeHidapiDevice>& FakeHidapiDevices() {
    static std::vector<FakeHidapiDevice> devices;
    return devices;
}

void ResetFakeHidapi() {
    FakeHidapiDevices().clear();
}

namespace {

FakeHidapiDevice& Of(hid_device* dev) {
    return FakeHidapiDevices().at(dev->index);
}

// As hidapi 0.13 on hidraw: the string from sysfs, cut to maxlen - 1; an
// absent string reads as empty.
int CopyString(const std::wstring& text, wchar_t* string, size_t maxlen) {
    if (string == nullptr || maxlen == 0) {
        return -1;
    }
    const size_t n = std::min(text.size(), maxlen - 1);
    std::wmemcpy(string, text.data(), n);
    string[n] = L'\0';
    return 0;
}

}  // namespace

}  // namespace vtrl::test

using vtrl::test::FakeHidapiDevice;
using vtrl::test::FakeHidapiDevices;

int hid_init(void) {
    return 0;
}

hid_device_info* hid_enumerate(unsigned short, unsigned short) {
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const FakeHidapiDevice& d : FakeHidapiDevices()) {
        auto* info = new hid_device_info{};
        info->path = strdup(d.path.c_str());
        info->vendor_id = d.vendor_id;
        info->product_id = d.product_id;
        info->release_number = d.release_number;
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info* devs) {
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        free(devs->path);
        delete devs;
        devs = next;
    }
}

hid_device* hid_open_path(const char* path) {
    auto& devices = FakeHidapiDevices();
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].path == path) {
            ++devices[i].open_handles;
            auto* dev = new hid_device{i, {}};
            dev->info.vendor_id = devices[i].vendor_id;
            dev->info.product_id = devices[i].product_id;
            dev->info.release_number = devices[i].release_number;
            return dev;
        }
    }
    errno = ENOENT;
    return nullptr;
}

void hid_close(hid_device* dev) {
    --vtrl::test::Of(dev).open_handles;
    delete dev;
}

hid_device_info* hid_get_device_info(hid_device* dev) {
    return &dev->info;
}

int hid_get_indexed_string(hid_device*, int, wchar_t*, size_t) {
    return -1;  // "not supported by hidraw"
}

int hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return vtrl::test::CopyString(vtrl::test::Of(dev).manufacturer, string, maxlen);
}

int hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return vtrl::test::CopyString(vtrl::test::Of(dev).product, string, maxlen);
}

int hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return vtrl::test::CopyString(vtrl::test::Of(dev).serial_number, string, maxlen);
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    FakeHidapiDevice& d = vtrl::test::Of(dev);
    if (d.write_errno != 0) {
        errno = d.write_errno;
        return -1;
    }
    d.written.emplace_back(data, data + length);
    return static_cast<int>(length);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    FakeHidapiDevice& d = vtrl::test::Of(dev);
    if (milliseconds != 0) {
        d.read_timeouts_ms.push_back(milliseconds);
        d.read_lengths.push_back(length);
    }
    if (d.fail_read_after >= 0 && d.reads_done >= d.fail_read_after) {
        return -1;
    }
    std::deque<std::vector<uint8_t>>* from = nullptr;
    if (!d.queued.empty()) {
        from = &d.queued;
    } else if (milliseconds != 0 && !d.arriving.empty()) {
        from = &d.arriving;
    } else {
        return 0;
    }
    const std::vector<uint8_t> report = from->front();
    from->pop_front();
    ++d.reads_done;
    const size_t n = std::min(length, report.size());
    std::memcpy(data, report.data(), n);
    return static_cast<int>(n);
}

int hid_get_feature_report(hid_device* dev, unsigned char* data, size_t length) {
    FakeHidapiDevice& d = vtrl::test::Of(dev);
    d.feature_requests.emplace_back(data, data + length);
    if (length == 0 || data[0] != 0 || d.feature.empty()) {
        return -1;
    }
    // The kernel keeps the report ID in byte 0 and puts the report after it.
    const size_t n = std::min(length - 1, d.feature.size());
    std::memcpy(data + 1, d.feature.data(), n);
    return static_cast<int>(n + 1);
}
