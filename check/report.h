// The check's report: report.md and report.html beside the pictures for people, report.json
// and a JUnit XML (junit.xml) for a maker's CI.
#pragma once

#include <string>
#include <vector>

#include "lint.h"
#include "rehearsal.h"

namespace check {

// A binary the check names: what it is, where it came from, and what it says of itself.
struct BinaryFacts {
    std::string name; // Vandrel.exe
    std::string path;
    std::string from; // "the update's own", "the check itself"
    std::string version;
    std::string commit;
    std::string sha256;
};

struct ReportFacts {
    std::string update; // the folder checked
    std::vector<BinaryFacts> binaries;
    std::string date;                      // when the check ran, UTC
    std::vector<unsigned> codePages;       // the customers' code pages names were checked against
    unsigned thisCodePage = 0;             // the checking PC's
    std::vector<std::string> cameraModels; // the cameras' own names given to it
    bool rehearsed = false;  // false: the lint's errors stopped the check before the rehearsal
    std::string couldNotRun; // why the check could not run; empty when it ran
};

// Whether the update passed: no lint error, and every scenario passed.
bool Passed(const LintResult& lint, const std::vector<ScenarioResult>& scenarios,
            const ReportFacts& facts);
// 0 passed, 1 failed, 2 could not run.
int ExitCode(const LintResult& lint, const std::vector<ScenarioResult>& scenarios,
             const ReportFacts& facts);

std::string MarkdownReport(const ReportFacts& facts, const LintResult& lint,
                           const std::vector<ScenarioResult>& scenarios);
std::string HtmlReport(const ReportFacts& facts, const LintResult& lint,
                       const std::vector<ScenarioResult>& scenarios);
std::string JsonReport(const ReportFacts& facts, const LintResult& lint,
                       const std::vector<ScenarioResult>& scenarios);
std::string JunitReport(const ReportFacts& facts, const LintResult& lint,
                        const std::vector<ScenarioResult>& scenarios);

} // namespace check
