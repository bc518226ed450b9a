// What crosses the library's interface, coded both ways: 8-bit ANSI text and the camera's
// UTF-8, the caller's streams and item lists, and the fixed records filled from PTP datasets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "driver_interface.h"
#include "ptp/datasets.h"

std::string Utf8ToAnsi(const std::string& utf8);
std::string AnsiToUtf8(const std::string& ansi);
// Copies text into a fixed field, cut at a character boundary, always terminated.
void CopyAnsi(char* field, size_t size, const std::string& text);

// Opens a caller's stream in `mode` (kStreamOpenRead, kStreamOpenCreate): its failure, or
// kStreamBadArgument when there is no stream.
DriverResult OpenStream(CameraStream* stream, uint16_t mode);
// Writes `size` bytes as the stream's whole content.
DriverResult WriteStream(CameraStream* stream, const void* bytes, uint32_t size);
// An ItemList: the 12-byte head, then `count` entries of `entrySize` bytes.
DriverResult WriteList(CameraStream* stream, const void* entries, uint32_t count,
                       uint32_t entrySize);

void FillStorageRecord(const ptp::StorageInfo& info, StorageRecord& record);
void FillObjectEntry(uint32_t handle, const ptp::ObjectInfo& info, ObjectEntryRecord& entry);
// The ObjectInfo announced for a caller's record; its name ends at its zero byte, within its
// count and within the record.
ptp::ObjectInfo ObjectInfoOf(const ObjectInfoRecord& record);
// The model name buffer: a count byte (name and zero byte; 0 for an empty name), the name.
void FillModelName(const std::string& utf8, uint8_t* buffer);
