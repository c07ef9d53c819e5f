// Exceptions and their messages, the setup INI reader, command-line
// splitting, UTF conversion, directory creation and the word breaks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Helpers.h"
#include "test_files.h"

namespace {

std::vector<std::wstring> Lines(const std::wstring &text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  lines.push_back(text.substr(start));
  return lines;
}

TEST(Exceptions, ApplicationMessageCarriesTheCodeInLowercaseHex) {
  QVS::ApplicationException e(0xA0000004, L"Unable to find IIS config element with: name=x");
  EXPECT_EQ(e.code, 0xA0000004u);
  EXPECT_EQ(e.message, L"0xa0000004: Unable to find IIS config element with: name=x");
}

TEST(Exceptions, WindowsMessageLayout) {
  // System texts differ between systems: only the structure is checked.
  auto withFile = Lines(QVS::WindowsException(0x80070005, L"Caller text.", "src/x.cpp", 42).message);
  ASSERT_EQ(withFile.size(), 6u);
  EXPECT_EQ(withFile[0], L"Caller text.");
  EXPECT_EQ(withFile[1].rfind(L"0x80070005: ", 0), 0u);
  EXPECT_EQ(withFile[2], L"(Is app running as admin?)");
  EXPECT_EQ(withFile[3], L"");
  EXPECT_EQ(withFile[4], L"File: src/x.cpp");
  EXPECT_EQ(withFile[5], L"Line: 42");

  auto plain = Lines(QVS::WindowsException(5, L"T", nullptr, 0).message);
  ASSERT_EQ(plain.size(), 2u);  // no hint for the Win32 code, no file lines
  EXPECT_EQ(plain[1].rfind(L"0x00000005: ", 0), 0u);

  EXPECT_EQ(Lines(QVS::WindowsException(0xA0001234, L"T", nullptr, 0).message)[1],
            L"0xa0001234: (error message not found)");
}

TEST(Exceptions, ChecksThrowOnlyOnFailure) {
  EXPECT_NO_THROW(CHECK_BOOL(TRUE));
  EXPECT_NO_THROW(CHECK_HRESULT(S_FALSE));
  SetLastError(ERROR_FILE_NOT_FOUND);
  try {
    CHECK_BOOL(FALSE);
    FAIL();
  } catch (const QVS::BaseException &e) {
    EXPECT_EQ(e.code, 2u);
    EXPECT_NE(e.message.find(L"A Windows system call failed.\n"), std::wstring::npos);
    EXPECT_NE(e.message.find(L"helpers_test.cpp"), std::wstring::npos);
  }
  try {
    CHECK_HRESULT(E_ACCESSDENIED);
    FAIL();
  } catch (const QVS::BaseException &e) {
    EXPECT_EQ(e.code, 0x80070005u);
  }
}

class ConfigValue : public TempDir {};

TEST_F(ConfigValue, LengthLimitAbsentKeysAndMissingFile) {
  std::wstring ini = path + L"\\setup.ini";
  WriteText(ini, "[QVS]\r\nLong254=" + std::string(254, 'a') + "\r\nLong255=" +
                     std::string(255, 'b') + "\r\nShort=  x y  \r\n[Other]\r\nElse=1\r\n");
  EXPECT_EQ(GetConfigValue(ini.c_str(), L"Long254"), std::wstring(254, L'a'));
  EXPECT_EQ(GetConfigValue(ini.c_str(), L"Short"), L"x y");
  EXPECT_EQ(GetConfigValue(ini.c_str(), L"Missing"), L"");
  EXPECT_EQ(GetConfigValue(ini.c_str(), L"Else"), L"");  // another section
  try {
    GetConfigValue(ini.c_str(), L"Long255");
    FAIL();
  } catch (const QVS::BaseException &e) {
    // Never the code 0: that would read as success at the exit code.
    EXPECT_NE(e.code, 0u);
    EXPECT_EQ(e.message.rfind(L"Value read from config file is too long: Long255\n", 0), 0u);
  }
  std::wstring missing = path + L"\\missing.ini";
  try {
    GetConfigValue(missing.c_str(), L"Port");
    FAIL();
  } catch (const QVS::BaseException &e) {
    EXPECT_NE(e.code, 0u);
    EXPECT_EQ(e.message.rfind(L"File-related error while reading from config file: " + missing, 0), 0u);
  }
}

TEST(SplitCommandLine, WindowsRules) {
  EXPECT_TRUE(SplitCommandLine(nullptr).empty());
  EXPECT_TRUE(SplitCommandLine(L"").empty());
  EXPECT_EQ(SplitCommandLine(L"setup \"C:\\a b\\x.ini\" tail\\\"q"),
            (std::vector<std::wstring>{L"setup", L"C:\\a b\\x.ini", L"tail\"q"}));
}

TEST(Utf, RoundTripsAndNull) {
  const wchar_t text[] = L"a\u00e9\u4e2d\U0001F600";
  EXPECT_EQ(Utf16ToUtf8(text), "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text).c_str()), text);
  EXPECT_EQ(Utf16ToUtf8(nullptr), "");
  EXPECT_EQ(Utf8ToUtf16(nullptr), L"");
}

class Directories : public TempDir {};

TEST_F(Directories, CreatesMissingLevelsAndAcceptsExistingOnes) {
  std::wstring deep = path + L"\\a\\b\\c";
  CreateDirectoryRecursive(deep);
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_NO_THROW(CreateDirectoryRecursive(deep));
  CreateDirectoryRecursive(path + L"\\d\\e\\");  // a trailing backslash ends after the last level
  EXPECT_TRUE(DirectoryExists(path + L"\\d\\e"));
  // Longer than MAX_PATH: no overflow, the system's own answer.
  std::wstring longPath = path;
  while (longPath.size() < 400) longPath += L"\\level";
  EXPECT_NO_THROW(CreateDirectoryRecursive(longPath));
  EXPECT_TRUE(DirectoryExists(longPath));
  WriteText(path + L"\\file", "x");
  EXPECT_THROW(CreateDirectoryRecursive(path + L"\\file\\sub"), QVS::WindowsException);
}

TEST(BraceWordBreakProc, MovesBetweenBracedValues) {
  std::wstring s = L"Driver={SQL Server};Server={a}};x};PWD={{p}";
  auto call = [&](int current, int action) {
    return BraceWordBreakProc(s.data(), current, static_cast<int>(s.size()), action);
  };
  int length = static_cast<int>(s.size());
  struct Case {
    int current, action, expected;
  } cases[] = {
      {0, WB_RIGHT, 7},                // the first opening brace
      {8, WB_RIGHT, 18},               // its closing brace
      {29, WB_RIGHT, 30},              // "}}" run: the last brace of the run
      {length, WB_RIGHT, length},
      {length, WB_LEFT, length},       // behind the last brace
      {17, WB_LEFT, 8},                // just behind "{"
      {3, WB_LEFT, 0},                 // no brace to the left
      {-1, WB_LEFT, 0},
      {7, WB_ISDELIMITER, TRUE},
      {6, WB_ISDELIMITER, FALSE},      // "=" is an ordinary character
      {0, 99, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(call(c.current, c.action), c.expected) << c.current << " action " << c.action;
}

}  // namespace
