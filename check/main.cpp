// VandrelCheck UPDATE_FOLDER REPORT_FOLDER: lints an update folder with the wizard's own code,
// rehearses the real wizard on it against the embedded virtual camera, and writes report.md and
// report.html with the pictures it took. Exit code 0 when the update passed, 1 when the lint
// found an error or a scenario failed, 2 when the check itself could not run.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "files.h"
#include "lint.h"
#include "rehearsal.h"
#include "report.h"

namespace {

std::string FullPath(const char* path) {
    char full[MAX_PATH] = "";
    const DWORD n = GetFullPathNameA(path, MAX_PATH, full, nullptr);
    std::string out = n > 0 && n < MAX_PATH ? full : path;
    while (out.size() > 3 && out.back() == '\\')
        out.pop_back();
    return out;
}

bool IsFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// What ships is what is tried: the folder's own copy, else the kit's beside this program.
std::string Pick(const std::string& update, const char* name, std::string& from) {
    if (IsFile(update + "\\" + name)) {
        from = "the update's own";
        return update + "\\" + name;
    }
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string kit = self;
    kit = kit.substr(0, kit.find_last_of('\\')) + "\\" + name;
    from = "the kit's";
    return IsFile(kit) ? kit : "";
}

// A report folder used before holds no picture of an older check.
void ClearReport(const std::string& folder) {
    for (const char* pattern : {"\\*.png", "\\report.md", "\\report.html"}) {
        WIN32_FIND_DATAA item;
        HANDLE search = FindFirstFileA((folder + pattern).c_str(), &item);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            DeleteFileA((folder + "\\" + item.cFileName).c_str());
        } while (FindNextFileA(search, &item));
        FindClose(search);
    }
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: VandrelCheck UPDATE_FOLDER REPORT_FOLDER\n");
        return 2;
    }
    check::ReportFacts facts;
    facts.update = FullPath(argv[1]);
    const std::string reports = FullPath(argv[2]);
    std::string programFrom, libraryFrom;
    const std::string program = Pick(facts.update, "Vandrel.exe", programFrom);
    const std::string library = Pick(facts.update, "KXPTPCLS.DLL", libraryFrom);
    if (program.empty() || library.empty()) {
        fprintf(stderr, "check: no Vandrel.exe and KXPTPCLS.DLL in %s nor beside this program\n",
                facts.update.c_str());
        return 2;
    }
    facts.program = program + " (" + programFrom + ")";
    facts.library = library + " (" + libraryFrom + ")";
    HMODULE wizard = LoadLibraryExA(program.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!wizard) {
        fprintf(stderr, "check: cannot read %s\n", program.c_str());
        return 2;
    }
    check::MakeFolders(reports);
    ClearReport(reports);
    printf("Checking %s\n  with %s\n", facts.update.c_str(), facts.program.c_str());

    const check::LintResult lint = check::LintUpdate(facts.update, wizard);
    for (const check::Finding& f : lint.findings)
        printf("  %-7s %-18s %s%s%s\n", check::SeverityName(f.severity), f.rule.c_str(),
               f.where.empty() ? "" : (f.where + ": ").c_str(), f.text.c_str(),
               f.wizardSays.empty() ? "" : (" [" + OneLine(f.wizardSays) + "]").c_str());

    std::vector<check::ScenarioResult> scenarios;
    if (!lint.HasErrors()) {
        facts.rehearsed = true;
        check::RehearsalSetup setup;
        setup.update = facts.update;
        setup.program = program;
        setup.library = library;
        setup.work = check::MakeTempFolder("vck");
        setup.pictures = reports;
        setup.wizard = wizard;
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
    FreeLibrary(wizard);

    const bool written =
        check::WriteFileBytes(reports + "\\report.md", MarkdownReport(facts, lint, scenarios)) &&
        check::WriteFileBytes(reports + "\\report.html", HtmlReport(facts, lint, scenarios));
    const bool passed = check::Passed(lint, scenarios, facts);
    printf("%s; report in %s\n", passed ? "PASSED" : "FAILED", reports.c_str());
    if (!written) {
        fprintf(stderr, "check: cannot write the report in %s\n", reports.c_str());
        return 2;
    }
    return passed ? 0 : 1;
}
