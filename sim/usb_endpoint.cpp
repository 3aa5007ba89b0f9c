#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>

#include "sim/instrument.h"

namespace vtrl::sim {

namespace {

constexpr size_t kOutputReportSize = 257;
constexpr size_t kInputReportSize = 259;
constexpr size_t kFeatureReportSize = 257;
constexpr size_t kResponseSize = 256;

struct Response {
    uint64_t ready_us = 0;
    std::array<uint8_t, kResponseSize> bytes{};
    uint32_t not_ready_reports = 0;  // status reports still to show the flag down
    bool feature_fails = false;
};

}  // namespace

struct UsbEndpoint::State {
    Instrument instrument;
    Clock* clock;
    // Input-report way: one report per answered request, in order.
    std::deque<Response> queue;
    // Ready-flag way: the latest request's response, if it answered.
    bool have_response = false;
    Response response;
    uint64_t status_taken_us = 0;  // status reports up to here were read or flushed
    // When the flag was last up before the latest request took it down, so
    // status reports still queued from then show it set.
    uint64_t earlier_ready_from_us = 0;
    uint64_t earlier_ready_until_us = 0;

    State(Instrument& i, Clock& c) : instrument(i), clock(&c) {}

    bool ReadyFlagWay() { return instrument.Config().usb_release <= 1; }
    uint64_t StatusInterval() {
        return std::max<uint64_t>(instrument.Config().usb_status_interval_us, 1);
    }

    // The status report InputReport would take next (ready-flag way).
    uint64_t NextStatusTick() {
        const uint64_t interval = StatusInterval();
        const uint64_t now = clock->NowUs();
        const uint64_t next_untaken = (status_taken_us / interval + 1) * interval;
        const uint64_t newest = now / interval * interval;
        const uint64_t kept_span = (kStatusQueueDepth - 1) * interval;
        const uint64_t oldest_kept = newest >= kept_span ? newest - kept_span : 0;
        return std::max(next_untaken, oldest_kept);
    }

    void AdvanceTo(uint64_t t) {
        const uint64_t now = clock->NowUs();
        if (t > now) {
            clock->SleepUs(t - now);
        }
    }
};

UsbEndpoint::UsbEndpoint(Instrument& instrument, Clock& clock)
    : state_(std::make_shared<State>(instrument, clock)) {}

uint16_t UsbEndpoint::ReleaseNumber() const {
    return state_->instrument.Config().usb_release;
}

bool UsbEndpoint::OutputReport(const uint8_t* report, size_t length) {
    State& s = *state_;
    if (length != kOutputReportSize || report[0] != 0 || s.instrument.LinkCut()) {
        return false;
    }
    const uint8_t* packet = report + 1;
    const int request_length = Instrument::RequestLength(packet, kOutputReportSize - 1);
    size_t take = request_length > 0 ? static_cast<size_t>(request_length) : 1;
    // The report is the packet and zeros: a byte after the row's arguments
    // makes the request one the instrument refuses.
    for (size_t i = kOutputReportSize - 1; i > take; --i) {
        if (packet[i - 1] != 0) {
            take = i;
            break;
        }
    }
    const Instrument::Reply reply =
        s.instrument.Handle(std::vector<uint8_t>(packet, packet + take));
    if (s.instrument.LinkCut()) {
        return false;
    }
    // A new request replaces whatever the ready-flag way was holding.
    const uint64_t now = s.clock->NowUs();
    if (s.have_response && s.response.ready_us <= now) {
        s.earlier_ready_from_us = s.response.ready_us;
        s.earlier_ready_until_us = now;
    }
    s.have_response = false;
    if (!reply.answered) {
        return true;
    }
    Response r;
    r.ready_us = now + s.instrument.Config().usb_response_latency_us +
                 uint64_t{reply.delay_ms} * 1000 + reply.busy_us;
    r.not_ready_reports = reply.not_ready_reports;
    r.feature_fails = reply.feature_fails;
    std::copy_n(reply.bytes.begin(), std::min(reply.bytes.size(), kResponseSize), r.bytes.begin());
    if (s.ReadyFlagWay()) {
        s.response = r;
        s.have_response = true;
    } else {
        s.queue.push_back(r);
    }
    return true;
}

bool UsbEndpoint::InputReport(uint8_t* report, size_t length, uint64_t deadline_us) {
    State& s = *state_;
    if (length < kInputReportSize || s.instrument.LinkCut()) {
        s.AdvanceTo(deadline_us);
        return false;
    }
    std::memset(report, 0, kInputReportSize);
    if (!s.ReadyFlagWay()) {
        if (s.queue.empty() || s.queue.front().ready_us > deadline_us) {
            s.AdvanceTo(deadline_us);
            return false;
        }
        s.AdvanceTo(s.queue.front().ready_us);
        std::copy(s.queue.front().bytes.begin(), s.queue.front().bytes.end(), report + 3);
        s.queue.pop_front();
        return true;
    }
    // Status reports come every interval; the driver keeps the newest few.
    const uint64_t tick = s.NextStatusTick();
    if (tick > deadline_us) {
        s.AdvanceTo(deadline_us);
        return false;
    }
    s.AdvanceTo(tick);
    s.status_taken_us = tick;
    bool ready_now = s.have_response && s.response.ready_us <= tick;
    if (ready_now && s.response.not_ready_reports > 0) {
        --s.response.not_ready_reports;
        ready_now = false;
    }
    const bool ready_then = s.earlier_ready_from_us <= tick && tick < s.earlier_ready_until_us;
    report[1] = (ready_now || ready_then) ? 0x01 : 0x00;
    return true;
}

bool UsbEndpoint::FeatureReport(uint8_t* report, size_t length) {
    State& s = *state_;
    if (length < kFeatureReportSize || s.instrument.LinkCut() || !s.have_response ||
        s.response.ready_us > s.clock->NowUs() || s.response.feature_fails) {
        return false;
    }
    report[0] = 0;
    std::copy(s.response.bytes.begin(), s.response.bytes.end(), report + 1);
    return true;
}

uint64_t UsbEndpoint::NextInputUs() const {
    State& s = *state_;
    const uint64_t now = s.clock->NowUs();
    if (s.instrument.LinkCut()) {
        return UINT64_MAX;
    }
    if (s.ReadyFlagWay()) {
        return std::max(s.NextStatusTick(), now);
    }
    return s.queue.empty() ? UINT64_MAX : std::max(s.queue.front().ready_us, now);
}

void UsbEndpoint::FlushInput() {
    State& s = *state_;
    const uint64_t now = s.clock->NowUs();
    while (!s.queue.empty() && s.queue.front().ready_us <= now) {
        s.queue.pop_front();
    }
    s.status_taken_us = std::max(s.status_taken_us, now);
}

}  // namespace vtrl::sim
