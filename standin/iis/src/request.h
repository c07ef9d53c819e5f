// One client connection and the request being served on it. The header of
// each request is read asynchronously on the I/O threads; the request then
// runs on a worker thread, which reads the body and writes the response
// with blocking calls on the socket, as a module expects.
#pragma once

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
  virtual const std::filesystem::path &spool_directory() const = 0;
  // Queues a connection whose request header was read for a worker.
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

  Connection(HostServices &host, std::uint64_t id, boost::asio::ip::tcp::socket socket,
             std::vector<const Site *> sites);
  ~Connection();

  // Reads the next request header (I/O thread), then dispatches.
  void read_next();
  // Serves the request whose header was read, then the following ones on
  // the same connection as long as they arrive in time (worker thread).
  void serve();
  // At shutdown: closes the connection unless a worker is using it.
  void close_if_idle();

  // Blocking I/O for the request (worker thread). Results are
  // Win32-style HRESULTs.
  HRESULT receive_more();                         // more bytes into buffer_
  HRESULT send_all(const void *data, size_t size);  // the whole buffer
  bool peer_connected();

  int fd();
  // The next request header read on the worker: serve it, hand the
  // connection back to the I/O threads, or close it.
  enum class Next { serve, hand_back, close };
  Next read_next_here();
  HostServices &host() { return host_; }
  boost::beast::flat_buffer &buffer() { return buffer_; }
  Parser &parser() { return *parser_; }
  const sockaddr_storage &peer() const { return peer_; }
  const sockaddr_storage &local() const { return local_; }
  const std::vector<const Site *> &sites() const { return sites_; }
  void mark_broken() { broken_ = true; }
  bool broken() const { return broken_; }

 private:
  HostServices &host_;
  std::uint64_t id_;
  boost::asio::ip::tcp::socket socket_;
  std::vector<const Site *> sites_;
  boost::beast::flat_buffer buffer_;
  std::optional<Parser> parser_;
  sockaddr_storage peer_{}, local_{};
  std::atomic<bool> busy_{false};
  bool broken_ = false;
};

}  // namespace tavrin_iis
