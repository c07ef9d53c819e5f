#include "Helpers.h"

#include <shellapi.h>

#include <cstdio>

const wchar_t kSystemCallFailed[] = L"A Windows system call failed.";
const wchar_t kErrorBoxTitle[] = L"QVS Configuration Error";

namespace {

std::wstring HexCode(std::uint32_t code) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08x", code);
  return text;
}

std::wstring Widen(const char *ascii) {
  std::wstring out;
  for (; *ascii != '\0'; ++ascii) out += static_cast<wchar_t>(static_cast<unsigned char>(*ascii));
  return out;
}

bool IsBrace(wchar_t c) { return c == L'{' || c == L'}'; }

int DefaultMessageBox(HWND owner, const std::wstring &text, const std::wstring &title, UINT type) {
  return MessageBoxW(owner, text.c_str(), title.c_str(), type);
}

MessageBoxSink g_messageBoxSink = DefaultMessageBox;

}  // namespace

namespace QVS {

WindowsException::WindowsException(std::uint32_t code, const std::wstring &text,
                                   const char *sourceFile, int line)
    : BaseException(code, FormatWindowsErrorMessage(code, sourceFile, line, text)) {}

ApplicationException::ApplicationException(std::uint32_t code, const std::wstring &text)
    : BaseException(code, HexCode(code) + L": " + text) {}

}  // namespace QVS

std::wstring GetSystemErrorText(std::uint32_t code) {
  wchar_t *buffer = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF,
                                nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return L"(error message not found)";
  std::wstring text(buffer, length);
  LocalFree(buffer);
  return text;
}

std::wstring FormatWindowsErrorMessage(std::uint32_t code, const char *sourceFile, int line,
                                       const std::wstring &text) {
  std::wstring message = text + L"\n" + HexCode(code) + L": " + GetSystemErrorText(code);
  if (code == 0x80070005) message += L"\n(Is app running as admin?)";
  if (sourceFile != nullptr)
    message += L"\n\nFile: " + Widen(sourceFile) + L"\nLine: " + std::to_wstring(line);
  return message;
}

void CheckBool(BOOL result, const char *sourceFile, int line) {
  if (result == 0) throw QVS::WindowsException(GetLastError(), kSystemCallFailed, sourceFile, line);
}

void CheckHResult(HRESULT hr, const char *sourceFile, int line) {
  if (FAILED(hr))
    throw QVS::WindowsException(static_cast<std::uint32_t>(hr), kSystemCallFailed, sourceFile, line);
}

std::wstring GetConfigValue(const wchar_t *iniPath, const wchar_t *key) {
  wchar_t value[256];
  DWORD length = GetPrivateProfileStringW(L"QVS", key, L"", value, 256, iniPath);
  if (length >= 255) {
    // The read itself succeeded, so the last error is usually 0; an
    // exception with code 0 would read as success to the caller.
    DWORD error = GetLastError();
    throw QVS::WindowsException(error != 0 ? error : ERROR_MORE_DATA,
                                std::wstring(L"Value read from config file is too long: ") + key,
                                nullptr, 0);
  }
  if (GetFileAttributesW(iniPath) == INVALID_FILE_ATTRIBUTES)
    throw QVS::WindowsException(
        GetLastError(), std::wstring(L"File-related error while reading from config file: ") + iniPath,
        nullptr, 0);
  return std::wstring(value, length);
}

std::vector<std::wstring> SplitCommandLine(const wchar_t *commandLine) {
  std::vector<std::wstring> arguments;
  // CommandLineToArgvW answers the program's own path for an empty text.
  if (commandLine == nullptr || *commandLine == L'\0') return arguments;
  int count = 0;
  LPWSTR *argv = CommandLineToArgvW(commandLine, &count);
  if (argv == nullptr) return arguments;
  for (int i = 0; i < count; ++i) arguments.emplace_back(argv[i]);
  LocalFree(argv);
  return arguments;
}

std::string Utf16ToUtf8(const wchar_t *text) {
  if (text == nullptr) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  CHECK_BOOL(size != 0);
  std::string out(static_cast<size_t>(size), '\0');
  CHECK_BOOL(WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr) != 0);
  out.resize(static_cast<size_t>(size) - 1);
  return out;
}

std::wstring Utf8ToUtf16(const char *text) {
  if (text == nullptr) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  CHECK_BOOL(size != 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  CHECK_BOOL(MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), size) != 0);
  out.resize(static_cast<size_t>(size) - 1);
  return out;
}

std::wstring GetWindowTextString(HWND window) {
  int length = GetWindowTextLengthW(window);
  if (length == 0) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  int copied = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
  return text;
}

bool DirectoryExists(const std::wstring &path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void CreateDirectoryRecursive(const std::wstring &path) {
  // A growable prefix: paths longer than MAX_PATH reach CreateDirectoryW,
  // which then reports its own error.
  for (size_t i = path.find(L'\\'); i != std::wstring::npos; i = path.find(L'\\', i + 1)) {
    std::wstring prefix = path.substr(0, i + 1);
    if (!DirectoryExists(prefix)) CHECK_BOOL(CreateDirectoryW(prefix.c_str(), nullptr));
  }
  if (!DirectoryExists(path)) CHECK_BOOL(CreateDirectoryW(path.c_str(), nullptr));
}

bool EqualsIgnoreCase(const std::wstring &a, const std::wstring &b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()),
                        b.c_str(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

int CALLBACK BraceWordBreakProc(LPWSTR text, int current, int length, int action) {
  switch (action) {
    case WB_LEFT: {
      if (current < 0) return 0;
      int i = current < length ? current : length;
      for (;;) {
        if (i < length && IsBrace(text[i])) return i + 1;
        if (i == 0) return 0;
        i = static_cast<int>(CharPrevW(text, text + i) - text);
      }
    }
    case WB_RIGHT: {
      if (current >= length) return length;
      for (int i = current < 0 ? 0 : current; i < length;) {
        if (IsBrace(text[i])) {
          int last = i;
          while (last + 1 < length && text[last + 1] == text[i]) ++last;
          return last;
        }
        i = static_cast<int>(CharNextW(text + i) - text);
      }
      return length;
    }
    case WB_ISDELIMITER:
      return current >= 0 && current < length && IsBrace(text[current]) ? TRUE : FALSE;
    default:
      return 0;
  }
}

MessageBoxSink SetMessageBoxSink(MessageBoxSink sink) {
  MessageBoxSink previous = g_messageBoxSink;
  g_messageBoxSink = sink != nullptr ? sink : DefaultMessageBox;
  return previous;
}

int ShowMessageBox(HWND owner, const std::wstring &text, const std::wstring &title, UINT type) {
  return g_messageBoxSink(owner, text, title, type);
}
