// FirmInfo.txt parser and the job record's lifetime.
#include "firmware_job.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera_link.h"
#include "resource_ids.h"

FirmwareJob firmwareJob = {};

FirmwareCallocFn firmwareCalloc = calloc;
FirmwareFreeFn firmwareFree = free;

namespace {

// Paths, keys and lines all live in buffers of this size; a line read takes at most 259 bytes.
const int kBufferSize = 260;

enum Section {
    kNoSection,
    kFolderSection,
    kFileSection,
    kModelSection,
    kVersionSection,
    kCapacitySection,
};

// Section keys in the order a header is tested against them.
const struct {
    UINT stringId;
    Section section;
} kSectionKeys[] = {
    {IDS_KEY_FOLDER_NAME, kFolderSection}, {IDS_KEY_FILE_NAME, kFileSection},
    {IDS_KEY_MODEL_NAME, kModelSection},   {IDS_KEY_VERSION, kVersionSection},
    {IDS_KEY_CAPACITY, kCapacitySection},
};
const int kKeyCount = sizeof kSectionKeys / sizeof kSectionKeys[0];

// Current directory joined with the file name string. A join that does not fit fails rather
// than being cut short, since a cut path could name some other file.
bool BuildInfoPath(HINSTANCE instance, char* path) {
    DWORD dirLength = GetCurrentDirectoryA(kBufferSize, path);
    if (dirLength == 0 || dirLength >= static_cast<DWORD>(kBufferSize))
        return false;
    char name[kBufferSize] = {};
    LoadStringA(instance, IDS_INFO_FILE_NAME, name, kBufferSize);
    size_t nameLength = strlen(name);
    if (dirLength + nameLength >= static_cast<size_t>(kBufferSize))
        return false;
    memcpy(path + dirLength, name, nameLength + 1);
    return true;
}

// The section of the first key found anywhere in the header line. A key that failed to load
// (empty) matches nothing, so a module without the strings rejects every header.
Section SectionOfHeader(const char* line, char (*keys)[kBufferSize]) {
    for (int i = 0; i < kKeyCount; ++i) {
        if (keys[i][0] != '\0' && strstr(line, keys[i]) != nullptr)
            return kSectionKeys[i].section;
    }
    return kNoSection;
}

// Appends a zeroed node at the tail; it is linked and counted before its text is attached, so
// after a failed text allocation the list ends in a node without a name.
template <typename Node>
int32_t AppendNode(Node** head, Node** tail, int32_t* count, char* line, Node** added) {
    Node* node = static_cast<Node*>(firmwareCalloc(1, sizeof(Node)));
    if (!node)
        return kFirmwareInfoOutOfMemory;
    if (*count == 0)
        *head = node;
    else
        (*tail)->next = node;
    *tail = node;
    ++*count;
    node->name = CopyLineText(line);
    if (!node->name)
        return kFirmwareInfoOutOfMemory;
    *added = node;
    return kFirmwareInfoOk;
}

template <typename Node> void FreeList(Node* node) {
    while (node) {
        Node* next = node->next;
        if (node->name)
            firmwareFree(node->name);
        firmwareFree(node);
        node = next;
    }
}

// One value line under the current section; `why` gets the reason of a refusal.
int32_t TakeValue(FirmwareJob* job, Section section, char* line, int32_t* why) {
    switch (section) {
    case kFolderSection:
    case kFileSection: {
        FirmwareEntry* entry = nullptr;
        int32_t result =
            AppendNode(&job->entryHead, &job->entryTail, &job->entryCount, line, &entry);
        if (result == kFirmwareInfoOk && section == kFileSection)
            entry->listedAsFile = 1;
        return result;
    }
    case kModelSection: {
        ModelEntry* model = nullptr;
        return AppendNode(&job->modelHead, &job->modelTail, &job->modelCount, line, &model);
    }
    case kVersionSection:
        if (job->firmwareVersion) {
            *why = kInfoStopSecondVersion;
            return kFirmwareInfoMalformed;
        }
        job->firmwareVersion = CopyLineText(line);
        return job->firmwareVersion ? kFirmwareInfoOk : kFirmwareInfoOutOfMemory;
    case kCapacitySection:
        if (job->capacityKB > 0) {
            *why = kInfoStopSecondCapacity;
            return kFirmwareInfoMalformed;
        }
        job->capacityKB = ParseCapacityKB(line);
        if (job->capacityKB > 0)
            return kFirmwareInfoOk;
        *why = kInfoStopBadCapacity;
        return kFirmwareInfoMalformed;
    case kNoSection:
        break;
    }
    return kFirmwareInfoOk;
}

// Stops the parse: the result, with the line and reason noted in the trace.
int32_t Stop(FirmwareInfoTrace* trace, int32_t line, int32_t reason, int32_t result) {
    trace->stopLine = line;
    if (result == kFirmwareInfoOutOfMemory)
        reason = kInfoStopOutOfMemory;
    trace->stopReason = reason;
    return result;
}

int32_t ParseLines(FILE* file, FirmwareJob* job, char (*keys)[kBufferSize],
                   FirmwareInfoTrace* trace) {
    Section section = kNoSection;
    char line[kBufferSize];
    // A read that ends without a line end (a line longer than the buffer) goes on the same line.
    int32_t lineNumber = 1;
    bool lineEnded = false;
    for (;;) {
        if (lineEnded)
            ++lineNumber;
        char* got = fgets(line, kBufferSize, file);
        // End of file first: a last line without a line end is never used.
        if (feof(file)) {
            trace->unendedLastLine = got && line[0] != '\0';
            break;
        }
        if (ferror(file) || !got)
            return Stop(trace, lineNumber, kInfoStopReadError, kFirmwareInfoReadError);
        lineEnded = strchr(line, '\n') != nullptr;
        if (line[0] == '\n' || line[0] == '-') {
            section = kNoSection;
        } else if (line[0] == '[') {
            section = SectionOfHeader(line, keys);
            if (section == kNoSection)
                return Stop(trace, lineNumber, kInfoStopUnknownHeader, kFirmwareInfoMalformed);
        } else if (section != kNoSection) {
            int32_t why = kInfoStopNone;
            int32_t result = TakeValue(job, section, line, &why);
            if (result != kFirmwareInfoOk)
                return Stop(trace, lineNumber, why, result);
        } else if (trace->ignoredLines++ == 0) {
            trace->firstIgnoredLine = lineNumber;
        }
    }
    bool complete = job->entryCount != 0 && job->modelCount != 0 && job->firmwareVersion &&
                    job->capacityKB != 0;
    return complete ? kFirmwareInfoOk : Stop(trace, 0, kInfoStopIncomplete, kFirmwareInfoMalformed);
}

} // namespace

int32_t LoadFirmwareInfo(HINSTANCE instance, FirmwareJob* job) {
    return LoadFirmwareInfoTraced(instance, job, nullptr);
}

int32_t LoadFirmwareInfoTraced(HINSTANCE instance, FirmwareJob* job, FirmwareInfoTrace* trace) {
    FirmwareInfoTrace unused;
    if (!trace)
        trace = &unused;
    memset(trace, 0, sizeof *trace);
    char path[kBufferSize];
    if (!job || !BuildInfoPath(instance, path))
        return kFirmwareInfoCannotOpen;
    // Text mode: CR LF reads as LF and Ctrl-Z ends the file.
    FILE* file = fopen(path, "rt");
    if (!file)
        return kFirmwareInfoCannotOpen;
    job->loaded = 1;
    char keys[kKeyCount][kBufferSize] = {};
    for (int i = 0; i < kKeyCount; ++i)
        LoadStringA(instance, kSectionKeys[i].stringId, keys[i], kBufferSize);
    int32_t result = ParseLines(file, job, keys, trace);
    fclose(file);
    return result;
}

void ReleaseFirmwareJob(FirmwareJob* job) {
    if (!job)
        return;
    if (job->loaded != 0) {
        if (job->cameraOpen == 1)
            CameraClose();
        FreeList(job->entryHead);
        FreeList(job->modelHead);
        if (job->firmwareVersion)
            firmwareFree(job->firmwareVersion);
        if (job->cameraModel)
            firmwareFree(job->cameraModel);
        if (job->cameraFirmwareVersion)
            firmwareFree(job->cameraFirmwareVersion);
    }
    memset(job, 0, sizeof *job);
}

char* CopyLineText(char* text) {
    if (!text)
        return nullptr;
    size_t length = strlen(text);
    if (length > 0 && text[length - 1] == '\n')
        text[--length] = '\0';
    char* copy = static_cast<char*>(firmwareCalloc(length + 1, 1));
    if (!copy)
        return nullptr;
    memcpy(copy, text, length);
    return copy;
}

int32_t ParseCapacityKB(const char* text) {
    if (!text || text[0] == '\0')
        return -1;
    // The last character (the LF on a value line) is not part of the number.
    const char* p = text;
    const char* end = text + strlen(text) - 1;
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // Out of range saturates, as atol does.
    int64_t value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (value <= INT32_MAX)
            value = value * 10 + (*p - '0');
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}
