// Files on disk as the check and the tests lay them out and compare them: whole files in and
// out, folder trees made, copied, listed, fingerprinted and removed, and SHA-256 by BCrypt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace check {

// Every file below a folder, by relative path (backslashes), with its bytes.
using Files = std::map<std::string, std::string>;

// One file or folder of a tree under its real (wide) name, whatever the code page.
struct TreeItem {
    std::wstring relative; // from the tree's root, backslashes
    std::wstring name;     // the last component
    bool folder = false;
    bool empty = false; // a folder with nothing in it
    uint64_t size = 0;
    uint64_t written = 0; // last write time
};

// The one listing of a tree by real names: each folder before what it holds, in the order the
// file system lists them. The check's tree helpers and its lint of names all read it.
std::vector<TreeItem> ListTree(const std::string& root);

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

// SHA-256 in lower-case hex: of bytes, of a file read in pieces (empty when it cannot be read).
std::string Sha256Hex(const std::string& bytes);
std::string Sha256OfFile(const std::string& path);
// One hash over a whole tree: every name, kind, size, last write time and content. Two equal
// fingerprints mean the tree was left as it was.
std::string TreeFingerprint(const std::string& root);

// Names as the ANSI calls and the wide calls take them, and compared without case.
std::wstring Wide(const std::string& text);   // from the ANSI code page
std::string Narrow(const std::wstring& text); // to UTF-8, for reports
std::string Lower(std::string text);

} // namespace check
