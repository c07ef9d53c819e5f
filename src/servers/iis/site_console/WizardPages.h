// What the tool's wizards and property pages share: the property-sheet
// plumbing of a page, control texts, the warning icon and the
// authentication command links.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <exception>
#include <string>

#ifndef PSH_AEROWIZARD
#define PSH_AEROWIZARD 0x00004000
#endif

constexpr DWORD kWizardFlags =
    PSH_AEROWIZARD | PSH_WIZARD | PSH_PROPSHEETPAGE | PSH_USEHICON | PSH_PROPTITLE;

// The page's context pointer, kept as the window's user data from
// WM_INITDIALOG on (null before).
template <typename T>
T *PageContext(HWND page, UINT message, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto *sheetPage = reinterpret_cast<PROPSHEETPAGEW *>(lParam);
    SetWindowLongPtrW(page, GWLP_USERDATA, sheetPage->lParam);
  }
  return reinterpret_cast<T *>(GetWindowLongPtrW(page, GWLP_USERDATA));
}

std::wstring GetItemText(HWND dialog, int controlId);
void SetItemText(HWND dialog, int controlId, const std::wstring &text);
// The answer of a page to a notification (DWLP_MSGRESULT); returns TRUE.
INT_PTR SetPageResult(HWND page, LONG_PTR result);
void SetWizardButtons(HWND page, DWORD buttons);
// Moves the wizard to the page made from this dialog template.
void GoToPage(HWND page, int dialogId);
// The system's 16x16 warning icon into a static control.
void SetWarningIcon(HWND dialog, int controlId);
// The notes under the four authentication command links.
void SetAuthLinkNotes(HWND dialog);

// The folder picker for the path in an edit box; the chosen folder
// replaces the text. Failures are shown in the error box.
void BrowseFolder(HWND dialog, int editId, const wchar_t *title);

// A failure inside a page procedure must not unwind through the property
// sheet's frames: the page keeps it here and cancels the wizard, and the
// wizard's Run throws it again once PropertySheetW has returned.
struct PageFailure {
  std::exception_ptr failure;
  void Keep(HWND page);
  void Rethrow();
};

// Runs a wizard of `count` pages over `context`; 1 when finished, 0 when
// cancelled; throws when the sheet cannot be shown.
int RunWizard(HINSTANCE instance, HWND owner, const wchar_t *caption, const int *dialogIds,
              DLGPROC const *procedures, const wchar_t *const *headerTitles, int count,
              void *context);
