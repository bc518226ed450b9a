// Test scenarios on real files: a temporary folder with the real driver library, its settings,
// a virtual camera profile and a card folder; helpers to lay out and compare files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/handle.h"
#include "files.h"

namespace testing_support {

std::string ExeFolder();
using check::ListFiles;
using check::MakeFolders;
using check::MakeTempFolder;
using check::PatternBytes;
using check::ReadFileBytes;
using check::RemoveTree;
using check::WriteFileBytes;

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

// The vcam server of the Windows build, run in `folder` with a profile and a card folder (both
// relative to it, or absolute) on a loopback port it picks itself: no other program can take
// the port between its choice and its use. With a `log` file its trace goes there.
class VcamServer {
  public:
    explicit VcamServer(std::string folder, std::string profile = "camera.ini",
                        std::string card = "card", std::string log = "");
    ~VcamServer() { Kill(); }
    VcamServer(const VcamServer&) = delete;
    VcamServer& operator=(const VcamServer&) = delete;

    // True once the server says where it listens; `port` is then set.
    bool Start();
    void Kill();
    // The library's settings that reach it.
    std::string Settings() const;
    int port = 0;

  private:
    const std::string folder_, profile_, card_, log_;
    common::Handle process_;
};

// Where the build put the library image the scenarios copy.
std::string BuiltLibraryPath();

} // namespace testing_support
