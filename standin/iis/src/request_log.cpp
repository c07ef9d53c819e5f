#include "request_log.h"

#include <ctime>

namespace tavrin_iis {

namespace fs = std::filesystem;

namespace {

constexpr size_t kBufferLimit = 64 * 1024;
constexpr auto kLongestWait = std::chrono::seconds(1);

std::tm utc(std::chrono::system_clock::time_point time) {
  std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm out{};
  gmtime_r(&t, &out);
  return out;
}

std::string format_time(std::chrono::system_clock::time_point time, const char *format) {
  std::tm tm = utc(time);
  char text[64];
  size_t n = std::strftime(text, sizeof text, format, &tm);
  return std::string(text, n);
}

}  // namespace

RequestLog::RequestLog(fs::path default_directory, std::function<void(const std::string &)> report)
    : default_directory_(std::move(default_directory)), report_(std::move(report)) {}

RequestLog::~RequestLog() { flush(); }

fs::path RequestLog::folder(const Site &site) const {
  fs::path base = site.log_directory.empty() ? default_directory_ : site.log_directory;
  if (!site.log_enabled || base.empty()) return {};
  return base / ("W3SVC" + std::to_string(site.id));
}

std::string RequestLog::file_name(std::chrono::system_clock::time_point time) {
  return format_time(time, "u_ex%y%m%d.log");
}

bool RequestLog::add_site(const Site &site, std::string &error) {
  fs::path where = folder(site);
  if (where.empty()) return true;
  std::error_code ec;
  fs::create_directories(where, ec);
  if (ec) {
    error = "site '" + site.name + "': cannot make its log folder " + where.string() + ": " + ec.message();
    return false;
  }
  std::lock_guard lock(mutex_);
  sites_[&site].folder = where;
  return true;
}

std::string RequestLog::field(std::string_view value) {
  if (value.empty()) return "-";
  std::string out(value);
  for (char &c : out)
    if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') c = '+';
  return out;
}

void RequestLog::write(const Site *site, const RequestLogEntry &e, bool idle) {
  std::lock_guard lock(mutex_);
  auto it = sites_.find(site);
  if (it == sites_.end()) return;
  SiteLog &log = it->second;
  std::string name = file_name(e.time);
  // Lines of another day go to another file.
  if (!log.buffer.empty() && name != log.file_name) flush_locked(log, e.time);
  if (log.buffer.empty() && name != log.file_name) {
    log.file.close();
    log.file_name = name;
  }
  std::string line = format_time(e.time, "%Y-%m-%d %H:%M:%S");
  for (const std::string *text : {&e.server_ip, &e.method, &e.uri_stem, &e.uri_query})
    line += ' ' + field(*text);
  line += ' ' + std::to_string(e.server_port);
  for (const std::string *text : {&e.username, &e.client_ip, &e.user_agent, &e.referer})
    line += ' ' + field(*text);
  for (std::uint64_t number : {std::uint64_t{e.status}, std::uint64_t{e.substatus}, std::uint64_t{e.win32_status},
                               e.time_taken_ms})
    line += ' ' + std::to_string(number);
  line += "\r\n";
  log.buffer += line;
  buffered_ += line.size();
  if (idle || buffered_ >= kBufferLimit || std::chrono::steady_clock::now() - written_ >= kLongestWait)
    for (auto &[_, each] : sites_) flush_locked(each, e.time);
}

void RequestLog::flush() {
  std::lock_guard lock(mutex_);
  for (auto &[_, log] : sites_) flush_locked(log, std::chrono::system_clock::now());
}

void RequestLog::flush_locked(SiteLog &log, std::chrono::system_clock::time_point now) {
  written_ = std::chrono::steady_clock::now();
  if (log.buffer.empty()) return;
  buffered_ -= log.buffer.size();
  fs::path path = log.folder / log.file_name;
  if (!log.file.is_open()) {
    log.file.open(path, std::ios::app | std::ios::binary);
    if (log.file)
      log.file << "#Software: tavrin_host\r\n#Version: 1.0\r\n#Date: " << format_time(now, "%Y-%m-%d %H:%M:%S")
               << "\r\n#Fields: " << kFields << "\r\n";
  }
  log.file.write(log.buffer.data(), static_cast<std::streamsize>(log.buffer.size()));
  log.file.flush();
  // Lines that cannot be written are dropped, so that a full disk does not grow the buffer.
  log.buffer.clear();
  if (!log.file) {
    log.file.close();
    if (!log.failed && report_) report_("cannot write the request log " + path.string());
    log.failed = true;
  } else {
    log.failed = false;
  }
}

}  // namespace tavrin_iis
