// A bad disk under the program's file layer (its FileSystem seam): the ways
// writing caldata.bin or reading the image and caldata.bin can fail, and whole
// upgrades run over it, with what the operator saw and what was left on disk.
// Shared by the disk-fault test and the table tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver/file_io.h"

namespace vtrl::test {

struct DiskFault {
    bool create_fails = false;    // caldata.bin's temporary file cannot be created
    size_t disk_room = SIZE_MAX;  // bytes the disk takes before it is full
    bool flush_fails = false;     // pushing the temporary file to the disk fails
    bool close_fails = false;     // closing it reports a failed write-back
    bool rename_fails = false;    // it cannot be renamed over caldata.bin
    bool remove_fails = false;    // no file can be removed
    // Renames (removals) that find the file busy before they go through, as
    // when a virus scanner, the search indexer or a sync client holds a new
    // file for a moment.
    int rename_busy = 0;
    int remove_busy = 0;
    // Opens of caldata.bin (there) refused before one goes through, as while
    // another program holds it unshared.
    int saved_open_refused = 0;
    bool saved_read_fails = false;  // caldata.bin is there but reading it fails
    int image_open_fails = 0;       // this open of the image fails (1: the check's own)
    int image_read_open = 0;        // on this open of the image, reading fails ...
    size_t image_read_bytes = 0;    // ... after this many bytes
};

// The platform's own files, with the calls a DiskFault names failing.
class FaultyDisk final : public FileSystem {
  public:
    explicit FaultyDisk(const DiskFault& fault) : fault_(fault) {}
    std::FILE* Open(const char* path, const char* mode) override;
    size_t Read(std::FILE* file, uint8_t* buffer, size_t count) override;
    size_t Write(std::FILE* file, const uint8_t* data, size_t count) override;
    bool Failed(std::FILE* file) override;
    bool Flush(std::FILE* file) override;
    bool Close(std::FILE* file) override;
    FileOutcome Replace(const char* from, const char* to) override;
    FileOutcome Remove(const char* path) override;

  private:
    struct Stream {
        std::string path;
        size_t read_limit = SIZE_MAX;  // bytes left before reading fails
        bool failed = false;
    };
    bool IsTemporary(std::FILE* file) const;

    DiskFault fault_;
    std::map<std::FILE*, Stream> streams_;
    int image_opens_ = 0;
};

struct DiskFaultCase {
    const char* name;
    DiskFault fault;
    bool saved_copy;      // an earlier valid caldata.bin; the operator answers n (save afresh)
    uint32_t image_size;  // the calibration branch above 262140 bytes
    const char* message;  // what the operator must be told ("%s": the image path);
                          // empty: the upgrade completes all the same
};
std::vector<DiskFaultCase> DiskFaultCases();

struct DiskFaultRow {
    std::string message;     // the failure reported, without its common ending
    bool completed = false;  // complete, image, marker words and record in flash
    bool instrument_changed = false;
    bool saved_copy_kept = false;        // the earlier (or the fresh) caldata.bin holds the record
    bool temporary_left = false;         // caldata.bin's temporary file after the failed run
    bool calibration_file_left = false;  // caldata.bin after the run
    bool next_run_clean = false;         // the next run without the fault: complete, image and
                                         // record in flash, neither file left
};
DiskFaultRow RunDiskFault(const DiskFaultCase& c);

}  // namespace vtrl::test
