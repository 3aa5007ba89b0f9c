// The instrument's flash kept in a file, a raw image of 0x80000..0xFFFFF: read
// when the stand-in starts, and following every erase and programming command
// as it happens, so the file always holds what the instrument's flash would
// keep through a power cut.  Used by vtrlsim and the demo build.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "sim/instrument.h"

namespace vtrl::sim {

class FlashFile {
  public:
    FlashFile() = default;
    FlashFile(const FlashFile&) = delete;
    FlashFile& operator=(const FlashFile&) = delete;

    // Loads the image at `path` into `instrument`.  A missing or empty file is
    // written with the instrument's present flash (its factory state), and so
    // is a file of another size when `replace_other_sizes`; otherwise such a
    // file is an error.  False, with `error` set, when the file cannot be read
    // or written.
    bool Open(const std::filesystem::path& path, Instrument& instrument, bool replace_other_sizes,
              std::string* error);
    // Writes the bytes that an erase or programming event changed (any other
    // event changes no flash).
    void Follow(const InstrumentEvent& event);
    // Writes the whole image again; false when this or an earlier write failed.
    bool Close();
    bool Failed() const { return failed_; }

  private:
    bool Write(size_t offset, size_t length);

    const Instrument* instrument_ = nullptr;
    std::fstream file_;
    bool failed_ = false;
};

}  // namespace vtrl::sim
