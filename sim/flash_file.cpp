#include "sim/flash_file.h"

#include <cstdint>
#include <iterator>
#include <vector>

namespace vtrl::sim {

bool FlashFile::Open(const std::filesystem::path& path, Instrument& instrument,
                     bool replace_other_sizes, std::string* error) {
    instrument_ = &instrument;
    std::vector<uint8_t> image;
    {
        std::ifstream in(path, std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const bool fresh = image.empty() || (replace_other_sizes && image.size() != kFlashSize);
    if (!fresh && image.size() != kFlashSize) {
        *error = path.u8string() + " holds " + std::to_string(image.size()) +
                 " bytes, a flash image has " + std::to_string(kFlashSize);
        return false;
    }
    if (!fresh && !instrument.LoadFlashImage(image)) {
        *error = "cannot load " + path.u8string();
        return false;
    }
    if (fresh) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.close();
    }
    file_.open(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!file_ || (fresh && !Write(0, kFlashSize))) {
        *error = "cannot write " + path.u8string();
        return false;
    }
    return true;
}

void FlashFile::Follow(const InstrumentEvent& e) {
    const bool changes_flash =
        e.kind == InstrumentEvent::kErase || e.kind == InstrumentEvent::kProgram;
    if (!changes_flash || e.length == 0 || e.address < kFlashBase ||
        e.address - kFlashBase + uint64_t{e.length} > kFlashSize) {
        return;
    }
    Write(e.address - kFlashBase, e.length);
}

bool FlashFile::Close() {
    if (instrument_ != nullptr && file_.is_open()) {
        Write(0, kFlashSize);
        file_.close();
    }
    return !failed_;
}

bool FlashFile::Write(size_t offset, size_t length) {
    if (instrument_ == nullptr || !file_.is_open()) {
        return false;
    }
    file_.seekp(static_cast<std::streamoff>(offset));
    file_.write(reinterpret_cast<const char*>(instrument_->FlashImage().data() + offset),
                static_cast<std::streamsize>(length));
    file_.flush();
    if (!file_) {
        failed_ = true;
        file_.clear();
        return false;
    }
    return true;
}

}  // namespace vtrl::sim
