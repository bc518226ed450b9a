// An object's file while it arrives: written under a temporary name, given its own only once
// whole, on Windows and elsewhere.
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
#endif

#include "card_files.h"

namespace fs = std::filesystem;

namespace vcam {

// A file written under a temporary name and given its own name only when whole, never over a
// file that appeared under that name meanwhile. On Windows the open file is renamed: under Wine
// every further open or lookup by name costs a scan of the folder.
struct Upload::Impl {
    fs::path temp;
    fs::path final;
#ifdef _WIN32
    common::Handle file;

    bool Open() {
        // A new file, not one emptied: under Wine on ext4 an emptied file is written out to
        // the disk when it is closed. A leftover of an earlier run is emptied all the same.
        for (DWORD disposition : {CREATE_NEW, TRUNCATE_EXISTING}) {
            file.reset(CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, disposition,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file || GetLastError() != ERROR_FILE_EXISTS)
                break;
        }
        return static_cast<bool>(file);
    }
    bool Write(const uint8_t* data, size_t size) {
        while (size > 0) {
            DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), written = 0;
            if (!WriteFile(file.get(), data, piece, &written, nullptr) || written != piece)
                return false;
            data += piece;
            size -= piece;
        }
        return true;
    }
    bool Commit() {
        std::error_code error;
        const std::wstring target = fs::absolute(final, error).wstring();
        if (error)
            return false;
        // The structure ends in the name; the zeroed buffer holds its terminator too.
        std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
        auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = FALSE;
        rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
        memcpy(rename->FileName, target.data(), rename->FileNameLength);
        if (!SetFileInformationByHandle(file.get(), FileRenameInfo, rename,
                                        static_cast<DWORD>(buffer.size())))
            return false;
        file.reset();
        return true;
    }
    void Discard() {
        file.reset();
        std::error_code ignored;
        fs::remove(temp, ignored);
    }
#else
    std::ofstream file;

    bool Open() {
        file.open(temp, std::ios::binary | std::ios::trunc);
        return file.is_open();
    }
    bool Write(const uint8_t* data, size_t size) {
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return !file.fail();
    }
    bool Commit() {
        file.close();
        // In one step: a check and then a rename would replace a file that appeared between.
        return !file.fail() && MoveNoReplace(temp, final);
    }
    void Discard() {
        file.close();
        std::error_code ignored;
        fs::remove(temp, ignored);
    }
#endif
};

Upload::~Upload() {
    if (impl_ && !committed_)
        impl_->Discard();
}

bool Upload::Write(const uint8_t* data, size_t size) {
    if (!impl_->Write(data, size))
        return false;
    written_ += size;
    return true;
}

bool Upload::Commit() {
    if (!impl_->Commit())
        return false;
    committed_ = true;
    object_.size = written_;
    card_->Added(object_);
    card_->freeSpace_ -= std::min(card_->freeSpace_, card_->Footprint(written_));
    return true;
}

bool Upload::KeepIncomplete(uint32_t announced) {
    object_.incomplete = true;
    object_.announced = announced;
    return Commit();
}

std::unique_ptr<Upload> Card::BeginUpload(uint32_t handle, uint32_t parent, const std::string& name,
                                          uint16_t format) {
    const CardObject* parentObject = parent ? Find(parent) : nullptr;
    if (parent && !parentObject)
        return nullptr; // its folder is gone: never fall back to the root
    std::unique_ptr<Upload> upload(new Upload());
    upload->impl_.reset(new Upload::Impl());
    upload->card_ = this;
    std::string folder = FolderPath(parent);
    upload->impl_->final = PathOf(Join(folder, name));
    upload->impl_->temp = PathOf(Join(folder, kTempPrefix + std::to_string(handle) + ".tmp"));
    if (!upload->impl_->Open())
        return nullptr;
    upload->object_.handle = handle;
    upload->object_.parent = parent;
    upload->object_.name = name;
    upload->object_.path = Join(parentObject ? parentObject->path : "", name);
    upload->object_.format = format;
    upload->object_.depth = parentObject ? parentObject->depth + 1 : 0;
    return upload;
}

} // namespace vcam
