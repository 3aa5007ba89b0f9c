#include "protocol/protocol.h"

#include <cstring>

#include "link/serial_link.h"
#include "link/usb_link.h"

namespace vtrl {

namespace {

// The rows of the commands this program sends, one per command: result
// width (reply payload bytes), then the widths of arguments 1 to 3 (0: none).
// WriteMemory and ReadMemory are built by their own routines, not from the
// table, so their rows stay empty.  The instrument knows other commands
// (service and protocol-run commands); this program never sends them, so
// their rows are empty too.
struct CommandRow {
    uint8_t command;
    uint8_t result_width;
    uint8_t arg1_width;
    uint8_t arg2_width;
    uint8_t arg3_width;
};
// clang-format off
constexpr CommandRow kCommandRows[] = {
    // command                   result  arg1  arg2  arg3
    {kCmdWriteMemory,            0,      0,    0,    0},
    {kCmdReadMemory,             0,      0,    0,    0},
    {kCmdQueryValue,             4,      1,    1,    0},  // selector, second byte
    {kCmdSetValue,               0,      1,    2,    2},  // selector, value high, value low
    {kCmdProgramFlashWord,       2,      2,    0,    0},  // word
    {kCmdProgramFlashFromBuffer, 2,      2,    0,    0},  // word count
    {kCmdEraseFlashSector,       2,      2,    0,    0},  // sector
    {kCmdSetRemoteMode,          2,      1,    1,    2},  // mode, b, c
    {kCmdGetStatus,              2,      0,    0,    0},
};
// clang-format on

constexpr std::array<CommandDescriptor, kCommandCount> MakeCommandTable() {
    std::array<CommandDescriptor, kCommandCount> table{};
    for (auto& row : table) {
        row = CommandDescriptor{0, 0, 0, 0, 0};
    }
    for (const CommandRow& row : kCommandRows) {
        table[row.command] = {row.result_width, row.arg1_width, row.arg2_width, row.arg3_width, 0};
    }
    return table;
}

constexpr bool ValidWidth(uint8_t w) {
    return w == 0 || w == 1 || w == 2;
}

constexpr bool TableIsWellFormed(const std::array<CommandDescriptor, kCommandCount>& table) {
    for (const auto& row : table) {
        if (!ValidWidth(row.arg1_width) || !ValidWidth(row.arg2_width) ||
            !ValidWidth(row.arg3_width) || row.reserved != 0) {
            return false;
        }
        if (row.result_width != 0 && row.result_width != 1 && row.result_width != 2 &&
            row.result_width != 4) {
            return false;
        }
        // A missing argument is never followed by a present one.
        if ((row.arg1_width == 0 && row.arg2_width != 0) ||
            (row.arg2_width == 0 && row.arg3_width != 0)) {
            return false;
        }
    }
    return true;
}

}  // namespace

constexpr std::array<CommandDescriptor, kCommandCount> kCommandTable = MakeCommandTable();
static_assert(TableIsWellFormed(kCommandTable), "descriptor table row out of shape");
static_assert(ReplyHasClosingEcho(kCmdWriteMemory, 1) && ReplyHasClosingEcho(kCmdReadMemory, 1) &&
                  !ReplyHasClosingEcho(kCmdQueryValue, 4),
              "the serial link frames the bulk transfers' replies with a closing echo");

namespace {

// The request being built, then the reply payload: twice the longest of either.
constexpr int kPacketBufferBytes = 2 * kPacketLimit;
static_assert(1 + static_cast<size_t>(kReadChunkBytes) <= kUsbResponseBytes,
              "a ReadMemory payload fits the USB response behind its echo");

uint8_t g_packet[kPacketBufferBytes];
int32_t g_fill = 0;
uint32_t g_value = 0;
uint32_t g_link_error = kLinkErrorNone;
uint8_t g_no_reply = 0;

void StartPacket(uint8_t command) {
    g_packet[0] = command;
    g_fill = 1;
}

void AppendValue(uint32_t value, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
        g_packet[g_fill++] = static_cast<uint8_t>(value >> shift);
    }
}

bool SendPacket() {
    if (USBLinkSelected()) {
        return SendUSBPacket(g_packet, g_fill) != 0;
    }
    return SendCommPacket(g_packet, g_fill);
}

bool ReceiveReply(uint8_t command, int payload_length) {
    if (USBLinkSelected()) {
        uint8_t block[kUsbResponseBytes];
        uint32_t length = 0;
        if (GetUSBResponsePacket(block, &length) != 0 || block[0] != command) {
            return false;
        }
        // The echo byte comes first, then the payload; there is no closing echo.
        std::memcpy(g_packet, block + 1, static_cast<size_t>(payload_length));
        return true;
    }
    return GetCommResponsePacket(g_packet, command, payload_length);
}

// Sends the packet built so far and receives the reply with `payload_length`
// bytes; true when a well-echoed reply arrived in full.
bool ExchangePacket(int payload_length) {
    const uint8_t command = g_packet[0];
    if (!SendPacket()) {
        RaiseLinkError(kLinkErrorSend);
        return false;
    }
    if (g_no_reply != 0) {
        return false;
    }
    if (!ReceiveReply(command, payload_length)) {
        RaiseLinkError(kLinkErrorNoReply);
        return false;
    }
    if (command != kCmdWriteMemory && command != kCmdReadMemory) {
        g_value = 0;
        for (int i = 0; i < payload_length; ++i) {
            g_value = (g_value << 8) | g_packet[i];
        }
    }
    return true;
}

bool WriteMemoryChunk(const uint8_t* data, uint32_t address, int n) {
    StartPacket(kCmdWriteMemory);
    AppendValue(address, 4);
    AppendValue(static_cast<uint32_t>(n), 2);
    std::memcpy(g_packet + g_fill, data, static_cast<size_t>(n));
    g_fill += n;
    if (!ExchangePacket(0)) {
        RaiseLinkError(kLinkErrorWriteMemory);
        return false;
    }
    return true;
}

bool ReadMemoryChunk(uint32_t address, uint8_t* destination, int n) {
    StartPacket(kCmdReadMemory);
    AppendValue(address, 4);
    AppendValue(static_cast<uint32_t>(n), 2);
    if (!ExchangePacket(n)) {
        RaiseLinkError(kLinkErrorReadMemory);
        return false;
    }
    std::memcpy(destination, g_packet, static_cast<size_t>(n));
    return true;
}

}  // namespace

uint32_t RemoteCall(uint32_t command, uint32_t arg1, uint32_t arg2, uint32_t arg3) {
    if (command >= static_cast<uint32_t>(kCommandCount)) {
        // Nothing in the table to build the request from.
        RaiseLinkError(kLinkErrorSend);
        return 0;
    }
    const CommandDescriptor& row = kCommandTable[command];
    StartPacket(static_cast<uint8_t>(command));
    const int arg_count = row.arg3_width != 0   ? 3
                          : row.arg2_width != 0 ? 2
                          : row.arg1_width != 0 ? 1
                                                : 0;
    const uint32_t args[3] = {arg1, arg2, arg3};
    const uint8_t widths[3] = {row.arg1_width, row.arg2_width, row.arg3_width};
    for (int i = 0; i < arg_count; ++i) {
        const bool whole = arg_count == 1 && widths[i] == 4;
        g_value = whole ? args[i] : (args[i] & 0xFFFF);
        AppendValue(g_value, widths[i]);
    }
    if (!ExchangePacket(row.result_width)) {
        return 0;
    }
    return g_value;
}

void WriteMemory(const uint8_t* data, uint32_t address, uint16_t count) {
    int remaining = count;
    while (remaining > 0) {
        const int n = remaining < kWriteChunkBytes ? remaining : kWriteChunkBytes;
        if (!WriteMemoryChunk(data, address, n)) {
            RaiseLinkError(kLinkErrorWriteMemory);
            return;
        }
        data += n;
        address += static_cast<uint32_t>(n);
        remaining -= n;
    }
}

void ReadMemory(uint32_t address, uint8_t* destination, uint16_t count) {
    int remaining = count;
    while (remaining > 0) {
        const int n = remaining < kReadChunkBytes ? remaining : kReadChunkBytes;
        if (!ReadMemoryChunk(address, destination, n)) {
            RaiseLinkError(kLinkErrorReadMemory);
            return;
        }
        destination += n;
        address += static_cast<uint32_t>(n);
        remaining -= n;
    }
}

uint32_t QueryValue(uint32_t selector, uint32_t second) {
    return RemoteCall(kCmdQueryValue, selector & 0xFF, second & 0xFF);
}

uint32_t SetValue(uint32_t selector, uint32_t value) {
    return RemoteCall(kCmdSetValue, selector & 0xFF, value >> 16, value & 0xFFFF);
}

uint32_t ProgramFlashWord(uint32_t word) {
    return RemoteCall(kCmdProgramFlashWord, word & 0xFFFF);
}

uint32_t ProgramFlashFromBuffer(uint32_t word_count) {
    return RemoteCall(kCmdProgramFlashFromBuffer, word_count & 0xFFFF);
}

uint32_t EraseFlashSector(uint32_t sector) {
    return RemoteCall(kCmdEraseFlashSector, sector & 0xFFFF);
}

uint32_t SetRemoteMode(uint32_t mode, uint32_t b, uint32_t c) {
    return RemoteCall(kCmdSetRemoteMode, mode & 0xFF, b & 0xFF, c & 0xFFFF);
}

uint32_t GetStatus() {
    return RemoteCall(kCmdGetStatus);
}

void ClearLinkError() {
    FlushCommInput();
    g_link_error = kLinkErrorNone;
}

uint32_t GetLinkError() {
    return g_link_error;
}

void RaiseLinkError(uint32_t code) {
    FlushCommInput();
    g_link_error = code;
}

void SetNoReplyFlag(bool set) {
    g_no_reply = set ? 1 : 0;
}

void ResetProtocolState() {
    std::memset(g_packet, 0, sizeof g_packet);
    g_fill = 0;
    g_value = 0;
    g_link_error = kLinkErrorNone;
    g_no_reply = 0;
}

}  // namespace vtrl
