// The platform's serial port, shaped by exactly the calls the serial link
// makes.  The link decides the order of the set-up steps and which failures
// count; a port only carries each call out and reports whether it worked.
//
// Implementations: the Windows comm API (link/windows/serial_port.cpp), termios on
// Linux (link/linux/serial_port.cpp, COM n is the n-th serial port present: on-board
// UARTs, then USB adapters, see link/linux/serial_devices.h) and the stand-in's
// SimSerialPort (sim/sim_serial_port.h).  Until a port is installed with
// SetSerialPort, the current port is an AbsentSerialPort, on which every open
// fails, so nothing touches a real device by accident.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vtrl {

// An open port as the platform names it (a HANDLE, a file descriptor, a fake's
// slot number); kInvalidSerialHandle is "none held".
using SerialHandle = intptr_t;
constexpr SerialHandle kInvalidSerialHandle = -1;

// Line settings as built from a mode string such as "COM1:57600,n,8,1".  The
// portable fields describe the line; `native` is the platform's own record of
// the same settings (the Windows backend keeps its DCB there).
struct LineSettings {
    uint32_t baud_rate = 0;
    uint8_t data_bits = 0;
    char parity = 0;        // 'n', 'e', 'o', 'm' or 's'
    uint8_t stop_bits = 0;  // 1 or 2; 15 for one and a half
    alignas(8) unsigned char native[64] = {};
};

// The communication time-outs record; every value in milliseconds.
struct CommTimeouts {
    uint32_t read_interval_ms = 0;  // 0xFFFFFFFF with the others 0 + constant: return at once
    uint32_t read_total_multiplier_ms = 0;
    uint32_t read_total_constant_ms = 0;
    uint32_t write_total_multiplier_ms = 0;
    uint32_t write_total_constant_ms = 0;
};

constexpr uint32_t kCommEventCts = 0x08;  // EV_CTS: the CTS line changed
constexpr uint32_t kCommEventDsr = 0x10;  // EV_DSR: the DSR line changed

class SerialPort {
  public:
    virtual ~SerialPort() = default;

    // Opens port `port_number` (1 for COM1), named `device_name` in the
    // platform's device namespace ("\\.\COM1"), for exclusive reading and
    // writing with synchronous I/O.  kInvalidSerialHandle on failure.
    virtual SerialHandle Open(uint32_t port_number, const char* device_name) = 0;
    // Builds line settings from a mode string; false for a string the platform
    // does not accept (settings then unspecified).
    virtual bool BuildLineSettings(const char* mode, LineSettings* settings) = 0;
    virtual bool SetTimeouts(SerialHandle port, const CommTimeouts& timeouts) = 0;
    virtual bool ApplyLineSettings(SerialHandle port, const LineSettings& settings) = 0;
    // Asks the driver for the port's properties; only success is reported.
    virtual bool QueryProperties(SerialHandle port) = 0;
    virtual bool SetQueueSizes(SerialHandle port, uint32_t input_bytes, uint32_t output_bytes) = 0;
    virtual bool SetEventMask(SerialHandle port, uint32_t mask) = 0;
    // Reads at most `max` bytes under the time-outs set; *got receives the count
    // (0 after a time-out).  False when the call itself failed (*got is then 0).
    virtual bool Read(SerialHandle port, uint8_t* buffer, uint32_t max, uint32_t* got) = 0;
    // Writes at most `length` bytes under the time-outs set; *written receives
    // the count, which may be short.  False when the call itself failed.
    virtual bool Write(SerialHandle port, const uint8_t* data, uint32_t length,
                       uint32_t* written) = 0;
    // Releases the handle; false if the platform refused (the handle is gone either way).
    virtual bool Close(SerialHandle port) = 0;
};

// The process-wide current port: the one the serial link uses.  Null puts the
// port without devices back.
void SetSerialPort(SerialPort* port);
SerialPort& CurrentSerialPort();
// The platform's own port (defined by the native backend, vtrl_link_native).
SerialPort& NativeSerialPort();
// The AbsentSerialPort that is the current port until one is set.
SerialPort& NoSerialPort();

// Parses a mode string of the form "COMn:baud,parity,data,stop" (the form the
// link builds; the port part and any field after the baud rate may be left
// out, as with the Windows mode command).  Defaults: no parity, 8 data bits,
// 1 stop bit.  False for anything else.  For backends that have no
// BuildCommDCB of their own.
bool ParseCommMode(const char* mode, LineSettings* settings);

// A machine without serial ports: every open fails, and calls on a handle fail
// too.  Ports that model only part of a machine (the stand-in's) start from it
// and answer only the calls they model.
class AbsentSerialPort : public SerialPort {
  public:
    SerialHandle Open(uint32_t, const char*) override { return kInvalidSerialHandle; }
    bool BuildLineSettings(const char* mode, LineSettings* settings) override {
        return ParseCommMode(mode, settings);
    }
    bool SetTimeouts(SerialHandle, const CommTimeouts&) override { return false; }
    bool ApplyLineSettings(SerialHandle, const LineSettings&) override { return false; }
    bool QueryProperties(SerialHandle) override { return false; }
    bool SetQueueSizes(SerialHandle, uint32_t, uint32_t) override { return false; }
    bool SetEventMask(SerialHandle, uint32_t) override { return false; }
    bool Read(SerialHandle, uint8_t*, uint32_t, uint32_t* got) override {
        if (got != nullptr) {
            *got = 0;
        }
        return false;
    }
    bool Write(SerialHandle, const uint8_t*, uint32_t, uint32_t* written) override {
        if (written != nullptr) {
            *written = 0;
        }
        return false;
    }
    bool Close(SerialHandle) override { return false; }
};

}  // namespace vtrl
