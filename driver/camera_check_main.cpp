// KxCameraCheck.exe: the field check, its report on the console and in KxCameraCheck.txt in the
// current folder.
#include <cstdio>
#include <string>

#include "camera_check.h"

int main() {
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
