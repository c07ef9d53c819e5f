// Site records, binding texts and the site list's lookups.
#include <gtest/gtest.h>

#include "IISSite.h"

namespace {

TEST(IISSite, BindingTexts) {
  struct Case {
    const wchar_t *binding, *ip, *port, *host;
  } cases[] = {
      {L"*:8080:", L"*", L"8080", L""},
      {L"10.0.0.7:443:sync.example.com", L"10.0.0.7", L"443", L"sync.example.com"},
      {L"*:443", L"*", L"443", L""},  // no host part: the port is not taken as host name
      {L"8080", L"8080", L"8080", L"8080"},
      {L"", L"", L"", L""},
  };
  for (const auto &c : cases) {
    IISSite site(L"s", c.binding, L"http", L"C:\\w", L"", L"", 0, false);
    EXPECT_EQ(site.ip, c.ip) << c.binding;
    EXPECT_EQ(site.port, c.port) << c.binding;
    EXPECT_EQ(site.hostName, c.host) << c.binding;
  }
  EXPECT_EQ(IISSite(L"s", L"10.0.0.7:443:sync.example.com", L"https", L"", L"", L"", 1, false)
                .GetBindingInformation(),
            L"10.0.0.7:443:sync.example.com");
}

TEST(IISSite, ConstructorsAndEquality) {
  IISSite blank;
  EXPECT_EQ(blank.ip, L"*");
  EXPECT_FALSE(blank.isModuleSite);

  IISSite made(L"a", L"*", L"h", L"https", L"443", L"C:\\w", L"odbc", L"C:\\t", 1);
  EXPECT_EQ(made.appPool, L"a");
  EXPECT_EQ(made.sslFlags, L"1");
  EXPECT_TRUE(made.isModuleSite);
  EXPECT_EQ(made.GetBindingInformation(), L"*:443:h");

  IISSite other = made;
  other.appPool = L"a7";
  other.isModuleSite = false;
  EXPECT_TRUE(other == made);
  for (std::wstring IISSite::*field :
       {&IISSite::name, &IISSite::ip, &IISSite::hostName, &IISSite::protocol, &IISSite::port,
        &IISSite::webroot, &IISSite::odbcConnectionString, &IISSite::tempDirectory,
        &IISSite::sslFlags}) {
    IISSite changed = made;
    changed.*field += L"x";
    EXPECT_FALSE(changed == made);
  }
}

TEST(SiteList, OrderAndLookups) {
  SiteList list;
  list[L"b"] = IISSite(L"b", L"*", L"", L"http", L"80", L"C:\\b", L"", L"", 0);
  list[L"B"] = IISSite(L"B", L"10.0.0.1", L"", L"http", L"81", L"C:\\B\\", L"", L"", 0);
  list[L"a"] = IISSite(L"a", L"10.0.0.2", L"host", L"http", L"80", L"C:\\a", L"", L"", 0);
  // Code-unit order: upper case before lower case.
  std::vector<std::wstring> names;
  for (const auto &[name, site] : list.sites) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"B", L"a", L"b"}));

  EXPECT_TRUE(list.NameInUse(L"A"));
  EXPECT_FALSE(list.NameInUse(L"c"));
  EXPECT_TRUE(list.BindingInUse(L"80", L""));       // whatever the address
  EXPECT_TRUE(list.BindingInUse(L"80", L"host"));
  EXPECT_FALSE(list.BindingInUse(L"80", L"HOST"));  // host names compare exactly
  EXPECT_TRUE(list.WebrootInUse(L"C:\\b"));
  EXPECT_FALSE(list.WebrootInUse(L"C:\\b\\"));
  EXPECT_FALSE(list.WebrootInUse(L"c:\\b"));

  EXPECT_EQ(list.Remove(L"b"), 1u);
  EXPECT_EQ(list.Remove(L"b"), 0u);
  EXPECT_EQ(list.Count(), 2u);
}

}  // namespace
