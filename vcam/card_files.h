// How the card folder's files are named: UTF-8 names as paths, relative paths joined, and the
// temporary names of objects still arriving. Private to the card and its uploads.
#pragma once

#include <filesystem>
#include <string>

namespace vcam {

// The card's own files, never listed: this prefix, a handle, and an extension.
constexpr char kTempPrefix[] = ".vcam-upload-";

std::filesystem::path PathOf(const std::string& utf8);
std::string Utf8Of(const std::filesystem::path& path);
std::string Join(const std::string& folder, const std::string& name);

#ifndef _WIN32
// Gives a file the name `to` only where no file has it; false (errno says why) leaves it as it
// was.
bool MoveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);
#endif

} // namespace vcam
