// tavrin_host over real HTTP on loopback, with the test module.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "host.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Response {
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string header(const std::string &name) const {
    for (const auto &[k, v] : headers)
      if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
    return "(none)";
  }
  std::string field(const std::string &key) const {  // "key=value" lines of test module bodies
    size_t at = body.find(key + "=");
    if (at == std::string::npos) return "(none)";
    at += key.size() + 1;
    return body.substr(at, body.find('\n', at) - at);
  }
};

int connect_to(const std::string &address, unsigned short port) {
  bool v6 = address.find(':') != std::string::npos;
  int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  sockaddr_storage ss{};
  socklen_t length;
  if (v6) {
    auto &a = reinterpret_cast<sockaddr_in6 &>(ss);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    inet_pton(AF_INET6, address.c_str(), &a.sin6_addr);
    length = sizeof a;
  } else {
    auto &a = reinterpret_cast<sockaddr_in &>(ss);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    length = sizeof a;
  }
  if (::connect(fd, reinterpret_cast<sockaddr *>(&ss), length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void send_text(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    data.remove_prefix(static_cast<size_t>(n));
  }
}

// Reads one response; the body by Content-Length, chunked framing or EOF.
// With `carry`, bytes read past the response (pipelined answers) are kept
// there for the next call.
Response read_response(int fd, bool head_only = false, std::string *carry = nullptr) {
  std::string data = carry != nullptr ? std::move(*carry) : std::string();
  auto keep_rest = [&](size_t used) {
    if (carry != nullptr) *carry = data.substr(std::min(used, data.size()));
  };
  char block[65536];
  auto fill = [&] {
    ssize_t n = ::recv(fd, block, sizeof block, 0);
    if (n > 0) data.append(block, static_cast<size_t>(n));
    return n > 0;
  };
  Response r;
  size_t end;
  while ((end = data.find("\r\n\r\n")) == std::string::npos)
    if (!fill()) return r;
  std::istringstream head(data.substr(0, end + 2));  // every line ends in CR LF
  std::string line;
  std::getline(head, line);
  r.status = std::atoi(line.substr(9, 3).c_str());
  r.reason = line.substr(13, line.size() - 14);
  while (std::getline(head, line)) {
    size_t colon = line.find(':');
    r.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2, line.size() - colon - 3));
  }
  data.erase(0, end + 4);
  if (head_only || r.status == 304) {
    keep_rest(0);
    return r;
  }
  if (r.header("Content-Length") != "(none)") {
    size_t n = std::stoull(r.header("Content-Length"));
    while (data.size() < n && fill()) {
    }
    r.body = data.substr(0, n);
    keep_rest(n);
  } else if (r.header("Transfer-Encoding") == "chunked") {
    for (;;) {
      while (data.find("\r\n") == std::string::npos && fill()) {
      }
      size_t size = std::stoul(data.substr(0, data.find("\r\n")), nullptr, 16);
      data.erase(0, data.find("\r\n") + 2);
      while (data.size() < size + 2 && fill()) {
      }
      r.body += data.substr(0, size);
      data.erase(0, size + 2);
      if (size == 0) break;
    }
  } else {
    while (fill()) {
    }
    r.body = data;
  }
  return r;
}

Response request(unsigned short port, const std::string &target, const std::string &extra_headers = "",
                 const std::string &body = "", const std::string &address = "127.0.0.1") {
  int fd = connect_to(address, port);
  if (fd < 0) return {};
  std::string text = (body.empty() ? "GET " : "POST ") + target + " HTTP/1.1\r\nHost: test.local:" +
                     std::to_string(port) + "\r\nConnection: close\r\n" + extra_headers;
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  send_text(fd, text + "\r\n" + body);
  Response r = read_response(fd);
  ::close(fd);
  return r;
}

std::string fnv(const std::string &data) {
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : data) hash = (hash ^ c) * 1099511628211ull;
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string pattern(size_t size) {
  std::string s(size, '\0');
  std::uint32_t x = 12345;
  for (auto &c : s) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::string read_file(const fs::path &p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool wait_for_file(const fs::path &p) {
  for (int i = 0; i < 1000; ++i) {
    if (fs::exists(p) && fs::file_size(p) > 0) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// The handler deletes its work file after the last byte went out, so the client can see the
// whole body a moment before the file is gone.
bool wait_for_empty_directory(const fs::path &p) {
  for (int i = 0; i < 1000; ++i) {
    if (fs::is_empty(p)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// A configuration with one site: the test module for /m/*, static files
// for *.txt, nothing else.
class HostTest : public ::testing::Test {
 protected:
  fs::path dir_, webroot_, temp_;

  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tavrin-host-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    webroot_ = dir_ / "webroot";
    temp_ = dir_ / "temp";
    fs::create_directories(webroot_);
    fs::create_directories(temp_);
    std::ofstream(webroot_ / "web.config")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n"
           "\t<configSections><sectionGroup name=\"tavrin\"><section name=\"settings\" />"
           "</sectionGroup></configSections>\n"
           "\t<tavrin><settings temp_directory=\"" << temp_.string()
        << "\" odbc_connection_string=\"Driver=x;Server=y\" /></tavrin>\n</configuration>\n";
    std::ofstream(webroot_ / "robots.txt") << "User-Agent: *\r\nDisallow: /";
  }
  void TearDown() override {
    host_.reset();
    fs::remove_all(dir_);
  }

  fs::path write_config(const std::string &binding, const std::string &module_image = TEST_MODULE_PATH) {
    fs::path file = dir_ / "applicationHost.config";
    std::ofstream(file)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n"
           "\t<system.applicationHost>\n\t\t<sites>\n"
           "\t\t\t<site name=\"Sync\" id=\"1\">\n"
           "\t\t\t\t<application path=\"/\" applicationPool=\"Sync\">\n"
           "\t\t\t\t\t<virtualDirectory path=\"/\" physicalPath=\"" << webroot_.string() << "\" />\n"
           "\t\t\t\t</application>\n"
           "\t\t\t\t<bindings><binding protocol=\"http\" bindingInformation=\"" << binding << "\" /></bindings>\n"
           "\t\t\t</site>\n\t\t</sites>\n\t</system.applicationHost>\n"
           "\t<system.webServer>\n"
           "\t\t<globalModules><add name=\"tavrin\" image=\"" << module_image << "\" /></globalModules>\n"
           "\t\t<modules><add name=\"tavrin\" /></modules>\n"
           "\t\t<handlers>\n"
           "\t\t\t<add name=\"StaticFile\" path=\"*.txt\" verb=\"GET,HEAD\" modules=\"StaticFileModule\" />\n"
           "\t\t\t<add name=\"sync\" path=\"/m/*\" verb=\"*\" modules=\"tavrin\" />\n"
           "\t\t</handlers>\n\t</system.webServer>\n</configuration>\n";
    return file;
  }

  unsigned short start(const std::string &binding = "127.0.0.1:0:",
                       std::chrono::milliseconds timeout = 60s) {
    tavrin_iis::HostOptions options;
    options.config_file = write_config(binding);
    options.workers = workers_;
    options.keep_alive_linger = linger_;
    options.io_timeout = timeout;
    options.spool_directory = temp_;
    options.log = &log_;
    host_ = std::make_unique<tavrin_iis::Host>(options);
    std::string error;
    if (!host_->start(error)) {
      error_ = error;
      return 0;
    }
    return host_->endpoints().at(0).port;
  }

  unsigned workers_ = 16;
  std::chrono::milliseconds linger_{20};
  std::ostringstream log_;
  std::string error_;
  std::unique_ptr<tavrin_iis::Host> host_;
};

TEST_F(HostTest, StatusReasonHeadersAndTextBody) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  Response r = request(port, "/m/x?op=status&code=400&body=hello");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.reason, "Custom Reason Here");
  EXPECT_EQ(r.header("X-Tavrin-Error-Code"), "4552");
  EXPECT_EQ(r.header("X-Replaced"), "new");
  EXPECT_EQ(r.header("X-First"), "(none)");
  int multi = 0;
  for (const auto &[k, v] : r.headers) multi += k == "X-Multi";
  EXPECT_EQ(multi, 2);
  EXPECT_EQ(r.body, std::string("hello", 6));  // with its NUL

  // A status without a body goes out with Content-Length 0.
  r = request(port, "/m/x?op=status&code=401");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.header("Content-Length"), "0");
  EXPECT_EQ(r.body, "");
}

TEST_F(HostTest, RequestViewUrlHeadersAndAddress) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  const std::string query = "?op=info&db=a%20b&x=%2F+%26&&=q&empty=";
  Response r = request(port, "/m/%7Euser/./a/../p%C3%A9" + query,
                       "X-PROBE: Value 1\r\nx-empty:\r\n");
  ASSERT_EQ(r.status, 200) << r.body;
  // The path is decoded and resolved; the query reaches the module as sent.
  EXPECT_EQ(r.field("url"), "http://test.local:" + std::to_string(port) + "/m/~user/p\xC3\xA9" + query);
  EXPECT_EQ(r.field("family"), "inet");
  EXPECT_EQ(r.field("address"), "127.0.0.1");
  EXPECT_EQ(r.field("header X-Probe"), "[Value 1] 7");
  EXPECT_EQ(r.field("header x-probe"), "[Value 1] 7");
  EXPECT_EQ(r.field("header X-EMPTY"), "[] 0");
  EXPECT_EQ(r.field("header X-Absent"), "(null) 0");
  EXPECT_EQ(r.field("config"), "MACHINE/WEBROOT/APPHOST/Sync");
  EXPECT_EQ(r.field("connected"), "1");
}

TEST_F(HostTest, RoutingByHandlerMappings) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  EXPECT_EQ(request(port, "/M/anything?op=304").status, 304);  // paths match case-insensitively
  Response r = request(port, "/robots.txt");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "User-Agent: *\r\nDisallow: /");
  EXPECT_EQ(request(port, "/missing.txt").status, 404);
  EXPECT_EQ(request(port, "/other?op=304").status, 404);
  EXPECT_EQ(request(port, "/robots.txt", "", "posted").status, 404);  // verb not mapped
  EXPECT_EQ(request(port, "/../etc/passwd").status, 400);
}

TEST_F(HostTest, SettingsThroughTheAdminInterface) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  Response r = request(port, "/m/s?op=settings");
  EXPECT_EQ(r.field("temp_directory"), "0x00000000 [" + temp_.string() + "]");
  EXPECT_EQ(r.field("odbc_connection_string"), "0x00000000 [Driver=x;Server=y]");
  EXPECT_EQ(r.field("support_mode"), "0x00000000 []");
  EXPECT_EQ(r.field("undeclared"), "0x80070585 []");
  EXPECT_EQ(r.field("nosuch"), "0x80070490");
}

TEST_F(HostTest, BodiesFromFilesAndChunkedFlushes) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  for (size_t size : {size_t{0}, size_t{1}, size_t{300000}}) {
    Response r = request(port, "/m/f?op=file&size=" + std::to_string(size));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.reason, "TODO");
    ASSERT_EQ(r.body.size(), size);
    for (size_t i = 0; i < size; ++i)
      if (r.body[i] != static_cast<char>('a' + i % 26)) FAIL() << "byte " << i;
  }
  EXPECT_TRUE(wait_for_empty_directory(temp_));
  Response r = request(port, "/m/f?op=flush");
  EXPECT_EQ(r.header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(r.body, "first,second");
}

TEST_F(HostTest, RequestBodiesReadExactly) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  for (size_t size : {size_t{0}, size_t{10000}, size_t{1} << 20, size_t{100} << 20}) {
    std::string body = pattern(size);
    int fd = connect_to("127.0.0.1", port);
    send_text(fd, "POST /m/r?op=read HTTP/1.1\r\nHost: h\r\nConnection: close\r\nContent-Length: " +
                      std::to_string(size) + "\r\n\r\n");
    send_text(fd, body);
    Response r = read_response(fd);
    ::close(fd);
    EXPECT_EQ(r.status, 200) << size;
    EXPECT_EQ(r.field("remaining"), std::to_string(size));
    EXPECT_EQ(r.field("read"), std::to_string(size));
    EXPECT_EQ(r.field("hash"), fnv(body));
    EXPECT_EQ(r.field("hr"), "0x00000000");
    EXPECT_EQ(r.field("end"), "0x80070026");  // nothing left
  }
}

TEST_F(HostTest, ChunkedUploadHasItsExactLength) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  std::string body = pattern(3 * 1000 * 1000 + 7);
  std::string wire;
  for (size_t at = 0, step = 1; at < body.size(); at += step, step = step * 3 + 1) {
    size_t n = std::min(step, body.size() - at);
    char line[32];
    std::snprintf(line, sizeof line, "%zX;ext=1\r\n", n);
    wire += line + body.substr(at, n) + "\r\n";
  }
  wire += "0\r\nX-Trailer: t\r\n\r\n";
  int fd = connect_to("127.0.0.1", port);
  send_text(fd, "POST /m/r?op=read HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n" + wire);
  // The connection stays usable for a second request.
  send_text(fd, "GET /m/r?op=304 HTTP/1.1\r\nHost: h\r\n\r\n");
  std::string carry;
  Response r = read_response(fd, false, &carry);
  Response second = read_response(fd, false, &carry);
  ::close(fd);
  EXPECT_EQ(r.field("remaining"), std::to_string(body.size())) << r.status << r.body;
  EXPECT_EQ(r.field("read"), std::to_string(body.size()));
  EXPECT_EQ(r.field("hash"), fnv(body));
  EXPECT_EQ(second.status, 304);
}

TEST_F(HostTest, LostAndStalledClients) {
  unsigned short port = start("127.0.0.1:0:", 300ms);
  ASSERT_NE(port, 0) << error_;
  // IsConnected turns false when the client goes away mid-request.
  fs::path seen = dir_ / "disconnect";
  int fd = connect_to("127.0.0.1", port);
  send_text(fd, "POST /m/w?op=wait_disconnect&out=" + seen.string() +
                    " HTTP/1.1\r\nHost: h\r\nContent-Length: 1000\r\n\r\npartial");
  std::this_thread::sleep_for(50ms);
  ::close(fd);
  ASSERT_TRUE(wait_for_file(seen));
  EXPECT_EQ(read_file(seen), "disconnected");

  // A peer lost during ReadEntityBody.
  fs::path lost = dir_ / "lost";
  fd = connect_to("127.0.0.1", port);
  send_text(fd, "POST /m/r?op=read&out=" + lost.string() +
                    " HTTP/1.1\r\nHost: h\r\nContent-Length: 100000\r\n\r\n" + pattern(5000));
  std::this_thread::sleep_for(50ms);
  ::close(fd);
  ASSERT_TRUE(wait_for_file(lost));
  EXPECT_NE(read_file(lost).find("hr=0x800704cd"), std::string::npos) << read_file(lost);

  // A client that stops sending: the read is aborted.
  fd = connect_to("127.0.0.1", port);
  fs::path stalled = dir_ / "stalled";
  send_text(fd, "POST /m/r?op=read&out=" + stalled.string() +
                    " HTTP/1.1\r\nHost: h\r\nContent-Length: 100000\r\n\r\nabc");
  ASSERT_TRUE(wait_for_file(stalled));
  EXPECT_NE(read_file(stalled).find("hr=0x800703e3"), std::string::npos) << read_file(stalled);
  // 499 closes the connection without an answer.
  char byte;
  EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);
  ::close(fd);
}

TEST_F(HostTest, ParallelClientsGetAModuleInstanceEach) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  constexpr int kClients = 64;
  std::vector<Response> responses(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i)
    clients.emplace_back([&, i] { responses[i] = request(port, "/m/p?op=sleep&ms=30"); });
  for (auto &t : clients) t.join();
  std::set<std::string> instances;
  int max_active = 0;
  for (const auto &r : responses) {
    EXPECT_EQ(r.status, 200);
    instances.insert(r.field("instance"));
    max_active = std::max(max_active, std::atoi(r.field("max_active").c_str()));
  }
  EXPECT_EQ(instances.size(), static_cast<size_t>(kClients));
  EXPECT_GT(max_active, 1);
  EXPECT_LE(max_active, 16);  // the worker pool's size
}

// A worker that answered on a keep-alive connection waits there for the
// next request; it must give way to a request on another connection, serve
// pipelined requests from what it already read, and let the host stop.
TEST_F(HostTest, KeepAliveWorkersGiveWayAndStop) {
  workers_ = 1;
  linger_ = 10min;  // only giving way frees the single worker
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  timeval patience{60, 0};  // a hang shows as a missing answer, not a stuck test
  int a = connect_to("127.0.0.1", port);
  ASSERT_GE(a, 0);
  ::setsockopt(a, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  send_text(a, "GET /m/a?op=304 HTTP/1.1\r\nHost: h\r\n\r\n"
               "GET /m/a?op=info HTTP/1.1\r\nHost: h\r\n\r\n");
  std::string carry;
  EXPECT_EQ(read_response(a, false, &carry).status, 304);
  Response info = read_response(a, false, &carry);
  EXPECT_EQ(info.status, 200);
  EXPECT_EQ(info.field("family"), "inet");

  int b = connect_to("127.0.0.1", port);
  ASSERT_GE(b, 0);
  ::setsockopt(b, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  send_text(b, "GET /m/b?op=304 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(read_response(b).status, 304) << "the lingering worker did not give way";
  ::close(b);

  send_text(a, "GET /m/a?op=304 HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(read_response(a, false, &carry).status, 304) << "the connection was not taken up again";
  host_.reset();  // returns although the worker may be waiting on `a`
  ::close(a);
  std::string log = log_.str();
  for (const char *line : {"GET /m/a?op=304 304 ", "GET /m/a?op=info 200 ", "GET /m/b?op=304 304 "})
    EXPECT_NE(log.find(line), std::string::npos) << line << " missing from:\n" << log;
}

TEST_F(HostTest, DualStackAndIpv6Peers) {
  unsigned short port = start("*:0:");
  ASSERT_NE(port, 0) << error_;
  Response v4 = request(port, "/m/i?op=info");
  EXPECT_EQ(v4.field("family"), "inet");
  EXPECT_EQ(v4.field("address"), "127.0.0.1");
  Response v6 = request(port, "/m/i?op=info", "", "", "::1");
  if (v6.status == 0) GTEST_SKIP() << "::1 is not reachable on this machine";
  EXPECT_EQ(v6.field("family"), "inet6");
  EXPECT_EQ(v6.field("address"), "::1");
}

// The program itself: start-up errors, the listening line, SIGTERM.
struct Child {
  pid_t pid = -1;
  int out = -1, err = -1;
};

Child spawn(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
  int out[2], err[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  Child c;
  c.pid = ::fork();
  if (c.pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (const auto &e : env) ::putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> argv{const_cast<char *>(TAVRIN_HOST_PATH)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(TAVRIN_HOST_PATH, argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  c.out = out[0];
  c.err = err[0];
  return c;
}

std::string drain(int fd) {
  std::string s;
  char block[4096];
  ssize_t n;
  while ((n = ::read(fd, block, sizeof block)) > 0) s.append(block, static_cast<size_t>(n));
  ::close(fd);
  return s;
}

int exit_code(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(HostTest, ProgramRejectsBadConfigurationsClearly) {
  struct Case {
    std::string name, config, env, message;
  };
  fs::path broken = dir_ / "broken.config";
  std::ofstream(broken) << "<configuration><system.applicationHost>";
  fs::path no_module = dir_ / "nomodule.config";
  fs::copy_file(write_config("127.0.0.1:0:", (dir_ / "missing.so").string()), no_module);
  fs::path good = write_config("127.0.0.1:0:");
  const Case cases[] = {
      {"missing file", (dir_ / "none.config").string(), "", "configuration file not found"},
      {"malformed", broken.string(), "", "unterminated"},
      {"module not loadable", no_module.string(), "", "cannot load"},
      {"register fails", good.string(), "TAVRIN_TEST_MODULE_FAIL_REGISTER=1", "RegisterModule failed"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> env;
    if (!c.env.empty()) env.push_back(c.env);
    Child child = spawn({"--config", c.config}, env);
    std::string out = drain(child.out), err = drain(child.err);
    EXPECT_EQ(exit_code(child.pid), 1) << c.name;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.name << ": " << err;
  }
}

TEST_F(HostTest, ProgramServesUntilSigtermThenTerminatesTheFactory) {
  fs::path config = write_config("127.0.0.1:0:");
  fs::path terminated = dir_ / "terminated";
  Child child = spawn({"--config", config.string(), "--workers", "4"},
                      {"TAVRIN_TEST_MODULE_TERMINATED=" + terminated.string()});
  std::string line;
  char ch;
  while (::read(child.out, &ch, 1) == 1 && ch != '\n') line += ch;
  ASSERT_EQ(line.rfind("listening Sync http://127.0.0.1:", 0), 0u) << line;
  auto port = static_cast<unsigned short>(std::atoi(line.c_str() + line.rfind(':') + 1));
  EXPECT_EQ(request(port, "/m/x?op=status&code=200&body=ok").body, std::string("ok", 3));
  // One SQLite serves the process; its memory statistics would put every allocation behind one mutex.
  EXPECT_EQ(request(port, "/m/x?op=sqlite").body, "memory statistics off");
  ::kill(child.pid, SIGTERM);
  std::string err = drain(child.err);
  drain(child.out);
  EXPECT_EQ(exit_code(child.pid), 0) << err;
  EXPECT_NE(err.find("GET /m/x?op=status&code=200&body=ok 200 "), std::string::npos) << err;
  EXPECT_EQ(read_file(terminated), "terminated live=0\n");
}

}  // namespace
