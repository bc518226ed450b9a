// Wizard pages: each fills its lines once, sets the sheet's buttons when it becomes active and
// drives the checks (page 2) and the copy (page 3) from the wizard notifications.
#include "wizard.h"

#include <commctrl.h>
#include <prsht.h>

#include <cstring>

#include "camera_events.h"
#include "checks.h"
#include "copy_dialog.h"
#include "firmware_job.h"
#include "resource_ids.h"
#include "ui.h"

WizardState wizardState = {};

namespace {

// While page 2's checks or page 3's copy run (waiting in the retry question or the progress
// dialog), a cancel that an error report triggers must not free the job or close the camera
// under them: its release waits until the step has returned.
bool stepRunning = false;
bool releaseHeld = false;

HINSTANCE PageInstance(HWND page) {
    return reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(page, GWLP_HINSTANCE));
}

HWND SheetButton(HWND page, int id) {
    return GetDlgItem(GetParent(page), id);
}

void SetButtonCaption(HWND page, int id, UINT stringId) {
    char text[kTextBufferSize];
    LoadWindowString(page, stringId, text);
    SetWindowTextA(SheetButton(page, id), text);
}

void PostWizardButtons(HWND page, LPARAM buttons) {
    PostMessageA(GetParent(page), PSM_SETWIZBUTTONS, 0, buttons);
}

void ReleaseJob() {
    if (stepRunning)
        releaseHeld = true;
    else
        ReleaseFirmwareJob(&firmwareJob);
}

// Every error closes the wizard: no question, no readme, and one message for the run (none when
// one has been shown already). The flag is up before the box, whose loop may dispatch a report.
void EndWithError(HWND page, MessageId message) {
    const int shownBefore = wizardState.errorShown;
    wizardState.errorShown = 1;
    if (message != 0 && !shownBefore)
        ShowMessage(page, message);
    PostMessageA(GetParent(page), PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
}

INT_PTR Answer(HWND page, LONG_PTR result) {
    SetWindowLongPtrA(page, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR AskBeforeCancel(HWND page) {
    return Answer(page, AskQuit(page) == IDYES ? 0 : 1);
}

void PlaceLine(HWND page, UINT stringId, int lineId) {
    char text[kTextBufferSize];
    LoadWindowString(page, stringId, text);
    SetDlgItemTextA(page, lineId, text);
}

void SpreadLine(HWND page, UINT stringId, int lineId, int editId) {
    char text[kTextBufferSize];
    LoadWindowString(page, stringId, text);
    SpreadTextOverLines(page, GetDlgItem(page, editId), text, lineId);
}

// A label and, when the job has it, its value, together at most 1022 characters.
void PlaceLabelled(HWND page, UINT labelId, const char* value, int lineId) {
    char text[kTextBufferSize];
    LoadWindowString(page, labelId, text);
    if (value) {
        const size_t used = strlen(text);
        if (used < 1022)
            strncat(text, value, 1022 - used);
    }
    SetDlgItemTextA(page, lineId, text);
}

INT_PTR OnPrepareNext(HWND page) {
    stepRunning = true;
    const MessageId id = RunPreCopyChecks(PageInstance(page), page, &firmwareJob, AskRetry);
    stepRunning = false;
    if (releaseHeld || wizardState.errorShown) {
        // An error report ended the wizard while the checks ran; its message has been shown
        // and its Cancel press closes the sheet. Release now, show nothing more, stay here.
        releaseHeld = false;
        ReleaseFirmwareJob(&firmwareJob);
        return Answer(page, -1);
    }
    if (id != 0) {
        ReleaseFirmwareJob(&firmwareJob); // with the link closed, every camera event is queued
        EndWithError(page, PreferQueuedReport(id));
    }
    return 0;
}

INT_PTR OnConfirmNext(HWND page) {
    stepRunning = true;
    const INT_PTR id = DialogBoxParamA(PageInstance(page), MAKEINTRESOURCEA(IDD_PROGRESS), page,
                                       CopyDialogProc, 0);
    stepRunning = releaseHeld = false;
    ReleaseFirmwareJob(&firmwareJob);
    if (id != 0)
        EndWithError(page, CopyFailureMessage(id));
    return 0;
}

UINT NotifyCode(LPARAM lParam) {
    return reinterpret_cast<const NMHDR*>(lParam)->code;
}

// Pages 2 and 3: they show camera-event reports, run their step on Next, release the job when
// left, and let a cancel pass without the question once an error has ended the wizard.
struct WorkingPage {
    void (*fill)(HWND page);
    INT_PTR (*onNext)(HWND page);
    bool showBack;
};

INT_PTR WorkingPageProc(const WorkingPage& kind, HWND page, UINT message, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        kind.fill(page);
        SetErrorTargetWindow(page);
        return 0;
    case UWM_REPORT_ERROR:
        if (!wizardState.errorShown)
            EndWithError(page, static_cast<MessageId>(lParam));
        return 0;
    case WM_NOTIFY:
        break;
    default:
        return 0;
    }
    switch (NotifyCode(lParam)) {
    case PSN_SETACTIVE:
        PostWizardButtons(page, PSWIZB_BACK | PSWIZB_NEXT);
        EnableWindow(SheetButton(page, IDCANCEL), TRUE);
        if (kind.showBack)
            ShowWindow(SheetButton(page, IDC_WIZARD_BACK), SW_SHOWNORMAL);
        return 0;
    case PSN_WIZNEXT:
        return kind.onNext(page);
    case PSN_WIZBACK:
    case PSN_RESET:
        ReleaseJob();
        return 0;
    case PSN_QUERYCANCEL:
        return wizardState.errorShown ? Answer(page, 0) : AskBeforeCancel(page);
    default:
        return 0;
    }
}

} // namespace

void FillIntroPage(HWND page) {
    SpreadLine(page, IDS_INTRO_PURPOSE, IDC_INTRO_LINE0, IDC_INTRO_MEASURE);
    SpreadLine(page, IDS_INTRO_DRIVER_NOTE, IDC_INTRO_LINE3, IDC_INTRO_MEASURE);
    PlaceLine(page, IDS_INTRO_WIN98_2000_HEADING, IDC_INTRO_LINE7);
    SpreadLine(page, IDS_INTRO_TWAIN_DRIVER, IDC_INTRO_LINE8, IDC_INTRO_MEASURE);
    PlaceLine(page, IDS_INTRO_WINME_HEADING, IDC_INTRO_LINE10);
    SpreadLine(page, IDS_INTRO_WIA_DRIVER, IDC_INTRO_LINE11, IDC_INTRO_MEASURE);
}

void FillPreparePage(HWND page) {
    PlaceLine(page, IDS_PREPARE_FOLLOW, IDC_PREPARE_LINE0);
    PlaceLine(page, IDS_PREPARE_STEP_FORMAT, IDC_PREPARE_LINE1);
    PlaceLine(page, IDS_PREPARE_STEP_CABLE, IDC_PREPARE_LINE2);
    PlaceLine(page, IDS_PREPARE_STEP_MODE, IDC_PREPARE_LINE3);
    PlaceLine(page, IDS_PREPARE_NOTE_HEADING, IDC_PREPARE_LINE5);
    SpreadLine(page, IDS_PREPARE_NOTE_TEXT, IDC_PREPARE_LINE6, IDC_PREPARE_MEASURE);
    PlaceLine(page, IDS_PREPARE_STEP_NEXT, IDC_PREPARE_LINE9);
}

void FillConfirmPage(HWND page) {
    PlaceLine(page, IDS_CONFIRM_INTRO, IDC_CONFIRM_LINE0);
    PlaceLabelled(page, IDS_CONFIRM_MODEL_LABEL, firmwareJob.cameraModel, IDC_CONFIRM_LINE2);
    PlaceLabelled(page, IDS_CONFIRM_CAMERA_VERSION_LABEL, firmwareJob.cameraFirmwareVersion,
                  IDC_CONFIRM_LINE4);
    PlaceLabelled(page, IDS_CONFIRM_UPDATE_VERSION_LABEL, firmwareJob.firmwareVersion,
                  IDC_CONFIRM_LINE5);
    PlaceLine(page, IDS_CONFIRM_CLICK_NEXT, IDC_CONFIRM_LINE7);
}

void FillCompletePage(HWND page) {
    PlaceLine(page, IDS_DONE_COPIED, IDC_DONE_LINE0);
    PlaceLine(page, IDS_DONE_STEP_DETACH, IDC_DONE_LINE2);
    PlaceLine(page, IDS_DONE_STEP_FINISH, IDC_DONE_LINE3);
    SpreadLine(page, IDS_DONE_README_NOTE, IDC_DONE_LINE5, IDC_DONE_MEASURE);
}

INT_PTR CALLBACK IntroPageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        CenterWindowOnParent(GetParent(page));
        FillIntroPage(page);
        return 0;
    }
    if (message != WM_NOTIFY)
        return 0;
    switch (NotifyCode(lParam)) {
    case PSN_SETACTIVE:
        SetButtonCaption(page, IDCANCEL, IDS_BUTTON_CANCEL);
        SetButtonCaption(page, IDC_WIZARD_BACK, IDS_BUTTON_BACK);
        SetButtonCaption(page, IDC_WIZARD_NEXT, IDS_BUTTON_NEXT);
        PostWizardButtons(page, PSWIZB_NEXT);
        EnableWindow(SheetButton(page, IDCANCEL), TRUE);
        ShowWindow(SheetButton(page, IDC_WIZARD_BACK), SW_HIDE);
        return 0;
    case PSN_QUERYCANCEL:
        return AskBeforeCancel(page);
    default:
        return 0;
    }
}

INT_PTR CALLBACK PreparePageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
    static const WorkingPage kPrepare = {FillPreparePage, OnPrepareNext, true};
    return WorkingPageProc(kPrepare, page, message, lParam);
}

INT_PTR CALLBACK ConfirmPageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
    static const WorkingPage kConfirm = {FillConfirmPage, OnConfirmNext, false};
    return WorkingPageProc(kConfirm, page, message, lParam);
}

INT_PTR CALLBACK CompletePageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        FillCompletePage(page);
        return 0;
    }
    if (message != WM_NOTIFY)
        return 0;
    switch (NotifyCode(lParam)) {
    case PSN_SETACTIVE:
        SetButtonCaption(page, IDCANCEL, IDS_BUTTON_FINISH);
        ShowWindow(SheetButton(page, IDC_WIZARD_BACK), SW_HIDE);
        ShowWindow(SheetButton(page, IDC_WIZARD_NEXT), SW_HIDE);
        SetFocus(SheetButton(page, IDCANCEL));
        return 0;
    case PSN_RESET:
        ReleaseJob();
        if (!wizardState.errorShown)
            wizardState.openReadmeOnExit = 1;
        return 0;
    default:
        return 0;
    }
}
