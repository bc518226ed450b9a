// The card folder: name checks, scanning with stable handles, safe uploads.
#include "vcam_fixture.h"

using namespace vcam;
using namespace vcamtest;

TEST(CardNames, RefusesNamesThatLeaveTheFolder) {
    const char* refused[] = {"",          ".",        "..",    "../evil",
                             "a/b",       "a\\b",     "C:",    "C:fw.bin",
                             "CON",       "con.txt",  "NUL",   "nul.bin",
                             "COM1",      "com9.log", "LPT1",  "AUX.dat",
                             "PRN",       "CON .txt", "name.", "name ",
                             "tab\there", "bell\x07", "star*", "what?",
                             "pipe|",     "quote\"",  "<less", ".vcam-upload-1.tmp"};
    for (const char* name : refused)
        EXPECT_FALSE(IsSafeObjectName(name)) << '"' << name << '"';
    const char* accepted[] = {
        "FW.BIN", "fw_1.0.1.2.bin", ".hidden",           "CONFIG.SYS", "COM10",
        "LPT",    "readme.txt",     "K\xC3\xA4mera.bin", "a b.bin"};
    for (const char* name : accepted)
        EXPECT_TRUE(IsSafeObjectName(name)) << '"' << name << '"';
}

TEST(CardNames, FormatsFromExtensions) {
    EXPECT_EQ(FormatForName("a.JPG"), ptp::OFC_EXIF_JPEG);
    EXPECT_EQ(FormatForName("a.txt"), ptp::OFC_Text);
    EXPECT_EQ(FormatForName("fw.bin"), ptp::OFC_Undefined);
    EXPECT_EQ(FormatForName("noext"), ptp::OFC_Undefined);
}

TEST(CardTest, ScanFindsNestedFilesWithStableHandles) {
    TempFolder folder;
    folder.Write("readme.txt", Bytes(5, 'r'));
    folder.Write("DCIM/100TARVO/IMG_0001.JPG", Bytes(300, 'j'));
    Card card(folder.str(), 1 << 20, kNever);
    ASSERT_TRUE(card.Scan());
    auto objects = card.Objects();
    ASSERT_EQ(objects.size(), 4u);
    std::map<std::string, const CardObject*> byPath;
    for (auto* o : objects)
        byPath[o->path] = o;
    ASSERT_TRUE(byPath.count("DCIM/100TARVO/IMG_0001.JPG"));
    const CardObject* image = byPath["DCIM/100TARVO/IMG_0001.JPG"];
    EXPECT_EQ(image->parent, byPath["DCIM/100TARVO"]->handle);
    EXPECT_EQ(byPath["DCIM/100TARVO"]->parent, byPath["DCIM"]->handle);
    EXPECT_TRUE(byPath["DCIM"]->folder);
    EXPECT_EQ(byPath["DCIM"]->parent, 0u);
    EXPECT_EQ(image->size, 300u);
    EXPECT_EQ(card.freeSpace(), (1u << 20) - 4 * 32768)
        << "derived from what is present: two files and two folders, a 32 KiB cluster each";

    uint32_t imageHandle = image->handle;
    folder.Write("DCIM/new.bin", Bytes(1));
    fs::remove(folder.path / "readme.txt");
    ASSERT_TRUE(card.Scan());
    const CardObject* again = card.Find(imageHandle);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->path, "DCIM/100TARVO/IMG_0001.JPG") << "handles survive a rescan";
    EXPECT_EQ(card.Objects().size(), 4u);
    for (auto* o : card.Objects()) {
        EXPECT_NE(o->handle, 0u);
        EXPECT_NE(o->handle, 0xFFFFFFFFu);
    }
}

TEST(CardTest, NameTakenIsCaseInsensitive) {
    TempFolder folder;
    folder.Write("FW.BIN", Bytes(1));
    Card card(folder.str(), 1 << 20, kNever);
    ASSERT_TRUE(card.Scan());
    EXPECT_TRUE(card.NameTaken(0, "fw.bin"));
    EXPECT_FALSE(card.NameTaken(0, "fw2.bin"));
    folder.Write("late.bin", Bytes(1));
    EXPECT_TRUE(card.NameTaken(0, "late.bin")) << "a file added behind the card's back counts";
}

// An upload is written under its own name (a new file: one name, one scan of the folder under
// Wine), listed once committed, and gone when abandoned.
TEST(CardTest, AnUploadIsListedOnceCommittedAndGoneWhenAbandoned) {
    TempFolder folder;
    Card card(folder.str(), 1 << 20, 1000);
    card.SetClusterSize(512);
    ASSERT_TRUE(card.Scan());
    {
        const uint32_t handle = card.ReserveHandle();
        auto upload = card.BeginUpload(handle, 0, "fw.bin", 0xBF01);
        ASSERT_TRUE(upload);
        Bytes part(100, 1);
        ASSERT_TRUE(upload->Write(part.data(), part.size()));
        EXPECT_EQ(card.Find(handle), nullptr) << "not listed before it is whole";
    } // abandoned
    EXPECT_TRUE(folder.List().empty()) << "nothing of it left";
    EXPECT_EQ(card.freeSpace(), 1000u);

    uint32_t handle = card.ReserveHandle();
    auto upload = card.BeginUpload(handle, 0, "fw.bin", 0xBF01);
    Bytes data = Pattern(200);
    ASSERT_TRUE(upload->Write(data.data(), data.size()));
    ASSERT_TRUE(upload->Commit());
    EXPECT_EQ(folder.Read("fw.bin"), data);
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"fw.bin"}));
    EXPECT_EQ(card.freeSpace(), 1000u - 512) << "one whole cluster";
    ASSERT_NE(card.Find(handle), nullptr);
    EXPECT_EQ(card.Find(handle)->format, 0xBF01);
}

// A file already under the name, even one the card never listed (left by an earlier run, put
// there behind its back), is never taken over or removed by an upload.
TEST(CardTest, AnUploadNeverTakesOverAFileThatIsThere) {
    TempFolder folder;
    Card card(folder.str(), 1 << 20, kNever);
    ASSERT_TRUE(card.Scan());
    folder.Write("fw.bin", Bytes(3, 'o'));
    EXPECT_FALSE(card.BeginUpload(card.ReserveHandle(), 0, "fw.bin", 0));
    EXPECT_EQ(folder.Read("fw.bin"), Bytes(3, 'o'));
    EXPECT_EQ(folder.List(), (std::vector<std::string>{"fw.bin"}));
}

TEST(CardTest, MissingFolderCannotBeScanned) {
    Card card("/nonexistent/vcam-card", 1 << 20, kNever);
    EXPECT_FALSE(card.Scan());
}
