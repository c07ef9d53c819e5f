// Compares requests/s of tavrin_host (test module answering 304) with a
// bare Boost.Beast server answering 304, driven by the same keep-alive
// load generator in one run.
// Usage: host_304_bench [seconds] [connections] [linger milliseconds]
// (the last sets how long a worker waits on a keep-alive connection for the
// next request; 0 hands every connection back to the I/O threads at once).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "host.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;

namespace {

// The reference: one async session per connection, 304 for everything.
class Session : public std::enable_shared_from_this<Session> {
 public:
  explicit Session(tcp::socket s) : socket_(std::move(s)) {}
  void read() {
    request_ = {};
    http::async_read(socket_, buffer_, request_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (!ec) self->write();
    });
  }

 private:
  void write() {
    response_ = {};
    response_.result(http::status::not_modified);
    response_.version(11);
    response_.keep_alive(request_.keep_alive());
    http::async_write(socket_, response_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (!ec) self->read();
    });
  }
  tcp::socket socket_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  http::response<http::empty_body> response_;
};

void accept(tcp::acceptor &a, asio::io_context &io) {
  a.async_accept(asio::make_strand(io), [&a, &io](beast::error_code ec, tcp::socket s) {
    if (!ec) std::make_shared<Session>(std::move(s))->read();
    if (a.is_open()) accept(a, io);
  });
}

// Keep-alive clients, each sending a request and reading its 304 answer in
// a loop; returns requests/s.
double load(unsigned short port, int connections, double seconds) {
  std::atomic<long> done{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  const std::string request = "GET /m/x?op=304 HTTP/1.1\r\nHost: bench\r\n\r\n";
  for (int i = 0; i < connections; ++i)
    clients.emplace_back([&] {
      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return;
      char buf[4096];
      long mine = 0;
      while (!stop) {
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) <= 0) break;
        std::string got;
        while (got.find("\r\n\r\n") == std::string::npos) {
          ssize_t n = ::recv(fd, buf, sizeof buf, 0);
          if (n <= 0) goto out;
          got.append(buf, static_cast<size_t>(n));
        }
        if (got.compare(9, 3, "304") != 0) {
          std::fprintf(stderr, "unexpected answer: %.40s\n", got.c_str());
          break;
        }
        ++mine;
      }
    out:
      done += mine;
      ::close(fd);
    });
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto &t : clients) t.join();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return static_cast<double>(done) / elapsed;
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  int connections = argc > 2 ? std::atoi(argv[2]) : 16;
  tavrin_iis::HostOptions options;
  if (argc > 3) options.keep_alive_linger = std::chrono::milliseconds(std::atoi(argv[3]));
  const unsigned threads = 4;

  fs::path dir = fs::temp_directory_path() / ("tavrin-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::path config = dir / "applicationHost.config";
  std::ofstream(config)
      << "<configuration><system.applicationHost><sites><site name=\"Bench\" id=\"1\">"
         "<application path=\"/\"><virtualDirectory path=\"/\" physicalPath=\"" << dir.string()
      << "\" /></application><bindings><binding protocol=\"http\" bindingInformation=\"127.0.0.1:0:\" />"
         "</bindings></site></sites></system.applicationHost><system.webServer>"
         "<globalModules><add name=\"test\" image=\"" TEST_MODULE_PATH "\" /></globalModules>"
         "<modules><add name=\"test\" /></modules><handlers>"
         "<add name=\"m\" path=\"*\" verb=\"*\" modules=\"test\" /></handlers></system.webServer>"
         "</configuration>";
  options.config_file = config;
  options.io_threads = threads;
  options.workers = 16;
  tavrin_iis::Host host(options);
  std::string error;
  if (!host.start(error)) {
    std::cerr << "host: " << error << "\n";
    return 1;
  }

  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  accept(acceptor, io);
  std::vector<std::thread> bare_threads;
  for (unsigned i = 0; i < threads; ++i) bare_threads.emplace_back([&] { io.run(); });

  unsigned short host_port = host.endpoints().at(0).port;
  unsigned short bare_port = acceptor.local_endpoint().port();
  load(host_port, connections, 0.5);  // warm-up
  load(bare_port, connections, 0.5);
  double host_rate = 0, bare_rate = 0;
  for (int round = 0; round < 2; ++round) {  // interleaved, to even out machine noise
    host_rate += load(host_port, connections, seconds / 2);
    bare_rate += load(bare_port, connections, seconds / 2);
  }
  host_rate /= 2;
  bare_rate /= 2;
  std::printf("connections=%d seconds=%.1f workers=%u linger=%lldms\n", connections, seconds,
              options.workers, static_cast<long long>(options.keep_alive_linger.count()));
  std::printf("tavrin_host + module : %10.0f requests/s\n", host_rate);
  std::printf("bare Beast server    : %10.0f requests/s\n", bare_rate);
  std::printf("ratio                : %10.1f %%\n", 100.0 * host_rate / bare_rate);

  host.stop();
  acceptor.close();
  io.stop();
  for (auto &t : bare_threads) t.join();
  fs::remove_all(dir);
  return 0;
}
