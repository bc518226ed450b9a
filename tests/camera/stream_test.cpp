// Memory and file streams driven through their descriptors, as the driver library drives them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "stream.h"

namespace {

const DriverResult kUntouched = 12345;

struct MemoryFixture : ::testing::Test {
    CameraStream d;
    void SetUp() override {
        memset(&d, 0, sizeof d);
        ASSERT_EQ(CreateMemoryStream(0, 10240, 0, nullptr, 0, kStreamTagMemory, &d), 0);
    }
    void TearDown() override { ReleaseMemoryStream(&d); }
    MemoryStreamBlock* block() { return static_cast<MemoryStreamBlock*>(d.impl); }
    DriverResult open(uint16_t mode) {
        DriverResult r = kUntouched;
        d.open(d.impl, mode, &r);
        return r;
    }
    DriverResult write(const void* p, uint32_t n) {
        DriverResult r = kUntouched;
        uint32_t count = n;
        d.write(d.impl, p, &count, &r);
        EXPECT_EQ(count, n) << "a memory write leaves the count as it was";
        return r;
    }
    DriverResult seek(uint16_t origin, int32_t offset) {
        DriverResult r = kUntouched;
        d.seek(d.impl, origin, offset, &r);
        return r;
    }
    DriverResult close() {
        DriverResult r = kUntouched;
        d.close(d.impl, &r);
        return r;
    }
    uint32_t tell(DriverResult* r) { return d.tell(d.impl, r); }
};

TEST_F(MemoryFixture, DescriptorCarriesFixedBytesTagAndOperations) {
    EXPECT_EQ(d.fixedZero, 0);
    EXPECT_EQ(d.fixedTwo, 2);
    EXPECT_EQ(d.streamTag, kStreamTagMemory);
    EXPECT_TRUE(d.open && d.close && d.read && d.write && d.seek && d.tell && d.progress);
    EXPECT_EQ(block()->header.kind, kStreamKindMemory);
    EXPECT_EQ(block()->buffer, nullptr);
    EXPECT_EQ(block()->growthStep, 10240u);
}

TEST_F(MemoryFixture, GrowthRuleStepsOrTakesExactlyWhatIsMissing) {
    ASSERT_EQ(open(kStreamOpenCreate), 0);
    EXPECT_NE(block()->buffer, nullptr) << "a zero initial capacity still opens the stream";
    EXPECT_EQ(block()->capacity, 0u);
    std::vector<uint8_t> bytes(30000, 0xAB);
    EXPECT_EQ(write(bytes.data(), 100), 0);
    EXPECT_EQ(block()->capacity, 10240u);
    EXPECT_EQ(write(bytes.data(), 10141), 0); // 10241 in all
    EXPECT_EQ(block()->capacity, 20480u);
    EXPECT_EQ(block()->length, 10241u);

    CameraStream other;
    memset(&other, 0, sizeof other);
    ASSERT_EQ(CreateMemoryStream(0, 10240, 0, nullptr, 0, 1, &other), 0);
    DriverResult r = kUntouched;
    other.open(other.impl, kStreamOpenCreate, &r);
    uint32_t n = 20000;
    other.write(other.impl, bytes.data(), &n, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(static_cast<MemoryStreamBlock*>(other.impl)->capacity, 20000u);
    n = 10000; // 30000 in all: one step covers what is missing
    other.write(other.impl, bytes.data(), &n, &r);
    EXPECT_EQ(static_cast<MemoryStreamBlock*>(other.impl)->capacity, 30240u);
    ReleaseMemoryStream(&other);

    // From 10240, 30000 in all is more than one step away: exactly what is needed.
    ASSERT_EQ(open(kStreamOpenCreate), 0);
    ASSERT_EQ(block()->capacity, 20480u);
    CameraStream third;
    memset(&third, 0, sizeof third);
    ASSERT_EQ(CreateMemoryStream(0, 10240, 0, nullptr, 0, 1, &third), 0);
    third.open(third.impl, kStreamOpenCreate, &r);
    n = 100;
    third.write(third.impl, bytes.data(), &n, &r);
    n = 29900;
    third.write(third.impl, bytes.data(), &n, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(static_cast<MemoryStreamBlock*>(third.impl)->capacity, 30000u);
    EXPECT_EQ(static_cast<MemoryStreamBlock*>(third.impl)->length, 30000u);
    ReleaseMemoryStream(&third);
}

TEST_F(MemoryFixture, WrittenDataReadsBackAfterCloseWithItsLength) {
    ASSERT_EQ(open(kStreamOpenCreate), 0);
    std::vector<uint8_t> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(write(bytes.data(), 300), 0);
    ASSERT_EQ(close(), 0);
    uint32_t length = 0;
    void* data = nullptr;
    ASSERT_EQ(GetStreamData(&d, &length, &data), 0);
    EXPECT_EQ(length, 300u);
    EXPECT_EQ(data, block()->buffer);
    EXPECT_EQ(memcmp(data, bytes.data(), 300), 0);
    EXPECT_EQ(block()->position, 0u);
}

TEST_F(MemoryFixture, OpenModesKeepOrDiscardData) {
    const char text[] = "abcdef";
    ASSERT_EQ(open(kStreamOpenCreate), 0);
    ASSERT_EQ(write(text, 6), 0);
    EXPECT_EQ(open(kStreamOpenRead), 0);
    EXPECT_EQ(block()->length, 6u);
    EXPECT_EQ(block()->position, 0u);
    EXPECT_EQ(open(kStreamOpenReadWrite), 0);
    EXPECT_EQ(block()->length, 6u);
    EXPECT_EQ(open(99), 0) << "no mode is refused";
    EXPECT_EQ(block()->length, 6u);
    EXPECT_EQ(open(kStreamOpenCreate), 0);
    EXPECT_EQ(block()->length, 0u);
}

TEST_F(MemoryFixture, ReadDeliversWhatIsThereAndAdvances) {
    ASSERT_EQ(open(kStreamOpenCreate), 0);
    ASSERT_EQ(write("0123456789", 10), 0);
    ASSERT_EQ(seek(kStreamSeekStart, 4), 0);
    char out[16] = {};
    uint32_t count = 16;
    DriverResult r = kUntouched;
    d.read(d.impl, out, &count, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(std::string(out, 6), "456789");
    EXPECT_EQ(tell(&r), 10u);
}

TEST_F(MemoryFixture, SeekPastLengthGrowsCapacityNotLengthAndReadsNothing) {
    ASSERT_EQ(open(kStreamOpenCreate), 0);
    ASSERT_EQ(write("xyz", 3), 0);
    ASSERT_EQ(seek(kStreamSeekEnd, 30000), 0);
    EXPECT_EQ(block()->position, 30003u);
    EXPECT_EQ(block()->length, 3u);
    EXPECT_EQ(block()->capacity, 30003u);
    char out[8];
    uint32_t count = 8;
    DriverResult r = kUntouched;
    d.read(d.impl, out, &count, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(seek(kStreamSeekCurrent, -30000), 0);
    EXPECT_EQ(block()->position, 3u);
    EXPECT_EQ(seek(42, 1), 0) << "an unknown origin counts from the start";
    EXPECT_EQ(block()->position, 1u);
}

TEST_F(MemoryFixture, PositionsBeyondThirtyTwoBitsFailAndChangeNothing) {
    ASSERT_EQ(open(kStreamOpenCreate), 0);
    ASSERT_EQ(write("abc", 3), 0);
    const uint32_t capacity = block()->capacity;
    EXPECT_EQ(seek(kStreamSeekStart, -1), kDriverOutOfMemory);
    EXPECT_EQ(seek(kStreamSeekCurrent, -4), kDriverOutOfMemory);
    EXPECT_EQ(block()->position, 3u);
    EXPECT_EQ(block()->capacity, capacity);

    // A write whose end would wrap past 4 GiB onto the start of the buffer.
    block()->position = 0xFFFFFFF0u;
    EXPECT_EQ(write("0123456789abcdefXYZ", 19), kDriverOutOfMemory);
    EXPECT_EQ(block()->length, 3u);
    EXPECT_EQ(block()->capacity, capacity);
    EXPECT_EQ(memcmp(block()->buffer, "abc", 3), 0);
    block()->position = 0;
}

TEST_F(MemoryFixture, EveryOperationBeforeTheFirstOpenIsNotOpen) {
    DriverResult r = kUntouched;
    EXPECT_EQ(close(), kStreamNotOpen);
    char buf[4];
    uint32_t count = 4;
    d.read(d.impl, buf, &count, &r);
    EXPECT_EQ(r, kStreamNotOpen);
    EXPECT_EQ(write("ab", 2), kStreamNotOpen);
    EXPECT_EQ(seek(kStreamSeekStart, 0), kStreamNotOpen);
    r = kUntouched;
    EXPECT_EQ(tell(&r), 0u);
    EXPECT_EQ(r, kStreamNotOpen);
}

TEST_F(MemoryFixture, GetStreamDataWithoutPlacesCallsNothing) {
    EXPECT_EQ(GetStreamData(&d, nullptr, nullptr), 0);
    EXPECT_EQ(block()->buffer, nullptr) << "the stream must not have been opened";
    void* data = reinterpret_cast<void*>(1);
    EXPECT_EQ(GetStreamData(&d, nullptr, &data), 0);
    EXPECT_EQ(data, nullptr);
    uint32_t length = 77;
    EXPECT_EQ(GetStreamData(&d, &length, nullptr), 0);
    EXPECT_EQ(length, 0u);
}

DriverResult gotPercent, gotContext, gotUser;
DriverResult RecordProgress(uint32_t percent, uint32_t context, uint32_t userValue) {
    gotPercent = percent;
    gotContext = context;
    gotUser = userValue;
    return 7;
}

TEST(Stream, ProgressCallsTheFunctionWithContextAndUserValue) {
    CameraStream d;
    memset(&d, 0, sizeof d);
    ASSERT_EQ(CreateMemoryStream(0, 10, 5, RecordProgress, 9, 1, &d), 0);
    DriverResult r = kUntouched;
    EXPECT_EQ(d.progress(d.impl, 65535, &r), 7);
    EXPECT_EQ(r, 7);
    EXPECT_EQ(gotPercent, 65535) << "percent is widened without sign";
    EXPECT_EQ(gotContext, 5);
    EXPECT_EQ(gotUser, 9);
    ReleaseMemoryStream(&d);

    ASSERT_EQ(CreateFileStream("x", 0, nullptr, 0, 3, &d), 0);
    r = kUntouched;
    EXPECT_EQ(d.progress(d.impl, 50, &r), 0);
    EXPECT_EQ(r, 0);
    ReleaseFileStream(&d);
}

TEST(Stream, ReleaseAndCreationFailuresLeaveEmptyDescriptors) {
    CameraStream d;
    memset(&d, 0, sizeof d);
    EXPECT_EQ(ReleaseMemoryStream(&d), 0);
    EXPECT_EQ(ReleaseFileStream(&d), 0);
    const CameraStream zero = {};
    EXPECT_EQ(memcmp(&d, &zero, sizeof d), 0);

    EXPECT_EQ(CreateFileStream(nullptr, 0, nullptr, 0, 3, &d), kStreamBadArgument);
    EXPECT_EQ(memcmp(&d, &zero, sizeof d), 0);
    EXPECT_EQ(GetStreamData(nullptr, nullptr, nullptr), kStreamBadArgument);
    EXPECT_EQ(GetStreamData(&d, nullptr, nullptr), kStreamBadArgument);

    ASSERT_EQ(CreateMemoryStream(0, 10, 0, nullptr, 0, 1, &d), 0);
    DriverResult r;
    d.open(d.impl, kStreamOpenCreate, &r);
    uint32_t n = 3;
    d.write(d.impl, "abc", &n, &r);
    EXPECT_EQ(ReleaseMemoryStream(&d), 0);
    EXPECT_EQ(memcmp(&d, &zero, sizeof d), 0);
}

// --- file streams over real files ---

struct FileFixture : ::testing::Test {
    char dir[MAX_PATH];
    std::string path;
    CameraStream d;
    void SetUp() override {
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        GetTempFileNameA(tmp, "vst", 0, dir);
        DeleteFileA(dir);
        CreateDirectoryA(dir, nullptr);
        path = std::string(dir) + "\\data.bin";
        memset(&d, 0, sizeof d);
        ASSERT_EQ(CreateFileStream(path.c_str(), 1, nullptr, 0, kStreamTagSendFile, &d), 0);
    }
    void TearDown() override {
        DriverResult r;
        if (block()->handle != INVALID_HANDLE_VALUE)
            d.close(d.impl, &r);
        ReleaseFileStream(&d);
        DeleteFileA(path.c_str());
        RemoveDirectoryA(dir);
    }
    FileStreamBlock* block() { return static_cast<FileStreamBlock*>(d.impl); }
    DriverResult open(uint16_t mode) {
        DriverResult r = kUntouched;
        d.open(d.impl, mode, &r);
        return r;
    }
    DriverResult seek(uint16_t origin, int32_t offset) {
        DriverResult r = kUntouched;
        d.seek(d.impl, origin, offset, &r);
        return r;
    }
};

TEST_F(FileFixture, CreatedClosedWithPathAndTag) {
    EXPECT_EQ(d.streamTag, kStreamTagSendFile);
    EXPECT_EQ(block()->header.kind, kStreamKindFile);
    EXPECT_EQ(block()->header.context, 1u);
    EXPECT_EQ(block()->handle, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(block()->path, path.c_str());
}

TEST_F(FileFixture, MissingFileForReadingFailsAndStaysClosed) {
    EXPECT_EQ(open(kStreamOpenRead), kStreamOpenFailed);
    EXPECT_EQ(block()->handle, INVALID_HANDLE_VALUE);
    DriverResult r = kUntouched;
    d.close(d.impl, &r);
    EXPECT_EQ(r, kStreamNotOpen);
    EXPECT_EQ(open(7), kStreamOpenFailed) << "an unknown mode opens nothing";
}

TEST_F(FileFixture, WriteSeekTellReadRoundTrip) {
    ASSERT_EQ(open(kStreamOpenReadWrite), 0);
    DriverResult r = kUntouched;
    uint32_t n = 10;
    d.write(d.impl, "0123456789", &n, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(seek(kStreamSeekEnd, -3), 0);
    EXPECT_EQ(d.tell(d.impl, &r), 7u);
    EXPECT_EQ(seek(kStreamSeekCurrent, -5), 0);
    char out[8] = {};
    n = 8;
    d.read(d.impl, out, &n, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(std::string(out, 8), "23456789");
    d.close(d.impl, &r);
    EXPECT_EQ(r, 0);

    // Reopening for reading sees the bytes; creating empties the file.
    ASSERT_EQ(open(kStreamOpenRead), 0);
    uint32_t length = 0;
    d.close(d.impl, &r);
    EXPECT_EQ(GetStreamData(&d, &length, nullptr), 0);
    EXPECT_EQ(length, 10u);
    void* data = reinterpret_cast<void*>(1);
    EXPECT_EQ(GetStreamData(&d, nullptr, &data), 0);
    EXPECT_EQ(data, nullptr) << "a file stream has no data address";
    ASSERT_EQ(open(kStreamOpenCreate), 0);
    d.close(d.impl, &r);
    EXPECT_EQ(GetStreamData(&d, &length, nullptr), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(block()->handle, INVALID_HANDLE_VALUE) << "GetStreamData closes what it opened";
}

TEST_F(FileFixture, OperationsWithoutAnOpenFile) {
    DriverResult r = kUntouched;
    char buf[4];
    uint32_t n = 4;
    d.read(d.impl, buf, &n, &r);
    EXPECT_EQ(r, kStreamNotOpen);
    r = kUntouched;
    d.write(d.impl, buf, &n, &r);
    EXPECT_EQ(r, kStreamNotOpen);
    EXPECT_EQ(seek(kStreamSeekStart, 0), kStreamNotOpen);
    r = kUntouched;
    EXPECT_EQ(d.tell(d.impl, &r), 0u);
    EXPECT_EQ(r, kStreamNotOpen);
    uint32_t length = 0;
    EXPECT_EQ(GetStreamData(&d, &length, nullptr), kStreamOpenFailed);
}

TEST_F(FileFixture, SeekTellReadAndWriteFailuresHaveTheirCodes) {
    ASSERT_EQ(open(kStreamOpenReadWrite), 0);
    EXPECT_EQ(seek(kStreamSeekStart, -1), kStreamSeekFailed);
    // The position 0xFFFFFFFF is indistinguishable from a failure without a high part.
    EXPECT_EQ(seek(kStreamSeekStart, 0x7FFFFFFF), 0);
    EXPECT_EQ(seek(kStreamSeekCurrent, 0x7FFFFFFF), 0);
    EXPECT_EQ(seek(kStreamSeekCurrent, 1), kStreamSeekFailed);
    DriverResult r = kUntouched;
    d.tell(d.impl, &r);
    EXPECT_EQ(r, kStreamTellFailed);
    EXPECT_EQ(seek(kStreamSeekStart, 0), 0);

    // Reading into memory that cannot be written.
    uint32_t n = 4;
    d.write(d.impl, "data", &n, &r);
    EXPECT_EQ(seek(kStreamSeekStart, 0), 0);
    void* readOnly = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
    ASSERT_NE(readOnly, nullptr);
    n = 4;
    d.read(d.impl, readOnly, &n, &r);
    EXPECT_EQ(r, kStreamReadFailed);
    VirtualFree(readOnly, 0, MEM_RELEASE);
    d.close(d.impl, &r);

    // Writing to a file opened for reading only.
    ASSERT_EQ(open(kStreamOpenRead), 0);
    n = 4;
    d.write(d.impl, "more", &n, &r);
    EXPECT_EQ(r, kStreamWriteFailed);
}

} // namespace
