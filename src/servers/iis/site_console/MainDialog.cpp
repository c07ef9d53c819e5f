#include "MainDialog.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <commctrl.h>

#include "AddSiteWizard.h"
#include "Helpers.h"
#include "OdbcWizard.h"
#include "WizardPages.h"
#include "resource.h"

const wchar_t kAllUnassigned[] = L"All Unassigned";

namespace {

const wchar_t kDirectoryMissing[] = L"Directory does not exist.";

// Shows the wait cursor for the life of the object.
class WaitCursor {
 public:
  WaitCursor() : previous_(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
  ~WaitCursor() { SetCursor(previous_); }

 private:
  HCURSOR previous_;
};

void ShowError(HWND owner, const QVS::BaseException &e) {
  ShowMessageBox(owner, e.message, kErrorBoxTitle, MB_ICONERROR);
}

HWND List(HWND page) { return GetDlgItem(page, IDC_SITE_LIST); }

}  // namespace

std::wstring BindingText(const IISSite &site) {
  return site.GetBindingInformation() + L" (" + site.protocol + L")";
}

bool IsOfferedAddress(const std::string &address) {
  return address.find("127.0.0.") == std::string::npos &&
         address.find("169.254.") == std::string::npos;
}

std::vector<std::wstring> ListIPv4Addresses() {
  const ULONG flags = GAA_FLAG_INCLUDE_PREFIX;
  ULONG size = 0;
  if (GetAdaptersAddresses(AF_INET, flags, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW)
    throw QVS::ApplicationException(kErrorNetworkAdapters, L"Failure listing network adapters");
  HANDLE heap = GetProcessHeap();
  auto *adapters = static_cast<IP_ADAPTER_ADDRESSES *>(HeapAlloc(heap, 0, size));
  if (adapters == nullptr)
    throw QVS::ApplicationException(kErrorNetworkAdapters, L"Memory allocation failed");
  std::vector<std::wstring> addresses;
  ULONG result = GetAdaptersAddresses(AF_INET, flags, nullptr, adapters, &size);
  if (result == ERROR_BUFFER_OVERFLOW) {
    HeapFree(heap, 0, adapters);
    throw QVS::ApplicationException(kErrorNetworkAdapters, L"Buffer overflow");
  }
  if (result == NO_ERROR) {
    for (auto *adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
      for (auto *unicast = adapter->FirstUnicastAddress; unicast != nullptr;
           unicast = unicast->Next) {
        char host[512] = {};
        getnameinfo(unicast->Address.lpSockaddr, unicast->Address.iSockaddrLength, host,
                    sizeof host, nullptr, 0, NI_NUMERICHOST);
        if (IsOfferedAddress(host)) addresses.push_back(Utf8ToUtf16(host));
      }
    }
  }
  HeapFree(heap, 0, adapters);
  return addresses;
}

BOOL MainDialog::FillIpCombo(HWND dialog) {
  // "All Unassigned" goes in first, so that it stays offered when the
  // adapters cannot be listed.
  SendDlgItemMessageW(dialog, IDC_IP_ADDRESS, CB_ADDSTRING, 0,
                      reinterpret_cast<LPARAM>(kAllUnassigned));
  for (const auto &address : ListIPv4Addresses())
    SendDlgItemMessageW(dialog, IDC_IP_ADDRESS, CB_ADDSTRING, 0,
                        reinterpret_cast<LPARAM>(address.c_str()));
  SendDlgItemMessageW(dialog, IDC_IP_ADDRESS, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                      reinterpret_cast<LPARAM>(kAllUnassigned));
  return TRUE;
}

std::wstring MainDialog::GetSelectedIp(HWND dialog) {
  std::wstring text = GetItemText(dialog, IDC_IP_ADDRESS);
  return text == kAllUnassigned ? L"*" : text;
}

bool MainDialog::Run(HINSTANCE instance) {
  instance_ = instance;
  PROPSHEETPAGEW page = {};
  page.dwSize = sizeof page;
  page.dwFlags = PSP_USETITLE;
  page.hInstance = instance;
  page.pszTemplate = MAKEINTRESOURCEW(IDD_SITES_PAGE);
  page.pfnDlgProc = SitesPageProc;
  page.pszTitle = L"Sites";
  page.lParam = reinterpret_cast<LPARAM>(this);
  PROPSHEETHEADERW header = {};
  header.dwSize = sizeof header;
  header.dwFlags = PSH_PROPSHEETPAGE | PSH_PROPTITLE | PSH_USEHICON | PSH_NOCONTEXTHELP;
  header.hInstance = instance;
  header.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SITE_CONSOLE));
  header.pszCaption = L"Tavrin Server";
  header.nPages = 1;
  header.ppsp = &page;
  INT_PTR result = PropertySheetW(&header);
  if (result == -1)
    throw QVS::WindowsException(GetLastError(), kSystemCallFailed, __FILE__, __LINE__);
  return result > 0;
}

INT_PTR CALLBACK MainDialog::SitesPageProc(HWND page, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  auto *dialog = PageContext<MainDialog>(page, message, lParam);
  if (dialog == nullptr) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      dialog->OnInitPage(page);
      return TRUE;
    case WM_NOTIFY:
      return dialog->OnNotify(page, reinterpret_cast<const NMHDR *>(lParam));
    case WM_CTLCOLORSTATIC:
      return dialog->OnCtlColorStatic(reinterpret_cast<HDC>(wParam),
                                      reinterpret_cast<HWND>(lParam));
    case WM_COMMAND:
      if (HIWORD(wParam) == EN_CHANGE) {
        dialog->OnEditChange(page);
        return TRUE;
      }
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      switch (LOWORD(wParam)) {
        case IDC_ADD_SITE:
          dialog->OnAddSite(page, false, nullptr);
          return TRUE;
        case IDC_BUILD_CONNECTION_STRING:
          dialog->OnBuildConnectionString(page);
          return TRUE;
        case IDC_BROWSE_TEMP:
          dialog->OnBrowseTemp(page);
          return TRUE;
        case IDC_REFRESH:
          dialog->OnRefresh(page);
          return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

INT_PTR MainDialog::OnNotify(HWND page, const NMHDR *notification) {
  switch (notification->code) {
    case PSN_APPLY:
      return OnApply(page);
    case PSN_KILLACTIVE:
      return OnKillActive(page);
    case LVN_GETDISPINFOW: {
      auto *info = const_cast<NMLVDISPINFOW *>(reinterpret_cast<const NMLVDISPINFOW *>(notification));
      if ((info->item.mask & LVIF_TEXT) == 0 || info->item.iItem < 0) return TRUE;
      IISSite &site = sites.GetByIndex(static_cast<std::uint32_t>(info->item.iItem));
      if (info->item.iSubItem == 0)
        info->item.pszText = site.name.data();
      else
        info->item.pszText = const_cast<LPWSTR>(site.isModuleSite ? L"Yes" : L"No");
      return TRUE;
    }
    case LVN_ITEMCHANGED:
    case LVN_ITEMACTIVATE:
      if (notification->idFrom != IDC_SITE_LIST) return FALSE;
      {
        int position = SelectedPosition(page);
        ShowSiteDetails(page, position < 0 ? nullptr
                                           : &sites.GetByIndex(static_cast<std::uint32_t>(position)));
      }
      return TRUE;
    case NM_CLICK:
      if (notification->idFrom != IDC_ADD_SITE) return FALSE;
      OnAddSite(page, false, nullptr);
      return TRUE;
  }
  return FALSE;
}

INT_PTR MainDialog::OnCtlColorStatic(HDC dc, HWND control) const {
  if (GetDlgCtrlID(control) == IDC_TEMP_STATUS) SetTextColor(dc, statusColor_);
  return FALSE;
}

bool MainDialog::InitListColumns(HWND page) {
  HWND list = List(page);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_FULLROWSELECT | LVS_EX_ONECLICKACTIVATE);
  for (int column = 0; column < 2; ++column) {
    wchar_t title[256] = {};
    LoadStringW(instance_, column == 0 ? IDS_COLUMN_SITE_NAME : IDS_COLUMN_ENABLED, title, 256);
    LVCOLUMNW lvColumn = {};
    lvColumn.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    lvColumn.fmt = LVCFMT_LEFT;
    lvColumn.cx = 150;
    lvColumn.pszText = title;
    lvColumn.iSubItem = column;
    if (SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
                     reinterpret_cast<LPARAM>(&lvColumn)) == -1)
      return false;
  }
  return true;
}

bool MainDialog::RefreshList(HWND page) {
  HWND list = List(page);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  for (size_t position = 0; position < sites.Count(); ++position) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(position);
    item.pszText = LPSTR_TEXTCALLBACKW;
    if (SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)) == -1)
      return false;
  }
  return true;
}

int MainDialog::SelectedPosition(HWND page) const {
  return static_cast<int>(
      SendMessageW(List(page), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void MainDialog::ShowSiteDetails(HWND page, const IISSite *site) {
  bool readOnly = site == nullptr || !site->isModuleSite;
  SetItemText(page, IDC_SITE_NAME, site != nullptr ? site->name : L"");
  SetItemText(page, IDC_BINDING, site != nullptr ? BindingText(*site) : L"");
  SetItemText(page, IDC_SITE_WEBROOT, site != nullptr ? site->webroot : L"");
  SetItemText(page, IDC_CONNECTION_STRING, site != nullptr ? site->odbcConnectionString : L"");
  SetItemText(page, IDC_TEMP_DIRECTORY, site != nullptr ? site->tempDirectory : L"");
  SendDlgItemMessageW(page, IDC_CONNECTION_STRING, EM_SETREADONLY, readOnly, 0);
  SendDlgItemMessageW(page, IDC_TEMP_DIRECTORY, EM_SETREADONLY, readOnly, 0);
  EnableWindow(GetDlgItem(page, IDC_BUILD_CONNECTION_STRING), !readOnly);
  EnableWindow(GetDlgItem(page, IDC_BROWSE_TEMP), !readOnly);
}

void MainDialog::OnInitPage(HWND page) {
  try {
    ShowSiteDetails(page, nullptr);
    {
      WaitCursor wait;
      if (!InitListColumns(page) || !RefreshList(page)) return;
    }
    ShowSiteDetails(page, nullptr);
    SendDlgItemMessageW(page, IDC_CONNECTION_STRING, EM_SETWORDBREAKPROC, 0,
                        reinterpret_cast<LPARAM>(BraceWordBreakProc));
    for (size_t position = 0; position < sites.Count(); ++position) {
      if (sites.GetByIndex(static_cast<std::uint32_t>(position)).isModuleSite) {
        LVITEMW item = {};
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(List(page), LVM_SETITEMSTATE, position, reinterpret_cast<LPARAM>(&item));
        return;
      }
    }
    OnAddSite(page, true, page);
  } catch (const QVS::BaseException &e) {
    ShowError(page, e);
  }
}

void MainDialog::OnAddSite(HWND page, bool firstSite, HWND errorOwner) {
  try {
    AddSiteWizard wizard(sites, firstSite);
    if (wizard.Run(instance_, GetParent(page)) == 0) return;
    sites.AddSite(wizard.BuildSite());
    RefreshList(page);
  } catch (const QVS::BaseException &e) {
    ShowError(errorOwner, e);
  }
}

IISSite MainDialog::ReadPanel(HWND page) {
  IISSite site = sites.GetByIndex(static_cast<std::uint32_t>(SelectedPosition(page)));
  site.odbcConnectionString = GetItemText(page, IDC_CONNECTION_STRING);
  site.tempDirectory = GetItemText(page, IDC_TEMP_DIRECTORY);
  return site;
}

bool MainDialog::IsSelectedSiteEdited(HWND page) {
  int position = SelectedPosition(page);
  if (position < 0) return false;
  return !(ReadPanel(page) == sites.GetByIndex(static_cast<std::uint32_t>(position)));
}

void MainDialog::OnEditChange(HWND page) {
  HWND sheet = GetParent(page);
  try {
    if (SelectedPosition(page) < 0) {
      SendMessageW(sheet, PSM_UNCHANGED, reinterpret_cast<WPARAM>(page), 0);
      return;
    }
    bool changed = IsSelectedSiteEdited(page);
    if (!DirectoryExists(GetItemText(page, IDC_TEMP_DIRECTORY))) {
      changed = false;
      statusColor_ = RGB(255, 0, 0);
      SetItemText(page, IDC_TEMP_STATUS, kDirectoryMissing);
    } else {
      SetItemText(page, IDC_TEMP_STATUS, L"");
    }
    SendMessageW(sheet, changed ? PSM_CHANGED : PSM_UNCHANGED, reinterpret_cast<WPARAM>(page), 0);
  } catch (const QVS::BaseException &e) {
    ShowError(page, e);
  }
}

INT_PTR MainDialog::OnKillActive(HWND page) {
  int position = SelectedPosition(page);
  BOOL keepPage = FALSE;
  if (position >= 0 && sites.GetByIndex(static_cast<std::uint32_t>(position)).isModuleSite &&
      !DirectoryExists(GetItemText(page, IDC_TEMP_DIRECTORY)))
    keepPage = TRUE;
  return SetPageResult(page, keepPage);
}

INT_PTR MainDialog::OnApply(HWND page) {
  try {
    if (IsSelectedSiteEdited(page)) {
      WaitCursor wait;
      sites.UpdateSettings(ReadPanel(page));
    }
    return SetPageResult(page, PSNRET_NOERROR);
  } catch (const QVS::BaseException &e) {
    ShowError(page, e);
    return SetPageResult(page, PSNRET_INVALID);
  }
}

void MainDialog::OnBuildConnectionString(HWND page) {
  try {
    OdbcSettings model;
    if (OdbcWizard::Run(model, instance_, GetParent(page)) != 0)
      SetItemText(page, IDC_CONNECTION_STRING, OdbcWizard::GetConnectionString(model));
  } catch (const QVS::BaseException &e) {
    ShowError(page, e);
  }
}

void MainDialog::OnBrowseTemp(HWND page) {
  BrowseFolder(page, IDC_TEMP_DIRECTORY, L"Select Temp Folder");
}

void MainDialog::OnRefresh(HWND page) {
  try {
    sites.Load();
    RefreshList(page);
    ShowSiteDetails(page, nullptr);
  } catch (const QVS::BaseException &e) {
    ShowError(page, e);
  }
}
