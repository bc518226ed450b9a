// One run of the pre-copy checks: an update folder as the current directory beside a scenario
// with the real driver library and a virtual camera profile, and a script that answers the
// checks' question for the page that owns it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "checks.h"
#include "firmware_job.h"
#include "scenario.h"

// One question the checks put: to whom, and which.
struct Asked {
    HWND owner;
    MessageId question;
};

// FirmInfo.txt text: the given entry lines (each "F name" for a file or "D name" for a folder
// entry), model lines, version and capacity.
std::string InfoText(const std::vector<std::string>& entries,
                     const std::vector<std::string>& models = {"Tarvo Camera X1"},
                     int capacityKB = 2048, const std::string& version = "1.0.2.0");

class CheckRun : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A new scenario with this camera profile; the update folder is its "update" subfolder.
    void UseCamera(const std::string& profile);
    std::string Update(const std::string& relative = "") const;
    std::string Card(const std::string& relative = "") const;
    // Writes a file (making its folders) in the update folder or on the card.
    void UpdateFile(const std::string& relative, size_t size);
    void CardFile(const std::string& relative, size_t size = 10);
    void UpdateFolder(const std::string& relative);
    void WriteInfo(const std::string& text);

    // Runs RunPreCopyChecks with the update folder as the current directory, answering the
    // questions with `answers`, then Cancel; `before` runs before question number i is answered.
    MessageId Run(const std::vector<int>& answers = {},
                  std::function<void(size_t i)> before = nullptr);

    // The entry with this name, or none.
    const FirmwareEntry* Entry(const std::string& name) const;
    // Releases the job, as the page does after a failure, and checks that the link closed.
    void Release();

    std::unique_ptr<testing_support::Scenario> scenario_;
    HWND window_ = nullptr;
    std::vector<Asked> asked_;
    // The driver library module seen right after the run: null when CameraOpen never ran.
    HMODULE libraryAfterRun_ = nullptr;
    bool released_ = false;

  private:
    char previousDirectory_[MAX_PATH] = {};
};

// Puts the link back to its state at process start: it is one per process.
void ResetCameraLink();

// Makes a file of the given size without writing its bytes (sparse where the system allows).
bool MakeFileOfSize(const std::string& path, uint64_t size);
