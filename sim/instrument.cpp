#include "sim/instrument.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "sim/image.h"

namespace vtrl::sim {

namespace {

constexpr uint32_t kRamEnd = kRamBase + kRamSize;  // exclusive
constexpr uint32_t kFlashEnd = kFlashBase + kFlashSize;
constexpr uint32_t kCalibrationSectorBase = 0xC0000;
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

}  // namespace

struct Instrument::State {
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

    void PowerOff() {
        powered = false;
        InstrumentEvent e;
        e.kind = InstrumentEvent::kPowerLost;
        Emit(e);
    }

    void KillHostIf(bool struck) {
        if (!struck) {
            return;
        }
        InstrumentEvent e;
        e.kind = InstrumentEvent::kHostKilled;
        Emit(e);
        if (kill_handler) {
            kill_handler(exchanges);
        }
    }

    // The registers a reset or restart clears; flash and RAM keep their contents.
    void ClearRegisters() {
        remote = false;
        calibration_write = false;
        crc_first = 0;
        crc_last = 0;
        flash_address = 0;
    }

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
    bool Writable(uint32_t address, uint32_t length) const {
        const uint64_t end = uint64_t{address} + length;
        if (length == 0 || address < kFlashBase || end > kBootBlockAddress || (address & 1)) {
            return false;
        }
        return end <= kCalibrationSectorBase || calibration_write;
    }

    // Readable memory: wholly inside RAM or wholly inside flash.
    const uint8_t* Readable(uint32_t address, uint32_t length) const {
        const uint64_t end = uint64_t{address} + length;
        if (address >= kRamBase && end <= kRamEnd) {
            return ram.data() + (address - kRamBase);
        }
        if (address >= kFlashBase && end <= kFlashEnd) {
            return flash.data() + (address - kFlashBase);
        }
        return nullptr;
    }

    // NOR programming: bits only go from 1 to 0.  A word that needs a 0 turned
    // back into 1 keeps the bits it could clear and fails its verify.
    bool ProgramWord(uint32_t address, uint16_t value) {
        const uint16_t now = static_cast<uint16_t>(Word(address) & value);
        StoreWord(address, now);
        return now == value;
    }

    // The version in the trailer of the program from 0x80004, when one is found
    // whose CRC matches.  The image ends at the last programmed (non-0xFF) byte
    // or up to two bytes later (a CRC may end in 0xFF bytes); images of the
    // normal size class are looked for first, below sector 0.
    bool ProgramTrailerVersion(uint32_t* version) const {
        for (uint32_t limit : {kCalibrationSectorBase, kCalibrationAddress}) {
            uint32_t last = limit - 1;
            while (last >= kProgramStart && flash[last - kFlashBase] == 0xFF) {
                --last;
            }
            if (last < kProgramStart + kImageTrailerSize - 1) {
                continue;
            }
            for (uint32_t end = last; end <= last + 2 && end < limit; ++end) {
                const uint32_t n = end - kProgramStart + 1;
                const uint8_t* image = flash.data() + (kProgramStart - kFlashBase);
                const uint16_t stored = static_cast<uint16_t>(image[n - 2] | (image[n - 1] << 8));
                if (stored == Crc16Arc(image, n - 2)) {
                    *version = static_cast<uint32_t>(image[n - 6] | (image[n - 5] << 8) |
                                                     (image[n - 4] << 16) |
                                                     (uint32_t{image[n - 3]} << 24));
                    return true;
                }
            }
        }
        return false;
    }

    // A program that has just been declared valid runs with its own version.
    void AdoptProgramVersion(bool markers_were_valid) {
        uint32_t version = 0;
        if (!markers_were_valid && MarkersValid() && ProgramTrailerVersion(&version)) {
            config.program_version = version;
        }
    }

    uint32_t Version() const {
        return MarkersValid() ? config.program_version : kBootLoaderVersion;
    }

    uint32_t RangeCrc() const {
        if (crc_last < crc_first) {
            return 0;
        }
        const uint8_t* bytes = Readable(crc_first, crc_last - crc_first + 1);
        return bytes == nullptr ? 0 : Crc16Arc(bytes, crc_last - crc_first + 1);
    }

    // --- command handlers --------------------------------------------------
    Outcome WriteMemory(const Request& r) {
        const uint32_t address = r.args[0];
        const uint64_t end = uint64_t{address} + r.data_length;
        if (address < kRamBase || end > kRamEnd) {
            return Refused();
        }
        std::copy(r.data, r.data + r.data_length, ram.begin() + (address - kRamBase));
        return {};
    }

    Outcome ReadMemory(const Request& r) {
        const uint32_t count = r.args[1];
        const uint8_t* bytes = Readable(r.args[0], count);
        if (count > kMaxReadMemoryCount || bytes == nullptr) {
            return Refused();
        }
        Outcome out;
        out.payload.assign(bytes, bytes + count);
        return out;
    }

    Outcome QueryValue(const Request& r) {
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

    Outcome SetValue(const Request& r) {
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

    // Torn programming: some of a word's bits cleared, the rest left (half of
    // the bits that had to go, rounded down).
    void ProgramWordPartly(uint32_t address, uint16_t value) {
        const uint16_t now = Word(address);
        uint16_t to_clear = static_cast<uint16_t>(now & ~value);
        uint16_t cleared = 0;
        int bits = 0;
        for (uint16_t b = to_clear; b != 0; b = static_cast<uint16_t>(b & (b - 1))) {
            ++bits;
        }
        for (int i = 0; i < bits / 2; ++i) {
            const uint16_t lowest = static_cast<uint16_t>(to_clear & -to_clear);
            cleared = static_cast<uint16_t>(cleared | lowest);
            to_clear = static_cast<uint16_t>(to_clear & ~lowest);
        }
        const uint16_t left = static_cast<uint16_t>(now & ~cleared);
        StoreWord(address, left);
    }

    // Erase and programming are taken only in remote mode.
    bool FlashCommandRefused() const { return !remote; }

    Outcome ProgramFlashWord(const Request& r) {
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

    Outcome ProgramFlashFromBuffer(const Request& r) {
        const uint32_t words = r.args[0];
        const uint32_t address = flash_address;
        if (words == 0) {
            return Value(0, 2);
        }
        if (FlashCommandRefused() || words * 2 > kTransferBufferSize ||
            !Writable(address, words * 2)) {
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

    Outcome EraseFlashSector(const Request& r) {
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

    Outcome SetRemoteMode(const Request& r) {
        if (r.args[0] <= 1) {
            remote = r.args[0] == 1;
            InstrumentEvent e;
            e.kind = InstrumentEvent::kRemoteMode;
            e.value = remote ? 1 : 0;
            Emit(e);
        }
        return Value(remote ? 1 : 0, 2);
    }

    Outcome GetStatus(const Request&) {
        Outcome out = Value(config.status, 2);
        ++status_reads;
        if (config.protocol_clears_after_reads != 0 &&
            status_reads >= config.protocol_clears_after_reads) {
            config.status = static_cast<uint16_t>(config.status & ~0x20u);
        }
        return out;
    }

    static Outcome Value(uint32_t value, int width) {
        Outcome out;
        for (int i = width - 1; i >= 0; --i) {
            out.payload.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        return out;
    }
    static Outcome Refused() {
        Outcome out;
        out.answer = false;
        out.refused = true;
        return out;
    }
    void EmitProgram(uint32_t address, uint32_t length, uint32_t words, bool ok) const {
        InstrumentEvent e;
        e.kind = InstrumentEvent::kProgram;
        e.address = address;
        e.length = length;
        e.value = words;
        e.ok = ok;
        Emit(e);
    }
};

namespace {

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

const CommandRow* FindCommand(uint8_t number) {
    for (const CommandRow& row : kCommands) {
        if (row.number == number) {
            return &row;
        }
    }
    return nullptr;
}

size_t FixedLength(const CommandRow& row) {
    return 1u + row.arg_widths[0] + row.arg_widths[1] + row.arg_widths[2];
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

Strike FaultsFor(const std::vector<Fault>& faults, uint8_t command, uint32_t exchange,
                 uint32_t command_exchange) {
    Strike s;
    for (const Fault& f : faults) {
        if (f.command >= 0 && f.command != command) {
            continue;
        }
        const uint32_t n = f.command >= 0 ? command_exchange : exchange;
        const uint32_t first = std::max<uint32_t>(f.exchange, 1);
        if (n < first) {
            continue;
        }
        if (f.kind != FaultKind::kHostCut && n - first >= f.count) {
            continue;
        }
        switch (f.kind) {
            case FaultKind::kNoReply:
                s.no_reply = true;
                break;
            case FaultKind::kWrongEcho:
                s.wrong_echo = true;
                break;
            case FaultKind::kShortPayload:
                s.short_payload = true;
                break;
            case FaultKind::kLateReply:
                s.delay_ms += f.delay_ms;
                break;
            case FaultKind::kProgramMismatch:
                s.program_mismatch = true;
                break;
            case FaultKind::kWrongClosingEcho:
                s.wrong_closing_echo = true;
                break;
            case FaultKind::kInstrumentReset:
                s.reset = true;
                break;
            case FaultKind::kHostCut:
                s.cut = true;
                break;
            case FaultKind::kPowerLost:
                s.power_lost = true;
                break;
            case FaultKind::kTornOperation:
                s.tear_permille = static_cast<int32_t>(std::min<uint32_t>(f.part_permille, 999));
                break;
            case FaultKind::kHostKilled:
                s.host_killed = true;
                break;
            case FaultKind::kNotReady:
                s.not_ready_reports += f.reports;
                break;
            case FaultKind::kFeatureFail:
                s.feature_fail = true;
                break;
        }
    }
    return s;
}

}  // namespace

// --- Instrument ------------------------------------------------------------

Instrument::Instrument(InstrumentConfig config) : state_(std::make_shared<State>()) {
    Reset(config);
}

void Instrument::Reset(InstrumentConfig config) {
    *state_ = State{};
    state_->config = config;
    FormatFactory(config.factory_seed);
}

void Instrument::FormatFactory(uint32_t seed) {
    State& s = *state_;
    const size_t size = std::clamp<size_t>(s.config.factory_image_size, kImageTrailerSize,
                                           kCalibrationAddress - kProgramStart);
    s.flash = MakeFlashPicture(MakeImage(size, s.config.program_version, seed),
                               MakeCalibrationRecord(seed), true);
    s.StoreWord(kMarker1Address, kMarker1Valid);
    s.StoreWord(kMarker2Address, kMarker2Valid);
    std::fill(s.ram.begin(), s.ram.end(), 0);
    s.ClearRegisters();
}

std::vector<uint8_t> Instrument::MakeCalibrationRecord(uint32_t seed) {
    return sim::MakeCalibrationRecord(seed);
}

std::vector<uint8_t> Instrument::ReadFlash(uint32_t address, uint32_t length) const {
    std::vector<uint8_t> out;
    for (uint64_t a = address; a < uint64_t{address} + length; ++a) {
        if (a >= kFlashBase && a < kFlashEnd) {
            out.push_back(state_->flash[a - kFlashBase]);
        }
    }
    return out;
}

void Instrument::WriteFlashRaw(uint32_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint64_t a = uint64_t{address} + i;
        if (a >= kFlashBase && a < kFlashEnd) {
            state_->flash[a - kFlashBase] = bytes[i];
        }
    }
}

uint16_t Instrument::FlashWord(uint32_t address) const {
    if (address < kFlashBase || address + 1 >= kFlashEnd) {
        return 0xFFFF;
    }
    return state_->Word(address);
}

const std::vector<uint8_t>& Instrument::FlashImage() const {
    return state_->flash;
}

bool Instrument::LoadFlashImage(const std::vector<uint8_t>& image) {
    if (image.size() != kFlashSize) {
        return false;
    }
    state_->flash = image;
    state_->AdoptProgramVersion(false);
    return true;
}

bool Instrument::MarkersValid() const {
    return state_->MarkersValid();
}

std::vector<uint8_t> Instrument::ReadRam(uint32_t address, uint32_t length) const {
    std::vector<uint8_t> out;
    for (uint64_t a = address; a < uint64_t{address} + length; ++a) {
        if (a >= kRamBase && a < kRamEnd) {
            out.push_back(state_->ram[a - kRamBase]);
        }
    }
    return out;
}

InstrumentConfig& Instrument::Config() {
    return state_->config;
}
bool Instrument::RemoteMode() const {
    return state_->remote;
}
bool Instrument::CalibrationWriteAllowed() const {
    return state_->calibration_write;
}
uint32_t Instrument::FlashAddress() const {
    return state_->flash_address;
}
uint32_t Instrument::RestartCount() const {
    return state_->restart_count;
}
uint32_t Instrument::RestartAddress() const {
    return state_->restart_address;
}
uint32_t Instrument::ResetCount() const {
    return state_->reset_count;
}
uint32_t Instrument::ExchangeCount() const {
    return state_->exchanges;
}
const std::vector<LoggedRequest>& Instrument::Log() const {
    return state_->log;
}
void Instrument::ClearLog() {
    state_->log.clear();
}
void Instrument::SetKeepLog(bool keep) {
    state_->keep_log = keep;
    if (!keep) {
        state_->log.clear();
    }
}

void Instrument::AddFault(const Fault& fault) {
    state_->faults.push_back(fault);
}
void Instrument::ClearFaults() {
    state_->faults.clear();
    state_->cut = false;
}
bool Instrument::LinkCut() const {
    return state_->cut;
}

void Instrument::SetExchangeHook(ExchangeHook* hook) {
    state_->hook = hook;
}

void Instrument::SetEventSink(std::function<void(const InstrumentEvent&)> sink) {
    state_->sink = std::move(sink);
}

bool Instrument::Powered() const {
    return state_->powered;
}

void Instrument::PowerOn() {
    State& s = *state_;
    s.powered = true;
    s.ClearRegisters();
    // What RAM holds after power-up is anybody's guess; never the old buffer.
    for (size_t i = 0; i < s.ram.size(); ++i) {
        s.ram[i] = static_cast<uint8_t>(0x5A ^ (i * 13));
    }
    InstrumentEvent e;
    e.kind = InstrumentEvent::kPowerOn;
    s.Emit(e);
}

void Instrument::SetHostKillHandler(std::function<void(uint32_t exchange)> handler) {
    state_->kill_handler = std::move(handler);
}

Instrument::Reply Instrument::Handle(const std::vector<uint8_t>& request) {
    State& s = *state_;
    Reply reply;
    if (request.empty() || s.cut || !s.powered) {
        return reply;
    }
    const uint8_t command = request[0];
    reply.command = command;
    ++s.exchanges;
    ++s.command_exchanges[command];
    LoggedRequest* logged = nullptr;
    if (s.keep_log) {
        s.log.push_back(LoggedRequest{request, false, false});
        logged = &s.log.back();
    }

    Strike strike = FaultsFor(s.faults, command, s.exchanges, s.command_exchanges[command]);
    if (strike.cut) {
        s.cut = true;
        InstrumentEvent e;
        e.kind = InstrumentEvent::kLinkCut;
        s.Emit(e);
        return reply;
    }
    const ExchangeAction action =
        s.hook != nullptr ? s.hook->Decide(s.exchanges, request) : ExchangeAction::kAnswer;
    if (action == ExchangeAction::kIgnore) {
        return reply;
    }
    strike.reset = strike.reset || action == ExchangeAction::kReset;
    strike.no_reply = strike.no_reply || action == ExchangeAction::kSilent;
    if (strike.reset) {
        ++s.reset_count;
        s.ClearRegisters();
        InstrumentEvent e;
        e.kind = InstrumentEvent::kReset;
        s.Emit(e);
        return reply;
    }

    const CommandRow* row = FindCommand(command);
    if (row == nullptr ||
        RequestLength(request.data(), request.size()) != static_cast<int>(request.size())) {
        if (logged != nullptr) {
            logged->refused = true;
        }
        InstrumentEvent e;
        e.kind = InstrumentEvent::kRefused;
        e.value = command;
        s.Emit(e);
        return reply;
    }

    const Request parsed = Parse(*row, request);
    if (strike.tear_permille >= 0) {
        // Only erase and programming take long enough to be caught half done.
        if (command == 14 || command == 15 || command == 16) {
            s.tear_permille = strike.tear_permille;
            (s.*(row->handler))(parsed);
            s.tear_permille = -1;
        }
        s.PowerOff();
        return reply;
    }
    Outcome outcome;
    if (strike.program_mismatch && command == 15) {
        // The programming reply disagrees with the count asked; nothing was done.
        outcome = State::Value(parsed.args[0] - 1, 2);
    } else if (strike.program_mismatch && command == 14) {
        outcome = State::Value(0, 2);
    } else {
        outcome = (s.*(row->handler))(parsed);
    }
    if (logged != nullptr) {
        logged->refused = outcome.refused;
    }
    if (outcome.refused && !outcome.answer) {
        InstrumentEvent e;
        e.kind = InstrumentEvent::kRefused;
        e.value = command;
        s.Emit(e);
    }
    if (strike.power_lost) {
        s.PowerOff();
        return reply;
    }
    if (!outcome.answer || strike.no_reply) {
        s.KillHostIf(strike.host_killed);
        return reply;
    }

    reply.answered = true;
    reply.bytes.reserve(1 + outcome.payload.size());
    reply.bytes.push_back(strike.wrong_echo ? static_cast<uint8_t>(command + 1) : command);
    reply.bytes.insert(reply.bytes.end(), outcome.payload.begin(), outcome.payload.end());
    if (strike.short_payload) {
        if (reply.bytes.size() > 1) {
            reply.bytes.pop_back();
        }
        reply.omit_closing_echo = true;
    }
    reply.delay_ms = strike.delay_ms;
    reply.not_ready_reports = strike.not_ready_reports;
    reply.feature_fails = strike.feature_fail;
    reply.busy_us = outcome.busy_us;
    reply.closing_echo_wrong = strike.wrong_closing_echo;
    if (s.hook != nullptr) {
        s.hook->Shape(s.exchanges, request, &reply);
    }
    if (logged != nullptr) {
        logged->answered = true;
    }
    s.KillHostIf(strike.host_killed);
    return reply;
}

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

// --- events and faults -----------------------------------------------------

std::string InstrumentEvent::Text() const {
    char text[96];
    switch (kind) {
        case kRemoteMode:
            return value != 0 ? "remote mode on" : "remote mode off";
        case kRestart:
            std::snprintf(text, sizeof text, "restart 0x%X", static_cast<unsigned>(address));
            return text;
        case kErase:
            if (!ok && length != 0) {
                std::snprintf(text, sizeof text, "erase sector %u torn at 0x%X",
                              static_cast<unsigned>(value),
                              static_cast<unsigned>(address + length));
                return text;
            }
            std::snprintf(text, sizeof text, "erase sector %u%s", static_cast<unsigned>(value),
                          ok ? "" : " refused");
            return text;
        case kProgram:
            if (length == 0) {
                std::snprintf(text, sizeof text, "program 0x%X refused (%u words)",
                              static_cast<unsigned>(address), static_cast<unsigned>(value));
            } else {
                std::snprintf(text, sizeof text, "program 0x%X..0x%X%s",
                              static_cast<unsigned>(address),
                              static_cast<unsigned>(address + length - 1), ok ? "" : " failed");
            }
            return text;
        case kReset:
            return "instrument reset";
        case kLinkCut:
            return "link cut";
        case kRefused:
            std::snprintf(text, sizeof text, "refused command %u", static_cast<unsigned>(value));
            return text;
        case kPowerLost:
            return "power lost";
        case kPowerOn:
            return "power on";
        case kHostKilled:
            return "host killed";
        case kCrcQuery:
            std::snprintf(
                text, sizeof text, "crc 0x%X..0x%X is 0x%04X", static_cast<unsigned>(address),
                static_cast<unsigned>(address + length - 1), static_cast<unsigned>(value));
            return text;
    }
    return "";
}

namespace {

struct FaultName {
    FaultKind kind;
    const char* name;
};
constexpr FaultName kFaultNames[] = {
    {FaultKind::kNoReply, "no-reply"},         {FaultKind::kWrongEcho, "wrong-echo"},
    {FaultKind::kShortPayload, "short"},       {FaultKind::kLateReply, "late"},
    {FaultKind::kProgramMismatch, "mismatch"}, {FaultKind::kWrongClosingEcho, "wrong-close"},
    {FaultKind::kInstrumentReset, "reset"},    {FaultKind::kHostCut, "cut"},
    {FaultKind::kPowerLost, "power"},          {FaultKind::kTornOperation, "torn"},
    {FaultKind::kHostKilled, "kill"},          {FaultKind::kNotReady, "not-ready"},
    {FaultKind::kFeatureFail, "feature-fail"},
};

// A decimal number up to 10 digits filling [text, end); false otherwise.
bool ParseNumber(const std::string& text, size_t begin, size_t end, uint32_t* value) {
    if (begin >= end || end - begin > 10) {
        return false;
    }
    uint64_t v = 0;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (v > 0xFFFFFFFFu) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
    for (const FaultName& f : kFaultNames) {
        if (f.kind == kind) {
            return f.name;
        }
    }
    return "";
}

bool ParseFault(const std::string& text, Fault* fault, std::string* error) {
    const size_t at = text.find('@');
    if (at == std::string::npos) {
        *error = "fault '" + text + "': expected kind@exchange";
        return false;
    }
    Fault f;
    const std::string kind = text.substr(0, at);
    bool known = false;
    for (const FaultName& n : kFaultNames) {
        if (kind == n.name) {
            f.kind = n.kind;
            known = true;
        }
    }
    if (!known) {
        *error = "fault '" + text + "': unknown kind '" + kind + "'";
        return false;
    }
    // Fields after the exchange, each introduced by its own character.
    size_t pos = at + 1;
    auto field_end = [&](size_t from) { return text.find_first_of("x:/", from); };
    size_t end = field_end(pos);
    if (end == std::string::npos) {
        end = text.size();
    }
    bool ok = ParseNumber(text, pos, end, &f.exchange) && f.exchange > 0;
    bool seen[3] = {false, false, false};
    while (ok && end < text.size()) {
        const char tag = text[end];
        pos = end + 1;
        end = field_end(pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        uint32_t value = 0;
        const int slot = tag == 'x' ? 0 : tag == ':' ? 1 : 2;
        ok = !seen[slot] && ParseNumber(text, pos, end, &value);
        seen[slot] = true;
        if (!ok) {
            break;
        }
        if (tag == 'x') {
            f.count = value;
            ok = value > 0;
        } else if (tag == ':' && f.kind == FaultKind::kTornOperation) {
            f.part_permille = value;
            ok = value < 1000;
        } else if (tag == ':') {
            (f.kind == FaultKind::kNotReady ? f.reports : f.delay_ms) = value;
        } else {
            f.command = static_cast<int>(value);
            ok = value < 256;
        }
    }
    if (!ok) {
        *error = "fault '" + text + "': expected kind@N[xCOUNT][:VALUE][/COMMAND]";
        return false;
    }
    *fault = f;
    return true;
}

// --- the process-wide instrument -----------------------------------------

Instrument& DefaultInstrument() {
    static Instrument instrument;
    return instrument;
}

void ResetDefaultInstrument(const InstrumentConfig& config) {
    DefaultInstrument().Reset(config);
}

}  // namespace vtrl::sim
