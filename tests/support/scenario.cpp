#include "scenario.h"

namespace testing_support {

std::string ExeFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\'));
}

std::string MakeTempFolder(const char* prefix) {
    char base[MAX_PATH], name[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    GetTempFileNameA(base, prefix, 0, name);
    DeleteFileA(name);
    CreateDirectoryA(name, nullptr);
    return name;
}

bool RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA item;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &item);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = item.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string child = path + "\\" + name;
            if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(search, &item));
        FindClose(search);
    }
    return RemoveDirectoryA(path.c_str()) != 0;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        ok = WriteFile(file, bytes.data() + done, want, &n, nullptr) && n == want;
        done += n;
    }
    CloseHandle(file);
    return ok;
}

bool ReadFileBytes(const std::string& path, std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes.clear();
    char buffer[65536];
    DWORD n = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &n, nullptr) != 0) && n > 0)
        bytes.append(buffer, n);
    CloseHandle(file);
    return ok;
}

bool MakeFolders(const std::string& path) {
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\')
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    }
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {
void Collect(const std::string& root, const std::string& relative,
             std::map<std::string, std::string>& files) {
    const std::string folder = relative.empty() ? root : root + "\\" + relative;
    WIN32_FIND_DATAA item;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &item);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = item.cFileName;
        if (name == "." || name == "..")
            continue;
        const std::string child = relative.empty() ? name : relative + "\\" + name;
        if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            Collect(root, child, files);
        } else {
            std::string bytes;
            ReadFileBytes(root + "\\" + child, bytes);
            files[child] = bytes;
        }
    } while (FindNextFileA(search, &item));
    FindClose(search);
}
} // namespace

std::map<std::string, std::string> ListFiles(const std::string& root) {
    std::map<std::string, std::string> files;
    Collect(root, "", files);
    return files;
}

std::string PatternBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x);
    }
    return bytes;
}

std::string BuiltLibraryPath() {
    return ExeFolder() + "\\..\\product\\KXPTPCLS.DLL";
}

Scenario::Scenario(const std::string& profile, const char* prefix)
    : folder_(MakeTempFolder(prefix)) {
    CopyFileA(BuiltLibraryPath().c_str(), Path("KXPTPCLS.DLL").c_str(), FALSE);
    CreateDirectoryA(card().c_str(), nullptr);
    SetProfile(profile);
    SetSettings("transport = virtual\nprofile = camera.ini\ncard = card\n");
}

Scenario::~Scenario() {
    RemoveTree(folder_);
}

void Scenario::SetProfile(const std::string& profile) {
    WriteFileBytes(Path("camera.ini"), profile);
}

void Scenario::SetSettings(const std::string& settings) {
    WriteFileBytes(Path("KXPTPCLS.ini"), settings);
}

void Scenario::UseLibraryHere() {
    SetDllDirectoryA(folder_.c_str());
}

} // namespace testing_support
