// How Windows drive paths written into the configuration (by the site
// configuration tool under Wine, for example) read on this machine: each
// drive letter stands for a directory, as in a Wine prefix's dosdevices.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace iisadmin {

class DriveMap {
 public:
  // The drives of a Wine prefix: each "<letter>:" link in its dosdevices
  // directory (c: -> ../drive_c, z: -> /). false with the reason when the
  // directory is no prefix.
  bool load_wine_prefix(const std::filesystem::path &prefix, std::string *error);
  void add(char letter, std::filesystem::path directory);
  bool empty() const { return drives_.empty(); }

  // The local path of a drive path ("C:\a\b" or "c:/a/b") on a mapped
  // drive, its components matched ignoring case as Windows does; nullopt
  // for any other text.
  std::optional<std::filesystem::path> resolve(std::string_view text) const;

 private:
  std::map<char, std::filesystem::path> drives_;  // by lower-case letter
};

}  // namespace iisadmin
