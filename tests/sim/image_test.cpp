#include "sim/image.h"

#include <gtest/gtest.h>

#include <string>

namespace vtrl::sim {
namespace {

uint16_t CrcOf(const std::string& s) {
    return Crc16Arc(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(Crc16Arc, CheckValuesAndContinuation) {
    EXPECT_EQ(CrcOf("123456789"), 0xBB3D);
    EXPECT_EQ(CrcOf("abc"), 0x9738);
    EXPECT_EQ(CrcOf(""), 0);
    const std::string s = "123456789";
    const uint16_t head = Crc16Arc(reinterpret_cast<const uint8_t*>(s.data()), 4);
    EXPECT_EQ(Crc16Arc(reinterpret_cast<const uint8_t*>(s.data()) + 4, 5, head), 0xBB3D);
}

TEST(MakeImage, TrailerCarriesVersionAndCrcLowByteFirst) {
    const std::vector<uint8_t> image = MakeImage(1000, 1006, 7);
    ASSERT_EQ(image.size(), 1000u);
    EXPECT_EQ(image[994], 0xEE);
    EXPECT_EQ(image[995], 0x03);
    EXPECT_EQ(image[996], 0x00);
    EXPECT_EQ(image[997], 0x00);
    const uint16_t crc = Crc16Arc(image.data(), 998);
    EXPECT_EQ(image[998], crc & 0xFF);
    EXPECT_EQ(image[999], crc >> 8);
    uint32_t version = 0;
    EXPECT_TRUE(ImageVersion(image, &version));
    EXPECT_EQ(version, 1006u);
    EXPECT_NE(MakeImage(1000, 1006, 8), image) << "the seed must change the program bytes";
}

TEST(MakeImage, SmallestAndTooShortImages) {
    uint32_t version = 0;
    EXPECT_TRUE(ImageVersion(MakeImage(6, 2001, 1), &version));
    EXPECT_EQ(version, 2001u);
    EXPECT_EQ(MakeImage(5, 2001, 1).size(), 5u);
    EXPECT_FALSE(ImageVersion(MakeImage(5, 2001, 1), &version));
    std::vector<uint8_t> corrupted = MakeImage(300, 2001, 1);
    corrupted[10] ^= 1;
    EXPECT_FALSE(ImageVersion(corrupted, &version));
}

TEST(CalibrationRecord, ValidAndDetectsDamage) {
    std::vector<uint8_t> record = MakeCalibrationRecord(3);
    ASSERT_EQ(record.size(), 1024u);
    EXPECT_EQ(record[0], 0x5A);
    EXPECT_EQ(record[1], 0x5A);
    EXPECT_TRUE(CalibrationRecordValid(record.data(), record.size()));
    EXPECT_FALSE(CalibrationRecordValid(record.data(), 1023));
    record[1023] ^= 0x80;
    EXPECT_FALSE(CalibrationRecordValid(record.data(), record.size()));
}

TEST(FlashPicture, PlacesImageRecordAndMarkers) {
    const std::vector<uint8_t> image = MakeImage(999, 1500, 2);
    const std::vector<uint8_t> record = MakeCalibrationRecord(2);
    const std::vector<uint8_t> flash = MakeFlashPicture(image, record, true);
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_EQ(flash[0], 0x34);
    EXPECT_EQ(flash[1], 0x12);
    EXPECT_EQ(flash[2], 0xA5);
    EXPECT_EQ(flash[3], 0xA5);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 4));
    EXPECT_EQ(flash[4 + 999], 0xFF);
    EXPECT_TRUE(std::equal(record.begin(), record.end(), flash.begin() + (0xCFC00 - 0x80000)));
    EXPECT_EQ(flash[0xFFFF0 - 0x80000], 0xEA) << "reset vector holds a far jump";
    const std::vector<uint8_t> invalid = MakeFlashPicture(image, record, false);
    EXPECT_EQ(invalid[0], 0xFF);
}

}  // namespace
}  // namespace vtrl::sim
