// File and memory streams behind the stream descriptors handed to the driver library.
#include "stream.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

// --- file stream operations ---

void FileOpen(void* impl, uint16_t mode, DriverResult* result) {
    *result = kDriverOk;
    FileStreamBlock* s = static_cast<FileStreamBlock*>(impl);
    if (s->handle != INVALID_HANDLE_VALUE) {
        CloseHandle(s->handle);
        s->handle = INVALID_HANDLE_VALUE;
    }
    const DWORD flags = FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_TEMPORARY;
    switch (mode) {
    case kStreamOpenRead:
        s->handle = CreateFileA(s->path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                flags, nullptr);
        break;
    case kStreamOpenReadWrite:
        s->handle = CreateFileA(s->path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, flags, nullptr);
        break;
    case kStreamOpenCreate:
        s->handle = CreateFileA(s->path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, flags, nullptr);
        break;
    default:
        break;
    }
    if (s->handle == INVALID_HANDLE_VALUE)
        *result = kStreamOpenFailed;
}

void FileClose(void* impl, DriverResult* result) {
    *result = kDriverOk;
    FileStreamBlock* s = static_cast<FileStreamBlock*>(impl);
    if (s->handle == INVALID_HANDLE_VALUE) {
        *result = kStreamNotOpen;
        return;
    }
    CloseHandle(s->handle);
    s->handle = INVALID_HANDLE_VALUE;
}

void FileRead(void* impl, void* destination, uint32_t* count, DriverResult* result) {
    *result = kDriverOk;
    FileStreamBlock* s = static_cast<FileStreamBlock*>(impl);
    if (s->handle == INVALID_HANDLE_VALUE) {
        *result = kStreamNotOpen;
        return;
    }
    DWORD done = 0;
    BOOL ok = ReadFile(s->handle, destination, *count, &done, nullptr);
    *count = done;
    if (!ok)
        *result = kStreamReadFailed;
}

void FileWrite(void* impl, const void* source, uint32_t* count, DriverResult* result) {
    *result = kDriverOk;
    FileStreamBlock* s = static_cast<FileStreamBlock*>(impl);
    if (s->handle == INVALID_HANDLE_VALUE) {
        *result = kStreamNotOpen;
        return;
    }
    DWORD done = 0;
    BOOL ok = WriteFile(s->handle, source, *count, &done, nullptr);
    *count = done;
    if (!ok)
        *result = kStreamWriteFailed;
}

void FileSeek(void* impl, uint16_t origin, int32_t offset, DriverResult* result) {
    *result = kDriverOk;
    FileStreamBlock* s = static_cast<FileStreamBlock*>(impl);
    if (s->handle == INVALID_HANDLE_VALUE) {
        *result = kStreamNotOpen;
        return;
    }
    DWORD method = FILE_BEGIN;
    if (origin == kStreamSeekCurrent)
        method = FILE_CURRENT;
    else if (origin == kStreamSeekEnd)
        method = FILE_END;
    if (SetFilePointer(s->handle, offset, nullptr, method) == INVALID_SET_FILE_POINTER)
        *result = kStreamSeekFailed;
}

uint32_t FileTell(void* impl, DriverResult* result) {
    *result = kDriverOk;
    FileStreamBlock* s = static_cast<FileStreamBlock*>(impl);
    if (s->handle == INVALID_HANDLE_VALUE) {
        *result = kStreamNotOpen;
        return 0;
    }
    DWORD position = SetFilePointer(s->handle, 0, nullptr, FILE_CURRENT);
    if (position == INVALID_SET_FILE_POINTER)
        *result = kStreamTellFailed;
    return position;
}

// --- memory stream operations ---

// Makes room for n bytes: one growth step when that covers what is missing, else exactly n.
bool MemoryReserve(MemoryStreamBlock* s, uint32_t n) {
    if (n <= s->capacity)
        return true;
    uint32_t missing = n - s->capacity;
    uint32_t newCapacity = n;
    if (missing <= s->growthStep && s->capacity <= UINT32_MAX - s->growthStep)
        newCapacity = s->capacity + s->growthStep;
    uint8_t* grown = static_cast<uint8_t*>(malloc(newCapacity));
    if (!grown)
        return false;
    if (s->buffer) {
        memcpy(grown, s->buffer, s->capacity);
        free(s->buffer);
    }
    s->buffer = grown;
    s->capacity = newCapacity;
    return true;
}

void MemoryOpen(void* impl, uint16_t mode, DriverResult* result) {
    *result = kDriverOk;
    MemoryStreamBlock* s = static_cast<MemoryStreamBlock*>(impl);
    if (!s->buffer) {
        // Even a zero capacity gets a real block, so the stream counts as open from now on.
        uint8_t* buffer =
            static_cast<uint8_t*>(malloc(s->initialCapacity ? s->initialCapacity : 1));
        if (!buffer) {
            *result = kDriverOutOfMemory;
            return;
        }
        s->buffer = buffer;
        s->capacity = s->initialCapacity;
    }
    if (mode == kStreamOpenCreate)
        s->length = 0;
    s->position = 0;
}

void MemoryClose(void* impl, DriverResult* result) {
    *result = kDriverOk;
    MemoryStreamBlock* s = static_cast<MemoryStreamBlock*>(impl);
    if (!s->buffer) {
        *result = kStreamNotOpen;
        return;
    }
    s->position = 0;
}

void MemoryRead(void* impl, void* destination, uint32_t* count, DriverResult* result) {
    *result = kDriverOk;
    MemoryStreamBlock* s = static_cast<MemoryStreamBlock*>(impl);
    if (!s->buffer) {
        *result = kStreamNotOpen;
        return;
    }
    uint32_t available = s->position < s->length ? s->length - s->position : 0;
    uint32_t n = *count < available ? *count : available;
    if (n)
        memcpy(destination, s->buffer + s->position, n);
    s->position += n;
    *count = n;
}

void MemoryWrite(void* impl, const void* source, uint32_t* count, DriverResult* result) {
    *result = kDriverOk;
    MemoryStreamBlock* s = static_cast<MemoryStreamBlock*>(impl);
    if (!s->buffer) {
        *result = kStreamNotOpen;
        return;
    }
    // A position and count beyond 32 bits would wrap around onto data already held.
    if (*count > UINT32_MAX - s->position || !MemoryReserve(s, s->position + *count)) {
        *result = kDriverOutOfMemory;
        return;
    }
    if (*count)
        memcpy(s->buffer + s->position, source, *count);
    s->position += *count;
    if (s->position > s->length)
        s->length = s->position;
}

void MemorySeek(void* impl, uint16_t origin, int32_t offset, DriverResult* result) {
    *result = kDriverOk;
    MemoryStreamBlock* s = static_cast<MemoryStreamBlock*>(impl);
    if (!s->buffer) {
        *result = kStreamNotOpen;
        return;
    }
    uint32_t base = 0;
    if (origin == kStreamSeekCurrent)
        base = s->position;
    else if (origin == kStreamSeekEnd)
        base = s->length;
    int64_t target = static_cast<int64_t>(base) + offset;
    if (target < 0 || target > UINT32_MAX || !MemoryReserve(s, static_cast<uint32_t>(target))) {
        *result = kDriverOutOfMemory;
        return;
    }
    s->position = static_cast<uint32_t>(target);
}

uint32_t MemoryTell(void* impl, DriverResult* result) {
    *result = kDriverOk;
    MemoryStreamBlock* s = static_cast<MemoryStreamBlock*>(impl);
    if (!s->buffer) {
        *result = kStreamNotOpen;
        return 0;
    }
    return s->position;
}

// --- shared ---

DriverResult StreamProgress(void* impl, uint16_t percent, DriverResult* result) {
    *result = kDriverOk;
    StreamBlockHeader* h = static_cast<StreamBlockHeader*>(impl);
    if (!h->progressFn)
        return kDriverOk;
    *result = h->progressFn(percent, h->context, h->userValue);
    return *result;
}

void FillDescriptor(CameraStream* d, void* impl, uint32_t streamTag) {
    d->impl = impl;
    d->fixedZero = 0;
    d->fixedTwo = 2;
    d->streamTag = static_cast<uint16_t>(streamTag);
    d->progress = StreamProgress;
}

} // namespace

DriverResult CreateFileStream(const char* path, uint32_t context, StreamProgressFn progressFn,
                              uint32_t userValue, uint32_t streamTag, CameraStream* descriptor) {
    if (!path || !descriptor)
        return kStreamBadArgument;
    FileStreamBlock* s = static_cast<FileStreamBlock*>(calloc(1, sizeof(FileStreamBlock)));
    if (!s)
        return kDriverOutOfMemory;
    s->header.kind = kStreamKindFile;
    s->header.context = context;
    s->header.progressFn = progressFn;
    s->header.userValue = userValue;
    lstrcpynA(s->path, path, sizeof s->path);
    s->handle = INVALID_HANDLE_VALUE;
    FillDescriptor(descriptor, s, streamTag);
    descriptor->open = FileOpen;
    descriptor->close = FileClose;
    descriptor->read = FileRead;
    descriptor->write = FileWrite;
    descriptor->seek = FileSeek;
    descriptor->tell = FileTell;
    return kDriverOk;
}

DriverResult CreateMemoryStream(uint32_t initialCapacity, uint32_t growthStep, uint32_t context,
                                StreamProgressFn progressFn, uint32_t userValue, uint32_t streamTag,
                                CameraStream* descriptor) {
    if (!descriptor)
        return kStreamBadArgument;
    MemoryStreamBlock* s = static_cast<MemoryStreamBlock*>(calloc(1, sizeof(MemoryStreamBlock)));
    if (!s)
        return kDriverOutOfMemory;
    s->header.kind = kStreamKindMemory;
    s->header.context = context;
    s->header.progressFn = progressFn;
    s->header.userValue = userValue;
    s->initialCapacity = initialCapacity;
    s->growthStep = growthStep;
    FillDescriptor(descriptor, s, streamTag);
    descriptor->open = MemoryOpen;
    descriptor->close = MemoryClose;
    descriptor->read = MemoryRead;
    descriptor->write = MemoryWrite;
    descriptor->seek = MemorySeek;
    descriptor->tell = MemoryTell;
    return kDriverOk;
}

DriverResult ReleaseFileStream(CameraStream* descriptor) {
    if (!descriptor)
        return kDriverOk;
    // A file the library left open stays open: the handle belongs to whoever opened it.
    free(descriptor->impl);
    memset(descriptor, 0, sizeof *descriptor);
    return kDriverOk;
}

DriverResult ReleaseMemoryStream(CameraStream* descriptor) {
    if (!descriptor)
        return kDriverOk;
    MemoryStreamBlock* s = static_cast<MemoryStreamBlock*>(descriptor->impl);
    if (s) {
        free(s->buffer);
        free(s);
    }
    memset(descriptor, 0, sizeof *descriptor);
    return kDriverOk;
}

DriverResult GetStreamData(CameraStream* descriptor, uint32_t* length, void** data) {
    if (!descriptor || !descriptor->impl)
        return kStreamBadArgument;
    StreamBlockHeader* h = static_cast<StreamBlockHeader*>(descriptor->impl);
    if (data)
        *data = h->kind == kStreamKindMemory
                    ? static_cast<MemoryStreamBlock*>(descriptor->impl)->buffer
                    : nullptr;
    if (!length)
        return kDriverOk;
    DriverResult result = kDriverOk;
    descriptor->open(descriptor->impl, kStreamOpenRead, &result);
    if (result != kDriverOk)
        return result;
    DriverResult failure = kDriverOk;
    descriptor->seek(descriptor->impl, kStreamSeekEnd, 0, &failure);
    if (failure == kDriverOk) {
        uint32_t end = descriptor->tell(descriptor->impl, &failure);
        if (failure == kDriverOk)
            *length = end;
    }
    descriptor->close(descriptor->impl, &result);
    return failure != kDriverOk ? failure : result;
}
