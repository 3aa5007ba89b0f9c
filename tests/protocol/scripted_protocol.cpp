#include "tests/protocol/scripted_protocol.h"

#include <initializer_list>
#include <string>

#include "platform/clock.h"
#include "protocol/protocol.h"

namespace vtrl {
namespace test {

namespace {
ProtocolScript g_script;

// One scripted attempt: records it, raises the next error or hands out a result.
uint32_t Attempt(const std::string& event) {
    g_script.events.push_back(event);
    uint32_t error = 0;
    if (!g_script.errors.empty()) {
        error = g_script.errors.front();
        g_script.errors.pop_front();
    }
    if (error != 0) {
        g_script.link_error = error;
        return 0;
    }
    if (!g_script.results.empty()) {
        const uint32_t result = g_script.results.front();
        g_script.results.pop_front();
        return result;
    }
    return g_script.default_result;
}

std::string Call(const char* name, std::initializer_list<uint32_t> args) {
    std::string text = std::string(name) + "(";
    bool first = true;
    for (uint32_t a : args) {
        text += (first ? "" : ",") + std::to_string(a);
        first = false;
    }
    return text + ")";
}
}  // namespace

int ProtocolScript::Count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& e : events) {
        n += e.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return n;
}

ProtocolScript& Script() {
    return g_script;
}
void ResetScript() {
    g_script = ProtocolScript();
}

}  // namespace test

using test::Attempt;
using test::Call;

uint32_t RemoteCall(uint32_t command, uint32_t a1, uint32_t a2, uint32_t a3) {
    return Attempt(Call("RemoteCall", {command, a1, a2, a3}));
}
void WriteMemory(const uint8_t*, uint32_t address, uint16_t count) {
    Attempt(Call("WriteMemory", {address, count}));
}
void ReadMemory(uint32_t address, uint8_t* destination, uint16_t count) {
    if (Attempt(Call("ReadMemory", {address, count})) == 0 && test::g_script.link_error == 0) {
        for (uint16_t i = 0; i < count; ++i) {
            destination[i] = static_cast<uint8_t>(i);
        }
    }
}
uint32_t QueryValue(uint32_t s, uint32_t b) {
    return Attempt(Call("QueryValue", {s, b}));
}
uint32_t SetValue(uint32_t s, uint32_t v) {
    Attempt(Call("SetValue", {s, v}));
    return 0;
}
uint32_t ProgramFlashWord(uint32_t w) {
    return Attempt(Call("ProgramFlashWord", {w}));
}
uint32_t ProgramFlashFromBuffer(uint32_t n) {
    return Attempt(Call("ProgramFlashFromBuffer", {n}));
}
uint32_t EraseFlashSector(uint32_t s) {
    return Attempt(Call("EraseFlashSector", {s}));
}
uint32_t SetRemoteMode(uint32_t m, uint32_t b, uint32_t c) {
    return Attempt(Call("SetRemoteMode", {m, b, c}));
}
uint32_t GetStatus() {
    return Attempt("GetStatus()");
}
void ClearLinkError() {
    test::g_script.events.push_back("ClearLinkError");
    test::g_script.link_error = 0;
}
uint32_t GetLinkError() {
    return test::g_script.link_error;
}
void RaiseLinkError(uint32_t code) {
    test::g_script.link_error = code;
}
void ResetProtocolState() {
    test::ResetScript();
}

void Delay(uint32_t milliseconds) {
    test::g_script.events.push_back("Delay(" + std::to_string(milliseconds) + ")");
    test::g_script.virtual_ms += milliseconds;
}

}  // namespace vtrl
