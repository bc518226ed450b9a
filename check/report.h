// The check's report: report.md and report.html beside the pictures, for a maker's CI and for
// people.
#pragma once

#include <string>
#include <vector>

#include "lint.h"
#include "rehearsal.h"

namespace check {

struct ReportFacts {
    std::string update;     // the folder checked
    std::string program;    // the Vandrel.exe rehearsed, and where it came from
    std::string library;    // the KXPTPCLS.DLL rehearsed
    bool rehearsed = false; // false: the lint's errors stopped the check before the rehearsal
};

// Whether the update passed: no lint error, and every scenario passed.
bool Passed(const LintResult& lint, const std::vector<ScenarioResult>& scenarios,
            const ReportFacts& facts);

std::string MarkdownReport(const ReportFacts& facts, const LintResult& lint,
                           const std::vector<ScenarioResult>& scenarios);
std::string HtmlReport(const ReportFacts& facts, const LintResult& lint,
                       const std::vector<ScenarioResult>& scenarios);

} // namespace check
