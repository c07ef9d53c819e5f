// A private server configuration per test, reached by the tool through
// CoCreateInstance of the admin managers (served in-process by the
// configuration store's COM face) and read back with the store itself.
#pragma once

#include <objbase.h>

#include <atomic>
#include <string>
#include <vector>

#include "Helpers.h"
#include "iisadmin/com_server.h"
#include "iisadmin/config_store.h"
#include "test_files.h"

class ComEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
    ASSERT_EQ(iisadmin::com::RegisterAppHostClasses(), S_OK);
  }
  void TearDown() override {
    iisadmin::com::RevokeAppHostClasses();
    CoUninitialize();
  }
};

inline ::testing::Environment *const g_comEnvironment =
    ::testing::AddGlobalTestEnvironment(new ComEnvironment);

// Message boxes shown by the code under test, instead of blocking, and
// the button that answers them.
inline std::vector<std::wstring> g_boxes;
inline std::atomic<int> g_boxAnswer{IDOK};
inline int RecordBox(HWND, const std::wstring &text, const std::wstring &title, UINT) {
  g_boxes.push_back(title + L": " + text);
  return g_boxAnswer;
}

inline std::string Narrow(const std::wstring &w) { return Utf16ToUtf8(w.c_str()); }

class ConfigFixture : public TempDir {
 protected:
  std::wstring apphost;

  void SetUp() override {
    TempDir::SetUp();
    apphost = path + L"\\applicationHost.config";
    SetEnvironmentVariableW(L"TAVRIN_HOST_CONFIG", apphost.c_str());
    g_boxes.clear();
    g_boxAnswer = IDOK;
    previousSink_ = SetMessageBoxSink(RecordBox);
  }
  void TearDown() override {
    SetMessageBoxSink(previousSink_);
    TempDir::TearDown();
  }

  // A site element with one application, directory and binding.
  static std::string Site(const std::string &name, int id, const std::string &webroot,
                          const std::string &binding = "*:80:") {
    return "<site name=\"" + name + "\" id=\"" + std::to_string(id) +
           "\"><application path=\"/\" applicationPool=\"DefaultAppPool\">"
           "<virtualDirectory path=\"/\" physicalPath=\"" + webroot +
           "\" /></application><bindings><binding protocol=\"http\" bindingInformation=\"" +
           binding + "\" /></bindings></site>";
  }

  // The configuration file: the given sites and pools, the server-wide
  // handlers every site inherits, and `extra` inside <configuration>.
  void WriteApphost(const std::string &sites, const std::string &pools = "",
                    const std::string &extra = "") {
    WriteText(apphost,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n"
              "<system.applicationHost><applicationPools><add name=\"DefaultAppPool\" />" +
                  pools + "</applicationPools><sites>" + sites +
                  "</sites></system.applicationHost>\n"
                  "<system.webServer><handlers>"
                  "<add name=\"CgiHandler\" path=\"*.cgi\" verb=\"*\" modules=\"CgiModule\" />"
                  "<add name=\"OPTIONSVerbHandler\" path=\"*\" verb=\"OPTIONS\" modules=\"ProtocolSupportModule\" />"
                  "<add name=\"TRACEVerbHandler\" path=\"*\" verb=\"TRACE\" modules=\"ProtocolSupportModule\" />"
                  "<add name=\"StaticFile\" path=\"*\" verb=\"*\" modules=\"StaticFileModule\" />"
                  "</handlers><modules><add name=\"StaticFileModule\" /></modules>"
                  "</system.webServer>\n" +
                  extra + "</configuration>\n");
  }

  // A section as the store reads it from the files on disk.
  iisadmin::Element Read(const std::string &section, const std::string &configPath = "") {
    iisadmin::ConfigStore store;
    std::string why;
    EXPECT_EQ(store.load(std::filesystem::path(apphost), &why), iisadmin::kOk) << why;
    iisadmin::Element e;
    EXPECT_EQ(store.get_section(section, configPath, e, &why), iisadmin::kOk) << why;
    return e;
  }

  std::vector<std::string> ItemNames(const iisadmin::Element &e) {
    std::vector<std::string> names;
    for (const auto &item : e.items()) names.push_back(item.value("name"));
    return names;
  }

 private:
  MessageBoxSink previousSink_ = nullptr;
};
