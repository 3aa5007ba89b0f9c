// Prints, for each error rate, link and size class, how many upgrades over a
// bad line completed and their median virtual time.
//   vtrl-bad-line-table [RUNS]   (default 20 runs per row)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/upgrade/bad_line.h"

int main(int argc, char** argv) {
    using namespace vtrl::test;
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    std::printf("%-6s %-15s %-12s %10s %12s %9s %s\n", "rate", "link", "image", "completed",
                "median (s)", "disturbed", "endings other than complete");
    bool sound = true;
    for (double rate : {0.01, 0.10, 1.0}) {
        for (LineLink link : {LineLink::kUsb, LineLink::kUsbReadyFlag, LineLink::kSerial}) {
            for (bool calibration : {false, true}) {
                int completed = 0;
                uint64_t disturbed = 0;
                std::vector<uint64_t> times;
                std::vector<std::string> endings;
                for (int seed = 1; seed <= runs; ++seed) {
                    const BadLineRun r =
                        RunOverBadLine(link, calibration, rate, static_cast<uint32_t>(seed));
                    completed += r.completed ? 1 : 0;
                    disturbed += r.disturbed;
                    times.push_back(r.virtual_ms);
                    // A completion must leave the upgraded flash; the record is never lost.
                    sound = sound && (!r.completed || r.flash_upgraded) && r.calibration_safe;
                    if (!r.completed) {
                        std::string m = r.last_message;
                        const size_t cut = m.find("\r\n");
                        m = m.substr(0, cut);
                        if (std::find(endings.begin(), endings.end(), m) == endings.end()) {
                            endings.push_back(m);
                        }
                    }
                }
                std::sort(times.begin(), times.end());
                std::string ends;
                for (const std::string& e : endings) {
                    ends += (ends.empty() ? "" : " |") + e;
                }
                std::printf("%5.0f%% %-15s %-12s %6d/%-3d %12.1f %9.1f %s\n", rate * 100,
                            LineLinkName(link), calibration ? "326652 B" : "20001 B", completed,
                            runs, static_cast<double>(times[times.size() / 2]) / 1000.0,
                            static_cast<double>(disturbed) / runs, ends.c_str());
                std::fflush(stdout);
            }
        }
    }
    std::printf(sound ? "every completion left the image, valid markers and the record; no "
                        "record lost\n"
                      : "FAULT: a completion over a wrong flash, or a record lost\n");
    return sound ? 0 : 1;
}
