// The four wizard pages and the state they share with the entry point.
#pragma once

#include <windows.h>

struct WizardState {
    int errorShown;       // an error ended the wizard; nothing clears it
    int openReadmeOnExit; // set by the last page when the wizard is finished without an error
};

extern WizardState wizardState;

INT_PTR CALLBACK IntroPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK PreparePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConfirmPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK CompletePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

void FillIntroPage(HWND page);
void FillPreparePage(HWND page);
void FillConfirmPage(HWND page);
void FillCompletePage(HWND page);

// Runs the wizard sheet modally; PropertySheetA's result.
INT_PTR RunWizardSheet(HINSTANCE instance);

// The sheet's callback: takes the system menu (and with it the close box) off the sheet.
int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM lParam);
