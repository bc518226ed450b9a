// The real Vandrel.exe under Wine, walked through by a user's paths: pages, questions,
// messages, the card afterwards, the exit code and the readme.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "resource_ids.h"
#include "scenario.h"
#include "ui_driver.h"

using check::MessageBoxSeen;
using check::WizardRun;
using testing_support::ListFiles;
using testing_support::PatternBytes;
using testing_support::Scenario;
using testing_support::WriteFileBytes;

namespace {

const char kFirmInfo[] = "[Firmware Folder Name]\nFIRMWARE\n--------------------\n"
                         "[Firmware File Name]\nUPDATE.FIR\n\n"
                         "[Camera Model Name]\nTarvo Camera X1\nTarvo Camera X1 Pro\n\n"
                         "[Firmware Version]\n1.0.2.0\n\n[CF Capacity]\n2048\n";

const char kClose[] = "Close this program?";
const std::map<int, std::string> kMessages = {
    {IDS_MSG_UPDATE_FILES_MISSING,
     "File(s) containing firmware update cannot be found.\nClick [OK] to close the program."},
    {IDS_MSG_CANNOT_CONNECT, "Cannot connect to camera.\nClick [OK] to close the program."},
    {IDS_MSG_BATTERY_LOW,
     "Camera's battery charge is low.\nCharge the battery or use an AC adapter.\nClick [OK] "
     "to close the program."},
    {IDS_MSG_WRONG_MODEL,
     "This firmware upgrade is not intended for the connected camera.\nClick [OK] to close "
     "the program."},
    {IDS_MSG_CARD_SPACE,
     "The memory card does not have sufficient free space.\nFormat the memory card and "
     "reconnect the camera.\nClick [OK] to close the program."},
    {IDS_MSG_INFO_NOT_FOUND, "\"FirmInfo.txt\" cannot be found.\nClick [OK] to close the program."},
    {IDS_MSG_INFO_INCORRECT, "\"FirmInfo.txt\" is incorrect. \nClick [OK] to close the program."},
    {IDS_MSG_NO_CARD,
     "Memory card not found.\nInsert a memory card and reconnect the camera.\nClick [OK] to "
     "close the program."},
    {IDS_MSG_CONNECTION_PROBLEM,
     "There is a problem with the camera connection. \nPlease exit application and check the "
     "cable, camera battery, power and mode dial.\nClick [OK] to close the program."},
    {IDS_MSG_POWER_LOW_BATTERY,
     "Low battery caused camera powerdown.\nReplace battery, charge battery pack or connect "
     "to AC adapter before reconnecting.\nClick [OK] to close the program."},
    {IDS_MSG_ALREADY_ON_CARD,
     "Saving firmware update to camera.\nFormat the camera memory card and restart this "
     "program.\nClick [OK] to close the program."},
    {IDS_MSG_TRANSMISSION_ERROR,
     "A transmission error occurred during the copy process.\nFormat the camera memory card "
     "and restart this program.\nClick [OK] to close the program."},
    {IDS_MSG_MULTIPLE_CAMERAS,
     "Multiple cameras are connected.\nConnect only the to be updated and restart this "
     "program.\nClick [OK] to close the program."},
    {IDS_ASK_NO_CAMERA_RETRY, "No camera detected.\nCheck power and cable connection"},
    {IDS_MSG_WRITE_PROTECTED,
     "The memory card is write protected.\r\nRemove write protection or use a different "
     "memory card.\r\nClick [OK] to close the program."},
};

// An update folder with the real program and library beside the update, as shipped.
struct Update {
    explicit Update(const std::string& profile = "") : scenario(profile, "vup") {
        CopyFileA((testing_support::ExeFolder() + "\\..\\product\\Vandrel.exe").c_str(),
                  exe().c_str(), FALSE);
        WriteFileBytes(scenario.Path("FirmInfo.txt"), kFirmInfo);
        WriteFileBytes(scenario.Path("UPDATE.FIR"), PatternBytes(300000, 1));
        testing_support::MakeFolders(scenario.Path("FIRMWARE\\DATA\\DEEP"));
        WriteFileBytes(scenario.Path("FIRMWARE\\MAIN.BIN"), PatternBytes(70000, 2));
        WriteFileBytes(scenario.Path("FIRMWARE\\DATA\\TABLE.DAT"), PatternBytes(1025, 3));
        WriteFileBytes(scenario.Path("FIRMWARE\\DATA\\DEEP\\EMPTY.DAT"), "");
        WriteFileBytes(scenario.Path("readme.txt"), "Install the update from the card.\r\n");
    }
    std::string exe() const { return scenario.Path("Vandrel.exe"); }
    // What the card must hold after a complete copy: every file under its last component.
    std::map<std::string, std::string> Expected() const {
        std::map<std::string, std::string> files;
        std::string bytes;
        for (const char* path : {"UPDATE.FIR", "FIRMWARE\\MAIN.BIN", "FIRMWARE\\DATA\\TABLE.DAT",
                                 "FIRMWARE\\DATA\\DEEP\\EMPTY.DAT"}) {
            testing_support::ReadFileBytes(scenario.Path(path), bytes);
            const std::string p = path;
            files[p.substr(p.find_last_of('\\') + 1)] = bytes;
        }
        return files;
    }
    Scenario scenario;
};

struct Wizard : ::testing::Test {
    void TearDown() override { check::CloseNotepads(); }

    // Starts the wizard and waits for page 1.
    static void Start(WizardRun& run) {
        ASSERT_TRUE(run.started());
        ASSERT_NE(run.WaitForSheet(), nullptr);
        ASSERT_TRUE(run.WaitForPage(1100));
    }
    static void ExpectBox(WizardRun& run, const std::string& text, int button,
                          const std::vector<int>& buttons = {IDOK}, char icon = 'W') {
        MessageBoxSeen box;
        ASSERT_TRUE(run.WaitForBox(box)) << "expected: " << text;
        EXPECT_EQ(box.caption, "Vandrel");
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(box.buttons, buttons);
        EXPECT_EQ(box.icon, icon);
        run.Answer(box, button);
    }
    // After an error: the wizard closes by itself, with no question and no readme.
    static void ExpectClosedWithoutReadme(WizardRun& run) {
        DWORD code = 1234;
        if (!run.WaitForExit(code)) {
            MessageBoxSeen box;
            const bool up = run.WaitForBox(box, 100);
            FAIL() << "the wizard must close after an error"
                   << (up ? "; a box is up: " + box.text : std::string());
        }
        EXPECT_EQ(code, 0u);
        Sleep(500);
        EXPECT_EQ(check::FindWindowByTitle("Notepad", "readme"), nullptr);
    }
    static void ToPage3(WizardRun& run) {
        run.Press(check::kNext);
        ASSERT_TRUE(run.WaitForPage(1200));
        run.Press(check::kNext);
        ASSERT_TRUE(run.WaitForPage(1300));
    }
};

TEST_F(Wizard, HappyPathCopiesTheUpdateAndOpensTheReadme) {
    Update update;
    WizardRun run(update.exe(), update.scenario.folder());
    Start(run);
    EXPECT_EQ(check::WindowStyle(run.WaitForSheet()) & WS_SYSMENU, 0) << "no system menu";

    auto page1 = run.PageTexts();
    EXPECT_EQ(page1[1100], "This program copies the firmware upgrade for Tarvo cameras to a "
                           "memory card in a ");
    EXPECT_EQ(page1[1101], "camera via a cable.");
    EXPECT_EQ(page1[1102], "");
    EXPECT_EQ(page1[1105], "(Device driver installation is not required for customers using "
                           "Windows XP.)")
        << "string 2 goes on after its line break on a static of its own";
    EXPECT_EQ(page1[1107], "[ Customers using Windows 98/2000 ]");
    EXPECT_EQ(page1[1108], "Install Tarvo Camera TWAIN Driver.");
    EXPECT_EQ(page1[1110], "[ Customers using Windows Me ]");
    EXPECT_EQ(page1[1111], "Install Tarvo Camera WIA Driver.");
    EXPECT_FALSE(run.ButtonVisible(check::kBack));
    EXPECT_EQ(run.ButtonText(check::kNext), "Next >");
    EXPECT_EQ(run.ButtonText(check::kCancel), "Cancel");

    run.Press(check::kNext);
    ASSERT_TRUE(run.WaitForPage(1200));
    auto page2 = run.PageTexts();
    EXPECT_EQ(page2[1200], "Follow the procedures below.");
    EXPECT_EQ(page2[1201], "1.  Format the camera memory card.");
    EXPECT_EQ(page2[1204], "");
    EXPECT_EQ(page2[1205], "[Note]");
    EXPECT_EQ(page2[1209],
              "4.  Click the [Next] button after you have finished the procedures above. ");
    EXPECT_TRUE(run.ButtonVisible(check::kBack));

    run.Press(check::kNext);
    ASSERT_TRUE(run.WaitForPage(1300));
    auto page3 = run.PageTexts();
    EXPECT_EQ(page3[1300], "Copy the firmware update to the following camera memory card.");
    EXPECT_EQ(page3[1302], "Camera Model:  Tarvo Camera X1");
    EXPECT_EQ(page3[1304], "Current camera firmware version:  1.0.1.2");
    EXPECT_EQ(page3[1305], "Upgrade firmware version:  1.0.2.0");
    EXPECT_EQ(page3[1307], "Click [Next] to start the copy to the camera memory card.");

    run.Press(check::kNext);
    ASSERT_TRUE(run.WaitForPage(1400, 60000));
    auto page4 = run.PageTexts();
    EXPECT_EQ(page4[1400], "Firmware update has been copied to the camera memory card.");
    EXPECT_EQ(page4[1402], "1.  Detach the cable from the camera.");
    EXPECT_EQ(page4[1403], "2.  Click the [Finish] button to close the program.");
    EXPECT_EQ(run.ButtonText(check::kCancel), "Finish");
    EXPECT_FALSE(run.ButtonVisible(check::kBack));
    EXPECT_FALSE(run.ButtonVisible(check::kNext));
    EXPECT_TRUE(ListFiles(update.scenario.card()) == update.Expected());

    run.Press(check::kCancel);
    EXPECT_FALSE(run.BoxShowing()) << "Finish asks nothing";
    DWORD code = 1234;
    ASSERT_TRUE(run.WaitForExit(code));
    EXPECT_EQ(code, 0u);
    HWND notepad = nullptr;
    for (int i = 0; i < 200 && !notepad; ++i, Sleep(50))
        notepad = check::FindWindowByTitle("Notepad", "readme");
    EXPECT_NE(notepad, nullptr) << "Notepad opens the readme";
}

TEST_F(Wizard, WithoutAReadmeNothingIsLaunched) {
    Update update;
    DeleteFileA(update.scenario.Path("readme.txt").c_str());
    WizardRun run(update.exe(), update.scenario.folder());
    Start(run);
    ToPage3(run);
    run.Press(check::kNext);
    ASSERT_TRUE(run.WaitForPage(1400, 60000));
    run.Press(check::kCancel);
    DWORD code = 1234;
    ASSERT_TRUE(run.WaitForExit(code));
    EXPECT_EQ(code, 0u);
    Sleep(1000);
    EXPECT_EQ(check::FindWindowByTitle("Notepad", ""), nullptr);
    EXPECT_TRUE(ListFiles(update.scenario.card()) == update.Expected());
}

TEST_F(Wizard, ASecondInstanceEndsAtOnceAndShowsNothing) {
    Update update;
    WizardRun first(update.exe(), update.scenario.folder());
    Start(first);
    WizardRun second(update.exe(), update.scenario.folder());
    DWORD code = 1234;
    ASSERT_TRUE(second.WaitForExit(code, 20000));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(second.FindTopWindow("#32770"), nullptr);
    EXPECT_TRUE(first.WaitForPage(1100)) << "the first instance runs on";
}

TEST_F(Wizard, CancelAsksOnPagesOneToThree) {
    for (int page : {1100, 1200, 1300}) {
        Update update;
        WizardRun run(update.exe(), update.scenario.folder());
        Start(run);
        if (page >= 1200) {
            run.Press(check::kNext);
            ASSERT_TRUE(run.WaitForPage(1200));
        }
        if (page >= 1300) {
            run.Press(check::kNext);
            ASSERT_TRUE(run.WaitForPage(1300));
        }
        run.Press(check::kCancel);
        ExpectBox(run, kClose, IDNO, {IDYES, IDNO}, 'I');
        EXPECT_TRUE(run.WaitForPage(page)) << "No keeps the page";
        run.Press(check::kCancel);
        ExpectBox(run, kClose, IDYES, {IDYES, IDNO}, 'I');
        ExpectClosedWithoutReadme(run);
        EXPECT_TRUE(ListFiles(update.scenario.card()).empty());
    }
}

TEST_F(Wizard, BackFromPageThreeAndNextRunsTheChecksAgain) {
    Update update;
    WizardRun run(update.exe(), update.scenario.folder());
    Start(run);
    ToPage3(run);
    // Another camera model and firmware: the checks pass again, page 3 keeps its first values.
    update.scenario.SetProfile("camera.model = Tarvo Camera X1 Pro\ncamera.firmware = 9.9.9.9\n");
    run.Press(check::kBack);
    ASSERT_TRUE(run.WaitForPage(1200));
    run.Press(check::kNext);
    ASSERT_TRUE(run.WaitForPage(1300));
    auto page3 = run.PageTexts();
    EXPECT_EQ(page3[1302], "Camera Model:  Tarvo Camera X1");
    EXPECT_EQ(page3[1304], "Current camera firmware version:  1.0.1.2");
    // And with the update now on the card, the third run of the checks stops.
    run.Press(check::kBack);
    ASSERT_TRUE(run.WaitForPage(1200));
    WriteFileBytes(update.scenario.card() + "\\update.fir", "old copy");
    run.Press(check::kNext);
    ExpectBox(run, kMessages.at(IDS_MSG_ALREADY_ON_CARD), IDOK);
    ExpectClosedWithoutReadme(run);
}

struct CheckFailure {
    const char* name;
    const char* profile;
    int message;
    void (*prepare)(Update&);
};

void NoFirmInfo(Update& u) {
    DeleteFileA(u.scenario.Path("FirmInfo.txt").c_str());
}
void Malformed(Update& u) {
    WriteFileBytes(u.scenario.Path("FirmInfo.txt"), "[Firmware Notes]\nx\n");
}
void MissingEntry(Update& u) {
    DeleteFileA(u.scenario.Path("UPDATE.FIR").c_str());
}
void OnCard(Update& u) {
    WriteFileBytes(u.scenario.card() + "\\Table.dat", "already here");
}

TEST_F(Wizard, EachFailedCheckShowsItsMessageOnceAndCloses) {
    const CheckFailure rows[] = {
        {"missing FirmInfo.txt", "", IDS_MSG_INFO_NOT_FOUND, NoFirmInfo},
        {"malformed FirmInfo.txt", "", IDS_MSG_INFO_INCORRECT, Malformed},
        {"missing entry", "", IDS_MSG_UPDATE_FILES_MISSING, MissingEntry},
        {"two cameras", "camera.count = 2\n", IDS_MSG_MULTIPLE_CAMERAS, nullptr},
        {"low battery", "battery.state = 2\n", IDS_MSG_BATTERY_LOW, nullptr},
        {"wrong model", "camera.model = Tarvo Camera X2\n", IDS_MSG_WRONG_MODEL, nullptr},
        {"no card", "card.present = no\n", IDS_MSG_NO_CARD, nullptr},
        {"write-protected card", "card.write_protected = yes\n", IDS_MSG_WRITE_PROTECTED, nullptr},
        {"card too full", "card.free = 2047K\n", IDS_MSG_CARD_SPACE, nullptr},
        {"update on the card", "", IDS_MSG_ALREADY_ON_CARD, OnCard},
    };
    for (const CheckFailure& row : rows) {
        SCOPED_TRACE(row.name);
        Update update(row.profile);
        if (row.prepare)
            row.prepare(update);
        WizardRun run(update.exe(), update.scenario.folder());
        Start(run);
        run.Press(check::kNext);
        ASSERT_TRUE(run.WaitForPage(1200));
        run.Press(check::kNext);
        ExpectBox(run, kMessages.at(row.message), IDOK);
        ExpectClosedWithoutReadme(run);
        EXPECT_FALSE(run.BoxShowing());
    }
}

TEST_F(Wizard, NoCameraAsksRetryUntilCancel) {
    // A virtual camera that is not attached, and a release without settings: USB cameras only,
    // and under Wine there is no Windows Portable Devices to list one. Neither leaves anything
    // beside the library.
    for (bool settings : {true, false}) {
        Update update("camera.count = 0\n");
        if (!settings) {
            DeleteFileA(update.scenario.Path("KXPTPCLS.ini").c_str());
            RemoveDirectoryA(update.scenario.card().c_str());
        }
        const auto before = ListFiles(update.scenario.folder());
        WizardRun run(update.exe(), update.scenario.folder());
        Start(run);
        run.Press(check::kNext);
        ASSERT_TRUE(run.WaitForPage(1200));
        run.Press(check::kNext);
        ExpectBox(run, kMessages.at(IDS_ASK_NO_CAMERA_RETRY), IDRETRY, {IDCANCEL, IDRETRY});
        ExpectBox(run, kMessages.at(IDS_ASK_NO_CAMERA_RETRY), IDCANCEL, {IDCANCEL, IDRETRY});
        ExpectBox(run, kMessages.at(IDS_MSG_CANNOT_CONNECT), IDOK);
        ExpectClosedWithoutReadme(run);
        EXPECT_EQ(ListFiles(update.scenario.folder()), before) << "settings: " << settings;
        if (!settings) {
            EXPECT_EQ(GetFileAttributesA(update.scenario.card().c_str()), INVALID_FILE_ATTRIBUTES)
                << "no card folder beside the library";
        }
    }
}

TEST_F(Wizard, CameraEventDuringTheChecksShowsItsMessageOnce) {
    // The camera powers down when its battery is asked for; it stays connected meanwhile, so
    // the checks go on to their own end while the report closes the wizard.
    Update update(
        "fault.power_down.operation = GetDevicePropDesc\nfault.power_down.occurrence = 1\n"
        "fault.power_down.reason = 1\nfault.power_down.disconnect = no\n");
    WizardRun run(update.exe(), update.scenario.folder());
    Start(run);
    run.Press(check::kNext);
    ASSERT_TRUE(run.WaitForPage(1200));
    run.Press(check::kNext);
    ExpectBox(run, kMessages.at(IDS_MSG_POWER_LOW_BATTERY), IDOK);
    ExpectClosedWithoutReadme(run);
    EXPECT_FALSE(run.BoxShowing());
}

TEST_F(Wizard, CameraEventDuringTheCopyShowsItsMessageOnce) {
    Update update("fault.power_down.after_bytes = 100000\nfault.power_down.reason = 1\n");
    WizardRun run(update.exe(), update.scenario.folder());
    Start(run);
    ToPage3(run);
    run.Press(check::kNext);
    ExpectBox(run, kMessages.at(IDS_MSG_POWER_LOW_BATTERY), IDOK);
    ExpectClosedWithoutReadme(run);
    EXPECT_FALSE(run.BoxShowing()) << "no second message after the event's";
}

TEST_F(Wizard, AFailedSendShowsTheTransmissionError) {
    Update update("fault.response.operation = SendObject\nfault.response.code = 0x2002\n");
    WizardRun run(update.exe(), update.scenario.folder());
    Start(run);
    ToPage3(run);
    run.Press(check::kNext);
    ExpectBox(run, kMessages.at(IDS_MSG_TRANSMISSION_ERROR), IDOK);
    ExpectClosedWithoutReadme(run);
}

} // namespace
