// vcam: the virtual camera as a PTP/IP server on 127.0.0.1.
//   vcam --profile FILE --card DIR [--port N]
// Port 15740 by default; 0 picks a free port. The first line printed names the port.
// Serves sessions one after another until SIGINT/SIGTERM (Ctrl-C on Windows).
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

int Usage() {
    std::fprintf(stderr, "usage: vcam [--profile FILE] --card DIR [--port N] [--quiet]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string profilePath, cardPath;
    long port = ptp::kPtpIpPort;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--profile" && hasValue)
            profilePath = argv[++i];
        else if (arg == "--card" && hasValue)
            cardPath = argv[++i];
        else if (arg == "--port" && hasValue) {
            char* end = nullptr;
            port = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || port < 0 || port > 65535)
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
    if (!card.Scan()) {
        std::fprintf(stderr, "vcam: cannot read the card folder %s\n", cardPath.c_str());
        return 2;
    }
    vcam::Server server(profile, card);
    if (server.Listen("127.0.0.1", static_cast<uint16_t>(port)) != ptp::Status::Ok) {
        std::fprintf(stderr, "vcam: cannot listen on 127.0.0.1:%ld\n", port);
        return 1;
    }
    if (!quiet) {
        server.SetLog([](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
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
