#include "lint.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "checks.h"
#include "common/handle.h"
#include "files.h"
#include "firmware_job.h"
#include "common/paths.h"
#include "resource_ids.h"

namespace check {

namespace {

// The customer's own folder comes before these paths, within Windows' 259 characters.
const size_t kLongestUpdatePath = 200;

bool FitsAnsi(const std::wstring& name) {
    BOOL lost = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, nullptr, 0, nullptr, &lost);
    return !lost;
}

bool HasOuterBlank(const std::string& text) {
    const char* blanks = " \t\r";
    return !text.empty() && (strchr(blanks, text.front()) || strchr(blanks, text.back()));
}

class Linter {
  public:
    Linter(const std::string& folder, HMODULE wizard, LintResult& result)
        : folder_(folder), wizard_(wizard), r_(result) {}

    void Add(Severity severity, const char* rule, const std::string& where, const std::string& text,
             int wizardMessage = 0) {
        r_.findings.push_back(
            {severity, rule, where, text, wizardMessage ? WizardText(wizard_, wizardMessage) : ""});
    }

    void Run();

  private:
    void Information(const FirmwareInfoTrace& trace, int32_t loaded);
    void Entries(uint64_t& total, bool& allFound);
    void Sent();
    void Names();
    void NamesBelow(const std::wstring& folder, const std::string& relative);
    void Collisions();
    void Around();

    // A listed entry as found on disk: the walks go over what is there, so that one missing
    // entry does not hide the problems of the others.
    struct Listed {
        std::string name;
        bool folder;
        uint64_t size;
    };

    std::string folder_;
    HMODULE wizard_;
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
        HANDLE search = JoinPath(path, directory, entry->name) ? FindFirstFileA(path, &found)
                                                               : INVALID_HANDLE_VALUE;
        if (search == INVALID_HANDLE_VALUE) {
            allFound = false;
            Add(Severity::kError, "entry-missing", name,
                "Listed in FirmInfo.txt but not in the update folder.",
                IDS_MSG_UPDATE_FILES_MISSING);
            continue;
        }
        listed_.push_back(
            {name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
             (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow});
        FindClose(search);
    }
    // The wizard's own check, for its verdict and the sizes it records.
    const MessageId files = job_.entryHead ? CheckFirmwareFiles(&job_, &total) : 0;
    if (files != 0 && allFound) {
        allFound = false;
        Add(Severity::kError, "entry-missing", "", "The wizard does not find every listed entry.",
            files);
    }
}

// The wizard's walk names what the copy sends; its callbacks carry no context.
LintResult* walking = nullptr;
size_t walkRootLength = 0;

MessageId CollectFile(const char* folder, const char*, const WIN32_FIND_DATAA& item) {
    UpdateFile file;
    const std::string at = folder;
    file.path =
        (at.size() > walkRootLength ? at.substr(walkRootLength) + "\\" : "") + item.cFileName;
    file.cardName = item.cFileName;
    file.size = (static_cast<uint64_t>(item.nFileSizeHigh) << 32) | item.nFileSizeLow;
    walking->files.push_back(file);
    walking->totalBytes += file.size;
    return 0;
}

void Linter::Sent() {
    char directory[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, directory);
    walking = &r_;
    walkRootLength = strlen(directory) + 1;
    for (const Listed& entry : listed_) {
        if (!entry.folder) {
            UpdateFile file;
            file.path = entry.name;
            file.cardName = LastPathComponent(entry.name.c_str());
            file.size = entry.size;
            r_.files.push_back(file);
            r_.totalBytes += file.size;
            continue;
        }
        char path[MAX_PATH];
        const FolderWalk collect = {CollectFile, nullptr, 0};
        if (JoinPath(path, directory, entry.name.c_str()))
            WalkFolder(collect, path, nullptr);
    }
    walking = nullptr;
}

// Names as the file system holds them, in full: the wizard's ANSI listing turns a character
// outside the code page into '?', which names nothing.
void Linter::NamesBelow(const std::wstring& folder, const std::string& relative) {
    WIN32_FIND_DATAW item;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &item);
    bool empty = true;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = item.cFileName;
            if (name == L"." || name == L"..")
                continue;
            empty = false;
            const std::string shown = relative + "\\" + Narrow(name);
            if (!FitsAnsi(name))
                Add(Severity::kError, "name-ansi", shown,
                    "The name has characters outside the Windows ANSI code page: the wizard "
                    "cannot open it, and the copy fails.",
                    IDS_MSG_TRANSMISSION_ERROR);
            if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                const std::string narrow = Narrow(name);
                if (IsSkippedFolderName(narrow.c_str()))
                    Add(Severity::kWarning, "folder-skipped", shown,
                        "A folder of one or two characters beginning with '.' is never copied.");
                else
                    NamesBelow(folder + L"\\" + name, shown);
            }
        } while (FindNextFileW(search, &item));
        FindClose(search);
    }
    if (empty)
        Add(Severity::kWarning, "folder-empty", relative,
            "An empty folder: nothing of it reaches the card.");
}

void Linter::Names() {
    for (const Listed& entry : listed_) {
        if (!entry.folder)
            continue;
        const std::string folder = folder_ + "\\" + entry.name;
        NamesBelow(Wide(folder), entry.name);
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
    HANDLE readme =
        FindFirstFileA((folder_ + WizardText(wizard_, IDS_README_PATH)).c_str(), &found);
    r_.hasReadme = readme != INVALID_HANDLE_VALUE;
    if (r_.hasReadme)
        FindClose(readme);
    else
        Add(Severity::kError, "readme-missing", "readme.txt",
            "No readme.txt: after the copy the wizard opens nothing, and the customer has no "
            "instructions for the camera.");
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
    }
    if (!r_.models.empty()) {
        std::string list;
        for (const std::string& model : r_.models)
            list += (list.empty() ? "" : ", ") + model;
        Add(Severity::kNote, "models", "", "Meant for: " + list + ".");
    }
    if (job_.firmwareVersion) {
        r_.version = job_.firmwareVersion;
        Add(Severity::kNote, "version", "", "Update version " + r_.version + ".");
    }
    r_.capacityKB = job_.capacityKB;
    if (job_.capacityKB > 0)
        Add(Severity::kNote, "capacity", "",
            "A card needs " + std::to_string(job_.capacityKB) + " KB free.");
    std::string settings;
    common::Handle ini(CreateFileA((folder_ + "\\KXPTPCLS.ini").c_str(), GENERIC_READ,
                                   FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (ini) {
        char buffer[4096];
        DWORD got = 0;
        ReadFile(ini.get(), buffer, sizeof buffer, &got, nullptr);
        settings = Lower(std::string(buffer, got));
        const bool other = settings.find("virtual") != std::string::npos ||
                           settings.find("ptpip") != std::string::npos;
        Add(Severity::kWarning, "settings-file", "KXPTPCLS.ini",
            other ? "The driver's settings ask for a virtual or network camera: customers' USB "
                    "cameras are not looked for. Leave KXPTPCLS.ini out of a release."
                  : "The driver's settings file ships with the update; without it the library "
                    "looks for USB cameras.");
    }
}

void Linter::Run() {
    char previous[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, previous);
    if (!SetCurrentDirectoryA(folder_.c_str())) {
        Add(Severity::kError, "folder", folder_, "The update folder cannot be opened.");
        return;
    }
    FirmwareInfoTrace trace;
    const int32_t loaded = LoadFirmwareInfoTraced(wizard_, &job_, &trace);
    Information(trace, loaded);
    uint64_t total = 0;
    bool allFound = false;
    Entries(total, allFound);
    if (allFound && job_.capacityKB > 0 && CheckDeclaredSpace(&job_, total) != 0)
        Add(Severity::kError, "capacity-exceeded", "FirmInfo.txt",
            "The listed files need " + std::to_string((total + 1023) / 1024) +
                " KB; CF Capacity declares " + std::to_string(job_.capacityKB) + " KB.",
            IDS_MSG_INFO_INCORRECT);
    Sent();
    Names();
    Collisions();
    Around();
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

LintResult LintUpdate(const std::string& folder, HMODULE wizard) {
    LintResult result;
    Linter(folder, wizard, result).Run();
    return result;
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
