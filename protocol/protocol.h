// Remote command protocol: numbered commands marshalled by the descriptor
// table, exchanged over whichever link is selected (USB while a device is held,
// otherwise the serial port), with one sticky link error code.
//
// Failures are not thrown: they set the current link error, which stays set
// until ClearLinkError.  A command with no result returns 0 whether or not it
// succeeded; callers judge success by GetLinkError alone.
#pragma once

#include <array>
#include <cstdint>

#include "link/packet.h"

namespace vtrl {

// Link error codes (0: no error since the last clear).
enum : uint32_t {
    kLinkErrorNone = 0,
    kLinkErrorSend = 1,         // the link did not take the packet
    kLinkErrorNoReply = 6,      // no valid reply: time-out, wrong echo, short payload
    kLinkErrorWriteMemory = 8,  // a WriteMemory chunk failed
    kLinkErrorReadMemory = 9,   // a ReadMemory chunk failed
};

struct CommandDescriptor {
    uint8_t result_width;  // payload bytes of the reply forming the result: 0, 1, 2 or 4
    uint8_t arg1_width;    // 0 = no argument
    uint8_t arg2_width;
    uint8_t arg3_width;
    uint8_t reserved;  // 0 in every row, never read
};

constexpr int kCommandCount = 103;
extern const std::array<CommandDescriptor, kCommandCount> kCommandTable;

// Command numbers this program sends.
enum : uint8_t {
    kCmdWriteMemory = 0,
    kCmdReadMemory = 1,
    kCmdQueryValue = 2,
    kCmdSetValue = 3,
    kCmdProgramFlashWord = 14,
    kCmdProgramFlashFromBuffer = 15,
    kCmdEraseFlashSector = 16,
    kCmdSetRemoteMode = 71,
    kCmdGetStatus = 72,
};

// Selectors: the first argument of QueryValue and SetValue, naming the
// instrument value read or set.  The second byte of QueryValue is always 0.
enum : uint8_t {
    kSelectorFirmwareVersion = 0,    // query: firmware version in thousandths
    kSelectorCrcFirst = 1,           // set: first address of the CRC range
    kSelectorCrcLast = 2,            // set: last address of the CRC range, inclusive
    kSelectorTransferBuffer = 4,     // query: address of the transfer buffer (one block at least)
    kSelectorRestart = 6,            // set: restart the program at this address (no reply)
    kSelectorCrcValue = 7,           // query: CRC-16 of the range, low 16 bits
    kSelectorFlashAddress = 8,       // set: where the next programming command programs
    kSelectorCalibrationWrite = 42,  // set: write permission for the calibration sector
};
// Values of kSelectorCalibrationWrite.
constexpr uint32_t kCalibrationWriteGrant = 1;
constexpr uint32_t kCalibrationWriteWithdraw = 0;

// SetRemoteMode's first argument.
enum : uint8_t {
    kRemoteModeLeave = 0,
    kRemoteModeEnter = 1,
};

// GetStatus: set while the instrument is running a protocol.
constexpr uint16_t kStatusProtocolRunning = 0x20;

// Sends `command` with its arguments (as many as its row has) and returns the
// reassembled result, or 0 when the exchange failed (link error set).  A command
// number of 103 or more is refused: nothing is sent, link error 1.
uint32_t RemoteCall(uint32_t command, uint32_t arg1 = 0, uint32_t arg2 = 0, uint32_t arg3 = 0);

// Data bytes one bulk transfer packet carries, as the packet limit allows: a
// WriteMemory request holds the command, the address (4) and the count (2)
// besides them (249), and a ReadMemory reply on the serial line an echo each
// side (254).
constexpr int kWriteChunkBytes = kPacketLimit - 7;
constexpr int kReadChunkBytes = kPacketLimit - 2;

// Bulk transfers split into packets of kWriteChunkBytes and kReadChunkBytes.
// Count 0 sends nothing and leaves the link error alone.  A failed chunk stops
// the transfer with link error 8 (write) or 9 (read).
void WriteMemory(const uint8_t* data, uint32_t address, uint16_t count);
void ReadMemory(uint32_t address, uint8_t* destination, uint16_t count);

// One-attempt operations: RemoteCall with the arguments narrowed to their widths.
uint32_t QueryValue(uint32_t selector, uint32_t second);
uint32_t SetValue(uint32_t selector, uint32_t value);  // value goes as high half, low half
uint32_t ProgramFlashWord(uint32_t word);
uint32_t ProgramFlashFromBuffer(uint32_t word_count);
uint32_t EraseFlashSector(uint32_t sector);
uint32_t SetRemoteMode(uint32_t mode, uint32_t b, uint32_t c);
uint32_t GetStatus();

void ClearLinkError();  // drains pending serial input, then error = 0
uint32_t GetLinkError();
void RaiseLinkError(uint32_t code);  // drains pending serial input, then error = code

// While set, a command is sent and no reply is awaited (the restart command).
void SetNoReplyFlag(bool set);

// Puts the module back in its initial state (tests start every case here).
void ResetProtocolState();

}  // namespace vtrl
