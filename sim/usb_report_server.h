// The stand-in's end of the pipe to the test HID minidriver (tests/wine-hid):
// the driver passes on what Wine's HID class stack asks of the device (held
// reads, output reports, feature fetches) and this answers from the
// instrument's USB framing (UsbEndpoint), either at once or at full-speed USB
// pace: one 64-byte packet per 1 ms frame each way, so a 257-byte report takes
// 5 ms to carry.  No platform code: vtrlsim-hid runs it over a named pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/hid_pipe_wire.h"
#include "sim/instrument.h"

namespace vtrl::sim {

struct WireMessage {
    uint8_t type = 0;
    std::vector<uint8_t> payload;
};

// Header and payload, ready to write.
std::vector<uint8_t> EncodeWire(const WireMessage& message);

// Cuts a byte stream into messages.
class WireReader {
  public:
    void Feed(const uint8_t* data, size_t length);
    // The next complete message, if one has arrived.
    bool Next(WireMessage* message);
    // A header announced more than VTRL_WIRE_MAX_PAYLOAD bytes: the stream
    // cannot be followed any further.
    bool Broken() const { return broken_; }

  private:
    std::vector<uint8_t> buffer_;
    bool broken_ = false;
};

class UsbReportServer {
  public:
    static constexpr uint64_t kFrameUs = 1000;
    static constexpr size_t kPacketBytes = 64;
    // Time to carry a report of `bytes` at full-speed pace.
    static uint64_t TransferUs(size_t bytes) {
        return (bytes + kPacketBytes - 1) / kPacketBytes * kFrameUs;
    }

    struct Counts {
        uint64_t output_reports = 0;   // taken by the instrument
        uint64_t input_reports = 0;    // handed to the driver (responses and status reports)
        uint64_t feature_reports = 0;  // handed to the driver
        uint64_t refused_features = 0;
        // What those reports cost at full-speed pace, paced or not: the floor
        // of any exchange that needs them.
        uint64_t paced_transfer_us = 0;
    };

    UsbReportServer(Instrument& instrument, Clock& clock, bool full_speed);

    // One message from the driver, as of the clock's now.
    void Receive(const WireMessage& message);
    // The driver went away: what it had asked is void.
    void Disconnected();
    // What falls due by now, in order: messages for the driver.
    std::vector<WireMessage> TakeDue();
    // When something next falls due (UINT64_MAX: nothing until a message comes).
    uint64_t NextDueUs() const;
    // Lines for the event log while tracing: the driver's notes (what the
    // host asked of the class driver: "input buffers 2 set", "queue
    // flushed", "indexed string 3"), "request N" (the command number) for
    // every request the instrument takes, "feature report refused".
    std::vector<std::string> TakeNotes();
    void SetTrace(bool trace) { trace_ = trace; }
    const Counts& counts() const { return counts_; }

  private:
    struct Pending {
        uint64_t due_us;
        bool lands = false;  // an output report reaching the instrument
        std::vector<uint8_t> report;
        WireMessage message;  // sent when due
    };
    void Schedule(Pending pending);
    // Hands an output report to the instrument; the driver's answer.
    WireMessage Land(const std::vector<uint8_t>& report);
    bool TakeInput(uint64_t now, std::vector<WireMessage>* out);
    uint64_t Pace(size_t bytes) const { return full_speed_ ? TransferUs(bytes) : 0; }

    UsbEndpoint endpoint_;
    Clock& clock_;
    bool full_speed_;
    bool trace_ = false;
    uint32_t reads_wanted_ = 0;
    uint64_t out_free_us_ = 0;     // host-to-device direction busy until
    uint64_t in_free_us_ = 0;      // device-to-host direction busy until
    std::deque<Pending> pending_;  // by due time
    std::vector<std::string> notes_;
    Counts counts_;
};

}  // namespace vtrl::sim
