// The Windows-shaped base shared by the stand-ins: one program including the
// module-interface header and the logon header, linked with both stand-ins,
// sees one set of names, one last error and one CloseHandle for every kind
// of handle; file calls report the Windows codes callers compare with.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "tavrin_iis/http_module.h"
#include "winstandin/config.h"
#include "winstandin/logon.h"

namespace fs = std::filesystem;

namespace {

class WinBase : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("winbase-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    winstandin::LogonConfig config;
    config.backend = winstandin::LogonConfig::Backend::file;
    config.accounts_file = fs::path(TAVRIN_SOURCE_DIR) / "tests/fixtures/windows/accounts";
    winstandin::configure_logon(config);
  }
  void TearDown() override {
    winstandin::configure_logon({});
    fs::remove_all(dir_);
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

HANDLE create(const std::string& path, DWORD access, DWORD disposition) {
  return CreateFileA(path.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST_F(WinBase, OneCloseHandleForTokensAndFiles) {
  HANDLE token = nullptr;
  ASSERT_TRUE(LogonUserW(u"alice", u"CORP", u"Right horse 1", LOGON32_LOGON_INTERACTIVE,
                         LOGON32_PROVIDER_DEFAULT, &token));
  HANDLE file = create(path("body"), GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "abc", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);

  // Each kind refuses the other's handle instead of misreading it.
  DWORD size = 0;
  EXPECT_FALSE(GetTokenInformation(file, TokenGroups, nullptr, 0, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteFile(token, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WinstandinFileDescriptor(token), -1);
  EXPECT_GE(WinstandinFileDescriptor(file), 0);

  EXPECT_TRUE(CloseHandle(token));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(fs::file_size(path("body")), 3u);
  // Closed twice, invalid or no handle at all: refused without touching memory.
  int not_a_handle = 0;
  for (HANDLE bad : {token, file, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr),
                     static_cast<HANDLE>(&not_a_handle)}) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(WinBase, FileFailuresReportWindowsCodes) {
  HANDLE first = create(path("once"), GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(first));
  fs::create_directories(dir_ / "dir");
  struct Case {
    std::string path;
    DWORD access, disposition, error;
  } cases[] = {
      {path("once"), GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS},
      {path("missing"), GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {path("nodir") + "/x", GENERIC_WRITE, CREATE_NEW, ERROR_PATH_NOT_FOUND},
      {path("once") + "/x", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {path("dir"), GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {path("once"), GENERIC_READ, 99, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(create(c.path, c.access, c.disposition), INVALID_HANDLE_VALUE) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
  EXPECT_TRUE(DeleteFileA(path("once").c_str()));
  EXPECT_FALSE(DeleteFileA(path("once").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(WinBase, ReadBackAndLastErrorPerThread) {
  HANDLE out = create(path("data"), GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_TRUE(WriteFile(out, "hello", 5, nullptr, nullptr));
  ASSERT_TRUE(CloseHandle(out));
  HANDLE in = create(path("data"), GENERIC_READ, OPEN_EXISTING);
  char buffer[8] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(in, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "hello");
  ASSERT_TRUE(ReadFile(in, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(got, 0u) << "end of file reads as success with no bytes";
  EXPECT_TRUE(CloseHandle(in));

  SetLastError(ERROR_LOGON_FAILURE);
  std::thread([] {
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    SetLastError(ERROR_DISK_FULL);
  }).join();
  EXPECT_EQ(GetLastError(), ERROR_LOGON_FAILURE);
}

TEST(WinBaseText, BstrKeepsItsLengthAndEmbeddedNuls) {
  BSTR text = SysAllocStringLen(u"a\0b", 3);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 3u);
  EXPECT_EQ(text[3], u'\0');
  EXPECT_EQ(std::u16string(text, 3), std::u16string(u"a\0b", 3));
  SysFreeString(text);
  BSTR copy = SysAllocString(u"tavrin/settings");
  EXPECT_EQ(SysStringLen(copy), 15u);
  SysFreeString(copy);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CONNECTION_INVALID), static_cast<HRESULT>(0x800704CDu));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED), static_cast<HRESULT>(0x800703E3u));
}

}  // namespace
