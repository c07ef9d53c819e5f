// The dialogs driven through messages on the private X server: a second
// thread plays the user (texts typed, links and buttons pressed) while the
// test thread runs the modal sheet.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <functional>
#include <thread>

#include "AddSiteWizard.h"
#include "MainDialog.h"
#include "OdbcWizard.h"
#include "WizardPages.h"
#include "config_fixture.h"
#include "resource.h"
#include "screenshot.h"

namespace {

// The sheet's own buttons.
constexpr int kApplyButton = 0x3021;
constexpr int kBackButton = 0x3023;
constexpr int kNextButton = 0x3024;
constexpr int kFinishButton = 0x3025;

// Plays the user on its own thread; a failed step is recorded, the sheet
// is cancelled and the rest of the script is skipped.
class User {
 public:
  explicit User(std::function<void(User &)> script)
      : uiThread_(GetCurrentThreadId()), thread_([this, script] {
          try {
            script(*this);
          } catch (const std::string &failure) {
            failures.push_back(failure);
            if (sheet != nullptr) PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
          }
        }) {}
  ~User() {
    if (thread_.joinable()) thread_.join();
  }
  // Waits for the script to end (a sheet that returned early leaves it
  // still waiting) and reports its failures.
  void Report() {
    if (thread_.joinable()) thread_.join();
    for (const auto &failure : failures) ADD_FAILURE() << failure;
  }

  std::vector<std::string> failures;
  HWND sheet = nullptr;

  // Waits for a condition; a failure when it does not come true in time. The bound is
  // generous: Wine on a loaded machine can take seconds to open or close a sheet.
  void WaitFor(const std::string &what, const std::function<bool()> &condition) {
    for (int i = 0; i < 3000; ++i) {
      if (condition()) return;
      Sleep(20);
    }
    throw "timed out waiting for " + what;
  }
  // The topmost enabled property sheet of the test thread.
  HWND WaitForSheet(const std::string &what) {
    WaitFor(what, [&] {
      sheet = nullptr;
      EnumThreadWindows(
          uiThread_,
          [](HWND window, LPARAM found) {
            if (IsWindowVisible(window) && IsWindowEnabled(window) &&
                GetDlgItem(window, IDCANCEL) != nullptr)
              *reinterpret_cast<HWND *>(found) = window;
            return TRUE;
          },
          reinterpret_cast<LPARAM>(&sheet));
      return sheet != nullptr;
    });
    return sheet;
  }
  HWND Page() { return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0)); }
  // Waits until the current page has this control.
  void WaitForPage(int controlId) {
    WaitFor("page with control " + std::to_string(controlId),
            [&] { return GetDlgItem(Page(), controlId) != nullptr; });
  }
  void Type(int controlId, const std::wstring &text) {
    SendMessageW(GetDlgItem(Page(), controlId), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(text.c_str()));
  }
  std::wstring Text(int controlId) {
    wchar_t text[1024] = {};
    SendMessageW(GetDlgItem(Page(), controlId), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
  }
  void Click(int controlId) {
    SendMessageW(Page(), WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(Page(), controlId)));
  }
  void Press(int button) { PostMessageW(sheet, PSM_PRESSBUTTON, button, 0); }
  void Expect(const std::string &what, bool condition) {
    if (!condition) failures.push_back(what);
  }
  void ExpectText(int controlId, const std::wstring &expected) {
    WaitFor("text of " + std::to_string(controlId) + ": " + Narrow(expected),
            [&] { return Text(controlId) == expected; });
  }
  void ExpectEnabled(int buttonId, bool enabled) {
    WaitFor("button " + std::to_string(buttonId) + (enabled ? " enabled" : " disabled"), [&] {
      HWND button = GetDlgItem(sheet, buttonId);
      return button != nullptr && IsWindowVisible(button) &&
             (IsWindowEnabled(button) != FALSE) == enabled;
    });
  }
  // The sheet (or another window) as shown, kept as <build>/screenshots/<name>.png for a
  // reviewer.
  void Snap(const std::string &name, HWND window = nullptr) {
    window = window != nullptr ? window : sheet;
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(150);
    Expect("screenshot " + name, screenshot::Save(window, name));
  }
  // The database page of the add-site wizard (server db, database sync), then one of the
  // authentication links.
  void ChooseDatabase(int link) {
    WaitForPage(IDC_SERVER);
    Type(IDC_SERVER, L"db");
    Type(IDC_DATABASE, L"sync");
    Press(PSBTN_NEXT);
    WaitForPage(link);
    Click(link);
  }
  // A real message box of the test thread with this title, once shown.
  HWND WaitForBox(const std::wstring &title) {
    struct Search {
      const std::wstring *title;
      HWND found;
    } search = {&title, nullptr};
    WaitFor("the box " + Narrow(title), [&] {
      search.found = nullptr;
      EnumThreadWindows(
          uiThread_,
          [](HWND window, LPARAM state) {
            auto *s = reinterpret_cast<Search *>(state);
            if (IsWindowVisible(window) && GetWindowTextString(window) == *s->title) s->found = window;
            return TRUE;
          },
          reinterpret_cast<LPARAM>(&search));
      return search.found != nullptr;
    });
    return search.found;
  }
  // Clicks a button of a message box (IDYES, IDNO, ...) and waits until the box is gone.
  void Answer(HWND box, int button) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    WaitFor("the box to close", [&] { return !IsWindow(box); });
  }
  // For a look by hand: TAVRIN_UI_PAUSE=seconds.
  void Pause() {
    if (const char *seconds = std::getenv("TAVRIN_UI_PAUSE")) Sleep(1000 * std::atoi(seconds));
  }

 private:
  DWORD uiThread_;
  std::thread thread_;
};

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

TEST(OdbcWizardRun, LinksBackAndTheStringBuilt) {
  OdbcSettings model;
  int result;
  {
    User user([](User &u) {
      u.WaitForSheet("the wizard");
      u.WaitForPage(IDC_ODBC_SERVER);
      u.Type(IDC_ODBC_SERVER, L"db\\SQLEXPRESS");
      u.Type(IDC_ODBC_DATABASE, L"sync");
      u.Snap("odbc_wizard_1_server");
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_LINK_SQL_SERVER);
      u.Snap("odbc_wizard_2_authentication");
      u.Click(IDC_LINK_SQL_SERVER);
      u.WaitForPage(IDC_ODBC_USER);
      u.Type(IDC_ODBC_USER, L"sa");
      u.Type(IDC_ODBC_PASSWORD, L"p}w");
      u.Snap("odbc_wizard_3_sql_credentials");
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_CONNECTION_STRING);
      u.ExpectText(IDC_CONNECTION_STRING,
                   L"Driver={SQL Server Native Client 11.0};Server={db\\SQLEXPRESS};"
                   L"Database={sync};UID={sa};PWD={p}}w}");
      u.Snap("odbc_wizard_5_review");
      // Back leads to the page that led here, and from there to the links.
      u.Press(PSBTN_BACK);
      u.WaitForPage(IDC_ODBC_USER);
      u.ExpectText(IDC_ODBC_PASSWORD, L"p}w");
      u.Press(PSBTN_BACK);
      u.WaitForPage(IDC_LINK_WINDOWS);
      u.Click(IDC_LINK_WINDOWS);
      u.WaitForPage(IDC_CONNECTION_STRING);
      u.ExpectText(IDC_CONNECTION_STRING,
                   L"Driver={SQL Server Native Client 11.0};Server={db\\SQLEXPRESS};"
                   L"Database={sync};Trusted_Connection={yes}");
      u.ExpectEnabled(kFinishButton, true);
      u.Press(PSBTN_FINISH);
    });
    result = OdbcWizard::Run(model, Instance(), nullptr);
    user.Report();
  }
  EXPECT_EQ(result, 1);
  EXPECT_EQ(model.authKind, OdbcSettings::kWindows);
  EXPECT_EQ(OdbcWizard::GetConnectionString(model),
            L"Driver={SQL Server Native Client 11.0};Server={db\\SQLEXPRESS};Database={sync};"
            L"Trusted_Connection={yes}");
}

TEST(OdbcWizardRun, CancelGivesZero) {
  OdbcSettings model;
  int result;
  {
    User user([](User &u) {
      u.WaitForSheet("the wizard");
      u.WaitForPage(IDC_ODBC_SERVER);
      u.Press(PSBTN_CANCEL);
    });
    result = OdbcWizard::Run(model, Instance(), nullptr);
    user.Report();
  }
  EXPECT_EQ(result, 0);
}

using Dialogs = ConfigFixture;

TEST_F(Dialogs, AddSiteWizardCreatesASite) {
  WriteApphost(Site("Default Web Site", 1, Narrow(path) + "\\other", "*:8443:taken.example.com"));
  SiteList list;
  list.Load();
  const std::wstring webroot = path + L"\\sites\\www", temp = path + L"\\temp\\sync";
  AddSiteWizard wizard(list, false);
  int result;
  {
    User user([&](User &u) {
      u.WaitForSheet("the wizard");
      u.WaitForPage(IDC_NAME);
      u.ExpectText(IDC_NAME_STATUS, L"Required");
      u.ExpectEnabled(kNextButton, false);
      u.ExpectText(IDC_IP_ADDRESS, L"All Unassigned");
      u.Type(IDC_NAME, L"DEFAULT web site");
      u.ExpectText(IDC_NAME_STATUS, L"Name already in use");
      u.Type(IDC_NAME, L"sync");
      u.Type(IDC_WEBROOT, webroot);
      u.Type(IDC_PORT, L"8443");
      u.Type(IDC_HOST_NAME, L"taken.example.com");
      u.ExpectText(IDC_BINDING_STATUS, L"In Use");
      u.Type(IDC_HOST_NAME, L"sync.example.com");
      u.ExpectText(IDC_BINDING_STATUS, L"");
      u.ExpectText(IDC_WEBROOT_STATUS, L"Directory does not exist. Will be created.");
      u.ExpectText(IDC_NAME_STATUS, L"");
      SendMessageW(GetDlgItem(u.Page(), IDC_BINDING_TYPE), CB_SELECTSTRING,
                   static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(L"https"));
      u.ExpectEnabled(kNextButton, true);
      u.Pause();
      u.Snap("add_site_wizard_1_site_settings");
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_BROWSE_TEMP_WIZARD);
      u.ExpectText(IDC_TEMP_STATUS, L"Required");
      u.Type(IDC_TEMP_DIRECTORY, temp);
      u.ExpectText(IDC_TEMP_STATUS, L"Directory does not exist. Will be created.");
      u.ExpectEnabled(kNextButton, true);
      u.Snap("add_site_wizard_2_tavrin_settings");
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_SERVER);
      u.ExpectEnabled(kNextButton, false);
      u.Type(IDC_SERVER, L"db");
      u.Type(IDC_DATABASE, L"sync");
      u.ExpectEnabled(kNextButton, true);
      u.Snap("add_site_wizard_3_database");
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_LINK_SQL_SERVER);
      u.Pause();
      u.Snap("add_site_wizard_4_authentication");
      u.Click(IDC_LINK_SQL_SERVER);
      u.WaitForPage(IDC_SQL_USER);
      u.ExpectEnabled(kNextButton, false);  // a user is needed, a password is not
      u.Type(IDC_SQL_USER, L"sa");
      u.ExpectEnabled(kNextButton, true);
      u.Snap("add_site_wizard_5_sql_credentials");
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_BINDING);
      u.ExpectText(IDC_NAME, L"sync");
      u.ExpectText(IDC_BINDING, L"*:8443:sync.example.com (https)");
      u.ExpectText(IDC_CONNECTION_STRING,
                   L"Driver={SQL Server Native Client 11.0};Server={db};Database={sync};"
                   L"UID={sa};PWD={}");
      u.ExpectText(IDC_TEMP_DIRECTORY, temp);
      u.Snap("add_site_wizard_7_review");
      // The question is a real message box. "No" to creating the directories keeps the
      // wizard open; "Yes" creates them, and the same Finish closes the wizard.
      u.Press(PSBTN_FINISH);
      HWND box = u.WaitForBox(L"Create Directories");
      u.Snap("add_site_wizard_8_create_directories", box);
      u.Answer(box, IDNO);
      Sleep(200);
      u.Expect("wizard still open after No", IsWindow(u.sheet) && IsWindowVisible(u.sheet));
      u.Press(PSBTN_FINISH);
      u.Answer(u.WaitForBox(L"Create Directories"), IDYES);
      u.WaitFor("the wizard to close after Yes", [&] { return !IsWindow(u.sheet); });
    });
    SetMessageBoxSink(nullptr);
    result = wizard.Run(Instance(), nullptr);
    SetMessageBoxSink(RecordBox);
    user.Report();
  }
  ASSERT_EQ(result, 1);
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_TRUE(DirectoryExists(webroot));
  EXPECT_TRUE(DirectoryExists(temp));

  // The caller creates the site from the record.
  list.AddSite(wizard.BuildSite());
  iisadmin::Element sites = Read("system.applicationHost/sites");
  const iisadmin::Element *site = sites.find_item("sync");
  ASSERT_NE(site, nullptr);
  const iisadmin::Element &binding = site->child("bindings")->items()[0];
  EXPECT_EQ(binding.value("protocol"), "https");
  EXPECT_EQ(binding.value("bindingInformation"), "*:8443:sync.example.com");
  EXPECT_EQ(binding.value("sslFlags"), "1");
  iisadmin::Element settings = Read("tavrin/settings", "MACHINE/WEBROOT/APPHOST/sync");
  EXPECT_EQ(settings.value("odbc_connection_string"),
            "Driver={SQL Server Native Client 11.0};Server={db};Database={sync};UID={sa};PWD={}");
  EXPECT_EQ(settings.value("temp_directory"), Narrow(temp));
}

TEST_F(Dialogs, SitesPageEditsAModuleSite) {
  const std::wstring webroot = path + L"\\www", newTemp = path + L"\\temp2";
  CreateDirectoryW(webroot.c_str(), nullptr);
  CreateDirectoryW(newTemp.c_str(), nullptr);
  WriteApphost(Site("Default Web Site", 1, Narrow(path) + "\\other"));
  {
    SiteList setup;
    setup.Load();
    setup.AddSite(IISSite(L"tavrin", L"*", L"", L"http", L"8080", webroot, L"Driver={x}", path, 0));
  }
  MainDialog dialog;
  dialog.sites.Load();
  bool ok;
  {
    User user([&](User &u) {
      u.WaitForSheet("the sheet");
      u.WaitForPage(IDC_SITE_LIST);
      // The module site is selected: its details, editable.
      u.ExpectText(IDC_SITE_NAME, L"tavrin");
      u.ExpectText(IDC_BINDING, L"*:8080: (http)");
      u.ExpectText(IDC_CONNECTION_STRING, L"Driver={x}");
      u.ExpectText(IDC_TEMP_DIRECTORY, path);
      u.ExpectEnabled(kApplyButton, false);
      u.Expect("Build... enabled", IsWindowEnabled(GetDlgItem(u.Page(), IDC_BUILD_CONNECTION_STRING)));
      u.Pause();
      u.Snap("sites_page");
      // A temp directory that does not exist: the warning, no Apply.
      u.Type(IDC_TEMP_DIRECTORY, path + L"\\missing");
      u.ExpectText(IDC_TEMP_STATUS, L"Directory does not exist.");
      u.ExpectEnabled(kApplyButton, false);
      u.Type(IDC_TEMP_DIRECTORY, newTemp);
      u.ExpectText(IDC_TEMP_STATUS, L"");
      u.ExpectEnabled(kApplyButton, true);
      u.Press(PSBTN_OK);
    });
    ok = dialog.Run(Instance());
    user.Report();
  }
  EXPECT_TRUE(ok);
  EXPECT_TRUE(g_boxes.empty());
  iisadmin::Element settings = Read("tavrin/settings", "MACHINE/WEBROOT/APPHOST/tavrin");
  EXPECT_EQ(settings.value("temp_directory"), Narrow(newTemp));
  EXPECT_EQ(settings.value("odbc_connection_string"), "Driver={x}");
}

// The Sites page of a machine without a module site opens the wizard by itself; one Finish,
// answered Yes in the real question box, makes the directories and the site, which the page
// then lists.
TEST_F(Dialogs, TheFirstSiteIsMadeWithOneFinish) {
  WriteApphost(Site("Default Web Site", 1, Narrow(path) + "\\other"));
  const std::wstring webroot = path + L"\\sites\\www", temp = path + L"\\temp\\sync";
  MainDialog dialog;
  dialog.sites.Load();
  bool ok;
  {
    User user([&](User &u) {
      HWND wizard = u.WaitForSheet("the wizard");
      u.WaitForPage(IDC_NAME);
      u.ExpectText(IDC_NAME, L"tavrin");
      u.Type(IDC_WEBROOT, webroot);
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_BROWSE_TEMP_WIZARD);
      u.Type(IDC_TEMP_DIRECTORY, temp);
      u.Press(PSBTN_NEXT);
      u.ChooseDatabase(IDC_LINK_WINDOWS);
      u.WaitForPage(IDC_BINDING);
      u.Press(PSBTN_FINISH);
      u.Answer(u.WaitForBox(L"Create Directories"), IDYES);
      // No further press: the wizard closes and the page lists the new site.
      u.WaitFor("the wizard to close after one Finish", [&] { return !IsWindow(wizard); });
      u.WaitForSheet("the sheet");
      u.WaitForPage(IDC_SITE_LIST);
      u.WaitFor("the new site listed", [&] {
        return SendDlgItemMessageW(u.Page(), IDC_SITE_LIST, LVM_GETITEMCOUNT, 0, 0) == 2;
      });
      u.Snap("sites_page_first_site");
      u.Press(PSBTN_OK);
    });
    SetMessageBoxSink(nullptr);
    ok = dialog.Run(Instance());
    SetMessageBoxSink(RecordBox);
    user.Report();
  }
  EXPECT_TRUE(ok);
  EXPECT_TRUE(dialog.sites[L"tavrin"].isModuleSite);
  EXPECT_TRUE(DirectoryExists(temp));
  EXPECT_TRUE(Exists(webroot + L"\\web.config"));
  iisadmin::Element settings = Read("tavrin/settings", "MACHINE/WEBROOT/APPHOST/tavrin");
  EXPECT_EQ(settings.value("odbc_connection_string"),
            "Driver={SQL Server Native Client 11.0};Server={db};Database={sync};Trusted_Connection={yes}");
}

// The Azure AD pages, which the roads above do not pass, and an IP address typed on the first
// page: kept exactly as typed through Next and Back, although a listed address starts with it.
TEST_F(Dialogs, AzurePagesAndATypedAddress) {
  WriteApphost(Site("Default Web Site", 1, Narrow(path) + "\\other"));
  SiteList list;
  list.Load();
  AddSiteWizard wizard(list, true);
  int result;
  {
    User user([&](User &u) {
      u.WaitForSheet("the wizard");
      u.WaitForPage(IDC_IP_ADDRESS);
      SendMessageW(GetDlgItem(u.Page(), IDC_IP_ADDRESS), CB_ADDSTRING, 0,
                   reinterpret_cast<LPARAM>(L"192.0.2.2"));
      u.Type(IDC_IP_ADDRESS, L"192.0.2");
      u.ExpectEnabled(kNextButton, true);
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_BROWSE_TEMP_WIZARD);
      u.Press(PSBTN_BACK);
      u.WaitForPage(IDC_IP_ADDRESS);
      u.ExpectText(IDC_IP_ADDRESS, L"192.0.2");
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_BROWSE_TEMP_WIZARD);
      u.Press(PSBTN_NEXT);
      u.ChooseDatabase(IDC_LINK_AZURE_PASSWORD);
      u.WaitForPage(IDC_AZURE_USER);
      u.Type(IDC_AZURE_USER, L"someone@example.com");
      u.Snap("add_site_wizard_6_azure_credentials");
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_BINDING);
      u.ExpectText(IDC_BINDING, L"192.0.2:8080: (http)");
      u.Press(PSBTN_CANCEL);
    });
    result = wizard.Run(Instance(), nullptr);
    user.Report();
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(wizard.ip, L"192.0.2");

  OdbcSettings model;
  {
    User user([](User &u) {
      u.WaitForSheet("the wizard");
      u.WaitForPage(IDC_ODBC_SERVER);
      u.Press(PSBTN_NEXT);
      u.WaitForPage(IDC_LINK_AZURE_PASSWORD);
      u.Click(IDC_LINK_AZURE_PASSWORD);
      u.WaitForPage(IDC_ODBC_USER);
      u.Type(IDC_ODBC_USER, L"someone@example.com");
      u.Snap("odbc_wizard_4_azure_credentials");
      u.Press(PSBTN_CANCEL);
    });
    result = OdbcWizard::Run(model, Instance(), nullptr);
    user.Report();
  }
  EXPECT_EQ(result, 0);
}

INT_PTR CALLBACK PlainDialog(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

// Every text of every page fits its control in the font the page uses, on the screen the
// tests use: static texts (wrapped as the control wraps them), button and group-box captions,
// and the command links with their notes.
TEST(DialogLayout, EveryTextFitsItsControl) {
  const int pages[] = {IDD_SITES_PAGE, IDD_SITE_SETTINGS, IDD_MODULE_SETTINGS, IDD_DATABASE,
                       IDD_SITE_AUTH, IDD_SITE_SQL_CREDENTIALS, IDD_SITE_AZURE_CREDENTIALS,
                       IDD_SITE_REVIEW, IDD_ODBC_SERVER, IDD_ODBC_AUTH, IDD_ODBC_SQL_CREDENTIALS,
                       IDD_ODBC_AZURE_CREDENTIALS, IDD_ODBC_REVIEW};
  HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 800, 600, nullptr, nullptr,
                                Instance(), nullptr);
  ASSERT_NE(parent, nullptr);
  for (int id : pages) {
    HWND page = CreateDialogParamW(Instance(), MAKEINTRESOURCEW(id), parent, PlainDialog, 0);
    ASSERT_NE(page, nullptr) << id;
    if (id == IDD_SITE_AUTH || id == IDD_ODBC_AUTH) SetAuthLinkNotes(page);
    for (HWND control = GetWindow(page, GW_CHILD); control != nullptr; control = GetWindow(control, GW_HWNDNEXT)) {
      wchar_t className[64] = {};
      GetClassNameW(control, className, 64);
      wchar_t text[512] = {};
      GetWindowTextW(control, text, 512);  // not by id: many labels share IDC_STATIC
      LONG style = GetWindowLongW(control, GWL_STYLE);
      RECT box;
      GetClientRect(control, &box);
      std::string where = "dialog " + std::to_string(id) + ", \"" + Narrow(text) + "\"";
      bool empty = text[0] == 0;
      bool isButton = _wcsicmp(className, L"Button") == 0;
      if (isButton && (style & 0xF) == BS_COMMANDLINK) {
        SIZE ideal = {box.right, 0};
        ASSERT_TRUE(SendMessageW(control, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal))) << where;
        EXPECT_LE(ideal.cy, box.bottom) << where << ": the command link and its note need more height";
        continue;
      }
      bool isText = _wcsicmp(className, L"Static") == 0 && (style & SS_TYPEMASK) != SS_ICON;
      if (empty || !(isText || isButton)) continue;
      HDC dc = GetDC(control);
      HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
      RECT needed = box;
      // Buttons and group boxes show one line inside a margin; static texts wrap at words.
      int margin = isButton ? 8 : 0;
      needed.right -= margin;
      DrawTextW(dc, text, -1, &needed, DT_CALCRECT | (isButton ? DT_SINGLELINE : DT_WORDBREAK));
      SelectObject(dc, previous);
      ReleaseDC(control, dc);
      EXPECT_LE(needed.right - needed.left + margin, box.right) << where << ": too wide";
      if (!isButton) {
        EXPECT_LE(needed.bottom - needed.top, box.bottom) << where << ": too many lines";
      }
    }
    DestroyWindow(page);
  }
  DestroyWindow(parent);
}

}  // namespace
