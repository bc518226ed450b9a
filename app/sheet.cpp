// The wizard as one modal property sheet of four version-1 pages.
#include <windows.h>

#include <commctrl.h>
#include <prsht.h>

#include <cstddef>
#include <cstring>

#include "resource_ids.h"
#include "wizard.h"

namespace {

struct PageRow {
    WORD templateId;
    DLGPROC procedure;
};

const PageRow kPages[] = {
    {IDD_INTRO_PAGE, IntroPageProc},
    {IDD_PREPARE_PAGE, PreparePageProc},
    {IDD_CONFIRM_PAGE, ConfirmPageProc},
    {IDD_DONE_PAGE, CompletePageProc},
};
const UINT kPageCount = sizeof kPages / sizeof kPages[0];

// The sheet walks the page array by each record's dwSize: version-1 records back to back.
static_assert(sizeof(PROPSHEETPAGEA_V1) == offsetof(PROPSHEETPAGEA, pcRefParent) + sizeof(UINT*),
              "version-1 page records");

} // namespace

int CALLBACK SheetCallback(HWND, UINT message, LPARAM lParam) {
    if (message != PSCB_PRECREATE || !lParam)
        return 0;
    // The extended template form starts with version 1 and the signature 0xFFFF.
    WORD* words = reinterpret_cast<WORD*>(lParam);
    DWORD* style = words[0] == 1 && words[1] == 0xFFFF ? reinterpret_cast<DWORD*>(words + 6)
                                                       : reinterpret_cast<DWORD*>(words);
    *style &= ~static_cast<DWORD>(WS_SYSMENU);
    return 0;
}

INT_PTR RunWizardSheet(HINSTANCE instance) {
    PROPSHEETPAGEA_V1 pages[kPageCount];
    memset(pages, 0, sizeof pages);
    for (UINT i = 0; i < kPageCount; ++i) {
        pages[i].dwSize = PROPSHEETPAGEA_V1_SIZE;
        pages[i].dwFlags = PSP_DEFAULT;
        pages[i].hInstance = instance;
        pages[i].pszTemplate = MAKEINTRESOURCEA(kPages[i].templateId);
        pages[i].pfnDlgProc = kPages[i].procedure;
    }
    PROPSHEETHEADERA header;
    memset(&header, 0, sizeof header);
    header.dwSize = PROPSHEETHEADERA_V1_SIZE;
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_WIZARD | PSH_USECALLBACK;
    header.hInstance = instance;
    header.nPages = kPageCount;
    header.nStartPage = 0;
    header.ppsp = reinterpret_cast<LPCPROPSHEETPAGEA>(pages);
    header.pfnCallback = SheetCallback;
    return PropertySheetA(&header);
}
