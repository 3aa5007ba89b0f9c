// USB HID link: finds the instrument (vendor 0x7A3D, product 0x05C1) among the
// HID interfaces, holds one handle to it and carries the protocol's packets as
// 257-byte output reports; responses come back as 256 bytes, by input report
// (release number 2 and up) or by the ready flag and a feature report (0, 1).
#pragma once

#include <cstdint>

#include "link/hid_port.h"

namespace vtrl {

constexpr uint16_t kVantrelVendorId = 0x7A3D;
constexpr uint16_t kVantrelProductId = 0x05C1;
constexpr int kUsbIdentFieldCount =
    6;  // language, manufacturer, product, serial, configuration, interface

// Scans the present HID interfaces and holds the last matching one: vendor
// 0x7A3D, product 0x05C1, and reports of the instrument's lengths (input 259,
// output 257, feature 257 bytes, ID byte included).  `fields`
// is null or points at six caller-owned buffers of `field_size` bytes each,
// filled with labelled identification strings (cut to field_size - 1).
// True exactly when a device handle is held afterwards.
bool FindUSBDevice(char* const* fields, uint16_t field_size);

// True while an instrument device handle is held (selects the USB link).
bool USBLinkSelected();

// 257 (the report length) on success, 0 on failure or a length over 256.  A
// write the system refuses at once (a device that is gone) fails at once; one
// under way is waited for up to 5 s.
int SendUSBPacket(const uint8_t* packet, int length);

// 0 on success with the 256 response bytes in `destination` and `length` = 256;
// non-zero on failure, destination untouched.  A read the system refuses at
// once fails at once, without waiting for a report.
int GetUSBResponsePacket(uint8_t* destination, uint32_t* length);

// After a failed platform call: true (continue) for an I/O still pending, else false.
bool HandleUSBError();

// The holder of the two completion records (overlapped record plus event) of
// the output and input reports.  Create makes them the first time it is
// called (and again any that could not be made); it always reports success.
// At program end the read record is closed, then the write record, each only
// if it exists and its port is still the one installed.
class USBEvents {
  public:
    USBEvents() = default;
    ~USBEvents();
    USBEvents(const USBEvents&) = delete;
    USBEvents& operator=(const USBEvents&) = delete;

    bool Create();
    void Release();
    HidIoRecord WriteRecord() const { return write_record_; }
    HidIoRecord ReadRecord() const { return read_record_; }
    bool EventsCreated() const { return events_created_; }

  private:
    bool events_created_ = false;
    HidPort* port_ = nullptr;  // the port that made the records
    HidIoRecord write_record_ = kNoHidIoRecord;
    HidIoRecord read_record_ = kNoHidIoRecord;
};

// Initial state: no device held (the held handle closed on the port that
// opened it, if that port is still installed), completion records released.
void ResetUsbLink();

}  // namespace vtrl
