// What the host takes from the configuration store at start: sites with
// their bindings and applications, per-application handler mappings and
// enabled modules, and the global module list.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "iisadmin/config_store.h"

class IHttpModuleFactory;  // tavrin_iis/http_module.h

namespace tavrin_iis {

struct Binding {
  std::string address;  // "" for all addresses ("*"), else a literal IP
  unsigned short port = 0;
  std::string host;  // "" matches any Host header
  bool secure = false;  // https
};

struct HandlerMapping {
  std::string name, path, verb;
  std::vector<std::string> modules;
  // Derived once when read, so that routing a request allocates nothing:
  std::vector<std::string> verbs;  // lower-cased; empty for "*"
  bool path_has_slash = false;     // matched against the whole relative path
  bool static_files = false;       // served by the host itself
  // The module factory the host resolved at start; nullptr with the reason.
  IHttpModuleFactory *factory = nullptr;
  std::string unresolved;
};

struct Application {
  std::string path;         // "/" or "/app"
  std::string config_path;  // "MACHINE/WEBROOT/APPHOST/Site" or ".../Site/app"
  std::u16string config_path16;  // as modules read it
  std::string physical_path_text;  // as configured
  std::filesystem::path physical_path;
  std::vector<HandlerMapping> handlers;
  std::set<std::string> modules;  // names enabled for the application
};

struct Site {
  std::string name;
  unsigned id = 0;
  // Where the site's request log goes (its folder W3SVC<id> is made
  // there); empty: the host's log directory. No log when not enabled.
  std::filesystem::path log_directory;
  bool log_enabled = true;
  std::vector<Binding> bindings;
  std::vector<Application> applications;  // longest path first
};

struct GlobalModule {
  std::string name;
  std::filesystem::path image;
};

struct ServerConfig {
  std::vector<Site> sites;  // started sites only
  std::vector<GlobalModule> modules;
};

// false with a message when the configuration cannot be served.
bool read_server_config(const iisadmin::ConfigStore &store, ServerConfig &out, std::string &error);

// The largest request body an application takes (requestFiltering's
// maxAllowedContentLength, 30,000,000 bytes unless configured); false with
// a message when the configuration cannot be read.
bool read_body_limit(const iisadmin::ConfigStore &store, std::string_view config_path, std::uint64_t &limit,
                     std::string &error);

// Parses "ip:port:host"; false when malformed.
bool parse_binding(const std::string &text, Binding &out);

// Case-insensitive match with '*' wildcards.
bool wildcard_match(std::string_view pattern, std::string_view text);

}  // namespace tavrin_iis
