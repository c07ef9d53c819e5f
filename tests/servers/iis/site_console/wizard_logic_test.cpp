// The wizards' logic without windows: connection strings, the page order
// of the authentication choice, the add-site checks, the record built,
// and what Finish does about missing directories.
#include <gtest/gtest.h>

#include "AddSiteWizard.h"
#include "Application.h"
#include "MainDialog.h"
#include "OdbcWizard.h"
#include "config_fixture.h"
#include "resource.h"

namespace {

OdbcSettings Model(std::int32_t kind, const std::wstring &user = L"sa",
                   const std::wstring &password = L"pw") {
  OdbcSettings model;
  model.server = L"db\\SQLEXPRESS";
  model.database = L"sync";
  model.authKind = kind;
  model.user = user;
  model.password = password;
  return model;
}

TEST(ConnectionString, EachAuthenticationKind) {
  const struct {
    std::int32_t kind;
    const wchar_t *expected;
  } cases[] = {
      {0, L"Driver={SQL Server Native Client 11.0};Server={db\\SQLEXPRESS};Database={sync};"
          L"UID={sa};PWD={pw}"},
      {1, L"Driver={SQL Server Native Client 11.0};Server={db\\SQLEXPRESS};Database={sync};"
          L"Trusted_Connection={yes}"},
      {2, L"Driver={ODBC Driver 17 for SQL Server};Server={tcp:db\\SQLEXPRESS,1433};"
          L"Database={sync};UID={sa};PWD={pw};Encrypt=yes;TrustServerCertificate=no;"
          L"Connection Timeout=30;Authentication=ActiveDirectoryPassword"},
      {3, L"Driver={ODBC Driver 17 for SQL Server};Server={tcp:db\\SQLEXPRESS,1433};"
          L"Database={sync};Encrypt=yes;TrustServerCertificate=no;Connection Timeout=30;"
          L"Authentication=ActiveDirectoryIntegrated"},
      // No kind chosen: the start of the string and no credentials.
      {OdbcSettings::kNone,
       L"Driver={SQL Server Native Client 11.0};Server={db\\SQLEXPRESS};Database={sync};"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(Model(c.kind).BuildConnectionString(), c.expected) << "kind " << c.kind;
  EXPECT_EQ(OdbcSettings().authKind, OdbcSettings::kNone);
}

TEST(ConnectionString, ClosingBracesInValuesAreDoubled) {
  // Unescaped, this password would end its value and switch on Windows
  // authentication.
  OdbcSettings model = Model(0, L"a}b", L"x};Trusted_Connection={yes");
  model.database = L"d}";
  EXPECT_EQ(model.BuildConnectionString(),
            L"Driver={SQL Server Native Client 11.0};Server={db\\SQLEXPRESS};Database={d}}};"
            L"UID={a}}b};PWD={x}};Trusted_Connection={yes}");
  model.authKind = 3;
  model.server = L"s}";
  EXPECT_EQ(model.BuildConnectionString().rfind(
                L"Driver={ODBC Driver 17 for SQL Server};Server={tcp:s}},1433};", 0),
            0u);
}

TEST(AuthNavigation, LinksKindsAndPages) {
  const struct {
    int link;
    std::int32_t kind;
    int odbcNext, odbcBack, siteNext, siteBack;
  } cases[] = {
      {IDC_LINK_SQL_SERVER, 0, IDD_ODBC_SQL_CREDENTIALS, IDD_ODBC_SQL_CREDENTIALS,
       IDD_SITE_SQL_CREDENTIALS, IDD_SITE_SQL_CREDENTIALS},
      {IDC_LINK_WINDOWS, 1, IDD_ODBC_REVIEW, IDD_ODBC_AUTH, IDD_SITE_REVIEW, IDD_SITE_AUTH},
      {IDC_LINK_AZURE_PASSWORD, 2, IDD_ODBC_AZURE_CREDENTIALS, IDD_ODBC_AZURE_CREDENTIALS,
       IDD_SITE_AZURE_CREDENTIALS, IDD_SITE_AZURE_CREDENTIALS},
      {IDC_LINK_AZURE_INTEGRATED, 3, IDD_ODBC_REVIEW, IDD_ODBC_AUTH, IDD_SITE_REVIEW,
       IDD_SITE_AUTH},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.link);
    EXPECT_EQ(AuthKindOfLink(c.link), c.kind);
    EXPECT_EQ(PageAfterAuth(OdbcWizard::kPages, c.kind), c.odbcNext);
    EXPECT_EQ(PageBeforeReview(OdbcWizard::kPages, c.kind), c.odbcBack);
    EXPECT_EQ(PageAfterAuth(AddSiteWizard::kPages, c.kind), c.siteNext);
    EXPECT_EQ(PageBeforeReview(AddSiteWizard::kPages, c.kind), c.siteBack);
  }
  EXPECT_EQ(AuthKindOfLink(IDC_ADD_SITE), OdbcSettings::kNone);
}

class AddSiteChecks : public TempDir {
 protected:
  SiteList sites;
  std::wstring existing;

  void SetUp() override {
    TempDir::SetUp();
    existing = path + L"\\www";
    CreateDirectoryW(existing.c_str(), nullptr);
    sites[L"Default Web Site"] = IISSite(L"Default Web Site", L"10.0.0.5:80:", L"http", existing,
                                        L"", L"", 0, false);
  }
};

TEST_F(AddSiteChecks, SiteSettings) {
  const std::wstring missing = path + L"\\new";
  const struct {
    const wchar_t *name, *port, *host;
    std::wstring webroot;
    const wchar_t *nameStatus, *bindingStatus, *webrootStatus;
    bool canContinue;
  } cases[] = {
      {L"sync", L"8080", L"", path, L"", L"", L"", true},
      {L"", L"", L"", path, L"Required", L"Required", L"", false},
      // Names compare without letter case; a binding is taken by port and
      // host name whatever the address.
      {L"default WEB site", L"80", L"", path, L"Name already in use", L"In Use", L"", false},
      {L"sync", L"80", L"h.example.com", path, L"", L"", L"", true},
      // A missing (or empty) webroot is created later; another site's is refused.
      {L"sync", L"8080", L"", missing, L"", L"", L"Directory does not exist. Will be created.",
       true},
      {L"sync", L"8080", L"", L"", L"", L"", L"Directory does not exist. Will be created.", true},
      {L"sync", L"8080", L"", existing, L"", L"", L"Webroot belongs to another site.", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(Narrow(std::wstring(c.name) + L"|" + c.port + L"|" + c.webroot));
    SiteSettingsCheck check = CheckSiteSettings(sites, c.name, c.port, c.host, c.webroot);
    EXPECT_EQ(check.nameStatus, c.nameStatus);
    EXPECT_EQ(check.bindingStatus, c.bindingStatus);
    EXPECT_EQ(check.webrootStatus, c.webrootStatus);
    EXPECT_EQ(check.canContinue, c.canContinue);
  }
}

TEST_F(AddSiteChecks, ModuleSettingsAndDatabase) {
  ModuleSettingsCheck empty = CheckModuleSettings(L"");
  EXPECT_EQ(empty.status, L"Required");
  EXPECT_FALSE(empty.canContinue);
  ModuleSettingsCheck missing = CheckModuleSettings(path + L"\\temp");
  EXPECT_EQ(missing.status, L"Directory does not exist. Will be created.");
  EXPECT_TRUE(missing.canContinue);
  ModuleSettingsCheck present = CheckModuleSettings(path);
  EXPECT_EQ(present.status, L"");
  EXPECT_TRUE(present.canContinue);

  EXPECT_TRUE(CheckDatabase(L"s", L"d"));
  EXPECT_FALSE(CheckDatabase(L"", L"d"));
  EXPECT_FALSE(CheckDatabase(L"s", L""));
}

TEST_F(AddSiteChecks, NewWizardState) {
  AddSiteWizard first(sites, true);
  EXPECT_EQ(first.name, L"tavrin");
  EXPECT_EQ(first.port, L"8080");
  EXPECT_EQ(first.ip, L"*");
  EXPECT_EQ(first.protocol, L"http");
  EXPECT_EQ(first.webroot, g_defaultWebroot);
  EXPECT_EQ(first.tempDirectory, g_defaultTempDirectory);
  EXPECT_EQ(first.odbc.authKind, OdbcSettings::kNone);
  EXPECT_TRUE(first.siteList.NameInUse(L"Default Web Site"));

  AddSiteWizard other(sites, false);
  EXPECT_EQ(other.name, L"");
  EXPECT_EQ(other.port, L"");
  EXPECT_EQ(other.protocol, L"http");
}

TEST_F(AddSiteChecks, BuildSite) {
  AddSiteWizard wizard(sites, false);
  wizard.name = L"sync";
  wizard.ip = L"10.0.0.5";
  wizard.port = L"443";
  wizard.webroot = existing;
  wizard.tempDirectory = path;
  wizard.odbc = Model(1);
  const struct {
    const wchar_t *protocol, *host, *sslFlags;
  } cases[] = {{L"https", L"sync.example.com", L"1"},
               {L"https", L"", L"0"},
               {L"http", L"sync.example.com", L"0"}};
  for (const auto &c : cases) {
    wizard.protocol = c.protocol;
    wizard.hostName = c.host;
    IISSite site = wizard.BuildSite();
    EXPECT_EQ(site.sslFlags, c.sslFlags) << Narrow(c.protocol) << " " << Narrow(c.host);
    EXPECT_EQ(site.GetBindingInformation(), L"10.0.0.5:443:" + std::wstring(c.host));
  }
  IISSite site = wizard.BuildSite();
  EXPECT_EQ(site.appPool, L"sync");
  EXPECT_TRUE(site.isModuleSite);
  EXPECT_EQ(site.webroot, existing);
  EXPECT_EQ(site.tempDirectory, path);
  EXPECT_EQ(site.odbcConnectionString, Model(1).BuildConnectionString());
  EXPECT_EQ(wizard.GetConnectionString(), site.odbcConnectionString);
}

class FinishChecks : public AddSiteChecks {
 protected:
  AddSiteWizard wizard{sites, false};
  MessageBoxSink previous = nullptr;

  void SetUp() override {
    AddSiteChecks::SetUp();
    g_boxes.clear();
    previous = SetMessageBoxSink(RecordBox);
    wizard.webroot = path + L"\\a\\b\\www";
    wizard.tempDirectory = path + L"\\c\\temp";
  }
  void TearDown() override {
    SetMessageBoxSink(previous);
    AddSiteChecks::TearDown();
  }
};

TEST_F(FinishChecks, ExistingDirectoriesFinishWithoutAsking) {
  wizard.webroot = existing;
  wizard.tempDirectory = path;
  EXPECT_TRUE(wizard.ConfirmFinish());
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(FinishChecks, YesCreatesBothWithTheirParents) {
  g_boxAnswer = IDYES;
  EXPECT_TRUE(wizard.ConfirmFinish());
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0],
            L"Create Directories: The specified webroot or temp directory does not exist.\n "
            L"Create them now?");
  EXPECT_TRUE(DirectoryExists(wizard.webroot));
  EXPECT_TRUE(DirectoryExists(wizard.tempDirectory));
}

TEST_F(FinishChecks, NoOrAFailedCreationKeepsTheWizardOpen) {
  g_boxAnswer = IDNO;
  EXPECT_FALSE(wizard.ConfirmFinish());
  EXPECT_FALSE(DirectoryExists(wizard.webroot));

  // A file in the way of the temp directory: the error is shown and the
  // wizard stays, so that the user can correct the path.
  g_boxAnswer = IDYES;
  g_boxes.clear();
  WriteText(path + L"\\c", "x");
  EXPECT_FALSE(wizard.ConfirmFinish());
  ASSERT_EQ(g_boxes.size(), 2u);
  EXPECT_EQ(g_boxes[1].rfind(L"QVS Configuration Error: A Windows system call failed.", 0), 0u)
      << Narrow(g_boxes[1]);
  EXPECT_EQ(g_boxes[1].find(L"drive path"), std::wstring::npos) << Narrow(g_boxes[1]);

  // A Linux path whose parent is missing: the box says that a drive path is expected.
  wizard.webroot = L"/tavrin-no-such-parent/www";
  EXPECT_FALSE(wizard.ConfirmFinish());
  ASSERT_EQ(g_boxes.size(), 4u);
  EXPECT_NE(g_boxes[3].find(L"\n\nA drive path (C:\\...) is expected, not \"/tavrin-no-such-parent/www\". "
                            L"Under Wine, the Linux folder /tavrin-no-such-parent/www is "
                            L"Z:\\tavrin-no-such-parent\\www."),
            std::wstring::npos)
      << Narrow(g_boxes[3]);
  EXPECT_EQ(DrivePathHint(L"\\\\server\\share\\www"), L"");
  EXPECT_EQ(DrivePathHint(L"C:\\www"), L"");
}

TEST(SiteDisplay, BindingTextAndOfferedAddresses) {
  IISSite site(L"s", L"*:80:", L"http", L"C:\\w", L"", L"", 0, false);
  EXPECT_EQ(BindingText(site), L"*:80: (http)");
  EXPECT_TRUE(IsOfferedAddress("10.0.0.5"));
  EXPECT_TRUE(IsOfferedAddress(""));
  EXPECT_FALSE(IsOfferedAddress("127.0.0.1"));
  EXPECT_FALSE(IsOfferedAddress("169.254.3.4"));
  // The filter looks anywhere in the text.
  EXPECT_FALSE(IsOfferedAddress("10.127.0.0.1"));
  for (const auto &address : ListIPv4Addresses())
    EXPECT_TRUE(IsOfferedAddress(Narrow(address))) << Narrow(address);
}

}  // namespace
