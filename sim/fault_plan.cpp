// The instrument model's fault plan: which faults strike an exchange, and the
// faults by name ("kind@N[xCOUNT][:VALUE][/COMMAND]").
#include "sim/instrument_state.h"

#include <algorithm>

namespace vtrl::sim {

namespace detail {

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

}  // namespace detail

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

Fault FaultAt(uint32_t exchange, FaultKind kind, uint32_t count, int command) {
    Fault f;
    f.exchange = exchange;
    f.kind = kind;
    f.count = count;
    f.command = command;
    return f;
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

}  // namespace vtrl::sim
