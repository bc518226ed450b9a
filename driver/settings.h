// KXPTPCLS.ini beside the library: which transport reaches the camera.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Numbered as device records carry them.
enum class SettingsTransport { Virtual = 0, PtpIp = 1, Usb = 2 };

struct HostPort {
    std::string host;
    uint16_t port = 15740;
};

struct DriverSettings {
    SettingsTransport transport = SettingsTransport::Usb; // a virtual camera is asked for by name
    std::string profile;         // virtual: camera profile file; empty = the default profile
    std::string card;            // virtual: folder that stands for the memory card
    bool cardFromDefault = true; // no card named: a profile may name its own
    std::vector<HostPort> hosts; // ptpip: cameras to try, in order
    int timeoutMs = 10000;       // longest silence of a camera within one operation or send
    uint64_t floorBytesPerSecond = 64 * 1024; // an operation ends by timeoutMs + its bytes at this
    int handshakeTimeoutMs = 0;               // bound on a camera's whole handshake; 0: timeoutMs
    int connectTimeoutMs = 2000;
    bool verifyContent = true;  // read every file sent back and compare it (else its size only)
    int busyRetryMs = 2000;     // a camera answering DeviceBusy is asked again for this long
    int sendResponseMs = 60000; // a slow card's answer after the last byte of a file
    std::string trace;          // file that records every transaction; empty: none

    int HandshakeMs() const { return handshakeTimeoutMs ? handshakeTimeoutMs : timeoutMs; }
};

// Reads `text` (the settings file's contents); relative paths are taken from `folder`.
// False with a reason when a line is not understood: a bad file is never half applied, but
// for its `trace`, taken so that the reason can be traced.
bool ParseDriverSettings(const std::string& text, const std::string& folder,
                         DriverSettings& settings, std::string& error);

// The settings in effect, one line, for the trace.
std::string SettingsText(const DriverSettings& settings);

// The settings for a library in `folder`: the file there, or the defaults when there is none.
// False when the file exists but cannot be read or is not understood.
bool LoadDriverSettings(const std::string& folder, DriverSettings& settings, std::string& error);
