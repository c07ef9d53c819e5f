#include "iisadmin/drive_map.h"

#include <cctype>
#include <system_error>

namespace iisadmin {

namespace fs = std::filesystem;

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// The entry of dir named like `name`: the exact one, else one that differs
// only in letter case, else `name` itself (a path that does not exist yet).
std::string find_entry(const fs::path &dir, const std::string &name) {
  std::error_code ec;
  if (fs::exists(dir / name, ec)) return name;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string entry = it->path().filename().string();
    if (same_ignoring_case(entry, name)) return entry;
  }
  return name;
}

}  // namespace

bool DriveMap::load_wine_prefix(const fs::path &prefix, std::string *error) {
  fs::path devices = prefix / "dosdevices";
  std::error_code ec;
  if (!fs::is_directory(devices, ec)) {
    if (error != nullptr) *error = "not a Wine prefix (no dosdevices directory): " + prefix.string();
    return false;
  }
  for (fs::directory_iterator it(devices, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.size() != 2 || name[1] != ':' || !std::isalpha(static_cast<unsigned char>(name[0]))) continue;
    std::error_code link_ec;
    fs::path target = fs::read_symlink(it->path(), link_ec);
    if (link_ec) continue;
    add(name[0], target.is_relative() ? (devices / target).lexically_normal() : target);
  }
  return true;
}

void DriveMap::add(char letter, fs::path directory) { drives_[lower(letter)] = std::move(directory); }

std::optional<fs::path> DriveMap::resolve(std::string_view text) const {
  if (text.size() < 2 || text[1] != ':' || (text.size() > 2 && text[2] != '\\' && text[2] != '/'))
    return std::nullopt;
  auto drive = drives_.find(lower(text[0]));
  if (drive == drives_.end()) return std::nullopt;
  fs::path out = drive->second;
  for (size_t start = 2; start < text.size();) {
    size_t end = text.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = text.size();
    std::string component(text.substr(start, end - start));
    if (!component.empty() && component != ".") out /= find_entry(out, component);
    start = end + 1;
  }
  return out.lexically_normal();
}

}  // namespace iisadmin
