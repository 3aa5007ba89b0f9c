#include "link/serial_port.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace vtrl {

namespace {

SerialPort* g_current_port = nullptr;

const char* SkipSpaces(const char* p) {
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    return p;
}

// Reads an unsigned decimal field that ends at ',' or the end of the string.
bool ReadNumber(const char*& p, unsigned long max_value, unsigned long* value) {
    p = SkipSpaces(p);
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        return false;
    }
    unsigned long v = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + static_cast<unsigned long>(*p - '0');
        if (v > max_value) {
            return false;
        }
        ++p;
    }
    *value = v;
    p = SkipSpaces(p);
    return true;
}

// Moves past the ',' that separates two fields; false at the end of the string.
bool NextField(const char*& p) {
    if (*p != ',') {
        return false;
    }
    ++p;
    return true;
}

}  // namespace

SerialPort& NoSerialPort() {
    static AbsentSerialPort port;
    return port;
}

void SetSerialPort(SerialPort* port) {
    g_current_port = port;
}

SerialPort& CurrentSerialPort() {
    return g_current_port != nullptr ? *g_current_port : NoSerialPort();
}

bool ParseCommMode(const char* mode, LineSettings* settings) {
    if (mode == nullptr || settings == nullptr) {
        return false;
    }
    LineSettings parsed;
    parsed.parity = 'n';
    parsed.data_bits = 8;
    parsed.stop_bits = 1;

    const char* p = SkipSpaces(mode);
    if ((p[0] == 'C' || p[0] == 'c') && (p[1] == 'O' || p[1] == 'o') &&
        (p[2] == 'M' || p[2] == 'm')) {
        p += 3;
        unsigned long port = 0;
        if (!ReadNumber(p, 255, &port) || port == 0 || *p != ':') {
            return false;
        }
        ++p;
    }

    unsigned long baud = 0;
    if (!ReadNumber(p, 4000000, &baud) || baud == 0) {
        return false;
    }
    parsed.baud_rate = static_cast<uint32_t>(baud);

    if (NextField(p)) {
        p = SkipSpaces(p);
        const char parity = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        if (std::strchr("neoms", parity) == nullptr || parity == '\0') {
            return false;
        }
        parsed.parity = parity;
        p = SkipSpaces(p + 1);
        if (NextField(p)) {
            unsigned long data = 0;
            if (!ReadNumber(p, 8, &data) || data < 5) {
                return false;
            }
            parsed.data_bits = static_cast<uint8_t>(data);
            if (NextField(p)) {
                p = SkipSpaces(p);
                if (std::strncmp(p, "1.5", 3) == 0) {
                    parsed.stop_bits = 15;
                    p = SkipSpaces(p + 3);
                } else {
                    unsigned long stop = 0;
                    if (!ReadNumber(p, 2, &stop) || stop == 0) {
                        return false;
                    }
                    parsed.stop_bits = static_cast<uint8_t>(stop);
                }
            }
        }
    }
    if (*p != '\0') {
        return false;
    }
    *settings = parsed;
    return true;
}

}  // namespace vtrl
