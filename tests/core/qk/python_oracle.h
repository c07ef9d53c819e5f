// Runs a script with Debian's python3 and returns its stdout lines split at blanks:
// the outside oracle of the base library's tests.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::vector<std::string>> python_oracle_rows(const std::string &script) {
  char path[] = "/tmp/qk_oracle_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return {};
  FILE *f = fdopen(fd, "w");
  fputs(script.c_str(), f);
  fclose(f);
  std::string command = std::string("/usr/bin/python3 ") + path;
  FILE *pipe = popen(command.c_str(), "r");
  std::vector<std::vector<std::string>> rows;
  if (pipe) {
    std::string line;
    char buf[4096];
    while (fgets(buf, sizeof buf, pipe)) {
      line += buf;
      if (line.back() != '\n') continue;
      line.pop_back();
      std::istringstream words(line);
      std::vector<std::string> row;
      for (std::string w; words >> w;) row.push_back(w);
      rows.push_back(row);
      line.clear();
    }
    pclose(pipe);
  }
  unlink(path);
  return rows;
}

// Byte fields are written "x" + hex so that an empty value still is a field.
inline std::string oracle_unhex(const std::string &field) {
  std::string out, hex = field.substr(1);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += (char)strtol(hex.substr(i, 2).c_str(), nullptr, 16);
  return out;
}

// Lowercase hex of bytes, for handing arbitrary bytes to a script as bytes.fromhex('...').
inline std::string oracle_hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}
