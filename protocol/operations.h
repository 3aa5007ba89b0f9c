// Instrument operations: the one-attempt ProgramWordAt and the retried forms
// the upgrade uses, with the retry counter shown during the download and the
// sticky failure flag that callers test after every step.
//
// The retry rule (all retried operations but PingInstrument): up to 10
// attempts; an attempt succeeded when GetLinkError is 0 right after it;
// otherwise ClearLinkError, pause 100 ms, count one retry, try again.  After
// the tenth failure (cleared, paused and counted too) the operation gives up
// with the link error 0.  Only SetValueRetried clears the link error before its
// first attempt, so a link error left by an earlier one-attempt call counts as
// a failed first attempt of the others.
#pragma once

#include <cstdint>

#include "protocol/instrument_memory.h"

namespace vtrl {

constexpr int kRetryAttempts = 10;
constexpr uint32_t kRetryPauseMs = 100;

// SetValue(8, address) then ProgramFlashWord(word), one attempt each; the word
// is sent only when the address went through (a lost address would leave the
// word to be programmed wherever the instrument's address stands).  Returns
// ProgramFlashWord's result, 0 when it was not sent; a failure leaves a link
// error.
uint32_t ProgramWordAt(uint32_t address, uint32_t word);

// The link check that opens the erase, download and restore steps: resets the
// failure flag and the retry counter, then up to 10 times clears the link
// error, pauses 100 ms and asks for the firmware version.  True on the first
// answer; false after 10 failures, with the last link error still set and the
// failure flag untouched.
bool PingInstrument();

// Give up with 0 (or false) and the failure flag raised.
uint32_t QueryValueRetried(uint32_t selector, uint32_t second);
bool SetValueRetried(uint32_t selector, uint32_t value);
uint32_t ProgramWordAtRetried(uint32_t address, uint32_t word);  // 16-bit result
uint32_t EraseSectorRetried(uint32_t sector);                    // 16-bit result
uint32_t ProgramFromBufferRetried(uint32_t word_count);          // 16-bit result

// Give up with false and the failure flag left alone.  Every attempt repeats
// the whole range from its first byte.
bool WriteMemoryRetried(const uint8_t* data, uint32_t address, uint16_t count);
bool ReadMemoryRetried(uint32_t address, uint8_t* destination, uint16_t count);

// SetValue(8, address) and, once that went through, ProgramFlashFromBuffer(word
// count), retried together under the retry rule: an instrument that moves its
// flash address on by itself after programming, and whose reply was lost, is
// set back before the words are programmed again.  16-bit result; gives up
// with 0 and the failure flag raised.
uint32_t ProgramFromBufferAtRetried(uint32_t address, uint32_t word_count);

// Programs `byte_count` bytes (even, 2..kFlashBlockBytes) at `flash_address` through the
// transfer buffer at `buffer_address`: the block goes into the buffer, then the
// flash address and ProgramFlashFromBuffer (ProgramFromBufferAtRetried) are
// asked up to 10 times until the instrument answers the word count (each
// mismatch counts one retry).  The data is not sent again between those
// attempts; the address is, since a damaged reply may hide that the words were
// programmed and the address moved on.  True when the instrument reported every
// word programmed; false at once for an odd, empty or oversized block.
bool ProgramFlashBlock(const uint8_t* data, uint32_t byte_count, uint32_t buffer_address,
                       uint32_t flash_address);

// The instrument's CRC-16 over first..last inclusive (selectors 1, 2, then
// query 7).  True unless a step raised the failure flag; *crc is written on true.
bool GetInstrumentCRC(uint32_t first, uint32_t last, uint16_t* crc);

// Times the instrument is asked for a CRC that differs from the host's before
// the difference is believed: a reply damaged on the line must not fail an
// upgrade whose flash is right, while a wrong flash answers the same each time.
constexpr int kCrcAsks = 3;

enum class CrcCheck { kMatch, kDiffers, kGaveUp };
// GetInstrumentCRC(first, last) against `host_crc`, asked again while it
// differs, at most kCrcAsks times.  kGaveUp when a step raised the failure
// flag; *instrument_crc receives the last answer.
CrcCheck CheckInstrumentCrc(uint32_t first, uint32_t last, uint16_t host_crc,
                            uint16_t* instrument_crc);

// The transfer buffer's address (QueryValueRetried(4, 0)), believed once two
// answers in a row agree: a damaged answer would send every block elsewhere.
// At most kTransferBufferAsks answers; gives up with false and the failure
// flag raised.
constexpr int kTransferBufferAsks = 4;
bool QueryTransferBuffer(uint32_t* address);

// The retry counter (wraps at 65536) and the failure flag.  Only PingInstrument
// resets them; CountRetry adds one for re-issues made by the callers.
uint16_t RetryCount();
void CountRetry();
bool FailureFlag();

// Initial state: counter 0, flag clear.
void ResetOperationsState();

}  // namespace vtrl
