// The Vantrel instrument stand-in: a model of what the upgrade program relies
// on the instrument to do, not a replay of canned bytes.  One model serves the
// in-process test fakes, vtrlupg-demo and vtrlsim.
//
// Memory map of the model:
//   RAM   0x00000000 .. (kRamBase + kRamSize - 1): the transfer buffer lives here
//   flash 0x80000 .. 0xFFFFF, 16-bit words, NOR rules (erase sets 0xFF,
//         programming only clears bits; a word that cannot take the value is a
//         programming failure that the reply shows)
//   sectors 7..10 cover 0x80000..0xBFFFF (0x10000 each), sector 0 covers
//   0xC0000..0xCFFFF and changes only while selector 42 is 1; 0xD0000 and up
//   (boot block, restart address 0xFFFF0) is never writable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/clock.h"

namespace vtrl::sim {

constexpr uint32_t kFlashBase = 0x80000;
constexpr uint32_t kFlashSize = 0x80000;  // up to 0xFFFFF inclusive
constexpr uint32_t kRamBase = 0x00010000;
constexpr uint32_t kRamSize = 0x1000;
constexpr uint32_t kTransferBufferAddress = 0x00010200;  // QueryValue(4) answer
constexpr uint32_t kCalibrationAddress = 0xCFC00;
constexpr uint32_t kCalibrationSize = 1024;
constexpr uint32_t kBootLoaderVersion = 900;  // answered while the marker words are not valid

// What the stand-in does wrong, and when.  Exchanges are numbered from 1 in the
// order the instrument receives complete requests (every command counts).
enum class FaultKind {
    kNoReply,          // the request is taken (and acted on) but nothing is answered
    kWrongEcho,        // the echo byte is the command number + 1
    kShortPayload,     // the reply lacks its last payload byte (serial: and the closing echo)
    kLateReply,        // the reply comes delay_ms late (serial: first byte; USB: input report)
    kProgramMismatch,  // ProgramFlashFromBuffer replies one word fewer than asked, programs nothing
    kWrongClosingEcho, // serial only: the closing echo differs from the command number
    kInstrumentReset,  // the instrument resets before acting: no reply, remote mode off,
                       // selector 42 and the flash address cleared; flash keeps what it had
    kHostCut,          // the link is cut from this exchange on: nothing more reaches or leaves
                       // the instrument (for an interrupted-upgrade story)
};

struct Fault {
    uint32_t exchange = 0;   // first exchange it hits (1-based)
    FaultKind kind = FaultKind::kNoReply;
    uint32_t count = 1;      // how many consecutive exchanges it hits (kHostCut: ignored, lasts)
    uint32_t delay_ms = 0;   // kLateReply only
    int command = -1;        // when >= 0, only exchanges of this command count towards `count`
                             // and `exchange` numbers only this command's exchanges
};

struct InstrumentConfig {
    uint32_t program_version = 1006;  // answered by QueryValue(0) while the markers are valid
    uint16_t status = 0;              // GetStatus word (0x20: a protocol is running)
    uint16_t usb_release = 2;         // HID release number: 0/1 ready-flag way, >= 2 input reports
    // GetStatus reads left before bit 0x20 clears by itself (0: never clears).
    uint32_t protocol_clears_after_reads = 0;
};

// One request as the instrument received it, for tests to assert on.
struct LoggedRequest {
    std::vector<uint8_t> bytes;  // command number first
    bool answered = false;
};

class Instrument {
public:
    explicit Instrument(InstrumentConfig config = {});

    // --- contents, for tests and tools -----------------------------------
    // Factory state: valid markers, a program image (whose trailer carries
    // program_version), and a valid calibration record derived from `seed`.
    void FormatFactory(uint32_t seed = 1);
    static std::vector<uint8_t> MakeCalibrationRecord(uint32_t seed);  // 1024 valid bytes
    std::vector<uint8_t> ReadFlash(uint32_t address, uint32_t length) const;
    void WriteFlashRaw(uint32_t address, const std::vector<uint8_t>& bytes);  // no NOR rules
    uint16_t FlashWord(uint32_t address) const;
    const std::vector<uint8_t>& FlashImage() const;  // kFlashSize bytes, index = address - kFlashBase
    void LoadFlashImage(const std::vector<uint8_t>& image);  // kFlashSize bytes
    bool MarkersValid() const;  // 0x1234 at 0x80000 and 0xA5A5 at 0x80002

    InstrumentConfig& Config();
    bool RemoteMode() const;
    bool CalibrationWriteAllowed() const;  // selector 42
    uint32_t RestartCount() const;         // SetValue(6, 0xFFFF0) taken
    uint32_t RestartAddress() const;
    uint32_t ExchangeCount() const;
    const std::vector<LoggedRequest>& Log() const;
    void ClearLog();

    void AddFault(const Fault& fault);
    void ClearFaults();
    bool LinkCut() const;  // a kHostCut fault has struck

    // --- command level ---------------------------------------------------
    // Acts on one complete request (command number first) and returns the reply:
    // echo byte then payload, exactly the row's result width (the framings add
    // what they add).  An empty `bytes` with `answered` false means no reply.
    // Unknown commands, writes outside RAM/flash and programming outside the
    // permitted sectors are refused the way the instrument refuses them.
    struct Reply {
        bool answered = false;
        std::vector<uint8_t> bytes;  // echo, payload
        uint32_t delay_ms = 0;       // extra latency before the reply starts
        bool closing_echo_wrong = false;
    };
    Reply Handle(const std::vector<uint8_t>& request);

    // Length of the complete request whose first `have` bytes are `prefix`, or 0
    // when more bytes are needed to know it; -1 for an unknown command.
    static int RequestLength(const uint8_t* prefix, size_t have);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Serial side: a byte pipe with the echo framing and 57600-baud pacing
// (each byte costs its wire time, 10 bits at 57600 baud), on a given clock.
class SerialEndpoint {
public:
    SerialEndpoint(Instrument& instrument, Clock& clock, bool paced = true);
    // Host to instrument: bytes are taken at once (the UART buffers them) and a
    // request is acted on as soon as its last byte has arrived on the wire.
    void HostWrite(const uint8_t* data, size_t length);
    // Instrument to host: copies at most `max` bytes that have arrived by now.
    size_t HostRead(uint8_t* out, size_t max);
    // Bytes in flight to the host; the time the next one arrives (UINT64_MAX: none pending).
    size_t Pending() const;
    uint64_t NextArrivalUs() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// USB side: 257-byte output reports in, 256-byte responses out, either as a
// 259-byte input report (release >= 2, bytes 3..258) or, for release 0 and 1,
// as a feature report fetched after an input report with bit 0 of byte 1 set.
class UsbEndpoint {
public:
    UsbEndpoint(Instrument& instrument, Clock& clock);
    uint16_t ReleaseNumber() const;
    // One output report (report ID 0, then the packet, zero padded): false when
    // the device does not take it (wrong length, link cut).
    bool OutputReport(const uint8_t* report, size_t length);
    // The next input report if one is ready by `deadline_us` on the clock; the
    // clock is advanced to when it arrived (or to the deadline when none did).
    bool InputReport(uint8_t* report, size_t length, uint64_t deadline_us);
    // Feature report 0 (257 bytes): the latest response; false when none.
    bool FeatureReport(uint8_t* report, size_t length);
    void FlushInput();  // discards queued input reports

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace vtrl::sim
