#include "sim/sim_serial_port.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>

#include "sim/instrument.h"

namespace vtrl::sim {

namespace {

constexpr uint32_t kDefaultTimeoutMs = 10;

uint32_t PortNumberOfMode(const char* mode) {
    if (mode == nullptr || std::strncmp(mode, "COM", 3) != 0) {
        return 0;
    }
    return static_cast<uint32_t>(std::strtoul(mode + 3, nullptr, 10));
}

}  // namespace

struct SimSerialPort::Line {
    std::unique_ptr<SerialEndpoint> endpoint;  // null: nothing on the line
    struct Arrival {
        uint64_t at_us;
        uint8_t byte;
    };
    std::deque<Arrival> queued;  // scripted bytes not yet read
    bool endless = false;
    uint8_t endless_byte = 0;
    std::set<SerialCall> failing;
    bool stop_taking = false;
    uint32_t bytes_until_stop = 0;
    bool stopped_writes_fail = false;
    uint32_t write_chunk = 0;
    uint32_t stalled_calls_left = 0;

    std::vector<uint8_t> written;
    CommTimeouts timeouts;
    LineSettings applied;
    uint32_t queue_in = 0;
    uint32_t queue_out = 0;
    uint32_t event_mask = 0;
    bool open = false;
};

const char* SerialCallName(SerialCall call) {
    switch (call) {
        case SerialCall::kOpen:
            return "Open";
        case SerialCall::kBuildLineSettings:
            return "BuildLineSettings";
        case SerialCall::kSetTimeouts:
            return "SetTimeouts";
        case SerialCall::kApplyLineSettings:
            return "ApplyLineSettings";
        case SerialCall::kQueryProperties:
            return "QueryProperties";
        case SerialCall::kSetQueueSizes:
            return "SetQueueSizes";
        case SerialCall::kSetEventMask:
            return "SetEventMask";
        case SerialCall::kRead:
            return "Read";
        case SerialCall::kWrite:
            return "Write";
        case SerialCall::kClose:
            return "Close";
    }
    return "?";
}

SimSerialPort::SimSerialPort(Clock& clock) : clock_(clock) {}
SimSerialPort::~SimSerialPort() = default;

void SimSerialPort::AddPort(uint32_t port_number) {
    lines_[port_number] = std::make_unique<Line>();
}

void SimSerialPort::ConnectInstrument(uint32_t port_number, Instrument& instrument, bool paced) {
    AddPort(port_number);
    lines_[port_number]->endpoint = std::make_unique<SerialEndpoint>(instrument, clock_, paced);
}

void SimSerialPort::RemovePort(uint32_t port_number) {
    for (auto it = handles_.begin(); it != handles_.end();) {
        it = it->second == port_number ? handles_.erase(it) : std::next(it);
    }
    lines_.erase(port_number);
}

SimSerialPort::Line* SimSerialPort::Present(uint32_t port_number) {
    auto it = lines_.find(port_number);
    return it == lines_.end() ? nullptr : it->second.get();
}

const SimSerialPort::Line* SimSerialPort::Present(uint32_t port_number) const {
    auto it = lines_.find(port_number);
    return it == lines_.end() ? nullptr : it->second.get();
}

void SimSerialPort::QueueInput(uint32_t port_number, const std::vector<uint8_t>& bytes,
                               uint32_t delay_ms) {
    if (Line* line = Present(port_number)) {
        uint64_t at = clock_.NowUs() + uint64_t{delay_ms} * 1000;
        if (!line->queued.empty() && line->queued.back().at_us > at) {
            at = line->queued.back().at_us;
        }
        for (uint8_t byte : bytes) {
            line->queued.push_back(Line::Arrival{at, byte});
        }
    }
}

size_t SimSerialPort::UnreadInput(uint32_t port_number) const {
    const Line* line = Present(port_number);
    return line != nullptr ? line->queued.size() : 0;
}

void SimSerialPort::SetEndlessInput(uint32_t port_number, uint8_t byte) {
    if (Line* line = Present(port_number)) {
        line->endless = true;
        line->endless_byte = byte;
    }
}

void SimSerialPort::FailCall(uint32_t port_number, SerialCall call, bool fail) {
    if (Line* line = Present(port_number)) {
        if (fail) {
            line->failing.insert(call);
        } else {
            line->failing.erase(call);
        }
    }
}

void SimSerialPort::StopTakingBytes(uint32_t port_number, uint32_t after_bytes, bool writes_fail) {
    if (Line* line = Present(port_number)) {
        line->stop_taking = true;
        line->bytes_until_stop = after_bytes;
        line->stopped_writes_fail = writes_fail;
    }
}

void SimSerialPort::StallWrites(uint32_t port_number, uint32_t calls) {
    if (Line* line = Present(port_number)) {
        line->stalled_calls_left = calls;
    }
}

void SimSerialPort::LimitWriteChunk(uint32_t port_number, uint32_t max_bytes) {
    if (Line* line = Present(port_number)) {
        line->write_chunk = max_bytes;
    }
}

void SimSerialPort::ClearTrace() {
    trace_.clear();
}

std::vector<uint8_t> SimSerialPort::Written(uint32_t port_number) const {
    const Line* line = Present(port_number);
    return line != nullptr ? line->written : std::vector<uint8_t>{};
}

void SimSerialPort::ClearWritten(uint32_t port_number) {
    if (Line* line = Present(port_number)) {
        line->written.clear();
    }
}

CommTimeouts SimSerialPort::Timeouts(uint32_t port_number) const {
    const Line* line = Present(port_number);
    return line != nullptr ? line->timeouts : CommTimeouts{};
}

LineSettings SimSerialPort::AppliedLineSettings(uint32_t port_number) const {
    const Line* line = Present(port_number);
    return line != nullptr ? line->applied : LineSettings{};
}

uint32_t SimSerialPort::QueueInputSize(uint32_t port_number) const {
    const Line* line = Present(port_number);
    return line != nullptr ? line->queue_in : 0;
}

uint32_t SimSerialPort::QueueOutputSize(uint32_t port_number) const {
    const Line* line = Present(port_number);
    return line != nullptr ? line->queue_out : 0;
}

uint32_t SimSerialPort::EventMask(uint32_t port_number) const {
    const Line* line = Present(port_number);
    return line != nullptr ? line->event_mask : 0;
}

bool SimSerialPort::IsOpen(uint32_t port_number) const {
    const Line* line = Present(port_number);
    return line != nullptr && line->open;
}

bool SimSerialPort::Fails(const Line& line, SerialCall call) const {
    return line.failing.count(call) != 0;
}

void SimSerialPort::Note(SerialCall call, uint32_t port_number) {
    trace_.push_back(std::string(SerialCallName(call)) + " COM" + std::to_string(port_number));
}

SimSerialPort::Line* SimSerialPort::LineOf(SerialHandle port, SerialCall call) {
    auto it = handles_.find(port);
    if (it == handles_.end()) {
        ++counts_.bad_handle_calls;
        trace_.push_back(std::string(SerialCallName(call)) + " (bad handle)");
        return nullptr;
    }
    Note(call, it->second);
    return Present(it->second);
}

SerialHandle SimSerialPort::Open(uint32_t port_number, const char* device_name) {
    ++counts_.open_attempts;
    device_names_.push_back(device_name != nullptr ? device_name : "");
    opened_ports_.push_back(port_number);
    Note(SerialCall::kOpen, port_number);
    Line* line = Present(port_number);
    // A port already open is held exclusively, as a COM port is.
    if (line == nullptr || line->open || Fails(*line, SerialCall::kOpen)) {
        return kInvalidSerialHandle;
    }
    line->open = true;
    ++counts_.opens;
    const SerialHandle handle = next_handle_++;
    handles_[handle] = port_number;
    return handle;
}

bool SimSerialPort::BuildLineSettings(const char* mode, LineSettings* settings) {
    mode_strings_.push_back(mode != nullptr ? mode : "");
    const uint32_t port_number = PortNumberOfMode(mode);
    Note(SerialCall::kBuildLineSettings, port_number);
    const Line* line = Present(port_number);
    if (line != nullptr && Fails(*line, SerialCall::kBuildLineSettings)) {
        return false;
    }
    return ParseCommMode(mode, settings);
}

bool SimSerialPort::SetTimeouts(SerialHandle port, const CommTimeouts& timeouts) {
    Line* line = LineOf(port, SerialCall::kSetTimeouts);
    if (line == nullptr || Fails(*line, SerialCall::kSetTimeouts)) {
        return false;
    }
    line->timeouts = timeouts;
    return true;
}

bool SimSerialPort::ApplyLineSettings(SerialHandle port, const LineSettings& settings) {
    Line* line = LineOf(port, SerialCall::kApplyLineSettings);
    if (line == nullptr || Fails(*line, SerialCall::kApplyLineSettings)) {
        return false;
    }
    line->applied = settings;
    return true;
}

bool SimSerialPort::QueryProperties(SerialHandle port) {
    Line* line = LineOf(port, SerialCall::kQueryProperties);
    return line != nullptr && !Fails(*line, SerialCall::kQueryProperties);
}

bool SimSerialPort::SetQueueSizes(SerialHandle port, uint32_t input_bytes, uint32_t output_bytes) {
    Line* line = LineOf(port, SerialCall::kSetQueueSizes);
    if (line == nullptr || Fails(*line, SerialCall::kSetQueueSizes)) {
        return false;
    }
    line->queue_in = input_bytes;
    line->queue_out = output_bytes;
    return true;
}

bool SimSerialPort::SetEventMask(SerialHandle port, uint32_t mask) {
    Line* line = LineOf(port, SerialCall::kSetEventMask);
    if (line == nullptr || Fails(*line, SerialCall::kSetEventMask)) {
        return false;
    }
    line->event_mask = mask;
    return true;
}

bool SimSerialPort::Read(SerialHandle port, uint8_t* buffer, uint32_t max, uint32_t* got) {
    *got = 0;
    ++counts_.reads;
    Line* line = LineOf(port, SerialCall::kRead);
    if (line == nullptr || Fails(*line, SerialCall::kRead)) {
        ++counts_.empty_reads;
        return false;
    }
    auto take = [&]() {
        const uint64_t now = clock_.NowUs();
        while (*got < max && !line->queued.empty() && line->queued.front().at_us <= now) {
            buffer[(*got)++] = line->queued.front().byte;
            line->queued.pop_front();
        }
        while (*got < max && line->endless) {
            buffer[(*got)++] = line->endless_byte;
        }
        if (*got < max && line->endpoint) {
            *got += static_cast<uint32_t>(line->endpoint->HostRead(buffer + *got, max - *got));
        }
    };
    if (max > 0) {
        take();
        if (*got == 0) {
            // Nothing has arrived: wait for the first byte, at most the time-out.
            const uint32_t timeout_ms = line->timeouts.read_total_constant_ms != 0
                                            ? line->timeouts.read_total_constant_ms
                                            : kDefaultTimeoutMs;
            const uint64_t now = clock_.NowUs();
            const uint64_t deadline = now + uint64_t{timeout_ms} * 1000;
            uint64_t next = line->endpoint ? line->endpoint->NextArrivalUs() : UINT64_MAX;
            if (!line->queued.empty() && line->queued.front().at_us < next) {
                next = line->queued.front().at_us;
            }
            if (next <= deadline) {
                if (next > now) {
                    clock_.SleepUs(next - now);
                }
                take();
            } else {
                clock_.SleepUs(deadline - now);
            }
        }
    }
    if (*got == 0) {
        ++counts_.empty_reads;
    }
    counts_.bytes_read += *got;
    return true;
}

bool SimSerialPort::Write(SerialHandle port, const uint8_t* data, uint32_t length,
                          uint32_t* written) {
    *written = 0;
    ++counts_.writes;
    Line* line = LineOf(port, SerialCall::kWrite);
    if (line == nullptr || Fails(*line, SerialCall::kWrite)) {
        ++counts_.stalled_writes;
        return false;
    }
    uint32_t n = length;
    if (line->write_chunk != 0 && n > line->write_chunk) {
        n = line->write_chunk;
    }
    const uint32_t timeout_ms = line->timeouts.write_total_constant_ms != 0
                                    ? line->timeouts.write_total_constant_ms
                                    : kDefaultTimeoutMs;
    if (line->stalled_calls_left > 0) {
        --line->stalled_calls_left;
        ++counts_.stalled_writes;
        clock_.SleepMs(timeout_ms);
        return true;
    }
    if (line->stop_taking) {
        if (line->bytes_until_stop == 0) {
            ++counts_.stalled_writes;
            if (line->stopped_writes_fail) {
                return false;
            }
            clock_.SleepMs(timeout_ms);
            return true;
        }
        if (n > line->bytes_until_stop) {
            n = line->bytes_until_stop;
        }
        line->bytes_until_stop -= n;
    }
    if (n == 0) {
        ++counts_.stalled_writes;
        return true;
    }
    line->written.insert(line->written.end(), data, data + n);
    if (line->endpoint) {
        line->endpoint->HostWrite(data, n);
    }
    counts_.bytes_written += n;
    *written = n;
    return true;
}

bool SimSerialPort::Close(SerialHandle port) {
    auto it = handles_.find(port);
    if (it == handles_.end()) {
        ++counts_.bad_closes;
        trace_.push_back("Close (bad handle)");
        return false;
    }
    Note(SerialCall::kClose, it->second);
    if (Line* line = Present(it->second)) {
        line->open = false;
    }
    handles_.erase(it);
    ++counts_.closes;
    return true;
}

}  // namespace vtrl::sim
