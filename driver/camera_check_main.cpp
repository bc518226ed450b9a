// KxCameraCheck.exe: the field check, its report on the console and in KxCameraCheck.txt in the
// current folder. It takes no arguments but --help.
#include <cstdio>
#include <cstring>
#include <string>

#include "camera_check.h"

namespace {

const char kUsage[] =
    "usage: KxCameraCheck [--help]\n"
    "Run it once with a camera attached by USB, switched on in its PC (MTP/PTP) mode and held by\n"
    "no other program, from a folder you can write to. It lists the portable devices, opens the\n"
    "first camera, prints its DeviceInfo, its stores and the model name the wizard compares\n"
    "(give it to VandrelCheck --camera-model), sends a 1 MiB file KXCHECK.BIN, reads it back,\n"
    "deletes it and listens for events for five seconds. The report is printed and written to\n"
    "KxCameraCheck.txt. Exit code: 0 passed, 1 failed or refused, 2 Windows Portable Devices\n"
    "is missing or the arguments are wrong.\n";

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const bool help = strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0 ||
                          strcmp(argv[i], "/?") == 0;
        std::fprintf(help ? stdout : stderr, "%s%s%s",
                     help ? "" : "KxCameraCheck: unknown argument ", help ? "" : argv[i],
                     help ? "" : "\n");
        std::fputs(kUsage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    int result = 1;
    std::string report;
    try {
        ComApartment apartment;
        result = RunCameraCheck(SystemWpdFactory(), CameraCheckOptions(), report);
    } catch (...) {
        report += "The check stopped on an internal error.\r\n";
    }
    std::fputs(report.c_str(), stdout);
    if (std::FILE* file = std::fopen("KxCameraCheck.txt", "wb")) {
        std::fwrite(report.data(), 1, report.size(), file);
        std::fclose(file);
    }
    return result;
}
