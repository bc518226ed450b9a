// Stream descriptors: the only way data crosses between the program and the driver library.
// The library moves bytes by calling the operations stored in the descriptor; it never touches
// the program's files or buffers itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver_result.h"

extern "C" {

// Called through a stream's progress operation while the library sends a file.
typedef DriverResult (*StreamProgressFn)(uint32_t percent, uint32_t context, uint32_t userValue);

typedef void (*StreamOpenFn)(void* impl, uint16_t mode, DriverResult* result);
typedef void (*StreamCloseFn)(void* impl, DriverResult* result);
typedef void (*StreamReadFn)(void* impl, void* destination, uint32_t* count, DriverResult* result);
typedef void (*StreamWriteFn)(void* impl, const void* source, uint32_t* count,
                              DriverResult* result);
typedef void (*StreamSeekFn)(void* impl, uint16_t origin, int32_t offset, DriverResult* result);
typedef uint32_t (*StreamTellFn)(void* impl, DriverResult* result);
typedef DriverResult (*StreamProgressOpFn)(void* impl, uint16_t percent, DriverResult* result);

// The descriptor handed to the library by address. 36 bytes where addresses are 32 bits wide;
// on 64-bit Windows the same fields in the same order with 8-byte addresses.
struct CameraStream {
    void* impl;
    uint8_t fixedZero; // always 0
    uint8_t fixedTwo;  // always 2
    uint16_t streamTag;
    StreamOpenFn open;
    StreamCloseFn close;
    StreamReadFn read;
    StreamWriteFn write;
    StreamSeekFn seek;
    StreamTellFn tell;
    StreamProgressOpFn progress;
};

} // extern "C"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(CameraStream) == 36, "stream descriptor is 36 bytes");
static_assert(offsetof(CameraStream, impl) == 0, "impl at 0");
static_assert(offsetof(CameraStream, fixedZero) == 4, "fixed byte at 4");
static_assert(offsetof(CameraStream, fixedTwo) == 5, "fixed byte at 5");
static_assert(offsetof(CameraStream, streamTag) == 6, "streamTag at 6");
static_assert(offsetof(CameraStream, open) == 8, "open at 8");
static_assert(offsetof(CameraStream, close) == 12, "close at 12");
static_assert(offsetof(CameraStream, read) == 16, "read at 16");
static_assert(offsetof(CameraStream, write) == 20, "write at 20");
static_assert(offsetof(CameraStream, seek) == 24, "seek at 24");
static_assert(offsetof(CameraStream, tell) == 28, "tell at 28");
static_assert(offsetof(CameraStream, progress) == 32, "progress at 32");
#endif

// Open modes and seek origins of the stream operations.
enum : uint16_t {
    kStreamOpenRead = 1,      // an existing stream, for reading
    kStreamOpenReadWrite = 2, // reading and writing, created if needed
    kStreamOpenCreate = 3,    // created empty, for reading and writing
};
enum : uint16_t {
    kStreamSeekStart = 1,
    kStreamSeekCurrent = 2,
    kStreamSeekEnd = 3,
};

// Private blocks behind a descriptor's impl; both kinds begin with the same header.
enum : uint8_t { kStreamKindFile = 1, kStreamKindMemory = 2 };

struct StreamBlockHeader {
    uint8_t kind;
    uint32_t context;
    StreamProgressFn progressFn;
    uint32_t userValue;
};

struct FileStreamBlock {
    StreamBlockHeader header;
    char path[512];
    void* handle; // INVALID_HANDLE_VALUE while no file is open
};

struct MemoryStreamBlock {
    StreamBlockHeader header;
    uint32_t initialCapacity;
    uint32_t growthStep;
    uint32_t length; // bytes of data held
    uint32_t position;
    uint32_t capacity; // bytes allocated
    uint8_t* buffer;   // null until the first open
};

enum : uint16_t {
    kStreamTagMemory = 1,
    kStreamTagSendFile = 3,
};

DriverResult CreateFileStream(const char* path, uint32_t context, StreamProgressFn progressFn,
                              uint32_t userValue, uint32_t streamTag, CameraStream* descriptor);
DriverResult CreateMemoryStream(uint32_t initialCapacity, uint32_t growthStep, uint32_t context,
                                StreamProgressFn progressFn, uint32_t userValue, uint32_t streamTag,
                                CameraStream* descriptor);
DriverResult ReleaseFileStream(CameraStream* descriptor);
DriverResult ReleaseMemoryStream(CameraStream* descriptor);
DriverResult GetStreamData(CameraStream* descriptor, uint32_t* length, void** data);
