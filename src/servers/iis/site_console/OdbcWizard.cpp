#include "OdbcWizard.h"

#include "Helpers.h"
#include "WizardPages.h"
#include "resource.h"

namespace {

// ODBC's rule for a braced value: a "}" inside it is written twice.
// Without it a "}" in a password ends the value early and what follows
// is read as further attributes.
std::wstring Braced(const std::wstring &value) {
  std::wstring out = L"{";
  for (wchar_t c : value) {
    out += c;
    if (c == L'}') out += L'}';
  }
  return out + L"}";
}

const wchar_t kAzureTail[] =
    L"Encrypt=yes;TrustServerCertificate=no;Connection Timeout=30;Authentication=";

struct OdbcRun {
  OdbcSettings *model;
  PageFailure failure;
};

OdbcRun *RunOf(HWND page, UINT message, LPARAM lParam) {
  return PageContext<OdbcRun>(page, message, lParam);
}

const NMHDR *Notification(UINT message, LPARAM lParam) {
  return message == WM_NOTIFY ? reinterpret_cast<const NMHDR *>(lParam) : nullptr;
}

// The two credentials pages differ only in the texts around the edits.
INT_PTR CredentialsPage(HWND page, UINT message, LPARAM lParam) {
  OdbcRun *run = RunOf(page, message, lParam);
  if (run == nullptr) return FALSE;
  OdbcSettings &model = *run->model;
  if (message == WM_INITDIALOG) {
    try {
      SetWarningIcon(page, IDC_WARNING_ICON_ODBC_CREDENTIALS);
    } catch (const QVS::BaseException &) {
      run->failure.Keep(page);
    }
    return TRUE;
  }
  const NMHDR *notification = Notification(message, lParam);
  if (notification == nullptr) return FALSE;
  switch (notification->code) {
    case PSN_SETACTIVE:
      SetItemText(page, IDC_ODBC_USER, model.user);
      SetItemText(page, IDC_ODBC_PASSWORD, model.password);
      SetWizardButtons(page, PSWIZB_BACK | PSWIZB_NEXT);
      return SetPageResult(page, 0);
    case PSN_KILLACTIVE:
      model.user = GetItemText(page, IDC_ODBC_USER);
      model.password = GetItemText(page, IDC_ODBC_PASSWORD);
      return SetPageResult(page, FALSE);
    case PSN_WIZNEXT:
      return SetPageResult(page, OdbcWizard::kPages.review);
    case PSN_WIZBACK:
      return SetPageResult(page, OdbcWizard::kPages.auth);
  }
  return FALSE;
}

}  // namespace

std::wstring OdbcSettings::BuildConnectionString() const {
  bool azure = authKind == kAzurePassword || authKind == kAzureIntegrated;
  std::wstring text = azure ? L"Driver={ODBC Driver 17 for SQL Server};Server=" +
                                  Braced(L"tcp:" + server + L",1433") + L";"
                            : L"Driver={SQL Server Native Client 11.0};Server=" + Braced(server) +
                                  L";";
  text += L"Database=" + Braced(database) + L";";
  switch (authKind) {
    case kSqlServer:
      text += L"UID=" + Braced(user) + L";PWD=" + Braced(password);
      break;
    case kWindows:
      text += L"Trusted_Connection={yes}";
      break;
    case kAzurePassword:
      text += L"UID=" + Braced(user) + L";PWD=" + Braced(password) + L";" + kAzureTail +
              L"ActiveDirectoryPassword";
      break;
    case kAzureIntegrated:
      text += std::wstring(kAzureTail) + L"ActiveDirectoryIntegrated";
      break;
  }
  return text;
}

std::int32_t AuthKindOfLink(int controlId) {
  switch (controlId) {
    case IDC_LINK_SQL_SERVER:
      return OdbcSettings::kSqlServer;
    case IDC_LINK_WINDOWS:
      return OdbcSettings::kWindows;
    case IDC_LINK_AZURE_PASSWORD:
      return OdbcSettings::kAzurePassword;
    case IDC_LINK_AZURE_INTEGRATED:
      return OdbcSettings::kAzureIntegrated;
  }
  return OdbcSettings::kNone;
}

int PageAfterAuth(const AuthPages &pages, std::int32_t kind) {
  if (kind == OdbcSettings::kSqlServer) return pages.sqlCredentials;
  if (kind == OdbcSettings::kAzurePassword) return pages.azureCredentials;
  return pages.review;
}

int PageBeforeReview(const AuthPages &pages, std::int32_t kind) {
  if (kind == OdbcSettings::kSqlServer) return pages.sqlCredentials;
  if (kind == OdbcSettings::kAzurePassword) return pages.azureCredentials;
  return pages.auth;
}

INT_PTR AuthPageMessage(HWND page, UINT message, WPARAM wParam, LPARAM lParam,
                        const AuthPages &pages, int warningIconId, std::int32_t &kind,
                        PageFailure &failure) {
  switch (message) {
    case WM_INITDIALOG:
      SetAuthLinkNotes(page);
      try {
        SetWarningIcon(page, warningIconId);
      } catch (const QVS::BaseException &) {
        failure.Keep(page);
      }
      return TRUE;
    case WM_COMMAND: {
      std::int32_t chosen = AuthKindOfLink(LOWORD(wParam));
      if (HIWORD(wParam) != BN_CLICKED || chosen == OdbcSettings::kNone) return FALSE;
      kind = chosen;
      GoToPage(page, PageAfterAuth(pages, chosen));
      return TRUE;
    }
    case WM_NOTIFY:
      if (reinterpret_cast<const NMHDR *>(lParam)->code == PSN_SETACTIVE) {
        SetWizardButtons(page, PSWIZB_BACK);
        return SetPageResult(page, 0);
      }
      return FALSE;
  }
  return FALSE;
}

const AuthPages OdbcWizard::kPages = {IDD_ODBC_AUTH, IDD_ODBC_SQL_CREDENTIALS,
                                      IDD_ODBC_AZURE_CREDENTIALS, IDD_ODBC_REVIEW};

int OdbcWizard::Run(OdbcSettings &model, HINSTANCE instance, HWND owner) {
  static const int dialogs[] = {IDD_ODBC_SERVER, IDD_ODBC_AUTH, IDD_ODBC_SQL_CREDENTIALS,
                                IDD_ODBC_AZURE_CREDENTIALS, IDD_ODBC_REVIEW};
  static const DLGPROC procedures[] = {ServerPageProc, AuthPageProc, SqlCredentialsPageProc,
                                       AzureCredentialsPageProc, ReviewPageProc};
  static const wchar_t *const titles[] = {
      L"Which SQL Server database should QVS connect to?",
      L"How should QVS be authenticated by SQL Server?",
      L"Enter SQL Server authentication credentials", L"Enter Azure AD authentication credentials",
      L"Review ODBC connection string"};
  OdbcRun run{&model, {}};
  int result = RunWizard(instance, owner, L"Build ODBC Connection String", dialogs, procedures,
                         titles, 5, &run);
  run.failure.Rethrow();
  return result;
}

std::wstring OdbcWizard::GetConnectionString(const OdbcSettings &model) {
  return model.BuildConnectionString();
}

INT_PTR CALLBACK OdbcWizard::ServerPageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
  OdbcRun *run = RunOf(page, message, lParam);
  if (run == nullptr) return FALSE;
  if (message == WM_INITDIALOG) return TRUE;
  const NMHDR *notification = Notification(message, lParam);
  if (notification == nullptr) return FALSE;
  switch (notification->code) {
    case PSN_SETACTIVE:
      SetItemText(page, IDC_ODBC_SERVER, run->model->server);
      SetItemText(page, IDC_ODBC_DATABASE, run->model->database);
      SetWizardButtons(page, PSWIZB_NEXT);
      return SetPageResult(page, 0);
    case PSN_KILLACTIVE:
      run->model->server = GetItemText(page, IDC_ODBC_SERVER);
      run->model->database = GetItemText(page, IDC_ODBC_DATABASE);
      return SetPageResult(page, FALSE);
  }
  return FALSE;
}

INT_PTR CALLBACK OdbcWizard::AuthPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  OdbcRun *run = RunOf(page, message, lParam);
  if (run == nullptr) return FALSE;
  return AuthPageMessage(page, message, wParam, lParam, kPages, IDC_WARNING_ICON_ODBC_AUTH,
                         run->model->authKind, run->failure);
}

INT_PTR CALLBACK OdbcWizard::SqlCredentialsPageProc(HWND page, UINT message, WPARAM,
                                                    LPARAM lParam) {
  return CredentialsPage(page, message, lParam);
}

INT_PTR CALLBACK OdbcWizard::AzureCredentialsPageProc(HWND page, UINT message, WPARAM,
                                                      LPARAM lParam) {
  return CredentialsPage(page, message, lParam);
}

INT_PTR CALLBACK OdbcWizard::ReviewPageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
  OdbcRun *run = RunOf(page, message, lParam);
  if (run == nullptr) return FALSE;
  if (message == WM_INITDIALOG) return TRUE;
  const NMHDR *notification = Notification(message, lParam);
  if (notification == nullptr) return FALSE;
  switch (notification->code) {
    case PSN_SETACTIVE:
      SetItemText(page, IDC_CONNECTION_STRING, GetConnectionString(*run->model));
      SetWizardButtons(page, PSWIZB_BACK | PSWIZB_FINISH);
      return SetPageResult(page, 0);
    case PSN_WIZBACK:
      return SetPageResult(page, PageBeforeReview(kPages, run->model->authKind));
  }
  return FALSE;
}
