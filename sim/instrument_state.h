// The instrument model's inner state, shared by the files that define it;
// callers use sim/instrument.h.
//   instrument.cpp           the exchange: faults and hook, dispatch, the reply; power
//   instrument_memory.cpp    flash (NOR rules, the program's trailer) and RAM
//   instrument_commands.cpp  the command table and one handler per command
//   fault_plan.cpp           which faults strike an exchange, and their names
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/image.h"
#include "sim/instrument.h"

namespace vtrl::sim {

namespace detail {

constexpr uint32_t kRamEnd = kRamBase + kRamSize;  // exclusive
constexpr uint32_t kFlashEnd = kFlashBase + kFlashSize;
constexpr uint32_t kCalibrationSectorBase = 0xC0000;

struct Request {
    uint8_t command = 0;
    uint32_t args[3] = {0, 0, 0};   // by the row's widths, most significant byte first
    const uint8_t* data = nullptr;  // WriteMemory data
    size_t data_length = 0;
};

struct Outcome {
    bool answer = true;
    bool refused = false;
    std::vector<uint8_t> payload;
    uint32_t busy_us = 0;
};

// The faults that strike this exchange, folded together.
struct Strike {
    bool no_reply = false;
    bool wrong_echo = false;
    bool short_payload = false;
    bool wrong_closing_echo = false;
    bool program_mismatch = false;
    bool reset = false;
    bool cut = false;
    bool power_lost = false;
    int32_t tear_permille = -1;
    bool host_killed = false;
    bool feature_fail = false;
    uint32_t delay_ms = 0;
    uint32_t not_ready_reports = 0;
};

// Exchange `exchange` overall, `command_exchange` among `command`'s own.
Strike FaultsFor(const std::vector<Fault>& faults, uint8_t command, uint32_t exchange,
                 uint32_t command_exchange);

}  // namespace detail

struct Instrument::State {
    using Request = detail::Request;
    using Outcome = detail::Outcome;

    InstrumentConfig config;
    std::vector<uint8_t> flash = std::vector<uint8_t>(kFlashSize, 0xFF);
    std::vector<uint8_t> ram = std::vector<uint8_t>(kRamSize, 0);
    bool remote = false;
    bool calibration_write = false;
    uint32_t crc_first = 0;
    uint32_t crc_last = 0;
    uint32_t flash_address = 0;
    uint32_t restart_count = 0;
    uint32_t restart_address = 0;
    uint32_t reset_count = 0;
    uint32_t status_reads = 0;
    uint32_t exchanges = 0;
    std::array<uint32_t, 256> command_exchanges{};
    bool keep_log = true;
    std::vector<LoggedRequest> log;
    std::vector<Fault> faults;
    bool cut = false;
    std::function<void(const InstrumentEvent&)> sink;
    bool powered = true;
    // While a torn operation is acted on: the per mille of it done before the
    // power went (-1: the operation runs whole).
    int32_t tear_permille = -1;
    std::function<void(uint32_t)> kill_handler;
    ExchangeHook* hook = nullptr;

    void Emit(const InstrumentEvent& event) const {
        if (sink) {
            sink(event);
        }
    }

    // --- power and reset (instrument.cpp) ----------------------------------
    void PowerOff();
    void KillHostIf(bool struck);
    // The registers a reset or restart clears; flash and RAM keep their contents.
    void ClearRegisters();

    // --- memory (instrument_memory.cpp) ------------------------------------
    bool MarkersValid() const {
        return Word(kMarker1Address) == kMarker1Valid && Word(kMarker2Address) == kMarker2Valid;
    }
    uint16_t Word(uint32_t address) const {
        const uint32_t i = address - kFlashBase;
        return LoadWord(&flash[i]);
    }
    uint16_t LoadWord(const uint8_t* p) const {
        return config.words_high_byte_first ? static_cast<uint16_t>(p[0] << 8 | p[1])
                                            : static_cast<uint16_t>(p[0] | p[1] << 8);
    }
    void StoreWord(uint32_t address, uint16_t value) {
        uint8_t* p = &flash[address - kFlashBase];
        const uint8_t low = static_cast<uint8_t>(value & 0xFF);
        const uint8_t high = static_cast<uint8_t>(value >> 8);
        p[0] = config.words_high_byte_first ? high : low;
        p[1] = config.words_high_byte_first ? low : high;
    }
    // Whether the host may change [address, address + length) of flash now.
    bool Writable(uint32_t address, uint32_t length) const;
    // Readable memory: wholly inside RAM or wholly inside flash.
    const uint8_t* Readable(uint32_t address, uint32_t length) const;
    bool ProgramWord(uint32_t address, uint16_t value);
    void ProgramWordPartly(uint32_t address, uint16_t value);
    bool ProgramTrailerVersion(uint32_t* version) const;
    void AdoptProgramVersion(bool markers_were_valid);

    // --- command handlers (instrument_commands.cpp) ------------------------
    uint32_t Version() const;
    uint32_t RangeCrc() const;
    Outcome WriteMemory(const Request& r);
    Outcome ReadMemory(const Request& r);
    Outcome QueryValue(const Request& r);
    Outcome SetValue(const Request& r);
    Outcome ProgramFlashWord(const Request& r);
    Outcome ProgramFlashFromBuffer(const Request& r);
    Outcome EraseFlashSector(const Request& r);
    Outcome SetRemoteMode(const Request& r);
    Outcome GetStatus(const Request&);
    // Erase and programming are taken only in remote mode.
    bool FlashCommandRefused() const { return !remote; }
    static Outcome Value(uint32_t value, int width);
    static Outcome Refused();
    void EmitProgram(uint32_t address, uint32_t length, uint32_t words, bool ok) const;
};

namespace detail {

using Handler = Outcome (Instrument::State::*)(const Request&);

// The commands the instrument serves, with their request layout: argument
// widths in bytes (WriteMemory's data follows its count) and reply payload.
struct CommandRow {
    uint8_t number;
    const char* name;
    uint8_t arg_widths[3];
    uint8_t result_width;  // payload bytes; ReadMemory: its count
    Handler handler;
};

// The row of a command number; null for a command the instrument does not know.
const CommandRow* FindCommand(uint8_t number);
// A complete request (RequestLength long) split by its row's widths.
Request Parse(const CommandRow& row, const std::vector<uint8_t>& bytes);

}  // namespace detail

}  // namespace vtrl::sim
