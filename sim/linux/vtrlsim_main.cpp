// vtrlsim (Linux only): the instrument stand-in as a program.  Serves the serial framing
// on a pseudo-terminal at 57600-baud pacing in real time and keeps the
// instrument's flash in a file, so the real vtrlupg (or vtrlupg.exe under Wine
// with COM1 mapped to the pseudo-terminal) can upgrade it end to end.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/linux/scoped_fd.h"
#include "sim/event_log.h"
#include "sim/flash_file.h"
#include "sim/instrument.h"
#include "sim/stand_in_options.h"

namespace {

using vtrl::sim::EventLog;
using vtrl::sim::Fault;
using vtrl::sim::Instrument;
using vtrl::sim::InstrumentEvent;

constexpr const char kUsageHead[] =
    "Usage: vtrlsim [options] FLASH_FILE\n"
    "\n"
    "Serves the Vantrel instrument's serial framing (57600 baud, echo-framed\n"
    "replies, each byte paced at its wire time) on a new pseudo-terminal.  The\n"
    "first line on stdout is the pseudo-terminal's path; the program serves it\n"
    "until SIGTERM or SIGINT, also while hosts open and close it repeatedly.\n"
    "SIGUSR1 switches the instrument's power back on after a power or torn fault,\n"
    "without its volatile state (flash as it was left).  A kill fault answers\n"
    "request N, then kills the host program (SIGKILL to --host-pid-file's pid).\n"
    "\n"
    "FLASH_FILE holds the instrument's flash: a raw 512 KiB image of\n"
    "0x80000..0xFFFFF.  A missing or empty file is created in the factory state\n"
    "(valid marker words, a program image carrying --version, a calibration\n"
    "record at 0xCFC00).  Every flash change is written to it at once, and the\n"
    "whole image again on exit.\n"
    "\n"
    "Options:\n";
constexpr const char kUsageOwn[] =
    "  --link PATH        also make PATH a symbolic link to the pseudo-terminal\n"
    "  --unpaced          answer at once instead of at 57600-baud wire time\n"
    "  --advancing-address  the flash address of selector 8 moves on past what a\n"
    "                     programming command programmed (default: it stays put)\n"
    "  --high-byte-first  flash holds a word high byte first (default: low byte first)\n"
    "  --host-pid-file F  the file holding the host program's process id, read when\n"
    "                     a kill fault strikes\n"
    "  --help             this text\n";

void PrintUsage(FILE* out) {
    std::fprintf(out, "%s%s%s", kUsageHead, vtrl::sim::kStandInOptionsHelp, kUsageOwn);
}

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_power_on = 0;

void OnSignal(int) {
    g_stop = 1;
}

void OnPowerSwitch(int) {
    g_power_on = 1;
}

struct Options {
    vtrl::sim::StandInOptions stand_in;
    std::string link_path;
    std::string host_pid_path;
    bool paced = true;
};

// 0: run; 1: --help shown; 2: bad usage (message printed).
int ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        auto bad = [&](const std::string& what) {
            std::fprintf(stderr, "vtrlsim: %s\n", what.c_str());
            PrintUsage(stderr);
            return 2;
        };
        std::string error;
        const int shared = vtrl::sim::ParseStandInOption(arg, next, &o->stand_in, &error);
        if (shared < 0) {
            return bad(error);
        }
        if (shared > 0) {
            ++i;
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 1;
        } else if (arg == "--unpaced") {
            o->paced = false;
        } else if (arg == "--advancing-address") {
            o->stand_in.config.advance_flash_address = true;
        } else if (arg == "--high-byte-first") {
            o->stand_in.config.words_high_byte_first = true;
        } else if (arg == "--link" || arg == "--host-pid-file") {
            if (next == nullptr) {
                return bad(arg + " needs a value");
            }
            ++i;
            (arg == "--link" ? o->link_path : o->host_pid_path) = next;
        } else if (arg.rfind("--", 0) == 0) {
            return bad(arg + " is not an option");
        } else if (!o->stand_in.flash_path.empty()) {
            return bad(arg + " is a second flash file");
        } else {
            o->stand_in.flash_path = arg;
        }
    }
    if (o->stand_in.flash_path.empty()) {
        std::fprintf(stderr, "vtrlsim: no flash file given\n");
        PrintUsage(stderr);
        return 2;
    }
    return 0;
}

// SIGKILL to the process whose id the file holds; false when there is none.
bool KillHost(const std::string& pid_path) {
    if (pid_path.empty()) {
        return false;
    }
    vtrl::ScopedStdioFile file(std::fopen(pid_path.c_str(), "r"));
    char text[32] = "";
    if (!file || std::fgets(text, sizeof text, file.Get()) == nullptr) {
        return false;
    }
    text[std::strcspn(text, "\r\n")] = '\0';
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && pid > 1 && kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

void SetRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, B57600);
    cfsetospeed(&t, B57600);
    tcsetattr(fd, TCSANOW, &t);
}

// The pseudo-terminal a host opens as its serial port: its slave side stays
// open here too, so the master stays readable (no EIO) while hosts open and
// close theirs.
class PseudoTerminal {
  public:
    ~PseudoTerminal() {
        if (!link_path_.empty()) {
            unlink(link_path_.c_str());
        }
    }
    // False with a message printed when it cannot be made.
    bool Open(const std::string& link_path) {
        master_.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!master_ || grantpt(master_.Get()) != 0 || unlockpt(master_.Get()) != 0) {
            return Failed("cannot create a pseudo-terminal");
        }
        const char* slave_name = ptsname(master_.Get());
        if (slave_name == nullptr) {
            return Failed("no pseudo-terminal name");
        }
        path_ = slave_name;
        slave_.Reset(open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!slave_) {
            return Failed(("cannot open " + path_).c_str());
        }
        SetRaw(slave_.Get());
        fcntl(master_.Get(), F_SETFL, fcntl(master_.Get(), F_GETFL) | O_NONBLOCK);
        if (!link_path.empty()) {
            unlink(link_path.c_str());
            if (symlink(path_.c_str(), link_path.c_str()) != 0) {
                return Failed(("cannot link " + link_path).c_str());
            }
            link_path_ = link_path;
        }
        return true;
    }
    const std::string& Path() const { return path_; }
    int Master() const { return master_.Get(); }

  private:
    static bool Failed(const char* what) {
        std::fprintf(stderr, "vtrlsim: %s: %s\n", what, std::strerror(errno));
        return false;
    }
    vtrl::ScopedFd master_;
    vtrl::ScopedFd slave_;
    std::string path_;
    std::string link_path_;
};

// Moves bytes between the pseudo-terminal and the instrument's serial framing
// until SIGTERM or SIGINT (SIGUSR1 switches the power back on).  Returns 0, or 1
// when the line or the flash file failed.
int Serve(const PseudoTerminal& pty, Instrument& instrument, bool paced, EventLog& events,
          const vtrl::sim::FlashFile& flash) {
    // SIGTERM and SIGINT get through only while ppoll waits, so a stop request
    // cannot slip in between the check of g_stop and a long wait.
    sigset_t stop_signals;
    sigset_t wait_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGUSR1);

    vtrl::Clock& clock = vtrl::NativeClock();
    vtrl::sim::SerialEndpoint serial(instrument, clock, paced);
    uint64_t last_activity_us = clock.NowUs();
    while (!g_stop) {
        if (g_power_on) {
            g_power_on = 0;
            if (!instrument.Powered()) {
                instrument.PowerOn();
            }
        }
        // Wake for the next byte due to the host, or now and then to fold the
        // event summary of a finished run of programming commands.
        const uint64_t now = clock.NowUs();
        uint64_t wait_us = 100000;
        if (serial.Pending() > 0) {
            const uint64_t next = serial.NextArrivalUs();
            wait_us = next > now ? next - now : 0;
        }
        pollfd p{pty.Master(), POLLIN, 0};
        const timespec timeout{static_cast<time_t>(wait_us / 1000000),
                               static_cast<long>((wait_us % 1000000) * 1000)};
        const int ready = ppoll(&p, 1, &timeout, &wait_mask);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "vtrlsim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (ready > 0 && (p.revents & POLLIN)) {
            uint8_t buffer[1024];
            const ssize_t n = read(pty.Master(), buffer, sizeof buffer);
            if (n > 0) {
                serial.HostWrite(buffer, static_cast<size_t>(n));
                last_activity_us = clock.NowUs();
            }
        }
        uint8_t out[1024];
        const size_t due = serial.HostRead(out, sizeof out);
        size_t sent = 0;
        while (sent < due) {
            const ssize_t n = write(pty.Master(), out + sent, due - sent);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                // The pseudo-terminal's buffer is full: no host reads it.  The
                // bytes are lost, as on a line nobody listens to.
                break;
            }
            sent += static_cast<size_t>(n);
        }
        if (due > 0) {
            last_activity_us = clock.NowUs();
        }
        if (clock.NowUs() - last_activity_us > 300000) {
            events.Flush();
        }
        if (flash.Failed()) {
            return 1;
        }
    }
    return 0;
}

int Run(const Options& options) {
    Instrument instrument(options.stand_in.config);
    instrument.SetKeepLog(false);
    for (const Fault& f : options.stand_in.faults) {
        instrument.AddFault(f);
    }

    vtrl::sim::FlashFile flash;
    std::string error;
    if (!flash.Open(options.stand_in.flash_path, instrument, false, &error)) {
        std::fprintf(stderr, "vtrlsim: %s\n", error.c_str());
        return 2;
    }

    vtrl::ScopedStdioFile events_file;
    FILE* events_out = stdout;
    if (!options.stand_in.events_path.empty()) {
        events_file.Reset(std::fopen(options.stand_in.events_path.c_str(), "w"));
        events_out = events_file.Get();
        if (events_out == nullptr) {
            std::fprintf(stderr, "vtrlsim: cannot open %s: %s\n",
                         options.stand_in.events_path.c_str(), std::strerror(errno));
            return 2;
        }
    }
    EventLog events(events_out);
    instrument.SetEventSink([&](const InstrumentEvent& e) {
        flash.Follow(e);
        events.Add(e);
    });

    // The host dies as a killed process does: at once, with no clean-up of its own.
    instrument.SetHostKillHandler([&](uint32_t) {
        events.Flush();
        if (!KillHost(options.host_pid_path)) {
            std::fprintf(stderr, "vtrlsim: kill fault: no host process to kill\n");
        }
    });

    PseudoTerminal pty;
    if (!pty.Open(options.link_path)) {
        return 2;
    }
    std::printf("%s\n", pty.Path().c_str());
    std::fflush(stdout);

    int status = Serve(pty, instrument, options.paced, events, flash);
    events.Flush();
    instrument.SetEventSink(nullptr);
    if (!flash.Close()) {
        std::fprintf(stderr, "vtrlsim: cannot write %s\n", options.stand_in.flash_path.c_str());
        status = 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) {
        return parsed == 1 ? 0 : 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = OnPowerSwitch;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return Run(options);
}
