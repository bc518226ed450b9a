// LoadFirmwareInfo on real FirmInfo.txt files, read through the C runtime's text mode.
#include <cstring>
#include <string>

#include "job_test_support.h"

namespace {

const char kWorkedExample[] = "[Firmware Folder Name]\n"
                              "FIRMWARE\n"
                              "--------------------\n"
                              "[Firmware File Name]\n"
                              "UPDATE.FIR\n"
                              "\n"
                              "[Camera Model Name]\n"
                              "Tarvo Camera X1\n"
                              "Tarvo Camera X1 Pro\n"
                              "\n"
                              "[Firmware Version]\n"
                              "1.0.2.0\n"
                              "\n"
                              "[CF Capacity]\n"
                              "2048\n";

// The smallest complete file, to which a test adds the lines it is about.
const char kMinimal[] = "[Firmware File Name]\nA.FIR\n"
                        "[Camera Model Name]\nX1\n"
                        "[Firmware Version]\n1.0\n"
                        "[CF Capacity]\n10\n";

std::string ToCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

using ParserTest = JobTest;

void ExpectWorkedExampleJob(const FirmwareJob& job) {
    EXPECT_EQ(job.loaded, 1);
    EXPECT_EQ(job.cameraOpen, 0);
    ASSERT_EQ(job.entryCount, 2);
    ASSERT_NE(job.entryHead, nullptr);
    EXPECT_STREQ(job.entryHead->name, "FIRMWARE");
    EXPECT_EQ(job.entryHead->listedAsFile, 0);
    ASSERT_NE(job.entryHead->next, nullptr);
    EXPECT_EQ(job.entryHead->next, job.entryTail);
    EXPECT_STREQ(job.entryTail->name, "UPDATE.FIR");
    EXPECT_EQ(job.entryTail->listedAsFile, 1);
    EXPECT_EQ(job.entryTail->next, nullptr);
    EXPECT_EQ(ModelNames(job), "Tarvo Camera X1|Tarvo Camera X1 Pro");
    EXPECT_EQ(job.modelCount, 2);
    ASSERT_NE(job.firmwareVersion, nullptr);
    EXPECT_STREQ(job.firmwareVersion, "1.0.2.0");
    EXPECT_EQ(job.capacityKB, 2048);
    EXPECT_EQ(job.cameraModel, nullptr);
    EXPECT_EQ(job.cameraFirmwareVersion, nullptr);
    EXPECT_TRUE(IsWellFormed(job, false));
}

TEST_F(ParserTest, WorkedExampleLoads) {
    WriteInfo(kWorkedExample);
    ASSERT_EQ(Load(), 0);
    ExpectWorkedExampleJob(job_);
    // Every text is a block of exactly its length plus one; nodes are blocks of their own.
    EXPECT_EQ(liveBlocks, 2 * 2 + 2 * 2 + 1);
}

TEST_F(ParserTest, CrLfFileLoadsLikeLfFile) {
    WriteInfo(ToCrLf(kWorkedExample));
    ASSERT_EQ(Load(), 0);
    ExpectWorkedExampleJob(job_);
}

TEST_F(ParserTest, LastLineWithoutLineEndIsIgnored) {
    std::string text = kWorkedExample;
    text.pop_back();
    WriteInfo(text);
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_EQ(job_.loaded, 1);
    EXPECT_EQ(job_.capacityKB, 0);
    EXPECT_STREQ(job_.firmwareVersion, "1.0.2.0");
}

TEST_F(ParserTest, CrLfLastLineWithoutLineEndIsIgnored) {
    std::string text = ToCrLf(kWorkedExample);
    text.resize(text.size() - 2);
    WriteInfo(text);
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_EQ(job_.capacityKB, 0);
}

TEST_F(ParserTest, SecondVersionIsMalformedAndStopsTheParse) {
    WriteInfo("[Firmware Folder Name]\nFIRMWARE\n"
              "[Firmware Version]\n1.0.2.0\n1.0.3.0\n"
              "[Camera Model Name]\nTarvo Camera X1\n");
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_EQ(job_.loaded, 1);
    EXPECT_STREQ(job_.firmwareVersion, "1.0.2.0");
    EXPECT_EQ(job_.entryCount, 1);
    EXPECT_EQ(job_.modelCount, 0) << "lines after the failure must not be read";
}

TEST_F(ParserTest, SecondVersionSectionIsMalformedToo) {
    WriteInfo(std::string(kMinimal) + "[Firmware Version]\n2.0\n");
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_STREQ(job_.firmwareVersion, "1.0");
}

TEST_F(ParserTest, UnknownHeaderIsMalformed) {
    WriteInfo(std::string("[Firmware File Name]\nA.FIR\n[Firmware Notes]\n") + kMinimal);
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_EQ(EntryNames(job_), "A.FIR");
    EXPECT_EQ(job_.modelCount, 0);
}

TEST_F(ParserTest, EmptyFileIsMalformed) {
    WriteInfo("");
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_EQ(job_.loaded, 1);
    EXPECT_EQ(job_.entryCount, 0);
}

TEST_F(ParserTest, MissingFileCannotBeOpenedAndLeavesTheJobUntouched) {
    EXPECT_EQ(Load(), kFirmwareInfoCannotOpen);
    EXPECT_EQ(job_.loaded, 0);
    EXPECT_TRUE(IsAllZero(job_));
    EXPECT_EQ(allocationCount, 0);
}

TEST_F(ParserTest, FolderNamedLikeTheFileCannotBeOpened) {
    ASSERT_TRUE(CreateDirectoryA((folder_ + "\\FirmInfo.txt").c_str(), nullptr));
    EXPECT_EQ(Load(), kFirmwareInfoCannotOpen);
    EXPECT_EQ(job_.loaded, 0);
}

TEST_F(ParserTest, EachMissingRequirementIsMalformedAtTheEnd) {
    const char* parts[] = {"[Firmware File Name]\nA.FIR\n", "[Camera Model Name]\nX1\n",
                           "[Firmware Version]\n1.0\n", "[CF Capacity]\n10\n"};
    for (int left = 0; left < 4; ++left) {
        SCOPED_TRACE("without part " + std::to_string(left));
        std::string text;
        for (int i = 0; i < 4; ++i) {
            if (i != left)
                text += parts[i];
        }
        WriteInfo(text);
        EXPECT_EQ(Load(), kFirmwareInfoMalformed);
        ReleaseFirmwareJob(&job_);
    }
    WriteInfo(std::string(parts[0]) + parts[1] + parts[2] + parts[3]);
    EXPECT_EQ(Load(), 0);
}

TEST_F(ParserTest, CtrlZEndsTheFile) {
    // Everything after the Ctrl-Z is never seen, neither the capacity nor the bad header.
    WriteInfo(std::string(kMinimal) + "\x1a" + "[Firmware Notes]\n");
    EXPECT_EQ(Load(), 0);
    ReleaseFirmwareJob(&job_);

    std::string cut = "[Firmware File Name]\nA.FIR\n[Camera Model Name]\nX1\n"
                      "[Firmware Version]\n1.0\n\x1a[CF Capacity]\n10\n";
    WriteInfo(cut);
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_EQ(job_.capacityKB, 0);
    ReleaseFirmwareJob(&job_);

    // A Ctrl-Z inside a line ends the file there; that line has no line end and is dropped.
    WriteInfo("[Firmware File Name]\nA.FIR\nB.F\x1aIR\n[Camera Model Name]\nX1\n");
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_EQ(EntryNames(job_), "A.FIR");
    EXPECT_EQ(job_.modelCount, 0);
}

TEST_F(ParserTest, LongLineIsSplitIntoReadsOf259) {
    std::string name(300, 'N');
    name[0] = 'A';
    name[259] = 'B';
    WriteInfo(std::string("[Firmware Folder Name]\n") + name + "\n" + kMinimal);
    ASSERT_EQ(Load(), 0);
    ASSERT_GE(job_.entryCount, 2);
    ASSERT_NE(job_.entryHead->next, nullptr);
    EXPECT_EQ(std::string(job_.entryHead->name), name.substr(0, 259));
    EXPECT_EQ(std::string(job_.entryHead->next->name), name.substr(259));
    EXPECT_EQ(strlen(job_.entryHead->next->name), 41u);
    EXPECT_EQ(EntryNames(job_), name.substr(0, 259) + "|" + name.substr(259) + "|A.FIR");
}

TEST_F(ParserTest, LineOf259WithItsLineEndSplitsBeforeTheLineEnd) {
    // 259 characters fill one read; the LF alone then reads as an empty line (a section end).
    std::string name(259, 'x');
    WriteInfo(std::string("[Firmware Folder Name]\n") + name + "\nignored\n" + kMinimal);
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(EntryNames(job_), name + "|A.FIR");
}

TEST_F(ParserTest, HeaderPrecededByBlankIsAValueLine) {
    WriteInfo(std::string("[Firmware Folder Name]\n [Firmware Notes]\n") + kMinimal);
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(EntryNames(job_), " [Firmware Notes]|A.FIR");
}

TEST_F(ParserTest, KeyInsideLongerHeaderSelectsItsSection) {
    WriteInfo("[Firmware File Name]\nA.FIR\n[Camera Model Name]\nX1\n"
              "[Firmware Version]\n1.0\n[CF Capacity in KB]\n64\n");
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(job_.capacityKB, 64);
    ReleaseFirmwareJob(&job_);

    // No closing bracket is needed, and text may precede the key.
    WriteInfo("[Firmware File Name]\nA.FIR\n[Camera Model Name]\nX1\n"
              "[Firmware Version]\n1.0\n[Required CF Capacity\n64\n");
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(job_.capacityKB, 64);
}

TEST_F(ParserTest, KeysAreCaseSensitive) {
    WriteInfo(std::string("[camera model name]\nX2\n") + kMinimal);
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_EQ(job_.modelCount, 0);
    ReleaseFirmwareJob(&job_);

    WriteInfo(std::string("[CF CAPACITY]\n5\n") + kMinimal);
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
}

TEST_F(ParserTest, HeaderWithTwoKeysTakesTheEarlierInTestOrder) {
    // Camera Model Name is tested before Firmware Version, whatever the order in the line.
    WriteInfo(std::string("[Firmware Version / Camera Model Name]\nX2\n") + kMinimal);
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(ModelNames(job_), "X2|X1");
    EXPECT_STREQ(job_.firmwareVersion, "1.0");
    ReleaseFirmwareJob(&job_);

    // Folder Name comes first of all: listed as a folder although File Name is in the line too.
    WriteInfo(std::string("[Firmware File Name, Firmware Folder Name]\nDIR\n") + kMinimal);
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(EntryNames(job_), "DIR|A.FIR");
    EXPECT_EQ(job_.entryHead->listedAsFile, 0);
    EXPECT_EQ(job_.entryTail->listedAsFile, 1);
}

TEST_F(ParserTest, RepeatedSectionsAddToTheSameLists) {
    WriteInfo("[Camera Model Name]\nX1\nX2\n"
              "[Firmware File Name]\nA.FIR\n"
              "[Firmware Folder Name]\nDIR1\n"
              "[Camera Model Name]\nX3\n"
              "[Firmware File Name]\nB.FIR\n"
              "[Firmware Version]\n1.0\n[CF Capacity]\n10\n");
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(ModelNames(job_), "X1|X2|X3");
    EXPECT_EQ(job_.modelCount, 3);
    EXPECT_EQ(EntryNames(job_), "A.FIR|DIR1|B.FIR");
    EXPECT_EQ(job_.entryCount, 3);
    const FirmwareEntry* e = job_.entryHead;
    EXPECT_EQ(e->listedAsFile, 1);
    EXPECT_EQ(e->next->listedAsFile, 0);
    EXPECT_EQ(e->next->next->listedAsFile, 1);
    EXPECT_TRUE(IsWellFormed(job_, false));
}

TEST_F(ParserTest, ValuesOutsideASectionAreIgnored) {
    WriteInfo("before any header\n"
              "[Firmware File Name]\nA.FIR\n"
              "-\nafter a dash line\n"
              "[Camera Model Name]\nX1\n"
              "\nafter an empty line\n"
              "[Firmware Version]\n1.0\n"
              "----- dashes end it too\nstray\n"
              "[CF Capacity]\n10\n");
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(EntryNames(job_), "A.FIR");
    EXPECT_EQ(ModelNames(job_), "X1");
    EXPECT_STREQ(job_.firmwareVersion, "1.0");
}

TEST_F(ParserTest, EntryCannotBeginWithDashOrBracket) {
    WriteInfo("[Firmware File Name]\nA.FIR\n-B.FIR\nC.FIR\n" + std::string(kMinimal));
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(EntryNames(job_), "A.FIR|A.FIR");
    ReleaseFirmwareJob(&job_);

    WriteInfo("[Firmware File Name]\nA.FIR\n[B.FIR]\n" + std::string(kMinimal));
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
}

TEST_F(ParserTest, ValuesKeepBlanksTabsAndStrayCarriageReturns) {
    WriteInfo("[Firmware File Name]\n  A FIR\t\n"
              "B\rC\n"
              "D\r\r\n"
              "\r\n"
              "[Camera Model Name]\n\tTarvo  X1 \n"
              "[Firmware Version]\n 1.0 \n"
              "[CF Capacity]\n10\n");
    ASSERT_EQ(Load(), 0);
    // CR LF reads as LF, so "D\r\r\n" keeps one CR; a lone CR line reads as an empty line.
    EXPECT_EQ(EntryNames(job_), "  A FIR\t|B\rC|D\r");
    EXPECT_EQ(ModelNames(job_), "\tTarvo  X1 ");
    EXPECT_STREQ(job_.firmwareVersion, " 1.0 ");
}

TEST_F(ParserTest, LoneCarriageReturnLineIsAValue) {
    WriteInfo("[Firmware File Name]\nA.FIR\n\r\rB\n" + std::string(kMinimal));
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(EntryNames(job_), "A.FIR|\r\rB|A.FIR");
}

TEST_F(ParserTest, CapacityForms) {
    const struct {
        const char* line;
        int32_t result;
        int32_t capacity;
    } cases[] = {
        {"1024 KB\n", 0, 1024},
        {"  512\n", 0, 512},
        {"+7\n", 0, 7},
        {"\t33x\n", 0, 33},
        {"0\n", kFirmwareInfoMalformed, 0},
        {"-5\n", kFirmwareInfoMalformed,
         0}, // a line starting with '-' ends the section: no capacity at all
        {" -5\n", kFirmwareInfoMalformed, -5},
        {"KB\n", kFirmwareInfoMalformed, 0},
        {"\n", kFirmwareInfoMalformed, 0}, // an empty line ends the section too
        {"99999999999\n", 0, 2147483647},
        {" -99999999999\n", kFirmwareInfoMalformed, -2147483647 - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        WriteInfo(std::string("[Firmware File Name]\nA.FIR\n[Camera Model Name]\nX1\n"
                              "[Firmware Version]\n1.0\n[CF Capacity]\n") +
                  c.line);
        EXPECT_EQ(Load(), c.result);
        EXPECT_EQ(job_.capacityKB, c.capacity);
        ReleaseFirmwareJob(&job_);
    }
}

TEST_F(ParserTest, BadCapacityStopsTheParseAtOnce) {
    for (const char* value : {"0\n", " -5\n", "none\n"}) {
        SCOPED_TRACE(value);
        WriteInfo(std::string("[Firmware File Name]\nA.FIR\n[CF Capacity]\n") + value +
                  "[Firmware File Name]\nLATE.FIR\n");
        EXPECT_EQ(Load(), kFirmwareInfoMalformed);
        EXPECT_EQ(EntryNames(job_), "A.FIR");
        ReleaseFirmwareJob(&job_);
    }
}

TEST_F(ParserTest, SecondCapacityIsMalformed) {
    WriteInfo(std::string(kMinimal) + "[CF Capacity]\n20\n");
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
    EXPECT_EQ(job_.capacityKB, 10);
    ReleaseFirmwareJob(&job_);

    WriteInfo("[CF Capacity]\n10\n10\n");
    EXPECT_EQ(Load(), kFirmwareInfoMalformed);
}

TEST_F(ParserTest, NulBytesInALineShortenItsText) {
    WriteInfo(std::string("[Firmware File Name]\nAB\0CD\n", 27) + kMinimal);
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(EntryNames(job_), "AB|A.FIR");
}

// Fails each allocation of the worked example in turn: out of memory, and everything read is
// freed.
TEST_F(ParserTest, EveryAllocationFailureIsOutOfMemoryAndFreesAll) {
    WriteInfo(kWorkedExample);
    ResetAllocations(0);
    ASSERT_EQ(Load(), 0);
    int needed = allocationCount;
    EXPECT_EQ(needed, 9);
    ReleaseFirmwareJob(&job_);
    for (int fail = 1; fail <= needed; ++fail) {
        SCOPED_TRACE("failing allocation " + std::to_string(fail));
        ResetAllocations(fail);
        EXPECT_EQ(Load(), kFirmwareInfoOutOfMemory);
        EXPECT_EQ(job_.loaded, 1);
        EXPECT_EQ(allocationCount, fail) << "the parse must stop at the failure";
        EXPECT_TRUE(IsWellFormed(job_, true));
        ReleaseFirmwareJob(&job_);
        EXPECT_TRUE(IsAllZero(job_));
        EXPECT_EQ(liveBlocks, 0);
    }
}

TEST_F(ParserTest, FailedNameLeavesACountedNodeWithoutName) {
    WriteInfo(kWorkedExample);
    ResetAllocations(2); // the node of FIRMWARE succeeds, its name fails
    ASSERT_EQ(Load(), kFirmwareInfoOutOfMemory);
    ASSERT_EQ(job_.entryCount, 1);
    ASSERT_NE(job_.entryHead, nullptr);
    EXPECT_EQ(job_.entryHead, job_.entryTail);
    EXPECT_EQ(job_.entryHead->name, nullptr);
    EXPECT_EQ(liveBlocks, 1);
    ReleaseFirmwareJob(&job_);
    EXPECT_EQ(liveBlocks, 0);
    EXPECT_TRUE(IsAllZero(job_));
}

TEST_F(ParserTest, FailedModelNameLeavesTheModelListTailWithoutName) {
    WriteInfo(kWorkedExample);
    ResetAllocations(6); // entries take 4; then the first model node, then its name
    ASSERT_EQ(Load(), kFirmwareInfoOutOfMemory);
    EXPECT_EQ(job_.entryCount, 2);
    ASSERT_EQ(job_.modelCount, 1);
    EXPECT_EQ(job_.modelTail->name, nullptr);
    EXPECT_EQ(job_.modelHead, job_.modelTail);
}

// A real read error: the build links FirmInfo.txt in a folder of its own to a kernel file
// that opens but whose reads fail (Linux /proc/self/mem at offset 0).
TEST_F(ParserTest, ReadErrorIsAReadError) {
#ifdef VANDREL_UNREADABLE_INFO_DIR
    std::string dir = std::string("Z:") + VANDREL_UNREADABLE_INFO_DIR;
    if (GetFileAttributesA((dir + "/FirmInfo.txt").c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no unreadable file at " << dir;
    ASSERT_TRUE(SetCurrentDirectoryA(dir.c_str()));
    EXPECT_EQ(Load(), kFirmwareInfoReadError);
    EXPECT_EQ(job_.loaded, 1);
    EXPECT_EQ(job_.entryCount, 0);
    EXPECT_TRUE(IsWellFormed(job_, false));
#else
    GTEST_SKIP() << "built without an unreadable file";
#endif
}

// The path buffer holds 259 characters: current directory plus "\FirmInfo.txt" (13).
class LongDirectoryTest : public JobTest {
  protected:
    // Makes and enters a directory whose full path is exactly `length` characters.
    bool EnterDirectoryOfLength(size_t length, std::string* path) {
        std::string dir = folder_;
        if (dir.size() + 2 > length)
            return false;
        while (dir.size() < length) {
            size_t part = length - dir.size() - 1;
            if (part > 100)
                part = 100;
            if (length - dir.size() - 1 - part == 1)
                --part; // never leave room for only the backslash
            dir += "\\" + std::string(part, 'd');
            if (!CreateDirectoryA(dir.c_str(), nullptr))
                return false;
        }
        if (!SetCurrentDirectoryA(dir.c_str()))
            return false;
        char current[MAX_PATH];
        if (GetCurrentDirectoryA(MAX_PATH, current) != length)
            return false;
        *path = dir;
        return true;
    }
};

TEST_F(LongDirectoryTest, PathOfExactly259CharactersOpens) {
    std::string dir;
    ASSERT_TRUE(EnterDirectoryOfLength(246, &dir));
    std::string file = dir + "\\FirmInfo.txt";
    ASSERT_EQ(file.size(), 259u);
    FILE* out = fopen(file.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    fputs(kMinimal, out);
    fclose(out);
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(job_.entryCount, 1);
}

// Where the full path would not fit, a cut path could name a file that is really there; the
// load must report the file missing instead of reading any of them.
TEST_F(LongDirectoryTest, PathTooLongCannotOpenEvenWhenACutPathExists) {
    for (size_t length : {247u, 250u, 258u}) {
        SCOPED_TRACE("directory of " + std::to_string(length));
        std::string dir;
        ASSERT_TRUE(SetCurrentDirectoryA(folder_.c_str()));
        if (!EnterDirectoryOfLength(length, &dir)) {
            ASSERT_NE(length, 247u) << "a directory of 247 characters must be usable";
            continue;
        }
        std::string name = "FirmInfo.txt";
        for (size_t cut = 1; cut < name.size(); ++cut) {
            std::string prefix = name.substr(0, cut);
            if (prefix.back() == '.')
                continue; // Windows drops a trailing dot
            FILE* out = fopen((dir + "\\" + prefix).c_str(), "wb");
            if (out) {
                fputs(kMinimal, out);
                fclose(out);
            }
        }
        EXPECT_EQ(Load(), kFirmwareInfoCannotOpen);
        EXPECT_EQ(job_.loaded, 0);
        EXPECT_EQ(allocationCount, 0);
    }
}

} // namespace
