// A virtual machine's serial ports for tests and the demo build: COM1..COMn,
// each absent, present with nothing on the line, present with scripted input,
// or cabled to the stand-in instrument (a sim::SerialEndpoint, echo framing and
// 57600-baud pacing).  Time runs on a given clock: a read that finds nothing
// waits out its time-out (10 ms) on the clock, or less when a byte arrives
// sooner.  Set-up steps can be made to fail, writes can be cut short or stop
// altogether (an unplugged adapter), and every call is counted.
//
// Install it with vtrl::SetSerialPort(&port); the serial link then sees what
// the machine has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "platform/clock.h"

namespace vtrl::sim {

class Instrument;
class SerialEndpoint;

// The calls of SerialPort, for failure injection and the call trace.
enum class SerialCall {
    kOpen,
    kBuildLineSettings,
    kSetTimeouts,
    kApplyLineSettings,
    kQueryProperties,
    kSetQueueSizes,
    kSetEventMask,
    kRead,
    kWrite,
    kClose,
};
const char* SerialCallName(SerialCall call);

// What the port saw, for tests.
struct SimSerialCounts {
    uint32_t open_attempts = 0;  // every Open call, absent ports included
    uint32_t opens = 0;          // opens that gave a handle
    uint32_t closes = 0;
    uint32_t bad_closes = 0;  // Close of a handle that is not open
    uint32_t reads = 0;
    uint32_t empty_reads = 0;  // reads that delivered nothing (time-out or failure)
    uint32_t writes = 0;
    uint32_t stalled_writes = 0;  // writes that took nothing
    uint64_t bytes_read = 0;
    uint64_t bytes_written = 0;
    uint32_t bad_handle_calls = 0;  // calls on a handle that is not open
};

class SimSerialPort final : public AbsentSerialPort {
  public:
    explicit SimSerialPort(Clock& clock);
    ~SimSerialPort() override;

    // --- the machine's ports (every port starts absent) ---------------------
    // COM n present with nothing on the line: writes vanish, reads time out.
    void AddPort(uint32_t port_number);
    // COM n cabled to the stand-in.  The instrument must outlive this port.
    void ConnectInstrument(uint32_t port_number, Instrument& instrument, bool paced = true);
    void RemovePort(uint32_t port_number);
    // Bytes that arrive on COM n `delay_ms` from now (0: they are there
    // already), read before anything the instrument sends.  The port must be
    // present.  Bytes queued by several calls arrive in the order queued.
    void QueueInput(uint32_t port_number, const std::vector<uint8_t>& bytes, uint32_t delay_ms = 0);
    // Bytes queued on COM n that have not been read yet.
    size_t UnreadInput(uint32_t port_number) const;
    // Bytes that arrive on COM n on every read, without end: a line that chatters.
    void SetEndlessInput(uint32_t port_number, uint8_t byte);

    // --- faults on COM n ---------------------------------------------------
    // The call fails on COM n from now on (kOpen: the device cannot be opened,
    // as when another program holds it; kRead/kWrite: the call fails).
    void FailCall(uint32_t port_number, SerialCall call, bool fail = true);
    // After `after_bytes` more bytes COM n takes nothing more: each write then
    // fails (writes_fail) or times out having written nothing.
    void StopTakingBytes(uint32_t port_number, uint32_t after_bytes, bool writes_fail);
    // The next `calls` writes on COM n time out having written nothing (an
    // output queue that is full for a while); later writes go through.
    void StallWrites(uint32_t port_number, uint32_t calls);
    // Each write on COM n takes at most this many bytes (0: no limit).
    void LimitWriteChunk(uint32_t port_number, uint32_t max_bytes);

    // --- what was seen ------------------------------------------------------
    const SimSerialCounts& Counts() const { return counts_; }
    // Device names and port numbers of every Open call, in order.
    const std::vector<std::string>& DeviceNames() const { return device_names_; }
    const std::vector<uint32_t>& OpenedPortNumbers() const { return opened_ports_; }
    // Mode strings of every BuildLineSettings call, in order.
    const std::vector<std::string>& ModeStrings() const { return mode_strings_; }
    // Every call in order, with the port number it was made on ("Open COM3").
    const std::vector<std::string>& Trace() const { return trace_; }
    void ClearTrace();
    // What the host wrote to COM n since the port was added (or cleared).
    std::vector<uint8_t> Written(uint32_t port_number) const;
    void ClearWritten(uint32_t port_number);
    // Settings last set on COM n.
    CommTimeouts Timeouts(uint32_t port_number) const;
    LineSettings AppliedLineSettings(uint32_t port_number) const;
    uint32_t QueueInputSize(uint32_t port_number) const;
    uint32_t QueueOutputSize(uint32_t port_number) const;
    uint32_t EventMask(uint32_t port_number) const;
    bool IsOpen(uint32_t port_number) const;
    size_t OpenHandleCount() const { return handles_.size(); }

    // --- SerialPort ----------------------------------------------------------
    SerialHandle Open(uint32_t port_number, const char* device_name) override;
    bool BuildLineSettings(const char* mode, LineSettings* settings) override;
    bool SetTimeouts(SerialHandle port, const CommTimeouts& timeouts) override;
    bool ApplyLineSettings(SerialHandle port, const LineSettings& settings) override;
    bool QueryProperties(SerialHandle port) override;
    bool SetQueueSizes(SerialHandle port, uint32_t input_bytes, uint32_t output_bytes) override;
    bool SetEventMask(SerialHandle port, uint32_t mask) override;
    bool Read(SerialHandle port, uint8_t* buffer, uint32_t max, uint32_t* got) override;
    bool Write(SerialHandle port, const uint8_t* data, uint32_t length, uint32_t* written) override;
    bool Close(SerialHandle port) override;

  private:
    struct Line;
    Line* LineOf(SerialHandle port, SerialCall call);
    Line* Present(uint32_t port_number);
    const Line* Present(uint32_t port_number) const;
    bool Fails(const Line& line, SerialCall call) const;
    void Note(SerialCall call, uint32_t port_number);

    Clock& clock_;
    std::map<uint32_t, std::unique_ptr<Line>> lines_;
    std::map<SerialHandle, uint32_t> handles_;  // open handle -> port number
    SerialHandle next_handle_ = 0x40;

    SimSerialCounts counts_;
    std::vector<std::string> device_names_;
    std::vector<uint32_t> opened_ports_;
    std::vector<std::string> mode_strings_;
    std::vector<std::string> trace_;
};

}  // namespace vtrl::sim
