// site_console.exe as the installer runs it: a separate process in this
// prefix, reaching the configuration through iisadmin_com.dll registered
// with regsvr32. Exit codes are read in full through GetExitCodeProcess.
#include <gtest/gtest.h>

#include "config_fixture.h"

namespace {

// A Linux path as this prefix sees it (through its Z: drive).
std::wstring WindowsPath(const char *unixPath) {
  std::wstring path = L"Z:" + Utf8ToUtf16(unixPath);
  for (auto &c : path)
    if (c == L'/') c = L'\\';
  return path;
}

// Runs a command line; its exit code, or a failure after 60 seconds (a
// program that shows a box waits for a user).
DWORD RunProcess(std::wstring commandLine, wchar_t *environment = nullptr) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT, environment, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << Narrow(commandLine);
    return 0xFFFFFFFF;
  }
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  } else {
    ADD_FAILURE() << Narrow(commandLine) << " did not end";
    TerminateProcess(process.hProcess, 1);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

class Program : public ConfigFixture {
 protected:
  const std::wstring exe = L"\"" + WindowsPath(SITE_CONSOLE_EXE) + L"\"";

  static void SetUpTestSuite() {
    ASSERT_EQ(RunProcess(L"regsvr32.exe /s \"" + WindowsPath(IISADMIN_COM_DLL) + L"\""), 0u);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(L"C:\\ProgramData\\Tavrin"), ec);
    ConfigFixture::TearDown();
  }
};

TEST_F(Program, SetupCreatesTheSiteOfTheIniFile) {
  WriteApphost(Site("Default Web Site", 1, Narrow(path) + "\\other"));
  std::wstring ini = path + L"\\setup.ini";
  WriteText(ini, "[QVS]\r\nPort=8081\r\nTemp=C:\\ProgramData\\Tavrin\\QVS Server\\temp\r\n"
                 "ODBC=Driver={SQL Server Native Client 11.0};Server={db};Database={sync};"
                 "Trusted_Connection={yes}\r\n");
  EXPECT_EQ(RunProcess(exe + L" setup \"" + ini + L"\""), 0u);
  EXPECT_FALSE(Exists(ini));

  iisadmin::Element sites = Read("system.applicationHost/sites");
  const iisadmin::Element *site = sites.find_item("tavrin");
  ASSERT_NE(site, nullptr);
  EXPECT_EQ(site->child("bindings")->items()[0].value("bindingInformation"), "*:8081:");
  EXPECT_EQ(site->items()[0].items()[0].value("physicalPath"),
            "C:\\ProgramData\\Tavrin\\QVS Server\\www");
  iisadmin::Element settings = Read("tavrin/settings", "MACHINE/WEBROOT/APPHOST/tavrin");
  EXPECT_EQ(settings.value("odbc_connection_string"),
            "Driver={SQL Server Native Client 11.0};Server={db};Database={sync};"
            "Trusted_Connection={yes}");
  EXPECT_TRUE(Exists(L"C:\\ProgramData\\Tavrin\\QVS Server\\www\\index.html"));

  // A second setup run finds the module site: the pages are refreshed and
  // nothing is created.
  DeleteFileW(L"C:\\ProgramData\\Tavrin\\QVS Server\\www\\robots.txt");
  EXPECT_EQ(RunProcess(exe + L" setup"), 0u);
  EXPECT_TRUE(Exists(L"C:\\ProgramData\\Tavrin\\QVS Server\\www\\robots.txt"));
  EXPECT_EQ(ItemNames(Read("system.applicationHost/sites")),
            (std::vector<std::string>{"Default Web Site", "tavrin"}));
}

TEST_F(Program, ExportDoesNothing) {
  WriteApphost(Site("Default Web Site", 1, Narrow(path) + "\\other"));
  std::string before = ReadBytes(apphost);
  EXPECT_EQ(RunProcess(exe + L" export whatever"), 0u);
  EXPECT_EQ(ReadBytes(apphost), before);
}

}  // namespace
