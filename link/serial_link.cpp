#include "link/serial_link.h"

#include <cstdio>

#include "link/internal.h"
#include "link/serial_port.h"
#include "platform/clock.h"

namespace vtrl {

namespace link_internal {
SerialLinkState g_serial_link;
}  // namespace link_internal

namespace {

using link_internal::SerialLinkState;
SerialLinkState& g_link = link_internal::g_serial_link;

// Read interval MAXDWORD with no multiplier: a read returns at once with what
// has arrived, or waits the constant when nothing has.  A write waits at most
// the constant and may write fewer bytes than asked.
constexpr CommTimeouts kPortTimeouts = {0xFFFFFFFFu, 0, kCommTimeoutMs, 0, kCommTimeoutMs};

bool PortHeld() {
    return g_link.port != kInvalidSerialHandle;
}

// One read of at most one byte; false when none came (time-out or failed call).
bool ReadOneByte(uint8_t* byte) {
    uint32_t got = 0;
    const bool ok = CurrentSerialPort().Read(g_link.port, byte, 1, &got);
    return ok && got == 1;
}

// Discards pending input one byte per read until a read yields nothing.
void Drain() {
    if (!PortHeld()) {
        return;
    }
    uint8_t byte = 0;
    for (uint32_t n = 0; n < kCommDrainLimit && ReadOneByte(&byte); ++n) {
    }
}

// Keeps a reply's empty reads at kCommTimeoutMs each at least.  Some USB-serial
// drivers ignore the read time-outs and come back empty at once (CH340
// adapters: bugst/go-serial pull request 200); counted as they are, the reply
// budget would then last milliseconds and a reply that takes seconds (an
// erase) would be given up.  Such a read waits the rest of its time-out here.
// Time is kept from the reply's first read, so a wait that overshoots (a coarse
// system timer) is made good by the next reads, and a driver that waits the
// time-out itself is never slowed.
class ReplyPace {
  public:
    explicit ReplyPace(SerialPort& port) : port_(port), due_us_(clock_.NowUs()) {}

    // One read for the reply; false when it delivered nothing.
    bool Read(uint8_t* buffer, uint32_t max, uint32_t* got) {
        if (!port_.Read(g_link.port, buffer, max, got)) {
            *got = 0;
        }
        if (*got != 0) {
            return true;
        }
        due_us_ += uint64_t{kCommTimeoutMs} * 1000;
        const uint64_t now = clock_.NowUs();
        if (now < due_us_) {
            clock_.SleepUs(due_us_ - now);
        }
        return false;
    }

  private:
    SerialPort& port_;
    Clock& clock_ = CurrentClock();
    uint64_t due_us_;
};

// Keeps a send's stalled write calls (failed, or moved nothing) at
// kCommTimeoutMs each at least, as ReplyPace does for reads, and gives up
// once the port has taken nothing for kCommWriteStallMs: a driver whose empty
// writes come back at once (an adapter pulled out: every WriteFile fails at
// once) would otherwise be given up in microseconds.
class WriteStall {
  public:
    // Before each write call.
    void Starting() { call_us_ = clock_.NowUs(); }
    // After a write call that moved bytes.
    void Moved() { stalled_ = false; }
    // After a write call that moved nothing: false once the port has taken
    // nothing for kCommWriteStallMs.
    bool KeepTrying() {
        if (!stalled_) {
            stalled_ = true;
            since_us_ = call_us_;
            due_us_ = call_us_;
        }
        due_us_ += uint64_t{kCommTimeoutMs} * 1000;
        const uint64_t now = clock_.NowUs();
        if (now < due_us_) {
            clock_.SleepUs(due_us_ - now);
        }
        return clock_.NowUs() - since_us_ < uint64_t{kCommWriteStallMs} * 1000;
    }

  private:
    Clock& clock_ = CurrentClock();
    bool stalled_ = false;
    uint64_t call_us_ = 0;
    uint64_t since_us_ = 0;
    uint64_t due_us_ = 0;
};

}  // namespace

void SetCommPortIndex(int index) {
    g_link.index = index;
}

bool InitCommLink(bool force) {
    if (!g_link.open || force) {
        return OpenCommPort(kCommBaudRate, g_link.index);
    }
    return true;
}

bool OpenCommPort(uint32_t baud_rate, int index) {
    if (PortHeld()) {
        CloseCommPort();
    }
    SerialPort& port = CurrentSerialPort();
    const unsigned port_number = static_cast<unsigned>(index) + 1u;

    // Both texts fit their buffers for any port number and baud rate.
    char device_name[32];
    (void)std::snprintf(device_name, sizeof device_name, "\\\\.\\COM%u", port_number);
    g_link.port = port.Open(port_number, device_name);
    if (!PortHeld()) {
        return false;
    }

    char mode[48];
    (void)std::snprintf(mode, sizeof mode, "COM%u:%lu,n,8,1", port_number,
                        static_cast<unsigned long>(baud_rate));
    LineSettings settings;
    if (!port.BuildLineSettings(mode, &settings)) {
        return false;
    }
    if (!port.SetTimeouts(g_link.port, kPortTimeouts)) {
        return false;
    }
    // Past the time-outs the port is usable even if a step is refused: some
    // drivers (USB adapters among them) reject settings they cannot change.
    port.ApplyLineSettings(g_link.port, settings);
    port.QueryProperties(g_link.port);
    port.SetQueueSizes(g_link.port, kCommQueueBytes, kCommQueueBytes);
    port.SetEventMask(g_link.port, kCommEventMask);
    g_link.open = true;
    return true;
}

bool CloseCommPort() {
    if (!PortHeld()) {
        return false;
    }
    const bool closed = CurrentSerialPort().Close(g_link.port);
    g_link.port = kInvalidSerialHandle;
    g_link.open = false;
    return closed;
}

bool SendCommPacket(const uint8_t* packet, int length) {
    if (length > kPacketLimit || length < 0 || !g_link.open) {
        return false;
    }
    if (length > 0 && packet == nullptr) {
        return false;
    }
    Drain();

    SerialPort& port = CurrentSerialPort();
    WriteStall stall;
    uint32_t sent = 0;
    const uint32_t total = static_cast<uint32_t>(length);
    while (sent < total) {
        uint32_t written = 0;
        stall.Starting();
        const bool ok = port.Write(g_link.port, packet + sent, total - sent, &written);
        if (!ok || written == 0) {
            // An unplugged adapter fails every write or takes nothing: give up
            // rather than wait for a port that will never take the bytes.
            if (!stall.KeepTrying()) {
                return false;
            }
            continue;
        }
        stall.Moved();
        sent += written < total - sent ? written : total - sent;
    }
    return true;
}

bool GetCommResponsePacket(uint8_t* buffer, uint8_t command, int length) {
    if (length > kPacketLimit || length < 0 || !PortHeld()) {
        return false;
    }
    if (length > 0 && buffer == nullptr) {
        return false;
    }
    ReplyPace pace(CurrentSerialPort());
    uint32_t attempts = 0;
    uint8_t byte = 0;
    uint32_t got = 0;

    while (!pace.Read(&byte, 1, &got)) {
        if (++attempts >= kCommReplyBudget) {
            return false;
        }
    }
    if (byte != command) {
        return false;
    }

    const uint32_t wanted = static_cast<uint32_t>(length);
    uint32_t have = 0;
    while (have < wanted) {
        pace.Read(buffer + have, wanted - have, &got);
        have += got < wanted - have ? got : wanted - have;
        if (++attempts >= kCommReplyBudget) {
            return false;
        }
    }
    if (!ReplyHasClosingEcho(command, length)) {
        return true;
    }

    while (!pace.Read(&byte, 1, &got)) {
        if (++attempts >= kCommReplyBudget) {
            return false;
        }
    }
    return byte == command;
}

void FlushCommInput() {
    Drain();
}

void ResetSerialLink() {
    CloseCommPort();
    g_link = SerialLinkState{};
}

}  // namespace vtrl
