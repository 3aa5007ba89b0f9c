// Files for the upgrade tests: scratch directories, whole-file reads and
// writes.  Images come from the stand-in (sim/image.h).
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

}  // namespace vtrl::test
