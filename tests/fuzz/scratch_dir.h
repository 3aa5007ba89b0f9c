// One scratch folder for a fuzz target's files, made at the first use and
// removed when the process ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vtrl::fuzz {

// The folder, without a trailing separator.
const std::string& ScratchDir();
// Writes `size` bytes to `path`, replacing it.
void WriteScratchFile(const std::string& path, const uint8_t* data, size_t size);
bool ScratchFileExists(const std::string& path);
std::vector<uint8_t> ReadScratchFile(const std::string& path);
void RemoveScratchFile(const std::string& path);

}  // namespace vtrl::fuzz
