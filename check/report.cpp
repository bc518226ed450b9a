// The report in both its forms, written from the same tables.
#include "report.h"

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

std::string Verdict(const ReportFacts& facts, const LintResult& lint,
                    const std::vector<ScenarioResult>& scenarios) {
    std::string verdict = Passed(lint, scenarios, facts) ? "PASSED" : "FAILED";
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
    return !lint.HasErrors() && facts.rehearsed && Failed(scenarios) == 0;
}

std::string MarkdownReport(const ReportFacts& facts, const LintResult& lint,
                           const std::vector<ScenarioResult>& scenarios) {
    std::string md = "# Update check\n\n";
    md += "**" + Verdict(facts, lint, scenarios) + "**\n\n";
    md += "- Update folder: `" + facts.update + "`\n";
    md += "- Rehearsed: `" + facts.program + "` with `" + facts.library + "`\n";
    md += "- Files copied to the card: " + std::to_string(lint.files.size()) + ", " +
          std::to_string(lint.totalBytes) + " bytes\n\n";
    md += "## Lint\n\n" + Markdown(LintTable(lint));
    md += "\n## Rehearsal\n\n";
    if (!facts.rehearsed) {
        md += "Not run: the lint found errors.\n";
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
    h += "<p>Update folder: <code>" + Cell(facts.update, true) + "</code><br>Rehearsed: <code>" +
         Cell(facts.program, true) + "</code> with <code>" + Cell(facts.library, true) +
         "</code><br>Files copied to the card: " + std::to_string(lint.files.size()) + ", " +
         std::to_string(lint.totalBytes) + " bytes</p>\n";
    h += "<h2>Lint</h2>\n" + Html(LintTable(lint)) + "<h2>Rehearsal</h2>\n";
    if (!facts.rehearsed) {
        h += "<p>Not run: the lint found errors.</p>\n</body></html>\n";
        return h;
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

} // namespace check
