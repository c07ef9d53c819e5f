#include "WizardPages.h"

#include <vector>

#include "FileDialog.h"
#include "Helpers.h"
#include "resource.h"

std::wstring GetItemText(HWND dialog, int controlId) {
  return GetWindowTextString(GetDlgItem(dialog, controlId));
}

void SetItemText(HWND dialog, int controlId, const std::wstring &text) {
  SetDlgItemTextW(dialog, controlId, text.c_str());
}

INT_PTR SetPageResult(HWND page, LONG_PTR result) {
  SetWindowLongPtrW(page, DWLP_MSGRESULT, result);
  return TRUE;
}

void SetWizardButtons(HWND page, DWORD buttons) {
  PostMessageW(GetParent(page), PSM_SETWIZBUTTONS, 0, buttons);
}

void GoToPage(HWND page, int dialogId) {
  HWND sheet = GetParent(page);
  LRESULT index = SendMessageW(sheet, PSM_IDTOINDEX, 0, dialogId);
  SendMessageW(sheet, PSM_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void SetWarningIcon(HWND dialog, int controlId) {
  // The import library lacks this function, comctl32 version 6 has it.
  using LoadIconFunction = HRESULT(WINAPI *)(HINSTANCE, PCWSTR, int, int, HICON *);
  auto load = reinterpret_cast<LoadIconFunction>(reinterpret_cast<void *>(
      GetProcAddress(GetModuleHandleW(L"comctl32.dll"), "LoadIconWithScaleDown")));
  if (load == nullptr)
    throw QVS::WindowsException(GetLastError(), kSystemCallFailed, __FILE__, __LINE__);
  // The loaded icon belongs to the caller and a static control never
  // destroys its icon: one icon serves every page of every run.
  static HICON icon = nullptr;
  if (icon == nullptr) {
    HICON loaded = nullptr;
    CHECK_HRESULT(load(nullptr, IDI_WARNING, 16, 16, &loaded));
    icon = loaded;
  }
  SendDlgItemMessageW(dialog, controlId, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
}

void SetAuthLinkNotes(HWND dialog) {
  static const struct {
    int id;
    const wchar_t *note;
  } notes[] = {
      {IDC_LINK_SQL_SERVER,
       L"You'll be asked to supply the username and password of the SQL Server user that QVS "
       L"should connect as.  This information will be embedded in the final connection string."},
      {IDC_LINK_WINDOWS,
       L"You must separately use IIS Manager to configure the AppPool used by the 'tavrin' site "
       L"to run as the Windows user which QVS should connect as."},
      {IDC_LINK_AZURE_PASSWORD,
       L"You'll be asked to supply the username and password of the Azure ADr user that QVS "
       L"should connect as.  This information will be embedded in the final connection string."},
      {IDC_LINK_AZURE_INTEGRATED,
       L"You must separatly use IIS manager to configure the AppPool user by the 'tavrin' site "
       L"to run as the Azure AD user which QVS should connect as."},
  };
  for (const auto &link : notes)
    SendDlgItemMessageW(dialog, link.id, BCM_SETNOTE, 0, reinterpret_cast<LPARAM>(link.note));
}

void BrowseFolder(HWND dialog, int editId, const wchar_t *title) {
  try {
    FileDialog picker(&kFolderPickerClientGuid);
    picker.SetTitle(title);
    picker.SetFolder(GetItemText(dialog, editId));
    if (picker.Show(dialog)) SetItemText(dialog, editId, picker.GetResultPath());
  } catch (const QVS::BaseException &e) {
    ShowMessageBox(dialog, e.message, kErrorBoxTitle, MB_ICONERROR);
  }
}

void PageFailure::Keep(HWND page) {
  if (!failure) failure = std::current_exception();
  PostMessageW(GetParent(page), PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
}

void PageFailure::Rethrow() {
  if (failure) std::rethrow_exception(std::exchange(failure, nullptr));
}

int RunWizard(HINSTANCE instance, HWND owner, const wchar_t *caption, const int *dialogIds,
              DLGPROC const *procedures, const wchar_t *const *headerTitles, int count,
              void *context) {
  std::vector<PROPSHEETPAGEW> pages(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    PROPSHEETPAGEW &page = pages[static_cast<size_t>(i)];
    page = {};
    page.dwSize = sizeof page;
    page.dwFlags = PSP_USEHEADERTITLE;
    page.hInstance = instance;
    page.pszTemplate = MAKEINTRESOURCEW(dialogIds[i]);
    page.pfnDlgProc = procedures[i];
    page.pszHeaderTitle = headerTitles[i];
    page.lParam = reinterpret_cast<LPARAM>(context);
  }
  PROPSHEETHEADERW header = {};
  header.dwSize = sizeof header;
  header.dwFlags = kWizardFlags;
  header.hwndParent = owner;
  header.hInstance = instance;
  header.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SITE_CONSOLE));
  header.pszCaption = caption;
  header.nPages = static_cast<UINT>(count);
  header.ppsp = pages.data();
  INT_PTR result = PropertySheetW(&header);
  if (result == -1)
    throw QVS::WindowsException(GetLastError(), kSystemCallFailed, __FILE__, __LINE__);
  return result > 0 ? 1 : 0;
}
