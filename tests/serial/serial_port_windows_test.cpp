// The serial link over the Windows backend, the comm calls answered by doubles
// of the drivers a technician meets, on a virtual clock.  Wine accepts any
// device control block and waits out every read time-out; Windows' drivers
// are not so lenient, and the doubles hold the link to what they do, also
// once the adapter is pulled out.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "link/serial_link.h"
#include "link/serial_port.h"
#include "link/windows/comm_api.h"
#include "sim/clock.h"

namespace vtrl {
namespace {

struct Driver {
    const char* name;
    // SetCommState as Microsoft documents it: "fails if the XonChar member of
    // the DCB structure is equal to the XoffChar member", and fBinary must be
    // TRUE ("Windows does not support nonbinary mode transfers"); refused with
    // ERROR_INVALID_PARAMETER, as serial.sys and many USB-serial drivers do.
    bool checks_block;
    // An empty read waits ReadTotalTimeoutConstant; some drivers come back at
    // once instead (CH340 adapters: bugst/go-serial pull request 200).
    bool waits_time_out;
};

HANDLE const kPortHandle = reinterpret_cast<HANDLE>(0x5C);

// COM1 with an instrument on it; the port keeps the line another program left.
struct FakeCommPort {
    const Driver* driver = nullptr;
    bool open = false;
    sim::VirtualClock clock;  // installed as the program's clock
    DCB line{};
    COMMTIMEOUTS timeouts{};
    std::deque<std::pair<uint64_t, uint8_t>> input;  // arrival time, byte
    // The USB adapter pulled out: every read and write fails at once with
    // ERROR_BAD_COMMAND ("WriteFile failed (PermissionError(13, 'The device
    // does not recognize the command.', None, 22))" on disconnecting,
    // https://github.com/OpenwaterHealth/SlicerOpenLIFU/issues/437).
    bool pulled_out = false;

    // Bytes that arrive `delay_ms` from now.
    void Arrive(std::vector<uint8_t> bytes, uint32_t delay_ms) {
        for (uint8_t b : bytes) {
            input.emplace_back(clock.NowUs() + uint64_t{delay_ms} * 1000, b);
        }
    }
};

FakeCommPort* g_port = nullptr;

HANDLE WINAPI FakeCreateFile(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                             HANDLE) {
    if (std::strcmp(name, "\\\\.\\COM1") != 0 || g_port->open) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    g_port->open = true;
    return kPortHandle;
}

// BuildCommDCB as documented: only the members the mode string names, and
// XON/XOFF and hardware flow control disabled.
BOOL WINAPI FakeBuildCommDcb(LPCSTR mode, LPDCB dcb) {
    LineSettings parsed;
    if (!ParseCommMode(mode, &parsed) || parsed.parity != 'n' || parsed.stop_bits != 1) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    dcb->BaudRate = parsed.baud_rate;
    dcb->ByteSize = parsed.data_bits;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    return TRUE;
}

BOOL WINAPI FakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS t) {
    g_port->timeouts = *t;
    return TRUE;
}

BOOL WINAPI FakeSetCommState(HANDLE, LPDCB dcb) {
    if (g_port->driver->checks_block && (dcb->XonChar == dcb->XoffChar || !dcb->fBinary)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    g_port->line = *dcb;
    return TRUE;
}

BOOL WINAPI FakeGetCommProperties(HANDLE, LPCOMMPROP) {
    return TRUE;
}
BOOL WINAPI FakeSetupComm(HANDLE, DWORD, DWORD) {
    return TRUE;
}
BOOL WINAPI FakeSetCommMask(HANDLE, DWORD) {
    return TRUE;
}

// With ReadIntervalTimeout MAXDWORD and a total constant: what has arrived at
// once, else the first byte within the constant, else nothing.
BOOL WINAPI FakeReadFile(HANDLE, LPVOID buffer, DWORD max, LPDWORD got, LPOVERLAPPED) {
    FakeCommPort& p = *g_port;
    if (p.pulled_out) {
        *got = 0;
        ::SetLastError(ERROR_BAD_COMMAND);
        return FALSE;
    }
    const uint64_t now = p.clock.NowUs();
    if (p.driver->waits_time_out && (p.input.empty() || p.input.front().first > now)) {
        const uint64_t deadline = now + uint64_t{p.timeouts.ReadTotalTimeoutConstant} * 1000;
        p.clock.SleepUs((p.input.empty() ? deadline : std::min(deadline, p.input.front().first)) -
                        now);
    }
    DWORD n = 0;
    while (n < max && !p.input.empty() && p.input.front().first <= p.clock.NowUs()) {
        static_cast<uint8_t*>(buffer)[n++] = p.input.front().second;
        p.input.pop_front();
    }
    *got = n;
    return TRUE;
}

BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD length, LPDWORD written, LPOVERLAPPED) {
    if (g_port->pulled_out) {
        *written = 0;
        ::SetLastError(ERROR_BAD_COMMAND);
        return FALSE;
    }
    *written = length;
    return TRUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE) {
    g_port->open = false;
    return TRUE;
}

// The system's calls, but for those this port answers itself.
CommApi FakeCommApi() {
    CommApi api = SystemCommApi();
    api.create_file = FakeCreateFile;
    api.build_comm_dcb = FakeBuildCommDcb;
    api.set_comm_timeouts = FakeSetCommTimeouts;
    api.set_comm_state = FakeSetCommState;
    api.get_comm_properties = FakeGetCommProperties;
    api.setup_comm = FakeSetupComm;
    api.set_comm_mask = FakeSetCommMask;
    api.read_file = FakeReadFile;
    api.write_file = FakeWriteFile;
    api.close_handle = FakeCloseHandle;
    return api;
}

TEST(WindowsCommDriverTest, TheLinkWorksWithWhatEachDriverDoes) {
    const Driver drivers[] = {
        {"serial.sys: checks the block, waits out time-outs", true, true},
        {"CH340: checks the block, empty reads at once", true, false},
        {"Wine: accepts any block, waits out time-outs", false, true},
    };
    for (const Driver& driver : drivers) {
        SCOPED_TRACE(driver.name);
        FakeCommPort port;
        port.driver = &driver;
        // As another program left it: 9600 baud, 7E1, XON/XOFF and RTS/CTS on.
        port.line.BaudRate = 9600;
        port.line.ByteSize = 7;
        port.line.Parity = EVENPARITY;
        port.line.fBinary = TRUE;
        port.line.fOutX = TRUE;
        port.line.fInX = TRUE;
        port.line.fOutxCtsFlow = TRUE;
        port.line.fRtsControl = RTS_CONTROL_HANDSHAKE;
        g_port = &port;
        SetClock(&port.clock);
        static const CommApi api = FakeCommApi();
        SetCommApi(&api);
        SetSerialPort(&NativeSerialPort());
        ResetSerialLink();
        SetCommPortIndex(0);

        ASSERT_TRUE(InitCommLink(true));
        // The line the instrument sees: 57600 8N1, no handshake of any kind.
        EXPECT_EQ(port.line.BaudRate, 57600u);
        EXPECT_EQ(port.line.ByteSize, 8);
        EXPECT_EQ(port.line.Parity, NOPARITY);
        EXPECT_EQ(port.line.StopBits, ONESTOPBIT);
        EXPECT_FALSE(port.line.fOutX || port.line.fInX || port.line.fOutxCtsFlow ||
                     port.line.fOutxDsrFlow);
        EXPECT_NE(port.line.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
        EXPECT_NE(port.line.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));

        // The drain before a request ends at its first empty read: no wait
        // beyond what the driver itself takes.
        const uint8_t erase[] = {16, 0, 7};
        const uint64_t sent_at = port.clock.NowUs();
        ASSERT_TRUE(SendCommPacket(erase, 3));
        EXPECT_EQ(port.clock.NowUs() - sent_at, driver.waits_time_out ? 10000u : 0u);

        // An erase answers after seconds; the reply budget must outlast it.
        port.Arrive({16, 0x12, 0x34}, 3000);
        uint8_t result[2] = {0xFF, 0xFF};
        EXPECT_TRUE(GetCommResponsePacket(result, 16, 2));
        EXPECT_EQ(result[0], 0x12);
        EXPECT_EQ(result[1], 0x34);

        // A silent instrument is given up after about 10 s, whatever the driver.
        const uint64_t asked_at = port.clock.NowUs();
        EXPECT_FALSE(GetCommResponsePacket(result, 72, 2));
        EXPECT_GE(port.clock.NowUs() - asked_at, 10000000u);
        EXPECT_LE(port.clock.NowUs() - asked_at, 10100000u);

        // The adapter pulled out: the send gives up after about a second,
        // though every write fails at once.
        port.pulled_out = true;
        const uint64_t pulled_at = port.clock.NowUs();
        EXPECT_FALSE(SendCommPacket(erase, 3));
        EXPECT_GE(port.clock.NowUs() - pulled_at, 1000000u);
        EXPECT_LE(port.clock.NowUs() - pulled_at, 1100000u);

        ResetSerialLink();
        SetSerialPort(nullptr);
        SetCommApi(nullptr);
        SetClock(nullptr);
        g_port = nullptr;
    }
}

}  // namespace
}  // namespace vtrl
