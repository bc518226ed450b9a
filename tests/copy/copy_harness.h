// Runs the real progress dialog as page 3 does, after the real checks, against a scenario's
// virtual camera; records what the worker sent to the bar and answers the dialog's message boxes.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "copy_dialog.h"
#include "scenario.h"

namespace copy_testing {

// What one PBM_SETPOS carried, with the counters as they stood while the worker waited on it.
struct BarStep {
    WPARAM position;
    LONG copiedKB;
    LONG currentKB;
};

// Kernel handles and threads of this process.
struct ProcessCounts {
    DWORD handles = 0;
    int threads = 0;
    std::map<std::string, int> byType;
};
ProcessCounts CountProcess();
// Serves this thread's messages for a while, as the page's loop would.
void PumpMessages(DWORD milliseconds);
// Waits briefly for exiting threads to go, then compares threads and handles with `before`:
// all handles, or only those of the given kinds ("Thread", "File", "Mutant"...).
void ExpectNothingLeftBehind(const ProcessCounts& before,
                             const std::vector<std::string>& kinds = {});

// Records PBM_SETPOS and PBM_SETRANGE reaching any progress bar 1000 on this thread.
class BarRecorder {
  public:
    BarRecorder();
    ~BarRecorder();
    BarRecorder(const BarRecorder&) = delete;
    BarRecorder& operator=(const BarRecorder&) = delete;
    std::vector<BarStep> steps;
    std::vector<LPARAM> ranges;

  private:
    HHOOK hook_;
};

// A string of the test module's table, as the dialog loads it.
std::string ModuleString(UINT id);

// What the user does with each message box the dialog shows while a copy runs.
struct BoxSeen {
    std::string text;
    std::string caption;
    HWND owner;
};
using BoxAnswer = std::function<void(HWND box, const BoxSeen& seen)>;

// One scenario with an update folder, run through the checks and the dialog.
class CopyCase : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The camera's profile (ini text) for the next run.
    void Profile(const std::string& text);
    // A file of the update folder, and every folder above it.
    void Lay(const std::string& relative, const std::string& bytes);
    void LayFolder(const std::string& relative);
    // The same through the raw path form, for names and lengths the path rules would not take.
    void LayRaw(const std::string& relative, const std::string& bytes);
    // FirmInfo.txt naming these folders and files, for the default camera model.
    void WriteInfo(const std::vector<std::string>& folders, const std::vector<std::string>& files);

    // Checks, dialog, release, as page 2 and page 3 run them. Returns the dialog's result, or
    // -1 when the checks failed (checksResult tells which).
    INT_PTR Run();

    // The card must hold exactly these files (name -> bytes), byte for byte.
    void ExpectCard(const std::map<std::string, std::string>& expected);
    // Every file of the update folder under its last path component, minus `except` names.
    std::map<std::string, std::string> UpdateFlattened(const std::vector<std::string>& except = {});

    std::string update() const { return scenario_->Path("update"); }
    std::string card() const { return scenario_->card(); }

    // Every message the user read during the copy: the dialog's boxes, then what page 3 shows.
    std::vector<std::string> Shown() const;

    BoxAnswer answer; // default: read the box, then press OK
    MessageId checksResult = 0;
    MessageId pageMessage = 0; // what page 3 shows after the dialog, 0 for nothing
    std::vector<BarStep> bar;
    std::vector<LPARAM> ranges;
    std::vector<BoxSeen> boxes;
    std::atomic<bool> dialogReturned{false};
    ProcessCounts runBefore; // before the checks opened the link
    HWND owner = nullptr;

  private:
    std::unique_ptr<testing_support::Scenario> scenario_;
    char startDirectory_[MAX_PATH] = "";
};

// Presses OK on a message box.
void PressOk(HWND box);

// Points this program's import of a KERNEL32 function elsewhere while it lives: the code under
// test, linked into this program, then meets failures the system gives only rarely.
class ImportPatch {
  public:
    ImportPatch(const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    bool applied() const { return slot_ != nullptr; }

  private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

} // namespace copy_testing
