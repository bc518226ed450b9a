// VandrelCheck [--code-pages 932,1252] [--camera-model NAME]... UPDATE_FOLDER REPORT_FOLDER:
// lints an update folder with the wizard's own code, rehearses the folder's own wizard and
// driver library on it against the embedded virtual camera, and writes report.md,
// report.html, report.json and junit.xml with the pictures it took. Exit code 0 when the update
// passed, 1 when the lint found an error or a scenario failed, 2 when the check could not run.
// It never writes into the update folder.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/handle.h"
#include "files.h"
#include "lint.h"
#include "rehearsal.h"
#include "report.h"

namespace {

const char kUsage[] =
    "usage: VandrelCheck [--code-pages N,N...] [--camera-model NAME]... UPDATE_FOLDER "
    "REPORT_FOLDER\n"
    "  --code-pages    the ANSI code pages of the customers' Windows that every name must fit\n"
    "                  (default: all 14 of Windows: 874, 932, 936, 949, 950, 1250 to 1258)\n"
    "  --camera-model  a camera's model name as the camera gives it (KxCameraCheck.exe prints\n"
    "                  it); once for each camera. The rehearsal's camera then names itself so.\n"
    "Exit code: 0 passed, 1 failed, 2 could not run. The report folder may not be the update\n"
    "folder or lie inside it.\n";

std::string FullPath(const std::string& path) {
    char full[MAX_PATH] = "";
    const DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    std::string out = n > 0 && n < MAX_PATH ? full : path;
    while (out.size() > 3 && out.back() == '\\')
        out.pop_back();
    return out;
}

bool IsFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// `inner` is `outer` or lies below it.
bool IsWithin(const std::string& inner, const std::string& outer) {
    const std::string a = check::Lower(inner), b = check::Lower(outer);
    return a == b || (a.compare(0, b.size(), b) == 0 &&
                      (b.back() == '\\' || (a.size() > b.size() && a[b.size()] == '\\')));
}

// What the check wrote in a report folder before: its reports, and its pictures, whose names
// start with the scenario's two digits. Nothing else there is touched.
void ClearReport(const std::string& folder) {
    for (const char* name : {"report.md", "report.html", "report.json", "junit.xml"})
        DeleteFileA((folder + "\\" + name).c_str());
    WIN32_FIND_DATAA item;
    const common::FindHandle search(FindFirstFileA((folder + "\\*-*.png").c_str(), &item));
    if (!search)
        return;
    do {
        const std::string name = item.cFileName;
        if (name.size() > 7 && isdigit(static_cast<unsigned char>(name[0])) &&
            isdigit(static_cast<unsigned char>(name[1])) && name[2] == '-' &&
            !(item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileA((folder + "\\" + name).c_str());
    } while (FindNextFileA(search.get(), &item));
}

std::string VersionValue(const std::vector<char>& block, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    const std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (block.empty() ||
        !VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
        !value)
        return "none";
    return value;
}

check::BinaryFacts Describe(const char* name, const std::string& path, const char* from) {
    check::BinaryFacts facts;
    facts.name = name;
    facts.path = path;
    facts.from = from;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<char> block(size);
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, block.data()))
        block.clear();
    facts.version = VersionValue(block, "FileVersion");
    facts.commit = VersionValue(block, "Commit");
    facts.sha256 = check::Sha256OfFile(path);
    return facts;
}

std::string Now() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay,
             t.wHour, t.wMinute, t.wSecond);
    return text;
}

// Windows and pictures need a desktop: without a display Wine makes no window.
bool HasDisplay() {
    HWND probe = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    if (!probe)
        return false;
    DestroyWindow(probe);
    return GetSystemMetrics(SM_CXSCREEN) > 0;
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return text;
}

struct Arguments {
    check::LintOptions lint;
    std::vector<std::string> folders;
    bool help = false;
};

// False, with the reason in `trouble`, on anything it cannot take.
bool Parse(int argc, char** argv, Arguments& out, std::string& trouble) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            out.help = true;
        } else if (arg == "--camera-model" || arg == "--code-pages") {
            if (i + 1 >= argc) {
                trouble = arg + " needs a value";
                return false;
            }
            const std::string value = argv[++i];
            if (arg == "--camera-model") {
                out.lint.cameraModels.push_back(value);
                continue;
            }
            out.lint.codePages.clear();
            for (size_t at = 0; at <= value.size();) {
                const size_t comma = std::min(value.find(',', at), value.size());
                const std::string number = value.substr(at, comma - at);
                char* end = nullptr;
                const unsigned long page = strtoul(number.c_str(), &end, 10);
                if (number.empty() || *end || !IsValidCodePage(static_cast<UINT>(page))) {
                    trouble = "\"" + number + "\" is no code page this PC knows";
                    return false;
                }
                out.lint.codePages.push_back(static_cast<unsigned>(page));
                at = comma + 1;
            }
        } else if (arg.compare(0, 2, "--") == 0) {
            trouble = "unknown option " + arg;
            return false;
        } else {
            out.folders.push_back(arg);
        }
    }
    if (!out.help && out.folders.size() != 2) {
        trouble = "an update folder and a report folder are needed";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // Each line as it comes: a runner takes a program that writes nothing for long as stuck.
    setvbuf(stdout, nullptr, _IONBF, 0);
    Arguments args;
    std::string trouble;
    if (!Parse(argc, argv, args, trouble)) {
        fprintf(stderr, "check: %s\n%s", trouble.c_str(), kUsage);
        return 2;
    }
    if (args.help) {
        printf("%s", kUsage);
        return 0;
    }
    check::ReportFacts facts;
    facts.update = FullPath(args.folders[0]);
    facts.date = Now();
    facts.codePages = args.lint.codePages;
    facts.thisCodePage = GetACP();
    facts.cameraModels = args.lint.cameraModels;
    const std::string reports = FullPath(args.folders[1]);
    // Nothing is written into the maker's folder, the report included.
    if (IsWithin(reports, facts.update)) {
        fprintf(stderr, "check: the report folder %s is in the update folder; name another\n",
                reports.c_str());
        return 2;
    }
    check::MakeFolders(reports);
    ClearReport(reports);
    // A report that cannot be written is found before the rehearsal, not after it.
    if (!check::WriteFileBytes(reports + "\\report.md", "# Update check\n\nRunning.\n")) {
        fprintf(stderr, "check: cannot write the report in %s\n", reports.c_str());
        return 2;
    }

    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string kit = std::string(self).substr(0, std::string(self).find_last_of('\\'));
    const std::string program = facts.update + "\\Vandrel.exe";
    const std::string library = facts.update + "\\KXPTPCLS.DLL";
    std::string wizardPath = program;
    HMODULE wizard = nullptr;
    if (!IsFolder(facts.update)) {
        facts.couldNotRun = "the update folder " + facts.update + " does not exist";
    } else {
        facts.binaries.push_back(Describe("Vandrel.exe", program, "the update's own"));
        facts.binaries.push_back(Describe("KXPTPCLS.DLL", library, "the update's own"));
        // The wizard's messages, from the folder's own program, else from the kit's.
        for (const std::string& path : {program, kit + "\\Vandrel.exe"}) {
            wizard =
                wizard ? wizard
                       : LoadLibraryExA(path.c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        }
        if (!wizard)
            facts.couldNotRun = "no Vandrel.exe to read the wizard's messages from, in " +
                                facts.update + " nor beside this program";
    }
    facts.binaries.push_back(Describe("VandrelCheck.exe", self, "the check itself"));
    printf("Checking %s\n", facts.update.c_str());

    check::LintResult lint;
    std::vector<check::ScenarioResult> scenarios;
    if (facts.couldNotRun.empty()) {
        const std::string before = check::TreeFingerprint(facts.update);
        lint = check::LintUpdate(facts.update, wizard, args.lint);
        for (const check::Finding& f : lint.findings)
            printf("  %-7s %-21s %s%s%s\n", check::SeverityName(f.severity), f.rule.c_str(),
                   f.where.empty() ? "" : (f.where + ": ").c_str(), f.text.c_str(),
                   f.wizardSays.empty() ? "" : (" [" + OneLine(f.wizardSays) + "]").c_str());
        if (!lint.HasErrors() && !HasDisplay())
            facts.couldNotRun = "no display: the rehearsal needs a desktop for the wizard's "
                                "windows (under Wine, an X display)";
        if (!lint.HasErrors() && facts.couldNotRun.empty()) {
            facts.rehearsed = true;
            check::RehearsalSetup setup;
            setup.update = facts.update;
            setup.program = program;
            setup.library = library;
            setup.work = check::MakeTempFolder("vck");
            setup.pictures = reports;
            setup.wizard = wizard;
            setup.cameraModels = args.lint.cameraModels;
            scenarios = check::Rehearse(lint, setup);
            check::RemoveTree(setup.work);
            for (const check::ScenarioResult& s : scenarios) {
                printf("  %s  %s\n", s.passed ? "pass" : "FAIL", s.name.c_str());
                for (const std::string& p : s.problems)
                    printf("        %s\n", p.c_str());
                if (!s.passed)
                    printf("        expected: %s\n        seen: %s\n", OneLine(s.expected).c_str(),
                           OneLine(s.seen).c_str());
            }
        }
        if (check::TreeFingerprint(facts.update) != before)
            facts.couldNotRun = "the update folder changed while it was checked (by the check "
                                "or by someone else): check it again";
    }
    if (wizard)
        FreeLibrary(wizard);

    const bool written =
        check::WriteFileBytes(reports + "\\report.md", MarkdownReport(facts, lint, scenarios)) &&
        check::WriteFileBytes(reports + "\\report.html", HtmlReport(facts, lint, scenarios)) &&
        check::WriteFileBytes(reports + "\\report.json", JsonReport(facts, lint, scenarios)) &&
        check::WriteFileBytes(reports + "\\junit.xml", JunitReport(facts, lint, scenarios));
    int code = check::ExitCode(lint, scenarios, facts);
    if (!written) {
        fprintf(stderr, "check: cannot write the report in %s\n", reports.c_str());
        code = 2;
    }
    if (!facts.couldNotRun.empty())
        fprintf(stderr, "check: %s\n", facts.couldNotRun.c_str());
    printf("%s; report in %s\n",
           code == 0   ? "PASSED"
           : code == 1 ? "FAILED"
                       : "COULD NOT RUN",
           reports.c_str());
    fflush(stdout);
    return code;
}
