// The check's lint, one row a broken copy of the sample update: each problem found by its
// rule, where it is, and with the message the real wizard would show; the maker's folder left
// byte for byte as it was; and, where the update would fail customers, the real wizard run on a
// copy of the folder as a customer's PC runs it, showing what they would meet.
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "files.h"
#include "lint.h"
#include "resource_ids.h"
#include "scenario.h"
#include "walk.h"

using testing_support::MakeFolders;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {

// The sample update of samples/update as a maker ships it: the program and library, and
// firmware files of its layout.
struct Sample {
    Sample() : folder(testing_support::MakeTempFolder("vlt")) {
        const std::string samples = std::string("Z:") + VANDREL_SAMPLES + "\\update";
        for (const char* name : {"FirmInfo.txt", "readme.txt"})
            CopyFileA((samples + "\\" + name).c_str(), Path(name).c_str(), FALSE);
        const std::string product = testing_support::ExeFolder() + "\\..\\product\\";
        for (const char* name : {"Vandrel.exe", "KXPTPCLS.DLL"})
            CopyFileA((product + name).c_str(), Path(name).c_str(), FALSE);
        MakeFolders(Path("FIRMWARE\\DATA"));
        WriteFileBytes(Path("UPDATE.FIR"), PatternBytes(150000, 1));
        WriteFileBytes(Path("FIRMWARE\\MAIN.BIN"), PatternBytes(90000, 2));
        WriteFileBytes(Path("FIRMWARE\\DATA\\TABLE.DAT"), PatternBytes(4000, 3));
        WriteFileBytes(Path("FIRMWARE\\DATA\\FONTS.DAT"), PatternBytes(25000, 4));
    }
    ~Sample() { testing_support::RemoveTree(folder); }
    std::string Path(const std::string& relative) const { return folder + "\\" + relative; }
    // FirmInfo.txt with `from` replaced by `to` (the first time it occurs).
    void Edit(const std::string& from, const std::string& to) const {
        std::string text;
        ReadFileBytes(Path("FirmInfo.txt"), text);
        const size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        WriteFileBytes(Path("FirmInfo.txt"), text.replace(at, from.size(), to));
    }
    std::string folder;
};

HMODULE Wizard() {
    static HMODULE exe =
        LoadLibraryExA((testing_support::ExeFolder() + "\\..\\product\\Vandrel.exe").c_str(),
                       nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    return exe;
}

std::string Message(int id) {
    char text[1024] = "";
    LoadStringA(Wizard(), id, text, sizeof text);
    return text;
}

// What a customer meets with the folder as shipped: the real wizard on a copy of it, with the
// customer's camera (the embedded virtual camera of `profile`) unless the folder ships settings.
struct Customer {
    const char* profile;   // null: the row shows no customer run
    int message;           // the one message they read; 0: the copy completes
    const char* cardHas;   // a file the card holds at its root afterwards, or null
    const char* cardLacks; // a file of the update that does not reach the card, or null
};

struct Row {
    const char* name;
    void (*breakIt)(const Sample& sample);
    const char* rule;
    check::Severity severity;
    const char* where; // the finding's place holds this
    int message;       // the wizard's message it names, or 0
    const char* also;  // the finding's place or text holds this too, or null
    Customer customer = {};
    const char* cameraModel = nullptr; // a camera's own name given to the lint
};

const char kCustomerCamera[] = "camera.model = Tarvo Camera X1\ncard.capacity = 1G\n";

// The sample's FirmInfo.txt, line by line: 1 [Firmware Folder Name], 2 FIRMWARE, 3 ----,
// 4 [Firmware File Name], 5 UPDATE.FIR, 6 empty, 7 [Camera Model Name], 8 and 9 the models,
// 10 empty, 11 [Firmware Version], 12 1.0.2.0, 13 empty, 14 [CF Capacity], 15 4096.
const Row kRows[] = {
    {"a listed file missing", [](const Sample& s) { DeleteFileA(s.Path("UPDATE.FIR").c_str()); },
     "entry-missing", check::Severity::kError, "UPDATE.FIR", IDS_MSG_UPDATE_FILES_MISSING, nullptr},
    {"a listed folder missing",
     [](const Sample& s) { testing_support::RemoveTree(s.Path("FIRMWARE")); }, "entry-missing",
     check::Severity::kError, "FIRMWARE", IDS_MSG_UPDATE_FILES_MISSING, nullptr},
    {"two files of one name in two folders",
     [](const Sample& s) {
         MakeFolders(s.Path("FIRMWARE\\SUB"));
         WriteFileBytes(s.Path("FIRMWARE\\SUB\\MAIN.BIN"), PatternBytes(10, 9));
     },
     "name-collision", check::Severity::kError, "MAIN.BIN", 0, "FIRMWARE\\SUB\\MAIN.BIN"},
    {"names apart only in letter case",
     [](const Sample& s) { WriteFileBytes(s.Path("FIRMWARE\\DATA\\update.fir"), "x"); },
     "name-collision", check::Severity::kError, "", 0, "update.fir"},
    {"a file listed twice",
     [](const Sample& s) { s.Edit("UPDATE.FIR\n", "UPDATE.FIR\nUPDATE.FIR\n"); }, "name-collision",
     check::Severity::kError, "UPDATE.FIR", 0, "Listed twice"},
    {"an unknown section header",
     [](const Sample& s) { s.Edit("[Firmware Version]", "[Firmware Notes]"); }, "info-syntax",
     check::Severity::kError, "FirmInfo.txt line 11", IDS_MSG_INFO_INCORRECT, "section header"},
    {"a second version", [](const Sample& s) { s.Edit("1.0.2.0\n", "1.0.2.0\n1.0.3.0\n"); },
     "info-syntax", check::Severity::kError, "FirmInfo.txt line 13", IDS_MSG_INFO_INCORRECT,
     "second \"Firmware Version\""},
    {"a capacity that is no number", [](const Sample& s) { s.Edit("4096", "lots"); }, "info-syntax",
     check::Severity::kError, "FirmInfo.txt line 15", IDS_MSG_INFO_INCORRECT, "CF Capacity"},
    {"no model",
     [](const Sample& s) {
         s.Edit("[Camera Model Name]\nTarvo Camera X1\nTarvo Camera X1 Pro\n", "");
     },
     "info-syntax", check::Severity::kError, "FirmInfo.txt", IDS_MSG_INFO_INCORRECT,
     "no a Camera Model Name"},
    {"no FirmInfo.txt", [](const Sample& s) { DeleteFileA(s.Path("FirmInfo.txt").c_str()); },
     "info-missing", check::Severity::kError, "FirmInfo.txt", IDS_MSG_INFO_NOT_FOUND, nullptr},
    {"files larger than the declared capacity", [](const Sample& s) { s.Edit("4096", "100"); },
     "capacity-exceeded", check::Severity::kError, "FirmInfo.txt", IDS_MSG_INFO_INCORRECT,
     "need 147 KB"},
    {"no readme", [](const Sample& s) { DeleteFileA(s.Path("readme.txt").c_str()); },
     "readme-missing", check::Severity::kError, "readme.txt", 0, nullptr},
    {"a name outside the code page",
     [](const Sample& s) {
         const std::wstring folder(s.folder.begin(), s.folder.end());
         HANDLE file = CreateFileW((folder + L"\\FIRMWARE\\DATA\\\u4E2D.DAT").c_str(),
                                   GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
         CloseHandle(file);
     },
     "name-ansi", check::Severity::kError, "FIRMWARE\\DATA\\", IDS_MSG_TRANSMISSION_ERROR, nullptr},
    {"a path that may pass Windows' limit in a customer's folder",
     [](const Sample& s) {
         WriteFileBytes(s.Path("FIRMWARE\\DATA\\" + std::string(190, 'N')), "x");
     },
     "path-length", check::Severity::kWarning, "NNNN", 0, "204 characters"},
    // Warnings: the update still passes the lint.
    {"an empty folder", [](const Sample& s) { MakeFolders(s.Path("FIRMWARE\\EMPTY")); },
     "folder-empty", check::Severity::kWarning, "FIRMWARE\\EMPTY", 0, nullptr},
    {"a dot folder the copy skips",
     [](const Sample& s) {
         MakeFolders(s.Path("FIRMWARE\\.x"));
         WriteFileBytes(s.Path("FIRMWARE\\.x\\LOST.BIN"), "lost");
     },
     "folder-skipped", check::Severity::kWarning, "FIRMWARE\\.x", 0, nullptr},
    {"a value line outside any section",
     [](const Sample& s) { s.Edit("[Camera Model Name]", "STRAY.BIN\n[Camera Model Name]"); },
     "info-ignored-line", check::Severity::kWarning, "FirmInfo.txt line 7", 0, nullptr},
    {"a last line without a line end", [](const Sample& s) { s.Edit("4096\n", "4096\n-\nNOTES"); },
     "info-unended-line", check::Severity::kWarning, "FirmInfo.txt", 0, nullptr},
    {"a model name with a trailing blank",
     [](const Sample& s) { s.Edit("Tarvo Camera X1 Pro\n", "Tarvo Camera X1 Pro \n"); },
     "model-blank", check::Severity::kWarning, "Tarvo Camera X1 Pro ", 0, nullptr},
    // Would fail customers, each shown through the real wizard on the folder as shipped.
    {"the demo's settings, camera profile and card shipped",
     [](const Sample& s) {
         const std::string demo = std::string("Z:") + VANDREL_SAMPLES + "\\demo\\";
         for (const char* name : {"KXPTPCLS.ini", "camera.ini"})
             CopyFileA((demo + name).c_str(), s.Path(name).c_str(), FALSE);
         MakeFolders(s.Path("card"));
     },
     "settings-file",
     check::Severity::kError,
     "KXPTPCLS.ini",
     0,
     "virtual",
     // No camera at all: the copy "completes" into a folder on the customer's PC.
     {"", 0, "UPDATE.FIR", nullptr}},
    {"a camera profile shipped",
     [](const Sample& s) { WriteFileBytes(s.Path("camera.ini"), "camera.model = X\n"); },
     "camera-profile", check::Severity::kError, "camera.ini", 0, nullptr},
    {"FirmInfo.txt with a UTF-8 byte order mark",
     [](const Sample& s) {
         s.Edit("[Firmware Folder Name]", "\xEF\xBB\xBF[Firmware Folder Name]");
     },
     "info-bom",
     check::Severity::kError,
     "FirmInfo.txt line 1",
     0,
     "byte order mark",
     // The first section is lost: the copy completes without the folder's files.
     {kCustomerCamera, 0, "UPDATE.FIR", "MAIN.BIN"}},
    {"a CF Capacity below what the listed folders hold",
     [](const Sample& s) { s.Edit("4096", "200"); },
     "capacity-exceeded",
     check::Severity::kError,
     "FirmInfo.txt",
     IDS_MSG_TRANSMISSION_ERROR,
     "need 263 KB",
     // A card with the declared room fills up part way.
     {"camera.model = Tarvo Camera X1\ncard.capacity = 1G\ncard.free = 204800\n"
      "card.cluster_size = 1\n",
      IDS_MSG_TRANSMISSION_ERROR, nullptr, "UPDATE.FIR"}},
    {"a CF Capacity no card can show free",
     [](const Sample& s) { s.Edit("4096", "4194304"); },
     "capacity-too-large",
     check::Severity::kError,
     "FirmInfo.txt",
     IDS_MSG_CARD_SPACE,
     "32-bit",
     {"camera.model = Tarvo Camera X1\ncard.capacity = 64G\n", IDS_MSG_CARD_SPACE, nullptr,
      "UPDATE.FIR"}},
    {"Thumbs.db in a listed folder",
     [](const Sample& s) { WriteFileBytes(s.Path("FIRMWARE\\DATA\\Thumbs.db"), "cache"); },
     "left-behind",
     check::Severity::kWarning,
     "FIRMWARE\\DATA\\Thumbs.db",
     0,
     nullptr,
     {kCustomerCamera, 0, "Thumbs.db", nullptr}},
    {"an editor's lock file in a listed folder",
     [](const Sample& s) { WriteFileBytes(s.Path("FIRMWARE\\~$NOTES.DOC"), "lock"); },
     "left-behind", check::Severity::kWarning, "~$NOTES.DOC", 0, nullptr},
    {"a name outside the customers' code pages",
     [](const Sample& s) {
         const std::wstring folder(s.folder.begin(), s.folder.end());
         HANDLE file = CreateFileW((folder + L"\\FIRMWARE\\CAF\u00C9.BIN").c_str(), GENERIC_WRITE,
                                   0, nullptr, CREATE_ALWAYS, 0, nullptr);
         CloseHandle(file);
     },
     "name-code-page", check::Severity::kError, "FIRMWARE\\CAF", IDS_MSG_TRANSMISSION_ERROR,
     "932 (Japanese)"},
    {"a model line with a note pasted beside it",
     [](const Sample& s) {
         s.Edit("Tarvo Camera X1\n", "Tarvo Camera X1            names itself (letter case)\n");
     },
     "camera-model-unlisted",
     check::Severity::kError,
     "Tarvo Camera X1",
     IDS_MSG_WRONG_MODEL,
     nullptr,
     {kCustomerCamera, IDS_MSG_WRONG_MODEL, nullptr, "UPDATE.FIR"},
     "Tarvo Camera X1"},
    {"no Vandrel.exe in the folder",
     [](const Sample& s) { DeleteFileA(s.Path("Vandrel.exe").c_str()); }, "program-missing",
     check::Severity::kError, "Vandrel.exe", 0, nullptr},
    {"no KXPTPCLS.DLL in the folder",
     [](const Sample& s) { DeleteFileA(s.Path("KXPTPCLS.DLL").c_str()); }, "program-missing",
     check::Severity::kError, "KXPTPCLS.DLL", 0, nullptr},
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class LintRows : public ::testing::TestWithParam<Row> {};

// The customer's PC: the folder as shipped, copied, with their camera where it ships none; the
// real wizard walked to its end.
void ShowWhatCustomersMeet(const Sample& sample, const Customer& customer) {
    Sample pc;
    testing_support::RemoveTree(pc.folder);
    check::CopyTree(sample.folder, pc.folder);
    if (*customer.profile) {
        WriteFileBytes(pc.Path("KXPTPCLS.ini"),
                       "transport = virtual\nprofile = camera.ini\ncard = card\n");
        WriteFileBytes(pc.Path("camera.ini"), customer.profile);
        MakeFolders(pc.Path("card"));
    }
    check::WalkOptions options;
    options.timeoutMs = 60000;
    options.waitForReadme = true; // and the Notepad it opens ended
    options.picturePages = false;
    const check::WalkOutcome walk = check::WalkWizard(pc.Path("Vandrel.exe"), pc.folder, options);
    ASSERT_TRUE(walk.started);
    EXPECT_TRUE(walk.ended);
    if (customer.message) {
        ASSERT_EQ(walk.boxes.size(), 1u);
        EXPECT_EQ(walk.boxes[0], Message(customer.message));
    } else {
        EXPECT_TRUE(walk.completed) << (walk.boxes.empty() ? "" : walk.boxes[0]);
    }
    const check::Files card = testing_support::ListFiles(pc.Path("card"));
    if (customer.cardHas) {
        EXPECT_EQ(card.count(customer.cardHas), 1u) << customer.cardHas;
    }
    if (customer.cardLacks) {
        EXPECT_EQ(card.count(customer.cardLacks), 0u) << customer.cardLacks;
    }
}

TEST_P(LintRows, NamesTheProblem) {
    const Row& row = GetParam();
    ASSERT_NE(Wizard(), nullptr);
    Sample sample;
    ASSERT_NO_FATAL_FAILURE(row.breakIt(sample));
    const std::string before = check::TreeFingerprint(sample.folder);
    check::LintOptions options;
    if (row.cameraModel)
        options.cameraModels.push_back(row.cameraModel);
    const check::LintResult lint = check::LintUpdate(sample.folder, Wizard(), options);
    EXPECT_EQ(check::TreeFingerprint(sample.folder), before) << "the maker's folder changed";
    const std::vector<check::Finding> found = lint.Of(row.rule);
    ASSERT_FALSE(found.empty()) << "no " << row.rule << " finding";
    bool matched = false;
    for (const check::Finding& f : found) {
        const std::string all = f.where + " " + f.text;
        matched = matched ||
                  (f.severity == row.severity && f.where.find(row.where) != std::string::npos &&
                   (!row.also || all.find(row.also) != std::string::npos) &&
                   f.wizardSays == (row.message ? Message(row.message) : ""));
    }
    EXPECT_TRUE(matched) << row.rule << ": " << found[0].where << ": " << found[0].text << " ["
                         << found[0].wizardSays << "]";
    EXPECT_EQ(lint.HasErrors(), row.severity == check::Severity::kError);
    if (row.customer.profile)
        ShowWhatCustomersMeet(sample, row.customer);
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    std::string name = std::to_string(info.index) + "_";
    for (const char* c = info.param.name; *c; ++c)
        name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(BrokenSamples, LintRows, ::testing::ValuesIn(kRows), RowName);

// The sample as it ships: no error, and what the copy sends, by the wizard's own walk, with
// each file's SHA-256.
TEST(Lint, TheSampleHasNoErrorAndListsWhatTheCopySends) {
    Sample sample;
    const check::LintResult lint = check::LintUpdate(sample.folder, Wizard());
    for (const check::Finding& f : lint.findings)
        EXPECT_NE(f.severity, check::Severity::kError) << f.rule << ": " << f.text;
    EXPECT_TRUE(lint.parsed);
    EXPECT_EQ(lint.models, (std::vector<std::string>{"Tarvo Camera X1", "Tarvo Camera X1 Pro"}));
    EXPECT_EQ(lint.version, "1.0.2.0");
    EXPECT_EQ(lint.capacityKB, 4096);
    std::map<std::string, std::string> sent;
    for (const check::UpdateFile& f : lint.files)
        sent[f.path] = f.cardName;
    const std::map<std::string, std::string> expected = {{"FIRMWARE\\MAIN.BIN", "MAIN.BIN"},
                                                         {"FIRMWARE\\DATA\\TABLE.DAT", "TABLE.DAT"},
                                                         {"FIRMWARE\\DATA\\FONTS.DAT", "FONTS.DAT"},
                                                         {"UPDATE.FIR", "UPDATE.FIR"}};
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(lint.totalBytes, 150000u + 90000u + 4000u + 25000u);
    EXPECT_EQ(lint.files.back().path, "UPDATE.FIR") << "in the order of FirmInfo.txt";
    EXPECT_EQ(lint.files.back().sha256, check::Sha256Hex(PatternBytes(150000, 1)));
    EXPECT_EQ(lint.folders, (std::vector<std::string>{"FIRMWARE", "FIRMWARE\\DATA"}));
    // The current directory is the caller's again.
    char directory[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, directory);
    EXPECT_NE(std::string(directory), sample.folder);
}

} // namespace
