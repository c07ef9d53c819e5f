// tavrin_host: serves HTTP for the sites of a configuration store and runs
// the native modules it names, one module instance per request on a fixed
// pool of worker threads.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace tavrin_iis {

struct HostOptions {
  std::filesystem::path config_file;
  unsigned workers = 16;
  unsigned io_threads = 2;
  // A body read or response write that makes no progress for this long is
  // aborted (ReadEntityBody answers 0x800703E3); a request head must arrive
  // within it, and an idle connection is closed after it.
  std::chrono::milliseconds io_timeout{120000};
  // Once body_grace has passed, a request body must have arrived at this
  // many bytes a second on average, or the request is answered 408 and the
  // connection closed (0: no minimum).
  unsigned min_body_rate = 240;
  std::chrono::milliseconds body_grace{10000};
  // Where request bodies too big to keep in memory are spooled while they
  // arrive (unnamed files); the system's temporary directory when empty.
  std::filesystem::path spool_directory;
  // After answering on a keep-alive connection, the worker waits this long
  // for the client's next request and serves it itself, instead of handing
  // the connection back to the I/O threads (two thread hops per request).
  // It gives way at once when another request waits for a worker.
  std::chrono::milliseconds keep_alive_linger{20};
  // The host's own messages (start, warnings, failures); nullptr: none.
  std::ostream *log = nullptr;
  // The request logs of sites whose configuration names no log directory
  // go to W3SVC<site id> here (none when empty).
  std::filesystem::path log_directory;
  // After a module ran, how long its answer must wait before it goes out
  // (a failed logon's delay, taken from the worker thread that ran it).
  // The worker is free meanwhile. Empty: never.
  std::function<std::chrono::milliseconds()> answer_delay;
  // https bindings: the certificate (PEM, with its chain) and private key
  // by site name. A site with an https binding and no entry here keeps
  // the host from starting.
  struct Certificate {
    std::filesystem::path certificate_file, key_file;
  };
  std::map<std::string, Certificate> certificates;
  // Configuration values that are Windows drive paths (C:\ProgramData\...) are read
  // through this prefix's drive mapping (empty: none); a relative one is
  // taken from the working directory.
  std::filesystem::path wine_prefix;
};

struct Endpoint {
  std::string site;
  std::string address;  // as bound: "127.0.0.1", "::1", "::"
  unsigned short port;
  bool secure;  // https
};

class Host {
 public:
  explicit Host(HostOptions options);
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  // Reads the configuration, loads and registers every module, binds every
  // binding of every started site and starts serving. false with a message
  // for a bad configuration, a module that fails to load or register, or a
  // binding that cannot be bound. Work files that stopped hosts left in the
  // sites' temp_directory are removed first.
  bool start(std::string &error);
  std::vector<Endpoint> endpoints() const;
  // What start found wrong without refusing to start (a site whose
  // physical path does not exist, ...); also written to the log.
  std::vector<std::string> warnings() const;
  // The folder of a site's request log (empty when it logs none).
  std::filesystem::path log_folder(const std::string &site) const;
  // Stops accepting, aborts body reads in progress, waits for the requests
  // running, then terminates every module factory. Idempotent.
  void stop();

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrin_iis
