// The administrator's window: a property sheet with the Sites page, which
// lists the machine's sites, edits the two settings of a module site and
// starts the add-site and connection-string wizards.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "IISSite.h"

extern const wchar_t kAllUnassigned[];  // "All Unassigned"

// The binding as the tool shows it: "ip:port:host (protocol)".
std::wstring BindingText(const IISSite &site);
// The machine's IPv4 addresses, loopback and link-local ones left out.
std::vector<std::wstring> ListIPv4Addresses();
// Whether a numeric address is offered for a binding.
bool IsOfferedAddress(const std::string &address);

class MainDialog {
 public:
  // Shows the sheet modally; true when it ended with OK.
  bool Run(HINSTANCE instance);

  static INT_PTR CALLBACK SitesPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
  // The IP combo box (1077) of a dialog: "All Unassigned" and the addresses.
  static BOOL FillIpCombo(HWND dialog);
  // "*" for "All Unassigned", any other text as it stands.
  static std::wstring GetSelectedIp(HWND dialog);

  SiteList sites;

 private:
  void OnInitPage(HWND page);
  bool InitListColumns(HWND page);
  bool RefreshList(HWND page);
  void ShowSiteDetails(HWND page, const IISSite *site);
  // The list position of the selected row, -1 when none.
  int SelectedPosition(HWND page) const;
  IISSite ReadPanel(HWND page);
  bool IsSelectedSiteEdited(HWND page);
  void OnEditChange(HWND page);
  INT_PTR OnKillActive(HWND page);
  INT_PTR OnApply(HWND page);
  void OnAddSite(HWND page, bool firstSite, HWND errorOwner);
  void OnBuildConnectionString(HWND page);
  void OnBrowseTemp(HWND page);
  void OnRefresh(HWND page);
  INT_PTR OnCtlColorStatic(HDC dc, HWND control) const;
  INT_PTR OnNotify(HWND page, const NMHDR *notification);

  HINSTANCE instance_ = nullptr;
  COLORREF statusColor_ = RGB(0, 0, 0);
};
