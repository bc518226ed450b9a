// The progress dialog. The worker runs on its own thread and is never waited for; it talks to
// the dialog only by sending to it while the dialog sits in its modal loop, and at its end asks
// the dialog to end itself.
#include "copy_dialog.h"

#include <commctrl.h>

#include "camera_events.h"
#include "common/interlocked.h"
#include "ui.h"

namespace {

// Private message of the worker: end the dialog with the MessageId in lParam. Posted, so that the
// dialog handles every report queued before it first.
const UINT UWM_COPY_DONE = WM_USER + 1001;

bool workerStarted = false;

// The dialog's side, all on the user-interface thread.
bool reportShown = false;   // a camera event's message was shown during this copy
bool showingReport = false; // its box is open: the dialog ends only once it is closed
bool endPending = false;
INT_PTR pendingResult = 0;
// The window that showed reports before the dialog took over: page 3. The dialog's parent is the
// sheet (a dialog's owner is always top-level), which would show none.
HWND pageTarget = nullptr;

// Holds the named mutex that orders an error box before the end of the dialog; each side opens
// it by name when it needs it. Without the mutex both sides go on.
HANDLE TakeErrorDialogMutex(HWND dialog) {
    char name[kTextBufferSize];
    LoadWindowString(dialog, IDS_MUTEX_ERROR_DIALOG, name);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex)
        WaitForSingleObject(mutex, INFINITE);
    return mutex;
}

void GiveErrorDialogMutex(HANDLE mutex) {
    if (mutex) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
}

// An error box that is open holds the mutex: the user reads it before the dialog ends.
void LeaveThroughErrorMutex(HWND dialog) {
    GiveErrorDialogMutex(TakeErrorDialogMutex(dialog));
}

void EndCopyDialog(HWND dialog, INT_PTR result);

// One message for the run: a second report (another event of the same failure) is not shown.
void ShowReport(HWND dialog, MessageId message) {
    if (reportShown)
        return;
    reportShown = true;
    showingReport = true;
    HANDLE mutex = TakeErrorDialogMutex(dialog);
    ShowMessage(dialog, message);
    GiveErrorDialogMutex(mutex);
    showingReport = false;
    if (endPending) {
        endPending = false;
        EndCopyDialog(dialog, pendingResult);
    }
}

// Reports from now on go to the page; those that came before are shown here first.
void EndCopyDialog(HWND dialog, INT_PTR result) {
    SetErrorTargetWindow(pageTarget);
    if (const MessageId queued = TakeQueuedReports())
        ShowReport(dialog, queued);
    EndDialog(dialog, result);
}

void OnCopyDone(HWND dialog, INT_PTR result) {
    // Dispatched by the loop of a report's box: the user reads it before the dialog goes.
    if (showingReport) {
        endPending = true;
        pendingResult = result;
        return;
    }
    EndCopyDialog(dialog, result);
}

void OnInitDialog(HWND dialog) {
    WriteSharedPointer(&progressDialog, dialog);
    pageTarget = ErrorTargetWindow();
    SetErrorTargetWindow(dialog);
    workerStarted = false;
    reportShown = showingReport = endPending = false;
    CenterWindowOnParent(dialog);
    char text[kTextBufferSize];
    LoadWindowString(dialog, IDS_PROGRESS_TEXT, text);
    SetDlgItemTextA(dialog, IDC_PROGRESS_TEXT, text);
}

void OnShowWindow(HWND dialog) {
    if (workerStarted)
        return;
    workerStarted = true;
    HANDLE worker = CreateThread(nullptr, 0, CopyWorker, &firmwareJob, CREATE_SUSPENDED, nullptr);
    if (!worker) {
        EndCopyDialog(dialog, IDS_MSG_FILE_ACCESS);
        return;
    }
    ResumeThread(worker);
    CloseHandle(worker); // nothing waits for the worker: it tells the dialog when it is done
}

} // namespace

MessageId CopyFailureMessage(INT_PTR result) {
    const MessageId message = PreferQueuedReport(static_cast<MessageId>(result));
    return reportShown ? 0 : message;
}

DWORD WINAPI CopyWorker(LPVOID parameter) {
    const FirmwareJob* job = static_cast<const FirmwareJob*>(parameter);
    HWND dialog = ReadSharedPointer(&progressDialog);
    MessageId result = 0;
    if (job->entryCount == 0) {
        result = IDS_MSG_UPDATE_FILES_MISSING;
    } else if (PrepareTopFolders(job) != 0) {
        result = IDS_MSG_TRANSMISSION_ERROR;
    } else {
        WriteShared(&progressCounters.totalKB, 0);
        result = CountUpdateSize(job);
        if (result == 0) {
            SendDlgItemMessageA(dialog, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
            if (CopyUpdateEntries(job) != 0)
                result = CameraWasLost() ? IDS_MSG_INTERNAL_ERROR : IDS_MSG_TRANSMISSION_ERROR;
        }
    }
    LeaveThroughErrorMutex(dialog);
    if (!PostMessageA(dialog, UWM_COPY_DONE, 0, result))
        EndDialog(dialog, result); // a full queue: end it from here rather than never
    return static_cast<DWORD>(result);
}

INT_PTR CALLBACK CopyDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog);
        break;
    case WM_SHOWWINDOW:
        if (wParam)
            OnShowWindow(dialog);
        break;
    case WM_CLOSE:
        SetErrorTargetWindow(pageTarget);
        break;
    case UWM_REPORT_ERROR:
        ShowReport(dialog, static_cast<MessageId>(lParam));
        break;
    case UWM_COPY_DONE:
        OnCopyDone(dialog, lParam);
        break;
    default:
        break;
    }
    return FALSE;
}
