// vtrlsim-hid (Windows only): the instrument stand-in behind the test HID
// minidriver (tests/wine-hid/vtrlhid.sys) in a Wine prefix.  Serves one
// virtual instrument on a named pipe that the driver connects to, answers
// the reports the HID class stack passes on, and keeps the instrument's flash
// in a file, so that the real vtrlupg.exe can upgrade it over USB end to end.
#include "platform/windows/win32.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/scoped_handle.h"
#include "sim/event_log.h"
#include "sim/flash_file.h"
#include "sim/instrument.h"
#include "sim/stand_in_options.h"
#include "sim/usb_report_server.h"

namespace {

using vtrl::sim::EventLog;
using vtrl::sim::Instrument;
using vtrl::sim::InstrumentEvent;
using vtrl::sim::UsbReportServer;
using vtrl::sim::WireMessage;

std::string Usage() {
    return std::string(
               "Usage: vtrlsim-hid [options] --pipe NAME FLASH_FILE\n"
               "\n"
               "Serves one Vantrel instrument's USB framing on the named pipe\n"
               "\\\\.\\pipe\\NAME, to which the test HID driver vtrlhid.sys (installed\n"
               "with the same pipe name and release number) connects.  Prints\n"
               "\"ready NAME\" once the pipe is made, then \"connected\" and\n"
               "\"disconnected\" as the driver comes and goes; serves until it is\n"
               "ended.  Reports are carried at full-speed USB pace (one 64-byte\n"
               "packet per 1 ms frame each way) unless --unpaced.\n"
               "\n"
               "FLASH_FILE holds the instrument's flash: a raw 512 KiB image of\n"
               "0x80000..0xFFFFF, made in the factory state when missing or empty;\n"
               "every flash change is written to it at once.\n"
               "\n"
               "Options:\n") +
           vtrl::sim::kStandInOptionsHelp +
           "  --pipe NAME        the pipe's name (required)\n"
           "  --unpaced          carry reports at once; the response is ready at once\n"
           "                     and a release 0/1 status report comes every 1 ms\n"
           "  --trace            also log what the host asked of the HID class driver\n"
           "                     (\"input buffers N set\" or \"refused\", \"queue flushed\",\n"
           "                     \"indexed string N\"), \"request N\" (the command number)\n"
           "                     for every request the instrument takes and \"feature\n"
           "                     report refused\"\n"
           "  --stats FILE       keep the counts of reports carried in FILE (rewritten\n"
           "                     whenever the pipe falls quiet)\n"
           "  --help             this text\n";
}

struct Options : vtrl::sim::StandInOptions {
    std::string pipe;
    std::string stats_path;
    bool paced = true;
    bool trace = false;
};

// 0: run; 1: --help shown; 2: bad usage (message printed).
int ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        auto bad = [&](const std::string& what) {
            std::fprintf(stderr, "vtrlsim-hid: %s\n%s", what.c_str(), Usage().c_str());
            return 2;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(Usage().c_str(), stdout);
            return 1;
        } else if (arg == "--unpaced") {
            o->paced = false;
            continue;
        } else if (arg == "--trace") {
            o->trace = true;
            continue;
        } else if (arg == "--pipe" || arg == "--stats") {
            if (next == nullptr) {
                return bad(arg + " needs a value");
            }
            (arg == "--pipe" ? o->pipe : o->stats_path) = next;
            ++i;
            continue;
        } else if (arg.rfind("--", 0) != 0) {
            if (!o->flash_path.empty()) {
                return bad(arg + " is a second flash file");
            }
            o->flash_path = arg;
            continue;
        }
        std::string error;
        const int taken = vtrl::sim::ParseStandInOption(arg, next, o, &error);
        if (taken < 0) {
            return bad(error);
        }
        if (taken == 0) {
            return bad(arg + " is not an option");
        }
        ++i;
    }
    if (o->flash_path.empty() || o->pipe.empty()) {
        std::fprintf(stderr, "vtrlsim-hid: a pipe name and a flash file are needed\n%s",
                     Usage().c_str());
        return 2;
    }
    return 0;
}

void WriteStats(const std::string& path, const UsbReportServer::Counts& c) {
    vtrl::ScopedStdioFile f(std::fopen(path.c_str(), "wb"));
    if (!f) {
        return;
    }
    std::fprintf(f.Get(),
                 "output reports %llu\ninput reports %llu\nfeature reports %llu\n"
                 "refused feature reports %llu\npaced transfer ms %llu\n",
                 static_cast<unsigned long long>(c.output_reports),
                 static_cast<unsigned long long>(c.input_reports),
                 static_cast<unsigned long long>(c.feature_reports),
                 static_cast<unsigned long long>(c.refused_features),
                 static_cast<unsigned long long>(c.paced_transfer_us / 1000));
}

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// A kernel object handle that closes itself.  The calls that fail with
// INVALID_HANDLE_VALUE (CreateNamedPipe) and those that fail with null
// (CreateEvent) both hold nothing.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
using Handle = vtrl::ScopedHandle<KernelHandleTraits>;

// Waits for an overlapped operation on the pipe; false when it failed.
bool Finish(HANDLE pipe, OVERLAPPED* o, BOOL started, DWORD* transferred) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    return GetOverlappedResult(pipe, o, transferred, TRUE) != FALSE;
}

bool WriteMessage(HANDLE pipe, HANDLE event, const WireMessage& m) {
    const std::vector<uint8_t> bytes = vtrl::sim::EncodeWire(m);
    OVERLAPPED o{};
    o.hEvent = event;
    DWORD written = 0;
    const BOOL started =
        WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &o);
    return Finish(pipe, &o, started, &written) && written == bytes.size();
}

int Run(const Options& options) {
    vtrl::Clock& clock = vtrl::NativeClock();
    vtrl::sim::InstrumentConfig config = options.config;
    if (!options.paced) {
        config.usb_response_latency_us = 0;
        config.usb_status_interval_us = 1000;
    }
    Instrument instrument(config);
    instrument.SetKeepLog(false);
    for (const vtrl::sim::Fault& f : options.faults) {
        instrument.AddFault(f);
    }
    vtrl::sim::FlashFile flash;
    std::string error;
    if (!flash.Open(options.flash_path, instrument, false, &error)) {
        std::fprintf(stderr, "vtrlsim-hid: %s\n", error.c_str());
        return 2;
    }
    vtrl::ScopedStdioFile events_file;
    FILE* events_out = stdout;
    if (!options.events_path.empty()) {
        events_file.Reset(std::fopen(options.events_path.c_str(), "wb"));
        if (!events_file) {
            std::fprintf(stderr, "vtrlsim-hid: cannot open %s\n", options.events_path.c_str());
            return 2;
        }
        events_out = events_file.Get();
    }
    EventLog events(events_out);
    instrument.SetEventSink([&](const InstrumentEvent& e) {
        flash.Follow(e);
        events.Add(e);
    });

    const std::string pipe_name = "\\\\.\\pipe\\" + options.pipe;
    Handle pipe(CreateNamedPipeA(
        pipe_name.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    Handle read_event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle write_event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!pipe.Valid() || !read_event.Valid() || !write_event.Valid()) {
        std::fprintf(stderr, "vtrlsim-hid: cannot make %s (error %lu)\n", pipe_name.c_str(),
                     GetLastError());
        return 2;
    }
    Say("ready " + options.pipe);

    UsbReportServer server(instrument, clock, options.paced);
    server.SetTrace(options.trace);
    constexpr uint64_t kQuietUs = 200000;  // then fold the event log and write the counts
    for (;;) {
        OVERLAPPED connect{};
        connect.hEvent = read_event.Get();
        DWORD ignored = 0;
        const BOOL started = ConnectNamedPipe(pipe.Get(), &connect);
        if (!started && GetLastError() != ERROR_PIPE_CONNECTED &&
            !Finish(pipe.Get(), &connect, started, &ignored)) {
            std::fprintf(stderr, "vtrlsim-hid: no connection (error %lu)\n", GetLastError());
            return 1;
        }
        Say("connected");
        vtrl::sim::WireReader reader;
        uint8_t buffer[4096];
        OVERLAPPED read{};
        bool reading = false;
        bool quiet = true;  // nothing happened since the last quiet-time work
        uint64_t last_activity_us = clock.NowUs();
        for (;;) {
            if (!reading) {
                read = OVERLAPPED{};
                read.hEvent = read_event.Get();
                ResetEvent(read_event.Get());
                if (!ReadFile(pipe.Get(), buffer, sizeof buffer, nullptr, &read) &&
                    GetLastError() != ERROR_IO_PENDING) {
                    break;
                }
                reading = true;
            }
            const uint64_t now = clock.NowUs();
            uint64_t wake = server.NextDueUs();
            if (!quiet) {
                wake = std::min(wake, last_activity_us + kQuietUs);
            }
            // A timed wait ends on the next millisecond tick at best: at
            // full-speed pace the last few milliseconds are waited out by
            // yielding, so that a 5 ms report does not take 6 or 7.
            constexpr uint64_t kYieldUs = 3000;
            DWORD wait_ms = INFINITE;
            if (wake <= now || (options.paced && wake - now < kYieldUs)) {
                wait_ms = 0;
            } else if (wake != UINT64_MAX) {
                wait_ms = static_cast<DWORD>(
                    (wake - now - (options.paced ? kYieldUs - 1000 : 0) + 999) / 1000);
            }
            const DWORD waited = WaitForSingleObject(read_event.Get(), wait_ms);
            if (waited != WAIT_OBJECT_0 && wait_ms == 0 && wake > now) {
                SwitchToThread();
            }
            if (waited == WAIT_OBJECT_0) {
                DWORD got = 0;
                reading = false;
                if (!GetOverlappedResult(pipe.Get(), &read, &got, FALSE) || got == 0) {
                    break;
                }
                reader.Feed(buffer, got);
                WireMessage m;
                bool news = false;  // held reads come and go all the time on release 0/1
                while (reader.Next(&m)) {
                    server.Receive(m);
                    news = news || m.type != VTRL_WIRE_READ;
                }
                if (reader.Broken()) {
                    std::fprintf(stderr, "vtrlsim-hid: the driver's stream cannot be read\n");
                    break;
                }
                if (news) {
                    quiet = false;
                    last_activity_us = clock.NowUs();
                }
            }
            bool write_failed = false;
            for (const WireMessage& m : server.TakeDue()) {
                write_failed = write_failed || !WriteMessage(pipe.Get(), write_event.Get(), m);
            }
            for (const std::string& note : server.TakeNotes()) {
                events.Line(note);
            }
            if (flash.Failed()) {
                std::fprintf(stderr, "vtrlsim-hid: cannot write %s\n", options.flash_path.c_str());
                return 1;
            }
            if (write_failed) {
                break;
            }
            if (!quiet && clock.NowUs() - last_activity_us >= kQuietUs) {
                events.Flush();
                if (!options.stats_path.empty()) {
                    WriteStats(options.stats_path, server.counts());
                }
                quiet = true;
            }
        }
        if (reading) {
            CancelIo(pipe.Get());
            DWORD got = 0;
            GetOverlappedResult(pipe.Get(), &read, &got, TRUE);
        }
        DisconnectNamedPipe(pipe.Get());
        server.Disconnected();
        events.Flush();
        if (!options.stats_path.empty()) {
            WriteStats(options.stats_path, server.counts());
        }
        Say("disconnected");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Lines end in LF alone, as the scripts reading them expect (files are
    // opened in binary mode for the same reason).
    _setmode(_fileno(stdout), _O_BINARY);
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) {
        return parsed == 1 ? 0 : 2;
    }
    return Run(options);
}
