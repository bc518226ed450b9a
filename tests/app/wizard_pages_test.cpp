// The wizard sheet in this process, driven from a second thread: every run that fails shows the
// user exactly one message, also when camera events and failures of the checks or the copy meet.
#include <windows.h>

#include <commctrl.h>
#include <prsht.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "camera_events.h"
#include "camera_link.h"
#include "firmware_job.h"
#include "link_reset.h"
#include "resource_ids.h"
#include "scenario.h"
#include "wizard.h"

namespace {

const char kNoCamera[] = "No camera detected.\nCheck power and cable connection";
const char kLowBattery[] = "Low battery caused camera powerdown.\nReplace battery, charge battery "
                           "pack or connect to AC adapter before reconnecting.\nClick [OK] to "
                           "close the program.";

struct Found {
    HWND window;
    bool wantBox;
};

BOOL CALLBACK FindOwnDialog(HWND window, LPARAM lParam) {
    Found* f = reinterpret_cast<Found*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char cls[64] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (pid != GetCurrentProcessId() || strcmp(cls, "#32770") != 0 || !IsWindowVisible(window))
        return TRUE;
    const bool isBox = GetDlgItem(window, 0xFFFF) != nullptr;
    const bool isSheet = GetDlgItem(window, IDC_WIZARD_NEXT) != nullptr;
    if ((f->wantBox && isBox) || (!f->wantBox && isSheet)) {
        f->window = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitFor(bool box, const char* text, int timeoutMs = 20000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        Found f = {nullptr, box};
        EnumWindows(FindOwnDialog, reinterpret_cast<LPARAM>(&f));
        if (f.window) {
            char seen[1024] = "";
            GetWindowTextA(GetDlgItem(f.window, 0xFFFF), seen, sizeof seen);
            if (!box || !text || strcmp(seen, text) == 0)
                return f.window;
        }
        Sleep(20);
    }
    return nullptr;
}

void Click(HWND window, int id) {
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

TEST(WizardPages, ReportDuringTheRetryQuestionHoldsTheReleaseBack) {
    testing_support::Scenario scenario("camera.count = 0\n");
    testing_support::WriteFileBytes(scenario.Path("FirmInfo.txt"),
                                    "[Firmware File Name]\nUPDATE.FIR\n[Camera Model Name]\n"
                                    "Tarvo Camera X1\n[Firmware Version]\n1.0.2.0\n"
                                    "[CF Capacity]\n64\n");
    testing_support::WriteFileBytes(scenario.Path("UPDATE.FIR"), "firmware");
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(scenario.folder().c_str());
    scenario.UseLibraryHere();

    std::atomic<bool> sheetDone{false};
    std::vector<std::string> problems;
    int loadedDuringQuestion = -1;
    bool entriesDuringQuestion = false;
    bool thirdBox = false;
    std::thread user([&] {
        HWND sheet = WaitFor(false, nullptr);
        if (!sheet)
            return problems.push_back("no sheet");
        Click(sheet, IDC_WIZARD_NEXT); // to page 2
        Sleep(300);
        Click(sheet, IDC_WIZARD_NEXT); // run the checks
        HWND question = WaitFor(true, kNoCamera);
        if (!question)
            return problems.push_back("no retry question");
        // A camera event's report reaches page 2 while the question waits.
        PostMessageA(ErrorTargetWindow(), UWM_REPORT_ERROR, 0, IDS_MSG_POWER_LOW_BATTERY);
        HWND report = WaitFor(true, kLowBattery);
        if (!report)
            return problems.push_back("the report was not shown");
        Click(report, IDOK);
        Sleep(1000); // the posted Cancel has been handled: the sheet reset its pages
        loadedDuringQuestion = firmwareJob.loaded;
        entriesDuringQuestion = firmwareJob.entryHead && firmwareJob.entryHead->name;
        if (!IsWindow(question))
            return problems.push_back("the question closed under the user");
        Click(question, IDCANCEL);
        for (int i = 0; i < 250 && !sheetDone; ++i) {
            Found f = {nullptr, true};
            EnumWindows(FindOwnDialog, reinterpret_cast<LPARAM>(&f));
            if (f.window && f.window != question) {
                thirdBox = true;
                char text[1024] = "";
                GetWindowTextA(GetDlgItem(f.window, 0xFFFF), text, sizeof text);
                problems.push_back(std::string("another box: ") + text);
                Click(f.window, IDOK);
            }
            Sleep(20);
        }
    });
    const INT_PTR result = RunWizardSheet(GetModuleHandleA(nullptr));
    sheetDone = true;
    user.join();
    SetCurrentDirectoryA(previous);

    std::string all;
    for (const std::string& p : problems)
        all += p + "; ";
    EXPECT_TRUE(problems.empty()) << all;
    EXPECT_NE(result, -1);
    EXPECT_EQ(loadedDuringQuestion, 1) << "the job stays while the checks still run";
    EXPECT_TRUE(entriesDuringQuestion);
    EXPECT_FALSE(thirdBox) << "the checks' own failure is not shown after the report";
    const FirmwareJob empty = {};
    EXPECT_EQ(memcmp(&firmwareJob, &empty, sizeof empty), 0) << "released once the checks returned";
    EXPECT_EQ(cameraLink.isOpen, 0);
    EXPECT_EQ(wizardState.errorShown, 1);
    EXPECT_EQ(wizardState.openReadmeOnExit, 0);
    testing_support::ResetCameraLink();
}

// Walks a whole run as a user: Next to the checks, Next on page 3 to copy, OK on every message
// box, until the sheet closes. Gives the text of every box, in order.
std::vector<std::string> WalkUntilTheSheetCloses(testing_support::Scenario& scenario) {
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(scenario.folder().c_str());
    scenario.UseLibraryHere();
    wizardState = WizardState{};

    std::atomic<bool> sheetDone{false};
    std::vector<std::string> texts;
    std::thread user([&] {
        HWND sheet = WaitFor(false, nullptr);
        if (!sheet)
            return;
        Click(sheet, IDC_WIZARD_NEXT); // to page 2
        Sleep(300);
        Click(sheet, IDC_WIZARD_NEXT); // run the checks
        bool copyStarted = false;
        std::vector<HWND> answered;
        while (!sheetDone) {
            HWND page = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
            if (!copyStarted && page && GetDlgItem(page, IDC_CONFIRM_LINE0)) {
                copyStarted = true;
                Click(sheet, IDC_WIZARD_NEXT);
            }
            Found f = {nullptr, true};
            EnumWindows(FindOwnDialog, reinterpret_cast<LPARAM>(&f));
            if (f.window &&
                std::find(answered.begin(), answered.end(), f.window) == answered.end()) {
                char text[1024] = "";
                GetWindowTextA(GetDlgItem(f.window, 0xFFFF), text, sizeof text);
                texts.push_back(text);
                answered.push_back(f.window);
                Click(f.window, IDOK);
            }
            Sleep(20);
        }
    });
    RunWizardSheet(GetModuleHandleA(nullptr));
    sheetDone = true;
    user.join();
    SetCurrentDirectoryA(previous);
    testing_support::ResetCameraLink();
    return texts;
}

std::string Text(UINT id) {
    char text[1024] = "";
    LoadStringA(GetModuleHandleA(nullptr), id, text, sizeof text);
    return text;
}

// One file of 1 MiB; a photo on the card, so that looking for the update asks for its objects.
void LayUpdate(testing_support::Scenario& scenario) {
    testing_support::WriteFileBytes(scenario.Path("FirmInfo.txt"),
                                    "[Firmware File Name]\nUPDATE.FIR\n[Camera Model Name]\n"
                                    "Tarvo Camera X1\n[Firmware Version]\n1.0.2.0\n"
                                    "[CF Capacity]\n2048\n");
    testing_support::WriteFileBytes(scenario.Path("UPDATE.FIR"),
                                    testing_support::PatternBytes(1 << 20, 5));
    testing_support::WriteFileBytes(scenario.card() + "\\IMG_0001.JPG", "photo");
}

TEST(WizardPages, EveryFailedRunShowsExactlyOneMessage) {
    const struct {
        const char* name;
        const char* profile;
        UINT message;
    } rows[] = {
        // The lookup fails after the event: the event names the cause.
        {"power-down while looking for the update",
         "fault.power_down.operation = GetObjectHandles\n", IDS_MSG_POWER_LOW_BATTERY},
        {"a busy camera while looking for the update",
         "fault.response.operation = GetObjectInfo\nfault.response.code = 0x2019\n",
         IDS_MSG_PORT_BUSY},
        // An event that reports nothing: page 3 shows the failed copy's internal error.
        {"a silent card-cover event during the copy",
         "fault.power_down.after_bytes = 300000\nfault.power_down.reason = 3\n"
         "fault.power_down.data = 1\n",
         IDS_MSG_INTERNAL_ERROR},
        {"a dropped link during the copy", "fault.drop.after_bytes = 300000\n",
         IDS_MSG_CONNECTION_PROBLEM},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testing_support::Scenario scenario(row.profile);
        LayUpdate(scenario);
        EXPECT_EQ(WalkUntilTheSheetCloses(scenario), std::vector<std::string>{Text(row.message)});
        EXPECT_EQ(wizardState.errorShown, 1);
        EXPECT_EQ(wizardState.openReadmeOnExit, 0);
        EXPECT_EQ(firmwareJob.loaded, 0) << "the job is released";
    }
}

} // namespace
