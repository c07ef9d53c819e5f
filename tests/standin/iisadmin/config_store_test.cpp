// The configuration store: merging levels, schema answers, collections,
// and writing back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "iisadmin/config_store.h"

namespace fs = std::filesystem;
using namespace iisadmin;

namespace {

const char kDeclaration[] =
    "<configSections><sectionGroup name=\"tavrin\"><section name=\"settings\" />"
    "</sectionGroup></configSections>";

std::string read_file(const fs::path &p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ConfigStoreTest : public ::testing::Test {
 protected:
  fs::path dir_, apphost_, webroot_;
  ConfigStore store_;

  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tavrin-iisadmin-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    webroot_ = dir_ / "root";
    fs::create_directories(webroot_ / "sub");
    apphost_ = dir_ / "applicationHost.config";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Two sites; `extra` goes inside <configuration>.
  void write_apphost(const std::string &extra) {
    std::ofstream(apphost_) << "<?xml version=\"1.0\"?>\n<configuration>\n<!-- kept -->\n"
                            << extra
                            << "<system.applicationHost><sites>"
                               "<site name=\"Main\" id=\"1\"><application path=\"/\">"
                               "<virtualDirectory path=\"/\" physicalPath=\""
                            << webroot_.string()
                            << "\" /></application><bindings><binding protocol=\"http\" "
                               "bindingInformation=\"*:80:\" /></bindings></site>"
                               "<site name=\"Other\" id=\"2\"><application path=\"/\">"
                               "<virtualDirectory path=\"/\" physicalPath=\""
                            << (dir_ / "other").string()
                            << "\" /></application></site>"
                               "</sites></system.applicationHost>\n</configuration>\n";
  }
  void write_web_config(const fs::path &dir, const std::string &content) {
    std::ofstream(dir / "web.config") << "<configuration>" << content << "</configuration>";
  }
  std::string setting(std::string_view path, std::string_view name, HResult *hr = nullptr) {
    Element e;
    HResult r = store_.get_section("tavrin/settings", path, e);
    std::string value;
    if (r == kOk) r = e.get(name, value);
    if (hr != nullptr) *hr = r;
    return value;
  }
};

TEST_F(ConfigStoreTest, SettingsMergeFromApphostLocationAndWebConfig) {
  write_apphost(std::string(kDeclaration) +
                "<tavrin><settings temp_directory=\"apphost-temp\" odbc_connection_string=\"apphost-odbc\" "
                "support_mode=\"apphost-mode\" /></tavrin>"
                "<location path=\"main\"><tavrin><settings odbc_connection_string=\"location-odbc\" "
                "support_mode=\"location-mode\" /></tavrin></location>"
                "<location path=\"Main/sub\"><tavrin><settings support_mode=\"deep-location\" /></tavrin></location>");
  write_web_config(webroot_, "<tavrin><settings temp_directory=\"web-temp\" /></tavrin>"
                             "<location path=\"sub\"><tavrin><settings temp_directory=\"web-sub\" />"
                             "</tavrin></location>");
  write_web_config(webroot_ / "sub", "<tavrin><settings odbc_connection_string=\"sub-odbc\" /></tavrin>");
  ASSERT_EQ(store_.load(apphost_), kOk);
  struct Case {
    const char *path, *temp, *odbc, *mode;
  } cases[] = {
      {"MACHINE/WEBROOT/APPHOST", "apphost-temp", "apphost-odbc", "apphost-mode"},
      {"MACHINE/WEBROOT/APPHOST/Main", "web-temp", "location-odbc", "location-mode"},
      {"machine/webroot/apphost/MAIN/sub", "web-sub", "sub-odbc", "deep-location"},
      {"MACHINE/WEBROOT/APPHOST/Other", "apphost-temp", "apphost-odbc", "apphost-mode"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(setting(c.path, "temp_directory"), c.temp) << c.path;
    EXPECT_EQ(setting(c.path, "odbc_connection_string"), c.odbc) << c.path;
    EXPECT_EQ(setting(c.path, "support_mode"), c.mode) << c.path;
  }
}

TEST_F(ConfigStoreTest, SchemaAndPathAnswers) {
  write_apphost("");
  write_web_config(webroot_, std::string(kDeclaration) +
                                 "<tavrin><settings temp_directory=\"t\" odbc_connection_string=\"o\" />"
                                 "</tavrin>");
  ASSERT_EQ(store_.load(apphost_), kOk);
  HResult hr;
  // Declared but never written: S_OK with the empty text.
  EXPECT_EQ(setting("MACHINE/WEBROOT/APPHOST/Main", "support_mode", &hr), "");
  EXPECT_EQ(hr, kOk);
  setting("MACHINE/WEBROOT/APPHOST/Main", "supportmode", &hr);
  EXPECT_EQ(hr, kInvalidIndex);
  // Declared only in the site's web.config: unknown above it.
  setting("MACHINE/WEBROOT/APPHOST", "temp_directory", &hr);
  EXPECT_EQ(hr, kNotFound);
  setting("MACHINE/WEBROOT/APPHOST/Other", "temp_directory", &hr);
  EXPECT_EQ(hr, kNotFound);
  setting("MACHINE/WEBROOT/APPHOST/NoSuchSite", "temp_directory", &hr);
  EXPECT_EQ(hr, kPathNotFound);
  setting("MACHINE/WEBROOT", "temp_directory", &hr);
  EXPECT_EQ(hr, kPathNotFound);
  Element e;
  EXPECT_EQ(store_.get_section("tavrin/other", "MACHINE/WEBROOT/APPHOST/Main", e), kNotFound);
  // Default values of the schema.
  ASSERT_EQ(store_.get_section("system.webServer/directoryBrowse", "MACHINE/WEBROOT/APPHOST/Main", e), kOk);
  EXPECT_EQ(e.value("enabled"), "false");
}

TEST_F(ConfigStoreTest, BadFiles) {
  ConfigStore store;
  std::string error;
  EXPECT_EQ(store.load(dir_ / "missing.config", &error), kFileNotFound);
  struct Case {
    const char *name, *content, *section;
    HResult load, read;
  } cases[] = {
      {"malformed", "<configuration><a></b></configuration>", "", kInvalidData, kOk},
      {"wrong root", "<settings />", "", kInvalidData, kOk},
      {"undeclared section content",
       "<configuration><tavrin><settings temp_directory=\"x\" /></tavrin></configuration>",
       "tavrin/settings", kOk, kInvalidData},
      {"unknown attribute",
       "<configuration><system.webServer><directoryBrowse enable=\"true\" /></system.webServer>"
       "</configuration>",
       "system.webServer/directoryBrowse", kOk, kInvalidData},
      {"duplicate key",
       "<configuration><system.webServer><handlers><add name=\"a\" /><add name=\"a\" /></handlers>"
       "</system.webServer></configuration>",
       "system.webServer/handlers", kOk, kAlreadyExists},
  };
  for (const auto &c : cases) {
    std::ofstream(apphost_) << c.content;
    ASSERT_EQ(store.load(apphost_, &error), c.load) << c.name << ": " << error;
    if (c.load != kOk) continue;
    Element e;
    EXPECT_EQ(store.get_section(c.section, "MACHINE/WEBROOT/APPHOST", e, &error), c.read) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

TEST_F(ConfigStoreTest, CollectionsAddRemoveClearAcrossLevels) {
  write_apphost(
      "<system.webServer><handlers accessPolicy=\"Read\">"
      "<add name=\"StaticFile\" path=\"*\" verb=\"*\" modules=\"StaticFileModule\" />"
      "<add name=\"Foreign\" path=\"*.x\" verb=\"*\" />"
      "<add name=\"TRACEVerbHandler\" path=\"*\" verb=\"TRACE\" />"
      "</handlers></system.webServer>"
      "<location path=\"Other\"><system.webServer><handlers><clear />"
      "<add name=\"Only\" path=\"*\" verb=\"*\" /></handlers></system.webServer></location>");
  write_web_config(webroot_, "<system.webServer><handlers><remove name=\"Foreign\" />"
                             "<add name=\"/pull\" path=\"/pull\" verb=\"*\" modules=\"tavrin\" />"
                             "</handlers></system.webServer>");
  ASSERT_EQ(store_.load(apphost_), kOk);
  auto names = [&](std::string_view path) {
    Element e;
    EXPECT_EQ(store_.get_section("system.webServer/handlers", path, e), kOk);
    std::string out;
    for (const auto &item : e.items()) out += item.value("name") + ",";
    return out;
  };
  EXPECT_EQ(names("MACHINE/WEBROOT/APPHOST"), "StaticFile,Foreign,TRACEVerbHandler,");
  EXPECT_EQ(names("MACHINE/WEBROOT/APPHOST/Main"), "StaticFile,TRACEVerbHandler,/pull,");
  EXPECT_EQ(names("MACHINE/WEBROOT/APPHOST/Other"), "Only,");
}

TEST_F(ConfigStoreTest, WritesRoundTrip) {
  write_apphost("<system.webServer><handlers>"
                "<add name=\"StaticFile\" path=\"*\" verb=\"*\" />"
                "<add name=\"Foreign\" path=\"*.x\" verb=\"*\" />"
                "</handlers></system.webServer>");
  write_web_config(webroot_, std::string(kDeclaration) +
                                 "<system.webServer><httpErrors existingResponse=\"PassThrough\" />"
                                 "</system.webServer><tavrin><settings temp_directory=\"old\" /></tavrin>");
  ASSERT_EQ(store_.load(apphost_), kOk);
  const std::string site = "MACHINE/WEBROOT/APPHOST/Main";

  SectionEditor settings;
  ASSERT_EQ(store_.edit_section("tavrin/settings", site, site, settings), kOk);
  EXPECT_EQ(settings.set("odbc_connection_string", "Driver=\"x\";<&>"), kOk);
  EXPECT_EQ(settings.set("temp_directory", "/new"), kOk);
  EXPECT_EQ(settings.set("nope", "x"), kInvalidIndex);

  SectionEditor handlers;
  ASSERT_EQ(store_.edit_section("system.webServer/handlers", site, site, handlers), kOk);
  ASSERT_EQ(handlers.add_item({{"name", "/pull"}, {"path", "/pull"}, {"verb", "*"}}, 1), kOk);
  ASSERT_EQ(handlers.add_item({{"name", "/push"}, {"path", "/push"}, {"verb", "*"}}, 1), kOk);
  EXPECT_EQ(handlers.add_item({{"name", "/push"}}), kAlreadyExists);
  EXPECT_EQ(handlers.remove_item("Foreign"), kOk);
  EXPECT_EQ(handlers.remove_item("Nothing"), kNotFound);

  // A site-level value written from the APPHOST commit path lands in a
  // <location> of the APPHOST file.
  SectionEditor browse;
  ASSERT_EQ(store_.edit_section("system.webServer/directoryBrowse", site, "MACHINE/WEBROOT/APPHOST", browse), kOk);
  EXPECT_EQ(browse.set("enabled", "false"), kOk);
  SectionEditor sites;
  ASSERT_EQ(store_.edit_section("system.applicationHost/sites", "MACHINE/WEBROOT/APPHOST",
                                "MACHINE/WEBROOT/APPHOST", sites), kOk);
  ASSERT_EQ(sites.add_item({{"name", "New"}, {"id", "3"}}), kOk);
  XmlNode *new_site = sites.local_item("New");
  ASSERT_NE(new_site, nullptr);
  XmlNode &app = new_site->children.emplace_back();
  app.name = "application";
  app.set_attribute("path", "/");
  XmlNode &vdir = app.children.emplace_back();
  vdir.name = "virtualDirectory";
  vdir.set_attribute("path", "/");
  vdir.set_attribute("physicalPath", (dir_ / "new").string());
  EXPECT_EQ(store_.edit_section("tavrin/settings", site, "MACHINE/WEBROOT/APPHOST/Other", settings),
            kInvalidArgument);
  ASSERT_EQ(store_.commit(), kOk);

  ConfigStore reread;
  ASSERT_EQ(reread.load(apphost_), kOk);
  Element e;
  ASSERT_EQ(reread.get_section("tavrin/settings", site, e), kOk);
  EXPECT_EQ(e.value("odbc_connection_string"), "Driver=\"x\";<&>");
  EXPECT_EQ(e.value("temp_directory"), "/new");
  ASSERT_EQ(reread.get_section("system.webServer/handlers", site, e), kOk);
  std::string order;
  for (const auto &item : e.items()) order += item.value("name") + ",";
  EXPECT_EQ(order, "StaticFile,/push,/pull,");
  EXPECT_EQ(reread.site_root("new"), dir_ / "new");
  // What the store does not interpret survives the rewrite.
  EXPECT_NE(read_file(webroot_ / "web.config").find("existingResponse=\"PassThrough\""), std::string::npos);
  EXPECT_NE(read_file(apphost_).find("<!-- kept -->"), std::string::npos);
  EXPECT_NE(read_file(apphost_).find("<location path=\"Main\">"), std::string::npos);
}

}  // namespace
