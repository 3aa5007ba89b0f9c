// A machine for USB link and protocol tests: a virtual clock installed as the
// program's clock, the instrument stand-in and a SimHidPort installed as the
// current HID port, with the link and protocol modules in their initial state.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/program_state.h"
#include "link/hid_port.h"
#include "link/serial_link.h"
#include "link/usb_link.h"
#include "protocol/protocol.h"
#include "sim/clock.h"
#include "sim/instrument.h"
#include "sim/sim_hid_port.h"

namespace vtrl::test {

struct UsbRig {
    sim::VirtualClock clock;
    sim::Instrument instrument;
    sim::SimHidPort port{clock};

    explicit UsbRig(uint16_t release = 2) {
        instrument.Config().usb_release = release;
        SetClock(&clock);
        SetHidPort(&port);
        ResetProgramState();
    }
    ~UsbRig() {
        ResetProgramState();
        SetHidPort(nullptr);
        SetClock(nullptr);
    }

    // Puts the instrument on the list and finds it.
    bool Connect() {
        port.AddInstrument(instrument);
        return FindUSBDevice(nullptr, 0);
    }

    // The packet inside output report `index` (report ID and padding removed
    // down to `length` bytes).
    std::vector<uint8_t> Packet(size_t index, size_t length) const {
        const std::vector<uint8_t>& report = port.WrittenReports().at(index);
        return std::vector<uint8_t>(report.begin() + 1, report.begin() + 1 + length);
    }
    std::vector<uint8_t> LastPacket(size_t length) const {
        return Packet(port.WrittenReports().size() - 1, length);
    }
    uint64_t NowMs() const { return clock.NowMs(); }
};

}  // namespace vtrl::test
