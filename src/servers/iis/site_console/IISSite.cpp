#include "IISSite.h"

#include <array>
#include <set>

#include "Helpers.h"

using namespace IISConfig;

IISSite::IISSite(const std::wstring &name, const std::wstring &bindingInformation,
                 const std::wstring &protocol, const std::wstring &webroot,
                 const std::wstring &connectionString, const std::wstring &tempDirectory,
                 std::uint32_t sslFlags, bool isModuleSite)
    : name(name),
      appPool(name),
      protocol(protocol),
      sslFlags(std::to_wstring(sslFlags)),
      webroot(webroot),
      odbcConnectionString(connectionString),
      tempDirectory(tempDirectory),
      isModuleSite(isModuleSite) {
  ParseBindingInformation(bindingInformation);
}

IISSite::IISSite(const std::wstring &name, const std::wstring &ip, const std::wstring &hostName,
                 const std::wstring &protocol, const std::wstring &port,
                 const std::wstring &webroot, const std::wstring &connectionString,
                 const std::wstring &tempDirectory, std::uint32_t sslFlags)
    : name(name),
      appPool(name),
      hostName(hostName),
      protocol(protocol),
      sslFlags(std::to_wstring(sslFlags)),
      port(port),
      webroot(webroot),
      odbcConnectionString(connectionString),
      tempDirectory(tempDirectory),
      ip(ip),
      isModuleSite(true) {}

bool IISSite::operator==(const IISSite &other) const {
  return name == other.name && ip == other.ip && hostName == other.hostName &&
         protocol == other.protocol && port == other.port && webroot == other.webroot &&
         odbcConnectionString == other.odbcConnectionString &&
         tempDirectory == other.tempDirectory && sslFlags == other.sslFlags;
}

void IISSite::ParseBindingInformation(const std::wstring &bindingInformation) {
  size_t first = bindingInformation.find(L':');
  if (first == std::wstring::npos) {
    ip = port = hostName = bindingInformation;
    return;
  }
  size_t second = bindingInformation.find(L':', first + 1);
  ip = bindingInformation.substr(0, first);
  port = bindingInformation.substr(first + 1, second == std::wstring::npos
                                                  ? std::wstring::npos
                                                  : second - first - 1);
  // "ip:port" has no host part; taking the text after the last colon would
  // make the port the host name.
  hostName = second == std::wstring::npos
                 ? std::wstring()
                 : bindingInformation.substr(bindingInformation.rfind(L':') + 1);
}

std::wstring IISSite::GetBindingInformation() const { return ip + L":" + port + L":" + hostName; }

IISSite &SiteList::GetByIndex(std::uint32_t position) { return sites[index[position]]; }

IISSite &SiteList::operator[](const std::wstring &name) { return sites[name]; }

size_t SiteList::Remove(const std::wstring &name) { return sites.erase(name); }

bool SiteList::NameInUse(const std::wstring &name) const {
  for (const auto &[key, site] : sites)
    if (EqualsIgnoreCase(site.name, name)) return true;
  return false;
}

bool SiteList::BindingInUse(const std::wstring &port, const std::wstring &hostName) const {
  for (const auto &[key, site] : sites)
    if (site.port == port && site.hostName == hostName) return true;
  return false;
}

bool SiteList::WebrootInUse(const std::wstring &path) const {
  for (const auto &[key, site] : sites)
    if (site.webroot == path) return true;
  return false;
}

namespace {

const wchar_t kSitesSection[] = L"system.applicationHost/sites";

DWORD CountItems(const Element &element) {
  DWORD count = 0;
  CHECK_HRESULT(GetCollection(element)->get_Count(&count));
  return count;
}

std::wstring WebrootOf(const Element &siteElement) {
  Element application = GetCollectionItem(siteElement, 0);
  return GetStringProperty(GetCollectionItem(application, 0), L"physicalPath");
}

// Two webroots name the same directory (letter case and trailing
// backslashes aside).
bool SameDirectory(std::wstring a, std::wstring b) {
  while (a.size() > 1 && a.back() == L'\\') a.pop_back();
  while (b.size() > 1 && b.back() == L'\\') b.pop_back();
  return EqualsIgnoreCase(a, b);
}

// Creating a site must never touch a site that exists: its web.config
// (which holds its settings) would be overwritten by the new webroot files
// and the rollback would delete it. A configuration that cannot be read
// says why (no administration server registered, no configuration file, a
// file that does not parse) instead of claiming a clash.
void RefuseTakenNameOrWebroot(const IISSite &site) {
  Manager manager = CreateAdminManager();
  Element sites = GetAdminSection(manager, kSitesSection, kApphostPath);
  DWORD count = CountItems(sites);
  bool taken = false;
  for (DWORD i = 0; i < count && !taken; ++i) {
    Element existing = GetCollectionItem(sites, i);
    taken = EqualsIgnoreCase(GetStringProperty(existing, L"name"), site.name);
    try {
      taken = taken || SameDirectory(WebrootOf(existing), site.webroot);
    } catch (const QVS::BaseException &) {
      // a site without a root directory shares no webroot
    }
  }
  if (taken)
    throw QVS::ApplicationException(kErrorSiteCreation, L"Error Creating IIS Site: " + site.name);
}

const std::array<const wchar_t *, 3> kWebrootFileNames = {L"\\robots.txt", L"\\index.html",
                                                          L"\\web.config"};

bool FileExists(const std::wstring &path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool SiteList::Load() {
  bool complete = true;
  try {
    Manager manager = CreateAdminManager();
    Element section = GetAdminSection(manager, kSitesSection, kApphostPath);
    DWORD count = CountItems(section);
    std::set<std::wstring> seen;
    // A site that cannot be read is left out; the others are still listed.
    for (DWORD i = 0; i < count; ++i) {
      try {
        Element siteElement = GetCollectionItem(section, i);
        IISSite site = ReadSite(manager, siteElement);
        seen.insert(site.name);
        sites[site.name] = site;
      } catch (const QVS::BaseException &) {
        complete = false;
      }
    }
    for (auto it = sites.begin(); it != sites.end();)
      it = seen.count(it->first) != 0 ? std::next(it) : sites.erase(it);
  } catch (const QVS::BaseException &) {
    complete = false;
  }
  // Positions always match the records held, so no lookup by position
  // meets a gap.
  index.clear();
  std::uint32_t position = 0;
  for (const auto &[name, site] : sites) index[position++] = name;
  return complete;
}

IISSite ReadSite(const Manager &manager, const Element &siteElement) {
  std::wstring name = GetStringProperty(siteElement, L"name");
  std::wstring sitePath = SitePath(name);
  Element application = GetCollectionItem(siteElement, 0);
  Element directory = GetCollectionItem(application, 0);
  Element binding = GetCollectionItem(GetChildElement(siteElement, L"bindings"), 0);
  bool isModuleSite = IsModuleSite(manager, sitePath);
  std::wstring webroot = GetStringProperty(directory, L"physicalPath");
  std::wstring protocol = GetStringProperty(binding, L"protocol");
  std::wstring bindingInformation = GetStringProperty(binding, L"bindingInformation");
  std::uint32_t sslFlags = 0;
  if (Property flags = GetOptionalProperty(binding))
    sslFlags = GetUIntValue(std::move(flags), L"sslFlags");
  std::wstring connectionString, tempDirectory;
  if (isModuleSite) {
    Manager settingsManager = CreateAdminManager();
    Element settings = GetAdminSection(settingsManager, L"tavrin/settings", sitePath);
    tempDirectory = GetStringProperty(settings, L"temp_directory");
    connectionString = GetStringProperty(settings, L"odbc_connection_string");
  }
  return IISSite(name, bindingInformation, protocol, webroot, connectionString, tempDirectory,
                 sslFlags, isModuleSite);
}

void SiteList::AddSite(IISSite site) {
  RefuseTakenNameOrWebroot(site);
  // The rollback removes only what this call added: files that were there
  // before stay, and the site and pool are removed only once stored.
  std::array<bool, 3> existedBefore{};
  for (size_t i = 0; i < kWebrootFileNames.size(); ++i)
    existedBefore[i] = FileExists(site.webroot + kWebrootFileNames[i]);
  bool siteStored = false;
  try {
    WriteWebrootFiles(site.webroot);
    Manager manager = CreateAdminManager(kApphostPath);
    CreateAppPool(manager, site);
    CreateSite(manager, site);
    siteStored = true;
    ConfigureSite(site);
  } catch (const QVS::BaseException &e) {
    try {
      if (siteStored) {
        DeleteSite(site.name);
        DeleteAppPool(site.appPool);
      }
      for (size_t i = 0; i < kWebrootFileNames.size(); ++i)
        if (!existedBefore[i]) DeleteFileW((site.webroot + kWebrootFileNames[i]).c_str());
    } catch (const QVS::BaseException &) {
      // the original failure is what the caller needs to see
    }
    throw QVS::BaseException(e.code, e.message);
  }
  site.isModuleSite = true;
  std::uint32_t position = index.empty() ? 0 : index.rbegin()->first + 1;
  index[position] = site.name;
  sites[site.name] = site;
}

void SiteList::UpdateSettings(IISSite site) {
  {
    Manager manager = CreateAdminManager(kApphostPath);
    Element sitesSection = GetAdminSection(manager, kSitesSection, kApphostPath);
    if (!CollectionContains(sitesSection, site.name))
      throw QVS::ApplicationException(kErrorSiteNotFound, L"Unable to find site with name: " + site.name);
    FindElementByName(sitesSection, site.name);
  }
  std::wstring sitePath = SitePath(site.name);
  Manager manager = CreateAdminManager(sitePath);
  Element settings = GetAdminSection(manager, L"tavrin/settings", sitePath);
  SetStringValue(GetProperty(settings, L"odbc_connection_string"), site.odbcConnectionString);
  SetStringValue(GetProperty(settings, L"temp_directory"), site.tempDirectory);
  CommitChanges(manager);
  sites[site.name] = site;
}

void WriteResourceToFile(int resourceId, const std::wstring &path) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(resourceId), MAKEINTRESOURCEW(256));
  CHECK_BOOL(found != nullptr);
  HGLOBAL loaded = LoadResource(module, found);
  CHECK_BOOL(loaded != nullptr);
  DWORD size = SizeofResource(module, found);
  const void *bytes = LockResource(loaded);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  CHECK_BOOL(file != INVALID_HANDLE_VALUE);
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes, size, &written, nullptr);
  DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) throw QVS::WindowsException(error, kSystemCallFailed, __FILE__, __LINE__);
  // A short write leaves a truncated file behind: a failure, not success.
  if (written != size)
    throw QVS::WindowsException(ERROR_WRITE_FAULT, kSystemCallFailed, __FILE__, __LINE__);
}

void WriteWebrootFiles(const std::wstring &webroot) {
  if (!DirectoryExists(webroot))
    throw QVS::ApplicationException(kErrorWebroot, L"The webroot directory specifed does not exist.");
  try {
    WriteResourceToFile(kIndexHtmlResource, webroot + L"\\index.html");
    WriteResourceToFile(kWebConfigResource, webroot + L"\\web.config");
    WriteResourceToFile(kRobotsTxtResource, webroot + L"\\robots.txt");
  } catch (const QVS::BaseException &) {
    throw QVS::ApplicationException(kErrorWebroot, L"Error writing files to the webroot.");
  }
}

void DeleteWebrootFiles(const std::wstring &webroot) {
  if (!DirectoryExists(webroot))
    throw QVS::ApplicationException(kErrorWebroot, L"The directory specified does not exist");
  for (const wchar_t *file : kWebrootFileNames) CHECK_BOOL(DeleteFileW((webroot + file).c_str()));
}

void RefreshWebrootFiles(IISSite site) {
  WriteResourceToFile(kIndexHtmlResource, site.webroot + L"\\index.html");
  WriteResourceToFile(kRobotsTxtResource, site.webroot + L"\\robots.txt");
}
