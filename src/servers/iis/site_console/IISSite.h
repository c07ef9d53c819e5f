// The tool's model of the machine's sites: one record per site, the list
// of all sites by name and by position, loading the list from the server's
// configuration, creating module sites, and the files of a site's webroot.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "IISConfig.h"

// One site as the tool sees it; only its first binding is represented.
struct IISSite {
  std::wstring name;
  std::wstring appPool;
  std::wstring hostName;
  std::wstring protocol;
  std::wstring sslFlags;  // decimal text, "0" when none
  std::wstring port;
  std::wstring webroot;
  std::wstring odbcConnectionString;
  std::wstring tempDirectory;
  std::wstring ip = L"*";  // "*": all unassigned addresses
  bool isModuleSite = false;

  IISSite() = default;
  // A site as read from the server's configuration.
  IISSite(const std::wstring &name, const std::wstring &bindingInformation,
          const std::wstring &protocol, const std::wstring &webroot,
          const std::wstring &connectionString, const std::wstring &tempDirectory,
          std::uint32_t sslFlags, bool isModuleSite);
  // A new module site built by the tool.
  IISSite(const std::wstring &name, const std::wstring &ip, const std::wstring &hostName,
          const std::wstring &protocol, const std::wstring &port, const std::wstring &webroot,
          const std::wstring &connectionString, const std::wstring &tempDirectory,
          std::uint32_t sslFlags);

  // Compares everything but appPool and isModuleSite.
  bool operator==(const IISSite &other) const;

  // Splits "ip:port:host" into ip, port and hostName.
  void ParseBindingInformation(const std::wstring &bindingInformation);
  std::wstring GetBindingInformation() const;
};

class SiteList {
 public:
  // By name, ordered by UTF-16 code units.
  std::map<std::wstring, IISSite> sites;
  // List position to name.
  std::map<std::uint32_t, std::wstring> index;

  // The record at a list position (inserted when absent).
  IISSite &GetByIndex(std::uint32_t position);
  // The record of a name (inserted as a default record when absent).
  IISSite &operator[](const std::wstring &name);
  size_t Remove(const std::wstring &name);
  size_t Count() const { return sites.size(); }

  bool NameInUse(const std::wstring &name) const;
  bool BindingInUse(const std::wstring &port, const std::wstring &hostName) const;
  bool WebrootInUse(const std::wstring &path) const;

  // Reads every site of the server. False when some site or the sites
  // section could not be read; the list then holds what could be read.
  bool Load();
  // Creates the module site, undoing what this call added when a step fails.
  void AddSite(IISSite site);
  // Writes the record's connection string and temp directory to its site.
  void UpdateSettings(IISSite site);
};

// One site element of the sites section.
IISSite ReadSite(const IISConfig::Manager &manager, const IISConfig::Element &siteElement);

// Webroot files, embedded as resources of type 256.
constexpr int kWebConfigResource = 1032;
constexpr int kIndexHtmlResource = 1033;
constexpr int kRobotsTxtResource = 1034;
void WriteResourceToFile(int resourceId, const std::wstring &path);
void WriteWebrootFiles(const std::wstring &webroot);
void DeleteWebrootFiles(const std::wstring &webroot);
void RefreshWebrootFiles(IISSite site);
