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
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "card_files.h"

namespace fs = std::filesystem;

namespace vcam {

// A file written under its own name, never over a file that appeared under that name
// meanwhile: it is made new, and removed again when it does not arrive whole (unless kept).
// Under Wine each new name costs a scan of the folder, so it gets only the one.
struct Upload::Impl {
    fs::path path;
    bool created = false; // the file is ours to remove
#ifdef _WIN32
    common::Handle file;

    bool Open() {
        file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        created = static_cast<bool>(file);
        return created;
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
        file.reset();
        return true;
    }
    void Discard() {
        file.reset();
        std::error_code ignored;
        if (created)
            fs::remove(path, ignored);
    }
#else
    std::ofstream file;

    bool Open() {
        // O_EXCL: never a file that is there already.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0)
            return false;
        ::close(fd);
        created = true;
        file.open(path, std::ios::binary | std::ios::trunc);
        return file.is_open();
    }
    bool Write(const uint8_t* data, size_t size) {
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return !file.fail();
    }
    bool Commit() {
        file.close();
        return !file.fail();
    }
    void Discard() {
        file.close();
        std::error_code ignored;
        if (created)
            fs::remove(path, ignored);
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
    upload->impl_->path = PathOf(Join(folder, name));
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
