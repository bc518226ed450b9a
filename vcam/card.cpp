// The card folder: scanning, name checks, folders, renames and reading objects.
#include "vcam/card.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "common/handle.h"
#else
#include <cerrno>
#include <climits>
#include <unistd.h>
#endif

#include "card_files.h"
#include "ptp/bytes.h"
#include "ptp/codes.h"

namespace fs = std::filesystem;

namespace vcam {
namespace {

// The longest temporary name: prefix, a 32-bit handle, ".ren".
const size_t kLongestTempName = sizeof kTempPrefix - 1 + 10 + 4;

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

#ifdef _WIN32
// Gives the open file (opened with DELETE access) the name `to`, never over a file of that
// name. Renamed by its handle: under Wine a rename by name looks the old name up again.
bool RenameOpenFile(HANDLE file, const fs::path& to) {
    std::error_code error;
    const std::wstring target = fs::absolute(to, error).wstring();
    if (error)
        return false;
    // The structure ends in the name; the zeroed buffer holds its terminator too.
    std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    memcpy(rename->FileName, target.data(), rename->FileNameLength);
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != 0;
}
#endif

} // namespace

fs::path PathOf(const std::string& utf8) {
#if defined(__cpp_char8_t)
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
#else
    return fs::u8path(utf8);
#endif
}

std::string Utf8Of(const fs::path& path) {
    auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

#ifndef _WIN32
bool MoveNoReplace(const fs::path& from, const fs::path& to) {
    // A link fails on an existing name in one step, where a rename would replace it.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    unlink(from.c_str());
    return true;
}
#endif

bool IsSafeObjectName(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F)
            return false;
        if (std::string("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string::npos)
            return false;
    }
    if (name.back() == '.' || name.back() == ' ')
        return false;
    if (name.compare(0, sizeof kTempPrefix - 1, kTempPrefix) == 0)
        return false;
    std::string base = Upper(name.substr(0, name.find('.')));
    base.erase(base.find_last_not_of(' ') + 1);
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices) {
        if (base == device)
            return false;
    }
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
        base[3] >= '0' && base[3] <= '9')
        return false;
    return true;
}

uint16_t FormatForName(const std::string& name) {
    size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? "" : Upper(name.substr(dot + 1));
    if (ext == "JPG" || ext == "JPEG")
        return ptp::OFC_EXIF_JPEG;
    if (ext == "TXT")
        return ptp::OFC_Text;
    if (ext == "PNG")
        return ptp::OFC_PNG;
    return ptp::OFC_Undefined;
}

Card::Card(std::string folder, uint64_t capacity, uint64_t freeSpace)
    : folder_(std::move(folder)), capacity_(capacity), freeSpace_(freeSpace),
      freeDerived_(freeSpace == ~uint64_t(0)) {}

void Card::ScanFolder(const std::string& relative, uint32_t parent, int depth, uint64_t& used,
                      std::map<uint32_t, CardObject>& found) {
    std::error_code error;
    fs::directory_iterator it(PathOf(Join(folder_, relative)), error);
    if (error)
        return;
    std::vector<fs::directory_entry> entries;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error)
            break;
        entries.push_back(*it);
    }
    std::sort(entries.begin(), entries.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) {
                  return a.path().filename() < b.path().filename();
              });
    for (const fs::directory_entry& entry : entries) {
        std::string name = Utf8Of(entry.path().filename());
        if (name.compare(0, sizeof kTempPrefix - 1, kTempPrefix) == 0 || entry.is_symlink(error))
            continue;
        bool folder = entry.is_directory(error);
        if (!folder && !entry.is_regular_file(error))
            continue;
        CardObject object;
        object.path = Join(relative, name);
        object.name = name;
        object.parent = parent;
        object.folder = folder;
        object.depth = static_cast<uint32_t>(depth);
        object.readOnly =
            (entry.status(error).permissions() & fs::perms::owner_write) == fs::perms::none;
        auto known = handleOfPath_.find(object.path);
        object.handle = known != handleOfPath_.end() ? known->second : nextHandle_++;
        handleOfPath_[object.path] = object.handle;
        auto previous = objects_.find(object.handle);
        bool wasFile = previous != objects_.end() && !previous->second.folder;
        if (folder) {
            object.format = ptp::OFC_Association;
        } else {
            object.size = entry.file_size(error);
            if (error)
                object.size = 0;
            object.format = wasFile ? previous->second.format : FormatForName(name);
            // An incomplete object stays one until its file changes.
            if (wasFile && previous->second.incomplete && previous->second.size == object.size) {
                object.incomplete = true;
                object.announced = previous->second.announced;
            }
        }
        used += Footprint(object.size);
        found[object.handle] = object;
        if (folder && depth < static_cast<int>(kMaxFolderDepth))
            ScanFolder(object.path, object.handle, depth + 1, used, found);
    }
}

bool Card::Scan() {
    std::error_code error;
    if (!fs::is_directory(PathOf(folder_), error))
        return false;
    std::map<uint32_t, CardObject> found;
    uint64_t used = 0;
    ScanFolder("", 0, 0, used, found);
    objects_.swap(found);
    if (!scanned_ && freeDerived_)
        freeSpace_ = capacity_ - std::min(capacity_, used);
    scanned_ = true;
    return true;
}

const CardObject* Card::Find(uint32_t handle) const {
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : &it->second;
}

std::vector<const CardObject*> Card::Objects() const {
    std::vector<const CardObject*> list;
    for (const auto& entry : objects_)
        list.push_back(&entry.second);
    return list;
}

std::string Card::FolderPath(uint32_t parent) const {
    const CardObject* folder = parent ? Find(parent) : nullptr;
    return folder ? Join(folder_, folder->path) : folder_;
}

bool Card::KnownName(uint32_t parent, const std::string& name) const {
    const std::string upper = Upper(name);
    for (const auto& entry : objects_) {
        if (entry.second.parent == parent && Upper(entry.second.name) == upper)
            return true;
    }
    return false;
}

bool Card::NameTaken(uint32_t parent, const std::string& name) const {
    std::error_code error;
    return KnownName(parent, name) || fs::exists(PathOf(Join(FolderPath(parent), name)), error);
}

void Card::Added(const CardObject& object) {
    handleOfPath_[object.path] = object.handle;
    objects_[object.handle] = object;
}

bool Card::CreateFolder(uint32_t handle, uint32_t parent, const std::string& name) {
    if (parent && !Find(parent))
        return false;
    std::error_code error;
    if (!fs::create_directory(PathOf(Join(FolderPath(parent), name)), error) || error)
        return false;
    CardObject object;
    object.handle = handle;
    object.parent = parent;
    object.folder = true;
    object.name = name;
    const CardObject* folder = parent ? Find(parent) : nullptr;
    object.path = Join(folder ? folder->path : "", name);
    object.depth = folder ? folder->depth + 1 : 0;
    object.format = ptp::OFC_Association;
    Added(object);
    freeSpace_ -= std::min(freeSpace_, Footprint(0));
    return true;
}

uint64_t Card::Footprint(uint64_t size) const {
    uint64_t clusters = size / clusterSize_ + (size % clusterSize_ != 0);
    return std::max<uint64_t>(clusters, 1) * clusterSize_;
}

void Card::Release(uint64_t size) {
    freeSpace_ += std::min(Footprint(size), capacity_ - std::min(capacity_, freeSpace_));
}

bool Card::DepthAllows(uint32_t parent) const {
    const CardObject* folder = parent ? Find(parent) : nullptr;
    return !folder || folder->depth + 1 <= kMaxFolderDepth;
}

bool Card::NameFits(uint32_t parent, const std::string& name) const {
    // A change of letter case passes through a temporary name beside it: the longer counts.
    std::error_code error;
    fs::path longest =
        PathOf(Join(FolderPath(parent),
                    name.size() > kLongestTempName ? name : std::string(kLongestTempName, 'x')));
    fs::path full = fs::absolute(longest, error);
    if (error)
        return false;
#ifdef _WIN32
    // 255 UTF-16 units a name; the whole path within MAX_PATH, terminator included.
    return PathOf(name).wstring().size() <= 255 && full.wstring().size() < 260;
#else
    long nameMax = pathconf(folder_.c_str(), _PC_NAME_MAX);
    if (nameMax <= 0)
        nameMax = 255;
    return name.size() <= static_cast<size_t>(nameMax) && full.native().size() < PATH_MAX;
#endif
}

bool Card::StaysInside(const std::string& path) const {
    std::error_code error;
    fs::path at = PathOf(folder_);
    for (const fs::path& part : PathOf(path).parent_path()) {
        at /= part;
        if (fs::is_symlink(at, error) || !fs::is_directory(at, error))
            return false;
    }
    return true;
}

Card::Removal Card::Remove(uint32_t handle) {
    const CardObject* object = Find(handle);
    if (!object)
        return Removal::Failed;
    for (const auto& entry : objects_) {
        if (entry.second.parent == handle)
            return Removal::NotEmpty;
    }
    if (!StaysInside(object->path))
        return Removal::Failed;
    std::error_code error;
    fs::path path = PathOf(Join(folder_, object->path));
    // fs::remove takes a link itself, never what it points to, and a folder only when empty;
    // a file already gone behind the card's back leaves nothing to do.
    fs::remove(path, error);
    if (error) {
        std::error_code ignored;
        bool filled = object->folder && !fs::is_empty(path, ignored);
        return filled ? Removal::NotEmpty : Removal::Failed;
    }
    Release(object->size);
    handleOfPath_.erase(object->path);
    objects_.erase(handle);
    return Removal::Removed;
}

Card::Renaming Card::Rename(uint32_t handle, const std::string& name) {
    const CardObject* object = Find(handle);
    if (!object || !StaysInside(object->path))
        return Renaming::Failed;
    const bool sameName = Upper(name) == Upper(object->name);
    // The objects known; a file only on disk makes the rename itself fail, as it cannot
    // replace one (a lookup first would cost Wine a scan of the folder).
    if (!sameName && KnownName(object->parent, name))
        return Renaming::NameTaken;
    const std::string folder = FolderPath(object->parent);
    const fs::path from = PathOf(Join(folder_, object->path));
    const fs::path to = PathOf(Join(folder, name));
    std::error_code error;
#ifdef _WIN32
    // Without MOVEFILE_REPLACE_EXISTING a file that appeared meanwhile stays as it is. A change
    // of letter case alone goes through a name of the card's own: Wine takes the new name for
    // the old one and keeps it.
    if (sameName) {
        const fs::path between =
            PathOf(Join(folder, kTempPrefix + std::to_string(handle) + ".ren"));
        if (!MoveFileExW(from.c_str(), between.c_str(), 0))
            return Renaming::Failed;
        if (!MoveFileExW(between.c_str(), to.c_str(), 0)) {
            MoveFileExW(between.c_str(), from.c_str(), 0);
            return Renaming::Failed;
        }
    } else {
        const common::Handle file(CreateFileW(from.c_str(), DELETE, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file || !RenameOpenFile(file.get(), to)) {
            const DWORD why = GetLastError();
            return why == ERROR_ALREADY_EXISTS || why == ERROR_FILE_EXISTS ? Renaming::NameTaken
                                                                           : Renaming::Failed;
        }
    }
#else
    if (!object->folder) {
        if (!MoveNoReplace(from, to))
            return errno == EEXIST ? Renaming::NameTaken : Renaming::Failed;
    } else if (sameName || !fs::exists(to, error)) {
        fs::rename(from, to, error);
        if (error)
            return Renaming::Failed;
    } else {
        return Renaming::NameTaken;
    }
#endif
    const std::string oldPath = object->path;
    const size_t slash = oldPath.rfind('/');
    const std::string newPath =
        slash == std::string::npos ? name : oldPath.substr(0, slash + 1) + name;
    // The object and, for a folder, everything below it move to the new path.
    std::map<std::string, uint32_t> moved;
    for (auto& entry : objects_) {
        CardObject& each = entry.second;
        if (each.path == oldPath)
            each.path = newPath, each.name = name;
        else if (each.path.compare(0, oldPath.size() + 1, oldPath + "/") == 0)
            each.path = newPath + each.path.substr(oldPath.size());
        else
            continue;
        moved[each.path] = each.handle;
    }
    for (auto it = handleOfPath_.begin(); it != handleOfPath_.end();) {
        const bool under =
            it->first == oldPath || it->first.compare(0, oldPath.size() + 1, oldPath + "/") == 0;
        it = under ? handleOfPath_.erase(it) : std::next(it);
    }
    handleOfPath_.insert(moved.begin(), moved.end());
    return Renaming::Renamed;
}

uint32_t Card::Renumber(uint32_t handle) {
    const auto found = objects_.find(handle);
    if (found == objects_.end() || found->second.folder)
        return 0;
    CardObject object = found->second;
    objects_.erase(found);
    object.handle = nextHandle_++;
    handleOfPath_[object.path] = object.handle;
    objects_[object.handle] = object;
    return object.handle;
}

bool Card::OpenForReading(const CardObject& object, std::ifstream& file) const {
    file.open(PathOf(Join(folder_, object.path)), std::ios::binary);
    return file.is_open();
}

} // namespace vcam
