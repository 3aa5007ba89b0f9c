// The USB response path: discovery (interfaces, attributes, device strings)
// and then exchanges by both response ways (input reports from release 2 up,
// the ready flag and the feature report below), with every platform call
// answering what the fuzzer says: writes and reads that complete, pend, time
// out or fail with any error, input and feature reports with any bytes,
// report lengths of the instrument's or others.  A reply the protocol takes
// must be the response the device gave; no call may wait longer than its
// time-outs allow, nor at all for a read or write the system refused at once;
// no read may be started over one still outstanding; every handle and record
// is given back.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "driver/program_state.h"
#include "link/hid_port.h"
#include "link/usb_link.h"
#include "protocol/protocol.h"
#include "sim/clock.h"
#include "tests/common/test_hooks.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using vtrl::HidHandle;
using vtrl::HidIoRecord;
using vtrl::HidWait;
using vtrl::fuzz::FuzzInput;

constexpr size_t kOutputReport = 257;
constexpr size_t kInputReport = 259;
constexpr size_t kFeatureReport = 257;
constexpr uint16_t kVendor = 0x7A3D;
constexpr uint16_t kProduct = 0x05C1;

class FuzzHidPort final : public vtrl::AbsentHidPort {
  public:
    FuzzHidPort(FuzzInput& in, vtrl::sim::VirtualClock& clock) : in_(in), clock_(clock) {}

    // --- enumeration ---------------------------------------------------------
    bool BeginEnumeration() override {
        if (in_.Byte() % 8 == 7) {
            last_error_ = vtrl::kHidErrorGenFailure;
            return false;
        }
        interfaces_ = in_.Byte(1) % 4;
        enumerating_ = true;
        return true;
    }
    bool EnumerateInterface(uint32_t index, std::string* path) override {
        VTRL_FUZZ_CHECK(enumerating_);
        if (index >= interfaces_) {
            return false;
        }
        *path = "fuzz:hid#" + std::to_string(index);
        return true;
    }
    void EndEnumeration() override {
        VTRL_FUZZ_CHECK(enumerating_);
        enumerating_ = false;
    }
    HidHandle Open(const std::string& path) override {
        if (in_.Byte() % 8 == 7) {
            last_error_ = vtrl::kHidErrorAccessDenied;
            return vtrl::kNoHidHandle;
        }
        const HidHandle h = next_handle_++;
        open_[h] = path;
        return h;
    }
    void Close(HidHandle handle) override {
        VTRL_FUZZ_CHECK(open_.erase(handle) == 1);  // only open handles are closed, once
    }
    bool GetAttributes(HidHandle handle, vtrl::HidAttributes* attributes) override {
        VTRL_FUZZ_CHECK(open_.count(handle) == 1);
        const uint8_t how = in_.Byte();
        if (how % 8 == 7) {
            return false;
        }
        const bool instrument = how % 8 < 5;
        attributes->vendor_id = instrument ? kVendor : in_.U16();
        attributes->product_id = instrument ? kProduct : in_.U16();
        attributes->version_number = in_.Byte(2) % 4;
        ids_match_[handle] = attributes->vendor_id == kVendor && attributes->product_id == kProduct;
        release_of_[handle] = attributes->version_number;
        return true;
    }
    // The instrument's lengths mostly; others (one byte off, or any), or none.
    bool GetCaps(HidHandle handle, vtrl::HidCaps* caps) override {
        VTRL_FUZZ_CHECK(open_.count(handle) == 1 && ids_match_[handle]);
        const uint8_t how = in_.Byte();
        if (how % 8 == 7) {
            last_error_ = vtrl::kHidErrorInvalidParameter;
            return false;
        }
        *caps = vtrl::HidCaps{kInputReport, kOutputReport, kFeatureReport};
        if (how % 8 == 6) {
            caps->input_report_bytes = static_cast<uint16_t>(in_.U16() % 3 + kInputReport - 1);
            caps->output_report_bytes = in_.U16();
            caps->feature_report_bytes = static_cast<uint16_t>(in_.Byte() + kFeatureReport - 128);
        }
        if (caps->input_report_bytes == kInputReport &&
            caps->output_report_bytes == kOutputReport &&
            caps->feature_report_bytes == kFeatureReport) {
            last_instrument_ = handle;
            release_ = release_of_[handle];
        }
        return true;
    }
    bool GetNumInputBuffers(HidHandle, uint32_t* count) override {
        *count = in_.Byte(32);
        return in_.Byte() % 4 != 3;
    }
    bool SetNumInputBuffers(HidHandle, uint32_t count) override {
        VTRL_FUZZ_CHECK(count >= 1);
        return in_.Byte() % 2 == 0;
    }
    bool GetIndexedString(HidHandle handle, uint32_t index, uint16_t* buffer,
                          size_t buffer_bytes) override {
        VTRL_FUZZ_CHECK(open_.count(handle) == 1 && index >= 1 && index <= 5);
        VTRL_FUZZ_CHECK(buffer_bytes == 200);
        const uint8_t how = in_.Byte();
        if (how % 4 == 3) {
            return false;
        }
        // Any units, with or without a terminating 0 unit.
        std::vector<uint16_t>& s = strings_[index];
        s.assign(buffer_bytes / 2, 0);
        const size_t length = std::min<size_t>(how / 4 * 2, s.size());
        for (size_t i = 0; i < length; ++i) {
            s[i] = static_cast<uint16_t>(in_.Byte('a') | (how % 4 == 2 ? in_.Byte() << 8 : 0));
        }
        std::copy(s.begin(), s.end(), buffer);
        return true;
    }
    bool FlushQueue(HidHandle) override { return in_.Byte() % 8 != 7; }

    // --- reports -------------------------------------------------------------
    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override {
        VTRL_FUZZ_CHECK(open_.count(handle) == 1 && length == kFeatureReport && report[0] == 0);
        const uint8_t how = in_.Byte(3);
        if (how % 4 == 3) {
            last_error_ = how / 4 % 2 == 0 ? vtrl::kHidErrorIoPending : vtrl::kHidErrorGenFailure;
            return false;
        }
        FillResponse(report + 1);
        return true;
    }
    HidIoRecord CreateIoRecord() override {
        const HidIoRecord r = next_record_++;
        records_[r] = Io{};
        return r;
    }
    void CloseIoRecord(HidIoRecord record) override {
        VTRL_FUZZ_CHECK(records_.erase(record) == 1);
    }
    bool StartWrite(HidHandle handle, HidIoRecord record, const uint8_t* report, size_t length,
                    uint32_t* transferred) override {
        VTRL_FUZZ_CHECK(open_.count(handle) == 1 && records_.count(record) == 1);
        VTRL_FUZZ_CHECK(length == kOutputReport && report[0] == 0);
        VTRL_FUZZ_CHECK(!records_[record].outstanding);
        records_[record].refused = false;
        command_ = report[1];
        ++writes_;
        const uint8_t how = in_.Byte();
        switch (how % 4) {
            case 0:  // completed at once
                *transferred = how / 4 % 2 == 0 ? kOutputReport : how / 8;
                records_[record].signalled = true;
                return true;
            case 1:  // refused at once: nothing is under way
                last_error_ = vtrl::kHidErrorDeviceNotConnected;
                records_[record].refused = true;
                return false;
            default:  // under way
                last_error_ = vtrl::kHidErrorIoPending;
                records_[record].outstanding = true;
                return false;
        }
    }
    bool StartRead(HidHandle handle, HidIoRecord record, uint8_t* report, size_t length) override {
        VTRL_FUZZ_CHECK(open_.count(handle) == 1 && records_.count(record) == 1);
        VTRL_FUZZ_CHECK(length == kInputReport);
        // A read started over one still outstanding would land in either's buffer.
        VTRL_FUZZ_CHECK(!records_[record].outstanding);
        records_[record].refused = false;
        const uint8_t how = in_.Byte(1);
        if (how % 8 == 7) {
            last_error_ = vtrl::kHidErrorDeviceNotConnected;
            records_[record].refused = true;
            return false;
        }
        Io& io = records_[record];
        io.outstanding = true;
        io.buffer = report;
        last_error_ = vtrl::kHidErrorIoPending;
        return false;
    }
    HidWait Wait(HidIoRecord record, uint32_t timeout_ms) override {
        VTRL_FUZZ_CHECK(records_.count(record) == 1);
        Io& io = records_[record];
        // An I/O the system refused at once has no event to wait for.
        VTRL_FUZZ_CHECK(!io.refused);
        if (io.signalled) {
            io.signalled = false;
            return HidWait::kSignalled;
        }
        const uint8_t how = in_.Byte(1);
        if (!io.outstanding || how % 4 == 1) {
            clock_.Advance(uint64_t{timeout_ms} * 1000);
            return HidWait::kTimedOut;
        }
        if (how % 4 == 2) {
            last_error_ = how / 4 % 2 == 0 ? vtrl::kHidErrorIoPending : vtrl::kHidErrorGenFailure;
            return HidWait::kFailed;
        }
        // Completed, after some of its time.
        clock_.Advance(uint64_t{timeout_ms} * 1000 * (how / 4) / 64);
        io.outstanding = false;
        if (io.buffer != nullptr) {
            io.buffer[0] = 0;
            io.buffer[1] = in_.Byte(1);  // the ready flag's status byte
            io.buffer[2] = in_.Byte();
            FillResponse(io.buffer + 3);
            io.buffer = nullptr;
        }
        return HidWait::kSignalled;
    }
    void CancelIo(HidHandle handle) override {
        VTRL_FUZZ_CHECK(open_.count(handle) == 1);
        for (auto& [record, io] : records_) {
            io.outstanding = false;
            io.signalled = false;
            io.buffer = nullptr;
        }
    }
    uint32_t LastError() override { return last_error_; }

    // --- what the fuzzer made of it ------------------------------------------
    HidHandle LastInstrument() const { return last_instrument_; }
    uint16_t Release() const { return release_; }
    const std::vector<uint16_t>& String(uint32_t index) { return strings_[index]; }
    bool StringGiven(uint32_t index) const { return strings_.count(index) == 1; }
    size_t OpenHandles() const { return open_.size(); }
    size_t Records() const { return records_.size(); }
    uint32_t Writes() const { return writes_; }
    // The 256 bytes of the latest response the device delivered.
    const uint8_t* LatestResponse() const { return latest_; }
    bool AnyResponse() const { return any_response_; }

  private:
    struct Io {
        bool outstanding = false;
        bool signalled = false;
        bool refused = false;  // the last start was refused at once
        uint8_t* buffer = nullptr;
    };

    // 256 response bytes: the echo (right, off by one, or any), some payload.
    void FillResponse(uint8_t* response) {
        std::memset(response, 0, 256);
        const uint8_t echo = in_.Byte();
        response[0] = echo % 4 == 0   ? static_cast<uint8_t>(command_ + 1)
                      : echo % 4 == 1 ? in_.Byte()
                                      : command_;
        const size_t payload = std::min<size_t>(in_.Byte(4), 255);
        for (size_t i = 0; i < payload; ++i) {
            response[1 + i] = in_.Byte(static_cast<uint8_t>(i));
        }
        std::memcpy(latest_, response, 256);
        any_response_ = true;
    }

    FuzzInput& in_;
    vtrl::sim::VirtualClock& clock_;
    uint32_t interfaces_ = 0;
    bool enumerating_ = false;
    HidHandle next_handle_ = 0x100;
    std::map<HidHandle, std::string> open_;
    std::map<HidHandle, bool> ids_match_;
    std::map<HidHandle, uint16_t> release_of_;
    HidHandle last_instrument_ = vtrl::kNoHidHandle;
    uint16_t release_ = 0;
    std::map<uint32_t, std::vector<uint16_t>> strings_;
    HidIoRecord next_record_ = 0x10;
    std::map<HidIoRecord, Io> records_;
    uint32_t last_error_ = 0;
    uint8_t command_ = 0;
    uint32_t writes_ = 0;
    uint8_t latest_[256] = {};
    bool any_response_ = false;
};

// A field as the link must fill it: label, text, cut to field_size - 1.
std::string ExpectedField(const char* label, const std::string& text, size_t field_size) {
    return (std::string(label) + text).substr(0, field_size - 1);
}

std::string Narrowed(const std::vector<uint16_t>& units) {
    std::string s;
    for (uint16_t u : units) {
        if (u == 0 || (u & 0xFF) == 0) {
            break;
        }
        s.push_back(static_cast<char>(u & 0xFF));
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vtrl;
    FuzzInput in(data, size);
    const uint16_t field_size = static_cast<uint16_t>(in.Byte(80) % 90);
    const int exchanges = 1 + in.Byte() % 3;

    sim::VirtualClock clock;
    SetClock(&clock);
    FuzzHidPort port(in, clock);
    SetHidPort(&port);
    ResetProgramState();

    std::vector<std::vector<char>> fields(kUsbIdentFieldCount,
                                          std::vector<char>(field_size + 1u, '\x7F'));
    char* pointers[kUsbIdentFieldCount];
    for (int i = 0; i < kUsbIdentFieldCount; ++i) {
        pointers[i] = fields[static_cast<size_t>(i)].data();
    }
    const bool found = FindUSBDevice(pointers, field_size);
    VTRL_FUZZ_CHECK(found == USBLinkSelected());
    VTRL_FUZZ_CHECK(found == (port.LastInstrument() != kNoHidHandle));
    // Every interface opened is closed again, but for the instrument held.
    VTRL_FUZZ_CHECK(port.OpenHandles() == (found ? 1u : 0u));
    if (found) {
        VTRL_FUZZ_CHECK(UsbDeviceRelease() == port.Release());
        static const char* const kLabels[] = {
            "Language = ",      "Maufacturer = ",   "Product = ",
            "Serial Number = ", "Configuration = ", "Interface = "};
        for (uint32_t i = 0; i < kUsbIdentFieldCount; ++i) {
            const std::vector<char>& f = fields[i];
            VTRL_FUZZ_CHECK(f[field_size] == '\x7F');  // nothing past the field
            if (field_size == 0) {
                continue;
            }
            const std::string text = i == 0                ? "<English>"
                                     : port.StringGiven(i) ? Narrowed(port.String(i))
                                                           : "<not found>";
            VTRL_FUZZ_CHECK(std::string(f.data()) == ExpectedField(kLabels[i], text, field_size));
        }
    }

    for (int n = 0; n < exchanges && found; ++n) {
        const uint64_t started_us = clock.NowUs();
        const uint32_t writes = port.Writes();
        ClearLinkError();
        uint8_t command = 0;
        int width = 0;
        uint32_t result = 0;
        uint8_t into[300];
        std::memset(into, 0xEE, sizeof into);
        switch (in.Byte() % 4) {
            case 0:
                command = kCmdQueryValue;
                width = 4;
                result = QueryValue(in.Byte(), 0);
                break;
            case 1:
                command = kCmdSetValue;
                result = SetValue(8, in.U32());
                break;
            case 2:
                command = kCmdGetStatus;
                width = 2;
                result = GetStatus();
                break;
            default: {
                command = kCmdReadMemory;
                width = 1 + in.Byte() % 254;
                ReadMemory(0xCFC00, into, static_cast<uint16_t>(width));
                VTRL_FUZZ_CHECK(into[width] == 0xEE);
                break;
            }
        }
        VTRL_FUZZ_CHECK(port.Writes() == writes + 1);
        if (GetLinkError() == kLinkErrorNone) {
            // What was taken is the response the device gave, echo first.
            VTRL_FUZZ_CHECK(port.AnyResponse());
            const uint8_t* r = port.LatestResponse();
            VTRL_FUZZ_CHECK(r[0] == command);
            if (command == kCmdReadMemory) {
                VTRL_FUZZ_CHECK(std::memcmp(into, r + 1, static_cast<size_t>(width)) == 0);
            } else {
                uint32_t value = 0;
                for (int i = 1; i <= width; ++i) {
                    value = value << 8 | r[i];
                }
                VTRL_FUZZ_CHECK(result == value);
            }
        } else {
            VTRL_FUZZ_CHECK(result == 0);
        }
        // The write's 5 s, then 10 s for an input report, or 400 ready polls of
        // at most 1 s and a 10 ms pause each (the feature fetches take no time).
        const uint64_t limit_ms = 5000 + (port.Release() > 1 ? 10000 : 401 * 1010);
        VTRL_FUZZ_CHECK(clock.NowUs() - started_us <= limit_ms * 1000);
    }

    ResetProgramState();
    VTRL_FUZZ_CHECK(port.OpenHandles() == 0);
    VTRL_FUZZ_CHECK(port.Records() == 0);
    SetHidPort(nullptr);
    SetClock(nullptr);
    return 0;
}
