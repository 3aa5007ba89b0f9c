// Serial port link: the protocol's packets over COM1..COM3 at 57600 baud, 8N1.
// Replies are framed by echo bytes equal to the command number (see
// GetCommResponsePacket).  One read call waits at most about 10 ms.
//
// The link works on the current SerialPort (link/serial_port.h).  A port opened
// by the instrument search stays open for the rest of the run; ResetSerialLink
// releases it at the end.
#pragma once

#include <cstdint>

#include "link/packet.h"

namespace vtrl {

constexpr uint32_t kCommBaudRate = 57600;
constexpr uint32_t kCommReplyBudget = 1000;  // read calls per reply, an empty one 10 ms at least
// Driver queue each way, in bytes: twice the longest packet or reply.
constexpr uint32_t kCommQueueBytes = 2 * kPacketLimit;
constexpr uint32_t kCommTimeoutMs = 10;    // longest wait of one read or write call
constexpr uint32_t kCommEventMask = 0x18;  // EV_CTS | EV_DSR; never waited for
// How long a send keeps trying a port that takes no byte (its write calls
// fail, or write nothing) before it gives up: a port that stopped taking
// bytes, many times what a full output queue needs to drain at 57600 baud.
// Kept in time, not in calls, so that a driver whose empty writes come back
// at once is given the same second.
constexpr uint32_t kCommWriteStallMs = 1000;
// Most bytes one drain or flush discards; a line that keeps delivering beyond
// this (a device streaming without end) no longer holds the program up.
constexpr uint32_t kCommDrainLimit = 4096;

// The bulk transfers (WriteMemory 0, ReadMemory 1) and every reply without a
// payload end with a closing echo on the serial line; other replies end with
// their last payload byte.
constexpr bool ReplyHasClosingEcho(uint8_t command, int payload_length) {
    return payload_length == 0 || command == 0 || command == 1;
}

void SetCommPortIndex(int index);  // zero-based: index 0 is COM1
// Opens (force, or not open yet) the port of the current index; true when open
// and set up.  With force clear an open port is left alone and true returned.
bool InitCommLink(bool force);
// Closes a held port, then opens "\\.\COM<index+1>" and sets it up from the
// mode string "COM<n>:<baud>,n,8,1".  Only the device open, the line settings
// built from the mode string and the time-outs can fail it; after a failure
// past the open the handle stays held with the port not open.
bool OpenCommPort(uint32_t baud_rate, int index);
// True if a held port was closed (and the platform's close worked); false when
// nothing was held.  Afterwards nothing is held.
bool CloseCommPort();
// Drains pending input, then writes the whole packet.  False for a length over
// kPacketLimit or below 0, a port that is not open, or a port that stops taking bytes
// (kCommWriteStallMs of write calls that move nothing, each made to last
// kCommTimeoutMs at least).  A length of 0 drains and returns true.
bool SendCommPacket(const uint8_t* packet, int length);
// Reads echo, `length` reply bytes into `buffer` and, for commands 0 and 1 or
// length 0, the closing echo.  True for a well-framed reply.  False at once for
// a wrong echo or closing echo, a length over kPacketLimit or below 0, or no port held;
// false after kCommReplyBudget read calls (empty echo/closing reads and every
// payload read count).  A read that comes back empty before kCommTimeoutMs is
// made to last that long, so a silent line is given up after about 10 s
// whatever the driver does.  The buffer receives the payload bytes only.
bool GetCommResponsePacket(uint8_t* buffer, uint8_t command, int length);
// Reads and discards until a read yields nothing; nothing held: returns at once.
void FlushCommInput();

// Initial state: the held port (if any) closed, index 0.
void ResetSerialLink();

}  // namespace vtrl
