#include "tests/upgrade/upgrade_files.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vtrl::test {

namespace fs = std::filesystem;

std::string MakeTempDir(const std::string& tag) {
    static uint32_t counter = 0;
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    for (;;) {
        const fs::path dir =
            fs::temp_directory_path() /
            ("vtrlupg-" + tag + "-" + std::to_string(ticks) + "-" + std::to_string(++counter));
        std::error_code ec;
        if (fs::create_directory(dir, ec)) {
            return dir.string();
        }
    }
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

bool Erased(const std::vector<uint8_t>& bytes) {
    return !bytes.empty() &&
           std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

}  // namespace vtrl::test
