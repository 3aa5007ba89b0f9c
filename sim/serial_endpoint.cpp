#include <algorithm>
#include <deque>
#include <utility>

#include "sim/instrument.h"

namespace vtrl::sim {

namespace {

// A request whose bytes stop coming for this long is dropped: the instrument's
// receiver starts over with the next byte.
constexpr uint64_t kInterByteTimeoutNs = 50'000'000;
// After an unknown command byte the receiver throws bytes away until the line
// has been quiet this long, so the rest of that packet is not taken for commands.
constexpr uint64_t kResyncQuietNs = 5'000'000;

uint64_t CeilUs(uint64_t ns) {
    return (ns + 999) / 1000;
}

}  // namespace

struct SerialEndpoint::State {
    Instrument instrument;
    Clock* clock;
    bool paced;
    uint64_t rx_free_ns = 0;  // when the host-to-instrument line is free again
    uint64_t tx_free_ns = 0;  // when the instrument-to-host line is free again
    uint64_t last_rx_ns = 0;
    std::vector<uint8_t> partial;
    bool discarding = false;
    std::deque<std::pair<uint64_t, uint8_t>> tx;  // arrival time (µs) at the host, byte

    State(Instrument& i, Clock& c, bool p) : instrument(i), clock(&c), paced(p) {}

    uint64_t ByteNs() const { return paced ? kByteTimeNs : 0; }

    void Send(const std::vector<uint8_t>& bytes, uint64_t start_ns) {
        uint64_t t = std::max(start_ns, tx_free_ns);
        for (uint8_t b : bytes) {
            t += ByteNs();
            tx.emplace_back(CeilUs(t), b);
        }
        tx_free_ns = t;
    }

    // One byte has arrived at the instrument at time t.
    void Receive(uint8_t byte, uint64_t t) {
        if (instrument.LinkCut()) {
            return;
        }
        const uint64_t gap = t - last_rx_ns;
        last_rx_ns = t;
        if (discarding) {
            if (gap <= kResyncQuietNs) {
                return;
            }
            discarding = false;
        }
        if (!partial.empty() && gap > kInterByteTimeoutNs) {
            partial.clear();
        }
        partial.push_back(byte);
        const int length = Instrument::RequestLength(partial.data(), partial.size());
        if (length < 0) {
            instrument.Handle(partial);  // logged and refused; nothing is answered
            partial.clear();
            discarding = true;
            return;
        }
        if (length == 0 || partial.size() < static_cast<size_t>(length)) {
            return;
        }
        const Instrument::Reply reply = instrument.Handle(partial);
        partial.clear();
        if (instrument.LinkCut()) {
            tx.clear();
            return;
        }
        if (!reply.answered) {
            return;
        }
        std::vector<uint8_t> wire = reply.bytes;
        const bool closing = reply.bytes.size() == 1 || reply.command == 0 || reply.command == 1;
        if (closing && !reply.omit_closing_echo) {
            wire.push_back(reply.closing_echo_wrong ? static_cast<uint8_t>(reply.command + 1)
                                                    : reply.command);
        }
        Send(wire, t + uint64_t{reply.delay_ms} * 1'000'000 + uint64_t{reply.busy_us} * 1000);
    }
};

SerialEndpoint::SerialEndpoint(Instrument& instrument, Clock& clock, bool paced)
    : state_(std::make_shared<State>(instrument, clock, paced)) {}

void SerialEndpoint::HostWrite(const uint8_t* data, size_t length) {
    State& s = *state_;
    const uint64_t now_ns = s.clock->NowUs() * 1000;
    for (size_t i = 0; i < length; ++i) {
        const uint64_t t = std::max(now_ns, s.rx_free_ns) + s.ByteNs();
        s.rx_free_ns = t;
        s.Receive(data[i], t);
    }
}

size_t SerialEndpoint::HostRead(uint8_t* out, size_t max) {
    State& s = *state_;
    if (s.instrument.LinkCut()) {
        s.tx.clear();
        return 0;
    }
    const uint64_t now = s.clock->NowUs();
    size_t n = 0;
    while (n < max && !s.tx.empty() && s.tx.front().first <= now) {
        out[n++] = s.tx.front().second;
        s.tx.pop_front();
    }
    return n;
}

size_t SerialEndpoint::Pending() const {
    return state_->instrument.LinkCut() ? 0 : state_->tx.size();
}

uint64_t SerialEndpoint::NextArrivalUs() const {
    if (Pending() == 0) {
        return UINT64_MAX;
    }
    return state_->tx.front().first;
}

void SerialEndpoint::DiscardInFlight() {
    State& s = *state_;
    s.tx.clear();
    s.partial.clear();
    s.discarding = false;
}

}  // namespace vtrl::sim
