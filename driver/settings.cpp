// Settings file: "key = value" lines, an optional [driver] section, ';' or '#' comments.
//   transport  = usb | virtual | ptpip    (default usb)
//   profile    = camera profile file      (virtual; relative to the library's folder)
//   card       = card folder              (virtual; default "card" beside the library)
//   hosts      = host[:port], ...         (ptpip; port 15740 by default)
//   timeout_ms = 100..600000              (default 10000)
//   floor_kb_per_second = 0..1048576      (default 64; 0 lifts the bound)
//   handshake_timeout_ms = 100..600000    (default timeout_ms)
//   connect_timeout_ms = 100..60000       (default 2000)
//   verify     = content | size           (default content)
//   busy_retry_ms = 0..60000              (default 2000; 0: DeviceBusy is final)
//   send_response_timeout_ms = 1000..600000 (default 60000)
//   trace      = file                     (none by default; relative to the library's folder)
#include "settings.h"

#include <windows.h>

#include <cstdlib>

#include "common/handle.h"
#include "ptp/text.h"

namespace {

using ptp::Lower;
using ptp::Trim;

const size_t kMaxSettingsSize = 64 * 1024;

bool IsAbsolute(const std::string& path) {
    return (path.size() >= 2 && path[1] == ':') ||
           (!path.empty() && (path[0] == '\\' || path[0] == '/'));
}

std::string Resolve(const std::string& folder, const std::string& path) {
    return IsAbsolute(path) ? path : folder + "\\" + path;
}

bool ParseNumber(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

bool ParseHosts(const std::string& text, std::vector<HostPort>& hosts) {
    hosts.clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        std::string item = Trim(text.substr(start, comma - start));
        start = comma + 1;
        if (item.empty())
            return false;
        HostPort hp;
        size_t colon = item.find(':');
        hp.host = Trim(item.substr(0, colon));
        if (colon != std::string::npos) {
            long port;
            if (!ParseNumber(Trim(item.substr(colon + 1)), 1, 65535, port))
                return false;
            hp.port = static_cast<uint16_t>(port);
        }
        if (hp.host.empty() || hp.host.size() > 253)
            return false;
        hosts.push_back(hp);
        if (hosts.size() > 16)
            return false;
    }
    return !hosts.empty();
}

} // namespace

namespace {

// Applies one "key = value" line to `parsed`; false when it is not understood.
bool ApplySetting(const std::string& key, const std::string& value, const std::string& folder,
                  DriverSettings& parsed) {
    long number = 0;
    bool ok = true;
    if (key == "transport") {
        const std::string v = Lower(value);
        ok = v == "usb" || v == "virtual" || v == "ptpip";
        parsed.transport = v == "ptpip"     ? SettingsTransport::PtpIp
                           : v == "virtual" ? SettingsTransport::Virtual
                                            : SettingsTransport::Usb;
    } else if (key == "profile") {
        ok = !value.empty() && value.size() < MAX_PATH;
        parsed.profile = Resolve(folder, value);
    } else if (key == "card") {
        ok = !value.empty() && value.size() < MAX_PATH;
        parsed.card = Resolve(folder, value);
        parsed.cardFromDefault = false;
    } else if (key == "hosts") {
        ok = ParseHosts(value, parsed.hosts);
    } else if (key == "timeout_ms") {
        ok = ParseNumber(value, 100, 600000, number);
        parsed.timeoutMs = static_cast<int>(number);
    } else if (key == "floor_kb_per_second") {
        ok = ParseNumber(value, 0, 1048576, number);
        parsed.floorBytesPerSecond = static_cast<uint64_t>(number) * 1024;
    } else if (key == "handshake_timeout_ms") {
        ok = ParseNumber(value, 100, 600000, number);
        parsed.handshakeTimeoutMs = static_cast<int>(number);
    } else if (key == "verify") {
        const std::string v = Lower(value);
        ok = v == "content" || v == "size";
        parsed.verifyContent = v == "content";
    } else if (key == "busy_retry_ms") {
        ok = ParseNumber(value, 0, 60000, number);
        parsed.busyRetryMs = static_cast<int>(number);
    } else if (key == "send_response_timeout_ms") {
        ok = ParseNumber(value, 1000, 600000, number);
        parsed.sendResponseMs = static_cast<int>(number);
    } else if (key == "trace") {
        ok = !value.empty() && value.size() < MAX_PATH;
        parsed.trace = Resolve(folder, value);
    } else if (key == "connect_timeout_ms") {
        ok = ParseNumber(value, 100, 60000, number);
        parsed.connectTimeoutMs = static_cast<int>(number);
    } else {
        ok = false;
    }
    return ok;
}

// Calls `each` with the key and value of every setting line, and the line's number; stops at
// the first line `each` refuses, or that is no setting, with the reason in `error`.
template <typename Each>
bool ForEachSetting(const std::string& text, std::string& error, Each each) {
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++lineNumber;
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            if (Lower(line) != "[driver]") {
                error = "line " + std::to_string(lineNumber) + ": unknown section";
                return false;
            }
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            error = "line " + std::to_string(lineNumber) + ": no '='";
            return false;
        }
        const std::string key = Lower(Trim(line.substr(0, eq)));
        if (!each(key, Trim(line.substr(eq + 1)))) {
            error = "line " + std::to_string(lineNumber) + ": bad " + key;
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseDriverSettings(const std::string& text, const std::string& folder,
                         DriverSettings& settings, std::string& error) {
    DriverSettings parsed;
    parsed.card = folder + "\\card";
    bool ok = ForEachSetting(text, error, [&](const std::string& key, const std::string& value) {
        return ApplySetting(key, value, folder, parsed);
    });
    if (ok && parsed.transport == SettingsTransport::PtpIp && parsed.hosts.empty()) {
        error = "ptpip needs hosts";
        ok = false;
    }
    if (ok) {
        settings = parsed;
        return true;
    }
    // Nothing of a bad file applies but where its own trace goes, to say what is wrong.
    std::string ignored;
    settings.trace.clear();
    ForEachSetting(text, ignored, [&](const std::string& key, const std::string& value) {
        DriverSettings one;
        if (key == "trace" && ApplySetting(key, value, folder, one))
            settings.trace = one.trace;
        return true;
    });
    return false;
}

std::string SettingsText(const DriverSettings& s) {
    static const char* const kRoutes[] = {"virtual", "ptpip", "usb"};
    std::string text = std::string("transport = ") + kRoutes[static_cast<int>(s.transport)];
    if (s.transport == SettingsTransport::Virtual)
        text += ", profile = " + (s.profile.empty() ? std::string("(default)") : s.profile) +
                ", card = " + s.card;
    if (s.transport == SettingsTransport::PtpIp) {
        text += ", hosts =";
        for (const HostPort& hp : s.hosts)
            text += " " + hp.host + ":" + std::to_string(hp.port);
        text += ", connect_timeout_ms = " + std::to_string(s.connectTimeoutMs);
    }
    return text + ", timeout_ms = " + std::to_string(s.timeoutMs) +
           ", handshake_timeout_ms = " + std::to_string(s.HandshakeMs()) +
           ", floor_kb_per_second = " + std::to_string(s.floorBytesPerSecond / 1024) +
           ", busy_retry_ms = " + std::to_string(s.busyRetryMs) +
           ", send_response_timeout_ms = " + std::to_string(s.sendResponseMs) +
           ", verify = " + (s.verifyContent ? "content" : "size");
}

bool LoadDriverSettings(const std::string& folder, DriverSettings& settings, std::string& error) {
    const std::string path = folder + "\\KXPTPCLS.ini";
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        settings = DriverSettings();
        settings.card = folder + "\\card";
        return true;
    }
    common::Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = "cannot open " + path;
        settings.trace.clear();
        return false;
    }
    std::string text(kMaxSettingsSize + 1, '\0');
    DWORD got = 0;
    const BOOL ok = ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &got, nullptr);
    if (!ok || got > kMaxSettingsSize) {
        error = "cannot read " + path;
        settings.trace.clear();
        return false;
    }
    text.resize(got);
    return ParseDriverSettings(text, folder, settings, error);
}
