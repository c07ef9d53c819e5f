#include "host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <mutex>
#include <optional>

#include "admin_manager.h"
#include "iisadmin/config_store.h"
#include "request.h"
#include "request_log.h"
#include "site_config.h"
#include "work_files.h"
#include "tavrin_iis/http_module.h"
#include "tavrin_iis/utf.h"

namespace tavrin_iis {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
namespace fs = std::filesystem;

namespace {

constexpr DWORD kServerVersion = 12;

class Server final : public IHttpServer {
 public:
  explicit Server(IAppHostAdminManager *admin) : admin_(admin) {}
  IAppHostAdminManager *GetAdminManager() override { return admin_; }

 private:
  IAppHostAdminManager *admin_;
};

struct LoadedModule {
  std::string name;
  std::u16string wide_name;
  void *library = nullptr;
  IHttpModuleFactory *factory = nullptr;
  DWORD notifications = 0;
};

class Registration final : public IHttpModuleRegistrationInfo {
 public:
  explicit Registration(LoadedModule &module) : module_(module) {}
  PCWSTR GetName() override { return module_.wide_name.c_str(); }
  HRESULT SetRequestNotifications(IHttpModuleFactory *factory, DWORD request_notifications,
                                  DWORD) override {
    if (factory == nullptr) return E_INVALIDARG;
    module_.factory = factory;
    module_.notifications = request_notifications;
    return S_OK;
  }

 private:
  LoadedModule &module_;
};

// The TLS side of an https listener: a context per site (its certificate),
// the first one the default, the others chosen by the name the client asks
// for (SNI) when it is the host name of one of their bindings.
struct ListenerTls {
  std::vector<std::unique_ptr<asio::ssl::context>> contexts;
  std::vector<std::pair<std::string, SSL_CTX *>> by_host;
};

int choose_certificate(SSL *ssl, int *, void *arg) {
  const auto *tls = static_cast<const ListenerTls *>(arg);
  const char *name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  if (name != nullptr)
    for (const auto &[host, context] : tls->by_host)
      if (boost::beast::iequals(host, name)) {
        SSL_set_SSL_CTX(ssl, context);
        break;
      }
  return SSL_TLSEXT_ERR_OK;
}

bool make_tls_context(const std::string &site, const HostOptions::Certificate &certificate,
                      std::unique_ptr<asio::ssl::context> &out, std::string &error) {
  using context = asio::ssl::context;
  auto tls = std::make_unique<context>(context::tls_server);
  boost::system::error_code ec;
  tls->set_options(context::default_workarounds | context::no_sslv2 | context::no_sslv3 |
                       context::no_tlsv1 | context::no_tlsv1_1,
                   ec);
  fs::path key = certificate.key_file.empty() ? certificate.certificate_file : certificate.key_file;
  std::string what;
  if (!ec) {
    what = "certificate " + certificate.certificate_file.string();
    tls->use_certificate_chain_file(certificate.certificate_file.string(), ec);
  }
  if (!ec) {
    what = "private key " + key.string();
    tls->use_private_key_file(key.string(), context::pem, ec);
  }
  if (ec) {
    error = "site '" + site + "': " + what + ": " + ec.message();
    return false;
  }
  if (SSL_CTX_check_private_key(tls->native_handle()) != 1) {
    error = "site '" + site + "': the private key " + key.string() + " does not belong to the certificate " +
            certificate.certificate_file.string();
    return false;
  }
  SSL_CTX_set_mode(tls->native_handle(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A client that drops the connection without a close_notify is a client gone, not an error.
  SSL_CTX_set_options(tls->native_handle(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  out = std::move(tls);
  return true;
}

bool is_drive_path(std::string_view text) {
  return text.size() >= 3 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':' &&
         (text[2] == '\\' || text[2] == '/');
}

struct Listener {
  std::unique_ptr<tcp::acceptor> acceptor;
  std::vector<const Site *> sites;
  Binding binding;
  std::unique_ptr<ListenerTls> tls;  // https only
  // Accepting runs on this strand; out of descriptors, it pauses until one
  // frees or the retry timer fires.
  std::optional<asio::strand<asio::io_context::executor_type>> strand;
  std::unique_ptr<asio::steady_timer> retry;
  bool paused = false;
};

// Accepting failed for want of descriptors or memory: retrying at once would spin.
bool out_of_descriptors(const boost::system::error_code &ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec.value() == ENFILE;
}

// A paused acceptor tries again after this long unless a descriptor frees first.
constexpr auto kAcceptRetry = std::chrono::milliseconds(250);

}  // namespace

class Host::Impl : public HostServices {
 public:
  explicit Impl(HostOptions options) : options_(std::move(options)) {}

  HostOptions options_;
  iisadmin::DriveMap drives_;
  iisadmin::ConfigStore store_;
  ServerConfig config_;
  std::unique_ptr<AdminManager> admin_;
  std::unique_ptr<Server> server_;
  std::vector<std::unique_ptr<LoadedModule>> modules_;
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::vector<std::thread> io_threads_;
  std::unique_ptr<asio::thread_pool> workers_;
  std::vector<Listener> listeners_;
  std::vector<Endpoint> endpoints_;
  std::vector<std::string> warnings_;
  std::mutex connections_mutex_;
  std::map<std::uint64_t, std::weak_ptr<Connection>> connections_;
  std::uint64_t next_connection_ = 0;
  std::atomic<bool> stopping_{false};
  bool started_ = false, stopped_ = false;
  std::unique_ptr<RequestLog> request_log_;
  std::vector<WorkDirectoryLock> work_directories_;
  std::atomic<int> paused_listeners_{0};
  // Connections open, and how many the descriptor limit leaves room for
  // beside what the host and its workers need.
  std::atomic<long> open_connections_{0};
  long connection_limit_ = std::numeric_limits<long>::max();
  std::atomic<std::chrono::steady_clock::rep> last_pause_report_{
      (std::chrono::steady_clock::now() - std::chrono::hours(1)).time_since_epoch().count()};
  std::mutex message_mutex_;
  int stop_fd_ = -1, nudge_fd_ = -1;
  // Connections waiting for a worker, workers inside a connection's serve
  // (answering or lingering), requests being answered, lingering workers.
  std::atomic<int> queued_{0}, in_serve_{0}, active_{0}, lingering_{0};
  void flush_log() {
    if (request_log_) request_log_->flush();
  }

  // HostServices
  void log(const std::string &line) override {
    if (options_.log == nullptr) return;
    std::lock_guard lock(message_mutex_);
    *options_.log << line << std::endl;
  }
  void log_request(const Site *site, const RequestLogEntry &entry) override {
    if (request_log_ && site != nullptr) request_log_->write(site, entry, active_ <= 1);
  }
  std::optional<std::uint64_t> body_limit(const Application &application) override {
    std::uint64_t limit = 0;
    std::string error;
    if (read_body_limit(store_, application.config_path, limit, error)) return limit;
    log("tavrin_host: " + error);
    return std::nullopt;
  }
  std::chrono::milliseconds take_answer_delay() override {
    return options_.answer_delay ? options_.answer_delay() : std::chrono::milliseconds(0);
  }
  void connection_closed() override {
    --open_connections_;
    if (paused_listeners_ == 0) return;
    for (auto &listener : listeners_)
      asio::post(*listener.strand, [this, &listener] { resume(listener); });
  }
  int stop_fd() const override { return stop_fd_; }
  bool stopping() const override { return stopping_; }
  std::chrono::milliseconds io_timeout() const override { return options_.io_timeout; }
  unsigned min_body_rate() const override { return options_.min_body_rate; }
  std::chrono::milliseconds body_grace() const override { return options_.body_grace; }
  const fs::path &spool_directory() const override { return options_.spool_directory; }
  void dispatch(std::shared_ptr<Connection> connection) override {
    ++queued_;
    if (others_waiting() && lingering_ > 0) {
      std::uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(nudge_fd_, &one, sizeof one);
    }
    asio::post(*workers_, [this, connection] {
      ++in_serve_;
      --queued_;
      connection->serve();
      --in_serve_;
    });
  }
  void serving_started() override { ++active_; }
  void serving_ended() override {
    if (--active_ == 0) flush_log();
  }
  std::chrono::milliseconds keep_alive_linger() const override { return options_.keep_alive_linger; }
  // More connections wait than there are free workers to take them.
  bool others_waiting() const override {
    return queued_ > static_cast<int>(std::max(1u, options_.workers)) - in_serve_;
  }
  int nudge_fd() const override { return nudge_fd_; }
  void lingering(bool on) override { lingering_ += on ? 1 : -1; }

  // Which module serves each handler mapping is settled once, at start.
  void resolve_handlers() {
    for (auto &site : config_.sites)
      for (auto &app : site.applications)
        for (auto &handler : app.handlers) {
          if (handler.static_files) continue;
          for (const auto &name : handler.modules) {
            if (handler.factory != nullptr || app.modules.count(name) == 0) continue;
            for (const auto &m : modules_)
              if (m->name == name && m->factory != nullptr &&
                  (m->notifications & RQ_EXECUTE_REQUEST_HANDLER) != 0) {
                handler.factory = m->factory;
                break;
              }
          }
          if (handler.factory == nullptr)
            handler.unresolved = "handler '" + handler.name +
                                 "' names no loaded module enabled for the application";
        }
  }

  bool load_modules(std::string &error) {
    for (const auto &m : config_.modules) {
      auto module = std::make_unique<LoadedModule>();
      module->name = m.name;
      module->wide_name = utf8_to_utf16(m.name);
      module->library = dlopen(m.image.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (module->library == nullptr) {
        error = "module '" + m.name + "': cannot load " + m.image.string() + ": " + dlerror();
        return false;
      }
      auto entry = reinterpret_cast<PFN_REGISTERMODULE>(
          dlsym(module->library, TAVRIN_REGISTER_MODULE_EXPORT));
      if (entry == nullptr) {
        error = "module '" + m.name + "': " + m.image.string() + " does not export " +
                TAVRIN_REGISTER_MODULE_EXPORT;
        return false;
      }
      Registration registration(*module);
      HRESULT hr = entry(kServerVersion, &registration, server_.get());
      LoadedModule &loaded = *module;
      modules_.push_back(std::move(module));
      if (FAILED(hr)) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(hr));
        error = "module '" + m.name + "': RegisterModule failed with HRESULT " + text;
        return false;
      }
      if (loaded.factory == nullptr || (loaded.notifications & RQ_EXECUTE_REQUEST_HANDLER) == 0)
        log("tavrin_host: module '" + m.name + "' subscribed to no request handler; it is not used");
    }
    return true;
  }

  bool bind_listeners(std::string &error) {
    for (const auto &site : config_.sites) {
      for (const auto &b : site.bindings) {
        auto shared = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener &l) {
          return b.port != 0 && l.binding.port == b.port && l.binding.address == b.address;
        });
        if (shared != listeners_.end()) {
          if (shared->binding.secure != b.secure) {
            error = "site '" + site.name + "': port " + std::to_string(b.port) +
                    " cannot serve http and https at once";
            return false;
          }
          if (std::find(shared->sites.begin(), shared->sites.end(), &site) == shared->sites.end())
            shared->sites.push_back(&site);
          continue;
        }
        Listener listener;
        listener.binding = b;
        listener.strand.emplace(asio::make_strand(io_));
        listener.retry = std::make_unique<asio::steady_timer>(*listener.strand);
        listener.sites.push_back(&site);
        boost::system::error_code ec;
        listener.acceptor = std::make_unique<tcp::acceptor>(io_);
        tcp::endpoint endpoint;
        if (b.address.empty()) {
          endpoint = tcp::endpoint(tcp::v6(), b.port);
        } else {
          auto address = asio::ip::make_address(b.address, ec);
          if (ec) {
            error = "site '" + site.name + "': bad address '" + b.address + "'";
            return false;
          }
          endpoint = tcp::endpoint(address, b.port);
        }
        auto &a = *listener.acceptor;
        a.open(endpoint.protocol(), ec);
        if (ec && b.address.empty()) {  // no IPv6 on this machine: IPv4 only
          endpoint = tcp::endpoint(tcp::v4(), b.port);
          ec = {};
          a.open(endpoint.protocol(), ec);
        }
        if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec && endpoint.protocol() == tcp::v6())
          a.set_option(asio::ip::v6_only(!b.address.empty()), ec);
        if (!ec) a.bind(endpoint, ec);
        if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
          error = "site '" + site.name + "': cannot listen on " +
                  (b.address.empty() ? std::string("*") : b.address) + ":" +
                  std::to_string(b.port) + ": " + ec.message();
          return false;
        }
        auto bound = a.local_endpoint();
        endpoints_.push_back({site.name, bound.address().to_string(), bound.port(), b.secure});
        listeners_.push_back(std::move(listener));
      }
    }
    for (auto &listener : listeners_)
      if (listener.binding.secure && !make_listener_tls(listener, error)) return false;
    return true;
  }

  bool make_listener_tls(Listener &listener, std::string &error) {
    listener.tls = std::make_unique<ListenerTls>();
    for (const Site *site : listener.sites) {
      std::unique_ptr<asio::ssl::context> context;
      if (!make_tls_context(site->name, options_.certificates.at(site->name), context, error)) return false;
      for (const auto &b : site->bindings)
        if (b.secure && b.port == listener.binding.port && b.address == listener.binding.address &&
            !b.host.empty())
          listener.tls->by_host.emplace_back(b.host, context->native_handle());
      listener.tls->contexts.push_back(std::move(context));
    }
    SSL_CTX *first = listener.tls->contexts.front()->native_handle();
    SSL_CTX_set_tlsext_servername_callback(first, choose_certificate);
    SSL_CTX_set_tlsext_servername_arg(first, listener.tls.get());
    return true;
  }

  // Every https binding needs its site's certificate; without one the host
  // does not start.
  bool check_certificates(std::string &error) {
    for (const auto &site : config_.sites)
      for (const auto &b : site.bindings)
        if (b.secure && options_.certificates.count(site.name) == 0) {
          error = "site '" + site.name + "' has an https binding (" +
                  (b.address.empty() ? std::string("*") : b.address) + ":" + std::to_string(b.port) + ":" +
                  b.host + ") but no certificate: give one with --certificate '" + site.name + "=FILE'";
          return false;
        }
    return true;
  }

  // Sites whose content cannot be found are served (their handlers may not
  // need it), but the administrator is told at once.
  void check_physical_paths() {
    for (const auto &site : config_.sites)
      for (const auto &app : site.applications) {
        std::error_code ec;
        if (fs::is_directory(app.physical_path, ec)) continue;
        std::string where = "site '" + site.name + "'" + (app.path == "/" ? "" : ", application '" + app.path + "'");
        std::string text = app.physical_path_text.empty() ? app.physical_path.string() : app.physical_path_text;
        std::string warning = where + ": the physical path " + text + " does not exist";
        if (is_drive_path(text) && drives_.empty())
          warning += " (a Windows drive path: name the Wine prefix it was written in with --wine-prefix)";
        else if (app.physical_path.string() != text)
          warning += " (read as " + app.physical_path.string() + ")";
        warnings_.push_back(warning);
        log("tavrin_host: warning: " + warning);
      }
  }

  // Listener strand (or start).
  void accept(Listener &listener) {
    listener.acceptor->async_accept(
        asio::make_strand(io_),
        asio::bind_executor(*listener.strand, [this, &listener](boost::system::error_code ec, tcp::socket socket) {
          if (stopping_ || !listener.acceptor->is_open()) return;
          // The connection waits in the backlog; the ones open go on being served.
          if (out_of_descriptors(ec)) return pause(listener, "cannot accept connections (" + ec.message() + ")");
          if (!ec) {
            std::lock_guard lock(connections_mutex_);
            std::uint64_t id = ++next_connection_;
            if (id % 1024 == 0)
              std::erase_if(connections_, [](const auto &entry) { return entry.second.expired(); });
            SSL_CTX *tls = listener.tls ? listener.tls->contexts.front()->native_handle() : nullptr;
            auto c = std::make_shared<Connection>(*this, id, std::move(socket), listener.sites, tls);
            connections_[id] = c;
            ++open_connections_;
            c->read_next();
          }
          if (open_connections_ >= connection_limit_)
            return pause(listener, std::to_string(connection_limit_) +
                                       " connections, as many as the descriptor limit leaves room for");
          accept(listener);
        }));
  }

  // Listener strand.
  void pause(Listener &listener, const std::string &why) {
    if (stopping_ || listener.paused) return;
    listener.paused = true;
    ++paused_listeners_;
    // Said once a minute at most: a host at its limit pauses again and again.
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    auto last = last_pause_report_.load();
    if (now - last >= std::chrono::steady_clock::duration(std::chrono::minutes(1)).count() &&
        last_pause_report_.compare_exchange_strong(last, now))
      log("tavrin_host: " + why + ": accepting paused until a connection closes");
    listener.retry->expires_after(kAcceptRetry);
    listener.retry->async_wait([this, &listener](boost::system::error_code) { resume(listener); });
  }

  // Listener strand.
  void resume(Listener &listener) {
    if (!listener.paused || stopping_) return;
    if (open_connections_ >= connection_limit_) {  // still full: wait for a connection to close
      listener.retry->expires_after(kAcceptRetry);
      listener.retry->async_wait([this, &listener](boost::system::error_code) { resume(listener); });
      return;
    }
    listener.paused = false;
    --paused_listeners_;
    listener.retry->cancel();
    accept(listener);
  }

  // The temp_directory of every application whose settings name one, with
  // whether it may be cleaned: not where support_mode "*" keeps uploads on purpose.
  std::map<fs::path, bool> work_directories() {
    std::map<fs::path, bool> out;
    for (const auto &site : config_.sites)
      for (const auto &app : site.applications) {
        iisadmin::Element settings;
        if (store_.get_section("tavrin/settings", app.config_path, settings, nullptr) != iisadmin::kOk) continue;
        std::string text = settings.value("temp_directory");
        if (text.empty()) continue;
        fs::path directory = drives_.resolve(text).value_or(fs::path(text));
        std::error_code ec;
        if (!fs::is_directory(directory, ec)) continue;
        directory = fs::canonical(directory, ec);
        if (ec) continue;
        auto [it, added] = out.emplace(directory, true);
        it->second = it->second && settings.value("support_mode") != "*";
      }
    return out;
  }

  void lock_work_directories() {
    for (const auto &[directory, clean] : work_directories()) {
      WorkDirectoryLock lock;
      size_t removed = 0;
      std::string error;
      if (!lock.open(directory, clean, removed, error)) {
        log("tavrin_host: warning: temp_directory " + error);
        continue;
      }
      if (removed > 0)
        log("tavrin_host: removed " + std::to_string(removed) + " work file(s) that stopped hosts left in " +
            directory.string());
      work_directories_.push_back(std::move(lock));
    }
  }

  // The connections the descriptor limit leaves room for: what is not in use
  // now (modules loaded, listeners bound), less what the workers' requests
  // need (databases, work files, spooled bodies).
  void limit_connections() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    long soft = static_cast<long>(std::min<rlim_t>(limit.rlim_cur, std::numeric_limits<long>::max() / 2));
    long in_use = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      ++in_use;
    long reserve = std::min<long>(32 + 8 * static_cast<long>(std::max(1u, options_.workers)), soft / 2);
    connection_limit_ = std::max<long>(1, soft - in_use - reserve);
  }

  // Every application's body limit can be read; the request logs' folders exist.
  bool check_request_settings(std::string &error) {
    for (const auto &site : config_.sites)
      for (const auto &app : site.applications) {
        std::uint64_t limit = 0;
        if (!read_body_limit(store_, app.config_path, limit, error)) {
          error = "site '" + site.name + "': " + error;
          return false;
        }
      }
    request_log_ = std::make_unique<RequestLog>(options_.log_directory, [this](const std::string &m) {
      log("tavrin_host: " + m);
    });
    for (const auto &site : config_.sites) {
      std::string why;
      if (!request_log_->add_site(site, why)) {
        warnings_.push_back(why);
        log("tavrin_host: warning: " + why);
      }
    }
    return true;
  }
};

Host::Host(HostOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Host::~Host() { stop(); }

bool Host::start(std::string &error) {
  Impl &h = *impl_;
  if (h.started_) {
    error = "already started";
    return false;
  }
  std::string why;
  if (!h.options_.wine_prefix.empty()) h.options_.wine_prefix = fs::absolute(h.options_.wine_prefix);
  if (!h.options_.wine_prefix.empty() && !h.drives_.load_wine_prefix(h.options_.wine_prefix, &why)) {
    error = "--wine-prefix (or $WINEPREFIX): " + why;
    return false;
  }
  h.store_.set_drive_map(h.drives_);
  if (h.store_.load(h.options_.config_file, &why) != iisadmin::kOk) {
    error = "configuration: " + why;
    return false;
  }
  if (!read_server_config(h.store_, h.config_, why)) {
    error = "configuration " + h.options_.config_file.string() + ": " + why;
    return false;
  }
  if (!h.check_certificates(error) || !h.check_request_settings(error)) return false;
  h.check_physical_paths();
  h.lock_work_directories();
  // A peer that vanishes while TLS writes to it must not end the process.
  struct sigaction pipe {};
  if (sigaction(SIGPIPE, nullptr, &pipe) == 0 && pipe.sa_handler == SIG_DFL) {
    pipe.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &pipe, nullptr);
  }
  if (h.options_.spool_directory.empty()) h.options_.spool_directory = fs::temp_directory_path();
  h.admin_ = std::make_unique<AdminManager>(h.store_, h.drives_, [&h](const std::string &m) {
    h.log("tavrin_host: " + m);
  });
  h.server_ = std::make_unique<Server>(h.admin_.get());
  h.started_ = true;  // from here on stop() terminates what was registered
  if (!h.load_modules(error) || !h.bind_listeners(error)) {
    stop();
    return false;
  }
  h.resolve_handlers();
  h.stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // A semaphore: each waiting request lets one lingering worker go.
  h.nudge_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
  h.workers_ = std::make_unique<asio::thread_pool>(std::max(1u, h.options_.workers));
  h.work_.emplace(h.io_.get_executor());
  h.limit_connections();
  for (auto &l : h.listeners_) h.accept(l);
  for (unsigned i = 0; i < std::max(1u, h.options_.io_threads); ++i)
    h.io_threads_.emplace_back([&h] { h.io_.run(); });
  for (const auto &e : h.endpoints_) {
    bool v6 = e.address.find(':') != std::string::npos;
    h.log("tavrin_host: site '" + e.site + "' listening on " + (e.secure ? "https" : "http") + "://" +
          (v6 ? "[" : "") + e.address + (v6 ? "]" : "") + ":" + std::to_string(e.port) + "/");
  }
  return true;
}

std::vector<Endpoint> Host::endpoints() const { return impl_->endpoints_; }

std::vector<std::string> Host::warnings() const { return impl_->warnings_; }

fs::path Host::log_folder(const std::string &site) const {
  for (const auto &s : impl_->config_.sites)
    if (s.name == site && impl_->request_log_) return impl_->request_log_->folder(s);
  return {};
}

void Host::stop() {
  Impl &h = *impl_;
  if (!h.started_ || h.stopped_) return;
  h.stopped_ = true;
  h.stopping_ = true;
  if (h.stop_fd_ >= 0) {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(h.stop_fd_, &one, sizeof one);
  }
  for (auto &l : h.listeners_)
    asio::post(*l.strand, [&l] {
      boost::system::error_code ec;
      l.acceptor->close(ec);
      if (l.retry) l.retry->cancel();
    });
  {
    std::lock_guard lock(h.connections_mutex_);
    for (auto &[id, weak] : h.connections_)
      if (auto c = weak.lock()) c->close_if_idle();
  }
  if (h.workers_) h.workers_->join();
  h.work_.reset();
  h.io_.stop();
  for (auto &t : h.io_threads_) t.join();
  h.io_threads_.clear();
  for (auto &m : h.modules_)
    if (m->factory != nullptr) m->factory->Terminate();
  if (h.stop_fd_ >= 0) ::close(h.stop_fd_);
  if (h.nudge_fd_ >= 0) ::close(h.nudge_fd_);
  h.stop_fd_ = h.nudge_fd_ = -1;
  h.flush_log();
  h.work_directories_.clear();  // other hosts may clean up after this one from now on
  // Module libraries stay loaded: code of theirs may still be referenced
  // (static destructors, leak reports) until the process ends.
}

}  // namespace tavrin_iis
