// Files for the upgrade tests: scratch directories, images with a sound
// trailer, whole-file reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vtrl::test {

// A fresh empty directory under the system's temporary directory.
std::string MakeTempDir(const std::string& tag);
void RemoveTree(const std::string& path);

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::string& path);
bool FileExists(const std::string& path);

// True when every byte is 0xFF (erased flash) and there is at least one.
bool Erased(const std::vector<uint8_t>& bytes);

// An image of `size` bytes (at least 6): program bytes from `seed`, then the
// version and the CRC-16 trailer.
std::vector<uint8_t> MakeImageBytes(uint32_t size, uint32_t version, uint32_t seed = 1);

}  // namespace vtrl::test
