// The stand-in programs' event log: one line per thing the instrument did,
// with a run of programming commands over consecutive addresses folded into
// one line ("program 0x80004..0xBFFFF (527 commands)").
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/instrument.h"

namespace vtrl::sim {

class EventLog {
  public:
    explicit EventLog(FILE* out) : out_(out) {}
    void Add(const InstrumentEvent& e);
    // Any other line (a fold under way is written first, so the order holds).
    void Line(const std::string& text);
    // Writes the fold under way, if any.
    void Flush();

  private:
    void Write(const std::string& text);
    FILE* out_;
    uint32_t run_start_ = 0;
    uint32_t run_end_ = 0;
    uint32_t run_commands_ = 0;
};

}  // namespace vtrl::sim
