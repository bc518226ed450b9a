// Test scenarios on real files: a temporary folder with the real driver library, its settings,
// a virtual camera profile and a card folder; helpers to lay out and compare files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

std::string ExeFolder();
std::string MakeTempFolder(const char* prefix);
bool RemoveTree(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool ReadFileBytes(const std::string& path, std::string& bytes);
bool MakeFolders(const std::string& path); // every missing level
// Every file below `root`, by relative path (backslashes), with its bytes.
std::map<std::string, std::string> ListFiles(const std::string& root);
// Deterministic bytes of a given size, distinct per seed.
std::string PatternBytes(size_t size, uint32_t seed);

// A folder holding KXPTPCLS.DLL (a copy of the built library), KXPTPCLS.ini naming a camera
// profile and a card folder, and the card folder itself. Removed on destruction.
class Scenario {
  public:
    explicit Scenario(const std::string& profile = "", const char* prefix = "vsc");
    ~Scenario();
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    const std::string& folder() const { return folder_; }
    std::string card() const { return folder_ + "\\card"; }
    std::string Path(const std::string& relative) const { return folder_ + "\\" + relative; }
    // Rewrites the camera profile (ini text).
    void SetProfile(const std::string& profile);
    // Rewrites the driver settings file as given.
    void SetSettings(const std::string& settings);
    // Makes LoadLibraryA("KXPTPCLS.DLL") find this scenario's copy.
    void UseLibraryHere();

  private:
    std::string folder_;
};

// Where the build put the library image the scenarios copy.
std::string BuiltLibraryPath();

} // namespace testing_support
