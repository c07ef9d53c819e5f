// Test helpers: a logon walked the way the module's Windows logon walks it
// (LogonUserW, the group-size probe, the fetch, a name per group with
// unmapped groups skipped), and the answers every logon back end must give.
#ifndef TESTS_WINSTANDIN_LOGON_WALK_H
#define TESTS_WINSTANDIN_LOGON_WALK_H

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "winstandin/logon.h"

struct LogonWalk {
  bool ok = false;
  std::string failure;  // "logon 1326", "size 8", "fetch 1450", "lookup 1789"
  std::vector<std::string> groups;
};

inline std::u16string u16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

inline LogonWalk walk_logon(const std::u16string& user, const std::u16string& domain,
                            const std::u16string& password) {
  LogonWalk walk;
  HANDLE token = reinterpret_cast<HANDLE>(1);
  if (!LogonUserW(user.c_str(), domain.c_str(), password.c_str(),
                  LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token)) {
    EXPECT_EQ(token, nullptr) << "a failed logon hands out no token";
    walk.failure = "logon " + std::to_string(GetLastError());
    return walk;
  }
  walk.ok = true;
  DWORD size = 0;
  if (GetTokenInformation(token, TokenGroups, nullptr, 0, &size) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    walk.failure = "size " + std::to_string(GetLastError());
  } else if (auto* groups = static_cast<TOKEN_GROUPS*>(GlobalAlloc(GPTR, size));
             !GetTokenInformation(token, TokenGroups, groups, size, &size)) {
    walk.failure = "fetch " + std::to_string(GetLastError());
    GlobalFree(groups);
  } else {
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
      char name[265], domain_name[265];
      DWORD name_length = sizeof name, domain_length = sizeof domain_name;
      SID_NAME_USE use;
      if (LookupAccountSidA(nullptr, groups->Groups[i].Sid, name, &name_length,
                            domain_name, &domain_length, &use)) {
        walk.groups.emplace_back(name, name_length);
      } else if (GetLastError() != ERROR_NONE_MAPPED) {
        walk.failure = "lookup " + std::to_string(GetLastError());
        break;
      }
    }
    GlobalFree(groups);
  }
  EXPECT_TRUE(CloseHandle(token));
  return walk;
}

// Accounts a back end under test offers: `user` has the password `password`,
// belongs to `groups` (in token order, after a group without a name), and
// `expired_user` has the same password but an expired account.
struct StandardAccounts {
  std::string domain;
  std::string user;
  std::u16string password;
  std::vector<std::string> groups;
  std::string expired_user;
};

// The answers every back end gives, so that tests on the test-account file
// stand for real accounts.
inline void expect_standard_answers(const StandardAccounts& a) {
  const std::u16string domain = u16(a.domain);
  const std::u16string user = u16(a.user);

  LogonWalk right = walk_logon(user, domain, a.password);
  EXPECT_TRUE(right.ok) << right.failure;
  EXPECT_EQ(right.failure, "");
  EXPECT_EQ(right.groups, a.groups);
  std::string lower_domain = a.domain;
  for (char& c : lower_domain) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_TRUE(walk_logon(user, u16(lower_domain), a.password).ok) << "domains ignore case";

  struct Case {
    const char* what;
    std::u16string user, domain, password;
    const char* failure;
  } cases[] = {
      {"wrong password", user, domain, a.password + u"x", "logon 1326"},
      {"password prefix", user, domain, a.password.substr(0, a.password.size() - 1), "logon 1326"},
      {"empty password", user, domain, u"", "logon 1326"},
      {"unknown user", u16(a.user + "nobody"), domain, a.password, "logon 1326"},
      {"unknown domain", user, u16(a.domain + "X"), a.password, "logon 1355"},
      {"expired account", u16(a.expired_user), domain, a.password, "logon 1793"},
      {"unpaired surrogate", user, domain, a.password + u"\xD800", "logon 1326"},
  };
  for (const auto& c : cases) {
    LogonWalk walk = walk_logon(c.user, c.domain, c.password);
    EXPECT_FALSE(walk.ok) << c.what;
    EXPECT_EQ(walk.failure, c.failure) << c.what;
  }
}

#endif
