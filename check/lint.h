// The lint of an update folder: FirmInfo.txt read by the wizard's own parser and checks, what
// the copy sends counted by the wizard's own walk, and what the wizard does not look at but a
// camera or a customer will meet.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace check {

enum class Severity { kError, kWarning, kNote };

struct Finding {
    Severity severity;
    std::string rule;  // a short name, the same for every finding of its kind
    std::string where; // "FirmInfo.txt line 7", a path in the update, or empty
    std::string text;
    std::string wizardSays; // the wizard's message for it, where it shows one
};

// One file that the copy sends, under the name it takes on the card.
struct UpdateFile {
    std::string path;     // relative to the update folder, backslashes
    std::string cardName; // the last component: every object sits at the card's root
    uint64_t size = 0;
    std::string sha256;
};

struct LintOptions {
    // The ANSI code pages of the customers' Windows that every name must fit.
    std::vector<unsigned> codePages = DefaultCodePages();
    // The names real cameras give themselves (KxCameraCheck.exe prints them); none: unverified.
    std::vector<std::string> cameraModels;

    static std::vector<unsigned> DefaultCodePages();
};

struct LintResult {
    bool parsed = false; // FirmInfo.txt loaded as the wizard loads it
    std::vector<std::string> models;
    std::string version;
    int32_t capacityKB = 0;
    std::vector<UpdateFile> files;    // in the order the copy sends them
    std::vector<std::string> folders; // every folder the copy walks, listed ones first met
    uint64_t totalBytes = 0;
    bool hasReadme = false;
    std::vector<Finding> findings;

    bool HasErrors() const;
    // The findings of one rule.
    std::vector<Finding> Of(const std::string& rule) const;
};

// Lints `folder`; the wizard's messages come from the string table of `wizard` (its image
// loaded as data). Runs in the folder as the wizard does: the current directory is moved
// there and back. Reads the folder only.
LintResult LintUpdate(const std::string& folder, HMODULE wizard,
                      const LintOptions& options = LintOptions());

const char* SeverityName(Severity severity);
// "932 (Japanese)"
std::string CodePageName(unsigned codePage);

// A text of the wizard's own string table.
std::string WizardText(HMODULE wizard, int id);

} // namespace check
