#include "tests/fuzz/scratch_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vtrl::fuzz {
namespace {

struct Scratch {
    std::string dir;
    Scratch() {
        namespace fs = std::filesystem;
        const fs::path base = fs::temp_directory_path();
        for (unsigned n = 0;; ++n) {
            const fs::path candidate =
                base / ("vtrlupg-fuzz-" + std::to_string(std::rand()) + "-" + std::to_string(n));
            std::error_code ec;
            if (fs::create_directory(candidate, ec)) {
                dir = candidate.string();
                return;
            }
        }
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

}  // namespace

const std::string& ScratchDir() {
    static Scratch scratch;
    return scratch.dir;
}

void WriteScratchFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

bool ScratchFileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::vector<uint8_t> ReadScratchFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
}

void RemoveScratchFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

}  // namespace vtrl::fuzz
