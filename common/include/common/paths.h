// Paths of the update and of the card, and the one walk over the update's folders that the
// checks, the count and the copy share. Paths are ANSI texts in MAX_PATH buffers.
#pragma once

#include <windows.h>

#include "resource_ids.h"

// Joins `first`, a backslash and `second` into a MAX_PATH buffer; false when it would not fit,
// so that a cut path never stands for some other file.
bool JoinPath(char* path, const char* first, const char* second);

// The part of a path after its last backslash; the trail byte of a double-byte character is
// never taken for one.
const char* LastPathComponent(const char* path);

// A folder listing skips "." and "..", and any other one- or two-character name with a dot first.
bool IsSkippedFolderName(const char* name);

// What a walk does with one item of the folder being listed: `folder` is that folder, and
// `cameraFolder` its path on the card (none when the walk names no card paths). A non-zero
// result stops the whole walk with it.
typedef MessageId (*FolderItemFn)(const char* folder, const char* cameraFolder,
                                  const WIN32_FIND_DATAA& item);

struct FolderWalk {
    FolderItemFn onFile;
    FolderItemFn onFolder; // before the folder is walked; none: walked at once
    // The result for a folder that cannot be listed, a listing that stops with an error, or a
    // path that does not fit. 0 leaves such a folder or item out.
    MessageId failure;
};

// Walks `folder` and every folder below it, each in the order the file system lists it, leaving
// out the skipped folder names; `cameraFolder` is its path on the card, or none.
MessageId WalkFolder(const FolderWalk& walk, const char* folder, const char* cameraFolder);
