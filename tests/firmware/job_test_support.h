// Shared fixture of the job tests: a scratch current directory, a counting allocator that can
// fail on demand, and checks of the job record's shape.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "firmware_job.h"

// Blocks handed out by the test allocator and not yet freed.
extern int liveBlocks;
// Allocations since the last reset; the one whose number equals failAllocation fails.
extern int allocationCount;
extern int failAllocation;

// Each test runs in an empty folder of its own as the current directory, with a fresh job.
class JobTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the bytes exactly as given (binary), relative to the scratch folder.
    void WriteFile(const std::string& name, const std::string& bytes);
    void WriteInfo(const std::string& bytes) { WriteFile("FirmInfo.txt", bytes); }
    int32_t Load();
    void ResetAllocations(int failAt);

    std::string folder_;
    FirmwareJob job_ = {};

  private:
    char previousDirectory_[MAX_PATH] = {};
    FirmwareCallocFn savedCalloc_ = nullptr;
    FirmwareFreeFn savedFree_ = nullptr;
};

// Every byte of the record is zero.
::testing::AssertionResult IsAllZero(const FirmwareJob& job);

// Counts, heads and tails agree with the lists; nodes hold only what the parser may put there.
// A last node without a name is allowed only after an allocation failure.
::testing::AssertionResult IsWellFormed(const FirmwareJob& job, bool allowNamelessTail);

// Names of a list, in order ("<none>" for a missing name).
std::string EntryNames(const FirmwareJob& job);
std::string ModelNames(const FirmwareJob& job);

// Removes a folder and everything in it.
void RemoveTree(const std::string& path);
