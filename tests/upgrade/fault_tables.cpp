// The bad-line and bad-disk tables:
//   vtrl-fault-tables line [RUNS]  for each error rate, link and size class, how
//                                  many upgrades over a bad line completed (RUNS
//                                  seeds each, default 20) and their median
//                                  virtual time
//   vtrl-fault-tables disk         each disk fault: the message, and what was left
// Exit status 1 when a row shows a fault (a completion over a wrong flash, a
// record lost, a file left behind).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/upgrade/bad_line.h"
#include "tests/upgrade/disk_faults.h"

namespace {

using namespace vtrl::test;

const char* YesNo(bool b) {
    return b ? "yes" : "no";
}

int DiskTable() {
    std::printf("%-40s %-7s %-40s %-8s %-7s %-9s %s\n", "fault", "earlier", "message shown",
                "erased", "kept", "tmp left", "next run clean");
    bool sound = true;
    for (const DiskFaultCase& c : DiskFaultCases()) {
        const DiskFaultRow r = RunDiskFault(c);
        std::string message = r.message;
        const size_t path = message.find(" file ");
        if (path != std::string::npos && message.find("vtrlprog.bin") != std::string::npos) {
            message = message.substr(0, path) + " file <image path>.";
        }
        std::printf("%-40s %-7s %-40s %-8s %-7s %-9s %s\n", c.name, YesNo(c.saved_copy),
                    ("\"" + message + "\"").c_str(), YesNo(r.instrument_changed),
                    c.saved_copy || r.saved_copy_kept ? YesNo(r.saved_copy_kept) : "-",
                    YesNo(r.temporary_left), YesNo(r.next_run_clean));
        sound =
            sound && r.next_run_clean && !r.message.empty() && (!c.saved_copy || r.saved_copy_kept);
    }
    std::printf(sound ? "every fault reported; no earlier caldata.bin lost; every next run clean\n"
                      : "FAULT: see the rows above\n");
    return sound ? 0 : 1;
}

int LineTable(int runs) {
    std::printf("%-5s %-15s %-9s %9s %9s %7s %10s %9s  %s\n", "rate", "link", "image", "complete",
                "not found", "failed", "median (s)", "disturbed", "failures shown");
    bool sound = true;
    for (double rate : {0.01, 0.10, 1.0}) {
        for (LineLink link : {LineLink::kUsb, LineLink::kUsbReadyFlag, LineLink::kSerial}) {
            for (bool calibration : {false, true}) {
                int completed = 0;
                int not_found = 0;
                int failed = 0;
                uint64_t disturbed = 0;
                std::vector<uint64_t> times;
                std::vector<std::string> endings;
                for (int seed = 1; seed <= runs; ++seed) {
                    const BadLineRun r =
                        RunOverBadLine(link, calibration, rate, static_cast<uint32_t>(seed));
                    disturbed += r.disturbed;
                    times.push_back(r.virtual_ms);
                    // A completion must leave the upgraded flash; the record is never lost.
                    sound = sound && (!r.completed || r.flash_upgraded) && r.calibration_safe &&
                            !r.remote_mode;
                    if (r.completed) {
                        ++completed;
                        continue;
                    }
                    if (!r.remote_mode_entered) {
                        ++not_found;  // discovery's version query went unanswered
                        continue;
                    }
                    ++failed;
                    sound = sound && rate >= 1.0;
                    const std::string m =
                        "\"" + r.last_message.substr(0, r.last_message.find("\r\n")) + "\"";
                    if (std::find(endings.begin(), endings.end(), m) == endings.end()) {
                        endings.push_back(m);
                    }
                }
                std::sort(times.begin(), times.end());
                std::string ends;
                for (const std::string& e : endings) {
                    ends += (ends.empty() ? "" : ", ") + e;
                }
                std::printf("%4.0f%% %-15s %-9s %5d/%-3d %9d %7d %10.1f %9.1f  %s\n", rate * 100,
                            LineLinkName(link), calibration ? "326652 B" : "20001 B", completed,
                            runs, not_found, failed,
                            static_cast<double>(times[times.size() / 2]) / 1000.0,
                            static_cast<double>(disturbed) / runs, ends.c_str());
                std::fflush(stdout);
            }
        }
    }
    std::printf(sound ? "every upgrade that started at 1 %% and 10 %% completed; every completion "
                        "left the image, valid markers and the record; no record lost; remote "
                        "mode always left\n"
                      : "FAULT: an upgrade that failed at 1 %% or 10 %%, a completion over a "
                        "wrong flash, a record lost or remote mode kept\n");
    return sound ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "line") == 0) {
        return LineTable(argc > 2 ? std::max(1, std::atoi(argv[2])) : 20);
    }
    if (argc == 2 && std::strcmp(argv[1], "disk") == 0) {
        return DiskTable();
    }
    std::fprintf(stderr, "usage: %s line [RUNS] | disk\n", argv[0]);
    return 2;
}
