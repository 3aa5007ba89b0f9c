// The instrument's part of a stand-in program's command line (vtrlsim and
// vtrlsim-hid): the instrument's configuration, its fault plan and its files.
#pragma once

#include <string>
#include <vector>

#include "sim/instrument.h"

namespace vtrl::sim {

struct StandInOptions {
    InstrumentConfig config;
    std::vector<Fault> faults;
    std::string flash_path;
    std::string events_path;
};

// Takes option `arg` with `value`, the argument after it (null when there is
// none).  1: taken, value used; 0: not one of the shared options; -1: bad,
// `error` says why.
int ParseStandInOption(const std::string& arg, const char* value, StandInOptions* options,
                       std::string* error);

// The shared options' lines for a usage text.
extern const char kStandInOptionsHelp[];

}  // namespace vtrl::sim
