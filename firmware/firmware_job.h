// The firmware job: what FirmInfo.txt lists, and what the checks learn about it and the camera.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// One file or folder of the update, in the order of the information file.
struct FirmwareEntry {
    char* name; // relative to the current directory
    FirmwareEntry* next;
    int32_t listedAsFile; // listed under "Firmware File Name"; nothing decides by it
    int32_t isFile;       // set by the file-presence check: 1 file, 0 folder
    uint32_t sizeLow;     // file size in bytes, files only
    uint32_t sizeHigh;
};

// One accepted camera model name. Same node layout as FirmwareEntry; only name and next are used.
struct ModelEntry {
    char* name;
    ModelEntry* next;
    int32_t listedAsFile;
    int32_t isFile;
    uint32_t sizeLow;
    uint32_t sizeHigh;
};
static_assert(sizeof(ModelEntry) == sizeof(FirmwareEntry), "model node is an entry node");
static_assert(offsetof(ModelEntry, next) == offsetof(FirmwareEntry, next), "same layout");
static_assert(offsetof(ModelEntry, sizeHigh) == offsetof(FirmwareEntry, sizeHigh), "same layout");

// The process's one job: all zero at start and after every ReleaseFirmwareJob. Owns every node
// and text it points to.
struct FirmwareJob {
    int32_t loaded;     // the information file was opened (also after a failed parse)
    int32_t cameraOpen; // 1 when the checks opened the camera link
    int32_t entryCount;
    FirmwareEntry* entryHead;
    FirmwareEntry* entryTail;
    int32_t modelCount;
    ModelEntry* modelHead;
    ModelEntry* modelTail;
    char* firmwareVersion; // version of the update
    int32_t capacityKB;    // free space the update needs on the card, in units of 1024 bytes
    char* cameraModel;     // the camera's model name that matched a listed model
    char* cameraFirmwareVersion;
};

extern FirmwareJob firmwareJob;

// Results of LoadFirmwareInfo; the checks turn them into messages.
enum : int32_t {
    kFirmwareInfoOk = 0,
    kFirmwareInfoCannotOpen = -1,
    kFirmwareInfoReadError = -2,
    kFirmwareInfoOutOfMemory = -10,
    kFirmwareInfoMalformed = -20,
};

// Reads FirmInfo.txt from the current directory into an all-zero job; the section keys and the
// file name are strings of the module `instance`. On failure the job keeps what was read.
int32_t LoadFirmwareInfo(HINSTANCE instance, FirmwareJob* job);

// Why a parse stopped short, for the maker's check: the wizard itself only says "incorrect".
enum : int32_t {
    kInfoStopNone = 0,
    kInfoStopUnknownHeader, // a '[' line with no known key
    kInfoStopSecondVersion,
    kInfoStopSecondCapacity,
    kInfoStopBadCapacity, // 0, negative or no number
    kInfoStopIncomplete,  // at the end: no entry, model, version or capacity
    kInfoStopOutOfMemory,
    kInfoStopReadError,
};

// What the parser saw on its way, line numbers counting from 1 as an editor shows them.
struct FirmwareInfoTrace {
    int32_t stopLine;         // the line the parse stopped at; 0 when it read to the end
    int32_t stopReason;       // kInfoStop...
    int32_t ignoredLines;     // value lines outside any section
    int32_t firstIgnoredLine; // the first of them
    int32_t unendedLastLine;  // the file ends in text without a line end, which is never used
};

// LoadFirmwareInfo, telling `trace` (when given) where and why it stopped; the result and the
// job are those of LoadFirmwareInfo.
int32_t LoadFirmwareInfoTraced(HINSTANCE instance, FirmwareJob* job, FirmwareInfoTrace* trace);

// Closes the camera link when the checks opened it, frees all the job owns, zeroes the record.
void ReleaseFirmwareJob(FirmwareJob* job);

// Drops one trailing LF from `text` in place and returns a heap copy (none when out of memory).
char* CopyLineText(char* text);

// A capacity value line: -1 when empty; else atol of the text without its last character.
int32_t ParseCapacityKB(const char* text);

// Every node and text of a job comes from firmwareCalloc and goes back through firmwareFree.
// They default to calloc and free; tests swap them to count blocks and to fail on demand.
typedef void* (*FirmwareCallocFn)(size_t count, size_t size);
typedef void (*FirmwareFreeFn)(void* block);
extern FirmwareCallocFn firmwareCalloc;
extern FirmwareFreeFn firmwareFree;
