// The ODBC connection string of a module site: its model, the string built
// from it, and the five-page wizard that fills the model.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct OdbcSettings {
  // Authentication kinds.
  static constexpr std::int32_t kSqlServer = 0;
  static constexpr std::int32_t kWindows = 1;
  static constexpr std::int32_t kAzurePassword = 2;
  static constexpr std::int32_t kAzureIntegrated = 3;
  // No kind chosen yet.
  static constexpr std::int32_t kNone = -1;

  std::wstring server;
  std::wstring database;
  std::int32_t authKind = kNone;
  std::wstring user;
  std::wstring password;

  std::wstring BuildConnectionString() const;
};

// The wizard pages that the authentication choice leads to and from.
struct AuthPages {
  int auth;
  int sqlCredentials;
  int azureCredentials;
  int review;
};
// The kind an authentication command link chooses, kNone for other controls.
std::int32_t AuthKindOfLink(int controlId);
// The page after the authentication page for a kind.
int PageAfterAuth(const AuthPages &pages, std::int32_t kind);
// The page that Back from the review leads to for a kind.
int PageBeforeReview(const AuthPages &pages, std::int32_t kind);

struct PageFailure;
// A message to the authentication page of either wizard: the notes and
// the warning icon, Back only, and the links that set the kind and move on.
INT_PTR AuthPageMessage(HWND page, UINT message, WPARAM wParam, LPARAM lParam,
                        const AuthPages &pages, int warningIconId, std::int32_t &kind,
                        PageFailure &failure);

class OdbcWizard {
 public:
  static const AuthPages kPages;

  // 1 when the user finished, 0 when cancelled.
  static int Run(OdbcSettings &model, HINSTANCE instance, HWND owner);
  static std::wstring GetConnectionString(const OdbcSettings &model);

  static INT_PTR CALLBACK ServerPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK AuthPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK SqlCredentialsPageProc(HWND page, UINT message, WPARAM wParam,
                                                 LPARAM lParam);
  static INT_PTR CALLBACK AzureCredentialsPageProc(HWND page, UINT message, WPARAM wParam,
                                                   LPARAM lParam);
  static INT_PTR CALLBACK ReviewPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
};
