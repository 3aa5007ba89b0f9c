// The instrument model's memory: flash under the NOR rules, the program's
// trailer, RAM, and their contents as tests and tools see them.
#include "sim/instrument_state.h"

#include <algorithm>

namespace vtrl::sim {

using detail::kCalibrationSectorBase;
using detail::kFlashEnd;
using detail::kRamEnd;

bool Instrument::State::Writable(uint32_t address, uint32_t length) const {
    const uint64_t end = uint64_t{address} + length;
    if (length == 0 || address < kFlashBase || end > kBootBlockAddress || (address & 1)) {
        return false;
    }
    return end <= kCalibrationSectorBase || calibration_write;
}

const uint8_t* Instrument::State::Readable(uint32_t address, uint32_t length) const {
    const uint64_t end = uint64_t{address} + length;
    if (address >= kRamBase && end <= kRamEnd) {
        return ram.data() + (address - kRamBase);
    }
    if (address >= kFlashBase && end <= kFlashEnd) {
        return flash.data() + (address - kFlashBase);
    }
    return nullptr;
}

// NOR programming: bits only go from 1 to 0.  A word that needs a 0 turned
// back into 1 keeps the bits it could clear and fails its verify.
bool Instrument::State::ProgramWord(uint32_t address, uint16_t value) {
    const uint16_t now = static_cast<uint16_t>(Word(address) & value);
    StoreWord(address, now);
    return now == value;
}

// Torn programming: some of a word's bits cleared, the rest left (half of
// the bits that had to go, rounded down).
void Instrument::State::ProgramWordPartly(uint32_t address, uint16_t value) {
    const uint16_t now = Word(address);
    uint16_t to_clear = static_cast<uint16_t>(now & ~value);
    uint16_t cleared = 0;
    int bits = 0;
    for (uint16_t b = to_clear; b != 0; b = static_cast<uint16_t>(b & (b - 1))) {
        ++bits;
    }
    for (int i = 0; i < bits / 2; ++i) {
        const uint16_t lowest = static_cast<uint16_t>(to_clear & -to_clear);
        cleared = static_cast<uint16_t>(cleared | lowest);
        to_clear = static_cast<uint16_t>(to_clear & ~lowest);
    }
    const uint16_t left = static_cast<uint16_t>(now & ~cleared);
    StoreWord(address, left);
}

// The version in the trailer of the program from 0x80004, when one is found
// whose CRC matches.  The image ends at the last programmed (non-0xFF) byte
// or up to two bytes later (a CRC may end in 0xFF bytes); images of the
// normal size class are looked for first, below sector 0.
bool Instrument::State::ProgramTrailerVersion(uint32_t* version) const {
    for (uint32_t limit : {kCalibrationSectorBase, kCalibrationAddress}) {
        uint32_t last = limit - 1;
        while (last >= kProgramStart && flash[last - kFlashBase] == 0xFF) {
            --last;
        }
        if (last < kProgramStart + kImageTrailerSize - 1) {
            continue;
        }
        for (uint32_t end = last; end <= last + 2 && end < limit; ++end) {
            const uint32_t n = end - kProgramStart + 1;
            const uint8_t* image = flash.data() + (kProgramStart - kFlashBase);
            const uint16_t stored = static_cast<uint16_t>(image[n - 2] | (image[n - 1] << 8));
            if (stored == Crc16Arc(image, n - 2)) {
                *version =
                    static_cast<uint32_t>(image[n - 6] | (image[n - 5] << 8) |
                                          (image[n - 4] << 16) | (uint32_t{image[n - 3]} << 24));
                return true;
            }
        }
    }
    return false;
}

// A program that has just been declared valid runs with its own version.
void Instrument::State::AdoptProgramVersion(bool markers_were_valid) {
    uint32_t version = 0;
    if (!markers_were_valid && MarkersValid() && ProgramTrailerVersion(&version)) {
        config.program_version = version;
    }
}

// --- contents, for tests and tools -----------------------------------------

void Instrument::FormatFactory(uint32_t seed) {
    State& s = *state_;
    const size_t size = std::clamp<size_t>(s.config.factory_image_size, kImageTrailerSize,
                                           kCalibrationAddress - kProgramStart);
    s.flash = MakeFlashPicture(MakeImage(size, s.config.program_version, seed),
                               MakeCalibrationRecord(seed), true);
    s.StoreWord(kMarker1Address, kMarker1Valid);
    s.StoreWord(kMarker2Address, kMarker2Valid);
    std::fill(s.ram.begin(), s.ram.end(), 0);
    s.ClearRegisters();
}

std::vector<uint8_t> Instrument::MakeCalibrationRecord(uint32_t seed) {
    return sim::MakeCalibrationRecord(seed);
}

std::vector<uint8_t> Instrument::ReadFlash(uint32_t address, uint32_t length) const {
    std::vector<uint8_t> out;
    for (uint64_t a = address; a < uint64_t{address} + length; ++a) {
        if (a >= kFlashBase && a < kFlashEnd) {
            out.push_back(state_->flash[a - kFlashBase]);
        }
    }
    return out;
}

void Instrument::WriteFlashRaw(uint32_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint64_t a = uint64_t{address} + i;
        if (a >= kFlashBase && a < kFlashEnd) {
            state_->flash[a - kFlashBase] = bytes[i];
        }
    }
}

uint16_t Instrument::FlashWord(uint32_t address) const {
    if (address < kFlashBase || address + 1 >= kFlashEnd) {
        return 0xFFFF;
    }
    return state_->Word(address);
}

const std::vector<uint8_t>& Instrument::FlashImage() const {
    return state_->flash;
}

bool Instrument::LoadFlashImage(const std::vector<uint8_t>& image) {
    if (image.size() != kFlashSize) {
        return false;
    }
    state_->flash = image;
    state_->AdoptProgramVersion(false);
    return true;
}

bool Instrument::MarkersValid() const {
    return state_->MarkersValid();
}

std::vector<uint8_t> Instrument::ReadRam(uint32_t address, uint32_t length) const {
    std::vector<uint8_t> out;
    for (uint64_t a = address; a < uint64_t{address} + length; ++a) {
        if (a >= kRamBase && a < kRamEnd) {
            out.push_back(state_->ram[a - kRamBase]);
        }
    }
    return out;
}

}  // namespace vtrl::sim
