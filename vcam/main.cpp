// vcam: the virtual camera as a PTP/IP server on 127.0.0.1.
//   vcam --profile FILE --card DIR [--port N] [--handshake-timeout S] [--idle-timeout S]
//        [--quiet | --log FILE]
// Port 15740 by default; 0 picks a free port. The first line printed names the port; the
// trace follows it, or goes to the end of FILE, or nowhere with --quiet.
// Serves one session at a time until SIGINT/SIGTERM (Ctrl-C on Windows).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ptp/codes.h"
#include "vcam/card.h"
#include "vcam/profile.h"
#include "vcam/server.h"

namespace {

vcam::Server* runningServer = nullptr;

extern "C" void OnSignal(int) {
    if (runningServer)
        runningServer->Stop();
}

// A whole number from `low` to `high`.
bool ParseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= low && value <= high;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: vcam [--profile FILE] --card DIR [--port N] [--quiet | --log FILE]\n"
                 "            [--handshake-timeout SECONDS] [--idle-timeout SECONDS]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string profilePath, cardPath, logPath;
    long port = ptp::kPtpIpPort;
    long handshakeSeconds = 5, idleSeconds = 600;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--profile" && hasValue)
            profilePath = argv[++i];
        else if (arg == "--card" && hasValue)
            cardPath = argv[++i];
        else if (arg == "--log" && hasValue)
            logPath = argv[++i];
        else if (arg == "--port" && hasValue) {
            if (!ParseNumber(argv[++i], 0, 65535, port))
                return Usage();
        } else if (arg == "--handshake-timeout" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 3600, handshakeSeconds))
                return Usage();
        } else if (arg == "--idle-timeout" && hasValue) {
            if (!ParseNumber(argv[++i], 0, 86400, idleSeconds))
                return Usage();
        } else if (arg == "--quiet")
            quiet = true;
        else
            return Usage();
    }

    vcam::Profile profile;
    std::string error;
    if (!profilePath.empty() && !vcam::LoadProfile(profilePath, profile, error)) {
        std::fprintf(stderr, "vcam: %s\n", error.c_str());
        return 2;
    }
    if (cardPath.empty())
        cardPath = profile.cardFolder;
    if (cardPath.empty())
        return Usage();

    vcam::Card card(cardPath, profile.capacity, profile.freeSpace);
    card.SetClusterSize(profile.clusterSize);
    if (!card.Scan()) {
        std::fprintf(stderr, "vcam: cannot read the card folder %s\n", cardPath.c_str());
        return 2;
    }
    vcam::Server server(profile, card);
    server.SetHandshakeTimeout(static_cast<int>(handshakeSeconds * 1000));
    server.SetIdleTimeout(static_cast<int>(idleSeconds * 1000));
    if (server.Listen("127.0.0.1", static_cast<uint16_t>(port)) != ptp::Status::Ok) {
        std::fprintf(stderr, "vcam: cannot listen on 127.0.0.1:%ld\n", port);
        return 1;
    }
    std::FILE* log = quiet ? nullptr : stdout;
    if (!logPath.empty() && !(log = std::fopen(logPath.c_str(), "a"))) {
        std::fprintf(stderr, "vcam: cannot open the log %s\n", logPath.c_str());
        return 2;
    }
    if (log) {
        server.SetLog([log](const std::string& line) {
            std::fprintf(log, "%s\n", line.c_str());
            std::fflush(log);
        });
    }
    std::printf("vcam listening on 127.0.0.1:%u\n", server.Port());
    std::fflush(stdout);

    runningServer = &server;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    server.Run();
    runningServer = nullptr;
    std::printf("vcam stopped\n");
    return 0;
}
