// site_console.exe: the entry point of the Windows GUI program.
#include <windows.h>

#include "Application.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  return RunProgram(instance, commandLine);
}
