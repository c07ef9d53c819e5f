#include "Application.h"

#include <winsock2.h>
#include <commctrl.h>

#include "Helpers.h"
#include "MainDialog.h"

const std::wstring kDefaultFolders[4] = {
    L"C:\\ProgramData\\Tavrin", L"C:\\ProgramData\\Tavrin\\QVS Server",
    L"C:\\ProgramData\\Tavrin\\QVS Server\\www", L"C:\\ProgramData\\Tavrin\\QVS Server\\temp"};
const std::wstring g_defaultWebroot = kDefaultFolders[2];
const std::wstring g_defaultTempDirectory = kDefaultFolders[3];

namespace {

const wchar_t kDefaultSiteName[] = L"tavrin";

bool IsExistingFile(const std::wstring &path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

IISSite DefaultSite() {
  return IISSite(kDefaultSiteName, L"*", L"", L"http", L"8080", g_defaultWebroot, L"",
                 g_defaultTempDirectory, 0);
}

IISSite ReadSiteFromIni(const std::wstring &iniPath) {
  const wchar_t *path = iniPath.c_str();
  std::wstring port = GetConfigValue(path, L"Port");
  std::wstring bindingInformation, protocol, temp, connectionString;
  std::uint32_t sslFlags = 0;
  if (!port.empty()) {
    temp = GetConfigValue(path, L"Temp");
    connectionString = GetConfigValue(path, L"ODBC");
    protocol = port == L"443" ? L"https" : L"http";
    bindingInformation = L"*:" + port + L":";
  } else {
    std::wstring ssl = GetConfigValue(path, L"SSL");
    temp = GetConfigValue(path, L"Temp");
    connectionString = GetConfigValue(path, L"ODBC");
    protocol = GetConfigValue(path, L"Protocol");
    bindingInformation = GetConfigValue(path, L"Binding");
    sslFlags = ssl == L"1" ? 1 : 0;
  }
  return IISSite(kDefaultSiteName, bindingInformation, protocol, g_defaultWebroot,
                 connectionString, temp, sslFlags, true);
}

void CreateDefaultSite(SiteList &list, const std::wstring &iniPath) {
  for (const auto &folder : kDefaultFolders)
    if (!DirectoryExists(folder)) CHECK_BOOL(CreateDirectoryW(folder.c_str(), nullptr));
  if (IsExistingFile(iniPath)) {
    list.AddSite(ReadSiteFromIni(iniPath));
    DeleteFileW(iniPath.c_str());
  } else {
    list.AddSite(DefaultSite());
  }
}

bool SetupCreatesDefaultSite(bool hasIniArgument, bool moduleSiteExists, bool iniIsFile) {
  return (hasIniArgument && iniIsFile) || !moduleSiteExists;
}

const wchar_t kSetupWarning[] =
    L"The installer was unable to create the default Tavrin IIS Site.\r\r After the installer "
    L"exits, you will need to create a Tavrin enabled IIS site using the QVS Configuration "
    L"Utility. This tool can be launched from the installer by clicking \"Configure Server\" at "
    L"the end of installation.";
const wchar_t kSetupWarningTitle[] = L"QVS Configuration Warning";

namespace {

// Winsock for the life of the object.
class Winsock {
 public:
  Winsock() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (started_) WSACleanup();
  }
  bool Started() const { return started_; }

 private:
  bool started_ = false;
};

// The COM apartment of the thread: one CoUninitialize for each successful
// CoInitializeEx (S_FALSE included), never one for a failed call.
class ComApartment {
 public:
  ComApartment() { CHECK_HRESULT(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
  ~ComApartment() { CoUninitialize(); }
  ComApartment(const ComApartment &) = delete;
  ComApartment &operator=(const ComApartment &) = delete;
};

}  // namespace

int Application::Run() {
  Winsock winsock;
  if (!winsock.Started()) return -1;
  if (arguments_.empty()) {
    MainDialog dialog;
    dialog.sites.Load();
    dialog.Run(instance_);
  } else if (arguments_[0] == L"setup") {
    Setup();
  } else if (arguments_[0] != L"export") {
    throw QVS::ApplicationException(kErrorUnknownParameter,
                                    L"Unknown command line parameter: " + arguments_[0]);
  }
  return 0;
}

void Application::Setup() {
  SiteList list;
  list.Load();
  bool moduleSiteExists = false;
  for (std::uint32_t position = 0; position < list.Count(); ++position) {
    IISSite &site = list.GetByIndex(position);
    if (!site.isModuleSite) continue;
    RefreshWebrootFiles(site);
    moduleSiteExists = true;
  }
  bool hasIniArgument = arguments_.size() > 1;
  std::wstring iniPath = hasIniArgument ? arguments_[1] : std::wstring();
  if (!SetupCreatesDefaultSite(hasIniArgument, moduleSiteExists, IsExistingFile(iniPath))) return;
  try {
    CreateDefaultSite(list, iniPath);
  } catch (const QVS::BaseException &) {
    ShowMessageBox(nullptr, kSetupWarning, kSetupWarningTitle, MB_ICONWARNING);
  }
}

int RunProgram(HINSTANCE instance, const wchar_t *commandLine) {
  try {
    std::vector<std::wstring> arguments = SplitCommandLine(commandLine);
    InitCommonControls();
    ComApartment com;
    return Application(instance, std::move(arguments)).Run();
  } catch (const QVS::BaseException &e) {
    ShowMessageBox(nullptr, e.message, kErrorBoxTitle, MB_ICONERROR);
    return static_cast<int>(e.code);
  }
}
