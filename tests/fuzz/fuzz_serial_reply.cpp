// The serial reply path: GetCommResponsePacket, and the protocol's exchanges
// over the serial link, fed any byte stream in any pieces, with time-outs and
// failed reads where the fuzzer puts them.  A reply is judged against the
// echo framing independently of the link; no call may wait longer than the
// reply budget allows.
//
// Input: kind, a 16-bit parameter, a count of control bytes and the controls
// (each read after the request takes one: a time-out, a failed call, or how
// many bytes arrive), then the bytes the instrument sends after the request.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "driver/program_state.h"
#include "link/serial_link.h"
#include "link/serial_port.h"
#include "protocol/protocol.h"
#include "sim/clock.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using vtrl::SerialHandle;

constexpr uint64_t kReadTimeoutUs = 10000;
constexpr size_t kMostControls = 255;

// A port whose line carries exactly the fuzzer's bytes, and only once the
// host has written a request (a reply follows its request).
class FuzzSerialPort final : public vtrl::AbsentSerialPort {
  public:
    FuzzSerialPort(vtrl::sim::VirtualClock& clock, std::vector<uint8_t> controls,
                   std::vector<uint8_t> stream, bool armed)
        : clock_(clock),
          controls_(std::move(controls)),
          stream_(std::move(stream)),
          armed_(armed) {}

    SerialHandle Open(uint32_t, const char*) override { return 1; }
    bool SetTimeouts(SerialHandle, const vtrl::CommTimeouts&) override { return true; }
    bool ApplyLineSettings(SerialHandle, const vtrl::LineSettings&) override { return true; }
    bool QueryProperties(SerialHandle) override { return true; }
    bool SetQueueSizes(SerialHandle, uint32_t, uint32_t) override { return true; }
    bool SetEventMask(SerialHandle, uint32_t) override { return true; }
    bool Close(SerialHandle) override { return true; }

    bool Read(SerialHandle, uint8_t* buffer, uint32_t max, uint32_t* got) override {
        *got = 0;
        ++reads_;
        const size_t available = armed_ ? stream_.size() - at_ : 0;
        size_t n = available;
        if (armed_ && next_control_ < controls_.size()) {
            const uint8_t c = controls_[next_control_++];
            if (c % 4 == 1) {
                return false;  // the call itself failed
            }
            n = c % 4 == 0 ? 0 : std::min<size_t>(available, 1 + c / 4);
        }
        n = std::min<size_t>(n, max);
        if (n == 0) {
            clock_.Advance(kReadTimeoutUs);
            return true;
        }
        std::copy_n(stream_.begin() + static_cast<long>(at_), n, buffer);
        at_ += n;
        *got = static_cast<uint32_t>(n);
        return true;
    }
    bool Write(SerialHandle, const uint8_t* data, uint32_t length, uint32_t* written) override {
        armed_ = true;
        requests_.emplace_back(data, data + length);
        *written = length;
        return true;
    }

    const std::vector<std::vector<uint8_t>>& Requests() const { return requests_; }
    uint32_t Reads() const { return reads_; }

  private:
    vtrl::sim::VirtualClock& clock_;
    std::vector<uint8_t> controls_;
    std::vector<uint8_t> stream_;
    bool armed_;
    size_t at_ = 0;
    size_t next_control_ = 0;
    uint32_t reads_ = 0;
    std::vector<std::vector<uint8_t>> requests_;
};

// What a well-framed reply of `length` payload bytes to `command` makes of
// `stream`: whether it is one, and its payload.
bool Framed(const std::vector<uint8_t>& stream, uint8_t command, int length,
            std::vector<uint8_t>* payload) {
    if (length < 0 || length > vtrl::kPacketLimit) {
        return false;
    }
    const size_t n = static_cast<size_t>(length);
    if (stream.empty() || stream[0] != command || stream.size() < 1 + n) {
        return false;
    }
    if (vtrl::ReplyHasClosingEcho(command, length) &&
        (stream.size() < 2 + n || stream[1 + n] != command)) {
        return false;
    }
    payload->assign(stream.begin() + 1, stream.begin() + 1 + static_cast<long>(n));
    return true;
}

uint32_t BigEndian(const std::vector<uint8_t>& bytes) {
    uint32_t v = 0;
    for (uint8_t b : bytes) {
        v = v << 8 | b;
    }
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vtrl;
    using fuzz::FuzzInput;
    FuzzInput in(data, size);
    const uint8_t kind = in.Byte() % 10;
    const uint16_t param = in.U16();
    const uint8_t extra = in.Byte();
    std::vector<uint8_t> controls(std::min<size_t>(in.Byte(), kMostControls));
    for (uint8_t& c : controls) {
        c = in.Byte();
    }
    size_t stream_length = 0;
    const uint8_t* stream_bytes = in.Rest(&stream_length);
    const std::vector<uint8_t> stream(stream_bytes, stream_bytes + stream_length);

    sim::VirtualClock clock;
    SetClock(&clock);
    // The direct receive reads a reply already on its way; the exchanges send first.
    FuzzSerialPort port(clock, controls, stream, kind == 0);
    SetSerialPort(&port);
    ResetProgramState();
    SetCommPortIndex(0);
    VTRL_FUZZ_CHECK(InitCommLink(true));

    // The single-exchange kinds: command, payload length, the call.
    struct Single {
        uint8_t command;
        int length;
    };
    Single single{0, -1};
    uint32_t result = 0;
    std::vector<uint8_t> buffer(300, 0xEE);
    switch (kind) {
        case 0: {
            const int length = static_cast<int>(param % 263) - 2;
            const bool ok = GetCommResponsePacket(buffer.data(), extra, length);
            std::vector<uint8_t> payload;
            VTRL_FUZZ_CHECK(ok == Framed(stream, extra, length, &payload));
            if (ok) {
                VTRL_FUZZ_CHECK(std::equal(payload.begin(), payload.end(), buffer.begin()));
            }
            // The buffer past the payload is untouched.
            const size_t used = ok ? payload.size() : static_cast<size_t>(std::max(0, length));
            for (size_t i = std::min(used, buffer.size()); i < buffer.size(); ++i) {
                VTRL_FUZZ_CHECK(buffer[i] == 0xEE);
            }
            break;
        }
        case 1:
            result = QueryValue(extra, 0);
            single = {kCmdQueryValue, 4};
            break;
        case 2:
            result = SetValue(extra, param * 0x10001u);
            single = {kCmdSetValue, 0};
            break;
        case 3:
            result = GetStatus();
            single = {kCmdGetStatus, 2};
            break;
        case 4:
            result = ProgramFlashFromBuffer(param);
            single = {kCmdProgramFlashFromBuffer, 2};
            break;
        case 5:
            result = EraseFlashSector(param);
            single = {kCmdEraseFlashSector, 2};
            break;
        case 6:
            result = SetRemoteMode(extra & 1, 0, 0);
            single = {kCmdSetRemoteMode, 2};
            break;
        case 7: {
            const uint16_t count = param % 1025;
            std::vector<uint8_t> into(count + 1u, 0xEE);
            ReadMemory(0xCFC00, into.data(), count);
            const uint32_t error = GetLinkError();
            VTRL_FUZZ_CHECK(error == kLinkErrorNone || error == kLinkErrorReadMemory);
            VTRL_FUZZ_CHECK(into[count] == 0xEE);  // nothing past the range
            std::vector<uint8_t> payload;
            if (count > 0 && count <= 254) {
                VTRL_FUZZ_CHECK((error == kLinkErrorNone) ==
                                Framed(stream, kCmdReadMemory, count, &payload));
                if (error == kLinkErrorNone) {
                    VTRL_FUZZ_CHECK(std::equal(payload.begin(), payload.end(), into.begin()));
                }
            }
            VTRL_FUZZ_CHECK(count != 0 || port.Requests().empty());
            break;
        }
        case 8: {
            const uint16_t count = param % 600;
            std::vector<uint8_t> source(count);
            for (size_t i = 0; i < source.size(); ++i) {
                source[i] = static_cast<uint8_t>(i * 7 + extra);
            }
            WriteMemory(source.data(), 0x10200, count);
            const uint32_t error = GetLinkError();
            VTRL_FUZZ_CHECK(error == kLinkErrorNone || error == kLinkErrorWriteMemory);
            // Each chunk went out whole and in order; after a failure, none more.
            size_t sent = 0;
            for (const std::vector<uint8_t>& r : port.Requests()) {
                VTRL_FUZZ_CHECK(r.size() >= 7 && r.size() <= 256 && r[0] == kCmdWriteMemory);
                const size_t n = size_t{r[5]} << 8 | r[6];
                VTRL_FUZZ_CHECK(n == r.size() - 7 && n <= 249 && sent + n <= count);
                VTRL_FUZZ_CHECK(std::equal(r.begin() + 7, r.end(), source.begin() + sent));
                sent += n;
            }
            VTRL_FUZZ_CHECK(error != kLinkErrorNone || sent == count);
            break;
        }
        case 9: {
            const uint32_t command = param % 256;
            result = RemoteCall(command, extra, extra, extra);
            if (command >= static_cast<uint32_t>(kCommandCount)) {
                VTRL_FUZZ_CHECK(port.Requests().empty() && GetLinkError() == kLinkErrorSend);
                break;
            }
            single = {static_cast<uint8_t>(command), kCommandTable[command].result_width};
            break;
        }
    }

    if (single.length >= 0) {
        VTRL_FUZZ_CHECK(port.Requests().size() == 1);
        VTRL_FUZZ_CHECK(port.Requests()[0][0] == single.command);
        std::vector<uint8_t> payload;
        const bool framed = Framed(stream, single.command, single.length, &payload);
        VTRL_FUZZ_CHECK((GetLinkError() == kLinkErrorNone) == framed);
        VTRL_FUZZ_CHECK(framed || GetLinkError() == kLinkErrorNoReply);
        VTRL_FUZZ_CHECK(result == (framed ? BigEndian(payload) : 0));
    }
    // Each reply is waited for within its budget of reads, and each drain
    // (before a request, at every clear or raise of the link error) ends at
    // the first read that brings nothing.
    const uint64_t replies = std::max<size_t>(1, port.Requests().size());
    VTRL_FUZZ_CHECK(clock.NowUs() <= replies * (kCommReplyBudget + 8) * kReadTimeoutUs);
    ResetProgramState();
    SetSerialPort(nullptr);
    SetClock(nullptr);
    return 0;
}
