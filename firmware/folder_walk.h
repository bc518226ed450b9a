// The one walk over the update's folders that the checks, the count and the copy share, and
// that the update check counts what is sent by.
#pragma once

#include <windows.h>

#include "common/paths.h"
#include "resource_ids.h"

// A folder listing skips "." and "..", and any other one- or two-character name with a dot first.
bool IsSkippedFolderName(const char* name);

// What a walk does with one item of the folder being listed: `folder` is that folder, and
// `cameraFolder` its path on the card (none when the walk names no card paths); `context` is
// the walk's. A non-zero result stops the whole walk with it.
typedef MessageId (*FolderItemFn)(void* context, const char* folder, const char* cameraFolder,
                                  const WIN32_FIND_DATAA& item);

struct FolderWalk {
    FolderItemFn onFile;
    FolderItemFn onFolder; // before the folder is walked; none: walked at once
    // The result for a folder that cannot be listed, a listing that stops with an error, or a
    // path that does not fit. 0 leaves such a folder or item out.
    MessageId failure;
    void* context; // handed to each call
};

// Walks `folder` and every folder below it, each in the order the file system lists it, leaving
// out the skipped folder names; `cameraFolder` is its path on the card, or none.
MessageId WalkFolder(const FolderWalk& walk, const char* folder, const char* cameraFolder);
