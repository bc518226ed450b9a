// The wizard sheet in this process, driven from a second thread: every run that fails shows the
// user exactly one message, also when camera events and failures of the checks or the copy meet.
#include <windows.h>

#include <commctrl.h>
#include <prsht.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "camera_events.h"
#include "camera_link.h"
#include "copy_dialog.h"
#include "firmware_job.h"
#include "link_reset.h"
#include "resource_ids.h"
#include "ui_driver.h"
#include "scenario.h"
#include "wizard.h"

namespace {

const char kInfo[] = "[Firmware File Name]\nUPDATE.FIR\n[Camera Model Name]\nTarvo Camera X1\n"
                     "[Firmware Version]\n1.0.2.0\n[CF Capacity]\n2048\n";
const char kNoCamera[] = "No camera detected.\nCheck power and cable connection";
const char kLowBattery[] = "Low battery caused camera powerdown.\nReplace battery, charge battery "
                           "pack or connect to AC adapter before reconnecting.\nClick [OK] to "
                           "close the program.";

// A visible dialog of this process: a message box (its text static) or the sheet.
HWND OwnDialog(bool box) {
    return check::FindWindowOf(GetCurrentProcessId(), "#32770", [box](HWND w) {
        return GetDlgItem(w, box ? 0xFFFF : IDC_WIZARD_NEXT) != nullptr;
    });
}

HWND WaitFor(bool box, const char* text, int timeoutMs = 20000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (HWND found = OwnDialog(box)) {
            char seen[1024] = "";
            GetWindowTextA(GetDlgItem(found, 0xFFFF), seen, sizeof seen);
            if (!box || !text || strcmp(seen, text) == 0)
                return found;
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
    testing_support::WriteFileBytes(scenario.Path("FirmInfo.txt"), kInfo);
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
            HWND box = OwnDialog(true);
            if (box && box != question) {
                thirdBox = true;
                char text[1024] = "";
                GetWindowTextA(GetDlgItem(box, 0xFFFF), text, sizeof text);
                problems.push_back(std::string("another box: ") + text);
                Click(box, IDOK);
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
// box, until the sheet closes. Gives the text of every box, in order. With `closeAndReport`,
// the progress dialog gets WM_CLOSE as soon as it is up, and a report follows, as a camera
// event's would.
std::vector<std::string> WalkUntilTheSheetCloses(testing_support::Scenario& scenario,
                                                 MessageId closeAndReport = 0) {
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(scenario.folder().c_str());
    scenario.UseLibraryHere();
    wizardState = WizardState{};
    std::atomic<bool> sheetDone{false};
    std::vector<std::string> texts;
    std::thread user([&] {
        HWND sheet = WaitFor(false, nullptr);
        for (int next = 0; sheet && !sheetDone; Sleep(20)) {
            HWND page = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
            // Page 1 and page 2 once each; page 3 once, to copy.
            if (next < 2 || (next == 2 && GetDlgItem(page, IDC_CONFIRM_LINE0))) {
                Click(sheet, IDC_WIZARD_NEXT);
                Sleep(300);
                ++next;
            }
            HWND progress = progressDialog;
            if (closeAndReport && IsWindow(progress) && IsWindowVisible(progress)) {
                SendMessageA(progress, WM_CLOSE, 0, 0);
                PostMessageA(ErrorTargetWindow(), UWM_REPORT_ERROR, 0, closeAndReport);
                closeAndReport = 0;
            }
            HWND box = OwnDialog(true);
            char text[1024] = "";
            if (box && GetWindowTextA(GetDlgItem(box, 0xFFFF), text, sizeof text)) {
                texts.push_back(text);
                SetWindowTextA(GetDlgItem(box, 0xFFFF), ""); // read once
                Click(box, IDOK);
            }
        }
    });
    RunWizardSheet(GetModuleHandleA(nullptr));
    sheetDone = true;
    user.join();
    SetCurrentDirectoryA(previous);
    testing_support::ResetCameraLink();
    return texts;
}

TEST(WizardPages, EveryFailedRunShowsExactlyOneMessage) {
    const struct {
        const char* profile;
        UINT message;
    } rows[] = {
        // The lookup for the update fails after the event: the event names the cause.
        {"fault.power_down.operation = GetObjectHandles\n", IDS_MSG_POWER_LOW_BATTERY},
        // An event that reports nothing: page 3 shows the failed copy's internal error.
        {"fault.power_down.after_bytes = 300000\nfault.power_down.reason = 3\n"
         "fault.power_down.data = 1\n",
         IDS_MSG_INTERNAL_ERROR},
        {"fault.drop.after_bytes = 300000\n", IDS_MSG_CONNECTION_PROBLEM},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.profile);
        testing_support::Scenario scenario(row.profile);
        // A photo on the card, so that looking for the update asks for the card's objects.
        testing_support::WriteFileBytes(scenario.card() + "\\IMG_0001.JPG", "photo");
        testing_support::WriteFileBytes(scenario.Path("UPDATE.FIR"),
                                        testing_support::PatternBytes(1 << 20, 5));
        testing_support::WriteFileBytes(scenario.Path("FirmInfo.txt"), kInfo);
        char expected[1024] = "";
        LoadStringA(GetModuleHandleA(nullptr), row.message, expected, sizeof expected);
        EXPECT_EQ(WalkUntilTheSheetCloses(scenario), std::vector<std::string>{expected});
        EXPECT_EQ(wizardState.errorShown, 1);
        EXPECT_EQ(firmwareJob.loaded, 0) << "the job is released";
    }
}

// A report that page 3 shows while the copy runs ends the wizard, but the job and the camera
// stay until the copy is over: the update still arrives whole.
TEST(WizardPages, AReportOnPage3DuringTheCopyHoldsTheReleaseBack) {
    testing_support::Scenario scenario("delay.ms = 1000\ndelay.operation = SendObject\n");
    const std::string first = testing_support::PatternBytes(1 << 20, 5);
    const std::string second = testing_support::PatternBytes(1000, 6);
    testing_support::WriteFileBytes(scenario.Path("UPDATE.FIR"), first);
    testing_support::WriteFileBytes(scenario.Path("SECOND.BIN"), second);
    testing_support::WriteFileBytes(scenario.Path("FirmInfo.txt"),
                                    std::string("[Firmware File Name]\nSECOND.BIN\n") + kInfo);
    char expected[1024] = "";
    LoadStringA(GetModuleHandleA(nullptr), IDS_MSG_POWER_IDLE, expected, sizeof expected);
    EXPECT_EQ(WalkUntilTheSheetCloses(scenario, IDS_MSG_POWER_IDLE),
              std::vector<std::string>{expected});
    const auto card = testing_support::ListFiles(scenario.card());
    EXPECT_EQ(card,
              (std::map<std::string, std::string>{{"UPDATE.FIR", first}, {"SECOND.BIN", second}}));
    EXPECT_EQ(firmwareJob.loaded, 0) << "released once the copy was over";
}

} // namespace
