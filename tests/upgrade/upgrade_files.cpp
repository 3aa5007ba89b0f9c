#include "tests/upgrade/upgrade_files.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "driver/crc16.h"

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

std::vector<uint8_t> MakeImageBytes(uint32_t size, uint32_t version, uint32_t seed) {
    std::vector<uint8_t> image(size < 6 ? 6 : size);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < image.size() - 6; ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = static_cast<uint8_t>(x >> 16);
    }
    const size_t t = image.size() - 6;
    for (int i = 0; i < 4; ++i) {
        image[t + i] = static_cast<uint8_t>(version >> (8 * i));
    }
    CRC16Reset();
    CRC16Update(image.data(), static_cast<int32_t>(image.size() - 2));
    const uint16_t crc = CRC16Value();
    image[t + 4] = static_cast<uint8_t>(crc & 0xFF);
    image[t + 5] = static_cast<uint8_t>(crc >> 8);
    return image;
}

}  // namespace vtrl::test
