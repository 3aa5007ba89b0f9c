#include "sim/usb_report_server.h"

#include <algorithm>
#include <array>

namespace vtrl::sim {

namespace {

constexpr size_t kOutputBytes = VTRL_WIRE_OUTPUT_REPORT_BYTES;
constexpr size_t kInputBytes = VTRL_WIRE_INPUT_REPORT_BYTES;
constexpr size_t kFeatureBytes = VTRL_WIRE_FEATURE_REPORT_BYTES;

WireMessage Message(uint8_t type, std::vector<uint8_t> payload) {
    WireMessage m;
    m.type = type;
    m.payload = std::move(payload);
    return m;
}

}  // namespace

std::vector<uint8_t> EncodeWire(const WireMessage& message) {
    std::vector<uint8_t> bytes(VTRL_WIRE_HEADER_BYTES + message.payload.size());
    bytes[0] = message.type;
    bytes[1] = static_cast<uint8_t>(message.payload.size() & 0xFF);
    bytes[2] = static_cast<uint8_t>(message.payload.size() >> 8);
    std::copy(message.payload.begin(), message.payload.end(),
              bytes.begin() + VTRL_WIRE_HEADER_BYTES);
    return bytes;
}

void WireReader::Feed(const uint8_t* data, size_t length) {
    buffer_.insert(buffer_.end(), data, data + length);
}

bool WireReader::Next(WireMessage* message) {
    if (broken_ || buffer_.size() < VTRL_WIRE_HEADER_BYTES) {
        return false;
    }
    const size_t length = buffer_[1] | (size_t{buffer_[2]} << 8);
    if (length > VTRL_WIRE_MAX_PAYLOAD) {
        broken_ = true;
        return false;
    }
    if (buffer_.size() < VTRL_WIRE_HEADER_BYTES + length) {
        return false;
    }
    message->type = buffer_[0];
    message->payload.assign(buffer_.begin() + VTRL_WIRE_HEADER_BYTES,
                            buffer_.begin() + VTRL_WIRE_HEADER_BYTES + length);
    buffer_.erase(buffer_.begin(), buffer_.begin() + VTRL_WIRE_HEADER_BYTES + length);
    return true;
}

UsbReportServer::UsbReportServer(Instrument& instrument, Clock& clock, bool full_speed)
    : endpoint_(instrument, clock), clock_(clock), full_speed_(full_speed) {}

void UsbReportServer::Schedule(Pending pending) {
    // Stable: what is due at the same time goes out in the order it came.
    auto at = std::upper_bound(pending_.begin(), pending_.end(), pending.due_us,
                               [](uint64_t due, const Pending& p) { return due < p.due_us; });
    pending_.insert(at, std::move(pending));
}

void UsbReportServer::Receive(const WireMessage& message) {
    const uint64_t now = clock_.NowUs();
    switch (message.type) {
        case VTRL_WIRE_READ:
            ++reads_wanted_;
            break;
        case VTRL_WIRE_OUTPUT: {
            Pending p;
            p.lands = true;
            p.report = message.payload;
            // Reports on one direction of the bus go one after the other.
            out_free_us_ = std::max(now, out_free_us_) + Pace(kOutputBytes);
            p.due_us = out_free_us_;
            Schedule(std::move(p));
            break;
        }
        case VTRL_WIRE_GET_FEATURE: {
            std::vector<uint8_t> answer(1 + kFeatureBytes - 1, 0);
            std::array<uint8_t, kFeatureBytes> report{};
            const bool given = message.payload.size() == 1 && message.payload[0] == 0 &&
                               endpoint_.FeatureReport(report.data(), report.size());
            Pending p;
            if (given) {
                std::copy(report.begin() + 1, report.end(), answer.begin() + 1);
                ++counts_.feature_reports;
                counts_.paced_transfer_us += TransferUs(kFeatureBytes);
                p.due_us = now + Pace(kFeatureBytes);
            } else {
                answer.resize(1);
                answer[0] = 1;
                ++counts_.refused_features;
                if (trace_) {
                    notes_.push_back("feature report refused");
                }
                p.due_us = now;
            }
            p.message = Message(VTRL_WIRE_FEATURE, std::move(answer));
            Schedule(std::move(p));
            break;
        }
        case VTRL_WIRE_NOTE:
            if (trace_) {
                notes_.emplace_back(message.payload.begin(), message.payload.end());
            }
            break;
        default:
            break;
    }
}

WireMessage UsbReportServer::Land(const std::vector<uint8_t>& report) {
    const bool taken = endpoint_.OutputReport(report.data(), report.size());
    if (taken && endpoint_.ReleaseNumber() <= 1) {
        // The class driver keeps the status reports; ours are sampled from
        // now on, so a report from before the request (still showing the
        // last response ready) does not reach the host after it.
        endpoint_.FlushInput();
    }
    if (taken) {
        ++counts_.output_reports;
        counts_.paced_transfer_us += TransferUs(kOutputBytes);
        if (trace_) {
            notes_.push_back("request " + std::to_string(report[1]));
        }
    }
    return Message(VTRL_WIRE_OUTPUT_DONE, {static_cast<uint8_t>(taken ? 0 : 1)});
}

bool UsbReportServer::TakeInput(uint64_t now, std::vector<WireMessage>* out) {
    if (reads_wanted_ == 0 || in_free_us_ > now || endpoint_.NextInputUs() > now) {
        return false;
    }
    std::array<uint8_t, kInputBytes> report{};
    if (!endpoint_.InputReport(report.data(), report.size(), now)) {
        return false;
    }
    --reads_wanted_;
    ++counts_.input_reports;
    counts_.paced_transfer_us += TransferUs(kInputBytes);
    // The device sends the report without its ID byte.
    WireMessage m =
        Message(VTRL_WIRE_INPUT, std::vector<uint8_t>(report.begin() + 1, report.end()));
    in_free_us_ = now + Pace(kInputBytes);
    if (in_free_us_ <= now) {
        out->push_back(std::move(m));
    } else {
        Pending p;
        p.due_us = in_free_us_;
        p.message = std::move(m);
        Schedule(std::move(p));
    }
    return true;
}

std::vector<WireMessage> UsbReportServer::TakeDue() {
    std::vector<WireMessage> out;
    const uint64_t now = clock_.NowUs();
    bool progress = true;
    while (progress) {
        progress = false;
        while (!pending_.empty() && pending_.front().due_us <= now) {
            Pending p = std::move(pending_.front());
            pending_.pop_front();
            out.push_back(p.lands ? Land(p.report) : std::move(p.message));
            progress = true;
        }
        progress = TakeInput(now, &out) || progress;
    }
    return out;
}

uint64_t UsbReportServer::NextDueUs() const {
    uint64_t next = pending_.empty() ? UINT64_MAX : pending_.front().due_us;
    if (reads_wanted_ > 0) {
        next = std::min(next, std::max(in_free_us_, endpoint_.NextInputUs()));
    }
    return next;
}

void UsbReportServer::Disconnected() {
    reads_wanted_ = 0;
    pending_.clear();
}

std::vector<std::string> UsbReportServer::TakeNotes() {
    std::vector<std::string> notes;
    notes.swap(notes_);
    return notes;
}

}  // namespace vtrl::sim
