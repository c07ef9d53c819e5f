// Small file helpers for the Windows tests: a fresh directory per test
// under the prefix's temp folder, and whole-file reads and writes.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadBytes(const std::wstring &file) {
  std::ifstream in(std::filesystem::path(file), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteText(const std::wstring &file, const std::string &text) {
  std::ofstream(std::filesystem::path(file), std::ios::binary) << text;
}

inline bool Exists(const std::wstring &file) {
  return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class TempDir : public ::testing::Test {
 protected:
  std::wstring path;

  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("tavrin-") + info->test_suite_name() + "-" + info->name();
    path = std::wstring(temp) + std::wstring(name.begin(), name.end()) + L"-" +
           std::to_wstring(GetCurrentProcessId());
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(path), ec);
    std::filesystem::create_directories(std::filesystem::path(path));
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(path), ec);
  }
};
