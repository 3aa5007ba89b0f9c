#include "sim/stand_in_options.h"

#include <cerrno>
#include <cstdlib>

namespace vtrl::sim {

namespace {

bool ParseUnsigned(const char* text, uint32_t max, uint32_t* value) {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

const char kStandInOptionsHelp[] =
    "  --version N        program version in thousandths for a new flash file and\n"
    "                     while no valid program trailer is found (default 1006)\n"
    "  --status W         GetStatus word (0x20: a protocol is running; default 0)\n"
    "  --status-clears N  bit 0x20 clears after N GetStatus reads (default: never)\n"
    "  --usb-release R    HID release number: 0 or 1 ready flag and feature report,\n"
    "                     2 and up input reports (default 2)\n"
    "  --fault FAULT      inject a fault, repeatable; FAULT is\n"
    "                     KIND@N[xCOUNT][:VALUE][/COMMAND]: from the N-th exchange\n"
    "                     (counting only COMMAND's exchanges when given), COUNT times.\n"
    "                     KIND: no-reply, wrong-echo, short, late (VALUE: delay in ms),\n"
    "                     mismatch (programming reply one word short), wrong-close,\n"
    "                     reset (instrument resets), cut (link dead from then on),\n"
    "                     power (request N is acted on, then the power goes: nothing\n"
    "                     is answered until it comes back, without the volatile state),\n"
    "                     torn (the power goes during request N: an erase leaves the\n"
    "                     first VALUE per mille (default 500) of its sector erased, a\n"
    "                     programming command that part of its words programmed and the\n"
    "                     next with only some bits cleared), kill (request N is acted\n"
    "                     on and answered, then the host program is killed), and on USB\n"
    "                     with release 0 or 1: not-ready (VALUE status reports show the\n"
    "                     response not ready), feature-fail (its feature report cannot\n"
    "                     be fetched).\n"
    "                     e.g. --fault no-reply@12  --fault late@5:3000  --fault cut@200\n"
    "                          --fault power@900  --fault torn@5:990/16  --fault kill@3/16\n"
    "  --events FILE      write event lines to FILE instead of stdout: \"remote mode on\",\n"
    "                     \"remote mode off\", \"erase sector 7\", \"program 0x80004..0xBFFFF\n"
    "                     (527 commands)\", \"restart 0xFFFF0\", \"instrument reset\",\n"
    "                     \"link cut\", \"refused command N\", \"crc 0x80004..0xCFBFF is\n"
    "                     0x1A2B\", \"power lost\", \"power on\", \"host killed\",\n"
    "                     \"erase sector 0 torn at 0xCFDE6\"\n"
    "  --seed N           seed of a new flash file's program and calibration (default 1)\n"
    "  --image-size N     program image bytes of a new flash file (default 300000)\n"
    "  --erase-ms N       a sector erase keeps the instrument busy N ms (default 0)\n"
    "  --program-us N     each word programmed keeps it busy N us (default 0)\n";

int ParseStandInOption(const std::string& arg, const char* value, StandInOptions* o,
                       std::string* error) {
    static const char* const kTaking[] = {
        "--version",    "--status",   "--status-clears", "--usb-release", "--seed",
        "--image-size", "--erase-ms", "--program-us",    "--fault",       "--events"};
    bool known = false;
    for (const char* name : kTaking) {
        known = known || arg == name;
    }
    if (!known) {
        return 0;
    }
    if (value == nullptr) {
        *error = arg + " needs a value";
        return -1;
    }
    uint32_t v = 0;
    auto bad = [&](const char* what) {
        *error = arg + " " + what;
        return -1;
    };
    InstrumentConfig& c = o->config;
    if (arg == "--version") {
        if (!ParseUnsigned(value, 0xFFFFFFFFu, &c.program_version)) {
            return bad("needs a number");
        }
    } else if (arg == "--status") {
        if (!ParseUnsigned(value, 0xFFFF, &v)) {
            return bad("needs a 16-bit number");
        }
        c.status = static_cast<uint16_t>(v);
    } else if (arg == "--status-clears") {
        if (!ParseUnsigned(value, 0xFFFFFFFFu, &c.protocol_clears_after_reads)) {
            return bad("needs a number");
        }
    } else if (arg == "--usb-release") {
        if (!ParseUnsigned(value, 0xFFFF, &v)) {
            return bad("needs a 16-bit number");
        }
        c.usb_release = static_cast<uint16_t>(v);
    } else if (arg == "--seed") {
        if (!ParseUnsigned(value, 0xFFFFFFFFu, &c.factory_seed)) {
            return bad("needs a number");
        }
    } else if (arg == "--image-size") {
        if (!ParseUnsigned(value, 0xCFC00 - 0x80004, &c.factory_image_size) ||
            c.factory_image_size < 6) {
            return bad("needs a size from 6 to 326652");
        }
    } else if (arg == "--erase-ms") {
        if (!ParseUnsigned(value, 60000, &c.erase_time_ms)) {
            return bad("needs a number of milliseconds up to 60000");
        }
    } else if (arg == "--program-us") {
        if (!ParseUnsigned(value, 1000000, &c.program_word_time_us)) {
            return bad("needs a number of microseconds up to 1000000");
        }
    } else if (arg == "--fault") {
        Fault f;
        if (!ParseFault(value, &f, error)) {
            return -1;
        }
        o->faults.push_back(f);
    } else {
        o->events_path = value;
    }
    return 1;
}

}  // namespace vtrl::sim
