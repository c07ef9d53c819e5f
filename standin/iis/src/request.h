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
  virtual void log(const std::string &line) = 0;
  virtual int stop_fd() const = 0;  // readable once the host stops
  virtual bool stopping() const = 0;
  virtual std::chrono::milliseconds io_timeout() const = 0;
  virtual const std::filesystem::path &spool_directory() const = 0;
  // The factory of the module a handler mapping names, or nullptr (why).
  virtual IHttpModuleFactory *factory_for(const Application &app, const HandlerMapping &handler,
                                          std::string &why) = 0;
  virtual void dispatch(std::shared_ptr<Connection> connection) = 0;

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
  // Serves the request whose header was read (worker thread).
  void serve();
  // At shutdown: closes the connection unless a worker is using it.
  void close_if_idle();

  // Blocking I/O for the request (worker thread). Results are
  // Win32-style HRESULTs.
  HRESULT receive_more();                         // more bytes into buffer_
  HRESULT send_all(const void *data, size_t size);  // the whole buffer
  bool peer_connected();

  int fd();
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
