#include "tests/upgrade/disk_faults.h"

#include <cerrno>
#include <cstring>

#include "driver/entry.h"
#include "sim/image.h"
#include "tests/upgrade/upgrade_bench.h"
#include "tests/upgrade/upgrade_files.h"

namespace vtrl::test {
namespace {

constexpr uint32_t kFullSize = 326652;
constexpr uint32_t kSmallSize = 20001;
constexpr char kAbortSuffix[] = "\r\n Download aborted.\r\n Please press a key...";

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool Writing(const char* mode) {
    return std::strchr(mode, 'w') != nullptr || std::strchr(mode, 'a') != nullptr;
}

}  // namespace

std::FILE* FaultyDisk::Open(const char* path, const char* mode) {
    const std::string p(path);
    int read_open = 0;
    if (Writing(mode)) {
        if (fault_.create_fails && EndsWith(p, ".tmp")) {
            errno = EACCES;
            return nullptr;
        }
    } else if (EndsWith(p, "caldata.bin") && fault_.saved_open_refused > 0) {
        // The Windows C runtime reports a sharing or lock violation at an open
        // as EACCES (Microsoft's "errno constants" page: "EACCES may also
        // indicate a locking or sharing violation",
        // https://learn.microsoft.com/en-us/cpp/c-runtime-library/errno-constants;
        // seen as errno 13 from _wfopen on a file another program held:
        // https://github.com/curl/curl/issues/20155), and a virus scanner holds
        // a file for a moment (https://github.com/fastbuild/fastbuild/pull/1188
        // waits 2 s for it at an open).
        --fault_.saved_open_refused;
        errno = EACCES;
        return nullptr;
    } else if (EndsWith(p, "vtrlprog.bin")) {
        read_open = ++image_opens_;
        if (read_open == fault_.image_open_fails) {
            errno = EIO;
            return nullptr;
        }
    }
    std::FILE* file = FileSystem::Open(path, mode);
    if (file != nullptr) {
        Stream s;
        s.path = p;
        if (!Writing(mode) && EndsWith(p, "caldata.bin") && fault_.saved_read_fails) {
            s.read_limit = 0;
        }
        if (read_open != 0 && read_open == fault_.image_read_open) {
            s.read_limit = fault_.image_read_bytes;
        }
        streams_[file] = s;
    }
    return file;
}

size_t FaultyDisk::Read(std::FILE* file, uint8_t* buffer, size_t count) {
    auto it = streams_.find(file);
    if (it == streams_.end() || it->second.read_limit >= count) {
        if (it != streams_.end() && it->second.read_limit != SIZE_MAX) {
            it->second.read_limit -= count;
        }
        return FileSystem::Read(file, buffer, count);
    }
    const size_t got = FileSystem::Read(file, buffer, it->second.read_limit);
    it->second.read_limit = 0;
    it->second.failed = true;
    return got;
}

bool FaultyDisk::IsTemporary(std::FILE* file) const {
    auto it = streams_.find(file);
    return it != streams_.end() && EndsWith(it->second.path, ".tmp");
}

size_t FaultyDisk::Write(std::FILE* file, const uint8_t* data, size_t count) {
    if (!IsTemporary(file)) {
        return FileSystem::Write(file, data, count);
    }
    const size_t taken = count < fault_.disk_room ? count : fault_.disk_room;
    if (fault_.disk_room != SIZE_MAX) {
        fault_.disk_room -= taken;
    }
    if (taken < count) {
        streams_[file].failed = true;
    }
    return taken == 0 ? 0 : FileSystem::Write(file, data, taken);
}

bool FaultyDisk::Failed(std::FILE* file) {
    auto it = streams_.find(file);
    return (it != streams_.end() && it->second.failed) || FileSystem::Failed(file);
}

bool FaultyDisk::Flush(std::FILE* file) {
    const bool ok = FileSystem::Flush(file);
    return ok && !(fault_.flush_fails && IsTemporary(file));
}

bool FaultyDisk::Close(std::FILE* file) {
    const bool fails = fault_.close_fails && IsTemporary(file);
    streams_.erase(file);
    return FileSystem::Close(file) && !fails;
}

// A busy file fails a rename or removal with ERROR_SHARING_VIOLATION or
// ERROR_ACCESS_DENIED, and goes through once the other program lets go of it
// (Microsoft's DeleteFile and MoveFileEx pages; the field's reports of
// scanners and indexers holding new files: isaacs/node-graceful-fs #97 and
// #119, coder/vscode-coder #841).
FileOutcome FaultyDisk::Replace(const char* from, const char* to) {
    if (fault_.rename_fails) {
        return FileOutcome::kFailed;
    }
    if (fault_.rename_busy > 0) {
        --fault_.rename_busy;
        return FileOutcome::kBusy;
    }
    return FileSystem::Replace(from, to);
}

FileOutcome FaultyDisk::Remove(const char* path) {
    if (fault_.remove_fails) {
        return FileOutcome::kFailed;
    }
    if (fault_.remove_busy > 0) {
        --fault_.remove_busy;
        return FileOutcome::kBusy;
    }
    return FileSystem::Remove(path);
}

std::vector<DiskFaultCase> DiskFaultCases() {
    static constexpr char kSave[] = "Unable to save calibration data!";
    std::vector<DiskFaultCase> cases;
    auto add = [&](const char* name, bool saved, uint32_t size, const char* message, auto set) {
        DiskFaultCase c{name, DiskFault{}, saved, size, message};
        set(c.fault);
        cases.push_back(c);
    };
    for (bool saved : {false, true}) {
        add("caldata.bin cannot be created", saved, kFullSize, kSave,
            [](DiskFault& f) { f.create_fails = true; });
        add("disk full at once", saved, kFullSize, kSave, [](DiskFault& f) { f.disk_room = 0; });
        add("disk full after 700 bytes", saved, kFullSize, kSave,
            [](DiskFault& f) { f.disk_room = 700; });
        add("flush fails", saved, kFullSize, kSave, [](DiskFault& f) { f.flush_fails = true; });
        add("close reports a lost write", saved, kFullSize, kSave,
            [](DiskFault& f) { f.close_fails = true; });
        add("rename fails", saved, kFullSize, kSave, [](DiskFault& f) { f.rename_fails = true; });
        add("read-only folder", saved, kFullSize, kSave,
            [](DiskFault& f) { f.create_fails = f.rename_fails = f.remove_fails = true; });
    }
    // A busy caldata.bin is waited for (2 s on the program's clock).
    add("caldata.bin busy at its rename for a moment", false, kFullSize, "",
        [](DiskFault& f) { f.rename_busy = 5; });
    add("caldata.bin busy at its rename for longer", false, kFullSize, kSave,
        [](DiskFault& f) { f.rename_busy = 1000; });
    add("caldata.bin busy at its removal for a moment", false, kFullSize, "",
        [](DiskFault& f) { f.remove_busy = 5; });
    add("rename and removal fail", true, kFullSize, kSave,
        [](DiskFault& f) { f.rename_fails = f.remove_fails = true; });
    add("caldata.bin held by another program for a moment", true, kFullSize, "",
        [](DiskFault& f) { f.saved_open_refused = 15; });
    add("caldata.bin cannot be opened", true, kFullSize, "Unable to read saved calibration data!",
        [](DiskFault& f) { f.saved_open_refused = 1000; });
    add("caldata.bin cannot be read", true, kFullSize, "Unable to read saved calibration data!",
        [](DiskFault& f) { f.saved_read_fails = true; });
    // The image is read once, by its check: a read that fails there stops
    // everything before the erase, and the file is never opened again.
    add("image read fails half-way", false, kFullSize, "Program file %s is corrupted.",
        [](DiskFault& f) {
            f.image_read_open = 1;
            f.image_read_bytes = kFullSize / 2;
        });
    add("image read fails half-way, small image", false, kSmallSize,
        "Program file %s is corrupted.", [](DiskFault& f) {
            f.image_read_open = 1;
            f.image_read_bytes = kSmallSize / 2;
        });
    add("image gone after the check", false, kFullSize, "",
        [](DiskFault& f) { f.image_open_fails = 2; });
    return cases;
}

DiskFaultRow RunDiskFault(const DiskFaultCase& c) {
    UpgradeBench bench(BenchLink::kUsb);
    const std::vector<uint8_t> image = bench.WriteImage(c.image_size);
    const std::vector<uint8_t> record = sim::MakeCalibrationRecord(1);
    if (c.saved_copy) {
        WriteBytes(bench.CalibrationFile(), record);
    }
    const std::vector<uint8_t> before = bench.instrument.FlashImage();
    bench.AnswerPrompts('n');

    DiskFaultRow row;
    {
        FaultyDisk disk(c.fault);
        SetFileSystem(&disk);
        row.completed = bench.Run("") == kExitUpgraded && bench.instrument.MarkersValid() &&
                        bench.Flash(0x80004, c.image_size) == image &&
                        bench.Flash(kCalibrationAt, 1024) == record;
        SetFileSystem(nullptr);
    }
    for (const std::string& shown : bench.MessageTexts()) {
        if (EndsWith(shown, kAbortSuffix)) {
            row.message = shown.substr(0, shown.size() - (sizeof kAbortSuffix - 1));
        }
    }
    row.instrument_changed = bench.instrument.FlashImage() != before;
    row.saved_copy_kept =
        FileExists(bench.CalibrationFile()) && ReadBytes(bench.CalibrationFile()) == record;
    const std::string temporary = TemporaryPathFor(bench.CalibrationFile().c_str());
    row.temporary_left = FileExists(temporary);
    row.calibration_file_left = FileExists(bench.CalibrationFile());

    bench.Restart();
    bench.AnswerPrompts('y');
    const int status = bench.Run("");
    row.next_run_clean = status == kExitUpgraded && bench.instrument.MarkersValid() &&
                         bench.Flash(0x80004, c.image_size) == image &&
                         bench.Flash(kCalibrationAt, 1024) == record &&
                         !FileExists(bench.CalibrationFile()) && !FileExists(temporary);
    return row;
}

}  // namespace vtrl::test
