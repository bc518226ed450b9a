// The progress dialog, and the worker thread that runs the copy and ends it.
#pragma once

#include <windows.h>

#include "driver_result.h"
#include "firmware_job.h"
#include "copy_worker.h"
#include "resource_ids.h"

// Dialog procedure of the progress dialog; the dialog ends with the worker's MessageId.
INT_PTR CALLBACK CopyDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// What page 3 shows for a copy that ended with the non-zero `result`, once the dialog has ended
// and the camera link is closed (no event can come any more): nothing when a camera event's
// message was shown during the copy, else an event's report still queued, else the result.
MessageId CopyFailureMessage(INT_PTR result);

// Thread routine: copies the job's entries, then has the dialog end itself with the result.
DWORD WINAPI CopyWorker(LPVOID job);
