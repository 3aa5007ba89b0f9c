// The image file beside the program, its trailer check and the CRC-16 under it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "driver/crc16.h"
#include "driver/file_io.h"
#include "driver/image_file.h"
#include "sim/image.h"
#include "tests/upgrade/upgrade_files.h"

namespace vtrl {
namespace {

uint16_t Crc(const std::string& text) {
    CRC16Reset();
    CRC16Update(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size()));
    return CRC16Value();
}

TEST(Crc16, CheckValuesOfCrc16Arc) {
    EXPECT_EQ(Crc("123456789"), 0xBB3D);
    EXPECT_EQ(Crc("abc"), 0x9738);
    EXPECT_EQ(Crc(""), 0);
}

TEST(Crc16, FoldsInPiecesAsInOneGoAndIgnoresEmptyOrNegativeLengths) {
    const std::string text = "123456789";
    CRC16Reset();
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    EXPECT_EQ(CRC16Update(p, 4), 4);
    EXPECT_EQ(CRC16Update(p + 4, 0), 0);
    EXPECT_EQ(CRC16Update(p + 4, -3), 0);
    EXPECT_EQ(CRC16Update(p + 4, 5), 5);
    EXPECT_EQ(CRC16Value(), 0xBB3D);

    // A reset starts a fresh computation, from the initial state too.
    ResetCrc16State();
    EXPECT_EQ(Crc("abc"), 0x9738);
}

// A computation left open (the download's, across every block) keeps its
// value while others start, fold and end meanwhile, the default one included.
TEST(Crc16, EachComputationOwnsItsValue) {
    const auto* p = reinterpret_cast<const uint8_t*>("123456789");
    Crc16 open;
    open.Update(p, 4);
    EXPECT_EQ(Crc("abc"), 0x9738);
    EXPECT_EQ(Crc16().Update(p, 9).Update(nullptr, 3).Value(), 0xBB3D);
    EXPECT_EQ(open.Update(p + 4, 5).Value(), 0xBB3D);
}

class ImageFile : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetImageFileState();
        dir_ = test::MakeTempDir("image");
    }
    void TearDown() override { test::RemoveTree(dir_); }
    std::string Path(const char* name) const { return dir_ + PathSeparator() + name; }

    std::string dir_;
};

TEST_F(ImageFile, SixByteImageIsSoundAndCarriesItsVersion) {
    // Version 1006 (EE 03 00 00) and the CRC of those four bytes, low byte first.
    std::vector<uint8_t> bytes = {0xEE, 0x03, 0x00, 0x00};
    const uint16_t crc = sim::Crc16Arc(bytes);
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    test::WriteBytes(Path("six.bin"), bytes);

    CheckedImage image;
    EXPECT_EQ(CheckProgramFile(Path("six.bin").c_str(), &image), kProgramFileSound);
    EXPECT_TRUE(image.Sound());
    EXPECT_EQ(image.Version(), 1006u);
    EXPECT_EQ(GetProgramFileSize(image), 6u);

    // The same CRC stored high byte first is a corrupted file.
    std::swap(bytes[4], bytes[5]);
    ASSERT_NE(bytes[4], bytes[5]);
    test::WriteBytes(Path("swapped.bin"), bytes);
    EXPECT_EQ(CheckProgramFile(Path("swapped.bin").c_str(), &image), kProgramFileCorrupted);
    EXPECT_FALSE(image.Sound());
    EXPECT_EQ(image.Version(), 0u);
}

TEST_F(ImageFile, LargeImageIsCheckedOverProgramAndVersionBytes) {
    const std::vector<uint8_t> image = sim::MakeImage(262141, 1007, 1);
    test::WriteBytes(Path("big.bin"), image);
    CheckedImage checked;
    EXPECT_EQ(CheckProgramFile(Path("big.bin").c_str(), &checked), kProgramFileSound);
    EXPECT_EQ(checked.Version(), 1007u);

    std::vector<uint8_t> damaged = image;
    damaged[1000] ^= 0x01;
    test::WriteBytes(Path("damaged.bin"), damaged);
    EXPECT_EQ(CheckProgramFile(Path("damaged.bin").c_str(), &checked), kProgramFileCorrupted);
    EXPECT_FALSE(checked.Sound());
}

TEST_F(ImageFile, ShortOrMissingFilesAreRefused) {
    CheckedImage image;
    // Five bytes can never hold a trailer, whatever they are (0 0 0 0 0 has a
    // matching CRC of zero over its first three bytes).
    test::WriteBytes(Path("five.bin"), {0, 0, 0, 0, 0});
    EXPECT_EQ(CheckProgramFile(Path("five.bin").c_str(), &image), kProgramFileCorrupted);
    test::WriteBytes(Path("empty.bin"), {});
    EXPECT_EQ(CheckProgramFile(Path("empty.bin").c_str(), &image), kProgramFileCorrupted);

    const std::string missing = Path("missing.bin");
    EXPECT_EQ(CheckProgramFile(missing.c_str(), &image), kProgramFileCannotOpen);
    EXPECT_EQ(GetProgramFileSize(image), 0u);
    EXPECT_EQ(image.Path(), missing);
    EXPECT_FALSE(test::FileExists(missing));
}

TEST(FilePaths, FilesAreLookedForBesideTheProgram) {
    ResetImageFileState();
    const char s = PathSeparator();
    const std::string dir = std::string("C:") + s + "Service" + s + "Vantrel";
    BuildFilePaths((dir + s + "vtrlupg.exe").c_str());
    EXPECT_EQ(std::string(ProgramDirectory()), dir);
    EXPECT_EQ(std::string(ImagePath()), dir + s + "vtrlprog.bin");
    EXPECT_EQ(std::string(CalibrationFilePath()), dir + s + "caldata.bin");
    EXPECT_TRUE(FilePathsUsable());

    BuildFilePaths("vtrlupg");
    EXPECT_EQ(std::string(ProgramDirectory()), ".");
    EXPECT_EQ(std::string(ImagePath()), std::string(".") + s + "vtrlprog.bin");

    // Its only separator in front: the files are looked for at the root.
    BuildFilePaths((std::string(1, s) + "vtrlupg").c_str());
    EXPECT_EQ(std::string(ProgramDirectory()), "");
    EXPECT_EQ(std::string(CalibrationFilePath()), std::string(1, s) + "caldata.bin");
}

TEST(FilePaths, TheOtherSeparatorIsAnOrdinaryCharacter) {
    ResetImageFileState();
    const char other = PathSeparator() == '/' ? '\\' : '/';
    const std::string name = std::string("dir") + other + "vtrlupg";
    BuildFilePaths(name.c_str());
    EXPECT_EQ(std::string(ProgramDirectory()), ".");
}

TEST(FilePaths, PathsThatWouldHaveToBeCutAreNotUsable) {
    ResetImageFileState();
    const char s = PathSeparator();
    // A directory of 243 characters still fits: 243 + "/vtrlprog.bin" is 256.
    const std::string fits(243, 'd');
    BuildFilePaths((fits + s + "vtrlupg").c_str());
    EXPECT_TRUE(FilePathsUsable());
    EXPECT_EQ(std::strlen(ImagePath()), 256u);

    // One more character and the image path would be cut to ".../vtrlprog.bi",
    // which names some other file.
    BuildFilePaths((fits + "d" + s + "vtrlupg").c_str());
    EXPECT_FALSE(FilePathsUsable());
    EXPECT_LE(std::strlen(ImagePath()), 256u);
    EXPECT_LE(std::strlen(CalibrationFilePath()), 256u);

    // A program path over 256 characters whose real last separator lies beyond
    // the cut: the separator found first belongs to a parent directory.
    const std::string parent = std::string("top") + s;
    BuildFilePaths((parent + std::string(300, 'x') + s + "vtrlupg").c_str());
    EXPECT_EQ(std::string(ProgramDirectory()), "top");
    EXPECT_FALSE(FilePathsUsable());

    // A long program name in a short directory is harmless.
    BuildFilePaths((std::string("top") + s + std::string(400, 'n')).c_str());
    EXPECT_EQ(std::string(ProgramDirectory()), "top");
    EXPECT_TRUE(FilePathsUsable());

    ResetImageFileState();
    EXPECT_FALSE(FilePathsUsable());
}

}  // namespace
}  // namespace vtrl
