// Whole-file and folder-tree helpers over the ANSI and wide Windows calls.
#include "files.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <memory>

#include "common/handle.h"

namespace check {
namespace {

void ListBelow(const std::wstring& root, const std::wstring& relative,
               std::vector<TreeItem>& items) {
    WIN32_FIND_DATAW found;
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    const common::FindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!search)
        return;
    do {
        TreeItem item;
        item.name = found.cFileName;
        if (item.name == L"." || item.name == L"..")
            continue;
        item.relative = relative.empty() ? item.name : relative + L"\\" + item.name;
        item.folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        item.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        item.written = (static_cast<uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                       found.ftLastWriteTime.dwLowDateTime;
        items.push_back(item);
        if (item.folder) {
            const size_t at = items.size() - 1;
            ListBelow(root, item.relative, items);
            items[at].empty = items.size() == at + 1;
        }
    } while (FindNextFileW(search.get(), &found));
}

std::string FromWide(const std::wstring& text, UINT codePage) {
    const int n = WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(codePage, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

// A name as the ANSI calls give it ('?' for what the code page lacks).
std::string Ansi(const std::wstring& text) {
    return FromWide(text, CP_ACP);
}

// Reads a file in pieces: `take` gets each.
template <typename Take> bool ReadPieces(const std::wstring& path, Take take) {
    common::Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    DWORD n = 0;
    bool ok = true;
    while ((ok = ReadFile(file.get(), buffer.get(), 1 << 20, &n, nullptr) != 0) && n > 0)
        take(buffer.get(), n);
    return ok;
}

// SHA-256 as BCrypt computes it, fed piece by piece.
class Sha256 {
  public:
    Sha256() {
        if (BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
            algorithm_ = nullptr;
        else if (BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0) != 0)
            hash_ = nullptr;
    }
    ~Sha256() {
        if (hash_)
            BCryptDestroyHash(hash_);
        if (algorithm_)
            BCryptCloseAlgorithmProvider(algorithm_, 0);
    }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Add(const void* data, size_t size) {
        const auto* bytes = static_cast<const UCHAR*>(data);
        while (hash_ && size > 0) {
            const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
            BCryptHashData(hash_, const_cast<UCHAR*>(bytes), piece, 0);
            bytes += piece;
            size -= piece;
        }
    }
    void Add(const std::string& text) { Add(text.data(), text.size()); }
    // Empty when BCrypt could not hash.
    std::string Hex() {
        UCHAR digest[32];
        if (!hash_ || BCryptFinishHash(hash_, digest, sizeof digest, 0) != 0)
            return "";
        static const char kDigits[] = "0123456789abcdef";
        std::string hex;
        for (UCHAR b : digest) {
            hex += kDigits[b >> 4];
            hex += kDigits[b & 15];
        }
        return hex;
    }

  private:
    BCRYPT_ALG_HANDLE algorithm_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
};

} // namespace

std::vector<TreeItem> ListTree(const std::string& root) {
    std::vector<TreeItem> items;
    ListBelow(Wide(root), L"", items);
    return items;
}

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
    bytes.clear();
    return ReadPieces(Wide(path), [&](const char* data, DWORD n) { bytes.append(data, n); });
}

bool MakeFolders(const std::string& path) {
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\')
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    }
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveTree(const std::string& path) {
    const std::wstring root = Wide(path);
    const std::vector<TreeItem> items = ListTree(path);
    // What a folder holds comes after it: removed from the last, every folder is empty by then.
    for (auto item = items.rbegin(); item != items.rend(); ++item) {
        const std::wstring full = root + L"\\" + item->relative;
        if (item->folder) {
            RemoveDirectoryW(full.c_str());
        } else {
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(full.c_str());
        }
    }
    return RemoveDirectoryW(root.c_str()) != 0;
}

void CopyTree(const std::string& from, const std::string& to) {
    const std::wstring source = Wide(from), target = Wide(to);
    CreateDirectoryW(target.c_str(), nullptr);
    for (const TreeItem& item : ListTree(from)) {
        const std::wstring copy = target + L"\\" + item.relative;
        if (item.folder)
            CreateDirectoryW(copy.c_str(), nullptr);
        else
            CopyFileW((source + L"\\" + item.relative).c_str(), copy.c_str(), FALSE);
    }
}

Files ListFiles(const std::string& root) {
    Files files;
    const std::wstring base = Wide(root);
    for (const TreeItem& item : ListTree(root)) {
        if (item.folder)
            continue;
        std::string& bytes = files[Ansi(item.relative)];
        ReadPieces(base + L"\\" + item.relative,
                   [&](const char* data, DWORD n) { bytes.append(data, n); });
    }
    return files;
}

std::string Sha256Hex(const std::string& bytes) {
    Sha256 sha;
    sha.Add(bytes);
    return sha.Hex();
}

std::string Sha256OfFile(const std::string& path) {
    Sha256 sha;
    return ReadPieces(Wide(path), [&](const char* data, DWORD n) { sha.Add(data, n); }) ? sha.Hex()
                                                                                        : "";
}

std::string TreeFingerprint(const std::string& root) {
    const std::wstring base = Wide(root);
    Sha256 sha;
    for (const TreeItem& item : ListTree(root)) {
        sha.Add(Narrow(item.relative) + (item.folder ? "/" : "") + '\0' +
                std::to_string(item.size) + ' ' + std::to_string(item.written) + '\0');
        if (!item.folder)
            ReadPieces(base + L"\\" + item.relative,
                       [&](const char* data, DWORD n) { sha.Add(data, n); });
    }
    return sha.Hex();
}

std::wstring Wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    return FromWide(text, CP_UTF8);
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
