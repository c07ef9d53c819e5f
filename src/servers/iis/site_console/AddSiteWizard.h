// The seven-page wizard that collects a new module site: site settings,
// the module's temp directory and the SQL Server connection.
#pragma once

#include <windows.h>

#include <string>

#include "IISSite.h"
#include "OdbcWizard.h"
#include "WizardPages.h"

// What the site-settings page shows for the texts typed into it.
struct SiteSettingsCheck {
  std::wstring nameStatus;
  std::wstring webrootStatus;
  std::wstring bindingStatus;
  bool canContinue;
};
SiteSettingsCheck CheckSiteSettings(const SiteList &sites, const std::wstring &name,
                                    const std::wstring &port, const std::wstring &hostName,
                                    const std::wstring &webroot);

// What the module-settings page shows for a temp directory.
struct ModuleSettingsCheck {
  std::wstring status;
  bool canContinue;
};
ModuleSettingsCheck CheckModuleSettings(const std::wstring &tempDirectory);

bool CheckDatabase(const std::wstring &server, const std::wstring &database);

// What a failed directory creation adds to its message when the path is no
// drive (C:\...) or UNC path, such as a Linux path typed under Wine; empty
// for those.
std::wstring DrivePathHint(const std::wstring &path);

class AddSiteWizard {
 public:
  static const AuthPages kPages;

  AddSiteWizard(const SiteList &sites, bool firstSite);

  // 1 when the user finished, 0 when cancelled.
  int Run(HINSTANCE instance, HWND owner);
  IISSite BuildSite() const;
  std::wstring GetConnectionString() const;
  // Finish: true when the wizard may close. Missing directories are
  // created when the user agrees; otherwise, or when creating them fails,
  // the wizard stays open, since the site cannot be created without them.
  bool ConfirmFinish() const;

  SiteList siteList;
  OdbcSettings odbc;
  COLORREF statusColor = RGB(255, 0, 0);
  std::wstring name, ip, protocol = L"http", hostName, port, webroot, tempDirectory;

  static INT_PTR CALLBACK SiteSettingsPageProc(HWND page, UINT message, WPARAM wParam,
                                               LPARAM lParam);
  static INT_PTR CALLBACK ModuleSettingsPageProc(HWND page, UINT message, WPARAM wParam,
                                                 LPARAM lParam);
  static INT_PTR CALLBACK DatabasePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK AuthPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK SqlCredentialsPageProc(HWND page, UINT message, WPARAM wParam,
                                                 LPARAM lParam);
  static INT_PTR CALLBACK AzureCredentialsPageProc(HWND page, UINT message, WPARAM wParam,
                                                   LPARAM lParam);
  static INT_PTR CALLBACK ReviewPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  void ValidateSiteSettings(HWND page) const;
  void ValidateModuleSettings(HWND page) const;
  void ValidateDatabase(HWND page) const;
  void BrowseWebroot(HWND page) const;
  void BrowseTemp(HWND page) const;
  INT_PTR OnCtlColorStatic(HDC dc, HWND control) const;
  static INT_PTR CredentialsPage(HWND page, UINT message, WPARAM wParam, LPARAM lParam,
                                 int userId, int passwordId);

  PageFailure failure_;
};
