// A scripted hidapi for testing the hidraw backend without a device: the
// hid_* functions the backend calls, answering as hidapi over hidraw does.
// Input reports come without their report ID byte (the device's reports are
// unnumbered), hid_write is handed the report ID as its first byte, and a
// feature report is returned with the report ID left in byte 0.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vtrl::test {

struct FakeHidapiDevice {
    std::string path;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint16_t release_number = 0;
    // What sysfs gives for the device descriptor's strings; empty: absent.
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serial_number;

    // Input reports already in the hidraw queue (a read with time-out 0 gets them).
    std::deque<std::vector<uint8_t>> queued;
    // Input reports that arrive only while a read waits.
    std::deque<std::vector<uint8_t>> arriving;
    // The read that finds this many reports consumed fails (-1): unplugged.
    int fail_read_after = -1;
    // Feature report 0 as the device sends it (without the report ID).
    std::vector<uint8_t> feature;
    // hid_write fails (-1) with this errno; 0: writes go through.  hidraw
    // answers ENODEV once the device is gone.
    int write_errno = 0;

    // What the backend did.
    std::vector<std::vector<uint8_t>> written;  // buffers given to hid_write
    std::vector<int> read_timeouts_ms;          // of reads that waited (time-out above 0)
    std::vector<size_t> read_lengths;
    std::vector<std::vector<uint8_t>> feature_requests;  // buffers as handed in
    int reads_done = 0;
    int open_handles = 0;
};

// The devices the fake hidapi enumerates and opens.  Cleared by Reset.
std::vector<FakeHidapiDevice>& FakeHidapiDevices();
void ResetFakeHidapi();

}  // namespace vtrl::test
