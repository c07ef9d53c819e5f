// tavrin_host: runs the sites of a configuration file until SIGTERM or
// SIGINT, then terminates the module factories and exits.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <sys/resource.h>
#include <string>

#include <sqlite3.h>

#include "host.h"
#include "winstandin/config.h"

namespace {

const char kDefaultConfig[] = "/etc/tavrin/applicationHost.config";

void usage(std::ostream &out) {
  out << "usage: tavrin_host [--config FILE] [--workers N] [--io-threads N] [--event-log FILE]\n"
         "                   [--timeout SECONDS] [--min-body-rate BYTES] [--body-grace SECONDS]\n"
         "                   [--linger MS] [--spool-dir DIR] [--log FILE] [--wine-prefix DIR]\n"
         "                   [--certificate SITE=FILE [--private-key SITE=FILE]]...\n"
         "                   [--accounts FILE | --pam-domain NAME... [--pam-service-dir DIR]]\n"
         "  --config     the configuration file (default: $TAVRIN_HOST_CONFIG, else "
      << kDefaultConfig
      << ")\n"
         "  --workers    worker threads running requests (default 16)\n"
         "  --io-threads threads reading request heads and bodies (default 2)\n"
         "  --timeout    seconds a body read or write may stall, a request head may take,\n"
         "               and an idle connection stays open (default 120)\n"
         "  --min-body-rate  bytes a second a request body must average once the grace has\n"
         "               passed, else 408 and the connection closes (default 240; 0: none)\n"
         "  --body-grace seconds before the minimum body rate applies (default 10)\n"
         "  --linger     milliseconds a worker waits on a keep-alive connection for the\n"
         "               next request before handing it back (default 20; 0: at once)\n"
         "  --spool-dir  where request bodies too big for memory wait for a worker\n"
         "               (unnamed files; default: the temp dir)\n"
         "  --log        append the host's messages there instead of standard error; its\n"
         "               folder holds the request logs (W3SVC<site id>/u_exYYMMDD.log) of\n"
         "               sites whose configuration names no logFile directory (default:\n"
         "               the configuration file's folder)\n"
         "  --event-log  listen to the module's event provider: one JSON line per event\n"
         "  --wine-prefix  read Windows drive paths of the configuration (C:\\...) through\n"
         "               this Wine prefix's drives, as the site configuration tool wrote them\n"
         "               (default: $WINEPREFIX when set)\n"
         "  --certificate  the certificate (PEM, with its chain) of SITE's https bindings\n"
         "  --private-key  its private key (PEM; default: the certificate file)\n"
         "  --accounts   the \"windows\" scheme checks the accounts of this file\n"
         "               (domain:user:bcrypt-hash:groups:options a line)\n"
         "  --pam-domain the \"windows\" scheme checks Linux accounts through PAM for this\n"
         "               domain (repeat for more)\n"
         "  --pam-service-dir  the directory of the PAM service file \"tavrin\"\n"
         "               (default " TAVRIN_PAM_SERVICE_DIR ")\n";
}

// "SITE=VALUE" of --certificate and --private-key.
bool split_site_value(const std::string &text, std::string &site, std::string &value) {
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) return false;
  site = text.substr(0, equals);
  value = text.substr(equals + 1);
  return true;
}

bool parse_number(const char *text, unsigned long low, unsigned long high, unsigned &out) {
  char *end = nullptr;
  unsigned long v = std::strtoul(text, &end, 10);
  if (end == text || *end != 0 || *text == '-' || v < low || v > high) return false;
  out = static_cast<unsigned>(v);
  return true;
}

bool parse_count(const char *text, unsigned &out) { return parse_number(text, 1, 4096, out); }

// Every connection, spooled body and work file takes a descriptor: the soft
// limit is raised to the hard one, as far as the process may go.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char **argv) {
  tavrin_iis::HostOptions options;
  const char *env = std::getenv("TAVRIN_HOST_CONFIG");
  options.config_file = env != nullptr && *env != 0 ? env : kDefaultConfig;
  std::ofstream log_file;
  std::filesystem::path log_path;
  std::optional<winstandin::EventSinkConfig> event_sink;
  // A Wine session's prefix is the one its sites were written in, unless --wine-prefix says otherwise.
  if (const char *prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != 0) options.wine_prefix = prefix;
  winstandin::LogonConfig logon;
  logon.pam_service_dir = TAVRIN_PAM_SERVICE_DIR;
  options.log = &std::cerr;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned count = 0;
    std::string site, path;
    if (arg == "--help" || arg == "-h") {
      usage(std::cout);
      return 0;
    }
    if (value == nullptr) {
      std::cerr << "tavrin_host: " << arg << ": missing value or unknown option\n";
      usage(std::cerr);
      return 2;
    }
    ++i;
    if (arg == "--config") {
      options.config_file = value;
    } else if (arg == "--workers" && parse_count(value, count)) {
      options.workers = count;
    } else if (arg == "--io-threads" && parse_count(value, count)) {
      options.io_threads = count;
    } else if (arg == "--timeout" && parse_count(value, count)) {
      options.io_timeout = std::chrono::seconds(count);
    } else if (arg == "--min-body-rate" && parse_number(value, 0, 1u << 30, count)) {
      options.min_body_rate = count;
    } else if (arg == "--body-grace" && parse_number(value, 0, 86400, count)) {
      options.body_grace = std::chrono::seconds(count);
    } else if ((arg == "--certificate" || arg == "--private-key") && split_site_value(value, site, path)) {
      auto &certificate = options.certificates[site];
      (arg == "--certificate" ? certificate.certificate_file : certificate.key_file) = path;
    } else if (arg == "--wine-prefix") {
      options.wine_prefix = value;
    } else if (arg == "--accounts" && logon.backend != winstandin::LogonConfig::Backend::pam) {
      logon.backend = winstandin::LogonConfig::Backend::file;
      logon.accounts_file = value;
    } else if (arg == "--pam-domain" && *value != 0 && logon.backend != winstandin::LogonConfig::Backend::file) {
      logon.backend = winstandin::LogonConfig::Backend::pam;
      logon.domains.push_back(value);
    } else if (arg == "--pam-service-dir") {
      logon.pam_service_dir = value;
    } else if (arg == "--linger" && parse_number(value, 0, 60000, count)) {
      options.keep_alive_linger = std::chrono::milliseconds(count);
    } else if (arg == "--spool-dir") {
      options.spool_directory = value;
    } else if (arg == "--log") {
      log_file.open(value, std::ios::app);
      if (!log_file) {
        std::cerr << "tavrin_host: cannot open the log " << value << "\n";
        return 2;
      }
      options.log = &log_file;
      log_path = value;
    } else if (arg == "--event-log") {
      event_sink.emplace();
      event_sink->file = value;
    } else {
      std::cerr << "tavrin_host: bad option " << arg << " " << value << "\n";
      usage(std::cerr);
      return 2;
    }
  }

  // Signals are taken by sigwait on this thread; every thread started
  // from here on inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  for (const auto &[site, certificate] : options.certificates)
    if (certificate.certificate_file.empty()) {
      std::cerr << "tavrin_host: --private-key " << site << "=...: the site has no --certificate\n";
      return 2;
    }
  if (logon.backend != winstandin::LogonConfig::Backend::none) {
    try {
      winstandin::configure_logon(logon);
    } catch (const std::exception &e) {
      std::cerr << "tavrin_host: logon: " << e.what() << "\n";
      return 2;
    }
  }
  if (event_sink) {
    try {
      winstandin::configure_event_sink(event_sink);
    } catch (const std::exception &e) {
      std::cerr << "tavrin_host: --event-log: " << e.what() << "\n";
      return 2;
    }
  }

  raise_descriptor_limit();
  options.log_directory = std::filesystem::absolute(log_path.empty() ? options.config_file : log_path).parent_path();
  options.answer_delay = winstandin::take_failed_logon_delay;

  // The modules and drivers this process loads share one SQLite. Its memory
  // statistics would put every allocation of every worker behind one mutex,
  // and nothing reads them: off before anything initialises SQLite.
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

  tavrin_iis::Host host(options);
  std::string error;
  if (!host.start(error)) {
    std::cerr << "tavrin_host: " << error << "\n";
    return 1;
  }
  for (const auto &e : host.endpoints()) {
    bool v6 = e.address.find(':') != std::string::npos;
    std::cout << "listening " << e.site << " " << (e.secure ? "https" : "http") << "://" << (v6 ? "[" : "")
              << e.address << (v6 ? "]" : "") << ":" << e.port << "/" << std::endl;
  }
  // After the listening lines, which whoever started the host waits for first. The sites'
  // problems also go to standard error; the logon back end's absence only to the log.
  if (options.log != &std::cerr)
    for (const auto &warning : host.warnings()) std::cerr << "tavrin_host: warning: " << warning << "\n";
  if (logon.backend == winstandin::LogonConfig::Backend::none)
    *options.log << "tavrin_host: warning: no logon back end (--accounts or --pam-domain): every logon of the "
                    "\"windows\" scheme fails (401)"
                 << std::endl;
  int received = 0;
  sigwait(&signals, &received);
  *options.log << "tavrin_host: " << strsignal(received) << ", stopping" << std::endl;
  host.stop();
  return 0;
}
