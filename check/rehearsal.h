// The rehearsal: the real Vandrel.exe, in a copy of the update folder, against the virtual
// camera embedded in KXPTPCLS.DLL: a whole walk for each listed model, then the standard
// failures, each with exactly its message, the photos on the card untouched and nothing of the
// update half-copied.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "lint.h"

namespace check {

struct RehearsalSetup {
    std::string update;       // the update folder
    std::string program;      // the Vandrel.exe to rehearse
    std::string library;      // the KXPTPCLS.DLL to rehearse
    std::string work;         // an empty folder the rehearsal may fill
    std::string pictures;     // where pictures go; empty: none
    HMODULE wizard = nullptr; // `program` loaded as data, for its messages
    // The names the cameras give themselves; none: each listed model.
    std::vector<std::string> cameraModels;
};

struct ScenarioResult {
    std::string name;
    std::string expected;
    std::string seen;
    bool passed = false;
    std::vector<std::string> problems; // why it failed
    std::vector<std::string> pictures;
};

std::vector<ScenarioResult> Rehearse(const LintResult& update, const RehearsalSetup& setup);

} // namespace check
