// The instrument model's commands: one handler per command, and the table of
// the commands it serves with their request layout.
#include "sim/instrument_state.h"

#include <algorithm>

namespace vtrl::sim {

using detail::CommandRow;
using detail::FindCommand;
using detail::kCalibrationSectorBase;
using detail::kRamEnd;
using detail::Outcome;
using detail::Request;

namespace {

constexpr uint32_t kRestartSelector = 6;

// Flash sectors the instrument lets the host erase.
struct SectorRow {
    uint16_t number;
    uint32_t base;
    bool needs_permission;  // selector 42 must be 1
};
constexpr SectorRow kSectors[] = {
    {7, 0x80000, false},
    {8, 0x90000, false},
    {9, 0xA0000, false},
    {10, 0xB0000, false},
    {0, kCalibrationSectorBase, true},
};

// Selectors of QueryValue and SetValue.
enum Selector : uint8_t {
    kSelVersion = 0,
    kSelCrcFirst = 1,
    kSelCrcLast = 2,
    kSelTransferBuffer = 4,
    kSelRestart = kRestartSelector,
    kSelCrc = 7,
    kSelFlashAddress = 8,
    kSelCalibrationWrite = 42,
};

constexpr uint8_t kCmdWriteMemory = 0;
constexpr uint8_t kCmdReadMemory = 1;

const CommandRow kCommands[] = {
    {kCmdWriteMemory, "WriteMemory", {4, 2, 0}, 0, &Instrument::State::WriteMemory},
    {kCmdReadMemory, "ReadMemory", {4, 2, 0}, 0, &Instrument::State::ReadMemory},
    {2, "QueryValue", {1, 1, 0}, 4, &Instrument::State::QueryValue},
    {3, "SetValue", {1, 2, 2}, 0, &Instrument::State::SetValue},
    {14, "ProgramFlashWord", {2, 0, 0}, 2, &Instrument::State::ProgramFlashWord},
    {15, "ProgramFlashFromBuffer", {2, 0, 0}, 2, &Instrument::State::ProgramFlashFromBuffer},
    {16, "EraseFlashSector", {2, 0, 0}, 2, &Instrument::State::EraseFlashSector},
    {71, "SetRemoteMode", {1, 1, 2}, 2, &Instrument::State::SetRemoteMode},
    {72, "GetStatus", {0, 0, 0}, 2, &Instrument::State::GetStatus},
};

size_t FixedLength(const CommandRow& row) {
    return 1u + row.arg_widths[0] + row.arg_widths[1] + row.arg_widths[2];
}

}  // namespace

uint32_t Instrument::State::Version() const {
    return MarkersValid() ? config.program_version : kBootLoaderVersion;
}

uint32_t Instrument::State::RangeCrc() const {
    if (crc_last < crc_first) {
        return 0;
    }
    const uint8_t* bytes = Readable(crc_first, crc_last - crc_first + 1);
    return bytes == nullptr ? 0 : Crc16Arc(bytes, crc_last - crc_first + 1);
}

Outcome Instrument::State::WriteMemory(const Request& r) {
    const uint32_t address = r.args[0];
    const uint64_t end = uint64_t{address} + r.data_length;
    if (address < kRamBase || end > kRamEnd) {
        return Refused();
    }
    std::copy(r.data, r.data + r.data_length, ram.begin() + (address - kRamBase));
    return {};
}

Outcome Instrument::State::ReadMemory(const Request& r) {
    const uint32_t count = r.args[1];
    const uint8_t* bytes = Readable(r.args[0], count);
    if (count > kMaxReadMemoryCount || bytes == nullptr) {
        return Refused();
    }
    Outcome out;
    out.payload.assign(bytes, bytes + count);
    return out;
}

Outcome Instrument::State::QueryValue(const Request& r) {
    uint32_t value = 0;
    switch (r.args[0]) {
        case kSelVersion:
            value = Version();
            break;
        case kSelCrcFirst:
            value = crc_first;
            break;
        case kSelCrcLast:
            value = crc_last;
            break;
        case kSelTransferBuffer:
            value = kTransferBufferAddress;
            break;
        case kSelRestart:
            value = restart_address;
            break;
        case kSelCrc: {
            value = RangeCrc();
            InstrumentEvent e;
            e.kind = InstrumentEvent::kCrcQuery;
            e.address = crc_first;
            e.length = crc_last >= crc_first ? crc_last - crc_first + 1 : 0;
            e.value = value;
            Emit(e);
            break;
        }
        case kSelFlashAddress:
            value = flash_address;
            break;
        case kSelCalibrationWrite:
            value = calibration_write ? 1 : 0;
            break;
        default:
            break;
    }
    return Value(value, 4);
}

Outcome Instrument::State::SetValue(const Request& r) {
    const uint32_t value = (r.args[1] << 16) | r.args[2];
    switch (r.args[0]) {
        case kSelCrcFirst:
            crc_first = value;
            break;
        case kSelCrcLast:
            crc_last = value;
            break;
        case kSelFlashAddress:
            flash_address = value;
            break;
        case kSelCalibrationWrite:
            calibration_write = value == 1;
            break;
        case kSelRestart: {
            // The program jumps away before it could answer.
            ++restart_count;
            restart_address = value;
            ClearRegisters();
            InstrumentEvent e;
            e.kind = InstrumentEvent::kRestart;
            e.address = value;
            Emit(e);
            Outcome out;
            out.answer = false;
            return out;
        }
        default:
            break;
    }
    return {};
}

Outcome Instrument::State::ProgramFlashWord(const Request& r) {
    const uint32_t address = flash_address;
    if (FlashCommandRefused() || !Writable(address, 2)) {
        EmitProgram(address, 0, 1, false);
        Outcome out = Value(0, 2);
        out.refused = true;
        return out;
    }
    const bool was_valid = MarkersValid();
    if (tear_permille >= 0) {
        ProgramWordPartly(address, static_cast<uint16_t>(r.args[0]));
        EmitProgram(address, 2, 1, false);
        return Value(0, 2);
    }
    const bool ok = ProgramWord(address, static_cast<uint16_t>(r.args[0]));
    if (ok && config.advance_flash_address) {
        flash_address += 2;
    }
    EmitProgram(address, 2, 1, ok);
    AdoptProgramVersion(was_valid);
    Outcome out = Value(ok ? 1 : 0, 2);
    out.busy_us = config.program_word_time_us;
    return out;
}

Outcome Instrument::State::ProgramFlashFromBuffer(const Request& r) {
    const uint32_t words = r.args[0];
    const uint32_t address = flash_address;
    if (words == 0) {
        return Value(0, 2);
    }
    if (FlashCommandRefused() || words * 2 > kTransferBufferSize || !Writable(address, words * 2)) {
        EmitProgram(address, 0, words, false);
        Outcome out = Value(0, 2);
        out.refused = true;
        return out;
    }
    const bool was_valid = MarkersValid();
    const uint8_t* buffer = ram.data() + (kTransferBufferAddress - kRamBase);
    // Loaded and stored in the same order, so flash gets the buffer's bytes as they are.
    auto word_at = [&](uint32_t k) { return LoadWord(buffer + 2 * k); };
    if (tear_permille >= 0) {
        const uint32_t whole = words * static_cast<uint32_t>(tear_permille) / 1000;
        for (uint32_t k = 0; k < whole; ++k) {
            ProgramWord(address + 2 * k, word_at(k));
        }
        ProgramWordPartly(address + 2 * whole, word_at(whole));
        EmitProgram(address, 2 * (whole + 1), words, false);
        return Value(0, 2);
    }
    uint32_t done = 0;
    bool failed = false;
    for (; done < words; ++done) {
        if (!ProgramWord(address + 2 * done, word_at(done))) {
            failed = true;
            break;
        }
    }
    if (!failed && config.advance_flash_address) {
        flash_address += 2 * words;
    }
    // A failed word may have lost some bits too, so it counts as changed.
    EmitProgram(address, 2 * (done + (failed ? 1 : 0)), words, !failed);
    AdoptProgramVersion(was_valid);
    Outcome out = Value(done, 2);
    out.busy_us = config.program_word_time_us * (done + (failed ? 1 : 0));
    return out;
}

Outcome Instrument::State::EraseFlashSector(const Request& r) {
    InstrumentEvent e;
    e.kind = InstrumentEvent::kErase;
    e.value = r.args[0];
    for (const SectorRow& s : kSectors) {
        if (s.number != r.args[0]) {
            continue;
        }
        if (FlashCommandRefused() || (s.needs_permission && !calibration_write)) {
            break;
        }
        // A torn erase has erased the sector from its start up to where the power went.
        const uint32_t length =
            tear_permille < 0
                ? kFlashSectorSize
                : kFlashSectorSize / 1000 * static_cast<uint32_t>(tear_permille) & ~1u;
        std::fill_n(flash.begin() + (s.base - kFlashBase), length, 0xFF);
        e.address = s.base;
        e.length = length;
        e.ok = tear_permille < 0;
        Emit(e);
        Outcome out = Value(1, 2);
        out.busy_us = config.erase_time_ms * 1000;
        return out;
    }
    e.ok = false;
    Emit(e);
    Outcome out = Value(0, 2);
    out.refused = true;
    return out;
}

Outcome Instrument::State::SetRemoteMode(const Request& r) {
    if (r.args[0] <= 1) {
        remote = r.args[0] == 1;
        InstrumentEvent e;
        e.kind = InstrumentEvent::kRemoteMode;
        e.value = remote ? 1 : 0;
        Emit(e);
    }
    return Value(remote ? 1 : 0, 2);
}

Outcome Instrument::State::GetStatus(const Request&) {
    Outcome out = Value(config.status, 2);
    ++status_reads;
    if (config.protocol_clears_after_reads != 0 &&
        status_reads >= config.protocol_clears_after_reads) {
        config.status = static_cast<uint16_t>(config.status & ~0x20u);
    }
    return out;
}

Outcome Instrument::State::Value(uint32_t value, int width) {
    Outcome out;
    for (int i = width - 1; i >= 0; --i) {
        out.payload.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return out;
}

Outcome Instrument::State::Refused() {
    Outcome out;
    out.answer = false;
    out.refused = true;
    return out;
}

void Instrument::State::EmitProgram(uint32_t address, uint32_t length, uint32_t words,
                                    bool ok) const {
    InstrumentEvent e;
    e.kind = InstrumentEvent::kProgram;
    e.address = address;
    e.length = length;
    e.value = words;
    e.ok = ok;
    Emit(e);
}

namespace detail {

const CommandRow* FindCommand(uint8_t number) {
    for (const CommandRow& row : kCommands) {
        if (row.number == number) {
            return &row;
        }
    }
    return nullptr;
}

Request Parse(const CommandRow& row, const std::vector<uint8_t>& bytes) {
    Request r;
    r.command = row.number;
    size_t at = 1;
    for (int i = 0; i < 3; ++i) {
        for (int b = 0; b < row.arg_widths[i]; ++b) {
            r.args[i] = (r.args[i] << 8) | bytes[at++];
        }
    }
    if (row.number == kCmdWriteMemory) {
        r.data = bytes.data() + at;
        r.data_length = bytes.size() - at;
    }
    return r;
}

}  // namespace detail

int Instrument::RequestLength(const uint8_t* prefix, size_t have) {
    if (have == 0) {
        return 0;
    }
    const CommandRow* row = FindCommand(prefix[0]);
    if (row == nullptr) {
        return -1;
    }
    const size_t fixed = FixedLength(*row);
    if (row->number != kCmdWriteMemory) {
        return static_cast<int>(fixed);
    }
    if (have < fixed) {
        return 0;
    }
    const uint32_t count = (uint32_t{prefix[5]} << 8) | prefix[6];
    if (count > kMaxWriteMemoryCount) {
        return -1;
    }
    return static_cast<int>(fixed + count);
}

const char* Instrument::CommandName(uint8_t command) {
    const CommandRow* row = FindCommand(command);
    return row == nullptr ? "" : row->name;
}

}  // namespace vtrl::sim
