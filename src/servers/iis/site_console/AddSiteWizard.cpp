#include "AddSiteWizard.h"

#include "Application.h"
#include "Helpers.h"
#include "MainDialog.h"
#include "resource.h"

namespace {

const wchar_t kWillBeCreated[] = L"Directory does not exist. Will be created.";

AddSiteWizard *Wizard(HWND page, UINT message, LPARAM lParam) {
  return PageContext<AddSiteWizard>(page, message, lParam);
}

UINT NotificationCode(UINT message, LPARAM lParam) {
  return message == WM_NOTIFY ? reinterpret_cast<const NMHDR *>(lParam)->code : 0;
}

bool IsEditChange(UINT message, WPARAM wParam) {
  return message == WM_COMMAND && HIWORD(wParam) == EN_CHANGE;
}

bool IsClick(UINT message, WPARAM wParam, int controlId) {
  return message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == controlId;
}

}  // namespace

std::wstring DrivePathHint(const std::wstring &path) {
  bool drivePath = path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\';
  if (drivePath || path.rfind(L"\\\\", 0) == 0) return L"";
  // Under Wine a Linux path is taken as a folder of the current drive, and
  // only its last level is created.
  std::wstring hint = L"\n\nA drive path (C:\\...) is expected, not \"" + path + L"\".";
  if (!path.empty() && path[0] == L'/') {
    std::wstring onZ = L"Z:" + path;
    for (auto &c : onZ)
      if (c == L'/') c = L'\\';
    hint += L" Under Wine, the Linux folder " + path + L" is " + onZ + L".";
  }
  return hint;
}

SiteSettingsCheck CheckSiteSettings(const SiteList &sites, const std::wstring &name,
                                    const std::wstring &port, const std::wstring &hostName,
                                    const std::wstring &webroot) {
  SiteSettingsCheck check{};
  bool nameOk = false, bindingOk = false, webrootOk = false;
  if (name.empty())
    check.nameStatus = L"Required";
  else if (sites.NameInUse(name))
    check.nameStatus = L"Name already in use";
  else
    nameOk = true;
  if (port.empty())
    check.bindingStatus = L"Required";
  else if (sites.BindingInUse(port, hostName))
    check.bindingStatus = L"In Use";
  else
    bindingOk = true;
  if (sites.WebrootInUse(webroot)) {
    check.webrootStatus = L"Webroot belongs to another site.";
  } else {
    webrootOk = true;
    if (!DirectoryExists(webroot)) check.webrootStatus = kWillBeCreated;
  }
  check.canContinue = nameOk && bindingOk && webrootOk;
  return check;
}

ModuleSettingsCheck CheckModuleSettings(const std::wstring &tempDirectory) {
  if (tempDirectory.empty()) return {L"Required", false};
  if (!DirectoryExists(tempDirectory)) return {kWillBeCreated, true};
  return {L"", true};
}

bool CheckDatabase(const std::wstring &server, const std::wstring &database) {
  return !server.empty() && !database.empty();
}

const AuthPages AddSiteWizard::kPages = {IDD_SITE_AUTH, IDD_SITE_SQL_CREDENTIALS,
                                         IDD_SITE_AZURE_CREDENTIALS, IDD_SITE_REVIEW};

AddSiteWizard::AddSiteWizard(const SiteList &sites, bool firstSite) : siteList(sites) {
  if (firstSite) {
    name = L"tavrin";
    port = L"8080";
    webroot = g_defaultWebroot;
    tempDirectory = g_defaultTempDirectory;
    ip = L"*";
  }
}

int AddSiteWizard::Run(HINSTANCE instance, HWND owner) {
  static const int dialogs[] = {IDD_SITE_SETTINGS,        IDD_MODULE_SETTINGS,
                                IDD_DATABASE,             IDD_SITE_AUTH,
                                IDD_SITE_SQL_CREDENTIALS, IDD_SITE_AZURE_CREDENTIALS,
                                IDD_SITE_REVIEW};
  static const DLGPROC procedures[] = {SiteSettingsPageProc,   ModuleSettingsPageProc,
                                       DatabasePageProc,       AuthPageProc,
                                       SqlCredentialsPageProc, AzureCredentialsPageProc,
                                       ReviewPageProc};
  static const wchar_t *const titles[] = {L"Site Settings.",
                                          L"Tavrin Settings.",
                                          L"Which SQL Server database should QVS connect to?",
                                          L"How should QVS be authenticated by SQL Server?",
                                          L"Enter SQL Server authentication credentials?",
                                          L"Enter Azure AD authentication credentials?",
                                          L"Review your QVS settings"};
  int result =
      RunWizard(instance, owner, L"Add New QVS Site", dialogs, procedures, titles, 7, this);
  failure_.Rethrow();
  return result;
}

IISSite AddSiteWizard::BuildSite() const {
  std::uint32_t sslFlags = protocol == L"https" && !hostName.empty() ? 1 : 0;
  return IISSite(name, ip, hostName, protocol, port, webroot, GetConnectionString(), tempDirectory,
                 sslFlags);
}

std::wstring AddSiteWizard::GetConnectionString() const { return odbc.BuildConnectionString(); }

bool AddSiteWizard::ConfirmFinish() const {
  if (DirectoryExists(webroot) && DirectoryExists(tempDirectory)) return true;
  if (ShowMessageBox(nullptr,
                     L"The specified webroot or temp directory does not exist.\n Create them now?",
                     L"Create Directories", MB_YESNO | MB_ICONWARNING) != IDYES)
    return false;
  const std::wstring *creating = nullptr;
  try {
    for (const std::wstring *directory : {&webroot, &tempDirectory}) {
      creating = directory;
      if (!DirectoryExists(*directory)) CreateDirectoryRecursive(*directory);
    }
  } catch (const QVS::BaseException &e) {
    ShowMessageBox(nullptr, e.message + DrivePathHint(*creating), kErrorBoxTitle, MB_ICONERROR);
    return false;
  }
  return true;
}

void AddSiteWizard::ValidateSiteSettings(HWND page) const {
  SiteSettingsCheck check =
      CheckSiteSettings(siteList, GetItemText(page, IDC_NAME), GetItemText(page, IDC_PORT),
                        GetItemText(page, IDC_HOST_NAME), GetItemText(page, IDC_WEBROOT));
  SetItemText(page, IDC_NAME_STATUS, check.nameStatus);
  SetItemText(page, IDC_BINDING_STATUS, check.bindingStatus);
  SetItemText(page, IDC_WEBROOT_STATUS, check.webrootStatus);
  SetWizardButtons(page, check.canContinue ? PSWIZB_NEXT : 0);
}

void AddSiteWizard::ValidateModuleSettings(HWND page) const {
  ModuleSettingsCheck check = CheckModuleSettings(GetItemText(page, IDC_TEMP_DIRECTORY));
  SetItemText(page, IDC_TEMP_STATUS, check.status);
  SetWizardButtons(page, check.canContinue ? PSWIZB_BACK | PSWIZB_NEXT : PSWIZB_BACK);
}

void AddSiteWizard::ValidateDatabase(HWND page) const {
  bool ok = CheckDatabase(GetItemText(page, IDC_SERVER), GetItemText(page, IDC_DATABASE));
  SetWizardButtons(page, ok ? PSWIZB_BACK | PSWIZB_NEXT : PSWIZB_BACK);
}

void AddSiteWizard::BrowseWebroot(HWND page) const {
  BrowseFolder(page, IDC_WEBROOT, L"Select Webroot Folder");
}

void AddSiteWizard::BrowseTemp(HWND page) const {
  BrowseFolder(page, IDC_TEMP_DIRECTORY, L"Select Temp Folder");
}

INT_PTR AddSiteWizard::OnCtlColorStatic(HDC dc, HWND control) const {
  switch (GetDlgCtrlID(control)) {
    case IDC_NAME_STATUS:
    case IDC_WEBROOT_STATUS:
    case IDC_BINDING_STATUS:
    case IDC_TEMP_STATUS: {
      // The wizard page keeps the text colour only when the page answers
      // with a brush of its own: the default one, with the colour set.
      INT_PTR brush = static_cast<INT_PTR>(DefWindowProcW(
          GetParent(control), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
          reinterpret_cast<LPARAM>(control)));
      SetTextColor(dc, statusColor);
      return brush;
    }
  }
  return FALSE;
}

INT_PTR CALLBACK AddSiteWizard::SiteSettingsPageProc(HWND page, UINT message, WPARAM wParam,
                                                     LPARAM lParam) {
  AddSiteWizard *wizard = Wizard(page, message, lParam);
  if (wizard == nullptr) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      SendDlgItemMessageW(page, IDC_BINDING_TYPE, CB_ADDSTRING, 0,
                          reinterpret_cast<LPARAM>(L"http"));
      SendDlgItemMessageW(page, IDC_BINDING_TYPE, CB_ADDSTRING, 0,
                          reinterpret_cast<LPARAM>(L"https"));
      try {
        MainDialog::FillIpCombo(page);
      } catch (const QVS::BaseException &e) {
        ShowMessageBox(page, e.message, kErrorBoxTitle, MB_ICONERROR);
      }
      return TRUE;
    case WM_CTLCOLORSTATIC:
      return wizard->OnCtlColorStatic(reinterpret_cast<HDC>(wParam),
                                      reinterpret_cast<HWND>(lParam));
  }
  if (IsClick(message, wParam, IDC_BROWSE_WEBROOT)) {
    wizard->BrowseWebroot(page);
    return TRUE;
  }
  if (IsEditChange(message, wParam)) {
    wizard->ValidateSiteSettings(page);
    return TRUE;
  }
  switch (NotificationCode(message, lParam)) {
    case PSN_SETACTIVE: {
      SetItemText(page, IDC_NAME, wizard->name);
      SetItemText(page, IDC_HOST_NAME, wizard->hostName);
      SetItemText(page, IDC_PORT, wizard->port);
      SetItemText(page, IDC_WEBROOT, wizard->webroot);
      const std::wstring ip = wizard->ip == L"*" || wizard->ip.empty() ? kAllUnassigned : wizard->ip;
      // Only a listed address equal to the text is selected: selecting by prefix would turn
      // a typed "192.0.2" into the first listed address that starts with it.
      LRESULT listed = SendDlgItemMessageW(page, IDC_IP_ADDRESS, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                           reinterpret_cast<LPARAM>(ip.c_str()));
      SendDlgItemMessageW(page, IDC_IP_ADDRESS, CB_SETCURSEL, listed == CB_ERR ? static_cast<WPARAM>(-1) : listed, 0);
      if (listed == CB_ERR) SetItemText(page, IDC_IP_ADDRESS, ip);
      SendDlgItemMessageW(page, IDC_BINDING_TYPE, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                          reinterpret_cast<LPARAM>(wizard->protocol.c_str()));
      wizard->ValidateSiteSettings(page);
      return SetPageResult(page, 0);
    }
    case PSN_KILLACTIVE:
      wizard->name = GetItemText(page, IDC_NAME);
      wizard->hostName = GetItemText(page, IDC_HOST_NAME);
      wizard->port = GetItemText(page, IDC_PORT);
      wizard->webroot = GetItemText(page, IDC_WEBROOT);
      wizard->ip = MainDialog::GetSelectedIp(page);
      wizard->protocol = GetItemText(page, IDC_BINDING_TYPE);
      return SetPageResult(page, FALSE);
  }
  return FALSE;
}

INT_PTR CALLBACK AddSiteWizard::ModuleSettingsPageProc(HWND page, UINT message, WPARAM wParam,
                                                       LPARAM lParam) {
  AddSiteWizard *wizard = Wizard(page, message, lParam);
  if (wizard == nullptr) return FALSE;
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_CTLCOLORSTATIC)
    return wizard->OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
  if (IsClick(message, wParam, IDC_BROWSE_TEMP_WIZARD)) {
    wizard->BrowseTemp(page);
    return TRUE;
  }
  if (IsEditChange(message, wParam)) {
    wizard->ValidateModuleSettings(page);
    return TRUE;
  }
  switch (NotificationCode(message, lParam)) {
    case PSN_SETACTIVE:
      SetItemText(page, IDC_TEMP_DIRECTORY, wizard->tempDirectory);
      wizard->ValidateModuleSettings(page);
      return SetPageResult(page, 0);
    case PSN_KILLACTIVE:
      wizard->tempDirectory = GetItemText(page, IDC_TEMP_DIRECTORY);
      return SetPageResult(page, FALSE);
  }
  return FALSE;
}

INT_PTR CALLBACK AddSiteWizard::DatabasePageProc(HWND page, UINT message, WPARAM wParam,
                                                 LPARAM lParam) {
  AddSiteWizard *wizard = Wizard(page, message, lParam);
  if (wizard == nullptr) return FALSE;
  if (message == WM_INITDIALOG) return TRUE;
  if (IsEditChange(message, wParam)) {
    wizard->ValidateDatabase(page);
    return TRUE;
  }
  switch (NotificationCode(message, lParam)) {
    case PSN_SETACTIVE:
      SetItemText(page, IDC_SERVER, wizard->odbc.server);
      SetItemText(page, IDC_DATABASE, wizard->odbc.database);
      wizard->ValidateDatabase(page);
      return SetPageResult(page, 0);
    case PSN_KILLACTIVE:
      wizard->odbc.server = GetItemText(page, IDC_SERVER);
      wizard->odbc.database = GetItemText(page, IDC_DATABASE);
      return SetPageResult(page, FALSE);
  }
  return FALSE;
}

INT_PTR CALLBACK AddSiteWizard::AuthPageProc(HWND page, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  AddSiteWizard *wizard = Wizard(page, message, lParam);
  if (wizard == nullptr) return FALSE;
  return AuthPageMessage(page, message, wParam, lParam, kPages, IDC_WARNING_ICON_SITE_AUTH,
                         wizard->odbc.authKind, wizard->failure_);
}

INT_PTR AddSiteWizard::CredentialsPage(HWND page, UINT message, WPARAM wParam, LPARAM lParam,
                                       int userId, int passwordId) {
  AddSiteWizard *wizard = Wizard(page, message, lParam);
  if (wizard == nullptr) return FALSE;
  auto setButtons = [&] {
    SetWizardButtons(page,
                     GetItemText(page, userId).empty() ? PSWIZB_BACK : PSWIZB_BACK | PSWIZB_NEXT);
  };
  if (message == WM_INITDIALOG) {
    try {
      SetWarningIcon(page, IDC_WARNING_ICON_CREDENTIALS);
    } catch (const QVS::BaseException &) {
      wizard->failure_.Keep(page);
    }
    return TRUE;
  }
  if (IsEditChange(message, wParam)) {
    setButtons();
    return TRUE;
  }
  switch (NotificationCode(message, lParam)) {
    case PSN_SETACTIVE:
      SetItemText(page, userId, wizard->odbc.user);
      SetItemText(page, passwordId, wizard->odbc.password);
      setButtons();
      return SetPageResult(page, 0);
    case PSN_KILLACTIVE:
      wizard->odbc.user = GetItemText(page, userId);
      wizard->odbc.password = GetItemText(page, passwordId);
      return SetPageResult(page, FALSE);
    case PSN_WIZNEXT:
      return SetPageResult(page, kPages.review);
    case PSN_WIZBACK:
      return SetPageResult(page, kPages.auth);
  }
  return FALSE;
}

INT_PTR CALLBACK AddSiteWizard::SqlCredentialsPageProc(HWND page, UINT message, WPARAM wParam,
                                                       LPARAM lParam) {
  return CredentialsPage(page, message, wParam, lParam, IDC_SQL_USER, IDC_SQL_PASSWORD);
}

INT_PTR CALLBACK AddSiteWizard::AzureCredentialsPageProc(HWND page, UINT message, WPARAM wParam,
                                                         LPARAM lParam) {
  return CredentialsPage(page, message, wParam, lParam, IDC_AZURE_USER, IDC_AZURE_PASSWORD);
}

INT_PTR CALLBACK AddSiteWizard::ReviewPageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
  AddSiteWizard *wizard = Wizard(page, message, lParam);
  if (wizard == nullptr) return FALSE;
  if (message == WM_INITDIALOG) return TRUE;
  switch (NotificationCode(message, lParam)) {
    case PSN_SETACTIVE: {
      IISSite site = wizard->BuildSite();
      SetItemText(page, IDC_NAME, site.name);
      SetItemText(page, IDC_WEBROOT, site.webroot);
      SetItemText(page, IDC_BINDING, BindingText(site));
      SetItemText(page, IDC_CONNECTION_STRING, wizard->GetConnectionString());
      SetItemText(page, IDC_TEMP_DIRECTORY, site.tempDirectory);
      SetWizardButtons(page, PSWIZB_BACK | PSWIZB_FINISH);
      return SetPageResult(page, 0);
    }
    case PSN_WIZBACK:
      return SetPageResult(page, PageBeforeReview(kPages, wizard->odbc.authKind));
    case PSN_WIZFINISH:
      return SetPageResult(page, wizard->ConfirmFinish() ? FALSE : TRUE);
  }
  return FALSE;
}
