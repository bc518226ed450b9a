// Generated hostile files: whatever the bytes, the parser returns one of its codes, leaves a
// well-formed job, and ReleaseFirmwareJob frees every block and zeroes the record.
#include <cstdint>
#include <random>
#include <string>

#include "job_test_support.h"

namespace {

using HostileInputTest = JobTest;

class Generator {
  public:
    explicit Generator(uint32_t seed) : random_(seed) {}

    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(random_() % bound); }

    // Either random lines throughout, or the four required sections in random order with
    // noise mixed in, so that loads that succeed are reached as well as every failure.
    std::string File() {
        std::string out = Below(3) == 0 ? RandomLines() : NoisySections();
        if (Below(8) == 0)
            out.insert(Below(static_cast<uint32_t>(out.size()) + 1), 1, '\x1a');
        if (Below(8) == 0)
            out += RandomBytes(Below(600));
        return out;
    }

  private:
    std::string RandomLines() {
        std::string out;
        uint32_t lines = Below(40);
        for (uint32_t i = 0; i < lines; ++i)
            out += Line() + LineEnd();
        return out;
    }

    std::string NoisySections() {
        static const char* const headers[] = {"[Firmware Folder Name]", "[Firmware File Name]",
                                              "[Camera Model Name]", "[Firmware Version]",
                                              "[CF Capacity]"};
        const std::string end = Below(2) ? "\n" : "\r\n";
        std::string out;
        uint32_t first = Below(2); // folder or file section for the entries
        uint32_t order[4] = {first, 2, 3, 4};
        for (uint32_t i = 3; i > 0; --i)
            std::swap(order[i], order[Below(i + 1)]);
        for (uint32_t section : order) {
            out += std::string(headers[section]) + end;
            uint32_t values = section >= 3 ? 1 + (Below(6) == 0) : 1 + Below(3);
            for (uint32_t v = 0; v < values; ++v) {
                if (Below(6) == 0)
                    out += Line() + LineEnd();
                if (section == 4)
                    out += std::to_string(Below(5000)) + (Below(2) ? " KB" : "") + end;
                else
                    out += Printable(1 + Below(20)) + (Below(10) ? end : LineEnd());
            }
            if (Below(3) == 0)
                out += (Below(2) ? "" : "-----") + end;
        }
        return out;
    }

    std::string Line() {
        static const char* const keys[] = {
            "Firmware Folder Name", "Firmware File Name", "Camera Model Name",
            "Firmware Version",     "CF Capacity",        "camera model name",
            "Firmware Notes",       "CF Capacity in KB",  "Firmware Version Camera Model Name"};
        switch (Below(10)) {
        case 0:
        case 1:
            return "[" + std::string(keys[Below(9)]) + (Below(2) ? "]" : "");
        case 2:
            return Below(2) ? "" : std::string(Below(5) + 1, '-');
        case 3:
            return std::to_string(static_cast<int32_t>(random_())) + (Below(2) ? " KB" : "");
        case 4:
            return std::string(Below(600), static_cast<char>('A' + Below(26)));
        case 5:
            return RandomBytes(Below(40));
        case 6:
            return " [" + std::string(keys[Below(5)]) + "]";
        default:
            return Printable(Below(30));
        }
    }

    std::string LineEnd() {
        switch (Below(8)) {
        case 0:
            return "\r\n";
        case 1:
            return "\r";
        case 2:
            return "";
        case 3:
            return "\r\r\n";
        default:
            return "\n";
        }
    }

    std::string Printable(uint32_t length) {
        std::string out;
        for (uint32_t i = 0; i < length; ++i)
            out += static_cast<char>(' ' + Below(95));
        return out;
    }

    std::string RandomBytes(uint32_t length) {
        std::string out;
        for (uint32_t i = 0; i < length; ++i)
            out += static_cast<char>(Below(256));
        return out;
    }

    std::mt19937 random_;
};

bool IsParserCode(int32_t code) {
    return code == 0 || code == -1 || code == -2 || code == kFirmwareInfoOutOfMemory || code == -20;
}

TEST_F(HostileInputTest, GeneratedFilesAlwaysGiveACodeAndReleaseToZero) {
    Generator generate(0x5EED1234u);
    int seen[5] = {};
    const int kFiles = 1500;
    for (int n = 0; n < kFiles; ++n) {
        std::string bytes = generate.File();
        WriteInfo(bytes);
        // A quarter of the runs also run out of memory at some allocation.
        ResetAllocations(generate.Below(4) == 0 ? static_cast<int>(generate.Below(12)) + 1 : 0);
        int32_t code = Load();
        ASSERT_TRUE(IsParserCode(code)) << "file " << n << " gave " << code;
        ASSERT_EQ(job_.loaded, 1) << "file " << n;
        ASSERT_TRUE(IsWellFormed(job_, code == kFirmwareInfoOutOfMemory)) << "file " << n;
        if (code == 0) {
            ASSERT_GE(job_.entryCount, 1);
            ASSERT_GE(job_.modelCount, 1);
            ASSERT_NE(job_.firmwareVersion, nullptr);
            ASSERT_GT(job_.capacityKB, 0);
        }
        if (code == kFirmwareInfoOutOfMemory) {
            ASSERT_NE(failAllocation, 0) << "file " << n;
        }
        ReleaseFirmwareJob(&job_);
        ASSERT_TRUE(IsAllZero(job_)) << "file " << n;
        ASSERT_EQ(liveBlocks, 0) << "file " << n;
        seen[code == 0                          ? 0
             : code == -1                       ? 1
             : code == -2                       ? 2
             : code == kFirmwareInfoOutOfMemory ? 3
                                                : 4]++;
    }
    // The generator must reach the interesting outcomes, or the test proves little.
    EXPECT_GT(seen[0], kFiles / 20) << "too few generated files loaded";
    EXPECT_GT(seen[3], kFiles / 20) << "too few allocation failures were hit";
    EXPECT_GT(seen[4], kFiles / 20) << "too few malformed files";
}

// Mostly well-formed files with one random byte changed: close to the paths that succeed.
TEST_F(HostileInputTest, SingleByteChangesOfAValidFile) {
    const std::string valid = "[Firmware Folder Name]\nFIRMWARE\n-----\n[Firmware File Name]\n"
                              "UPDATE.FIR\n\n[Camera Model Name]\nTarvo Camera X1\n"
                              "[Firmware Version]\n1.0.2.0\n\n[CF Capacity]\n2048\n";
    std::mt19937 random(77);
    for (int n = 0; n < 600; ++n) {
        std::string bytes = valid;
        bytes[random() % bytes.size()] = static_cast<char>(random() % 256);
        WriteInfo(bytes);
        int32_t code = Load();
        ASSERT_TRUE(IsParserCode(code)) << "file " << n << " gave " << code;
        ASSERT_NE(code, kFirmwareInfoOutOfMemory);
        ASSERT_TRUE(IsWellFormed(job_, false)) << "file " << n;
        ReleaseFirmwareJob(&job_);
        ASSERT_TRUE(IsAllZero(job_));
        ASSERT_EQ(liveBlocks, 0);
    }
}

} // namespace
