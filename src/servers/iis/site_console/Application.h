// The program's entry and its setup run: the default module site and the
// setup INI file that the installer may write.
#pragma once

#include <string>

#include "IISSite.h"

// The tool's default folders, in the order they are created.
extern const std::wstring kDefaultFolders[4];
extern const std::wstring g_defaultWebroot;
extern const std::wstring g_defaultTempDirectory;

// The site the installer gets when it has no INI file.
IISSite DefaultSite();
// The site record described by the "QVS" section of a setup INI file.
IISSite ReadSiteFromIni(const std::wstring &iniPath);
// Creates the default folders and adds the default site, from the INI
// file when iniPath names an existing file (which is deleted afterwards).
void CreateDefaultSite(SiteList &list, const std::wstring &iniPath);
