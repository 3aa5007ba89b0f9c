// The instrument model: an exchange from request to reply (the fault plan and
// the hook, the command's handler, the reply's shape), power, and what tests
// read of its registers.  Memory, commands and faults have files of their own
// (sim/instrument_state.h lists them).
#include "sim/instrument_state.h"

#include <cstdio>
#include <utility>

namespace vtrl::sim {

using detail::CommandRow;
using detail::FaultsFor;
using detail::FindCommand;
using detail::Outcome;
using detail::Parse;
using detail::Request;
using detail::Strike;

// --- power and reset -------------------------------------------------------

void Instrument::State::PowerOff() {
    powered = false;
    InstrumentEvent e;
    e.kind = InstrumentEvent::kPowerLost;
    Emit(e);
}

void Instrument::State::KillHostIf(bool struck) {
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

void Instrument::State::ClearRegisters() {
    remote = false;
    calibration_write = false;
    crc_first = 0;
    crc_last = 0;
    flash_address = 0;
}

// --- Instrument ------------------------------------------------------------

Instrument::Instrument(InstrumentConfig config) : state_(std::make_shared<State>()) {
    Reset(config);
}

void Instrument::Reset(InstrumentConfig config) {
    *state_ = State{};
    state_->config = config;
    FormatFactory(config.factory_seed);
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

// --- events ----------------------------------------------------------------

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

// --- the process-wide instrument -----------------------------------------

Instrument& DefaultInstrument() {
    static Instrument instrument;
    return instrument;
}

void ResetDefaultInstrument(const InstrumentConfig& config) {
    DefaultInstrument().Reset(config);
}

}  // namespace vtrl::sim
