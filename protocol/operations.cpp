#include "protocol/operations.h"

#include "platform/clock.h"
#include "protocol/protocol.h"

namespace vtrl {
namespace {

uint16_t g_retry_count = 0;
bool g_failure_flag = false;

// Runs `attempt` under the retry rule.  True when an attempt left no link error.
template <typename Attempt>
bool RunRetried(Attempt attempt) {
    for (int i = 0; i < kRetryAttempts; ++i) {
        attempt();
        if (GetLinkError() == kLinkErrorNone) {
            return true;
        }
        ClearLinkError();
        Delay(kRetryPauseMs);
        CountRetry();
    }
    return false;
}

// The retried form of an operation with a result: the result of the attempt
// that left no link error, or 0 with the failure flag raised once every
// attempt failed.
template <typename Attempt>
uint32_t ResultRetried(Attempt attempt) {
    uint32_t result = 0;
    if (RunRetried([&] { result = attempt(); })) {
        return result;
    }
    g_failure_flag = true;
    return 0;
}

}  // namespace

uint32_t ProgramWordAt(uint32_t address, uint32_t word) {
    SetValue(kSelectorFlashAddress, address);
    // Where the address did not go through, the instrument would program the
    // word wherever its address stands: over a verified program, or over the
    // other marker word.
    if (GetLinkError() != kLinkErrorNone) {
        return 0;
    }
    return ProgramFlashWord(word);
}

bool PingInstrument() {
    g_failure_flag = false;
    g_retry_count = 0;
    for (int i = 0; i < kRetryAttempts; ++i) {
        ClearLinkError();
        Delay(kRetryPauseMs);
        QueryValue(kSelectorFirmwareVersion, 0);
        if (GetLinkError() == kLinkErrorNone) {
            return true;
        }
        CountRetry();
    }
    return false;
}

uint32_t QueryValueRetried(uint32_t selector, uint32_t second) {
    return ResultRetried([&] { return QueryValue(selector, second); });
}

bool SetValueRetried(uint32_t selector, uint32_t value) {
    ClearLinkError();
    if (RunRetried([&] { SetValue(selector, value); })) {
        return true;
    }
    g_failure_flag = true;
    return false;
}

uint32_t ProgramWordAtRetried(uint32_t address, uint32_t word) {
    return ResultRetried([&] { return ProgramWordAt(address, word); }) & 0xFFFFu;
}

uint32_t EraseSectorRetried(uint32_t sector) {
    return ResultRetried([&] { return EraseFlashSector(sector); }) & 0xFFFFu;
}

uint32_t ProgramFromBufferRetried(uint32_t word_count) {
    return ResultRetried([&] { return ProgramFlashFromBuffer(word_count); }) & 0xFFFFu;
}

uint32_t ProgramFromBufferAtRetried(uint32_t address, uint32_t word_count) {
    const uint32_t result = ResultRetried([&] {
        SetValue(kSelectorFlashAddress, address);
        // Programmed only where the address is known to have been set.
        return GetLinkError() == kLinkErrorNone ? ProgramFlashFromBuffer(word_count) : 0u;
    });
    return result & 0xFFFFu;
}

bool WriteMemoryRetried(const uint8_t* data, uint32_t address, uint16_t count) {
    return RunRetried([&] { WriteMemory(data, address, count); });
}

bool ReadMemoryRetried(uint32_t address, uint8_t* destination, uint16_t count) {
    return RunRetried([&] { ReadMemory(address, destination, count); });
}

bool ProgramFlashBlock(const uint8_t* data, uint32_t byte_count, uint32_t buffer_address,
                       uint32_t flash_address) {
    // The instrument's transfer buffer is only known to hold one block, and it
    // programs whole words.
    if (data == nullptr || byte_count == 0 || byte_count > kFlashBlockBytes ||
        byte_count % 2 != 0) {
        return false;
    }
    if (!WriteMemoryRetried(data, buffer_address, static_cast<uint16_t>(byte_count))) {
        return false;
    }
    const uint32_t words = byte_count / 2;
    for (int i = 0; i < kRetryAttempts; ++i) {
        if (ProgramFromBufferAtRetried(flash_address, words) == words) {
            return true;
        }
        if (g_failure_flag) {
            return false;
        }
        CountRetry();
    }
    return false;
}

bool GetInstrumentCRC(uint32_t first, uint32_t last, uint16_t* crc) {
    SetValueRetried(kSelectorCrcFirst, first);
    if (g_failure_flag) {
        return false;
    }
    SetValueRetried(kSelectorCrcLast, last);
    if (g_failure_flag) {
        return false;
    }
    const uint32_t value = QueryValueRetried(kSelectorCrcValue, 0);
    if (g_failure_flag) {
        return false;
    }
    if (crc != nullptr) {
        *crc = static_cast<uint16_t>(value & 0xFFFFu);
    }
    return true;
}

CrcCheck CheckInstrumentCrc(uint32_t first, uint32_t last, uint16_t host_crc,
                            uint16_t* instrument_crc) {
    uint16_t answer = 0;
    for (int i = 0; i < kCrcAsks; ++i) {
        if (!GetInstrumentCRC(first, last, &answer)) {
            return CrcCheck::kGaveUp;
        }
        if (instrument_crc != nullptr) {
            *instrument_crc = answer;
        }
        if (answer == host_crc) {
            return CrcCheck::kMatch;
        }
    }
    return CrcCheck::kDiffers;
}

bool QueryTransferBuffer(uint32_t* address) {
    uint32_t previous = 0;
    for (int i = 0; i < kTransferBufferAsks; ++i) {
        const uint32_t answer = QueryValueRetried(kSelectorTransferBuffer, 0);
        if (g_failure_flag) {
            return false;
        }
        if (i > 0 && answer == previous) {
            if (address != nullptr) {
                *address = answer;
            }
            return true;
        }
        previous = answer;
    }
    g_failure_flag = true;
    return false;
}

uint16_t RetryCount() {
    return g_retry_count;
}
void CountRetry() {
    g_retry_count = static_cast<uint16_t>(g_retry_count + 1);
}
bool FailureFlag() {
    return g_failure_flag;
}

void ResetOperationsState() {
    g_retry_count = 0;
    g_failure_flag = false;
}

}  // namespace vtrl
