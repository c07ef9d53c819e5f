// A context plus a private temporary directory per test, and small helpers that ask
// coreutils and a forked child about files: the outside view of the file modules.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "context_fixture.h"

struct FileTest : ContextTest {
  std::string dir;
  void SetUp() override {
    ContextTest::SetUp();
    char tmpl[] = "/tmp/qk_files_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    sh("rm -rf '" + dir + "'");
    ContextTest::TearDown();
  }
  std::string path(const std::string &name) const { return dir + "/" + name; }

  // stdout of a shell command, the last line break removed.
  static std::string sh(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return "<popen failed>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  static void write_file(const std::string &p, const std::string &content) {
    FILE *f = fopen(p.c_str(), "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
  }
  static std::string read_file(const std::string &p) {
    std::string out;
    FILE *f = fopen(p.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
  }
  // Runs body in a forked child and returns its exit code (-1 when it did not exit).
  static int in_child(const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};
