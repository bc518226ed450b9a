// The memory card of the virtual camera: a host folder whose files (flat or in subfolders)
// are the card's objects. Handles stay stable for as long as the Card lives and are never
// reused; names that would leave the folder are refused; nothing on the card is ever
// overwritten, and a file being received is written under a temporary name until it is
// complete. Every object takes whole clusters of the card's space, at least one, as on a FAT
// card: folders and empty files too.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vcam {

enum : uint32_t { kStorageId = 0x00010001 };
// Objects sit at most this many folders deep; deeper ones are neither listed nor created.
enum : uint32_t { kMaxFolderDepth = 16 };

struct CardObject {
    uint32_t handle = 0;
    uint32_t parent = 0; // 0: in the card's root
    bool folder = false;
    std::string name;        // UTF-8
    std::string path;        // relative to the card folder, '/'-separated, UTF-8
    uint64_t size = 0;       // bytes in the file
    uint16_t format = 0;     // PTP object format
    uint32_t depth = 0;      // folders above it; 0 in the card's root
    bool readOnly = false;   // the host file is read-only: a protected object
    bool incomplete = false; // kept after its data stopped short
    uint32_t announced = 0;  // for an incomplete object: the size its ObjectInfo announced
};

// True for a name that stays inside its folder on every system: not empty, no path separator,
// drive prefix, control or reserved character, not "." or "..", not a device name such as CON
// or COM1 (with or without extension), not ending in a dot or space.
bool IsSafeObjectName(const std::string& name);
// Object format from the file extension (.jpg EXIF/JPEG, .txt Text, .png PNG, else Undefined).
uint16_t FormatForName(const std::string& name);

class Card;

// A file being received. Bytes go to a temporary file beside the final one; Commit renames it
// and makes it an object. Destroying an uncommitted upload deletes the temporary file.
class Upload {
  public:
    ~Upload();
    bool Write(const uint8_t* data, size_t size);
    // False when writing failed or a file of that name appeared meanwhile (the upload is
    // then discarded and nothing existing is touched).
    bool Commit();
    // Keeps what has arrived as an incomplete object whose ObjectInfo still announces
    // `announced` bytes; false (and discarded) as Commit.
    bool KeepIncomplete(uint32_t announced);
    uint64_t written() const { return written_; }
    bool committed() const { return committed_; }

  private:
    friend class Card;
    Upload() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    Card* card_ = nullptr;
    CardObject object_;
    uint64_t written_ = 0;
    bool committed_ = false;
};

class Card {
  public:
    enum : uint32_t { kDefaultClusterSize = 32 * 1024 };

    // freeSpace: bytes free at the start; ~0 derives it from capacity minus what the objects
    // found by the first Scan take.
    Card(std::string folder, uint64_t capacity, uint64_t freeSpace);

    // The unit of allocation (at least 1 byte; 32 KiB unless set). Set it before the first
    // Scan when the free space is derived; the responder sets its profile's.
    void SetClusterSize(uint32_t bytes) { clusterSize_ = bytes ? bytes : 1; }

    // Reads the folder. Files seen before keep their handles; new ones get new handles.
    // False when the folder cannot be read.
    bool Scan();

    const CardObject* Find(uint32_t handle) const;
    std::vector<const CardObject*> Objects() const; // ordered by handle
    // Case-insensitive, as on a FAT card; also true when the name exists on disk.
    bool NameTaken(uint32_t parent, const std::string& name) const;
    uint32_t ReserveHandle() { return nextHandle_++; }
    // Bytes an object of `size` bytes takes on the card: whole clusters, at least one.
    uint64_t Footprint(uint64_t size) const;
    // True when a new object in `parent` (0: the root) would still be listed.
    bool DepthAllows(uint32_t parent) const;
    // True when the host can hold a file or folder of this name in `parent`: the name and
    // the whole path within the host's limits.
    bool NameFits(uint32_t parent, const std::string& name) const;

    enum class Removal { Removed, NotEmpty, Failed };
    // Deletes a file or an empty folder of the card, never anything outside it; its handle
    // is gone for good and its clusters are free again.
    Removal Remove(uint32_t handle);

    enum class Renaming { Renamed, NameTaken, Failed };
    // Gives an object a new name in its folder, never one the folder holds already (the
    // object's own name in another case aside); its handle stays.
    Renaming Rename(uint32_t handle, const std::string& name);

    // Gives a file a new handle, as a camera that renames by copying does; 0 when there is no
    // such file. The old handle is gone for good.
    uint32_t Renumber(uint32_t handle);

    // Creates a subfolder object; false when the folder cannot be created.
    bool CreateFolder(uint32_t handle, uint32_t parent, const std::string& name);
    std::unique_ptr<Upload> BeginUpload(uint32_t handle, uint32_t parent, const std::string& name,
                                        uint16_t format);
    // Opens an object's file for reading from its start, kept open for the whole read.
    bool OpenForReading(const CardObject& object, std::ifstream& file) const;

    uint64_t capacity() const { return capacity_; }
    uint64_t freeSpace() const { return freeSpace_; }
    const std::string& folder() const { return folder_; }

  private:
    friend class Upload;
    std::string FolderPath(uint32_t parent) const;
    void ScanFolder(const std::string& relative, uint32_t parent, int depth, uint64_t& used,
                    std::map<uint32_t, CardObject>& found);
    void Added(const CardObject& object);
    // Frees the clusters of an object of `size` bytes.
    void Release(uint64_t size);
    // True when no folder on the way from the card folder to `path` is a link.
    bool StaysInside(const std::string& path) const;
    // Case-insensitive, among the objects known in `parent`.
    bool KnownName(uint32_t parent, const std::string& name) const;

    std::string folder_;
    uint64_t capacity_;
    uint64_t freeSpace_;
    uint32_t clusterSize_ = kDefaultClusterSize;
    bool freeDerived_;
    bool scanned_ = false;
    uint32_t nextHandle_ = 1;
    std::map<std::string, uint32_t> handleOfPath_;
    std::map<uint32_t, CardObject> objects_;
};

} // namespace vcam
