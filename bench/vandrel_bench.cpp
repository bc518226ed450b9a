// One side of a benchmark row, measured once in a fresh process; bench/bench.py interleaves
// the sides and keeps the statistics. Prints "key value" lines: seconds (the measured part),
// session_seconds (opening and closing the camera included, where there is one) and peak_mib
// (the process's peak working set).
//
//   vandrel_bench send CAMERA_FOLDER FILE...   CameraSendFile of each file
//   vandrel_bench copy DEST_FOLDER FILE...     CopyFileA of each file into DEST_FOLDER
//   vandrel_bench check CAMERA_FOLDER NAME...  CameraFileExists of each name (none on the card)
//   vandrel_bench lookup FOLDER NAME...        FindFirstFileA of each name (none there)
//   vandrel_bench wizard UPDATE_FOLDER         Vandrel.exe from page 2's Next to page 4
//
// CAMERA_FOLDER holds KXPTPCLS.DLL and its KXPTPCLS.ini, which choose the camera.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "camera_link.h"
#include "common/handle.h"
#include "ui_driver.h"

namespace {

double Now() {
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int Report(double seconds, double sessionSeconds) {
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    printf("seconds %.6f\nsession_seconds %.6f\npeak_mib %.2f\n", seconds, sessionSeconds,
           static_cast<double>(memory.PeakWorkingSetSize) / (1024.0 * 1024.0));
    return 0;
}

int Fail(const char* what, const char* item, long code) {
    fprintf(stderr, "vandrel_bench: %s %s: %ld\n", what, item, code);
    return 1;
}

DriverResult KeepGoing(uint32_t, uint32_t, uint32_t) {
    return 0; // the wizard's progress function does as little
}

// Loads the library of `folder`, which reads the settings beside it.
DriverResult OpenCamera(const char* folder) {
    SetDllDirectoryA(folder);
    uint32_t cameras = 0;
    DriverResult r = CameraOpen(nullptr, &cameras);
    return r == 0 && cameras != 1 ? -2 : r;
}

// Opens the camera of `folder`, times `step` on every item, closes the camera. A step returns
// 0, or the exit code once it has said what failed.
template <typename Step> int OnCamera(const char* folder, int count, char** items, Step step) {
    const double start = Now();
    const DriverResult r = OpenCamera(folder);
    if (r != 0)
        return Fail("open", folder, r);
    const double stepsStart = Now();
    for (int i = 0; i < count; ++i) {
        if (const int failed = step(items[i])) {
            CameraClose();
            return failed;
        }
    }
    const double stepsEnd = Now();
    CameraClose();
    return Report(stepsEnd - stepsStart, Now() - start);
}

int Send(const char* folder, int count, char** files) {
    return OnCamera(folder, count, files, [](const char* file) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA(file, GetFileExInfoStandard, &data))
            return Fail("no file", file, static_cast<long>(GetLastError()));
        const uint32_t size = data.nFileSizeLow;
        const DriverResult r = CameraSendFile(file, &size, file, KeepGoing);
        return r == 0 ? 0 : Fail("send", file, r);
    });
}

const char* BaseName(const char* path) {
    const char* slash = strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

int Copy(const char* destination, int count, char** files) {
    const double start = Now();
    for (int i = 0; i < count; ++i) {
        const std::string target = std::string(destination) + "\\" + BaseName(files[i]);
        if (!CopyFileA(files[i], target.c_str(), FALSE))
            return Fail("copy", files[i], static_cast<long>(GetLastError()));
    }
    const double seconds = Now() - start;
    return Report(seconds, seconds);
}

int Check(const char* folder, int count, char** names) {
    return OnCamera(folder, count, names, [](const char* name) {
        DriverResult failure = 0;
        const DriverResult r = CameraFileExists(name, &failure);
        if (failure != 0)
            return Fail("check", name, failure);
        return r == 0 ? 0 : Fail("already on the card", name, r);
    });
}

int Lookup(const char* folder, int count, char** names) {
    const double start = Now();
    for (int i = 0; i < count; ++i) {
        WIN32_FIND_DATAA item;
        const common::FindHandle search(
            FindFirstFileA((std::string(folder) + "\\" + names[i]).c_str(), &item));
        if (search)
            return Fail("already there", names[i], 0);
    }
    const double seconds = Now() - start;
    return Report(seconds, seconds);
}

// Waits for a page, giving up at once when the wizard shows a message instead.
bool ReachPage(check::WizardRun& run, int firstLineId) {
    for (int poll = 1; poll < 30000; ++poll) {
        if (run.WaitForPage(firstLineId, 0)) // looks once, then waits 20 ms
            return true;
        check::MessageBoxSeen box;
        if (poll % 10 == 0 && run.WaitForBox(box, 0)) {
            fprintf(stderr, "vandrel_bench: the wizard says: %s\n", box.text.c_str());
            return false;
        }
    }
    return false;
}

int Wizard(const char* folder) {
    const std::string exe = std::string(folder) + "\\Vandrel.exe";
    check::WizardRun run(exe, folder);
    if (!run.started() || !run.WaitForSheet() || !run.WaitForPage(1100))
        return Fail("no wizard in", folder, 0);
    run.Press(check::kNext);
    if (!run.WaitForPage(1200))
        return Fail("no preparation page in", folder, 0);
    const double start = Now();
    run.Press(check::kNext);
    if (!ReachPage(run, 1300))
        return Fail("the checks stopped in", folder, 0);
    run.Press(check::kNext);
    if (!ReachPage(run, 1400))
        return Fail("the copy stopped in", folder, 0);
    const double seconds = Now() - start;
    run.Press(check::kCancel); // no readme in the folder: nothing opens
    DWORD code = 0;
    run.WaitForExit(code);
    return Report(seconds, seconds);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: vandrel_bench send|copy|check|lookup|wizard FOLDER [ITEM...]\n");
        return 2;
    }
    const std::string measure = argv[1];
    const char* folder = argv[2];
    if (measure == "send")
        return Send(folder, argc - 3, argv + 3);
    if (measure == "copy")
        return Copy(folder, argc - 3, argv + 3);
    if (measure == "check")
        return Check(folder, argc - 3, argv + 3);
    if (measure == "lookup")
        return Lookup(folder, argc - 3, argv + 3);
    if (measure == "wizard")
        return Wizard(folder);
    fprintf(stderr, "vandrel_bench: unknown measure %s\n", measure.c_str());
    return 2;
}
