// A scripted stand-in for the protocol layer below the instrument operations:
// each one-attempt call takes the next scripted link error (0: it succeeds)
// and the next scripted result, and every call and pause is recorded in order.
// Pauses advance a virtual clock.  Used only by the retry-rule tests; the
// upgrade itself is tested against the instrument stand-in.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vtrl::test {

struct ProtocolScript {
    std::deque<uint32_t> errors;   // link error raised by the next calls; empty: success
    std::deque<uint32_t> results;  // results of the next successful calls; empty: default
    uint32_t default_result = 0;
    uint32_t link_error = 0;
    std::vector<std::string> events;  // "QueryValue(0,0)", "Delay(100)", "ClearLinkError" ...
    uint64_t virtual_ms = 0;

    // Events whose text starts with `prefix`.
    int Count(const std::string& prefix) const;
};

ProtocolScript& Script();
void ResetScript();

}  // namespace vtrl::test
