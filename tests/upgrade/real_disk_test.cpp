// The bad disk for real (Linux): the program's folder is a small tmpfs that
// the image fills, or a read-only one, mounted in a private mount namespace
// (in_private_mounts.sh runs this test under unshare).  caldata.bin cannot be
// saved, so nothing is erased; an earlier caldata.bin survives; once the disk
// has room again the upgrade completes and leaves no file behind.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/entry.h"
#include "driver/file_io.h"
#include "sim/image.h"
#include "tests/upgrade/upgrade_bench.h"
#include "tests/upgrade/upgrade_files.h"

namespace vtrl::test {
namespace {

constexpr uint32_t kFullSize = 326652;  // 80 pages of 4 KiB, the last not quite full
constexpr size_t kPage = 4096;
constexpr char kNotSaved[] =
    "Unable to save calibration data!\r\n Download aborted.\r\n Please press a key...";

// A tmpfs over `dir` for the scope's life.
class Tmpfs {
  public:
    Tmpfs(const std::string& dir, size_t bytes) : dir_(dir) {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=755";
        mounted_ = ::mount("vtrl-disk", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
        error_ = errno;
    }
    ~Tmpfs() {
        if (mounted_) {
            ::umount2(dir_.c_str(), MNT_DETACH);
        }
    }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;
    bool Mounted() const { return mounted_; }
    const char* Error() const { return std::strerror(error_); }
    bool Remount(size_t bytes, bool read_only) {
        const std::string options = "size=" + std::to_string(bytes);
        return ::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | (read_only ? MS_RDONLY : 0),
                       options.c_str()) == 0;
    }

  private:
    std::string dir_;
    bool mounted_ = false;
    int error_ = 0;
};

TEST(RealDisk, AFullOrReadOnlyFolderStopsTheUpgradeBeforeAnyErase) {
    if (std::getenv("VTRL_PRIVATE_MOUNTS") == nullptr) {
        GTEST_SKIP() << "needs a private mount namespace (run by in_private_mounts.sh)";
    }
    struct Case {
        const char* name;
        bool earlier_copy;  // a valid caldata.bin from an interrupted run; n at the prompt
        bool read_only;     // else the image (and the earlier copy) fill the disk
    };
    for (const Case c :
         {Case{"full", false, false}, Case{"full, earlier copy", true, false},
          Case{"read-only", false, true}, Case{"read-only, earlier copy", true, true}}) {
        SCOPED_TRACE(c.name);
        UpgradeBench bench(BenchLink::kUsb);
        const size_t used = (kFullSize + kPage - 1) / kPage * kPage + (c.earlier_copy ? kPage : 0);
        Tmpfs disk(bench.dir, used);
        ASSERT_TRUE(disk.Mounted()) << disk.Error();
        const std::vector<uint8_t> image = bench.WriteImage(kFullSize);
        ASSERT_EQ(ReadBytes(bench.FileBeside("vtrlprog.bin")), image);
        const std::vector<uint8_t> record = sim::MakeCalibrationRecord(1);
        if (c.earlier_copy) {
            WriteBytes(bench.CalibrationFile(), record);
            ASSERT_EQ(ReadBytes(bench.CalibrationFile()), record);
        }
        if (c.read_only) {
            ASSERT_TRUE(disk.Remount(used, true));
        }
        const std::vector<uint8_t> before = bench.instrument.FlashImage();
        bench.AnswerPrompts('n');

        EXPECT_EQ(bench.Run(""), kExitNothingChanged);
        EXPECT_EQ(bench.MessageTexts().back(), kNotSaved);
        EXPECT_EQ(bench.instrument.FlashImage(), before);
        EXPECT_FALSE(bench.instrument.RemoteMode());
        EXPECT_EQ(FileExists(bench.CalibrationFile()), c.earlier_copy);
        if (c.earlier_copy) {
            EXPECT_EQ(ReadBytes(bench.CalibrationFile()), record);
        }
        const std::string temporary = TemporaryPathFor(bench.CalibrationFile().c_str());
        EXPECT_FALSE(FileExists(temporary));

        // Room again: the next run completes and leaves neither file.
        ASSERT_TRUE(disk.Remount(used + 4 * kPage, false));
        bench.Restart();
        bench.AnswerPrompts('y');
        EXPECT_EQ(bench.Run(""), kExitUpgraded);
        EXPECT_EQ(bench.Flash(0x80004, kFullSize), image);
        EXPECT_EQ(bench.Flash(0xCFC00, 1024), record);
        EXPECT_FALSE(FileExists(bench.CalibrationFile()));
        EXPECT_FALSE(FileExists(temporary));
    }
}

}  // namespace
}  // namespace vtrl::test
