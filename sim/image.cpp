#include "sim/image.h"

#include <array>

#include "sim/instrument.h"

namespace vtrl::sim {

namespace {

constexpr uint32_t kBootBlockBase = 0xD0000;
constexpr uint32_t kResetVector = 0xFFFF0;

std::array<uint16_t, 256> BuildCrcTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t v = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1) ? static_cast<uint16_t>((v >> 1) ^ 0xA001) : static_cast<uint16_t>(v >> 1);
        }
        table[i] = v;
    }
    return table;
}

// xorshift32: cheap, deterministic filler that still looks like code and data.
class Filler {
  public:
    explicit Filler(uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u) {
        if (state_ == 0) {
            state_ = 1;
        }
    }
    uint8_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<uint8_t>(state_ >> 11);
    }

  private:
    uint32_t state_;
};

void PutLe16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

uint16_t Crc16Arc(const uint8_t* data, size_t length, uint16_t crc) {
    static const std::array<uint16_t, 256> table = BuildCrcTable();
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(table[(data[i] ^ crc) & 0xFF] ^ (crc >> 8));
    }
    return crc;
}

uint16_t Crc16Arc(const std::vector<uint8_t>& data) {
    return Crc16Arc(data.data(), data.size());
}

std::vector<uint8_t> MakeImage(size_t total_size, uint32_t version, uint32_t seed) {
    std::vector<uint8_t> image(total_size);
    Filler filler(seed);
    const size_t program_size =
        total_size >= kImageTrailerSize ? total_size - kImageTrailerSize : total_size;
    for (size_t i = 0; i < program_size; ++i) {
        image[i] = filler.Next();
    }
    if (total_size < kImageTrailerSize) {
        return image;
    }
    for (int i = 0; i < 4; ++i) {
        image[program_size + i] = static_cast<uint8_t>(version >> (8 * i));
    }
    SealImage(image);
    return image;
}

void SealImage(std::vector<uint8_t>& image) {
    if (image.size() >= 2) {
        PutLe16(&image[image.size() - 2], Crc16Arc(image.data(), image.size() - 2));
    }
}

bool ImageVersion(const std::vector<uint8_t>& image, uint32_t* version) {
    const size_t n = image.size();
    if (n < kImageTrailerSize) {
        return false;
    }
    const uint16_t stored = static_cast<uint16_t>(image[n - 2] | (image[n - 1] << 8));
    if (stored != Crc16Arc(image.data(), n - 2)) {
        return false;
    }
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | image[n - kImageTrailerSize + i];
    }
    *version = v;
    return true;
}

std::vector<uint8_t> MakeCalibrationRecord(uint32_t seed) {
    std::vector<uint8_t> record(kCalibrationRecordSize);
    Filler filler(seed ^ 0xCA11B8A7u);
    for (size_t i = 4; i < record.size(); ++i) {
        record[i] = filler.Next();
    }
    SealCalibrationRecord(record.data());
    return record;
}

void SealCalibrationRecord(uint8_t* record) {
    PutLe16(&record[0], kCalibrationMagic);
    PutLe16(&record[2], Crc16Arc(&record[4], kCalibrationRecordSize - 4));
}

bool CalibrationRecordValid(const uint8_t* record, size_t length) {
    if (length != kCalibrationRecordSize) {
        return false;
    }
    const uint16_t magic = static_cast<uint16_t>(record[0] | (record[1] << 8));
    const uint16_t crc = static_cast<uint16_t>(record[2] | (record[3] << 8));
    return magic == kCalibrationMagic && crc == Crc16Arc(record + 4, length - 4);
}

std::vector<uint8_t> MakeFlashPicture(const std::vector<uint8_t>& image,
                                      const std::vector<uint8_t>& calibration, bool markers_valid) {
    std::vector<uint8_t> flash(kFlashSize, 0xFF);
    Filler boot(0xB007);
    for (uint32_t a = kBootBlockBase; a < kFlashBase + kFlashSize; ++a) {
        flash[a - kFlashBase] = boot.Next();
    }
    // The reset vector: a far jump to the boot loader's entry at F000:0000.
    const uint8_t jump[] = {0xEA, 0x00, 0x00, 0x00, 0xF0};
    for (size_t i = 0; i < sizeof jump; ++i) {
        flash[kResetVector - kFlashBase + i] = jump[i];
    }
    const size_t room = kCalibrationAddress - kProgramStart;
    for (size_t i = 0; i < image.size() && i < room; ++i) {
        flash[kProgramStart - kFlashBase + i] = image[i];
    }
    for (size_t i = 0; i < calibration.size() && i < kCalibrationSize; ++i) {
        flash[kCalibrationAddress - kFlashBase + i] = calibration[i];
    }
    if (markers_valid) {
        PutLe16(&flash[kMarker1Address - kFlashBase], kMarker1Valid);
        PutLe16(&flash[kMarker2Address - kFlashBase], kMarker2Valid);
    }
    return flash;
}

}  // namespace vtrl::sim
