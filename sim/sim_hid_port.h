// A virtual machine's HID interfaces for tests and the demo build: a device list
// (instruments backed by the stand-in's USB endpoint, foreign devices, devices
// that cannot be opened or whose attributes cannot be read, devices with
// missing or long strings), time on a given clock, transport faults below the
// instrument (failed writes, feature fetches and waits, failed enumeration,
// unplugging) and call counting for tests to assert on.
//
// Install it with vtrl::SetHidPort(&port); the USB link then finds what the
// list holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/hid_port.h"
#include "platform/clock.h"

namespace vtrl::sim {

class Instrument;

// What answers one virtual interface's reports (all lengths include the
// report ID byte).
class HidDeviceModel {
  public:
    virtual ~HidDeviceModel() = default;
    // One output report; false when the device does not take it.
    virtual bool OutputReport(const uint8_t* report, size_t length) = 0;
    // The next input report if one arrives by `deadline_us` on the clock; the
    // model advances the clock to its arrival (or to the deadline).
    virtual bool InputReport(uint8_t* report, size_t length, uint64_t deadline_us) = 0;
    // Feature report report[0]; false when the device has none to give.
    virtual bool FeatureReport(uint8_t* report, size_t length) = 0;
    virtual void FlushInput() = 0;
};

// The stand-in instrument as a HID device model (over sim::UsbEndpoint).
std::shared_ptr<HidDeviceModel> MakeInstrumentModel(Instrument& instrument, Clock& clock);

struct SimHidDevice {
    std::string path;
    HidAttributes attributes;
    bool present = true;           // false: not enumerated, cannot be opened
    bool open_fails = false;       // Open fails with kHidErrorAccessDenied (a keyboard)
    bool attributes_fail = false;  // GetAttributes fails
    // The report lengths its descriptor declares (the instrument's unless
    // changed); caps_fail: they cannot be had (HidP_GetCaps fails).
    HidCaps caps{259, 257, 257};
    bool caps_fail = false;
    // Device strings by index (1 manufacturer, 2 product, 3 serial number,
    // 4 configuration, 5 interface); nullopt: the device has no such string.
    std::array<std::optional<std::u16string>, 6> strings;
    uint32_t input_buffers = 32;     // the count the driver starts with
    uint32_t min_input_buffers = 2;  // smallest count SetNumInputBuffers accepts
    bool get_input_buffers_fails = false;
    // Null: a foreign device without reports (writes fail, reads never arrive).
    std::shared_ptr<HidDeviceModel> model;
};

// What the port saw, for tests.
struct SimHidCounts {
    uint32_t enumerations = 0;  // BeginEnumeration calls
    uint32_t enumerations_ended = 0;
    uint32_t opens = 0;  // successful opens
    uint32_t open_failures = 0;
    uint32_t closes = 0;
    uint32_t bad_closes = 0;  // Close of a handle that is not open
    uint32_t attribute_reads = 0;
    uint32_t set_input_buffers = 0;  // SetNumInputBuffers calls
    uint32_t string_reads = 0;
    uint32_t writes = 0;             // StartWrite calls
    uint32_t reads = 0;              // StartRead calls
    uint32_t overlapping_reads = 0;  // StartRead while an earlier read was still outstanding
    uint32_t waits = 0;
    uint32_t feature_fetches = 0;
    uint32_t flushes = 0;
    uint32_t cancels = 0;
    uint32_t io_records = 0;  // records created and not yet closed
};

class SimHidPort final : public AbsentHidPort {
  public:
    explicit SimHidPort(Clock& clock);
    ~SimHidPort() override;  // uninstalls itself if it is the current port

    // --- the device list ---------------------------------------------------
    // Returns the device's index in the list (enumeration order).
    int AddDevice(SimHidDevice device);
    // An instrument interface (vendor 0x7A3D, product 0x05C1) backed by the
    // stand-in; its release number is the instrument's configured one, its
    // strings "Vantrel", "Vantrel Thermal Cycler", "VT-000001", config and
    // interface strings missing.
    int AddInstrument(Instrument& instrument, const std::string& path = "sim:hid#vantrel");
    SimHidDevice& Device(int index);
    // The device is pulled out: no longer enumerated, and as Windows does it
    // (libusb pull request 664, https://github.com/libusb/libusb/pull/664:
    // "Windows 7 reports error code ERROR_DEVICE_NOT_CONNECTED if transfers
    // fail due to unplugging the device"), every call on its open handles
    // fails at once with kHidErrorDeviceNotConnected, and a read or write
    // under way ends with that error at its wait, without its time-out.
    void Unplug(int index);
    // Index of the device behind an open handle, -1 for none.
    int DeviceOfHandle(HidHandle handle) const;
    size_t OpenHandleCount() const;
    std::vector<HidHandle> OpenHandles() const;  // oldest first

    // --- transport faults (each counts down per call it hits) ---------------
    void FailEnumerations(uint32_t count);            // BeginEnumeration fails
    void FailWrites(uint32_t count, uint32_t error);  // StartWrite fails with `error`
    // With `error` kHidErrorIoPending the write is under way but never
    // completes: its wait times out.
    void FailFeatures(uint32_t count, uint32_t error);   // GetFeature fails
    void FailReadWaits(uint32_t count, uint32_t error);  // a read's Wait fails
    // Writes complete inside WriteFile (true, all bytes) instead of pending.
    void SetWritesCompleteAtOnce(bool at_once);

    // --- what was seen --------------------------------------------------------
    const SimHidCounts& Counts() const { return counts_; }
    const std::vector<uint8_t>& LastWrittenReport() const { return last_written_; }
    // Every output report written since the last ClearWritten.
    const std::vector<std::vector<uint8_t>>& WrittenReports() const { return written_; }
    void ClearWritten();

    // --- HidPort ----------------------------------------------------------------
    bool BeginEnumeration() override;
    bool EnumerateInterface(uint32_t index, std::string* path) override;
    void EndEnumeration() override;
    HidHandle Open(const std::string& path) override;
    void Close(HidHandle handle) override;
    bool GetAttributes(HidHandle handle, HidAttributes* attributes) override;
    bool GetCaps(HidHandle handle, HidCaps* caps) override;
    bool GetNumInputBuffers(HidHandle handle, uint32_t* count) override;
    bool SetNumInputBuffers(HidHandle handle, uint32_t count) override;
    bool GetIndexedString(HidHandle handle, uint32_t index, uint16_t* buffer,
                          size_t buffer_bytes) override;
    bool FlushQueue(HidHandle handle) override;
    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override;
    HidIoRecord CreateIoRecord() override;
    void CloseIoRecord(HidIoRecord record) override;
    bool StartWrite(HidHandle handle, HidIoRecord record, const uint8_t* report, size_t length,
                    uint32_t* transferred) override;
    bool StartRead(HidHandle handle, HidIoRecord record, uint8_t* report, size_t length) override;
    HidWait Wait(HidIoRecord record, uint32_t timeout_ms) override;
    void CancelIo(HidHandle handle) override;
    uint32_t LastError() override { return last_error_; }

  private:
    struct Io {
        enum class Kind { kNone, kWrite, kRead } kind = Kind::kNone;
        HidHandle handle = kNoHidHandle;
        uint8_t* buffer = nullptr;
        size_t length = 0;
        bool completed = false;  // the event is signalled
        bool never_completes = false;
    };
    struct Handle {
        int device = -1;
        uint32_t input_buffers = 0;
    };

    bool Fail(uint32_t error);
    SimHidDevice* Usable(HidHandle handle);
    Io* Record(HidIoRecord record);

    Clock& clock_;
    std::vector<SimHidDevice> devices_;
    std::vector<std::string> snapshot_;
    bool snapshot_open_ = false;
    std::map<HidHandle, Handle> handles_;
    HidHandle next_handle_ = 0x100;
    std::map<HidIoRecord, Io> records_;
    HidIoRecord next_record_ = 0x10;
    uint32_t last_error_ = 0;

    uint32_t fail_enumerations_ = 0;
    uint32_t fail_writes_ = 0;
    uint32_t fail_write_error_ = 0;
    uint32_t fail_features_ = 0;
    uint32_t fail_feature_error_ = 0;
    uint32_t fail_read_waits_ = 0;
    uint32_t fail_read_wait_error_ = 0;
    bool writes_at_once_ = false;

    SimHidCounts counts_;
    std::vector<uint8_t> last_written_;
    std::vector<std::vector<uint8_t>> written_;
};

}  // namespace vtrl::sim
