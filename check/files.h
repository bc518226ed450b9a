// Files on disk as the check and the tests lay them out and compare them: whole files in and
// out, folder trees made, copied, listed and removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace check {

// Every file below a folder, by relative path (backslashes), with its bytes.
using Files = std::map<std::string, std::string>;

bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool ReadFileBytes(const std::string& path, std::string& bytes);
bool MakeFolders(const std::string& path); // every missing level
// Removes a folder and all below it, names outside the code page too.
bool RemoveTree(const std::string& path);
// Copies a folder with its names as they are, outside the code page too.
void CopyTree(const std::string& from, const std::string& to);
Files ListFiles(const std::string& root);
// Deterministic bytes of a given size, distinct per seed.
std::string PatternBytes(size_t size, uint32_t seed);

} // namespace check
