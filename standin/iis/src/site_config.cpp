#include "site_config.h"

#include <algorithm>
#include <cctype>
#include <iomanip>
#include <optional>

#include "tavrin_iis/utf.h"

namespace tavrin_iis {

namespace fs = std::filesystem;

namespace {

std::string trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string_view::npos ? std::string() : std::string(s.substr(b, e - b + 1));
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string> split_list(std::string_view s) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find(',', start);
    if (end == std::string_view::npos) end = s.size();
    std::string item = trim(s.substr(start, end - start));
    if (!item.empty()) out.push_back(item);
    start = end + 1;
  }
  return out;
}

// A path of the configuration; relative ones are taken from the
// configuration file's directory.
fs::path expand(const iisadmin::ConfigStore &store, std::string_view text, const fs::path &base) {
  fs::path p = store.physical_path(text);
  return p.is_relative() && !p.empty() ? base / p : p;
}

bool parse_uint(const std::string &text, unsigned &out) {
  if (text.empty() || text.size() > 10 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  std::uint64_t value = std::stoull(text);
  if (value > 0xFFFFFFFFu) return false;
  out = static_cast<unsigned>(value);
  return true;
}

}  // namespace

bool read_body_limit(const iisadmin::ConfigStore &store, std::string_view config_path, std::uint64_t &limit,
                     std::string &error) {
  iisadmin::Element filtering;
  std::string why;
  if (store.get_section("system.webServer/security/requestFiltering", config_path, filtering, &why) !=
      iisadmin::kOk) {
    error = "requestFiltering at " + std::string(config_path) + ": " + why;
    return false;
  }
  std::string text = filtering.child("requestLimits")->value("maxAllowedContentLength");
  unsigned value = 0;
  if (!parse_uint(text, value)) {
    error = "requestFiltering at " + std::string(config_path) + ": maxAllowedContentLength '" + text +
            "' is not a number from 0 to 4294967295";
    return false;
  }
  limit = value;
  return true;
}

bool wildcard_match(std::string_view pattern, std::string_view text) {
  size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && same(pattern[p], text[t])) {
      ++p, ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool parse_binding(const std::string &text, Binding &out) {
  size_t host_colon = text.rfind(':');
  if (host_colon == std::string::npos) return false;
  size_t port_colon = text.rfind(':', host_colon - (host_colon > 0 ? 1 : 0));
  if (port_colon == std::string::npos || port_colon >= host_colon) return false;
  std::string address = text.substr(0, port_colon);
  std::string port = text.substr(port_colon + 1, host_colon - port_colon - 1);
  out.host = text.substr(host_colon + 1);
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  unsigned long value = std::stoul(port);
  if (value > 65535) return false;
  out.port = static_cast<unsigned short>(value);
  if (address == "*" || address.empty()) address.clear();
  else if (address.front() == '[' && address.back() == ']') address = address.substr(1, address.size() - 2);
  out.address = address;
  return true;
}

bool read_server_config(const iisadmin::ConfigStore &store, ServerConfig &out, std::string &error) {
  using iisadmin::Element;
  out = ServerConfig{};
  fs::path base = store.apphost_file().parent_path();
  Element modules;
  std::string why;
  if (store.get_section("system.webServer/globalModules", "", modules, &why) != iisadmin::kOk) {
    error = "reading the global modules: " + why;
    return false;
  }
  for (const auto &m : modules.items()) {
    if (m.value("image").empty()) {
      error = "global module '" + m.value("name") + "' has no image";
      return false;
    }
    out.modules.push_back({m.value("name"), expand(store, m.value("image"), base)});
  }
  Element sites;
  if (store.get_section("system.applicationHost/sites", "", sites, &why) != iisadmin::kOk) {
    error = "reading the sites: " + why;
    return false;
  }
  const Element *defaults = sites.child("siteDefaults");
  for (const auto &s : sites.items()) {
    if (s.value("serverAutoStart") == "false") continue;
    Site site;
    site.name = s.value("name");
    if (!parse_uint(s.value("id"), site.id)) {
      error = "site '" + site.name + "': bad id '" + s.value("id") + "'";
      return false;
    }
    // The site's own logFile settings, else those of siteDefaults.
    std::optional<bool> log_enabled;
    for (const Element *log : {s.child("logFile"), defaults != nullptr ? defaults->child("logFile") : nullptr}) {
      if (log == nullptr) continue;
      if (site.log_directory.empty() && !log->value("directory").empty())
        site.log_directory = expand(store, log->value("directory"), base);
      if (!log_enabled && log->is_set("enabled")) log_enabled = lower(log->value("enabled")) != "false";
    }
    site.log_enabled = log_enabled.value_or(true);
    for (const auto &b : s.child("bindings")->items()) {
      std::string protocol = lower(b.value("protocol"));
      if (protocol != "http" && protocol != "https") continue;
      Binding binding;
      binding.secure = protocol == "https";
      if (!parse_binding(b.value("bindingInformation"), binding)) {
        error = "site '" + site.name + "': bad binding '" + b.value("bindingInformation") + "'";
        return false;
      }
      site.bindings.push_back(binding);
    }
    if (site.bindings.empty()) continue;
    for (const auto &a : s.items()) {
      Application app;
      app.path = a.value("path");
      if (app.path.empty() || app.path.front() != '/') {
        error = "site '" + site.name + "': bad application path '" + app.path + "'";
        return false;
      }
      while (app.path.size() > 1 && app.path.back() == '/') app.path.pop_back();
      app.config_path = std::string(iisadmin::kApphostPath) + "/" + site.name +
                        (app.path == "/" ? std::string() : app.path);
      app.config_path16 = utf8_to_utf16(app.config_path);
      const Element *dir = a.find_item("/");
      if (dir != nullptr) {
        app.physical_path_text = dir->value("physicalPath");
        app.physical_path = expand(store, app.physical_path_text, base);
      }
      Element handlers, enabled;
      if (store.get_section("system.webServer/handlers", app.config_path, handlers, &why) !=
              iisadmin::kOk ||
          store.get_section("system.webServer/modules", app.config_path, enabled, &why) !=
              iisadmin::kOk) {
        error = "site '" + site.name + "', application '" + app.path + "': " + why;
        return false;
      }
      for (const auto &h : handlers.items()) {
        HandlerMapping mapping;
        mapping.name = h.value("name");
        mapping.path = h.value("path");
        mapping.verb = h.value("verb");
        mapping.modules = split_list(h.value("modules"));
        if (mapping.verb != "*") mapping.verbs = split_list(lower(mapping.verb));
        mapping.path_has_slash = mapping.path.find('/') != std::string::npos;
        mapping.static_files = std::find(mapping.modules.begin(), mapping.modules.end(),
                                         "StaticFileModule") != mapping.modules.end();
        app.handlers.push_back(std::move(mapping));
      }
      for (const auto &m : enabled.items()) app.modules.insert(m.value("name"));
      site.applications.push_back(std::move(app));
    }
    if (site.applications.empty()) {
      error = "site '" + site.name + "' has no application";
      return false;
    }
    std::sort(site.applications.begin(), site.applications.end(),
              [](const Application &a, const Application &b) { return a.path.size() > b.path.size(); });
    out.sites.push_back(std::move(site));
  }
  if (out.sites.empty()) {
    error = "no started site with an http or https binding";
    return false;
  }
  return true;
}

}  // namespace tavrin_iis
