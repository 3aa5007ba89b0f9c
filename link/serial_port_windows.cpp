// Windows only: the serial port (kernel32 comm API); nothing else lives here.
#include <cstring>

#include "link/serial_port.h"
#include "platform/win32.h"

namespace vtrl {

namespace {

static_assert(sizeof(DCB) <= sizeof(LineSettings::native), "a DCB must fit the native settings");
static_assert(sizeof(HANDLE) <= sizeof(SerialHandle), "a HANDLE must fit a SerialHandle");

HANDLE ToHandle(SerialHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

class CommApiSerialPort final : public SerialPort {
  public:
    SerialHandle Open(uint32_t, const char* device_name) override {
        HANDLE h = CreateFileA(device_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return kInvalidSerialHandle;
        }
        return reinterpret_cast<SerialHandle>(h);
    }

    bool BuildLineSettings(const char* mode, LineSettings* settings) override {
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!BuildCommDCBA(mode, &dcb)) {
            return false;
        }
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
        return SetCommTimeouts(ToHandle(port), &t) != 0;
    }

    bool ApplyLineSettings(SerialHandle port, const LineSettings& settings) override {
        DCB dcb;
        std::memcpy(&dcb, settings.native, sizeof dcb);
        return SetCommState(ToHandle(port), &dcb) != 0;
    }

    bool QueryProperties(SerialHandle port) override {
        COMMPROP properties;
        std::memset(&properties, 0, sizeof properties);
        return GetCommProperties(ToHandle(port), &properties) != 0;
    }

    bool SetQueueSizes(SerialHandle port, uint32_t input_bytes, uint32_t output_bytes) override {
        return SetupComm(ToHandle(port), input_bytes, output_bytes) != 0;
    }

    bool SetEventMask(SerialHandle port, uint32_t mask) override {
        return SetCommMask(ToHandle(port), mask) != 0;
    }

    bool Read(SerialHandle port, uint8_t* buffer, uint32_t max, uint32_t* got) override {
        DWORD n = 0;
        const BOOL ok = ReadFile(ToHandle(port), buffer, max, &n, nullptr);
        *got = ok ? n : 0;
        return ok != 0;
    }

    bool Write(SerialHandle port, const uint8_t* data, uint32_t length,
               uint32_t* written) override {
        DWORD n = 0;
        const BOOL ok = WriteFile(ToHandle(port), data, length, &n, nullptr);
        *written = ok ? n : 0;
        return ok != 0;
    }

    bool Close(SerialHandle port) override { return CloseHandle(ToHandle(port)) != 0; }
};

}  // namespace

SerialPort& NativeSerialPort() {
    static CommApiSerialPort port;
    return port;
}

}  // namespace vtrl
