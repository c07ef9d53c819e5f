// tavrin_host: runs the sites of a configuration file until SIGTERM or
// SIGINT, then terminates the module factories and exits.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <string>

#include <sqlite3.h>

#include "host.h"
#include "winstandin/config.h"

namespace {

const char kDefaultConfig[] = "/etc/tavrin/applicationHost.config";

void usage(std::ostream &out) {
  out << "usage: tavrin_host [--config FILE] [--workers N] [--io-threads N] [--event-log FILE]\n"
         "                   [--timeout SECONDS] [--linger MS] [--spool-dir DIR] [--log FILE]\n"
         "  --config     the configuration file (default: $TAVRIN_HOST_CONFIG, else "
      << kDefaultConfig
      << ")\n"
         "  --workers    worker threads running requests (default 16)\n"
         "  --io-threads threads reading request headers (default 2)\n"
         "  --timeout    seconds a body read or write may stall (default 120)\n"
         "  --linger     milliseconds a worker waits on a keep-alive connection for the\n"
         "               next request before handing it back (default 20; 0: at once)\n"
         "  --spool-dir  where chunked request bodies are spooled (default: the temp dir)\n"
         "  --log        append the request log there instead of standard error\n"
         "  --event-log  listen to the module's event provider: one JSON line per event\n";
}

bool parse_number(const char *text, unsigned long low, unsigned long high, unsigned &out) {
  char *end = nullptr;
  unsigned long v = std::strtoul(text, &end, 10);
  if (end == text || *end != 0 || *text == '-' || v < low || v > high) return false;
  out = static_cast<unsigned>(v);
  return true;
}

bool parse_count(const char *text, unsigned &out) { return parse_number(text, 1, 4096, out); }

}  // namespace

int main(int argc, char **argv) {
  tavrin_iis::HostOptions options;
  const char *env = std::getenv("TAVRIN_HOST_CONFIG");
  options.config_file = env != nullptr && *env != 0 ? env : kDefaultConfig;
  std::ofstream log_file;
  std::optional<winstandin::EventSinkConfig> event_sink;
  options.log = &std::cerr;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned count = 0;
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

  if (event_sink) {
    try {
      winstandin::configure_event_sink(event_sink);
    } catch (const std::exception &e) {
      std::cerr << "tavrin_host: --event-log: " << e.what() << "\n";
      return 2;
    }
  }

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
    std::cout << "listening " << e.site << " http://" << (v6 ? "[" : "") << e.address
              << (v6 ? "]" : "") << ":" << e.port << "/" << std::endl;
  }
  int received = 0;
  sigwait(&signals, &received);
  *options.log << "tavrin_host: " << strsignal(received) << ", stopping" << std::endl;
  host.stop();
  return 0;
}
