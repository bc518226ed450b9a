// Text, stream and record codecs of the driver interface.
#include "codecs.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "ptp/bytes.h"

namespace {

std::wstring Widen(const std::string& text, UINT codePage) {
    if (text.empty())
        return std::wstring();
    int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string Narrow(const std::wstring& wide, UINT codePage) {
    if (wide.empty())
        return std::string();
    int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string text(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), &text[0], n,
                            nullptr, nullptr);
    return text;
}

// A PTP string into a record's string area, as far as it fits; returns the bytes used. Text a
// PTP string cannot carry is written as the empty string.
size_t PutPtpString(uint8_t* area, size_t room, const std::string& utf8) {
    std::vector<uint8_t> bytes;
    ptp::ByteWriter writer(bytes);
    if (!writer.String(utf8))
        bytes.assign(1, 0);
    if (bytes.size() > room)
        return 0;
    memcpy(area, bytes.data(), bytes.size());
    return bytes.size();
}

} // namespace

std::string Utf8ToAnsi(const std::string& utf8) {
    return Narrow(Widen(utf8, CP_UTF8), CP_ACP);
}

std::string AnsiToUtf8(const std::string& ansi) {
    return Narrow(Widen(ansi, CP_ACP), CP_UTF8);
}

void CopyAnsi(char* field, size_t size, const std::string& text) {
    size_t n = 0;
    while (n < text.size()) {
        size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[n])) ? 2 : 1;
        if (n + step > size - 1 || n + step > text.size())
            break;
        n += step;
    }
    memcpy(field, text.data(), n);
    field[n] = '\0';
}

DriverResult OpenStream(CameraStream* stream, uint16_t mode) {
    if (!stream || !stream->impl)
        return kStreamBadArgument;
    DriverResult r = kDriverOk;
    stream->open(stream->impl, mode, &r);
    return r;
}

DriverResult WriteStream(CameraStream* stream, const void* bytes, uint32_t size) {
    DriverResult r = OpenStream(stream, kStreamOpenCreate);
    if (r != kDriverOk)
        return r;
    uint32_t count = size;
    stream->write(stream->impl, bytes, &count, &r);
    DriverResult closed = kDriverOk;
    stream->close(stream->impl, &closed);
    return r != kDriverOk ? r : closed;
}

DriverResult WriteList(CameraStream* stream, const void* entries, uint32_t count,
                       uint32_t entrySize) {
    std::vector<uint8_t> bytes(sizeof(ItemListHead) + static_cast<size_t>(count) * entrySize);
    const ItemListHead head = {sizeof(ItemListHead), static_cast<int32_t>(count), entrySize};
    memcpy(bytes.data(), &head, sizeof head);
    if (count)
        memcpy(bytes.data() + sizeof head, entries, static_cast<size_t>(count) * entrySize);
    return WriteStream(stream, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void FillStorageRecord(const ptp::StorageInfo& info, StorageRecord& record) {
    memset(&record, 0, sizeof record);
    record.storageType = info.storageType;
    record.filesystemType = info.filesystemType;
    record.accessCapability = info.accessCapability;
    record.maxCapacity = info.maxCapacity;
    record.freeSpace = info.freeSpaceInBytes;
    record.freeImages = info.freeSpaceInImages;
    const size_t used =
        PutPtpString(record.strings, sizeof record.strings, info.storageDescription);
    PutPtpString(record.strings + used, sizeof record.strings - used, info.volumeLabel);
}

void FillObjectEntry(uint32_t handle, const ptp::ObjectInfo& info, ObjectEntryRecord& entry) {
    memset(&entry, 0, sizeof entry);
    entry.handle = handle;
    entry.storageId = info.storageId;
    entry.parentObject = info.parentObject;
    entry.objectFormat = info.objectFormat;
    entry.protectionStatus = info.protectionStatus;
    entry.sizeLow = info.objectCompressedSize;
    entry.associationType = info.associationType;
    CopyAnsi(entry.name, sizeof entry.name, Utf8ToAnsi(info.filename));
}

ptp::ObjectInfo ObjectInfoOf(const ObjectInfoRecord& record) {
    size_t limit = record.nameCount ? record.nameCount : sizeof record.name;
    if (limit > sizeof record.name)
        limit = sizeof record.name;
    const char* end = static_cast<const char*>(memchr(record.name, 0, limit));
    const std::string name(record.name, end ? end - record.name : limit);
    ptp::ObjectInfo info;
    info.objectFormat = record.objectFormat;
    info.protectionStatus = record.protectionStatus;
    info.objectCompressedSize = record.objectSize;
    info.filename = AnsiToUtf8(name);
    return info;
}

void FillModelName(const std::string& utf8, uint8_t* buffer) {
    char name[255];
    CopyAnsi(name, sizeof name, Utf8ToAnsi(utf8));
    // As in a PTP string, an empty name is the count 0 alone.
    const size_t n = name[0] ? strlen(name) + 1 : 0;
    memset(buffer, 0, kModelNameBufferSize);
    buffer[0] = static_cast<uint8_t>(n);
    memcpy(buffer + 1, name, n);
}
