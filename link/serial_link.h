// Serial port link: the protocol's packets over COM1..COM3 at 57600 baud, 8N1.
// Replies are framed by echo bytes equal to the command number (see
// GetCommResponsePacket).  One read call waits at most about 10 ms.
#pragma once

#include <cstdint>

namespace vtrl {

constexpr uint32_t kCommBaudRate = 57600;
constexpr uint32_t kCommReplyBudget = 1000;  // read calls per reply

void SetCommPortIndex(int index);  // zero-based: index 0 is COM1
// Opens (force, or not open yet) the port of the current index; true when open and set up.
bool InitCommLink(bool force);
bool OpenCommPort(uint32_t baud_rate, int index);
// True if a held port was closed; false when nothing was held.
bool CloseCommPort();
// Drains pending input, then writes the whole packet.  False for a length over
// 256, a port that is not open, or a port that stops taking bytes.
bool SendCommPacket(const uint8_t* packet, int length);
// Reads echo, `length` reply bytes into `buffer` and, for commands 0 and 1 or
// length 0, the closing echo.  True for a well-framed reply.
bool GetCommResponsePacket(uint8_t* buffer, uint8_t command, int length);
// Reads and discards until a read yields nothing; nothing held: returns at once.
void FlushCommInput();

// Initial state: the held port (if any) closed, index 0.
void ResetSerialLink();

}  // namespace vtrl
