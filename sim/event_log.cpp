#include "sim/event_log.h"

namespace vtrl::sim {

void EventLog::Add(const InstrumentEvent& e) {
    if (e.kind == InstrumentEvent::kProgram && e.ok && e.length > 0) {
        if (run_commands_ > 0 && e.address == run_end_ + 1) {
            run_end_ = e.address + e.length - 1;
            ++run_commands_;
            return;
        }
        Flush();
        run_start_ = e.address;
        run_end_ = e.address + e.length - 1;
        run_commands_ = 1;
        return;
    }
    Line(e.Text());
}

void EventLog::Line(const std::string& text) {
    Flush();
    Write(text);
}

void EventLog::Flush() {
    if (run_commands_ == 0) {
        return;
    }
    char text[96];
    std::snprintf(text, sizeof text, "program 0x%X..0x%X (%u command%s)", run_start_, run_end_,
                  run_commands_, run_commands_ == 1 ? "" : "s");
    run_commands_ = 0;
    Write(text);
}

void EventLog::Write(const std::string& text) {
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

}  // namespace vtrl::sim
