// The report in its four forms, written from the same facts and tables.
#include "report.h"

#include <nlohmann/json.hpp>

namespace check {

namespace {

// Line breaks of the wizard's messages as breaks in a table cell; CR LF counts once.
std::string Cell(const std::string& text, bool html) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (c == '\n' || c == '\r')
            out += "<br>";
        else if (c == '|' && !html)
            out += "\\|";
        else if (html && c == '<')
            out += "&lt;";
        else if (html && c == '>')
            out += "&gt;";
        else if (html && c == '&')
            out += "&amp;";
        else if (html && c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

size_t Count(const LintResult& lint, Severity severity) {
    size_t n = 0;
    for (const Finding& f : lint.findings)
        n += f.severity == severity;
    return n;
}

size_t Failed(const std::vector<ScenarioResult>& scenarios) {
    size_t n = 0;
    for (const ScenarioResult& s : scenarios)
        n += !s.passed;
    return n;
}

const char* VerdictWord(const ReportFacts& facts, const LintResult& lint,
                        const std::vector<ScenarioResult>& scenarios) {
    switch (ExitCode(lint, scenarios, facts)) {
    case 0:
        return "PASSED";
    case 1:
        return "FAILED";
    default:
        return "COULD NOT RUN";
    }
}

std::string Verdict(const ReportFacts& facts, const LintResult& lint,
                    const std::vector<ScenarioResult>& scenarios) {
    std::string verdict = VerdictWord(facts, lint, scenarios);
    if (!facts.couldNotRun.empty())
        return verdict + ": " + facts.couldNotRun;
    verdict += ": " + std::to_string(Count(lint, Severity::kError)) + " lint error(s), " +
               std::to_string(Count(lint, Severity::kWarning)) + " warning(s); ";
    if (facts.rehearsed)
        verdict += std::to_string(scenarios.size() - Failed(scenarios)) + " of " +
                   std::to_string(scenarios.size()) + " scenarios passed.";
    else
        verdict += "not rehearsed: the lint's errors come first.";
    return verdict;
}

std::string Problems(const ScenarioResult& s) {
    std::string out;
    for (const std::string& p : s.problems)
        out += (out.empty() ? "" : "; ") + p;
    return out;
}

// A table of the report, its cells plain text: each form writes it in its own way.
struct Table {
    std::vector<std::string> head;
    struct Row {
        std::vector<std::string> cells;
        std::string mark; // the row's class in the HTML form
    };
    std::vector<Row> rows;
};

Table LintTable(const LintResult& lint) {
    Table table{{"Severity", "Rule", "Where", "Finding", "The wizard shows"}, {}};
    for (const Finding& f : lint.findings)
        table.rows.push_back({{SeverityName(f.severity), f.rule, f.where, f.text, f.wizardSays},
                              SeverityName(f.severity)});
    return table;
}

std::string CodePages(const std::vector<unsigned>& pages) {
    std::string list;
    for (unsigned page : pages)
        list += (list.empty() ? "" : ", ") + CodePageName(page);
    return list;
}

// What was checked, with what, when and how.
Table HeadTable(const ReportFacts& facts) {
    Table table{{"", ""}, {}};
    table.rows.push_back({{"Update folder", facts.update}, ""});
    table.rows.push_back({{"Checked", facts.date}, ""});
    for (const BinaryFacts& b : facts.binaries)
        table.rows.push_back(
            {{b.name, "version " + b.version + ", commit " + b.commit + ", SHA-256 " + b.sha256 +
                          "\n" + b.path + " (" + b.from + ")"},
             ""});
    table.rows.push_back(
        {{"Names checked against", "code pages " + CodePages(facts.codePages) + "; this PC's is " +
                                       CodePageName(facts.thisCodePage)},
         ""});
    std::string cameras;
    for (const std::string& model : facts.cameraModels)
        cameras += (cameras.empty() ? "\"" : ", \"") + model + "\"";
    table.rows.push_back(
        {{"Cameras' own names",
          cameras.empty() ? "none given: the rehearsal named its camera as each listed model"
                          : cameras},
         ""});
    return table;
}

Table FileTable(const LintResult& lint) {
    Table table{{"File", "On the card", "Bytes", "SHA-256"}, {}};
    for (const UpdateFile& f : lint.files)
        table.rows.push_back({{f.path, f.cardName, std::to_string(f.size), f.sha256}, ""});
    return table;
}

Table ScenarioTable(const std::vector<ScenarioResult>& scenarios) {
    Table table{{"Scenario", "Expected", "Seen", "Verdict"}, {}};
    for (const ScenarioResult& s : scenarios)
        table.rows.push_back(
            {{s.name, s.expected, s.seen, s.passed ? "pass" : "FAIL: " + Problems(s)},
             s.passed ? "pass" : "fail"});
    return table;
}

std::string Markdown(const Table& table) {
    std::string md = "|", rule = "|";
    for (const std::string& h : table.head) {
        md += " " + h + " |";
        rule += "---|";
    }
    md += "\n" + rule + "\n";
    for (const Table::Row& row : table.rows) {
        md += "|";
        for (const std::string& cell : row.cells)
            md += " " + Cell(cell, false) + " |";
        md += "\n";
    }
    return md;
}

std::string Html(const Table& table) {
    std::string h = "<table><tr>";
    for (const std::string& head : table.head)
        h += "<th>" + head + "</th>";
    h += "</tr>\n";
    for (const Table::Row& row : table.rows) {
        h += "<tr class=\"" + row.mark + "\">";
        for (const std::string& cell : row.cells)
            h += "<td>" + Cell(cell, true) + "</td>";
        h += "</tr>\n";
    }
    return h + "</table>\n";
}

} // namespace

bool Passed(const LintResult& lint, const std::vector<ScenarioResult>& scenarios,
            const ReportFacts& facts) {
    return facts.couldNotRun.empty() && !lint.HasErrors() && facts.rehearsed &&
           Failed(scenarios) == 0;
}

int ExitCode(const LintResult& lint, const std::vector<ScenarioResult>& scenarios,
             const ReportFacts& facts) {
    if (!facts.couldNotRun.empty())
        return 2;
    return Passed(lint, scenarios, facts) ? 0 : 1;
}

std::string MarkdownReport(const ReportFacts& facts, const LintResult& lint,
                           const std::vector<ScenarioResult>& scenarios) {
    std::string md = "# Update check\n\n";
    md += "**" + Verdict(facts, lint, scenarios) + "**\n\n";
    md += Markdown(HeadTable(facts));
    md += "\n## Files copied to the card: " + std::to_string(lint.files.size()) + ", " +
          std::to_string(lint.totalBytes) + " bytes\n\n" + Markdown(FileTable(lint));
    md += "\n## Lint\n\n" + Markdown(LintTable(lint));
    md += "\n## Rehearsal\n\n";
    if (!facts.rehearsed) {
        md += facts.couldNotRun.empty() ? "Not run: the lint found errors.\n"
                                        : "Not run: the check could not run.\n";
        return md;
    }
    md += Markdown(ScenarioTable(scenarios));
    md += "\n## Pictures\n\n";
    for (const ScenarioResult& s : scenarios) {
        if (s.pictures.empty())
            continue;
        md += "### " + s.name + "\n\n";
        for (const std::string& p : s.pictures)
            md += "![" + p + "](" + p + ")\n";
        md += "\n";
    }
    return md;
}

std::string HtmlReport(const ReportFacts& facts, const LintResult& lint,
                       const std::vector<ScenarioResult>& scenarios) {
    const bool passed = Passed(lint, scenarios, facts);
    std::string h = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Update "
                    "check</title>\n<style>\n"
                    "body{font-family:sans-serif;margin:2em;color:#222}\n"
                    "table{border-collapse:collapse;margin:1em 0}\n"
                    "td,th{border:1px solid #bbb;padding:4px 8px;vertical-align:top;text-align:"
                    "left;font-size:90%}\n"
                    "th{background:#eee}.pass{color:#070}.fail{color:#b00;font-weight:bold}\n"
                    ".error{color:#b00}.warning{color:#a60}.note{color:#555}\n"
                    ".verdict{font-size:120%;padding:6px;border:2px solid}\n"
                    "figure{display:inline-block;margin:6px;vertical-align:top}\n"
                    "figure img{max-width:420px;border:1px solid #999}\n"
                    "figcaption{font-size:80%}\n</style></head><body>\n";
    h += "<h1>Update check</h1>\n<p class=\"verdict " + std::string(passed ? "pass" : "fail") +
         "\">" + Cell(Verdict(facts, lint, scenarios), true) + "</p>\n";
    h += Html(HeadTable(facts));
    h += "<h2>Files copied to the card: " + std::to_string(lint.files.size()) + ", " +
         std::to_string(lint.totalBytes) + " bytes</h2>\n" + Html(FileTable(lint));
    h += "<h2>Lint</h2>\n" + Html(LintTable(lint)) + "<h2>Rehearsal</h2>\n";
    if (!facts.rehearsed) {
        h += facts.couldNotRun.empty() ? "<p>Not run: the lint found errors.</p>\n"
                                       : "<p>Not run: the check could not run.</p>\n";
        return h + "</body></html>\n";
    }
    h += Html(ScenarioTable(scenarios));
    h += "<h2>Pictures</h2>\n";
    for (const ScenarioResult& s : scenarios) {
        if (s.pictures.empty())
            continue;
        h += "<h3>" + Cell(s.name, true) + "</h3>\n";
        for (const std::string& p : s.pictures)
            h += "<figure><a href=\"" + Cell(p, true) + "\"><img src=\"" + Cell(p, true) +
                 "\" alt=\"" + Cell(p, true) + "\"></a><figcaption>" + Cell(p, true) +
                 "</figcaption></figure>\n";
    }
    h += "</body></html>\n";
    return h;
}

std::string JsonReport(const ReportFacts& facts, const LintResult& lint,
                       const std::vector<ScenarioResult>& scenarios) {
    using nlohmann::json;
    json report = {{"verdict", VerdictWord(facts, lint, scenarios)},
                   {"exitCode", ExitCode(lint, scenarios, facts)},
                   {"couldNotRun", facts.couldNotRun},
                   {"update", facts.update},
                   {"date", facts.date},
                   {"codePages", facts.codePages},
                   {"thisCodePage", facts.thisCodePage},
                   {"cameraModels", facts.cameraModels},
                   {"models", lint.models},
                   {"version", lint.version},
                   {"capacityKB", lint.capacityKB},
                   {"totalBytes", lint.totalBytes},
                   {"rehearsed", facts.rehearsed}};
    json& binaries = report["binaries"] = json::array();
    for (const BinaryFacts& b : facts.binaries)
        binaries.push_back({{"name", b.name},
                            {"path", b.path},
                            {"from", b.from},
                            {"version", b.version},
                            {"commit", b.commit},
                            {"sha256", b.sha256}});
    json& files = report["files"] = json::array();
    for (const UpdateFile& f : lint.files)
        files.push_back(
            {{"path", f.path}, {"cardName", f.cardName}, {"size", f.size}, {"sha256", f.sha256}});
    json& findings = report["findings"] = json::array();
    for (const Finding& f : lint.findings)
        findings.push_back({{"severity", SeverityName(f.severity)},
                            {"rule", f.rule},
                            {"where", f.where},
                            {"text", f.text},
                            {"wizardSays", f.wizardSays}});
    json& rows = report["scenarios"] = json::array();
    for (const ScenarioResult& s : scenarios)
        rows.push_back({{"name", s.name},
                        {"expected", s.expected},
                        {"seen", s.seen},
                        {"passed", s.passed},
                        {"problems", s.problems},
                        {"pictures", s.pictures}});
    // Names from the file system may be in the ANSI code page: such bytes read as U+FFFD.
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

namespace {

// Text for XML: the five escapes, and no character XML 1.0 cannot hold.
std::string Xml(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += '?';
            else
                out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Case(const std::string& suite, const std::string& name, const char* failure,
                 const std::string& message, const std::string& detail) {
    std::string x = "    <testcase classname=\"" + Xml(suite) + "\" name=\"" + Xml(name) + "\"";
    if (!failure)
        return x + (detail.empty() ? "/>\n"
                                   : "><system-out>" + Xml(detail) + "</system-out></testcase>\n");
    return x + "><" + failure + " message=\"" + Xml(message) + "\">" + Xml(detail) + "</" +
           failure + "></testcase>\n";
}

} // namespace

std::string JunitReport(const ReportFacts& facts, const LintResult& lint,
                        const std::vector<ScenarioResult>& scenarios) {
    std::string cases;
    size_t tests = 0, failures = 0;
    for (const Finding& f : lint.findings) {
        const bool error = f.severity == Severity::kError;
        const std::string name = f.rule + (f.where.empty() ? "" : ": " + f.where);
        cases += Case("lint", name, error ? "failure" : nullptr, f.text,
                      f.text + (f.wizardSays.empty() ? "" : "\nThe wizard shows: " + f.wizardSays));
        ++tests;
        failures += error;
    }
    std::string lintSuite = "  <testsuite name=\"lint\" tests=\"" + std::to_string(tests) +
                            "\" failures=\"" + std::to_string(failures) + "\" errors=\"0\">\n" +
                            cases + "  </testsuite>\n";
    cases.clear();
    size_t rehearsed = 0, failed = 0, errors = 0;
    if (!facts.couldNotRun.empty()) {
        cases += Case("check", "the check runs", "error", facts.couldNotRun, facts.couldNotRun);
        ++rehearsed;
        ++errors;
    }
    for (const ScenarioResult& s : scenarios) {
        cases += Case("rehearsal", s.name, s.passed ? nullptr : "failure", Problems(s),
                      "expected: " + s.expected + "\nseen: " + s.seen);
        ++rehearsed;
        failed += !s.passed;
    }
    const std::string rehearsal = "  <testsuite name=\"rehearsal\" tests=\"" +
                                  std::to_string(rehearsed) + "\" failures=\"" +
                                  std::to_string(failed) + "\" errors=\"" + std::to_string(errors) +
                                  "\">\n" + cases + "  </testsuite>\n";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"Update check " +
           Xml(facts.update) + "\" tests=\"" + std::to_string(tests + rehearsed) +
           "\" failures=\"" + std::to_string(failures + failed) + "\" errors=\"" +
           std::to_string(errors) + "\">\n" + lintSuite + rehearsal + "</testsuites>\n";
}

} // namespace check
