// umtp-peer: uMTP-Responder, built from Debian's source package, as a PTP/IP camera on
// 127.0.0.1 whose card is a folder.
//   umtp-peer --card DIR [--port N] [--quiet | --log FILE] [--idle-timeout S] [--conf FILE]
// Its configuration file names the card as its one storage; --conf adds lines of
// umtprd.conf's own syntax (the device's name, strings, buffer sizes). The first line printed
// names the port.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "bridge.h"
#include "umtp_usb.h"

namespace {

peers::Bridge bridge("uMTP-Responder");

// A configuration file of the program's own, removed once read.
std::string WriteConfiguration(const peers::Options& options) {
    char path[] = "/tmp/umtp-peer-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return "";
    close(fd);
    std::ofstream conf(path);
    conf << "loop_on_disconnect 0\n"
         << "storage \"" << options.card << "\" \"card\" \"rw\"\n";
    if (!options.conf.empty()) {
        std::ifstream more(options.conf);
        if (!more.is_open())
            return "";
        std::stringstream text;
        text << more.rdbuf();
        conf << text.str() << "\n";
    }
    return conf ? path : "";
}

} // namespace

// The responder's C code calls these, its file watcher's thread the last one: nothing may
// escape them.
extern "C" int bridge_read_out(unsigned char* buffer, int max) {
    try {
        return bridge.ReadOut(buffer, max);
    } catch (...) {
        return -1;
    }
}
extern "C" int bridge_write_in(const unsigned char* data, int size) {
    try {
        return bridge.WriteIn(data, size);
    } catch (...) {
        return -1;
    }
}
extern "C" int bridge_write_interrupt(const unsigned char* data, int size) {
    try {
        return bridge.WriteInterrupt(data, size);
    } catch (...) {
        return -1;
    }
}

int main(int argc, char** argv) {
    peers::Options options;
    if (!peers::ParseOptions(argc, argv, "umtp-peer", true, options))
        return 2;
    if (options.card.find('"') != std::string::npos) {
        std::fprintf(stderr, "umtp-peer: the configuration file cannot name %s\n",
                     options.card.c_str());
        return 2;
    }
    const std::string conf = WriteConfiguration(options);
    if (conf.empty()) {
        std::fprintf(stderr, "umtp-peer: cannot write its configuration file\n");
        return 2;
    }
    if (!bridge.Start(options))
        return 1;
    const int started = umtp_start(conf.c_str());
    std::remove(conf.c_str());
    if (started != 0)
        return 1;
    bridge.onCancel = umtp_cancel;
    while (bridge.Accept()) {
        umtp_serve();
        bridge.Hangup();
    }
    return 0;
}
