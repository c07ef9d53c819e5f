// One client connection and the request being served on it. The head of
// each request, and the first part of its body, are read asynchronously on
// the I/O threads: a worker is taken only once the body has arrived (or
// its first 64 KB), so slow clients cannot hold the workers. The request
// then runs on a worker thread, which reads the rest of the body and
// writes the response with blocking calls, as a module expects. https
// connections carry the same over TLS.
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

#include "site_config.h"
#include "tavrin_iis/http_module.h"

namespace tavrin_iis {

class Connection;

// What a connection needs of the host.
class HostServices {
 public:
  virtual bool logging() const = 0;
  virtual void log(const std::string &line) = 0;
  virtual int stop_fd() const = 0;  // readable once the host stops
  virtual bool stopping() const = 0;
  virtual std::chrono::milliseconds io_timeout() const = 0;
  // A request body must arrive at this many bytes a second on average once
  // the grace has passed (0: no minimum).
  virtual unsigned min_body_rate() const = 0;
  virtual std::chrono::milliseconds body_grace() const = 0;
  virtual const std::filesystem::path &spool_directory() const = 0;
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

 protected:
  ~HostServices() = default;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Parser = boost::beast::http::request_parser<boost::beast::http::buffer_body>;
  using Clock = std::chrono::steady_clock;

  // tls: the context of an https listener (the connection makes its own
  // session from it), nullptr for http.
  Connection(HostServices &host, std::uint64_t id, boost::asio::ip::tcp::socket socket,
             std::vector<const Site *> sites, SSL_CTX *tls);
  ~Connection();

  // Reads the next request head, and the body's start, on the I/O strand,
  // answering malformed or oversized heads itself; then dispatches.
  void read_next();
  // Serves the request that was read, then the following ones on the same
  // connection as long as they arrive in time (worker thread).
  void serve();
  // At shutdown: closes the connection unless a worker is using it.
  void close_if_idle();

  // Blocking I/O for the request (worker thread). Results are
  // Win32-style HRESULTs.
  HRESULT receive_more();                           // more bytes into buffer_
  HRESULT send_all(const void *data, size_t size);  // the whole buffer
  bool peer_connected();

  // Body bytes the parser decoded before the request was dispatched;
  // handed out before anything read later.
  size_t take_prebody(void *buffer, size_t size);

  // Why the body could not be read to its end, when it was the client's
  // fault; the host then answers this status itself (0: none).
  unsigned body_failure_status() const { return body_failure_status_; }

  int fd();
  bool secure() const { return ssl_ != nullptr; }
  HostServices &host() { return host_; }
  boost::beast::flat_buffer &buffer() { return buffer_; }
  Parser &parser() { return *parser_; }
  const sockaddr_storage &peer() const { return peer_; }
  const sockaddr_storage &local() const { return local_; }
  const std::vector<const Site *> &sites() const { return sites_; }
  void mark_broken() { broken_ = true; }
  // The body's framing is malformed: the host answers 400 once the module ends.
  void mark_malformed_body() { body_failure_status_ = 400; }
  bool broken() const { return broken_; }

 private:
  enum class Want { none, read, write };
  // What the I/O strand is waiting for.
  enum class Phase { head, body, worker, draining, closed };
  // The next request head read on the worker: serve it, hand the
  // connection back to the I/O threads (to wait for the next request, or
  // to read a body), or close it.
  enum class Next { serve, hand_back, body, answer, close };

  // Non-blocking transport (plain or TLS): >0 bytes, 0 at the end of the
  // stream, -1 with `want` set when it would block (none: failed).
  ssize_t read_some(void *data, size_t size, Want &want);
  ssize_t write_some(const void *data, size_t size, Want &want);

  void new_request();
  // I/O strand: moves the head or body read on as far as the bytes allow.
  void pump();
  void wait(Want want);
  void arm_timer();
  void on_deadline();
  // The head is complete: answer it, read the body, or run it.
  void head_done();
  // The status the host answers a complete head with (0: acceptable).
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
  void log_refusal(unsigned status);

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

  Phase phase_ = Phase::head;
  // Bumped whenever a wait is abandoned, so that its late completion is ignored.
  std::uint64_t wait_token_ = 0;
  Clock::time_point head_deadline_{}, body_started_{}, last_progress_{}, drain_deadline_{};
  std::uint64_t body_bytes_ = 0;  // received since the head ended
  std::vector<char> prebody_;
  size_t prebody_filled_ = 0, prebody_taken_ = 0;
  unsigned body_failure_status_ = 0;
  bool body_stalled_ = false;
  size_t drained_ = 0;
  unsigned answer_status_ = 0;  // an answer the worker hands to the I/O strand
};

}  // namespace tavrin_iis
