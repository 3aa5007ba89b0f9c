// The Vantrel instrument stand-in: a model of what the upgrade program relies
// on the instrument to do, not a replay of canned bytes.  One model serves the
// in-process test fakes, vtrlupg-demo and vtrlsim.
//
// Memory map of the model:
//   RAM   kRamBase .. kRamBase + kRamSize - 1: the transfer buffer lives here
//   flash 0x80000 .. 0xFFFFF, 16-bit words stored low byte first, NOR rules
//         (erase sets 0xFF, programming only clears bits; a word that cannot
//         take the value is a programming failure that the reply shows)
//   sectors 7..10 cover 0x80000..0xBFFFF (0x10000 each), sector 0 covers
//   0xC0000..0xCFFFF and changes only while selector 42 is 1; 0xD0000 and up
//   (boot block, restart address 0xFFFF0) is never writable.
//
// What the instrument answers (echo byte, then the payload; the framings add
// the serial closing echo or the USB report layout):
//   0  WriteMemory(addr4, count2, data)  RAM only; no payload.  Outside RAM, or
//                                        a count over 249: refused, no reply.
//   1  ReadMemory(addr4, count2)         RAM or flash, count <= 254; count bytes.
//                                        Outside: refused, no reply.
//   2  QueryValue(sel1, sel1)            4 bytes: 0 version, 1/2 CRC range,
//                                        4 transfer buffer, 6 last restart address,
//                                        7 CRC-16 of the range (0 when the range
//                                        is not readable), 8 flash address, 42
//                                        permission; others 0.
//   3  SetValue(sel1, hi2, lo2)          no payload; 1/2 CRC range, 8 flash
//                                        address, 42 permission (1 grants, other
//                                        values withdraw); 6 restarts the
//                                        instrument at once: it never answers.
//   14 ProgramFlashWord(w2)              2 bytes: 1 programmed, 0 refused/failed
//   15 ProgramFlashFromBuffer(n2)        2 bytes: words programmed (n when all;
//                                        0 when refused, fewer when a word failed)
//   16 EraseFlashSector(s2)              2 bytes: 1 erased, 0 refused
//                                        (14, 15 and 16 are refused outside remote mode)
//   71 SetRemoteMode(m1, b1, c2)         2 bytes: remote mode now (1 on, 0 off)
//   72 GetStatus()                       2 bytes: status word
// Any other command number is refused with no reply (serial: the bytes that
// follow it on the line are discarded until the line falls quiet).
//
// The flash address of selector 8 names where the next programming command
// programs and stays there: a host that programs again without setting it
// programs the same words again.  An instrument configured to advance it
// (InstrumentConfig::advance_flash_address) moves it on by 2
// (ProgramFlashWord) or 2n (ProgramFlashFromBuffer) when every word was
// programmed; a refused or failed command leaves it.
//
// Power: an interruption fault (power lost, torn operation) switches the
// instrument off.  Off, it takes and answers nothing; PowerOn brings it back
// with its volatile state gone (RAM, CRC range, flash address, selector 42,
// remote mode) and its flash as the interruption left it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace vtrl::sim {

constexpr uint32_t kFlashBase = 0x80000;
constexpr uint32_t kFlashSize = 0x80000;  // up to 0xFFFFF inclusive
constexpr uint32_t kRamBase = 0x00010000;
constexpr uint32_t kRamSize = 0x1000;
constexpr uint32_t kTransferBufferAddress = 0x00010200;  // QueryValue(4) answer
constexpr uint32_t kTransferBufferSize = 512;            // bytes: 256 words
constexpr uint32_t kCalibrationAddress = 0xCFC00;
constexpr uint32_t kCalibrationSize = 1024;
constexpr uint32_t kBootLoaderVersion = 900;  // answered while the marker words are not valid
constexpr uint32_t kBootBlockAddress = 0xD0000;
constexpr uint32_t kFlashSectorSize = 0x10000;
constexpr uint32_t kMaxWriteMemoryCount = 249;  // data bytes in one 256-byte request
constexpr uint32_t kMaxReadMemoryCount = 254;   // data bytes the instrument reads at once

// What the stand-in does wrong, and when.  Exchanges are numbered from 1 in the
// order the instrument receives complete requests (every command counts).
enum class FaultKind {
    kNoReply,           // the request is taken (and acted on) but nothing is answered
    kWrongEcho,         // the echo byte is the command number + 1
    kShortPayload,      // the reply lacks its last payload byte (serial: and the closing
                        // echo; USB: that byte reads 0)
    kLateReply,         // the reply comes delay_ms late (serial: first byte; USB: input report
                        // or ready flag)
    kProgramMismatch,   // ProgramFlashFromBuffer replies one word fewer than asked and
                        // ProgramFlashWord replies 0; nothing is programmed; other commands
                        // pass untouched (but count)
    kWrongClosingEcho,  // serial only: the closing echo differs from the command number
    kInstrumentReset,   // the instrument resets before acting: no reply, remote mode off,
                        // selector 42 and the flash address cleared; flash keeps what it had
    kHostCut,           // the link is cut from this exchange on: nothing more reaches or leaves
                        // the instrument (for an interrupted-upgrade story)
    // The three ways an upgrade is interrupted:
    kPowerLost,      // request N is acted on, then the power goes before the reply; the
                     // instrument is off until PowerOn
    kTornOperation,  // the power goes during request N: an erase leaves the first `part`
                     // of its sector erased and the rest as it was; a programming command
                     // leaves the first `part` of its words programmed and the next one with
                     // only some of its bits cleared; any other request is not acted on; no
                     // reply, and off until PowerOn
    kHostKilled,     // request N is acted on and answered, then the host-kill handler runs
                     // (the host program dies there; the instrument keeps power and state)
    kNotReady,       // USB ready-flag way only: the ready flag stays down for the first
                     // `reports` status reports after the response is ready
    kFeatureFail,    // USB ready-flag way only: every fetch of the response's feature
                     // report fails (the device stalls it)
};

struct Fault {
    uint32_t exchange = 0;  // first exchange it hits (1-based; 0 counts as 1)
    FaultKind kind = FaultKind::kNoReply;
    uint32_t count = 1;     // how many consecutive exchanges it hits (kHostCut: ignored, lasts)
    uint32_t delay_ms = 0;  // kLateReply only
    int command = -1;       // when >= 0, only exchanges of this command count towards `count`
                            // and `exchange` numbers only this command's exchanges
    uint32_t part_permille = 500;  // kTornOperation only: how much of the operation was done
    uint32_t reports = 0;          // kNotReady only
};

// A fault from exchange `exchange` on, `count` exchanges long; with `command`
// >= 0, only that command's exchanges count.
Fault FaultAt(uint32_t exchange, FaultKind kind, uint32_t count = 1, int command = -1);
// Parses "kind@N[xCOUNT][:VALUE][/COMMAND]", kind one of no-reply,
// wrong-echo, short, late, mismatch, wrong-close, reset, cut, power, torn,
// kill, not-ready, feature-fail; VALUE is the delay in ms for late, the part
// done in per mille (0..999) for torn and the number of status reports for
// not-ready.  False (and `error` set) for anything else.
bool ParseFault(const std::string& text, Fault* fault, std::string* error);
const char* FaultKindName(FaultKind kind);

struct InstrumentConfig {
    uint32_t program_version = 1006;  // answered by QueryValue(0) while the markers are valid
    uint16_t status = 0;              // GetStatus word (0x20: a protocol is running)
    uint16_t usb_release = 2;         // HID release number: 0/1 ready-flag way, >= 2 input reports
    // GetStatus reads left before bit 0x20 clears by itself (0: never clears).
    uint32_t protocol_clears_after_reads = 0;
    uint32_t factory_seed = 1;  // program bytes and calibration record of the factory state
    // Bytes of the factory program image (trailer included); larger than
    // 262140, so the program reaches into sector 0 and an upgrade that leaves
    // sector 0 unerased fails to program over it.
    uint32_t factory_image_size = 300000;
    // Selector 8 moves on past what a programming command programmed (an
    // instrument of that kind); by default it stays where it was set.
    bool advance_flash_address = false;
    // Flash holds a word high byte first (an instrument of that kind): what
    // ProgramFlashWord(w) leaves at its address, and how the marker words read.
    // ProgramFlashFromBuffer copies the transfer buffer's bytes in order either way.
    bool words_high_byte_first = false;
    // How long the instrument is busy before it answers (0: at once).
    uint32_t erase_time_ms = 0;         // per EraseFlashSector that erases
    uint32_t program_word_time_us = 0;  // per word programmed
    // USB framing: a response is ready this long after its output report, and
    // a release 0/1 device sends a status input report this often.
    uint32_t usb_response_latency_us = 1000;
    uint32_t usb_status_interval_us = 8000;
};

// One request as the instrument received it, for tests to assert on.
struct LoggedRequest {
    std::vector<uint8_t> bytes;  // command number first
    bool answered = false;
    bool refused = false;  // unknown command, bad length or range, or a flash command refused
};

// Something the instrument did, for vtrlsim's event log and its flash file.
struct InstrumentEvent {
    enum Kind {
        kRemoteMode,  // value: 1 on, 0 off
        kRestart,     // address: restart address
        kErase,       // value: sector; address/length: range erased (length 0: refused)
        kProgram,     // address/length: bytes changed; value: words asked; ok: all programmed
        kReset,       // a fault reset the instrument
        kLinkCut,     // a fault cut the link
        kRefused,     // value: command number of a request the instrument refused
        kPowerLost,   // an interruption fault switched the instrument off
        kPowerOn,     // the power came back
        kHostKilled,  // a kHostKilled fault struck: the host-kill handler runs next
        kCrcQuery,    // QueryValue(7): address/length: the range; value: the CRC answered
    };
    Kind kind = kRefused;
    uint32_t address = 0;
    uint32_t length = 0;
    uint32_t value = 0;
    bool ok = true;
    std::string Text() const;  // e.g. "remote mode on", "restart 0xFFFF0", "erase sector 7"
};

class ExchangeHook;

class Instrument {
  public:
    // A fresh instrument is in its factory state (FormatFactory(config.factory_seed)).
    explicit Instrument(InstrumentConfig config = {});

    // Back to a fresh instrument with this configuration; every copy of this
    // Instrument (and the endpoints carrying it) sees the new state.
    void Reset(InstrumentConfig config = {});

    // --- contents, for tests and tools -----------------------------------
    // Factory state: valid markers, a program image (whose trailer carries
    // program_version), a valid calibration record derived from `seed`, and a
    // boot block; RAM cleared, remote mode off, registers 0.
    void FormatFactory(uint32_t seed = 1);
    static std::vector<uint8_t> MakeCalibrationRecord(uint32_t seed);  // 1024 valid bytes
    // Bytes of the range clipped to flash (nothing outside it).
    std::vector<uint8_t> ReadFlash(uint32_t address, uint32_t length) const;
    void WriteFlashRaw(uint32_t address, const std::vector<uint8_t>& bytes);  // no NOR rules
    uint16_t FlashWord(uint32_t address) const;  // in the instrument's own byte order
    const std::vector<uint8_t>& FlashImage()
        const;  // kFlashSize bytes, index = address - kFlashBase
    // kFlashSize bytes (false and nothing changed otherwise).  When the markers
    // are valid and the program's trailer is found, its version becomes
    // program_version.
    bool LoadFlashImage(const std::vector<uint8_t>& image);
    bool MarkersValid() const;  // 0x1234 at 0x80000 and 0xA5A5 at 0x80002
    std::vector<uint8_t> ReadRam(uint32_t address, uint32_t length) const;  // clipped to RAM

    InstrumentConfig& Config();
    bool RemoteMode() const;
    bool CalibrationWriteAllowed() const;  // selector 42
    uint32_t FlashAddress() const;         // selector 8 as it stands
    uint32_t RestartCount() const;         // SetValue(6, ...) taken
    uint32_t RestartAddress() const;
    uint32_t ResetCount() const;  // kInstrumentReset faults that struck
    uint32_t ExchangeCount() const;
    const std::vector<LoggedRequest>& Log() const;
    void ClearLog();
    void SetKeepLog(bool keep);  // vtrlsim runs for long: it turns the log off

    void AddFault(const Fault& fault);
    void ClearFaults();    // also mends a cut link
    bool LinkCut() const;  // a kHostCut fault has struck

    // Called for every event, in order, before the command's reply is formed.
    void SetEventSink(std::function<void(const InstrumentEvent&)> sink);

    // Power after an interruption fault: Powered() is false from the fault
    // on; PowerOn switches the instrument on again with its volatile state
    // lost (RAM filled with junk, CRC range, flash address, selector 42 and
    // remote mode cleared).  Exchanges go on counting from where they were.
    bool Powered() const;
    void PowerOn();
    // Runs when a kHostKilled fault strikes, after request `exchange` was
    // acted on and its reply formed; the instrument's state is complete by
    // then, so the handler may throw (in-process tests stop the program so)
    // or signal the host process (vtrlsim).  No handler: nothing happens.
    void SetHostKillHandler(std::function<void(uint32_t exchange)> handler);

    // Asked about every exchange after the fault plan (null: none).  Not owned;
    // it must outlive its use or be taken off again.
    void SetExchangeHook(ExchangeHook* hook);

    // --- command level ---------------------------------------------------
    // Acts on one complete request (command number first) and returns the reply:
    // echo byte then payload, exactly the row's result width (the framings add
    // what they add).  An empty `bytes` with `answered` false means no reply.
    // Unknown commands, writes outside RAM/flash and programming outside the
    // permitted sectors are refused the way the instrument refuses them.
    struct Reply {
        bool answered = false;
        std::vector<uint8_t> bytes;  // echo, payload
        uint32_t delay_ms = 0;       // extra latency before the reply starts (a late-reply fault)
        uint32_t busy_us = 0;        // time the command itself took (erase, programming)
        bool closing_echo_wrong = false;
        bool omit_closing_echo = false;  // serial: the reply was cut short
        uint8_t command = 0;             // the request's command number
        uint32_t not_ready_reports = 0;  // USB ready-flag way: status reports with the flag down
        bool feature_fails = false;      // USB ready-flag way: its feature report cannot be had
    };
    Reply Handle(const std::vector<uint8_t>& request);

    // Length of the complete request whose first `have` bytes are `prefix`, or 0
    // when more bytes are needed to know it; -1 for a request the instrument
    // cannot take (unknown command, WriteMemory count over 249).
    static int RequestLength(const uint8_t* prefix, size_t have);
    // The instrument's name for a command number ("" when it has none).
    static const char* CommandName(uint8_t command);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

// Decides, exchange by exchange, how the instrument behaves: a fuzzed
// instrument or a lossy line (see sim/lossy_line.h).  Exchanges are numbered as
// the fault plan numbers them.
enum class ExchangeAction {
    kAnswer,  // acts on the request and answers; Shape may still spoil the reply
    kSilent,  // acts on the request, but the reply is lost
    kIgnore,  // the request is lost: not acted on, nothing answered
    kReset,   // the instrument resets before acting (as a kInstrumentReset fault)
};

class ExchangeHook {
  public:
    virtual ~ExchangeHook() = default;
    // Request `exchange` (command number first) has arrived whole.
    virtual ExchangeAction Decide(uint32_t exchange, const std::vector<uint8_t>& request) = 0;
    // The reply to an answered request, as the instrument formed it (echo and
    // exactly the row's payload): bytes may be changed, dropped or added, the
    // reply delayed, the serial closing echo spoiled or left out.
    virtual void Shape(uint32_t exchange, const std::vector<uint8_t>& request,
                       Instrument::Reply* reply) {
        (void)exchange;
        (void)request;
        (void)reply;
    }
};

// One instrument for the process (the demo build and the link seams' default),
// reset in place so references taken earlier stay good.
Instrument& DefaultInstrument();
void ResetDefaultInstrument(const InstrumentConfig& config = {});

// Serial side: a byte pipe with the echo framing and 57600-baud pacing
// (each byte costs its wire time, 10 bits at 57600 baud), on a given clock.
class SerialEndpoint {
  public:
    static constexpr uint64_t kByteTimeNs = 10ull * 1000000000ull / 57600;  // 173611 ns
    SerialEndpoint(Instrument& instrument, Clock& clock, bool paced = true);
    // Host to instrument: bytes are taken at once (the UART buffers them) and a
    // request is acted on as soon as its last byte has arrived on the wire.
    void HostWrite(const uint8_t* data, size_t length);
    // Instrument to host: copies at most `max` bytes that have arrived by now.
    size_t HostRead(uint8_t* out, size_t max);
    // Bytes in flight to the host; the time the next one arrives (UINT64_MAX: none pending).
    size_t Pending() const;
    uint64_t NextArrivalUs() const;
    // The host closed its port: bytes in flight either way are lost.
    void DiscardInFlight();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// USB side: 257-byte output reports in, 256-byte responses out, either as a
// 259-byte input report (release >= 2, bytes 3..258) or, for release 0 and 1,
// as a feature report fetched after an input report with bit 0 of byte 1 set.
// Release 0/1 devices send a status input report every usb_status_interval_us
// (kStatusIntervalUs unless configured); the driver keeps only the newest
// kStatusQueueDepth, so a reader that does not flush first sees stale status.
class UsbEndpoint {
  public:
    // The defaults of InstrumentConfig's USB timing.
    static constexpr uint64_t kResponseLatencyUs = 1000;  // one frame after the output report
    static constexpr uint64_t kStatusIntervalUs = 8000;
    static constexpr size_t kStatusQueueDepth = 2;
    UsbEndpoint(Instrument& instrument, Clock& clock);
    uint16_t ReleaseNumber() const;
    // One output report (report ID 0, then the packet, zero padded): false when
    // the device does not take it (length not 257, report ID not 0, link cut).
    bool OutputReport(const uint8_t* report, size_t length);
    // The next input report (259 bytes written; `length` must be at least 259)
    // if one is ready by `deadline_us` on the clock; the clock is advanced to
    // when it arrived (or to the deadline when none did).
    bool InputReport(uint8_t* report, size_t length, uint64_t deadline_us);
    // Feature report 0 (257 bytes): the latest response; false when none is
    // ready (no answer yet to the latest request) or the length is below 257.
    bool FeatureReport(uint8_t* report, size_t length);
    void FlushInput();  // discards queued input reports
    // When InputReport would next find a report (UINT64_MAX: not before
    // another output report); no earlier than now.
    uint64_t NextInputUs() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace vtrl::sim
