// The tool's exceptions, the checks that turn failed Windows calls into
// them, and small system helpers (INI values, command line, UTF-8/UTF-16,
// window texts, directory creation, the connection-string word breaks).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace QVS {

// Thrown by value, caught by reference as BaseException; a handler that
// passes one on throws a plain BaseException with the same code and message.
class BaseException {
 public:
  BaseException(std::uint32_t code, std::wstring message)
      : code(code), message(std::move(message)) {}
  std::uint32_t code;
  std::wstring message;
};

// A failed Windows call: the Win32 error or HRESULT unchanged.
class WindowsException : public BaseException {
 public:
  WindowsException(std::uint32_t code, const std::wstring &text, const char *sourceFile, int line);
};

// One of the application codes below; the message is "0x%08x: " + text.
class ApplicationException : public BaseException {
 public:
  ApplicationException(std::uint32_t code, const std::wstring &text);
};

}  // namespace QVS

// Application codes.
constexpr std::uint32_t kErrorUnknownParameter = 0xA0000001;
constexpr std::uint32_t kErrorPropertyType = 0xA0000003;
constexpr std::uint32_t kErrorElementNotFound = 0xA0000004;
constexpr std::uint32_t kErrorWebroot = 0xA0000005;
constexpr std::uint32_t kErrorSiteNotFound = 0xA0000006;
constexpr std::uint32_t kErrorNetworkAdapters = 0xA0000007;
constexpr std::uint32_t kErrorSiteCreation = 0xA0000008;

extern const wchar_t kSystemCallFailed[];  // "A Windows system call failed."
extern const wchar_t kErrorBoxTitle[];     // "QVS Configuration Error"

// The system's text for an error code, "(error message not found)" when
// it has none.
std::wstring GetSystemErrorText(std::uint32_t code);
// The message of a WindowsException; sourceFile may be null.
std::wstring FormatWindowsErrorMessage(std::uint32_t code, const char *sourceFile, int line,
                                       const std::wstring &text);

// Throw WindowsException(GetLastError()) when result is zero.
void CheckBool(BOOL result, const char *sourceFile, int line);
// Throw WindowsException(hr) when hr is a failure HRESULT.
void CheckHResult(HRESULT hr, const char *sourceFile, int line);
#define CHECK_BOOL(call) CheckBool((call), __FILE__, __LINE__)
#define CHECK_HRESULT(call) CheckHResult((call), __FILE__, __LINE__)

// One value of the section "QVS" of an INI file ("" when the key is absent).
std::wstring GetConfigValue(const wchar_t *iniPath, const wchar_t *key);
// The arguments of a command line without the program name.
std::vector<std::wstring> SplitCommandLine(const wchar_t *commandLine);
std::string Utf16ToUtf8(const wchar_t *text);
std::wstring Utf8ToUtf16(const char *text);
std::wstring GetWindowTextString(HWND window);
// Creates every missing directory of a backslash-separated path, top down.
void CreateDirectoryRecursive(const std::wstring &path);
// True when the path names an existing directory.
bool DirectoryExists(const std::wstring &path);
// Locale-aware, case-insensitive equality of two texts.
bool EqualsIgnoreCase(const std::wstring &a, const std::wstring &b);
// Word breaks of the connection-string edit box: only "{" and "}" delimit.
int CALLBACK BraceWordBreakProc(LPWSTR text, int current, int length, int action);

// Every message box of the tool goes through this sink, so that unattended
// runs and tests can record boxes instead of blocking on them.
using MessageBoxSink = int (*)(HWND owner, const std::wstring &text, const std::wstring &title,
                               UINT type);
// Installs a sink (null restores MessageBoxW); returns the previous one.
MessageBoxSink SetMessageBoxSink(MessageBoxSink sink);
int ShowMessageBox(HWND owner, const std::wstring &text, const std::wstring &title, UINT type);
