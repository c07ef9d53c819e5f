// The program's modes in-process: the setup decision, the unknown
// argument, and the setup run over a private server configuration.
#include <gtest/gtest.h>

#include "Application.h"
#include "IISSite.h"
#include "config_fixture.h"

namespace {

TEST(SetupDecision, Table) {
  const struct {
    bool hasIni, moduleSiteExists, iniIsFile, creates;
  } cases[] = {
      {false, false, false, true}, {false, true, false, false}, {true, false, true, true},
      {true, true, true, true},    {true, false, false, true},  {true, true, false, false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(SetupCreatesDefaultSite(c.hasIni, c.moduleSiteExists, c.iniIsFile), c.creates)
        << c.hasIni << c.moduleSiteExists << c.iniIsFile;
}

class ProgramRun : public ConfigFixture {};

TEST_F(ProgramRun, ArgumentsAreComparedExactly) {
  for (const wchar_t *argument : {L"Setup", L"/setup", L"SETUP x"}) {
    g_boxes.clear();
    EXPECT_EQ(static_cast<std::uint32_t>(RunProgram(nullptr, argument)), 0xA0000001u);
    ASSERT_EQ(g_boxes.size(), 1u);
    std::wstring first(argument, std::wcscspn(argument, L" "));
    EXPECT_EQ(g_boxes[0],
              L"QVS Configuration Error: 0xa0000001: Unknown command line parameter: " + first);
  }
  g_boxes.clear();
  EXPECT_EQ(RunProgram(nullptr, L"export anything \"at all\""), 0);
  EXPECT_TRUE(g_boxes.empty());
}

class SetupRun : public ConfigFixture {
 protected:
  std::wstring webroot;

  void SetUp() override {
    ConfigFixture::SetUp();
    webroot = path + L"\\www";
    CreateDirectoryW(webroot.c_str(), nullptr);
    WriteApphost(Site("Default Web Site", 1, Narrow(path) + "\\other"));
    SiteList list;
    list.Load();
    list.AddSite(IISSite(L"tavrin", L"*", L"", L"http", L"8080", webroot, L"Driver={x}",
                         path, 0));
  }
};

TEST_F(SetupRun, WithAModuleSiteOnlyRefreshesItsPages) {
  DeleteFileW((webroot + L"\\index.html").c_str());
  WriteText(webroot + L"\\robots.txt", "old");
  std::string webConfig = ReadBytes(webroot + L"\\web.config");
  EXPECT_EQ(RunProgram(nullptr, L"setup"), 0);
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_TRUE(Exists(webroot + L"\\index.html"));
  EXPECT_EQ(ReadBytes(webroot + L"\\robots.txt"), "User-Agent: *\r\nDisallow: /");
  EXPECT_EQ(ReadBytes(webroot + L"\\web.config"), webConfig);
  EXPECT_EQ(ItemNames(Read("system.applicationHost/sites")),
            (std::vector<std::string>{"Default Web Site", "tavrin"}));
}

TEST_F(SetupRun, AFailedCreationWarnsAndStillSucceeds) {
  // The INI file forces a creation; the default name is taken.
  std::wstring ini = path + L"\\setup.ini";
  WriteText(ini, "[QVS]\r\nPort=8081\r\n");
  EXPECT_EQ(RunProgram(nullptr, (L"setup \"" + ini + L"\"").c_str()), 0);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0], std::wstring(L"QVS Configuration Warning: ") + kSetupWarning);
  EXPECT_TRUE(Exists(ini));
}

TEST_F(SetupRun, AFailedRefreshEndsTheRunWithItsCode) {
  // A directory in the place of index.html cannot be written.
  DeleteFileW((webroot + L"\\index.html").c_str());
  CreateDirectoryW((webroot + L"\\index.html").c_str(), nullptr);
  EXPECT_EQ(RunProgram(nullptr, L"setup"), static_cast<int>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].rfind(L"QVS Configuration Error: ", 0), 0u);
}

}  // namespace
