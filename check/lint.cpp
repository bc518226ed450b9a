#include "lint.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "checks.h"
#include "common/handle.h"
#include "files.h"
#include "firmware_job.h"
#include "folder_walk.h"
#include "resource_ids.h"

namespace check {

namespace {

// The customer's own folder comes before these paths, within Windows' 259 characters.
const size_t kLongestUpdatePath = 200;
// The wizard reads the card's free space as a 32-bit count of bytes.
const int64_t kLargestCardKB = 0xFFFFFFFFll / 1024;

const struct {
    unsigned codePage;
    const char* name;
} kCodePages[] = {
    {874, "Thai"},
    {932, "Japanese"},
    {936, "Simplified Chinese"},
    {949, "Korean"},
    {950, "Traditional Chinese"},
    {1250, "Central European"},
    {1251, "Cyrillic"},
    {1252, "Western"},
    {1253, "Greek"},
    {1254, "Turkish"},
    {1255, "Hebrew"},
    {1256, "Arabic"},
    {1257, "Baltic"},
    {1258, "Vietnamese"},
};

// Whether `name` is written in `codePage` as it is: no character missing, none replaced by a
// look-alike.
bool Fits(const std::wstring& name, unsigned codePage) {
    BOOL lost = FALSE;
    const int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, nullptr, 0,
                                      nullptr, &lost);
    if (n <= 0 || lost)
        return false;
    std::string bytes(n, '\0');
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, &bytes[0], n, nullptr,
                        nullptr);
    wchar_t back[MAX_PATH * 2] = L"";
    MultiByteToWideChar(codePage, 0, bytes.c_str(), -1, back, MAX_PATH * 2);
    return name == back;
}

// Files a camera maker never means to ship: what Windows, macOS and editors leave behind.
bool IsLeftBehind(const std::string& name) {
    const std::string lower = Lower(name);
    for (const char* exact : {"thumbs.db", "ehthumbs.db", "desktop.ini", ".ds_store"}) {
        if (lower == exact)
            return true;
    }
    const auto ends = [&](const char* tail) {
        const size_t n = strlen(tail);
        return lower.size() >= n && lower.compare(lower.size() - n, n, tail) == 0;
    };
    return lower.compare(0, 2, "~$") == 0 || lower.compare(0, 2, "._") == 0 || ends(".tmp") ||
           ends(".bak") || ends(".swp") || ends("~");
}

// A value with a note typed beside it: a run of blanks or a tab inside it.
bool LooksNoted(const std::string& text) {
    return text.find('\t') != std::string::npos || text.find("  ") != std::string::npos;
}

bool HasOuterBlank(const std::string& text) {
    const char* blanks = " \t\r";
    return !text.empty() && (strchr(blanks, text.front()) || strchr(blanks, text.back()));
}

class Linter {
  public:
    Linter(const std::string& folder, HMODULE wizard, const LintOptions& options,
           LintResult& result)
        : folder_(folder), wizard_(wizard), options_(options), r_(result) {}

    void Add(Severity severity, const char* rule, const std::string& where, const std::string& text,
             int wizardMessage = 0) {
        r_.findings.push_back(
            {severity, rule, where, text, wizardMessage ? WizardText(wizard_, wizardMessage) : ""});
    }

    void Run();

  private:
    void Encoding();
    void Information(const FirmwareInfoTrace& trace, int32_t loaded);
    void Entries(uint64_t& total, bool& allFound);
    void Capacity(uint64_t listedTotal, bool allFound);
    void Sent();
    void Names();
    void RealNames(const std::wstring& name, const std::string& shown, bool folder);
    void Collisions();
    void Around();
    void Shipped();
    void Models();

    // A listed entry as found on disk: the walks go over what is there, so that one missing
    // entry does not hide the problems of the others.
    struct Listed {
        std::string name;
        bool folder;
        uint64_t size;
    };

    std::string folder_;
    HMODULE wizard_;
    const LintOptions& options_;
    LintResult& r_;
    FirmwareJob job_ = {};
    std::vector<Listed> listed_;
};

const char* StopReason(int32_t reason) {
    switch (reason) {
    case kInfoStopUnknownHeader:
        return "a section header with none of the keys \"Firmware Folder Name\", \"Firmware File "
               "Name\", \"Camera Model Name\", \"Firmware Version\", \"CF Capacity\" (letter case "
               "counts)";
    case kInfoStopSecondVersion:
        return "a second \"Firmware Version\" value";
    case kInfoStopSecondCapacity:
        return "a second \"CF Capacity\" value";
    case kInfoStopBadCapacity:
        return "a \"CF Capacity\" that is not a number of kilobytes above 0";
    case kInfoStopOutOfMemory:
        return "memory ran out";
    case kInfoStopReadError:
        return "the file could not be read";
    default:
        return "";
    }
}

void Linter::Information(const FirmwareInfoTrace& trace, int32_t loaded) {
    const std::string file = "FirmInfo.txt";
    const MessageId says = LoadResultMessage(loaded);
    switch (loaded) {
    case kFirmwareInfoOk:
        r_.parsed = true;
        break;
    case kFirmwareInfoCannotOpen:
        Add(Severity::kError, "info-missing", file, "FirmInfo.txt cannot be opened.", says);
        return;
    case kFirmwareInfoReadError:
        Add(Severity::kError, "info-read", file + " line " + std::to_string(trace.stopLine),
            "FirmInfo.txt cannot be read.", says);
        break;
    case kFirmwareInfoOutOfMemory:
        Add(Severity::kError, "info-memory", file, "Memory ran out reading FirmInfo.txt.", says);
        break;
    default:
        if (trace.stopReason == kInfoStopIncomplete) {
            std::string missing;
            const struct {
                bool there;
                const char* what;
            } items[] = {{job_.entryCount != 0, "an entry (Firmware File Name or Folder Name)"},
                         {job_.modelCount != 0, "a Camera Model Name"},
                         {job_.firmwareVersion != nullptr, "a Firmware Version"},
                         {job_.capacityKB != 0, "a CF Capacity"}};
            for (const auto& item : items) {
                if (!item.there)
                    missing += (missing.empty() ? "" : ", ") + std::string(item.what);
            }
            Add(Severity::kError, "info-syntax", file,
                "At its end the file has given no " + missing +
                    " (a value counts only on a line that ends with a line end).",
                says);
        } else {
            Add(Severity::kError, "info-syntax", file + " line " + std::to_string(trace.stopLine),
                std::string("The parse stops here: ") + StopReason(trace.stopReason) + ".", says);
        }
        break;
    }
    if (trace.ignoredLines > 0)
        Add(Severity::kWarning, "info-ignored-line",
            file + " line " + std::to_string(trace.firstIgnoredLine),
            std::to_string(trace.ignoredLines) +
                " line(s) outside any section (before the first header, or after an empty or "
                "'-' line) are ignored.");
    if (trace.unendedLastLine)
        Add(Severity::kWarning, "info-unended-line", file,
            "The last line has no line end: the wizard never uses it.");
}

// A byte order mark makes the first header a value line to the wizard: the first section is
// lost without a word.
void Linter::Encoding() {
    std::string head;
    {
        common::Handle file(CreateFileA((folder_ + "\\FirmInfo.txt").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        char bytes[4] = {};
        DWORD got = 0;
        if (!file || !ReadFile(file.get(), bytes, sizeof bytes, &got, nullptr))
            return;
        head.assign(bytes, got);
    }
    const char* what = nullptr;
    if (head.compare(0, 3, "\xEF\xBB\xBF") == 0)
        what = "a UTF-8 byte order mark";
    else if (head.compare(0, 2, "\xFF\xFE") == 0 || head.compare(0, 2, "\xFE\xFF") == 0)
        what = "a UTF-16 byte order mark (the file is UTF-16, the wizard reads 8-bit text)";
    if (what)
        Add(Severity::kError, "info-bom", "FirmInfo.txt line 1",
            std::string("The file begins with ") + what +
                ": the wizard takes the first header for a value line and loses the first "
                "section without a word, so a customer's copy can leave part of the update "
                "behind. Save FirmInfo.txt as ANSI text (in Notepad: Save As, Encoding ANSI).");
}

void Linter::Entries(uint64_t& total, bool& allFound) {
    allFound = true;
    char directory[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, directory);
    for (FirmwareEntry* entry = job_.entryHead; entry; entry = entry->next) {
        if (!entry->name)
            continue;
        const std::string name = entry->name;
        if (HasOuterBlank(name))
            Add(Severity::kWarning, "entry-blank", name,
                "The listed name begins or ends with a blank, tab or carriage return, which is "
                "part of the name.");
        char path[MAX_PATH];
        WIN32_FIND_DATAA found;
        const common::FindHandle search(JoinPath(path, directory, entry->name)
                                            ? FindFirstFileA(path, &found)
                                            : INVALID_HANDLE_VALUE);
        if (!search) {
            allFound = false;
            Add(Severity::kError, "entry-missing", name,
                "Listed in FirmInfo.txt but not in the update folder.",
                IDS_MSG_UPDATE_FILES_MISSING);
            continue;
        }
        listed_.push_back(
            {name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
             (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow});
    }
    // The wizard's own check, for its verdict and the sizes it records.
    const MessageId files = job_.entryHead ? CheckFirmwareFiles(&job_, &total) : 0;
    if (files != 0 && allFound) {
        allFound = false;
        Add(Severity::kError, "entry-missing", "", "The wizard does not find every listed entry.",
            files);
    }
}

// CF Capacity must hold what is really sent: the wizard itself weighs the listed files only,
// and a card with the declared room but less than the update fills up mid-copy.
void Linter::Capacity(uint64_t listedTotal, bool allFound) {
    if (job_.capacityKB <= 0)
        return;
    const uint64_t neededKB = (r_.totalBytes + 1023) / 1024;
    const std::string declared = "CF Capacity declares " + std::to_string(job_.capacityKB) + " KB";
    if (allFound && CheckDeclaredSpace(&job_, listedTotal) != 0)
        Add(Severity::kError, "capacity-exceeded", "FirmInfo.txt",
            "The listed files need " + std::to_string((listedTotal + 1023) / 1024) + " KB; " +
                declared + ": every customer's wizard refuses the update.",
            IDS_MSG_INFO_INCORRECT);
    else if (neededKB > static_cast<uint64_t>(job_.capacityKB))
        Add(Severity::kError, "capacity-exceeded", "FirmInfo.txt",
            "The files the copy sends, those inside the listed folders included, need " +
                std::to_string(neededKB) + " KB; " + declared +
                ": a customer whose card has the declared room but less than that sees the "
                "copy fail part way.",
            IDS_MSG_TRANSMISSION_ERROR);
    if (job_.capacityKB > kLargestCardKB)
        Add(Severity::kError, "capacity-too-large", "FirmInfo.txt",
            declared + ", more than the " + std::to_string(kLargestCardKB) +
                " KB the wizard can see free on any card (it reads the free space as a 32-bit "
                "count of bytes): every customer is told the card is too full.",
            IDS_MSG_CARD_SPACE);
}

// The wizard's walk names what the copy sends and the folders it goes through.
struct SentWalk {
    LintResult* result;
    size_t rootLength; // of the update folder and its backslash
};

std::string Relative(const SentWalk& walk, const char* folder, const char* name) {
    const std::string at = folder;
    return (at.size() > walk.rootLength ? at.substr(walk.rootLength) + "\\" : "") + name;
}

MessageId CollectFile(void* context, const char* folder, const char*,
                      const WIN32_FIND_DATAA& item) {
    const SentWalk& walk = *static_cast<SentWalk*>(context);
    UpdateFile file;
    file.path = Relative(walk, folder, item.cFileName);
    file.cardName = item.cFileName;
    file.size = (static_cast<uint64_t>(item.nFileSizeHigh) << 32) | item.nFileSizeLow;
    walk.result->files.push_back(file);
    return 0;
}

MessageId CollectFolder(void* context, const char* folder, const char*,
                        const WIN32_FIND_DATAA& item) {
    const SentWalk& walk = *static_cast<SentWalk*>(context);
    walk.result->folders.push_back(Relative(walk, folder, item.cFileName));
    return 0;
}

void Linter::Sent() {
    char directory[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, directory);
    SentWalk walk = {&r_, strlen(directory) + 1};
    const FolderWalk collect = {CollectFile, CollectFolder, 0, &walk};
    for (const Listed& entry : listed_) {
        if (!entry.folder) {
            UpdateFile file;
            file.path = entry.name;
            file.cardName = LastPathComponent(entry.name.c_str());
            file.size = entry.size;
            r_.files.push_back(file);
            continue;
        }
        r_.folders.push_back(entry.name);
        char path[MAX_PATH];
        if (JoinPath(path, directory, entry.name.c_str()))
            WalkFolder(collect, path, nullptr);
    }
    for (UpdateFile& file : r_.files) {
        r_.totalBytes += file.size;
        file.sha256 = Sha256OfFile(folder_ + "\\" + file.path);
        if (IsLeftBehind(file.cardName))
            Add(Severity::kWarning, "left-behind", file.path,
                "\"" + file.cardName +
                    "\" is a file a camera maker never means to ship (left by Windows, macOS or "
                    "an editor): the wizard copies it to the card's root with the update.");
    }
}

// A name as the file system holds it, in full: the wizard's ANSI listing turns a character
// outside the code page into '?', which names nothing.
void Linter::RealNames(const std::wstring& name, const std::string& shown, bool folder) {
    if (!Fits(name, CP_ACP))
        Add(Severity::kError, "name-ansi", shown,
            "The name has characters outside this PC's ANSI code page (" + CodePageName(GetACP()) +
                "): the wizard cannot open it, and the copy fails.",
            IDS_MSG_TRANSMISSION_ERROR);
    std::string misses;
    for (unsigned codePage : options_.codePages) {
        if (!Fits(name, codePage))
            misses += (misses.empty() ? "" : ", ") + CodePageName(codePage);
    }
    if (!misses.empty())
        Add(Severity::kError, "name-code-page", shown,
            "The name cannot be written in code page " + misses +
                ": on a Windows set to it the wizard cannot open the " +
                (folder ? "folder" : "file") + ", and the copy fails.",
            IDS_MSG_TRANSMISSION_ERROR);
}

void Linter::Names() {
    for (const Listed& entry : listed_) {
        RealNames(Wide(entry.name), entry.name, entry.folder);
        if (!entry.folder)
            continue;
        const std::vector<TreeItem> below = ListTree(folder_ + "\\" + entry.name);
        if (below.empty())
            Add(Severity::kWarning, "folder-empty", entry.name,
                "An empty folder: nothing of it reaches the card.");
        std::vector<std::wstring> skipped;
        for (const TreeItem& item : below) {
            const std::string shown = entry.name + "\\" + Narrow(item.relative);
            const bool inSkipped =
                std::any_of(skipped.begin(), skipped.end(), [&](const std::wstring& folder) {
                    return item.relative.compare(0, folder.size() + 1, folder + L"\\") == 0;
                });
            if (inSkipped)
                continue;
            RealNames(item.name, shown, item.folder);
            if (!item.folder)
                continue;
            if (IsSkippedFolderName(Narrow(item.name).c_str())) {
                skipped.push_back(item.relative);
                Add(Severity::kWarning, "folder-skipped", shown,
                    "A folder of one or two characters beginning with '.' is never copied.");
            } else if (item.empty) {
                Add(Severity::kWarning, "folder-empty", shown,
                    "An empty folder: nothing of it reaches the card.");
            }
        }
    }
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    for (const UpdateFile& file : r_.files) {
        const std::string& name = file.cardName;
        bool refused = name.empty() || name.back() == '.' || name.back() == ' ';
        for (unsigned char c : name)
            refused = refused || c < 0x20 || strchr("/:*?\"<>|", c);
        std::string base = name.substr(0, name.find('.'));
        for (char& c : base)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        for (const char* device : kDevices)
            refused = refused || base == device;
        if (base.size() == 4 &&
            (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
            isdigit(static_cast<unsigned char>(base[3])))
            refused = true;
        if (refused && name.find('?') == std::string::npos)
            Add(Severity::kError, "name-camera", file.path,
                "\"" + name +
                    "\" is a name a memory card cannot hold (a character of \\ / : * ? \" < > | "
                    "or a control character, a trailing dot or blank, or a device name).");
        if (file.path.size() > kLongestUpdatePath)
            Add(Severity::kWarning, "path-length", file.path,
                "The path in the update has " + std::to_string(file.path.size()) +
                    " characters: in a customer's folder it may pass Windows' 259.");
    }
}

// Every object lands at the card's root under the last part of its path, and a card's names
// ignore letter case.
void Linter::Collisions() {
    std::map<std::string, std::string> first;
    for (const UpdateFile& file : r_.files) {
        auto taken = first.emplace(Lower(file.cardName), file.path);
        if (taken.second)
            continue;
        const std::string& other = taken.first->second;
        Add(Severity::kError, "name-collision", file.path,
            other == file.path
                ? "Listed twice: the second copy finds the first on the card."
                : "Takes the same name on the card as " + other +
                      " (every file lands at the card's root under its own name): the second "
                      "cannot be written beside the first.");
    }
}

void Linter::Around() {
    WIN32_FIND_DATAA found;
    const common::FindHandle readme(
        FindFirstFileA((folder_ + WizardText(wizard_, IDS_README_PATH)).c_str(), &found));
    r_.hasReadme = static_cast<bool>(readme);
    if (!r_.hasReadme)
        Add(Severity::kError, "readme-missing", "readme.txt",
            "No readme.txt: after the copy the wizard opens nothing, and the customer has no "
            "instructions for the camera.");
    if (job_.firmwareVersion) {
        r_.version = job_.firmwareVersion;
        if (LooksNoted(r_.version))
            Add(Severity::kWarning, "value-note", r_.version,
                "The version holds a run of blanks or a tab, as a note typed beside it would: "
                "the whole line is the version the customer reads.");
        Add(Severity::kNote, "version", "", "Update version " + r_.version + ".");
    }
    r_.capacityKB = job_.capacityKB;
    if (job_.capacityKB > 0)
        Add(Severity::kNote, "capacity", "",
            "A card needs " + std::to_string(job_.capacityKB) + " KB free; the copy sends " +
                std::to_string(r_.files.size()) + " file(s), " +
                std::to_string((r_.totalBytes + 1023) / 1024) + " KB.");
}

// What the folder ships beside the update: the program and library that are tried, and no
// settings of a rehearsal or a demo.
void Linter::Shipped() {
    for (const char* name : {"Vandrel.exe", "KXPTPCLS.DLL"}) {
        const DWORD attributes = GetFileAttributesA((folder_ + "\\" + name).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            Add(Severity::kError, "program-missing", name,
                std::string("The folder has no ") + name +
                    ": customers get no working wizard. Copy it from the release kit; the "
                    "rehearsal tries what the folder ships, nothing else.");
    }
    std::string settings;
    if (ReadFileBytes(folder_ + "\\KXPTPCLS.ini", settings)) {
        settings = Lower(settings);
        const bool other = settings.find("virtual") != std::string::npos ||
                           settings.find("ptpip") != std::string::npos;
        Add(Severity::kError, "settings-file", "KXPTPCLS.ini",
            std::string("The driver's settings file ships with the update, and every customer's "
                        "library reads it; the rehearsal writes settings of its own, so these "
                        "are never tried. ") +
                (other ? "They ask for a virtual or network camera: customers' USB cameras are "
                         "not looked for, and with a camera profile beside them the wizard "
                         "\"copies\" to a folder on the PC. "
                       : "") +
                "Leave KXPTPCLS.ini out of a release: without it the library looks for USB "
                "cameras.");
    }
    const DWORD profile = GetFileAttributesA((folder_ + "\\camera.ini").c_str());
    if (profile != INVALID_FILE_ATTRIBUTES && !(profile & FILE_ATTRIBUTE_DIRECTORY))
        Add(Severity::kError, "camera-profile", "camera.ini",
            "A virtual camera's profile, for demos and rehearsals: beside a KXPTPCLS.ini that "
            "names it, customers' wizards copy the update to a folder on their PC, with no "
            "camera at all. Leave it out of a release.");
}

void Linter::Models() {
    for (ModelEntry* model = job_.modelHead; model; model = model->next) {
        if (!model->name)
            continue;
        const std::string name = model->name;
        r_.models.push_back(name);
        if (name.size() >= 256)
            Add(Severity::kError, "model-long", name.substr(0, 40) + "...",
                "A model name of 256 characters or more never matches a camera.");
        else if (HasOuterBlank(name))
            Add(Severity::kWarning, "model-blank", name,
                "The model name begins or ends with a blank, tab or carriage return; a camera's "
                "name must match it to the byte.");
        else if (LooksNoted(name))
            Add(Severity::kWarning, "value-note", name,
                "The model name holds a run of blanks or a tab, as a note typed beside it "
                "would: a camera's name must match the whole line to the byte.");
    }
    if (!r_.models.empty()) {
        std::string list;
        for (const std::string& model : r_.models)
            list += (list.empty() ? "" : ", ") + model;
        Add(Severity::kNote, "models", "", "Meant for: " + list + ".");
    }
    if (options_.cameraModels.empty() && !r_.models.empty())
        Add(Severity::kWarning, "models-unverified", "",
            "No camera's own name was given (--camera-model): the rehearsal names its camera "
            "as each listed model, so a listed name no real camera gives is not found out. "
            "Run KxCameraCheck.exe with each camera and give the model name it prints.");
    for (const std::string& camera : options_.cameraModels) {
        const bool listed = std::any_of(r_.models.begin(), r_.models.end(), [&](const auto& m) {
            return m.size() < 256 && m == camera;
        });
        if (!listed && r_.parsed)
            Add(Severity::kError, "camera-model-unlisted", camera,
                "A camera that names itself \"" + camera +
                    "\" is not listed under [Camera Model Name] (letter case and blanks count): "
                    "its owners are told the update is not for it.",
                IDS_MSG_WRONG_MODEL);
    }
}

void Linter::Run() {
    char previous[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, previous);
    if (!SetCurrentDirectoryA(folder_.c_str())) {
        Add(Severity::kError, "folder", folder_, "The update folder cannot be opened.");
        return;
    }
    Encoding();
    FirmwareInfoTrace trace;
    const int32_t loaded = LoadFirmwareInfoTraced(wizard_, &job_, &trace);
    Information(trace, loaded);
    uint64_t total = 0;
    bool allFound = false;
    Entries(total, allFound);
    Sent();
    Capacity(total, allFound);
    Names();
    Collisions();
    Around();
    Models();
    Shipped();
    // The job never opened a camera: releasing it only frees.
    ReleaseFirmwareJob(&job_);
    SetCurrentDirectoryA(previous);
}

} // namespace

bool LintResult::HasErrors() const {
    return std::any_of(findings.begin(), findings.end(),
                       [](const Finding& f) { return f.severity == Severity::kError; });
}

std::vector<Finding> LintResult::Of(const std::string& rule) const {
    std::vector<Finding> found;
    for (const Finding& f : findings) {
        if (f.rule == rule)
            found.push_back(f);
    }
    return found;
}

LintResult LintUpdate(const std::string& folder, HMODULE wizard, const LintOptions& options) {
    LintResult result;
    Linter(folder, wizard, options, result).Run();
    return result;
}

std::vector<unsigned> LintOptions::DefaultCodePages() {
    std::vector<unsigned> pages;
    for (const auto& page : kCodePages)
        pages.push_back(page.codePage);
    return pages;
}

std::string CodePageName(unsigned codePage) {
    for (const auto& page : kCodePages) {
        if (page.codePage == codePage)
            return std::to_string(codePage) + " (" + page.name + ")";
    }
    return std::to_string(codePage);
}

std::string WizardText(HMODULE wizard, int id) {
    char text[1024] = "";
    LoadStringA(wizard, id, text, sizeof text);
    return text;
}

const char* SeverityName(Severity severity) {
    switch (severity) {
    case Severity::kError:
        return "error";
    case Severity::kWarning:
        return "warning";
    default:
        return "note";
    }
}

} // namespace check
