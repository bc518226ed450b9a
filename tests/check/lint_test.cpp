// The check's lint, one row a broken copy of the sample update: each problem found by its
// rule, where it is, and with the message the real wizard would show.
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "lint.h"
#include "resource_ids.h"
#include "scenario.h"

using testing_support::MakeFolders;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {

// The sample update of samples/update, with firmware files of its layout.
struct Sample {
    Sample() : folder(testing_support::MakeTempFolder("vlt")) {
        const std::string samples = std::string("Z:") + VANDREL_SAMPLE_UPDATE;
        for (const char* name : {"FirmInfo.txt", "readme.txt", "KXPTPCLS.ini", "camera.ini"})
            CopyFileA((samples + "\\" + name).c_str(), Path(name).c_str(), FALSE);
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

struct Row {
    const char* name;
    void (*breakIt)(const Sample& sample);
    const char* rule;
    check::Severity severity;
    const char* where; // the finding's place holds this
    int message;       // the wizard's message it names, or 0
    const char* also;  // the finding's place or text holds this too, or null
};

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
    {"settings that ask for the virtual camera", [](const Sample&) {}, "settings-file",
     check::Severity::kWarning, "KXPTPCLS.ini", 0, "virtual"},
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class LintRows : public ::testing::TestWithParam<Row> {};

TEST_P(LintRows, NamesTheProblem) {
    const Row& row = GetParam();
    ASSERT_NE(Wizard(), nullptr);
    Sample sample;
    ASSERT_NO_FATAL_FAILURE(row.breakIt(sample));
    const check::LintResult lint = check::LintUpdate(sample.folder, Wizard());
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
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    std::string name = std::to_string(info.index) + "_";
    for (const char* c = info.param.name; *c; ++c)
        name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(BrokenSamples, LintRows, ::testing::ValuesIn(kRows), RowName);

// The sample as it ships: no error, and what the copy sends, by the wizard's own walk.
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
    // The current directory is the caller's again.
    char directory[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, directory);
    EXPECT_NE(std::string(directory), sample.folder);
}

} // namespace
