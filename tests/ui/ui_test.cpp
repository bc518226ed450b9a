// The three message boxes as real windows answered by a test thread, text lines spread over the
// statics of the real page templates, and the centring rule.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "box_answerer.h"
#include "resource_ids.h"
#include "ui.h"

using testing_support::BoxAnswerer;
using testing_support::SeenBox;

namespace {

HINSTANCE Module() {
    return GetModuleHandleA(nullptr);
}

const char kOwnerClass[] = "VandrelUiTestOwner";

// A plain top-level window of this module, as the wizard page that owns a box would be.
HWND CreateOwner(DWORD style = WS_OVERLAPPEDWINDOW, HWND parent = nullptr, int x = 50, int y = 50,
                 int width = 320, int height = 200) {
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = Module();
        wc.lpszClassName = kOwnerClass;
        registered = RegisterClassA(&wc) != 0;
    }
    return CreateWindowExA(0, kOwnerClass, "owner", style, x, y, width, height, parent, nullptr,
                           Module(), nullptr);
}

struct BoxCase {
    const char* name;
    std::vector<int> answers;
    int (*show)(HWND owner);
    std::string text;
    std::vector<int> buttons;
    LPCSTR icon;
    int result; // -1: the result is not used
};

int ShowMissingFiles(HWND owner) {
    ShowMessage(owner, IDS_MSG_UPDATE_FILES_MISSING);
    return -1;
}
int ShowWriteProtected(HWND owner) {
    ShowMessage(owner, IDS_MSG_WRITE_PROTECTED);
    return -1;
}
int Quit(HWND owner) {
    return AskQuit(owner);
}
int RetryNoCamera(HWND owner) {
    return AskRetry(owner, IDS_ASK_NO_CAMERA_RETRY);
}

// Line ends inside a box text are shown as they are; compare texts with the breaks left out.
std::string WithoutBreaks(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\r' && c != '\n')
            out += c;
    }
    return out;
}

TEST(MessageBoxes, CaptionTextButtonsIconOwnerAndResult) {
    const BoxCase cases[] = {
        {"ShowMessage 27",
         {IDOK},
         ShowMissingFiles,
         "File(s) containing firmware update cannot be found.\nClick [OK] to close the program.",
         {IDOK},
         IDI_WARNING,
         -1},
        {"ShowMessage 83",
         {IDOK},
         ShowWriteProtected,
         "The memory card is write protected.\r\nRemove write protection or use a different "
         "memory card.\r\nClick [OK] to close the program.",
         {IDOK},
         IDI_WARNING,
         -1},
        {"AskQuit Yes",
         {IDYES},
         Quit,
         "Close this program?",
         {IDYES, IDNO},
         IDI_INFORMATION,
         IDYES},
        {"AskQuit No", {IDNO}, Quit, "Close this program?", {IDYES, IDNO}, IDI_INFORMATION, IDNO},
        {"AskRetry Retry",
         {IDRETRY},
         RetryNoCamera,
         "No camera detected.\nCheck power and cable connection",
         {IDCANCEL, IDRETRY},
         IDI_WARNING,
         IDRETRY},
        {"AskRetry Cancel",
         {IDCANCEL},
         RetryNoCamera,
         "No camera detected.\nCheck power and cable connection",
         {IDCANCEL, IDRETRY},
         IDI_WARNING,
         IDCANCEL},
    };
    for (const BoxCase& c : cases) {
        SCOPED_TRACE(c.name);
        HWND owner = CreateOwner();
        ASSERT_NE(owner, nullptr);
        std::vector<SeenBox> seen;
        int result;
        {
            BoxAnswerer answerer(c.answers);
            result = c.show(owner);
            seen = answerer.Seen();
        }
        ASSERT_EQ(seen.size(), 1u);
        const SeenBox& box = seen[0];
        EXPECT_EQ(box.caption, "Vandrel");
        EXPECT_EQ(WithoutBreaks(box.text), WithoutBreaks(c.text));
        EXPECT_EQ(box.buttons, c.buttons);
        EXPECT_EQ(box.owner, owner);
        EXPECT_TRUE(box.ownerDisabled) << "the box is modal over its owner";
        EXPECT_TRUE(IsWindowEnabled(owner)) << "and gives it back when it closes";
        // Standard icons are shared: the box shows the very handle LoadIcon gives for them.
        EXPECT_EQ(box.icon, LoadIconA(nullptr, c.icon));
        EXPECT_NE(box.icon,
                  LoadIconA(nullptr, c.icon == IDI_WARNING ? IDI_INFORMATION : IDI_WARNING));
        if (c.result != -1) {
            EXPECT_EQ(result, c.result);
        }
        DestroyWindow(owner);
    }
}

TEST(MessageBoxes, RetryAnswersAreReturnedOneByOne) {
    HWND owner = CreateOwner();
    BoxAnswerer answerer({IDRETRY, IDRETRY, IDCANCEL});
    EXPECT_EQ(AskRetry(owner, IDS_ASK_NO_CAMERA_RETRY), IDRETRY);
    EXPECT_EQ(AskRetry(owner, IDS_ASK_NO_CAMERA_RETRY), IDRETRY);
    EXPECT_EQ(AskRetry(owner, IDS_MSG_NO_CAMERA), IDCANCEL);
    const std::vector<SeenBox> seen = answerer.Seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(WithoutBreaks(seen[2].text), "No camera detected.Check power and cable connection."
                                           "Click [OK] to close the program.");
    for (const SeenBox& box : seen)
        EXPECT_EQ(box.caption, "Vandrel");
    DestroyWindow(owner);
}

// Strings come from the module of the owner window, not from wherever the code lives.
TEST(MessageBoxes, StringsComeFromTheOwnersModule) {
    HINSTANCE other = GetModuleHandleA("kernel32.dll");
    WNDCLASSA wc = {};
    wc.style = CS_GLOBALCLASS; // usable with any module instance
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = Module();
    wc.lpszClassName = "VandrelForeignOwner";
    ASSERT_NE(RegisterClassA(&wc), 0);
    HWND foreign = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                   nullptr, nullptr, other, nullptr);
    ASSERT_NE(foreign, nullptr);
    ASSERT_EQ(reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(foreign, GWLP_HINSTANCE)), other);
    char expected[kTextBufferSize] = "";
    LoadStringA(other, IDS_APP_CAPTION, expected, sizeof expected);
    std::vector<SeenBox> seen;
    {
        BoxAnswerer answerer({IDOK});
        ShowMessage(foreign, IDS_MSG_UPDATE_FILES_MISSING);
        seen = answerer.Seen();
    }
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].caption, "Vandrel");
    EXPECT_EQ(seen[0].caption, expected);
    DestroyWindow(foreign);
    UnregisterClassA(wc.lpszClassName, Module());
}

INT_PTR CALLBACK PlainDialog(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

// A page template from the resources, its hidden edit and its statics.
class Page : public ::testing::Test {
  protected:
    void Open(int templateId, int measureId, int firstLine, int lineCount) {
        dialog_ =
            CreateDialogParamA(Module(), MAKEINTRESOURCEA(templateId), nullptr, PlainDialog, 0);
        ASSERT_NE(dialog_, nullptr);
        edit_ = GetDlgItem(dialog_, measureId);
        ASSERT_NE(edit_, nullptr);
        first_ = firstLine;
        count_ = lineCount;
        for (int i = 0; i < count_; ++i)
            SetWindowTextA(GetDlgItem(dialog_, first_ + i), "(kept)");
    }
    void TearDown() override {
        if (dialog_)
            DestroyWindow(dialog_);
    }
    std::string Line(int i) {
        char text[512] = "";
        GetWindowTextA(GetDlgItem(dialog_, first_ + i), text, sizeof text);
        return text;
    }
    // The lines that were placed, in order: those not holding the marker.
    std::vector<std::string> Placed() {
        std::vector<std::string> lines;
        for (int i = 0; i < count_ && Line(i) != "(kept)"; ++i)
            lines.push_back(Line(i));
        return lines;
    }
    // Width in pixels of a text in the statics' font, and the width of a static.
    int TextWidth(const std::string& text) {
        HWND line = GetDlgItem(dialog_, first_);
        HDC dc = GetDC(line);
        HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(line, WM_GETFONT, 0, 0)));
        SIZE size = {};
        GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(line, dc);
        return size.cx;
    }
    int LineWidth() {
        RECT r;
        GetClientRect(GetDlgItem(dialog_, first_), &r);
        return r.right - r.left;
    }
    // The width the edit wraps at: its formatting rectangle, inside its margins.
    int WrapWidth() {
        RECT r = {};
        SendMessageA(edit_, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&r));
        return r.right - r.left;
    }

    HWND dialog_ = nullptr;
    HWND edit_ = nullptr;
    int first_ = 0;
    int count_ = 0;
};

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (isspace(static_cast<unsigned char>(c))) {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

TEST_F(Page, DriverNoteBreaksAtItsLineEndOntoANewStatic) {
    Open(IDD_INTRO_PAGE, IDC_INTRO_MEASURE, IDC_INTRO_LINE0, INTRO_LINE_COUNT);
    char text[kTextBufferSize] = "";
    ASSERT_GT(LoadStringA(Module(), IDS_INTRO_DRIVER_NOTE, text, sizeof text), 0);
    SpreadTextOverLines(dialog_, edit_, text, IDC_INTRO_LINE0);

    const std::vector<std::string> lines = Placed();
    ASSERT_GE(lines.size(), 2u);
    size_t after = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("(Device driver installation", 0) == 0)
            after = i;
    }
    ASSERT_GT(after, 0u) << "the part after the break starts a static of its own";
    EXPECT_EQ(TrimRight(lines[after - 1]).substr(TrimRight(lines[after - 1]).size() - 7),
              "driver.");
    // Nothing is lost or split: the words of the lines are the words of the text.
    std::string joined;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        EXPECT_LE(TextWidth(TrimRight(line)), LineWidth()) << line;
        joined += line + " ";
    }
    EXPECT_EQ(Words(joined), Words(text));
}

TEST_F(Page, AnEmptyLineEndsThePlacing) {
    Open(IDD_PREPARE_PAGE, IDC_PREPARE_MEASURE, IDC_PREPARE_LINE0, PAGE_LINE_COUNT);
    SpreadTextOverLines(dialog_, edit_, "First part\r\n\r\nThird part\r\nFourth part",
                        IDC_PREPARE_LINE0);
    EXPECT_EQ(Line(0), "First part");
    for (int i = 1; i < PAGE_LINE_COUNT; ++i)
        EXPECT_EQ(Line(i), "(kept)") << i;
}

TEST_F(Page, TwoBreaksPlaceTwoLinesInOrder) {
    Open(IDD_PREPARE_PAGE, IDC_PREPARE_MEASURE, IDC_PREPARE_LINE0, PAGE_LINE_COUNT);
    SpreadTextOverLines(dialog_, edit_, "one\r\ntwo\r\nthree", IDC_PREPARE_LINE0);
    EXPECT_EQ(Line(0), "one");
    EXPECT_EQ(Line(1), "two");
    EXPECT_EQ(Line(2), "three");
    EXPECT_EQ(Line(3), "(kept)");
}

TEST_F(Page, OneLineTextSetsExactlyOneStatic) {
    Open(IDD_PREPARE_PAGE, IDC_PREPARE_MEASURE, IDC_PREPARE_LINE0, PAGE_LINE_COUNT);
    char text[kTextBufferSize] = "";
    ASSERT_GT(LoadStringA(Module(), IDS_PREPARE_FOLLOW, text, sizeof text), 0);
    // Start one line further down: only the named static changes.
    SpreadTextOverLines(dialog_, edit_, text, IDC_PREPARE_LINE1);
    EXPECT_EQ(Line(0), "(kept)");
    EXPECT_EQ(Line(1), "Follow the procedures below.");
    for (int i = 2; i < PAGE_LINE_COUNT; ++i)
        EXPECT_EQ(Line(i), "(kept)") << i;
}

TEST_F(Page, EmptyTextPlacesNothing) {
    Open(IDD_CONFIRM_PAGE, IDC_CONFIRM_MEASURE, IDC_CONFIRM_LINE0, PAGE_LINE_COUNT);
    SpreadTextOverLines(dialog_, edit_, "", IDC_CONFIRM_LINE0);
    for (int i = 0; i < PAGE_LINE_COUNT; ++i)
        EXPECT_EQ(Line(i), "(kept)") << i;
}

TEST_F(Page, TextWiderThanAStaticWrapsAtAWord) {
    Open(IDD_DONE_PAGE, IDC_DONE_MEASURE, IDC_DONE_LINE0, PAGE_LINE_COUNT);
    char text[kTextBufferSize] = "";
    ASSERT_GT(LoadStringA(Module(), IDS_DONE_README_NOTE, text, sizeof text), 0);
    ASSERT_GT(TextWidth(text), 2 * LineWidth()) << "the text needs at least three lines";
    SpreadTextOverLines(dialog_, edit_, text, IDC_DONE_LINE0);

    const std::vector<std::string> lines = Placed();
    ASSERT_GE(lines.size(), 3u);
    const std::vector<std::string> words = Words(text);
    size_t next = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string line = TrimRight(lines[i]);
        EXPECT_LE(TextWidth(line), LineWidth()) << line;
        // Every line is whole words of the text, in order.
        for (const std::string& word : Words(line)) {
            ASSERT_LT(next, words.size());
            EXPECT_EQ(word, words[next]) << "line " << i;
            ++next;
        }
        // And it is full: the next word would not have fitted after it.
        if (i + 1 < lines.size()) {
            const std::string nextWord = Words(lines[i + 1]).front();
            EXPECT_GT(TextWidth(line + " " + nextWord), WrapWidth()) << line;
        }
    }
    EXPECT_EQ(next, words.size());
}

// Lines longer than the 256-character buffer are cut at 255 characters, never overrun.
TEST(SpreadText, OverlongLineIsCutToTheBuffer) {
    HWND parent = CreateOwner(WS_OVERLAPPEDWINDOW);
    HWND edit = CreateWindowExA(0, "EDIT", "", WS_CHILD | ES_MULTILINE, 0, 0, 30000, 40, parent,
                                nullptr, Module(), nullptr);
    HWND first = CreateWindowExA(0, "STATIC", "(kept)", WS_CHILD, 0, 0, 100, 10, parent,
                                 reinterpret_cast<HMENU>(500), Module(), nullptr);
    HWND second = CreateWindowExA(0, "STATIC", "(kept)", WS_CHILD, 0, 20, 100, 10, parent,
                                  reinterpret_cast<HMENU>(501), Module(), nullptr);
    ASSERT_TRUE(edit && first && second);
    std::string longLine;
    for (int i = 0; longLine.size() < 300; ++i)
        longLine += static_cast<char>('a' + i % 26);
    const std::string text = longLine + "\r\nshort";
    SpreadTextOverLines(parent, edit, text.c_str(), 500);
    char placed[1024] = "";
    GetWindowTextA(first, placed, sizeof placed);
    EXPECT_EQ(std::string(placed), longLine.substr(0, 255));
    GetWindowTextA(second, placed, sizeof placed);
    EXPECT_STREQ(placed, "short");
    DestroyWindow(parent);
}

// A line whose control ID names no control is not shown, and nothing else happens.
TEST(SpreadText, LinesBeyondTheStaticsGoNowhere) {
    HWND parent = CreateOwner(WS_OVERLAPPEDWINDOW);
    HWND edit = CreateWindowExA(0, "EDIT", "", WS_CHILD | ES_MULTILINE, 0, 0, 400, 40, parent,
                                nullptr, Module(), nullptr);
    HWND only = CreateWindowExA(0, "STATIC", "(kept)", WS_CHILD, 0, 0, 100, 10, parent,
                                reinterpret_cast<HMENU>(700), Module(), nullptr);
    ASSERT_TRUE(edit && only);
    SpreadTextOverLines(parent, edit, "a\r\nb\r\nc", 700);
    char placed[64] = "";
    GetWindowTextA(only, placed, sizeof placed);
    EXPECT_STREQ(placed, "a");
    GetWindowTextA(edit, placed, sizeof placed);
    EXPECT_STREQ(placed, "a\r\nb\r\nc") << "the edit holds the whole text";
    DestroyWindow(parent);
}

RECT WindowRect(HWND window) {
    RECT r = {};
    GetWindowRect(window, &r);
    return r;
}

struct CentreCase {
    const char* name;
    RECT reference; // left, top, right, bottom
    int width, height;
    int x, y; // expected top-left
};

TEST(CenterWindow, OverItsParent) {
    const CentreCase cases[] = {
        {"smaller", {100, 80, 500, 380}, 200, 100, 200, 180},
        {"odd differences", {10, 20, 311, 221}, 100, 50, 110, 95},
        // Negative offsets are halved toward zero: -99 / 2 is -49, not -50.
        {"larger than the parent", {300, 200, 401, 251}, 200, 100, 251, 176},
        {"much larger", {400, 300, 403, 305}, 600, 410, 102, 98},
    };
    for (const CentreCase& c : cases) {
        SCOPED_TRACE(c.name);
        HWND parent =
            CreateOwner(WS_POPUP, nullptr, c.reference.left, c.reference.top,
                        c.reference.right - c.reference.left, c.reference.bottom - c.reference.top);
        // An owned pop-up, as the progress dialog is: GetParent gives its owner.
        HWND window = CreateOwner(WS_POPUP, parent, 0, 0, c.width, c.height);
        ASSERT_EQ(GetParent(window), parent);
        CenterWindowOnParent(window);
        const RECT r = WindowRect(window);
        EXPECT_EQ(r.left, c.x);
        EXPECT_EQ(r.top, c.y);
        EXPECT_EQ(r.right - r.left, c.width) << "the size is kept";
        EXPECT_EQ(r.bottom - r.top, c.height);
        DestroyWindow(window);
        DestroyWindow(parent);
    }
}

TEST(CenterWindow, OnTheDesktopWithoutAParent) {
    HWND window = CreateOwner(WS_POPUP, nullptr, 3, 7, 301, 203);
    ASSERT_EQ(GetParent(window), nullptr);
    CenterWindowOnParent(window);
    const RECT desktop = WindowRect(GetDesktopWindow());
    const RECT r = WindowRect(window);
    EXPECT_EQ(r.left, desktop.left + (desktop.right - desktop.left - 301) / 2);
    EXPECT_EQ(r.top, desktop.top + (desktop.bottom - desktop.top - 203) / 2);
    EXPECT_EQ(r.right - r.left, 301);
    EXPECT_EQ(r.bottom - r.top, 203);
    DestroyWindow(window);
}

} // namespace
