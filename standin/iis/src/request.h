// One client connection and the request being served on it. The head and
// the whole body of each request are read asynchronously on the I/O
// threads, whatever the framing, the body into memory or a spool file and
// bounded by the application's body limit: a worker is taken only once the
// request has arrived, so slow or numerous clients cannot hold the
// workers. The request then runs on a worker thread, which writes the
// response with blocking calls, as a module expects. https connections
// carry the same over TLS.
#pragma once

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "request_body.h"
#include "request_log.h"
#include "site_config.h"
#include "tavrin_iis/http_module.h"

namespace tavrin_iis {

class Connection;

// What a connection needs of the host.
class HostServices {
 public:
  // The host's own messages.
  virtual void log(const std::string &line) = 0;
  // A line of the site's request log (site may be null: not logged).
  virtual void log_request(const Site *site, const RequestLogEntry &entry) = 0;
  virtual int stop_fd() const = 0;  // readable once the host stops
  virtual bool stopping() const = 0;
  virtual std::chrono::milliseconds io_timeout() const = 0;
  // A request body must arrive at this many bytes a second on average once
  // the grace has passed (0: no minimum).
  virtual unsigned min_body_rate() const = 0;
  virtual std::chrono::milliseconds body_grace() const = 0;
  virtual const std::filesystem::path &spool_directory() const = 0;
  // The application's body limit as configured now; nullopt (reported)
  // when its configuration cannot be read.
  virtual std::optional<std::uint64_t> body_limit(const Application &application) = 0;
  // How long the answer of the request that just ran on this worker must
  // wait before it goes out (a failed logon's delay), taken once.
  virtual std::chrono::milliseconds take_answer_delay() = 0;
  // Queues a connection whose request is ready for a worker.
  virtual void dispatch(std::shared_ptr<Connection> connection) = 0;
  // A worker took a dispatched connection / finished serving.
  virtual void serving_started() = 0;
  virtual void serving_ended() = 0;
  // Keep-alive lingering: how long, whether a dispatched connection waits
  // for a worker (a lingering worker then gives way), and a descriptor that
  // turns readable when one starts waiting.
  virtual std::chrono::milliseconds keep_alive_linger() const = 0;
  virtual bool others_waiting() const = 0;
  virtual int nudge_fd() const = 0;
  virtual void lingering(bool on) = 0;
  // A connection closed its socket (once per connection): accepting may resume.
  virtual void connection_closed() = 0;

 protected:
  ~HostServices() = default;
};

// The site a request is for: the first whose binding names the Host
// header's host, else the first whose binding names none.
const Site *site_for_host(const std::vector<const Site *> &sites, std::string_view host_header);
// The application of a decoded and resolved path: the longest whose path
// prefixes it.
const Application &application_for(const Site &site, std::string_view path);
// Percent-decodes a request path and resolves "." and ".." segments; false
// for a path that is malformed or climbs above the root.
bool canonical_path(std::string_view raw, std::string &out);

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Parser = boost::beast::http::request_parser<boost::beast::http::buffer_body>;
  using Clock = std::chrono::steady_clock;

  // tls: the context of an https listener (the connection makes its own
  // session from it), nullptr for http.
  Connection(HostServices &host, std::uint64_t id, boost::asio::ip::tcp::socket socket,
             std::vector<const Site *> sites, SSL_CTX *tls);
  ~Connection();

  // Reads the next request, head and body, on the I/O strand, answering
  // malformed, oversized or too slow ones itself; then dispatches.
  void read_next();
  // Serves the request that was read, then the following ones on the same
  // connection as long as they arrive in time (worker thread).
  void serve();
  // At shutdown: closes the connection unless a worker is using it.
  void close_if_idle();

  // Blocking I/O for the answer (worker thread). Results are Win32-style
  // HRESULTs.
  HRESULT send_all(const void *data, size_t size);
  bool peer_connected();
  // While an answer is held back (a failed logon's delay), what would be
  // sent is collected here instead; nullptr: sent at once.
  void capture_output(std::string *into) { capture_ = into; }

  // How the body's arrival ended: the body is all there, or the client
  // went away or stalled before it was (a module's read then fails).
  enum class BodyEnd { complete, lost, stalled };
  const RequestBody &body() const { return body_; }
  BodyEnd body_end() const { return body_end_; }
  // When the request's head had arrived.
  std::chrono::steady_clock::time_point head_arrived() const { return head_arrived_; }

  int fd();
  bool secure() const { return ssl_ != nullptr; }
  HostServices &host() { return host_; }
  Parser &parser() { return *parser_; }
  const sockaddr_storage &peer() const { return peer_; }
  const sockaddr_storage &local() const { return local_; }
  const std::vector<const Site *> &sites() const { return sites_; }
  void mark_broken() { broken_ = true; }
  bool broken() const { return broken_; }

 private:
  enum class Want { none, read, write };
  // What the I/O strand is waiting for.
  enum class Phase { head, body, worker, delaying, answering, draining, closed };
  // The next request head read on the worker: serve it, hand the
  // connection back to the I/O threads (to wait for the next request, or
  // to read a body), answer it with a refusal, send an answer held back,
  // or close.
  enum class Next { serve, hand_back, body, answer, delayed, close };
  // What a worker made of a request.
  struct Served {
    bool keep_alive = false;
    std::string held_answer;  // to send after `delay`
    std::chrono::milliseconds delay{0};
  };
  Served serve_one();

  // Non-blocking transport (plain or TLS): >0 bytes, 0 at the end of the
  // stream, -1 with `want` set when it would block (none: failed).
  ssize_t read_some(void *data, size_t size, Want &want);
  ssize_t write_some(const void *data, size_t size, Want &want);

  void new_request();
  // I/O strand: moves the head, body or answer on as far as the bytes allow.
  void pump();
  // Decodes the buffered body bytes; false once the request was answered,
  // dispatched or closed.
  bool take_body_bytes();
  // The body cannot arrive whole: run what came (a module's read then
  // fails) or, without a length to read against, close.
  void body_failed(BodyEnd end);
  void wait(Want want);
  void arm_timer();
  void on_deadline();
  // The head is complete: answer it, read the body, or run it.
  void head_done();
  // Finds the request's site and body limit; the status the host answers
  // a complete head with (0: acceptable).
  unsigned check_head();
  void start_body();
  void dispatch_now();
  // Answers a request the host refuses by itself, then closes gracefully.
  void answer_and_close(unsigned status);
  // Ends the sending side, then closes once the client has stopped sending
  // (bounded), so that the last answer is not lost to a reset.
  void close_gracefully();
  void close_now();
  // The body is slower than the minimum rate (time since the head ended).
  bool too_slow(Clock::time_point now) const;
  Clock::time_point rate_deadline() const;
  Next read_next_here();
  // A request the host ended by itself, in the site's request log.
  void log_refusal(unsigned status, unsigned win32_status = 0);

  HostServices &host_;
  std::uint64_t id_;
  boost::asio::ip::tcp::socket socket_;
  boost::asio::steady_timer timer_;
  std::vector<const Site *> sites_;
  SSL *ssl_ = nullptr;
  boost::beast::flat_buffer buffer_;
  std::optional<Parser> parser_;
  sockaddr_storage peer_{}, local_{};
  std::atomic<bool> busy_{false};
  bool broken_ = false;
  std::string *capture_ = nullptr;

  Phase phase_ = Phase::head;
  // Bumped whenever a wait is abandoned, so that its late completion is ignored.
  std::uint64_t wait_token_ = 0;
  Clock::time_point head_deadline_{}, head_arrived_{}, last_progress_{}, drain_deadline_{};
  std::uint64_t body_bytes_ = 0;  // received since the head ended, as sent
  const Site *site_ = nullptr;    // of the request whose head arrived
  std::uint64_t body_limit_ = 0;
  RequestBody body_;
  BodyEnd body_end_ = BodyEnd::complete;
  size_t drained_ = 0;
  unsigned answer_status_ = 0;  // an answer the worker hands to the I/O strand
  // An answer held back: the bytes, how far they went out, and whether the
  // connection then carries on.
  std::string held_answer_;
  size_t held_sent_ = 0;
  bool keep_after_answer_ = false;
  Clock::time_point answer_due_{};
};

}  // namespace tavrin_iis
