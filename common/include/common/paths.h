// Paths as the wizard and the driver library name them: ANSI texts in MAX_PATH buffers.
#pragma once

#include <windows.h>

// Joins `first`, a backslash and `second` into a MAX_PATH buffer; false when it would not fit,
// so that a cut path never stands for some other file.
bool JoinPath(char* path, const char* first, const char* second);

// The part of a path after its last backslash; the trail byte of a double-byte character is
// never taken for one.
const char* LastPathComponent(const char* path);
