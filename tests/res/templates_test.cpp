// The five dialog templates, the version block, the manifest and the kinds of resources, read
// back from the module and decoded byte by byte.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "resource_ids.h"
#include "resource_module.h"

namespace {

// A name or class field: a 0xFFFF ordinal or a NUL-ended UTF-16 string, kept as ASCII text.
struct NameOrOrdinal {
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::string text;
};

struct ControlRecord {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    WORD id = 0;
    NameOrOrdinal windowClass;
    NameOrOrdinal text;
    WORD extraBytes = 0;
};

struct DialogRecord {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    NameOrOrdinal menu;
    NameOrOrdinal windowClass;
    std::string caption;
    WORD pointSize = 0;
    std::string font;
    std::vector<ControlRecord> controls;
};

// Reads little-endian fields, never past the end of the resource.
class Reader {
  public:
    Reader(const BYTE* data, size_t size) : data_(data), size_(size) {}
    bool Word(WORD* value) {
        if (size_ - pos_ < 2)
            return false;
        *value = static_cast<WORD>(data_[pos_] | data_[pos_ + 1] << 8);
        pos_ += 2;
        return true;
    }
    bool Dword(DWORD* value) {
        WORD low, high;
        if (!Word(&low) || !Word(&high))
            return false;
        *value = low | static_cast<DWORD>(high) << 16;
        return true;
    }
    bool Short(short* value) {
        WORD w;
        if (!Word(&w))
            return false;
        *value = static_cast<short>(w);
        return true;
    }
    // UTF-16 up to its NUL; anything outside ASCII is kept as '?'.
    bool String(std::string* text) {
        text->clear();
        for (;;) {
            WORD c;
            if (!Word(&c))
                return false;
            if (c == 0)
                return true;
            text->push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
    }
    bool NameOrOrd(NameOrOrdinal* field) {
        WORD first;
        if (!Word(&first))
            return false;
        if (first == 0xFFFF) {
            field->isOrdinal = true;
            return Word(&field->ordinal);
        }
        field->isOrdinal = false;
        if (first == 0) {
            field->text.clear();
            return true;
        }
        pos_ -= 2;
        return String(&field->text);
    }
    bool AlignDword() {
        size_t aligned = (pos_ + 3) & ~static_cast<size_t>(3);
        if (aligned > size_)
            return false;
        pos_ = aligned;
        return true;
    }
    bool Skip(size_t count) {
        if (size_ - pos_ < count)
            return false;
        pos_ += count;
        return true;
    }
    size_t Position() const { return pos_; }

  private:
    const BYTE* data_;
    size_t size_;
    size_t pos_ = 0;
};

bool ParseControl(Reader* r, ControlRecord* c) {
    return r->AlignDword() && r->Dword(&c->style) && r->Dword(&c->exStyle) && r->Short(&c->x) &&
           r->Short(&c->y) && r->Short(&c->cx) && r->Short(&c->cy) && r->Word(&c->id) &&
           r->NameOrOrd(&c->windowClass) && r->NameOrOrd(&c->text) && r->Word(&c->extraBytes) &&
           r->Skip(c->extraBytes);
}

// Decodes a classic DLGTEMPLATE; false for the extended form or a record that runs short.
bool ParseDialog(const BYTE* data, size_t size, DialogRecord* d, size_t* used) {
    Reader r(data, size);
    WORD count = 0;
    if (!r.Dword(&d->style) || !r.Dword(&d->exStyle))
        return false;
    if ((d->style & 0xFFFF) == 1 && (d->style >> 16) == 0xFFFF)
        return false; // DLGTEMPLATEEX
    if (!r.Word(&count) || !r.Short(&d->x) || !r.Short(&d->y) || !r.Short(&d->cx) ||
        !r.Short(&d->cy) || !r.NameOrOrd(&d->menu) || !r.NameOrOrd(&d->windowClass) ||
        !r.String(&d->caption))
        return false;
    if (d->style & DS_SETFONT) {
        if (!r.Word(&d->pointSize) || !r.String(&d->font))
            return false;
    }
    d->controls.resize(count);
    for (ControlRecord& c : d->controls) {
        if (!ParseControl(&r, &c))
            return false;
    }
    *used = r.Position();
    return true;
}

::testing::AssertionResult LoadDialog(WORD id, DialogRecord* dialog) {
    HRSRC found = FindResourceA(resourceModule, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));
    if (!found)
        return ::testing::AssertionFailure() << "no template " << id;
    HGLOBAL loaded = LoadResource(resourceModule, found);
    const BYTE* data = static_cast<const BYTE*>(LockResource(loaded));
    DWORD size = SizeofResource(resourceModule, found);
    if (!data || size == 0)
        return ::testing::AssertionFailure() << "template " << id << " cannot be loaded";
    size_t used = 0;
    if (!ParseDialog(data, size, dialog, &used))
        return ::testing::AssertionFailure() << "template " << id << " is not a classic template";
    // Nothing but alignment may follow the last control.
    if (size - used > 3)
        return ::testing::AssertionFailure()
               << "template " << id << " has " << size - used << " bytes after its controls";
    return ::testing::AssertionSuccess();
}

const DWORD kPageStyle = WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT;
const DWORD kStaticStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
const DWORD kHiddenEditStyle = WS_CHILD | ES_MULTILINE;
const WORD kEditClass = 0x0081;
const WORD kStaticClass = 0x0082;

void ExpectHeader(const DialogRecord& d, DWORD style, short cx, short cy, const char* caption,
                  size_t controls) {
    EXPECT_EQ(d.style, style);
    EXPECT_EQ(d.exStyle, 0u);
    EXPECT_EQ(d.x, 0);
    EXPECT_EQ(d.y, 0);
    EXPECT_EQ(d.cx, cx);
    EXPECT_EQ(d.cy, cy);
    EXPECT_FALSE(d.menu.isOrdinal);
    EXPECT_EQ(d.menu.text, "");
    EXPECT_FALSE(d.windowClass.isOrdinal);
    EXPECT_EQ(d.windowClass.text, "");
    EXPECT_EQ(d.caption, caption);
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(d.font, "MS Sans Serif");
    EXPECT_EQ(d.controls.size(), controls);
}

void ExpectControl(const ControlRecord& c, WORD id, WORD classOrdinal, DWORD style, short x,
                   short y, short cx, short cy) {
    SCOPED_TRACE("control " + std::to_string(id));
    EXPECT_EQ(c.id, id);
    EXPECT_TRUE(c.windowClass.isOrdinal);
    EXPECT_EQ(c.windowClass.ordinal, classOrdinal);
    EXPECT_EQ(c.style, style);
    EXPECT_EQ(c.style & WS_TABSTOP, 0u);
    EXPECT_EQ(c.exStyle, 0u);
    EXPECT_EQ(c.x, x);
    EXPECT_EQ(c.y, y);
    EXPECT_EQ(c.cx, cx);
    EXPECT_EQ(c.cy, cy);
    EXPECT_FALSE(c.text.isOrdinal);
    EXPECT_EQ(c.text.text, "");
    EXPECT_EQ(c.extraBytes, 0);
}

// Lines at a pitch of 15 units from y = 9, then the hidden edit.
void ExpectTextLines(const DialogRecord& d, WORD firstId, int lines, WORD editId) {
    ASSERT_GE(d.controls.size(), static_cast<size_t>(lines + 1));
    for (int k = 0; k < lines; ++k)
        ExpectControl(d.controls[k], static_cast<WORD>(firstId + k), kStaticClass, kStaticStyle, 0,
                      static_cast<short>(9 + 15 * k), 290, 9);
    ExpectControl(d.controls[lines], editId, kEditClass, kHiddenEditStyle, 0, 0, 290, 36);
}

TEST(DialogTemplates, IntroductionPage) {
    DialogRecord d;
    ASSERT_TRUE(LoadDialog(129, &d));
    ExpectHeader(d, kPageStyle, 290, 204, "Vandrel", 14);
    ExpectTextLines(d, 1100, 12, 1113);
    ASSERT_EQ(d.controls.size(), 14u);
    ExpectControl(d.controls[13], 1112, kStaticClass, kStaticStyle, 0, 190, 290, 9);
}

TEST(DialogTemplates, PreparationConfirmationAndCompletionPages) {
    const struct {
        WORD id;
        WORD firstLine;
        WORD edit;
    } pages[] = {{130, 1200, 1210}, {131, 1300, 1310}, {132, 1400, 1410}};
    for (const auto& page : pages) {
        SCOPED_TRACE("template " + std::to_string(page.id));
        DialogRecord d;
        ASSERT_TRUE(LoadDialog(page.id, &d));
        ExpectHeader(d, kPageStyle, 290, 194, "", 11);
        ExpectTextLines(d, page.firstLine, 10, page.edit);
    }
}

TEST(DialogTemplates, ProgressDialog) {
    DialogRecord d;
    ASSERT_TRUE(LoadDialog(133, &d));
    ExpectHeader(d, WS_POPUP | DS_MODALFRAME | DS_SETFONT, 179, 64, "", 2);
    ASSERT_EQ(d.controls.size(), 2u);
    const ControlRecord& bar = d.controls[0];
    EXPECT_EQ(bar.id, 1000);
    EXPECT_FALSE(bar.windowClass.isOrdinal);
    EXPECT_EQ(bar.windowClass.text, "msctls_progress32");
    EXPECT_EQ(bar.style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_BORDER));
    EXPECT_EQ(bar.exStyle, 0u);
    EXPECT_EQ(bar.x, 9);
    EXPECT_EQ(bar.y, 27);
    EXPECT_EQ(bar.cx, 162);
    EXPECT_EQ(bar.cy, 14);
    EXPECT_FALSE(bar.text.isOrdinal);
    EXPECT_EQ(bar.text.text, "Progress1");
    EXPECT_EQ(bar.extraBytes, 0);
    ExpectControl(d.controls[1], 1001, kStaticClass, kStaticStyle, 9, 9, 162, 9);
}

TEST(DialogTemplates, NamesUsedByTheCodeMatchTheTemplates) {
    const WORD templates[] = {IDD_INTRO_PAGE, IDD_PREPARE_PAGE, IDD_CONFIRM_PAGE, IDD_DONE_PAGE,
                              IDD_PROGRESS};
    for (WORD id : templates) {
        DialogRecord d;
        EXPECT_TRUE(LoadDialog(id, &d));
    }
    DialogRecord intro;
    ASSERT_TRUE(LoadDialog(IDD_INTRO_PAGE, &intro));
    ASSERT_EQ(intro.controls.size(), static_cast<size_t>(INTRO_LINE_COUNT + 2));
    EXPECT_EQ(intro.controls[0].id, IDC_INTRO_LINE0);
    EXPECT_EQ(intro.controls[INTRO_LINE_COUNT - 1].id, IDC_INTRO_LINE11);
    EXPECT_EQ(intro.controls[INTRO_LINE_COUNT].id, IDC_INTRO_MEASURE);
    EXPECT_EQ(intro.controls[INTRO_LINE_COUNT + 1].id, IDC_INTRO_FOOTER);
    const struct {
        WORD dialog, first, last, measure;
    } pages[] = {
        {IDD_PREPARE_PAGE, IDC_PREPARE_LINE0, IDC_PREPARE_LINE9, IDC_PREPARE_MEASURE},
        {IDD_CONFIRM_PAGE, IDC_CONFIRM_LINE0, IDC_CONFIRM_LINE9, IDC_CONFIRM_MEASURE},
        {IDD_DONE_PAGE, IDC_DONE_LINE0, IDC_DONE_LINE9, IDC_DONE_MEASURE},
    };
    for (const auto& page : pages) {
        DialogRecord d;
        ASSERT_TRUE(LoadDialog(page.dialog, &d));
        ASSERT_EQ(d.controls.size(), static_cast<size_t>(PAGE_LINE_COUNT + 1));
        EXPECT_EQ(d.controls[0].id, page.first);
        EXPECT_EQ(d.controls[PAGE_LINE_COUNT - 1].id, page.last);
        EXPECT_EQ(d.controls[PAGE_LINE_COUNT].id, page.measure);
    }
    DialogRecord progress;
    ASSERT_TRUE(LoadDialog(IDD_PROGRESS, &progress));
    ASSERT_EQ(progress.controls.size(), 2u);
    EXPECT_EQ(progress.controls[0].id, IDC_PROGRESS_BAR);
    EXPECT_EQ(progress.controls[1].id, IDC_PROGRESS_TEXT);
}

TEST(DialogTemplates, ParserRejectsTruncatedAndExtendedTemplates) {
    HRSRC found = FindResourceA(resourceModule, MAKEINTRESOURCEA(133), MAKEINTRESOURCEA(5));
    ASSERT_NE(found, nullptr);
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(resourceModule, found)));
    DWORD size = SizeofResource(resourceModule, found);
    ASSERT_NE(data, nullptr);
    std::vector<BYTE> copy(data, data + size);
    DialogRecord d;
    size_t used = 0;
    ASSERT_TRUE(ParseDialog(copy.data(), copy.size(), &d, &used));
    // Every cut short of the last control's end must be noticed, not read past.
    for (size_t cut = 0; cut + 1 < used; ++cut) {
        std::vector<BYTE> shortCopy(copy.begin(), copy.begin() + cut);
        DialogRecord partial;
        EXPECT_FALSE(ParseDialog(shortCopy.data(), shortCopy.size(), &partial, &used))
            << "cut at " << cut;
    }
    const BYTE extended[] = {1, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(ParseDialog(extended, sizeof extended, &d, &used));
}

// Version block: 2.0.0.2 with description and internal name "Vandrel".
TEST(VersionBlock, VersionNumbersAndNames) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(resourceModulePath, &ignored);
    ASSERT_GT(size, 0u) << resourceModulePath;
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(resourceModulePath, 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    ASSERT_GE(fixedSize, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000002u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000002u);
    const char* names[] = {"FileDescription", "InternalName"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
        char* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(
            VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length));
        EXPECT_STREQ(value, "Vandrel");
    }
}

// Counts names (or languages) from the enumeration callbacks; nothing here may throw.
BOOL CALLBACK CountName(HMODULE, LPCSTR, LPSTR, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

struct LanguageTally {
    int english = 0;
    int other = 0;
};

BOOL CALLBACK TallyLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR tally) {
    LanguageTally* t = reinterpret_cast<LanguageTally*>(tally);
    if (language == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))
        ++t->english;
    else
        ++t->other;
    return TRUE;
}

TEST(ResourceKinds, NoMenuAcceleratorBitmapOrIcon) {
    LPCSTR absent[] = {RT_MENU, RT_ACCELERATOR, RT_BITMAP, RT_ICON, RT_GROUP_ICON};
    for (LPCSTR type : absent) {
        SCOPED_TRACE("type " + std::to_string(reinterpret_cast<ULONG_PTR>(type)));
        int count = 0;
        EnumResourceNamesA(resourceModule, type, CountName, reinterpret_cast<LONG_PTR>(&count));
        EXPECT_EQ(count, 0);
    }
    int dialogs = 0;
    EnumResourceNamesA(resourceModule, RT_DIALOG, CountName, reinterpret_cast<LONG_PTR>(&dialogs));
    EXPECT_EQ(dialogs, 5);
}

TEST(ResourceKinds, StringsDialogsVersionAndManifestAreEnglishUnitedStatesOnly) {
    const struct {
        LPCSTR type;
        WORD first, last;
    } kinds[] = {
        {RT_STRING, 1, 6}, {RT_DIALOG, 129, 133}, {RT_VERSION, 1, 1}, {MAKEINTRESOURCEA(24), 1, 1}};
    for (const auto& kind : kinds) {
        for (WORD name = kind.first; name <= kind.last; ++name) {
            SCOPED_TRACE("resource " + std::to_string(name));
            LanguageTally tally;
            EnumResourceLanguagesA(resourceModule, kind.type, MAKEINTRESOURCEA(name), TallyLanguage,
                                   reinterpret_cast<LONG_PTR>(&tally));
            EXPECT_EQ(tally.english, 1);
            EXPECT_EQ(tally.other, 0);
        }
    }
}

} // namespace

namespace {

// The text of the application manifest (type 24, ID 1).
std::string ManifestText() {
    HRSRC found = FindResourceA(resourceModule, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    if (!found)
        return "";
    const char* data = static_cast<const char*>(LockResource(LoadResource(resourceModule, found)));
    return data ? std::string(data, SizeofResource(resourceModule, found)) : "";
}

// The value of `attribute` in each element named `element`, in order.
std::vector<std::string> AttributeValues(const std::string& xml, const std::string& element,
                                         const std::string& attribute) {
    std::vector<std::string> values;
    for (size_t at = xml.find("<" + element); at != std::string::npos;
         at = xml.find("<" + element, at + 1)) {
        const size_t end = xml.find('>', at);
        const std::string tag = xml.substr(at, end - at);
        const size_t name = tag.find(" " + attribute + "=\"");
        if (name == std::string::npos)
            continue;
        const size_t value = name + attribute.size() + 3;
        values.push_back(tag.substr(value, tag.find('"', value) - value));
    }
    return values;
}

// The text between <element ...> and </element>, trimmed, for each such element.
std::vector<std::string> ElementTexts(const std::string& xml, const std::string& element) {
    std::vector<std::string> texts;
    for (size_t at = xml.find("<" + element); at != std::string::npos;
         at = xml.find("<" + element, at + 1)) {
        const size_t open = xml.find('>', at) + 1;
        const size_t close = xml.find("</" + element + ">", open);
        if (close != std::string::npos)
            texts.push_back(xml.substr(open, close - open));
    }
    return texts;
}

} // namespace

TEST(Manifest, RunsAsInvokerOnWindows7To11SystemDpiAwareWithCommonControls6) {
    const std::string xml = ManifestText();
    ASSERT_FALSE(xml.empty()) << "no manifest in " << resourceModulePath;
    EXPECT_EQ(AttributeValues(xml, "requestedExecutionLevel", "level"),
              std::vector<std::string>{"asInvoker"});
    EXPECT_EQ(AttributeValues(xml, "requestedExecutionLevel", "uiAccess"),
              std::vector<std::string>{"false"});
    const std::vector<std::string> windows7To11 = {
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"};
    EXPECT_EQ(AttributeValues(xml, "supportedOS", "Id"), windows7To11);
    EXPECT_EQ(ElementTexts(xml, "dpiAware"), std::vector<std::string>{"true"});
    EXPECT_EQ(ElementTexts(xml, "dpiAwareness"), std::vector<std::string>{"system"});
    // The program's own identity, then the one dependency.
    EXPECT_EQ(AttributeValues(xml, "assemblyIdentity", "name"),
              (std::vector<std::string>{"Tarvo.Vandrel", "Microsoft.Windows.Common-Controls"}));
    EXPECT_EQ(AttributeValues(xml, "assemblyIdentity", "version"),
              (std::vector<std::string>{"2.0.0.2", "6.0.0.0"}));
    EXPECT_EQ(AttributeValues(xml, "assemblyIdentity", "publicKeyToken"),
              std::vector<std::string>{"6595b64144ccf1df"});
}

// The loader takes the manifest: in its activation context the common controls are version 6,
// the side-by-side assembly (Wine's reports 5 from DllGetVersion, so its file is what counts).
TEST(Manifest, ActivatesCommonControls6) {
    ACTCTXA context = {};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = resourceModulePath;
    context.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE activation = CreateActCtxA(&context);
    ASSERT_NE(activation, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    ULONG_PTR cookie = 0;
    ASSERT_TRUE(ActivateActCtx(activation, &cookie));
    HMODULE controls = LoadLibraryA("comctl32.dll");
    DeactivateActCtx(0, cookie);
    ReleaseActCtx(activation);
    ASSERT_NE(controls, nullptr);
    char path[MAX_PATH] = "";
    GetModuleFileNameA(controls, path, MAX_PATH);
    std::string lower = path;
    for (char& c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(lower.find("\\winsxs\\"), std::string::npos) << path;
    EXPECT_NE(lower.find("microsoft.windows.common-controls_6595b64144ccf1df_6."),
              std::string::npos)
        << path;
}

// No link time in the file header, so two builds of one commit are the same bytes.
TEST(Manifest, FileHeaderCarriesNoLinkTime) {
    HANDLE file = CreateFileA(resourceModulePath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<BYTE> head(4096);
    DWORD got = 0;
    ReadFile(file, head.data(), static_cast<DWORD>(head.size()), &got, nullptr);
    CloseHandle(file);
    ASSERT_GE(got, sizeof(IMAGE_DOS_HEADER));
    IMAGE_DOS_HEADER dos;
    memcpy(&dos, head.data(), sizeof dos);
    ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
    ASSERT_LE(static_cast<DWORD>(dos.e_lfanew) + 4 + sizeof(IMAGE_FILE_HEADER), got);
    IMAGE_FILE_HEADER header;
    memcpy(&header, head.data() + dos.e_lfanew + 4, sizeof header);
    EXPECT_EQ(header.TimeDateStamp, 0u);
}
