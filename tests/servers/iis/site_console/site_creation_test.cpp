// Loading the site list, creating a module site end to end (read back
// from the files by the store), undoing a failed creation, updating
// settings, the webroot files, and the default site of the setup run.
#include <gtest/gtest.h>

#include "Application.h"
#include "IISSite.h"
#include "config_fixture.h"

namespace {

const char kRobots[] = "User-Agent: *\r\nDisallow: /";

class SiteCreation : public ConfigFixture {
 protected:
  std::wstring webroot;

  void SetUp() override {
    ConfigFixture::SetUp();
    webroot = path + L"\\www";
    CreateDirectoryW(webroot.c_str(), nullptr);
  }

  IISSite NewSite(const std::wstring &name, const std::wstring &root) {
    return IISSite(name, L"*", L"sync.example.com", L"https", L"8443", root, L"Driver={x};PWD={p}",
                   L"C:\\temp", 1);
  }
};

TEST_F(SiteCreation, AddSiteWritesEverythingAModuleSiteNeeds) {
  WriteApphost(Site("Default Web Site", 1, Narrow(path) + "\\other") + Site("b", 7, "C:\\b"),
               "<add name=\"tavrin\" />");
  SiteList list;
  list.Load();
  list.AddSite(NewSite(L"tavrin", webroot));
  EXPECT_TRUE(g_boxes.empty());

  // The pool: a unique name; the site: the next id, root application,
  // directory and binding.
  EXPECT_EQ(ItemNames(Read("system.applicationHost/applicationPools")).back(), "tavrin1");
  iisadmin::Element sites = Read("system.applicationHost/sites");
  const iisadmin::Element *site = sites.find_item("tavrin");
  ASSERT_NE(site, nullptr);
  EXPECT_EQ(site->value("id"), "8");
  EXPECT_EQ(site->value("serverAutoStart"), "true");
  ASSERT_EQ(site->items().size(), 1u);
  EXPECT_EQ(site->items()[0].value("path"), "/");
  EXPECT_EQ(site->items()[0].value("applicationPool"), "tavrin1");
  ASSERT_EQ(site->items()[0].items().size(), 1u);
  EXPECT_EQ(site->items()[0].items()[0].value("physicalPath"), Narrow(webroot));
  const iisadmin::Element *bindings = site->child("bindings");
  ASSERT_EQ(bindings->items().size(), 1u);
  EXPECT_EQ(bindings->items()[0].value("protocol"), "https");
  EXPECT_EQ(bindings->items()[0].value("bindingInformation"), "*:8443:sync.example.com");
  EXPECT_EQ(bindings->items()[0].value("sslFlags"), "1");

  // At the site's path: handlers pruned to the sync pair and the kept
  // inherited ones, the module, browsing off, the settings.
  std::string sitePath = "MACHINE/WEBROOT/APPHOST/tavrin";
  iisadmin::Element handlers = Read("system.webServer/handlers", sitePath);
  EXPECT_EQ(ItemNames(handlers), (std::vector<std::string>{"/push", "/pull", "OPTIONSVerbHandler",
                                                           "TRACEVerbHandler", "StaticFile"}));
  const iisadmin::Element *push = handlers.find_item("/push");
  EXPECT_EQ(push->value("path"), "/push");
  EXPECT_EQ(push->value("verb"), "*");
  EXPECT_EQ(push->value("modules"), "tavrin");
  EXPECT_EQ(push->value("preCondition"), "integratedMode,bitness64");
  EXPECT_EQ(push->value("requireAccess"), "Script");
  iisadmin::Element modules = Read("system.webServer/modules", sitePath);
  ASSERT_NE(modules.find_item("tavrin"), nullptr);
  EXPECT_EQ(modules.find_item("tavrin")->value("preCondition"), "integratedMode,bitness64");
  EXPECT_EQ(Read("system.webServer/directoryBrowse", sitePath).value("enabled"), "false");
  iisadmin::Element settings = Read("tavrin/settings", sitePath);
  EXPECT_EQ(settings.value("odbc_connection_string"), "Driver={x};PWD={p}");
  EXPECT_EQ(settings.value("temp_directory"), "C:\\temp");
  // The server-wide level is untouched.
  EXPECT_EQ(ItemNames(Read("system.webServer/handlers")).size(), 4u);

  // The list, and a fresh load, see the new module site.
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_EQ(list.index.rbegin()->second, L"tavrin");
  SiteList loaded;
  EXPECT_TRUE(loaded.Load());
  IISSite &read = loaded[L"tavrin"];
  EXPECT_TRUE(read.isModuleSite);
  EXPECT_EQ(read.appPool, L"tavrin");  // records name their site, not the pool
  EXPECT_TRUE(read == NewSite(L"tavrin", webroot));
  EXPECT_FALSE(loaded[L"b"].isModuleSite);
}

TEST_F(SiteCreation, LoadSkipsUnreadableSitesAndRenumbers) {
  WriteApphost(Site("a", 1, "C:\\a") + "<site name=\"broken\" id=\"2\" />" + Site("c", 3, "C:\\c"));
  SiteList list;
  list[L"gone"] = IISSite();  // deleted from the server since the last load
  EXPECT_FALSE(list.Load());
  ASSERT_EQ(list.Count(), 2u);
  ASSERT_EQ(list.index.size(), 2u);
  EXPECT_EQ(list.GetByIndex(0).name, L"a");
  EXPECT_EQ(list.GetByIndex(1).name, L"c");
  EXPECT_EQ(list.GetByIndex(1).port, L"80");
  EXPECT_EQ(list.Count(), 2u);  // no phantom records
}

TEST_F(SiteCreation, ModuleSiteTestIsExact) {
  WriteApphost(Site("s", 1, Narrow(webroot)));
  WriteText(webroot + L"\\web.config",
            "<configuration><system.webServer><handlers>"
            "<add name=\"/Pull\" path=\"/pull\" verb=\"*\" /><add name=\"/push\" path=\"/push\" verb=\"*\" />"
            "</handlers><modules><add name=\"tavrin\" /></modules></system.webServer></configuration>");
  IISConfig::Manager manager = IISConfig::CreateAdminManager();
  EXPECT_FALSE(IISConfig::IsModuleSite(manager, IISConfig::SitePath(L"s")));
  WriteText(webroot + L"\\web.config",
            "<configuration><system.webServer><handlers>"
            "<add name=\"/pull\" path=\"/pull\" verb=\"*\" /><add name=\"/push\" path=\"/push\" verb=\"*\" />"
            "</handlers><modules><add name=\"tavrin\" /></modules></system.webServer></configuration>");
  EXPECT_TRUE(IISConfig::IsModuleSite(IISConfig::CreateAdminManager(), IISConfig::SitePath(L"s")));
}

TEST_F(SiteCreation, ATakenNameOrWebrootLeavesTheExistingSiteAlone) {
  WriteApphost(Site("Tavrin", 1, Narrow(webroot)));
  std::string settings = "<configuration><!-- mine --></configuration>";
  WriteText(webroot + L"\\web.config", settings);
  std::wstring otherRoot = path + L"\\other";
  CreateDirectoryW(otherRoot.c_str(), nullptr);
  SiteList list;
  for (const IISSite &site : {NewSite(L"tavrin", otherRoot), NewSite(L"new", webroot + L"\\"),
                              NewSite(L"new", path + L"\\WWW")}) {
    try {
      list.AddSite(site);
      ADD_FAILURE() << "created " << Narrow(site.name);
    } catch (const QVS::BaseException &e) {
      EXPECT_EQ(e.code, kErrorSiteCreation);
      EXPECT_EQ(e.message, L"0xa0000008: Error Creating IIS Site: " + site.name);
    }
  }
  EXPECT_EQ(ReadBytes(webroot + L"\\web.config"), settings);
  EXPECT_FALSE(Exists(otherRoot + L"\\web.config"));
  EXPECT_EQ(ItemNames(Read("system.applicationHost/sites")), (std::vector<std::string>{"Tavrin"}));
  EXPECT_TRUE(list.sites.empty());
}

// A configuration that cannot be read is no clash: its own failure reaches the user, and
// nothing is written into the webroot.
TEST_F(SiteCreation, AnUnreadableConfigurationSaysWhy) {
  const struct {
    const char *what;
    const char *apphost;  // null: no file
    std::uint32_t code;
  } cases[] = {
      {"no configuration file", nullptr, 0x80070002},
      {"a file that does not parse", "<configuration><system.applicationHost>", 0x8007000D},
  };
  for (const auto &c : cases) {
    DeleteFileW(apphost.c_str());
    if (c.apphost != nullptr) WriteText(apphost, c.apphost);
    SiteList list;
    try {
      list.AddSite(NewSite(L"tavrin", webroot));
      ADD_FAILURE() << c.what << ": created";
    } catch (const QVS::BaseException &e) {
      EXPECT_EQ(e.code, c.code) << c.what;
      wchar_t code[16];
      swprintf(code, 16, L"\n0x%08x: ", c.code);
      EXPECT_EQ(e.message.rfind(std::wstring(kSystemCallFailed) + code, 0), 0u)
          << c.what << ": " << Narrow(e.message);
    }
    EXPECT_FALSE(Exists(webroot + L"\\web.config")) << c.what;
    EXPECT_FALSE(Exists(webroot + L"\\index.html")) << c.what;
  }
}

TEST_F(SiteCreation, AFailedConfigurationIsUndone) {
  WriteApphost(Site("Main", 1, "C:\\m"));
  std::string before = ReadBytes(apphost);
  WriteText(webroot + L"\\robots.txt", "mine");  // there before: stays
  // A name with "/" is stored, but its configuration path names no site.
  SiteList list;
  try {
    list.AddSite(NewSite(L"x/y", webroot));
    FAIL();
  } catch (const QVS::BaseException &e) {
    EXPECT_EQ(e.message, L"0xa0000008: Error Configuring IIS Site: x/y");
  }
  ASSERT_EQ(g_boxes.size(), 1u);  // the inner failure was shown
  EXPECT_EQ(g_boxes[0].rfind(L"QVS Configuration Error: A Windows system call failed.\n0x80070003", 0), 0u);
  EXPECT_EQ(ItemNames(Read("system.applicationHost/sites")), (std::vector<std::string>{"Main"}));
  EXPECT_EQ(ItemNames(Read("system.applicationHost/applicationPools")),
            (std::vector<std::string>{"DefaultAppPool"}));
  EXPECT_FALSE(Exists(webroot + L"\\index.html"));
  EXPECT_FALSE(Exists(webroot + L"\\web.config"));
  EXPECT_TRUE(Exists(webroot + L"\\robots.txt"));
  EXPECT_TRUE(list.sites.empty() && list.index.empty());

  // A missing webroot fails before anything reaches the server.
  try {
    list.AddSite(NewSite(L"z", path + L"\\missing"));
    FAIL();
  } catch (const QVS::BaseException &e) {
    EXPECT_EQ(e.message, L"0xa0000005: The webroot directory specifed does not exist.");
  }
  EXPECT_EQ(ItemNames(Read("system.applicationHost/sites")), (std::vector<std::string>{"Main"}));
}

TEST_F(SiteCreation, UpdateSettings) {
  WriteApphost("");
  SiteList list;
  list.AddSite(NewSite(L"s", webroot));
  IISSite edited = list[L"s"];
  edited.odbcConnectionString = L"Driver={new}";
  edited.tempDirectory = L"D:\\t";
  list.UpdateSettings(edited);
  iisadmin::Element settings = Read("tavrin/settings", "MACHINE/WEBROOT/APPHOST/s");
  EXPECT_EQ(settings.value("odbc_connection_string"), "Driver={new}");
  EXPECT_EQ(settings.value("temp_directory"), "D:\\t");
  EXPECT_EQ(list[L"s"].tempDirectory, L"D:\\t");

  edited.name = L"gone";
  try {
    list.UpdateSettings(edited);
    FAIL();
  } catch (const QVS::BaseException &e) {
    EXPECT_EQ(e.message, L"0xa0000006: Unable to find site with name: gone");
  }
  edited.name = L"S";
  try {
    list.UpdateSettings(edited);
    FAIL();
  } catch (const QVS::BaseException &e) {
    EXPECT_EQ(e.code, kErrorElementNotFound);
  }
  EXPECT_EQ(list.sites.count(L"S"), 0u);
}

TEST_F(SiteCreation, WebrootFiles) {
  WriteText(webroot + L"\\index.html", std::string(4000, 'x'));  // replaced, not appended to
  WriteWebrootFiles(webroot);
  auto resource = [](const char *name) {
    return ReadBytes(std::filesystem::path(TAVRIN_SOURCE_DIR "/src/servers/iis/site_console/res") / name);
  };
  EXPECT_EQ(ReadBytes(webroot + L"\\robots.txt"), kRobots);
  std::string index = ReadBytes(webroot + L"\\index.html");
  EXPECT_EQ(index, resource("index.html"));
  EXPECT_EQ(index.substr(0, 3), "\xef\xbb\xbf");
  EXPECT_EQ(ReadBytes(webroot + L"\\web.config"), resource("web.config"));

  // A refresh rewrites index.html and robots.txt only.
  WriteText(webroot + L"\\web.config", "settings");
  WriteText(webroot + L"\\robots.txt", "old");
  IISSite site;
  site.webroot = webroot;
  RefreshWebrootFiles(site);
  EXPECT_EQ(ReadBytes(webroot + L"\\robots.txt"), kRobots);
  EXPECT_EQ(ReadBytes(webroot + L"\\web.config"), "settings");

  DeleteWebrootFiles(webroot);
  EXPECT_FALSE(Exists(webroot + L"\\index.html") || Exists(webroot + L"\\web.config"));

  // Deletion stops at the first file that is not there.
  WriteResourceToFile(kIndexHtmlResource, webroot + L"\\index.html");
  EXPECT_THROW(DeleteWebrootFiles(webroot), QVS::WindowsException);
  EXPECT_TRUE(Exists(webroot + L"\\index.html"));
  try {
    DeleteWebrootFiles(path + L"\\missing");
    FAIL();
  } catch (const QVS::BaseException &e) {
    EXPECT_EQ(e.message, L"0xa0000005: The directory specified does not exist");
  }
}

class DefaultSite : public SiteCreation {
 protected:
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(kDefaultFolders[0]), ec);
    SiteCreation::TearDown();
  }
};

TEST_F(DefaultSite, IniLayouts) {
  struct Case {
    std::string ini;
    const wchar_t *protocol, *ip, *port, *host, *ssl;
  } cases[] = {
      {"Port=443\r\nTemp=C:\\t\r\nODBC=Driver={x}\r\nSSL=1\r\n", L"https", L"*", L"443", L"", L"0"},
      {"Port=8443\r\n", L"http", L"*", L"8443", L"", L"0"},
      {"SSL=1\r\nProtocol=https\r\nBinding=10.0.0.7:443:sync.example.com\r\nTemp=C:\\t\r\n"
       "ODBC=Driver={x}\r\n", L"https", L"10.0.0.7", L"443", L"sync.example.com", L"1"},
      {"SSL=yes\r\nProtocol=http\r\nBinding=*:80:\r\n", L"http", L"*", L"80", L"", L"0"},
  };
  std::wstring ini = path + L"\\setup.ini";
  for (const auto &c : cases) {
    WriteText(ini, "[QVS]\r\n" + c.ini);
    IISSite site = ReadSiteFromIni(ini);
    EXPECT_EQ(site.name, L"tavrin");
    EXPECT_EQ(site.webroot, L"C:\\ProgramData\\Tavrin\\QVS Server\\www");
    EXPECT_EQ(site.protocol, c.protocol) << c.ini;
    EXPECT_EQ(site.ip, c.ip) << c.ini;
    EXPECT_EQ(site.port, c.port) << c.ini;
    EXPECT_EQ(site.hostName, c.host) << c.ini;
    EXPECT_EQ(site.sslFlags, c.ssl) << c.ini;
    EXPECT_TRUE(site.isModuleSite);
  }
  WriteText(ini, "[QVS]\r\nPort=443\r\nTemp=C:\\t\r\nODBC=Driver={x}\r\n");
  IISSite site = ReadSiteFromIni(ini);
  EXPECT_EQ(site.tempDirectory, L"C:\\t");
  EXPECT_EQ(site.odbcConnectionString, L"Driver={x}");
}

TEST_F(DefaultSite, CreatedFromIniThenIniDeleted) {
  WriteApphost("");
  std::wstring ini = path + L"\\setup.ini";
  WriteText(ini, "[QVS]\r\nPort=9000\r\nTemp=C:\\t\r\nODBC=Driver={x}\r\n");
  SiteList list;
  CreateDefaultSite(list, ini);
  EXPECT_FALSE(Exists(ini));
  for (const auto &folder : kDefaultFolders) EXPECT_TRUE(DirectoryExists(folder));
  EXPECT_EQ(list[L"tavrin"].port, L"9000");
  EXPECT_EQ(Read("tavrin/settings", "MACHINE/WEBROOT/APPHOST/tavrin").value("temp_directory"),
            "C:\\t");

  // A second run fails on the taken name and keeps its INI file.
  WriteText(ini, "[QVS]\r\nPort=9001\r\n");
  EXPECT_THROW(CreateDefaultSite(list, ini), QVS::BaseException);
  EXPECT_TRUE(Exists(ini));
  EXPECT_EQ(Read("tavrin/settings", "MACHINE/WEBROOT/APPHOST/tavrin").value("temp_directory"),
            "C:\\t");
}

TEST_F(DefaultSite, DefaultValuesWithoutAnIniFile) {
  WriteApphost("");
  SiteList list;
  CreateDefaultSite(list, path);  // a directory is not an INI file
  EXPECT_TRUE(Exists(path));
  IISSite &site = list[L"tavrin"];
  EXPECT_EQ(site.GetBindingInformation(), L"*:8080:");
  EXPECT_EQ(site.protocol, L"http");
  EXPECT_EQ(site.tempDirectory, L"C:\\ProgramData\\Tavrin\\QVS Server\\temp");
  EXPECT_EQ(site.odbcConnectionString, L"");
  EXPECT_EQ(ReadBytes(L"C:\\ProgramData\\Tavrin\\QVS Server\\www\\robots.txt"), kRobots);
}

}  // namespace
