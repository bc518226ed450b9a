// Message boxes and window layout shared by the wizard pages, the checks and the progress dialog.
#pragma once

#include <windows.h>

#include "resource_ids.h"

// Every text the user sees is loaded into a buffer of this many characters.
enum { kTextBufferSize = 1024 };

// Loads string `id` from the module instance of `window` into a kTextBufferSize buffer.
void LoadWindowString(HWND window, UINT id, char* text);

void ShowMessage(HWND owner, MessageId message);
int AskQuit(HWND owner);
int AskRetry(HWND owner, MessageId message);

void SpreadTextOverLines(HWND dialog, HWND edit, const char* text, int firstLineId);
void CenterWindowOnParent(HWND window);
