// The sites' request logs in the W3C extended format, as IIS writes them:
// a folder per site (W3SVC<id>), a file per UTC day (u_exYYMMDD.log), and a
// header block (#Software, #Version, #Date, #Fields) whenever this process
// opens a file. Lines are buffered while requests run (a write per request
// would cost a system call each) and written out when the host falls idle,
// the buffer fills, a second has passed, or the log is flushed.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "site_config.h"

namespace tavrin_iis {

// One request as the log shows it; empty texts are written as "-".
struct RequestLogEntry {
  std::chrono::system_clock::time_point time;  // when the answer ended
  std::string server_ip, method, uri_stem, uri_query, username, client_ip, user_agent, referer;
  unsigned server_port = 0, status = 0, substatus = 0, win32_status = 0;
  std::uint64_t time_taken_ms = 0;
};

class RequestLog {
 public:
  static constexpr const char *kFields =
      "date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs(User-Agent) "
      "cs(Referer) sc-status sc-substatus sc-win32-status time-taken";

  // Sites that name no directory of their own log under default_directory;
  // problems with the files are reported through `report`.
  RequestLog(std::filesystem::path default_directory, std::function<void(const std::string &)> report);
  ~RequestLog();
  RequestLog(const RequestLog &) = delete;
  RequestLog &operator=(const RequestLog &) = delete;

  // Makes the site's folder; false with a message when it cannot be made.
  bool add_site(const Site &site, std::string &error);
  // The site's folder (empty when it does not log) and today's file in it.
  std::filesystem::path folder(const Site &site) const;
  static std::string file_name(std::chrono::system_clock::time_point time);

  // Adds a line to the site's log (nothing for a site that does not log);
  // `idle`: no other request is running, so the line goes out at once.
  void write(const Site *site, const RequestLogEntry &entry, bool idle);
  void flush();

  // A value as a field: "-" when empty, blanks and control characters as "+".
  static std::string field(std::string_view value);

 private:
  struct SiteLog {
    std::filesystem::path folder;
    std::string file_name;  // of the open file
    std::ofstream file;
    std::string buffer;
    bool failed = false;  // reported once until a write succeeds again
  };

  void flush_locked(SiteLog &log, std::chrono::system_clock::time_point now);

  std::filesystem::path default_directory_;
  std::function<void(const std::string &)> report_;
  std::mutex mutex_;
  std::map<const Site *, SiteLog> sites_;
  std::chrono::steady_clock::time_point written_ = std::chrono::steady_clock::now();
  size_t buffered_ = 0;
};

}  // namespace tavrin_iis
