// Windows only: the serial port (kernel32 comm API); nothing else lives here.
#include <cstring>

#include "link/serial_port.h"
#include "link/windows/comm_api.h"
#include "platform/windows/win32.h"

namespace vtrl {

namespace {

static_assert(sizeof(DCB) <= sizeof(LineSettings::native), "a DCB must fit the native settings");
static_assert(sizeof(HANDLE) <= sizeof(SerialHandle), "a HANDLE must fit a SerialHandle");

const CommApi kSystemCommApi = {
    ::CreateFileA, ::BuildCommDCBA, ::SetCommTimeouts, ::SetCommState, ::GetCommProperties,
    ::SetupComm,   ::SetCommMask,   ::ReadFile,        ::WriteFile,    ::CloseHandle,
};

const CommApi* g_api = &kSystemCommApi;

constexpr char kXon = 0x11;   // DC1
constexpr char kXoff = 0x13;  // DC3

HANDLE ToHandle(SerialHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

class CommApiSerialPort final : public SerialPort {
  public:
    SerialHandle Open(uint32_t, const char* device_name) override {
        HANDLE h = g_api->create_file(device_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return kInvalidSerialHandle;
        }
        return reinterpret_cast<SerialHandle>(h);
    }

    bool BuildLineSettings(const char* mode, LineSettings* settings) override {
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!g_api->build_comm_dcb(mode, &dcb)) {
            return false;
        }
        // BuildCommDCB sets only what the mode string names, and Windows'
        // serial driver and many USB-serial drivers refuse the rest as it
        // stands (error 87, node-serialport pull request 824, purejavacomm
        // issue 122, tarm/serial issue 47): SetCommState "fails if the XonChar
        // member of the DCB structure is equal to the XoffChar member", and
        // fBinary must be TRUE.  The characters are the usual DC1 and DC3;
        // XON/XOFF itself stays off, as does every other handshake.
        dcb.fBinary = TRUE;
        dcb.XonChar = kXon;
        dcb.XoffChar = kXoff;
        LineSettings built;
        built.baud_rate = dcb.BaudRate;
        built.data_bits = dcb.ByteSize;
        static const char kParity[] = {'n', 'o', 'e', 'm', 's'};
        built.parity = dcb.Parity < sizeof kParity ? kParity[dcb.Parity] : '?';
        built.stop_bits = dcb.StopBits == ONESTOPBIT ? 1 : dcb.StopBits == TWOSTOPBITS ? 2 : 15;
        std::memcpy(built.native, &dcb, sizeof dcb);
        *settings = built;
        return true;
    }

    bool SetTimeouts(SerialHandle port, const CommTimeouts& timeouts) override {
        COMMTIMEOUTS t;
        t.ReadIntervalTimeout = timeouts.read_interval_ms;
        t.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier_ms;
        t.ReadTotalTimeoutConstant = timeouts.read_total_constant_ms;
        t.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier_ms;
        t.WriteTotalTimeoutConstant = timeouts.write_total_constant_ms;
        return g_api->set_comm_timeouts(ToHandle(port), &t) != 0;
    }

    bool ApplyLineSettings(SerialHandle port, const LineSettings& settings) override {
        DCB dcb;
        std::memcpy(&dcb, settings.native, sizeof dcb);
        return g_api->set_comm_state(ToHandle(port), &dcb) != 0;
    }

    bool QueryProperties(SerialHandle port) override {
        COMMPROP properties;
        std::memset(&properties, 0, sizeof properties);
        return g_api->get_comm_properties(ToHandle(port), &properties) != 0;
    }

    bool SetQueueSizes(SerialHandle port, uint32_t input_bytes, uint32_t output_bytes) override {
        return g_api->setup_comm(ToHandle(port), input_bytes, output_bytes) != 0;
    }

    bool SetEventMask(SerialHandle port, uint32_t mask) override {
        return g_api->set_comm_mask(ToHandle(port), mask) != 0;
    }

    bool Read(SerialHandle port, uint8_t* buffer, uint32_t max, uint32_t* got) override {
        DWORD n = 0;
        const BOOL ok = g_api->read_file(ToHandle(port), buffer, max, &n, nullptr);
        *got = ok ? n : 0;
        return ok != 0;
    }

    bool Write(SerialHandle port, const uint8_t* data, uint32_t length,
               uint32_t* written) override {
        DWORD n = 0;
        const BOOL ok = g_api->write_file(ToHandle(port), data, length, &n, nullptr);
        *written = ok ? n : 0;
        return ok != 0;
    }

    bool Close(SerialHandle port) override { return g_api->close_handle(ToHandle(port)) != 0; }
};

}  // namespace

const CommApi& SystemCommApi() {
    return kSystemCommApi;
}

void SetCommApi(const CommApi* api) {
    g_api = api != nullptr ? api : &kSystemCommApi;
}

SerialPort& NativeSerialPort() {
    static CommApiSerialPort port;
    return port;
}

}  // namespace vtrl
