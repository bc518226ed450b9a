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

// A camera server on a loopback port it picks itself (no other program can take the port
// between its choice and its use), reached over PTP/IP. Its trace goes to `log` where one is
// named.
class CameraServer {
  public:
    virtual ~CameraServer() = default;
    // True once the server says where it listens; `port` is then set.
    virtual bool Start() = 0;
    virtual void Kill() = 0;
    // The library's settings that reach it.
    std::string Settings() const;
    int port = 0;

  protected:
    // The port its first line names: "NAME listening on 127.0.0.1:PORT".
    static int PortOfFirstLine(const std::string& line);
};

// The vcam server of the Windows build, run in `folder` with a profile and a card folder (both
// relative to it, or absolute).
class VcamServer : public CameraServer {
  public:
    explicit VcamServer(std::string folder, std::string profile = "camera.ini",
                        std::string card = "card", std::string log = "");
    ~VcamServer() override { Kill(); }
    VcamServer(const VcamServer&) = delete;
    VcamServer& operator=(const VcamServer&) = delete;

    bool Start() override;
    void Kill() override;

  private:
    const std::string folder_, profile_, card_, log_;
    common::Handle process_;
};

// A camera nobody here wrote (peers/): uMTP-Responder or libgphoto2's virtual camera,
// native Linux programs that Wine starts, with the card folder of `folder` (relative to it).
// uMTP-Responder takes lines of its own configuration file from `conf` there, where named.
enum class Peer { kUmtpResponder, kGphotoVcamera };
const char* PeerName(Peer peer);

class PeerServer : public CameraServer {
  public:
    PeerServer(Peer peer, std::string folder, std::string card = "card", std::string log = "",
               std::string conf = "");
    ~PeerServer() override { Kill(); }
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;

    bool Start() override;
    void Kill() override;

  private:
    const Peer peer_;
    const std::string folder_, card_, log_, conf_;
    unsigned long pid_ = 0; // of the Linux process
};

// Where the build put the library image the scenarios copy.
std::string BuiltLibraryPath();

} // namespace testing_support
