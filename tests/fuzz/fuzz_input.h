// The fuzzer's bytes read as decisions, in order; once they run out every
// decision takes its default, so a short input is a mostly ordinary run.
// Findings stop the process (abort) so that the fuzzer keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/upgrade/upgrade_files.h"

namespace vtrl::fuzz {

// One scratch folder for a target's files, removed when the process ends.
inline const std::string& ScratchDir() {
    static const struct Dir {
        std::string path = test::MakeTempDir("fuzz");
        ~Dir() { test::RemoveTree(path); }
    } dir;
    return dir.path;
}

// The target's file as the input decides: written with `bytes`, or absent.
inline void PlaceFile(const std::string& path, bool present, const std::vector<uint8_t>& bytes) {
    if (present) {
        test::WriteBytes(path, bytes);
    } else {
        (void)std::remove(path.c_str());
    }
}

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    size_t Left() const { return size_ - at_; }
    uint8_t Byte(uint8_t otherwise = 0) { return Empty() ? otherwise : data_[at_++]; }
    uint16_t U16(uint16_t otherwise = 0) {
        if (Left() < 2) {
            at_ = size_;
            return otherwise;
        }
        const uint16_t v = static_cast<uint16_t>(data_[at_] << 8 | data_[at_ + 1]);
        at_ += 2;
        return v;
    }
    uint32_t U32(uint32_t otherwise = 0) {
        const uint32_t high = U16(static_cast<uint16_t>(otherwise >> 16));
        return high << 16 | U16(static_cast<uint16_t>(otherwise & 0xFFFF));
    }
    // The rest of the input, consumed.
    const uint8_t* Rest(size_t* length) {
        const uint8_t* p = data_ + at_;
        *length = Left();
        at_ = size_;
        return p;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A finding: what the program did wrong, then a stop the fuzzer records.
#define VTRL_FUZZ_CHECK(condition)                                                        \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "%s:%d: finding: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

}  // namespace vtrl::fuzz
