#include "job_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int liveBlocks = 0;
int allocationCount = 0;
int failAllocation = 0;

namespace {

void* CountingCalloc(size_t count, size_t size) {
    ++allocationCount;
    if (allocationCount == failAllocation)
        return nullptr;
    void* block = calloc(count, size);
    if (block)
        ++liveBlocks;
    return block;
}

void CountingFree(void* block) {
    if (block)
        --liveBlocks;
    free(block);
}

int folderSerial = 0;

} // namespace

void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

void JobTest::SetUp() {
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    folder_ = std::string(temp) + "vfw" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(++folderSerial);
    RemoveTree(folder_);
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr)) << folder_;
    ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, previousDirectory_), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(folder_.c_str()));
    savedCalloc_ = firmwareCalloc;
    savedFree_ = firmwareFree;
    firmwareCalloc = CountingCalloc;
    firmwareFree = CountingFree;
    ResetAllocations(0);
    liveBlocks = 0;
}

void JobTest::TearDown() {
    ReleaseFirmwareJob(&job_);
    EXPECT_EQ(liveBlocks, 0) << "blocks left after release";
    firmwareCalloc = savedCalloc_;
    firmwareFree = savedFree_;
    SetCurrentDirectoryA(previousDirectory_);
    RemoveTree(folder_);
}

void JobTest::WriteFile(const std::string& name, const std::string& bytes) {
    std::string path = folder_ + "\\" + name;
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    ASSERT_EQ(fclose(file), 0);
}

int32_t JobTest::Load() {
    return LoadFirmwareInfo(GetModuleHandleA(nullptr), &job_);
}

void JobTest::ResetAllocations(int failAt) {
    allocationCount = 0;
    failAllocation = failAt;
}

::testing::AssertionResult IsAllZero(const FirmwareJob& job) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&job);
    for (size_t i = 0; i < sizeof job; ++i) {
        if (bytes[i] != 0)
            return ::testing::AssertionFailure() << "byte " << i << " of the job is not zero";
    }
    return ::testing::AssertionSuccess();
}

namespace {

// Shared by both lists: same node layout.
template <typename Node>
::testing::AssertionResult CheckList(const char* what, Node* head, Node* tail, int32_t count,
                                     bool allowNamelessTail, bool isModelList) {
    int32_t walked = 0;
    Node* last = nullptr;
    for (Node* node = head; node; node = node->next) {
        if (++walked > count)
            return ::testing::AssertionFailure() << what << ": more nodes than counted";
        if (!node->name) {
            if (!(allowNamelessTail && node->next == nullptr))
                return ::testing::AssertionFailure() << what << ": node " << walked << " unnamed";
        } else {
            size_t length = strlen(node->name);
            if (length > 259 || strchr(node->name, '\n'))
                return ::testing::AssertionFailure() << what << ": bad name at " << walked;
            if (node->name[0] == '-' || node->name[0] == '[')
                return ::testing::AssertionFailure() << what << ": section line taken as name";
        }
        if (node->isFile != 0 || node->sizeLow != 0 || node->sizeHigh != 0)
            return ::testing::AssertionFailure() << what << ": check fields set by the parser";
        if (node->listedAsFile != 0 && !(node->listedAsFile == 1 && !isModelList))
            return ::testing::AssertionFailure() << what << ": bad listedAsFile";
        last = node;
    }
    if (walked != count)
        return ::testing::AssertionFailure() << what << ": " << walked << " nodes, count " << count;
    if (last != tail)
        return ::testing::AssertionFailure() << what << ": tail is not the last node";
    return ::testing::AssertionSuccess();
}

template <typename Node> std::string Names(Node* head) {
    std::string out;
    for (Node* node = head; node; node = node->next) {
        if (!out.empty())
            out += "|";
        out += node->name ? node->name : "<none>";
    }
    return out;
}

} // namespace

::testing::AssertionResult IsWellFormed(const FirmwareJob& job, bool allowNamelessTail) {
    ::testing::AssertionResult entries = CheckList("entries", job.entryHead, job.entryTail,
                                                   job.entryCount, allowNamelessTail, false);
    if (!entries)
        return entries;
    ::testing::AssertionResult models =
        CheckList("models", job.modelHead, job.modelTail, job.modelCount, allowNamelessTail, true);
    if (!models)
        return models;
    if (job.firmwareVersion && strchr(job.firmwareVersion, '\n'))
        return ::testing::AssertionFailure() << "version keeps its line end";
    if (job.cameraModel || job.cameraFirmwareVersion || job.cameraOpen)
        return ::testing::AssertionFailure() << "camera fields set by the parser";
    return ::testing::AssertionSuccess();
}

std::string EntryNames(const FirmwareJob& job) {
    return Names(job.entryHead);
}
std::string ModelNames(const FirmwareJob& job) {
    return Names(job.modelHead);
}
