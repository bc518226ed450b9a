// Whole-file and folder-tree helpers over the ANSI and wide Windows calls.
#include "files.h"

#include <windows.h>

#include <algorithm>

#include "common/handle.h"

namespace check {
namespace {

bool RemoveWideTree(const std::wstring& path) {
    WIN32_FIND_DATAW item;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &item);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = item.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveWideTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &item));
        FindClose(search);
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

void CopyWideTree(const std::wstring& from, const std::wstring& to) {
    CreateDirectoryW(to.c_str(), nullptr);
    WIN32_FIND_DATAW item;
    HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &item);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = item.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            CopyWideTree(from + L"\\" + name, to + L"\\" + name);
        else
            CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE);
    } while (FindNextFileW(search, &item));
    FindClose(search);
}

void Collect(const std::string& root, const std::string& relative, Files& files) {
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

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    common::Handle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        ok = WriteFile(file.get(), bytes.data() + done, want, &n, nullptr) && n == want;
        done += n;
    }
    return ok;
}

bool ReadFileBytes(const std::string& path, std::string& bytes) {
    common::Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    bytes.clear();
    char buffer[65536];
    DWORD n = 0;
    bool ok = true;
    while ((ok = ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr) != 0) && n > 0)
        bytes.append(buffer, n);
    return ok;
}

bool MakeFolders(const std::string& path) {
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\')
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    }
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveTree(const std::string& path) {
    return RemoveWideTree(Wide(path));
}

void CopyTree(const std::string& from, const std::string& to) {
    CopyWideTree(Wide(from), Wide(to));
}

Files ListFiles(const std::string& root) {
    Files files;
    Collect(root, "", files);
    return files;
}

std::wstring Wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string MakeTempFolder(const char* prefix) {
    char base[MAX_PATH] = "", name[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, base);
    GetTempFileNameA(base, prefix, 0, name);
    DeleteFileA(name);
    CreateDirectoryA(name, nullptr);
    return name;
}

std::string PatternBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x);
    }
    return bytes;
}

} // namespace check
