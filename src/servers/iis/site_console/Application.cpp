#include "Application.h"

#include "Helpers.h"

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
