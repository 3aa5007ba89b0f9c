// Linux only: the serial port (termios); nothing else lives here.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "link/linux/serial_devices.h"
#include "link/serial_port.h"
#include "platform/clock.h"
#include "platform/linux/scoped_fd.h"

namespace vtrl {

namespace {

// COM n is the n-th serial port present (see serial_devices.h): looked
// up at every open, so that an adapter plugged in before a search is found.
bool DevicePath(uint32_t port_number, std::string* path) {
    if (port_number == 0) {
        return false;
    }
    const std::vector<std::string> ports = PresentSerialPorts();
    if (port_number > ports.size()) {
        return false;
    }
    *path = ports[port_number - 1];
    return true;
}

speed_t SpeedFor(uint32_t baud_rate) {
    switch (baud_rate) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B0;
    }
}

// One read that does not wait: the bytes there, 0 when none, -1 on failure.
ssize_t ReadNow(int fd, uint8_t* buffer, uint32_t max) {
    const ssize_t n = read(fd, buffer, max);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    return n;
}

int PollFor(int fd, short events, uint32_t timeout_ms) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = poll(&p, 1, static_cast<int>(timeout_ms));
    } while (r < 0 && errno == EINTR);
    return r;
}

class TermiosSerialPort final : public SerialPort {
  public:
    SerialHandle Open(uint32_t port_number, const char*) override {
        std::string path;
        if (!DevicePath(port_number, &path)) {
            return kInvalidSerialHandle;
        }
        // Non-blocking so that neither the open (no carrier) nor a read ever
        // blocks beyond the time-outs; the waits are done with poll.
        ScopedFd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        // No sharing, as with a Windows COM port: TIOCEXCL turns away later
        // opens (EBUSY) except privileged ones; the advisory lock also turns
        // away any other program that locks the port, whoever runs it.
        if (!fd || ioctl(fd.Get(), TIOCEXCL) != 0 || flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            return kInvalidSerialHandle;
        }
        timeouts_ = CommTimeouts{};
        return fd.Release();
    }

    bool BuildLineSettings(const char* mode, LineSettings* settings) override {
        return ParseCommMode(mode, settings);
    }

    bool SetTimeouts(SerialHandle port, const CommTimeouts& timeouts) override {
        if (fcntl(Fd(port), F_GETFL) < 0) {
            return false;
        }
        timeouts_ = timeouts;
        return true;
    }

    bool ApplyLineSettings(SerialHandle port, const LineSettings& settings) override {
        const speed_t speed = SpeedFor(settings.baud_rate);
        termios tio{};
        if (speed == B0 || tcgetattr(Fd(port), &tio) != 0) {
            return false;
        }
        cfmakeraw(&tio);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        tio.c_cflag |= CLOCAL | CREAD | HUPCL;
        switch (settings.data_bits) {
            case 5:
                tio.c_cflag |= CS5;
                break;
            case 6:
                tio.c_cflag |= CS6;
                break;
            case 7:
                tio.c_cflag |= CS7;
                break;
            default:
                tio.c_cflag |= CS8;
                break;
        }
        if (settings.parity == 'e' || settings.parity == 'o') {
            tio.c_cflag |= PARENB;
            if (settings.parity == 'o') {
                tio.c_cflag |= PARODD;
            }
        }
        if (settings.stop_bits != 1) {
            tio.c_cflag |= CSTOPB;
        }
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
            return false;
        }
        return tcsetattr(Fd(port), TCSANOW, &tio) == 0;
    }

    bool QueryProperties(SerialHandle port) override {
        termios tio{};
        return tcgetattr(Fd(port), &tio) == 0;
    }

    // The tty layer sizes its own buffers (4 KiB each way), larger than asked.
    bool SetQueueSizes(SerialHandle port, uint32_t, uint32_t) override {
        return fcntl(Fd(port), F_GETFL) >= 0;
    }

    // Line-change events are never waited for, so there is nothing to arm.
    bool SetEventMask(SerialHandle port, uint32_t) override {
        return fcntl(Fd(port), F_GETFL) >= 0;
    }

    bool Read(SerialHandle port, uint8_t* buffer, uint32_t max, uint32_t* got) override {
        *got = 0;
        if (max == 0) {
            return true;
        }
        ssize_t n = ReadNow(Fd(port), buffer, max);
        if (n == 0) {
            // Nothing yet (a raw tty with VMIN = VTIME = 0 reads 0, other
            // devices say EAGAIN): as the comm API does, wait for the first
            // byte, at most the time-out, and return with what has come.
            const uint64_t deadline_us =
                CurrentClock().NowUs() + uint64_t{timeouts_.read_total_constant_ms} * 1000;
            const int ready = PollFor(Fd(port), POLLIN, timeouts_.read_total_constant_ms);
            if (ready < 0) {
                return false;
            }
            if (ready > 0) {
                n = ReadNow(Fd(port), buffer, max);
                if (n == 0) {
                    // Woken with nothing to read (a hung-up line): the rest of
                    // the time-out is waited out, so that a caller counting
                    // reads as time does not run through its budget at once.
                    const uint64_t now_us = CurrentClock().NowUs();
                    if (now_us < deadline_us) {
                        CurrentClock().SleepUs(deadline_us - now_us);
                    }
                }
            }
        }
        if (n < 0) {
            return false;
        }
        *got = static_cast<uint32_t>(n);
        return true;
    }

    bool Write(SerialHandle port, const uint8_t* data, uint32_t length,
               uint32_t* written) override {
        *written = 0;
        if (length == 0) {
            return true;
        }
        ssize_t n = write(Fd(port), data, length);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            const int ready = PollFor(Fd(port), POLLOUT, timeouts_.write_total_constant_ms);
            if (ready <= 0) {
                return ready == 0;  // time-out: nothing taken
            }
            n = write(Fd(port), data, length);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return true;
            }
        }
        if (n < 0) {
            return false;
        }
        *written = static_cast<uint32_t>(n);
        return true;
    }

    bool Close(SerialHandle port) override { return close(Fd(port)) == 0; }

  private:
    static int Fd(SerialHandle port) { return static_cast<int>(port); }

    CommTimeouts timeouts_;
};

}  // namespace

SerialPort& NativeSerialPort() {
    static TermiosSerialPort port;
    return port;
}

}  // namespace vtrl
