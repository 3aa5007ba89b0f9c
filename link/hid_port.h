// HID seam: the few platform calls the USB link makes, shaped after the Win32
// HID access it was written against (SetupAPI enumeration, hid.dll queries,
// overlapped WriteFile/ReadFile waited on with an event).  The link's control
// flow (retries, time-outs, ERROR_IO_PENDING handling) lives above the seam;
// a backend only passes calls through.
//
// Backends: link/windows/hid_port.cpp (SetupAPI + hid.dll), link/linux/hid_port.cpp
// (hidapi, hidraw) and, for tests and the demo build, vtrl::sim::SimHidPort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtrl {

// An open HID interface; kNoHidHandle is "none" (a failed open).
using HidHandle = std::uintptr_t;
constexpr HidHandle kNoHidHandle = 0;

// An overlapped record together with its completion event (auto-reset,
// initially not signalled).  kNoHidIoRecord is "none".
using HidIoRecord = std::uintptr_t;
constexpr HidIoRecord kNoHidIoRecord = 0;

// Win32 error codes the link and the backends speak in (GetLastError values).
enum : uint32_t {
    kHidErrorNone = 0,
    kHidErrorFileNotFound = 2,   // ERROR_FILE_NOT_FOUND
    kHidErrorAccessDenied = 5,   // ERROR_ACCESS_DENIED
    kHidErrorInvalidHandle = 6,  // ERROR_INVALID_HANDLE
    kHidErrorGenFailure = 31,    // ERROR_GEN_FAILURE: the device did not take the request
    kHidErrorNotSupported = 50,  // ERROR_NOT_SUPPORTED
    kHidErrorInvalidParameter = 87,
    kHidErrorNoMoreItems = 259,  // ERROR_NO_MORE_ITEMS
    kHidErrorOperationAborted = 995,
    kHidErrorIoPending = 997,  // ERROR_IO_PENDING: the overlapped call is under way
    kHidErrorDeviceNotConnected = 1167,
};

struct HidAttributes {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint16_t version_number = 0;  // the device release number
};

// The longest report of each kind the device's report descriptor declares, in
// bytes, the report ID byte included (HidP_GetCaps); 0 for a kind it has none of.
struct HidCaps {
    uint16_t input_report_bytes = 0;
    uint16_t output_report_bytes = 0;
    uint16_t feature_report_bytes = 0;
};

// How a wait on an overlapped record ended (WaitForSingleObject).
enum class HidWait {
    kSignalled,  // the I/O completed (WAIT_OBJECT_0)
    kTimedOut,   // WAIT_TIMEOUT: the I/O is still outstanding
    kFailed,     // WAIT_FAILED or abandoned; LastError says why
};

class HidPort {
  public:
    virtual ~HidPort() = default;

    // --- enumeration (HidD_GetHidGuid, SetupDiGetClassDevsA, ...) ----------
    // Takes a snapshot of the present HID interfaces.  False when the system
    // refused (LastError set); nothing to end then.
    virtual bool BeginEnumeration() = 0;
    // Member `index` of the snapshot (SetupDiEnumDeviceInterfaces): false when
    // there is no such member.  `path` receives the interface's device path,
    // or is left empty when the path could not be had.
    virtual bool EnumerateInterface(uint32_t index, std::string* path) = 0;
    // Releases the snapshot of the last successful BeginEnumeration.
    virtual void EndEnumeration() = 0;

    // --- one interface ---------------------------------------------------
    // Opens a device path for overlapped reading and writing, shared read and
    // write; kNoHidHandle on failure (LastError set).  The caller owns the handle.
    virtual HidHandle Open(const std::string& path) = 0;
    virtual void Close(HidHandle handle) = 0;
    virtual bool GetAttributes(HidHandle handle, HidAttributes* attributes) = 0;
    // The report lengths of the device's descriptor; false when they cannot be had.
    virtual bool GetCaps(HidHandle handle, HidCaps* caps) = 0;
    virtual bool GetNumInputBuffers(HidHandle handle, uint32_t* count) = 0;
    virtual bool SetNumInputBuffers(HidHandle handle, uint32_t count) = 0;
    // Device string `index` as UTF-16 units, terminated by a 0 unit when it is
    // shorter than the buffer; `buffer_bytes` is the buffer's size in bytes.
    virtual bool GetIndexedString(HidHandle handle, uint32_t index, uint16_t* buffer,
                                  size_t buffer_bytes) = 0;
    // Discards the input reports queued for this handle.
    virtual bool FlushQueue(HidHandle handle) = 0;
    // Feature report whose ID is report[0]; `length` includes the ID byte.
    virtual bool GetFeature(HidHandle handle, uint8_t* report, size_t length) = 0;

    // --- overlapped output and input reports -----------------------------
    // Creates an overlapped record with its event; kNoHidIoRecord on failure.
    virtual HidIoRecord CreateIoRecord() = 0;
    virtual void CloseIoRecord(HidIoRecord record) = 0;
    // Starts writing one output report (report[0] is the report ID).  The
    // result is WriteFile's: true when the write completed at once (then
    // *transferred holds the bytes written), false otherwise with LastError
    // kHidErrorIoPending for a write under way.  The record's event is
    // signalled when the write completes.  `report` must stay valid until then.
    // Any other LastError means the write was refused at once (a device that
    // is gone: kHidErrorDeviceNotConnected); nothing is under way then and the
    // record's event will not be signalled for it.
    virtual bool StartWrite(HidHandle handle, HidIoRecord record, const uint8_t* report,
                            size_t length, uint32_t* transferred) = 0;
    // Starts reading one input report into `report` (the report ID lands in
    // report[0]), with ReadFile's result convention, a refusal included.  `report` must stay valid
    // until the read completes or is cancelled.
    virtual bool StartRead(HidHandle handle, HidIoRecord record, uint8_t* report,
                           size_t length) = 0;
    // Waits up to `timeout_ms` for the record's event.  A wait that ends by
    // time-out leaves the I/O outstanding.
    virtual HidWait Wait(HidIoRecord record, uint32_t timeout_ms) = 0;
    // Cancels the handle's outstanding I/O and returns once it has settled, so
    // that its buffer is free and the record's event is clear again.
    virtual void CancelIo(HidHandle handle) = 0;

    // --- process ---------------------------------------------------------
    // The code of the last failed call (GetLastError).
    virtual uint32_t LastError() = 0;
};

// The platform's own HID access (defined by the build's backend, library
// vtrl_link_native).  The product's entry installs it with SetHidPort.
HidPort& NativeHidPort();

// The port the USB link uses.  Until one is installed the link sees an
// AbsentHidPort, so a program that never installs a port simply finds no USB
// instrument.
void SetHidPort(HidPort* port);  // null: back to "no HID interfaces"
HidPort& CurrentHidPort();

// A machine without HID interfaces: nothing is enumerated and every call
// fails.  Ports that model only part of a machine (the stand-in's) start from
// it and answer only the calls they model.
class AbsentHidPort : public HidPort {
  public:
    bool BeginEnumeration() override { return false; }
    bool EnumerateInterface(uint32_t, std::string*) override { return false; }
    void EndEnumeration() override {}
    HidHandle Open(const std::string&) override { return kNoHidHandle; }
    void Close(HidHandle) override {}
    bool GetAttributes(HidHandle, HidAttributes*) override { return false; }
    bool GetCaps(HidHandle, HidCaps*) override { return false; }
    bool GetNumInputBuffers(HidHandle, uint32_t*) override { return false; }
    bool SetNumInputBuffers(HidHandle, uint32_t) override { return false; }
    bool GetIndexedString(HidHandle, uint32_t, uint16_t*, size_t) override { return false; }
    bool FlushQueue(HidHandle) override { return false; }
    bool GetFeature(HidHandle, uint8_t*, size_t) override { return false; }
    HidIoRecord CreateIoRecord() override { return kNoHidIoRecord; }
    void CloseIoRecord(HidIoRecord) override {}
    bool StartWrite(HidHandle, HidIoRecord, const uint8_t*, size_t,
                    uint32_t* transferred) override {
        *transferred = 0;
        return false;
    }
    bool StartRead(HidHandle, HidIoRecord, uint8_t*, size_t) override { return false; }
    HidWait Wait(HidIoRecord, uint32_t) override { return HidWait::kFailed; }
    void CancelIo(HidHandle) override {}
    uint32_t LastError() override { return kHidErrorFileNotFound; }
};

}  // namespace vtrl
