// The program's entry and its setup run: the default module site and the
// setup INI file that the installer may write.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

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

// Whether the setup run creates the default site: always for an existing
// INI file; otherwise only when no module site exists yet.
bool SetupCreatesDefaultSite(bool hasIniArgument, bool moduleSiteExists, bool iniIsFile);
// The warning shown when the setup run could not create the default site.
extern const wchar_t kSetupWarning[];
extern const wchar_t kSetupWarningTitle[];  // "QVS Configuration Warning"

// One run of the program over its arguments (without the program name).
class Application {
 public:
  Application(HINSTANCE instance, std::vector<std::wstring> arguments)
      : instance_(instance), arguments_(std::move(arguments)) {}
  // The mode's exit code; throws what the mode does not handle itself.
  int Run();

 private:
  void Setup();

  HINSTANCE instance_;
  std::vector<std::wstring> arguments_;
};

// The whole program: start-up, the mode, and the error box and exit code
// of a failure that the mode did not handle.
int RunProgram(HINSTANCE instance, const wchar_t *commandLine);
