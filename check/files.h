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
// A new empty folder in the temporary folder, its name beginning with `prefix`.
std::string MakeTempFolder(const char* prefix);

// Names as the ANSI calls and the wide calls take them, and compared without case.
std::wstring Wide(const std::string& text);   // from the ANSI code page
std::string Narrow(const std::wstring& text); // to UTF-8, for reports
std::string Lower(std::string text);

} // namespace check
