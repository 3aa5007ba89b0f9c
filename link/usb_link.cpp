#include "link/usb_link.h"

#include <cstring>

#include "link/internal.h"
#include "link/packet.h"
#include "platform/clock.h"
#include "platform/scope_exit.h"
#include "platform/scoped_handle.h"

namespace vtrl {

namespace link_internal {
HidHandle g_usb_device = kNoHidHandle;
uint16_t g_usb_release = 0;
}  // namespace link_internal

namespace {

// Where things stand in the reports (byte 0 of every report is its ID, 0),
// and the report lengths that follow from the packet and response sizes.
constexpr size_t kOutputPacketOffset = 1;  // the packet, then zero padding
constexpr size_t kInputStatusOffset = 1;   // ready-flag way: bit 0 = response ready
constexpr uint8_t kResponseReadyBit = 0x01;
constexpr size_t kInputResponseOffset = 3;    // input-report way: the response bytes
constexpr size_t kFeatureResponseOffset = 1;  // ready-flag way: the response bytes
constexpr size_t kOutputReportBytes = kOutputPacketOffset + kPacketLimit;           // 257
constexpr size_t kInputReportBytes = kInputResponseOffset + kUsbResponseBytes;      // 259
constexpr size_t kFeatureReportBytes = kFeatureResponseOffset + kUsbResponseBytes;  // 257
constexpr uint32_t kWriteWaitMs = 5000;
constexpr uint32_t kReadyPollWaitMs = 1000;
constexpr uint32_t kNotReadyPauseMs = 10;
constexpr uint32_t kMaxReadyPolls = 400;
constexpr uint32_t kMaxFeatureRetries = 20;
constexpr uint32_t kInputReportWaitMs = 10000;
constexpr size_t kStringBufferBytes = 200;

// Results of GetUSBResponsePacket besides 0.
constexpr int kResponseNoDevice = 1;
constexpr int kResponseTimedOut = 2;
constexpr int kResponseFailed = 3;

struct Label {
    uint32_t string_index;
    const char* label;
};
// The labels as the operator has always seen them ("Maufacturer" included).
constexpr Label kLabels[kUsbIdentFieldCount] = {
    {0, "Language = "},      {1, "Maufacturer = "},   {2, "Product = "},
    {3, "Serial Number = "}, {4, "Configuration = "}, {5, "Interface = "},
};

USBEvents g_events;
HidHandle& g_device = link_internal::g_usb_device;
HidPort* g_device_port = nullptr;  // the port that opened g_device
uint16_t& g_release = link_internal::g_usb_release;
uint32_t g_pass_counter = 0;
// Overlapped I/O writes into and reads from these until it completes or is
// cancelled, so they live as long as the module.
uint8_t g_output_report[kOutputReportBytes];
uint8_t g_input_report[kInputReportBytes];
uint8_t g_feature_report[kFeatureReportBytes];

// An interface opened during the scan, closed on the port that opened it
// unless the scan keeps it.
struct HidHandleTraits {
    using Handle = HidHandle;
    HidPort* port = nullptr;
    static bool IsValid(HidHandle handle) { return handle != kNoHidHandle; }
    static HidHandle Invalid() { return kNoHidHandle; }
    void Close(HidHandle handle) const { port->Close(handle); }
};
using ScopedHidHandle = ScopedHandle<HidHandleTraits>;

void ReleaseDevice() {
    if (g_device != kNoHidHandle && g_device_port == &CurrentHidPort()) {
        g_device_port->Close(g_device);
    }
    g_device = kNoHidHandle;
    g_device_port = nullptr;
}

// The reports of the instrument's interface have fixed lengths; an interface
// with the instrument's IDs whose reports differ (another interface of a
// composite device, a look-alike) would take a report cut short or padded,
// so it is not taken.
bool HasInstrumentReports(HidPort& port, HidHandle handle) {
    HidCaps caps;
    return port.GetCaps(handle, &caps) && caps.input_report_bytes == kInputReportBytes &&
           caps.output_report_bytes == kOutputReportBytes &&
           caps.feature_report_bytes == kFeatureReportBytes;
}

// The driver keeps a queue of input reports; the instrument's responses are
// only useful fresh, so the smallest count it accepts is asked for.
void LowerInputBufferCount(HidPort& port, HidHandle handle) {
    uint32_t count = 0;
    if (!port.GetNumInputBuffers(handle, &count) || count <= 1) {
        return;
    }
    for (uint32_t n = 1; n < count; ++n) {
        if (port.SetNumInputBuffers(handle, n)) {
            return;
        }
    }
}

// Appends `text` to the field after its first `used` characters, keeping the
// whole below `size` characters with room for the terminator.
size_t AppendField(char* field, size_t used, size_t size, const char* text, size_t text_length) {
    size_t room = size - 1 - used;
    size_t n = text_length < room ? text_length : room;
    std::memcpy(field + used, text, n);
    field[used + n] = '\0';
    return used + n;
}

void FillIdentField(HidPort& port, HidHandle handle, const Label& label, char* field, size_t size) {
    size_t used = AppendField(field, 0, size, label.label, std::strlen(label.label));
    if (label.string_index == 0) {
        static const char kEnglish[] = "<English>";
        AppendField(field, used, size, kEnglish, sizeof kEnglish - 1);
        return;
    }
    uint16_t wide[kStringBufferBytes / 2] = {};
    if (!port.GetIndexedString(handle, label.string_index, wide, sizeof wide)) {
        static const char kNotFound[] = "<not found>";
        AppendField(field, used, size, kNotFound, sizeof kNotFound - 1);
        return;
    }
    // Narrowed by the low byte of each unit: the instrument's strings are ASCII.
    char narrow[kStringBufferBytes / 2];
    size_t n = 0;
    while (n < sizeof narrow && wide[n] != 0) {
        narrow[n] = static_cast<char>(wide[n] & 0xFF);
        if (narrow[n] == '\0') {
            break;
        }
        ++n;
    }
    AppendField(field, used, size, narrow, n);
}

int ReadyFlagResponse(HidPort& port, const uint8_t** response) {
    g_pass_counter = 0;
    port.FlushQueue(g_device);
    std::memset(g_input_report, 0, sizeof g_input_report);
    for (;;) {
        bool ready = false;
        const bool started =
            port.StartRead(g_device, g_events.ReadRecord(), g_input_report, sizeof g_input_report);
        if (!started && !HandleUSBError()) {
            return kResponseFailed;  // refused at once: no event will come for it
        }
        HidWait wait = port.Wait(g_events.ReadRecord(), kReadyPollWaitMs);
        if (wait == HidWait::kSignalled) {
            if ((g_input_report[kInputStatusOffset] & kResponseReadyBit) != 0) {
                ready = true;
            } else {
                CurrentClock().SleepMs(kNotReadyPauseMs);
            }
        } else {
            bool go_on = started || HandleUSBError();
            // The read still outstanding would land in the next poll's report.
            port.CancelIo(g_device);
            if (!go_on) {
                return kResponseFailed;
            }
        }
        if (++g_pass_counter > kMaxReadyPolls) {
            return kResponseTimedOut;
        }
        if (ready) {
            break;
        }
    }
    g_pass_counter = 0;
    for (;;) {
        std::memset(g_feature_report, 0, sizeof g_feature_report);
        if (port.GetFeature(g_device, g_feature_report, sizeof g_feature_report)) {
            break;
        }
        if (!HandleUSBError()) {
            return kResponseFailed;
        }
        if (++g_pass_counter > kMaxFeatureRetries) {
            return kResponseTimedOut;
        }
    }
    *response = g_feature_report + kFeatureResponseOffset;
    return 0;
}

int InputReportResponse(HidPort& port, const uint8_t** response) {
    if (!port.StartRead(g_device, g_events.ReadRecord(), g_input_report, sizeof g_input_report) &&
        !HandleUSBError()) {
        return kResponseFailed;  // refused at once: no event will come for it
    }
    HidWait wait = port.Wait(g_events.ReadRecord(), kInputReportWaitMs);
    if (wait == HidWait::kSignalled) {
        *response = g_input_report + kInputResponseOffset;
        return 0;
    }
    // A failed wait leaves no response in hand even when the read is still
    // pending; reading again could wait without end, so the exchange fails
    // (the caller retries).  The outstanding read is cancelled either way so
    // that it cannot complete into the next exchange's report.
    port.CancelIo(g_device);
    return wait == HidWait::kTimedOut ? kResponseTimedOut : kResponseFailed;
}

}  // namespace

USBEvents::~USBEvents() {
    Release();
}

bool USBEvents::Create() {
    HidPort& port = CurrentHidPort();
    if (events_created_ && port_ != &port) {
        // Records made by a port no longer installed mean nothing to this one.
        events_created_ = false;
        write_record_ = kNoHidIoRecord;
        read_record_ = kNoHidIoRecord;
    }
    if (events_created_ && write_record_ != kNoHidIoRecord && read_record_ != kNoHidIoRecord) {
        return true;
    }
    port_ = &port;
    if (write_record_ == kNoHidIoRecord) {
        write_record_ = port.CreateIoRecord();
    }
    if (read_record_ == kNoHidIoRecord) {
        read_record_ = port.CreateIoRecord();
    }
    events_created_ = true;
    return true;
}

void USBEvents::Release() {
    if (port_ != nullptr && port_ == &CurrentHidPort()) {
        if (read_record_ != kNoHidIoRecord) {
            port_->CloseIoRecord(read_record_);
        }
        if (write_record_ != kNoHidIoRecord) {
            port_->CloseIoRecord(write_record_);
        }
    }
    events_created_ = false;
    port_ = nullptr;
    read_record_ = kNoHidIoRecord;
    write_record_ = kNoHidIoRecord;
}

bool FindUSBDevice(char* const* fields, uint16_t field_size) {
    g_events.Create();
    ReleaseDevice();
    g_release = 0;

    HidPort& port = CurrentHidPort();
    if (!port.BeginEnumeration() && !port.BeginEnumeration()) {
        return false;
    }
    {
        // The enumeration snapshot, ended however the scan leaves.
        const ScopeExit end_enumeration([&port] { port.EndEnumeration(); });
        std::string path;
        for (uint32_t index = 0;; ++index) {
            path.clear();
            if (!port.EnumerateInterface(index, &path)) {
                break;
            }
            // An interface the system holds exclusively (a keyboard, a mouse)
            // cannot be opened; the instrument may still come later.
            ScopedHidHandle handle(port.Open(path), HidHandleTraits{&port});
            if (!handle) {
                continue;
            }
            HidAttributes attributes;
            if (!port.GetAttributes(handle.Get(), &attributes)) {
                continue;
            }
            if (attributes.vendor_id != kVantrelVendorId ||
                attributes.product_id != kVantrelProductId ||
                !HasInstrumentReports(port, handle.Get())) {
                continue;
            }
            // The last instrument enumerated is the one held.
            ReleaseDevice();
            g_device = handle.Release();
            g_device_port = &port;
            g_release = attributes.version_number;
            LowerInputBufferCount(port, g_device);
        }
    }
    if (g_device == kNoHidHandle) {
        return false;
    }
    if (fields != nullptr && field_size > 0) {
        for (int i = 0; i < kUsbIdentFieldCount; ++i) {
            if (fields[i] != nullptr) {
                FillIdentField(port, g_device, kLabels[i], fields[i], field_size);
            }
        }
    }
    return true;
}

bool USBLinkSelected() {
    return g_device != kNoHidHandle;
}

int SendUSBPacket(const uint8_t* packet, int length) {
    if (length > kPacketLimit || length < 0 || (packet == nullptr && length > 0) ||
        g_device == kNoHidHandle) {
        return 0;
    }
    HidPort& port = CurrentHidPort();
    std::memset(g_output_report, 0, sizeof g_output_report);
    if (length > 0) {
        std::memcpy(g_output_report + kOutputPacketOffset, packet, static_cast<size_t>(length));
    }
    if (g_release > 1) {
        // Input reports queued before this request cannot answer it: a reply
        // that came after its exchange had timed out would otherwise be taken
        // for the answer to this one (same echo when the command repeats, as
        // in a retried transfer).
        port.FlushQueue(g_device);
    }
    uint32_t written = 0;
    const bool started = port.StartWrite(g_device, g_events.WriteRecord(), g_output_report,
                                         sizeof g_output_report, &written);
    if (!started && !HandleUSBError()) {
        // Refused at once, as every write is once the cable is pulled
        // (ERROR_DEVICE_NOT_CONNECTED): nothing is under way, and waiting for
        // its event would only freeze the screen for the wait's 5 s.
        return 0;
    }
    const HidWait wait = port.Wait(g_events.WriteRecord(), kWriteWaitMs);
    if (wait == HidWait::kSignalled || written == kOutputReportBytes) {
        return static_cast<int>(kOutputReportBytes);
    }
    // A write that did not complete in 5 s is given up, not left to finish
    // into a later report.
    port.CancelIo(g_device);
    return 0;
}

int GetUSBResponsePacket(uint8_t* destination, uint32_t* length) {
    if (g_device == kNoHidHandle) {
        return kResponseNoDevice;
    }
    HidPort& port = CurrentHidPort();
    const uint8_t* response = nullptr;
    int result =
        g_release > 1 ? InputReportResponse(port, &response) : ReadyFlagResponse(port, &response);
    if (result != 0) {
        return result;
    }
    std::memcpy(destination, response, kUsbResponseBytes);
    if (length != nullptr) {
        *length = kUsbResponseBytes;
    }
    return 0;
}

bool HandleUSBError() {
    return CurrentHidPort().LastError() == kHidErrorIoPending;
}

void ResetUsbLink() {
    ReleaseDevice();
    g_events.Release();
    g_release = 0;
    g_pass_counter = 0;
    std::memset(g_output_report, 0, sizeof g_output_report);
    std::memset(g_input_report, 0, sizeof g_input_report);
    std::memset(g_feature_report, 0, sizeof g_feature_report);
}

}  // namespace vtrl
