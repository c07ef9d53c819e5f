// tavrin_host over real HTTP on loopback, with the test module.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "host.h"
#include "request_log.h"
#include "winstandin/config.h"

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
Response read_response_with(const std::function<ssize_t(char *, size_t)> &receive, bool head_only,
                            std::string *carry) {
  std::string data = carry != nullptr ? std::move(*carry) : std::string();
  auto keep_rest = [&](size_t used) {
    if (carry != nullptr) *carry = data.substr(std::min(used, data.size()));
  };
  char block[65536];
  auto fill = [&] {
    ssize_t n = receive(block, sizeof block);
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

Response read_response(int fd, bool head_only = false, std::string *carry = nullptr) {
  return read_response_with([fd](char *block, size_t size) { return ::recv(fd, block, size, 0); }, head_only,
                            carry);
}

Response request(unsigned short port, const std::string &target, const std::string &extra_headers = "",
                 const std::string &body = "", const std::string &address = "127.0.0.1") {
  int fd = connect_to(address, port);
  if (fd < 0) return {};
  std::string text = (body.empty() ? "GET " : "POST ") + target + " HTTP/1.1\r\nHost: test.local:" +
                     std::to_string(port) + "\r\nConnection: close\r\n" + extra_headers;
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  send_text(fd, text + "\r\n" + body);
  timeval patience{60, 0};  // a host that stops answering shows as a failure, not a stuck test
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
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
    write_web_config();
    std::ofstream(webroot_ / "robots.txt") << "User-Agent: *\r\nDisallow: /";
  }

  // The site's web.config: its settings, and the body limit when one is given.
  void write_web_config(const std::string &max_body = "", const std::string &support_mode = "") {
    std::ofstream(webroot_ / "web.config")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n"
           "\t<configSections><sectionGroup name=\"tavrin\"><section name=\"settings\" />"
           "</sectionGroup></configSections>\n"
           "\t<tavrin><settings temp_directory=\"" << temp_.string()
        << "\" odbc_connection_string=\"Driver=x;Server=y\""
        << (support_mode.empty() ? "" : " support_mode=\"" + support_mode + "\"") << " /></tavrin>\n"
        << (max_body.empty() ? ""
                             : "\t<system.webServer><security><requestFiltering><requestLimits maxAllowedContentLength=\"" +
                                   max_body + "\" /></requestFiltering></security></system.webServer>\n")
        << "</configuration>\n";
    // A later stamp each time, so that the host rereads the file even within its clock's granularity.
    fs::last_write_time(webroot_ / "web.config", fs::file_time_type::clock::now() + std::chrono::seconds(++writes_));
  }
  int writes_ = 0;
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
           "\t\t\t\t\t<virtualDirectory path=\"/\" physicalPath=\""
        << (physical_path_.empty() ? webroot_.string() : physical_path_) << "\" />\n"
           "\t\t\t\t</application>\n"
           "\t\t\t\t<bindings><binding protocol=\"" << protocol_ << "\" bindingInformation=\"" << binding
        << "\" /></bindings>\n"
           "\t\t\t</site>\n\t\t</sites>\n\t</system.applicationHost>\n"
           "\t<system.webServer>\n"
           "\t\t<globalModules><add name=\"tavrin\" image=\"" << module_image << "\" /></globalModules>\n"
           "\t\t<modules><add name=\"tavrin\" /></modules>\n"
           "\t\t<handlers>\n"
           "\t\t\t<add name=\"sync\" path=\"/m/*\" verb=\"*\" modules=\"tavrin\" />\n"
           "\t\t\t<add name=\"StaticFile\" path=\"" << static_path_
        << "\" verb=\"GET,HEAD\" modules=\"StaticFileModule,DefaultDocumentModule\" />\n"
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
    options.min_body_rate = min_rate_;
    options.body_grace = grace_;
    options.certificates = certificates_;
    options.wine_prefix = wine_prefix_;
    options.log_directory = dir_ / "logs";
    options.answer_delay = answer_delay_;
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
  unsigned min_rate_ = 240;
  std::chrono::milliseconds grace_{10000};
  std::map<std::string, tavrin_iis::HostOptions::Certificate> certificates_;
  std::string protocol_ = "http", static_path_ = "*.txt";
  std::string physical_path_;  // as configured; empty: webroot_
  std::filesystem::path wine_prefix_;
  std::function<std::chrono::milliseconds()> answer_delay_;
  std::ostringstream log_;
  std::string error_;
  std::unique_ptr<tavrin_iis::Host> host_;

  // The entries of the site's request log (fields of each line that is no
  // directive), once the host has stopped and written everything out.
  std::vector<std::vector<std::string>> request_log_entries() {
    host_.reset();
    std::vector<std::vector<std::string>> entries;
    std::istringstream lines(read_file(dir_ / "logs" / "W3SVC1" / tavrin_iis::RequestLog::file_name(
                                           std::chrono::system_clock::now())));
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] == '#') continue;
      if (line.back() == '\r') line.pop_back();
      std::istringstream fields(line);
      auto &entry = entries.emplace_back();
      for (std::string field; fields >> field;) entry.push_back(field);
    }
    return entries;
  }
  // Whether an entry of the request log has this method, stem and status.
  bool logged(const std::string &method, const std::string &stem, const std::string &status) {
    for (const auto &e : request_log_entries())
      if (e.size() == 15 && e[3] == method && e[4] == stem && e[11] == status) return true;
    return false;
  }
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
  write_web_config("4294967295");
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

// A chunked body in the chunks' wire form: `step(i)` is the size of chunk i, `extension`
// follows each size, `trailer` the last chunk.
std::string chunked(const std::string &body, const std::function<size_t(size_t)> &step,
                    const std::string &extension = "", const std::string &trailer = "") {
  std::string wire;
  for (size_t at = 0, i = 0; at < body.size(); at += step(i++)) {
    size_t n = std::min(step(i), body.size() - at);
    char line[32];
    std::snprintf(line, sizeof line, "%zX", n);
    wire += line + extension + "\r\n" + body.substr(at, n) + "\r\n";
  }
  return wire + "0\r\n" + trailer + "\r\n";
}

// However a chunked body arrives, it is read to its end at once: in one packet with the head
// and the next request, apart from its head, in many small chunks, chunk by chunk, with
// extensions and trailers.
TEST_F(HostTest, ChunkedBodiesOfEveryShapeAreReadWhole) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  const std::string head = "POST /m/r?op=read HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string next = "GET /m/r?op=304 HTTP/1.1\r\nHost: h\r\n\r\n";
  std::string small = "hello", hundred_k = pattern(100 * 1000), big = pattern(3 * 1000 * 1000 + 7);
  struct Case {
    const char *name;
    std::string body;
    std::vector<std::string> packets;  // sent one after the other, a moment apart
  };
  auto growing = [](size_t i) { size_t n = 1; while (i--) n = n * 3 + 1; return n; };
  std::string kilobytes = chunked(hundred_k, [](size_t) { return 1000; });
  std::vector<std::string> by_chunk{head};
  for (size_t at = 0; at < kilobytes.size(); at += 10006) by_chunk.push_back(kilobytes.substr(at, 10006));
  by_chunk.push_back(next);
  const Case cases[] = {
      {"5 bytes in one packet with the next request", small, {head + chunked(small, [](size_t) { return 5; }) + next}},
      {"head and body apart", small, {head, chunked(small, [](size_t) { return 2; }), next}},
      {"100 KB in 1 KB chunks", hundred_k, {head + kilobytes + next}},
      {"100 KB a packet at a time", hundred_k, by_chunk},
      {"3 MB with extensions and a trailer", big, {head + chunked(big, growing, ";ext=1", "X-Trailer: t\r\n") + next}},
  };
  for (const auto &c : cases) {
    int fd = connect_to("127.0.0.1", port);
    timeval patience{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    for (const auto &packet : c.packets) {
      send_text(fd, packet);
      std::this_thread::sleep_for(20ms);
    }
    std::string carry;
    Response r = read_response(fd, false, &carry);
    Response second = read_response(fd, false, &carry);  // the connection carries on
    ::close(fd);
    EXPECT_EQ(r.status, 200) << c.name;
    EXPECT_EQ(r.field("remaining"), std::to_string(c.body.size())) << c.name << ": " << r.body;
    EXPECT_EQ(r.field("read"), std::to_string(c.body.size())) << c.name;
    EXPECT_EQ(r.field("hash"), fnv(c.body)) << c.name;
    EXPECT_EQ(second.status, 304) << c.name;
  }
}

// A body over the application's limit (requestFiltering's maxAllowedContentLength, 30,000,000
// bytes unless configured) is answered 413 whatever its framing: a declared length at once, a
// chunked body as soon as it passes the limit, before its end.
TEST_F(HostTest, BodiesOverTheConfiguredLimitAre413InEveryFraming) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  const std::string post = "POST /m/r?op=read HTTP/1.1\r\nHost: h\r\n";
  auto length = [&](size_t size) { return post + "Content-Length: " + std::to_string(size) + "\r\n\r\n"; };
  auto chunked_head = post + "Transfer-Encoding: chunked\r\n\r\n";
  auto unfinished = [](size_t size) {  // a chunked body of `size` bytes whose last chunk is still to come
    std::string wire = chunked(pattern(size), [](size_t) { return 7000; });
    return wire.substr(0, wire.size() - 5);
  };
  struct Case {
    const char *name;
    std::string sent;
    int status;
  };
  const Case default_limit[] = {
      {"length over the default", length(30000001), 413},
      {"chunked over the default", chunked_head + unfinished(30000001), 413},
  };
  const Case configured[] = {
      {"length at the limit", length(100000) + pattern(100000), 200},
      {"length over it", length(100001), 413},
      {"chunked at the limit", chunked_head + chunked(pattern(100000), [](size_t) { return 7000; }), 200},
      {"chunked over it", chunked_head + unfinished(100001), 413},
  };
  auto check = [&](const Case &c) {
    int fd = connect_to("127.0.0.1", port);
    timeval patience{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    send_text(fd, c.sent);
    Response r = read_response(fd);
    ::close(fd);
    EXPECT_EQ(r.status, c.status) << c.name;
  };
  for (const auto &c : default_limit) check(c);
  // The site's web.config sets the limit; the host reads it as it stands when a body comes.
  write_web_config("100000");
  for (const auto &c : configured) check(c);
  EXPECT_TRUE(logged("POST", "/m/r", "413"));
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
  EXPECT_TRUE(logged("GET", "/m/a", "304"));
  EXPECT_TRUE(logged("GET", "/m/a", "200"));
  EXPECT_TRUE(logged("GET", "/m/b", "304"));
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

// Files the webroot holds that are no content: configuration, the folders
// of server-side code and data, dot files, and any path that reaches them
// through escapes or dot segments.
TEST_F(HostTest, StaticFilesAreFilteredWhateverTheWebrootHolds) {
  static_path_ = "*";
  for (const char *dir : {"bin", "App_Data", "sub", ".git"}) fs::create_directories(webroot_ / dir);
  for (const char *file : {"bin/a.txt", "App_Data/db.mdf", "sub/web.config", "sub/page.txt", ".git/config",
                           ".env", "app.config", "notes.txt", "index.html"})
    std::ofstream(webroot_ / file) << "secret";
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  for (const char *served : {"/notes.txt", "/sub/page.txt", "/", "/robots.txt"})
    EXPECT_EQ(request(port, served).status, 200) << served;
  const char *refused[] = {
      "/web.config", "/WEB.CONFIG", "/web.config.", "/sub/web.config", "/bin/a.txt", "/BIN/a.txt",
      "/bin/", "/App_Data/db.mdf", "/app_data/db.mdf", "/.git/config", "/.env", "/app.config",
      "/%77eb.config",                                  // an escaped letter is still the name
      "/web%2econfig", "/sub/%2e%2e/notes.txt",         // escaped dots
      "/sub%2f..%2fnotes.txt", "/sub%5c..%5cnotes.txt",  // escaped separators
      "/sub/../notes.txt", "/./notes.txt",              // dot segments
      "/notes%252etxt",                                 // a second escape
      "/sub\\..\\notes.txt",
  };
  for (const char *target : refused) {
    Response r = request(port, target);
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_EQ(r.body.find("secret"), std::string::npos) << target;
  }
  // Module paths are not static files: the same segments reach the module.
  EXPECT_EQ(request(port, "/m/bin/web.config?op=304").status, 304);
}

// What the host refuses before any module runs: the status first, then the
// connection closes.
TEST_F(HostTest, MalformedAndOversizedRequestsAreAnsweredThenClosed) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  std::string many_fields, big_chunk = pattern(70000);
  for (int i = 0; i < 10000; ++i) many_fields += "X-" + std::to_string(i) + ": v\r\n";
  char chunk_size[16];
  std::snprintf(chunk_size, sizeof chunk_size, "%zx", big_chunk.size());
  const std::string post = "POST /m/r?op=read HTTP/1.1\r\nHost: h\r\n";
  struct Case {
    const char *name;
    std::string request;
    int status;
  };
  const Case cases[] = {
      {"head over 64 KB", "GET /m/x?op=304 HTTP/1.1\r\nHost: h\r\nX-Big: " + std::string(70000, 'a') + "\r\n\r\n", 431},
      {"10,000 fields", "GET /m/x?op=304 HTTP/1.1\r\nHost: h\r\n" + many_fields + "\r\n", 431},
      {"600 fields", "GET /m/x?op=304 HTTP/1.1\r\nHost: h\r\n" + many_fields.substr(0, 600 * 9) + "\r\n", 431},
      {"long target", "GET /m/x?op=304&q=" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: h\r\n\r\n", 414},
      {"request line over 64 KB", "GET /m/x?q=" + std::string(70000, 'a') + " HTTP/1.1\r\n\r\n", 414},
      {"conflicting lengths", post + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello", 400},
      {"negative length", post + "Content-Length: -5\r\n\r\n", 400},
      {"length and chunked", post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 400},
      {"chunked and length", post + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n", 400},
      {"coding without chunked", post + "Transfer-Encoding: gzip\r\n\r\nhello", 400},
      {"coding before chunked", post + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 501},
      {"length over 4 GiB", post + "Content-Length: 4294967296\r\n\r\nhello", 413},
      {"bad chunk size", post + "Transfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n", 400},
      {"chunk size overflow", post + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFF\r\nhello\r\n", 400},
      // Found by the worker reading past the first 64 KB: the module's read fails, the host answers.
      {"bad chunk size later", post + "Transfer-Encoding: chunked\r\n\r\n" + chunk_size + "\r\n" + big_chunk + "\r\nzz\r\n", 400},
      {"bad version", "GET /m/x?op=304 HTTP/9.1\r\nHost: h\r\n\r\n", 400},
  };
  for (const auto &c : cases) {
    int fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    timeval patience{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    send_text(fd, c.request);
    Response r = read_response(fd);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.header("Connection"), "close") << c.name;
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << c.name << ": the connection stays open";
    ::close(fd);
  }
  EXPECT_TRUE(logged("-", "-", "431"));
}

// Four more slow uploads than workers, of either framing, each well under way: the host keeps
// serving others, since a body is read whole on the I/O threads before a worker takes the
// request. Below the minimum rate a body is answered 408; a head that does not arrive in time
// is answered 408 too, an idle connection just closed.
TEST_F(HostTest, SlowClientsHoldNoWorkerAndAreCutBelowTheMinimumRate) {
  workers_ = 2;
  min_rate_ = 0;
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  std::vector<int> slow;
  for (int i = 0; i < 6; ++i) {
    slow.push_back(connect_to("127.0.0.1", port));
    std::string start = pattern(70000);
    send_text(slow.back(), i % 2 == 0 ? "POST /m/r?op=read HTTP/1.1\r\nHost: h\r\nContent-Length: 1000000\r\n\r\n" + start
                                      : "POST /m/r?op=read HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                            chunked(start, [](size_t) { return 7000; }).substr(0, 70000));
  }
  for (int i = 0; i < 8; ++i) {
    Response r = request(port, "/m/p?op=status&code=200&body=pulled");
    EXPECT_EQ(r.body, std::string("pulled", 7)) << i;
    for (int fd : slow) send_text(fd, "c");
  }
  for (int fd : slow) {
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, MSG_DONTWAIT), -1) << "a slow upload was answered";
    ::close(fd);
  }
  host_.reset();

  min_rate_ = 1000000;  // a megabyte a second, so that 70 KB are too slow
  grace_ = 300ms;
  port = start("127.0.0.1:0:", 800ms);
  ASSERT_NE(port, 0) << error_;
  struct Case {
    const char *name;
    std::string sent;
    int status;  // 0: closed without an answer
  };
  const Case cases[] = {
      {"body under way", "POST /m/r?op=read HTTP/1.1\r\nHost: h\r\nContent-Length: 1000\r\n\r\nab", 408},
      {"body past its first 64 KB",
       "POST /m/r?op=read HTTP/1.1\r\nHost: h\r\nContent-Length: 1000000\r\n\r\n" + pattern(70000), 408},
      {"head", "GET /m/x?op=304 HTTP/1.1\r\nHo", 408},
      {"idle connection", "", 0},
  };
  for (const auto &c : cases) {
    int fd = connect_to("127.0.0.1", port);
    timeval patience{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    send_text(fd, c.sent);
    Response r = read_response(fd);
    EXPECT_EQ(r.status, c.status) << c.name;
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << c.name;
    ::close(fd);
  }
  EXPECT_TRUE(logged("POST", "/m/r", "408"));
}

// A throwaway self-signed certificate for `name`; false when openssl cannot make one.
bool make_certificate(const fs::path &dir, const std::string &name, fs::path &certificate, fs::path &key) {
  certificate = dir / (name + ".pem");
  key = dir / (name + ".key");
  std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=" +
                        name + " -keyout '" + key.string() + "' -out '" + certificate.string() + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

// One request over TLS with the given server name; the common name of the
// server's certificate into `subject`. Status 0 when no session was made.
Response tls_request(unsigned short port, const std::string &server_name, const std::string &text,
                     std::string &subject) {
  Response r;
  int fd = connect_to("127.0.0.1", port);
  SSL_CTX *context = SSL_CTX_new(TLS_client_method());
  SSL *ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  SSL_set_tlsext_host_name(ssl, server_name.c_str());
  if (SSL_connect(ssl) == 1) {
    if (X509 *certificate = SSL_get1_peer_certificate(ssl)) {
      char name[256] = {};
      X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name);
      subject = name;
      X509_free(certificate);
    }
    for (size_t at = 0; at < text.size();) {
      int n = SSL_write(ssl, text.data() + at, static_cast<int>(std::min<size_t>(text.size() - at, 1 << 20)));
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    r = read_response_with([ssl](char *block, size_t size) -> ssize_t {
      int n = SSL_read(ssl, block, static_cast<int>(size));
      return n > 0 ? n : 0;
    }, false, nullptr);
  }
  SSL_free(ssl);
  SSL_CTX_free(context);
  ::close(fd);
  return r;
}

unsigned short free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

TEST_F(HostTest, HttpsBindingsServeTlsWithTheirSitesCertificate) {
  fs::path certificate, key;
  if (!make_certificate(dir_, "sync.test", certificate, key)) GTEST_SKIP() << "openssl cannot make a certificate";
  protocol_ = "https";
  ASSERT_EQ(start(), 0) << "started without a certificate";
  EXPECT_NE(error_.find("site 'Sync' has an https binding (127.0.0.1:0:) but no certificate"), std::string::npos)
      << error_;

  certificates_["Sync"] = {certificate, key};
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  EXPECT_TRUE(host_->endpoints().at(0).secure);
  std::string subject;
  Response r = tls_request(port, "sync.test",
                           "GET /m/x?op=info HTTP/1.1\r\nHost: sync.test\r\nConnection: close\r\n\r\n", subject);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(subject, "sync.test");
  EXPECT_EQ(r.field("url"), "https://sync.test/m/x?op=info");
  // A body over TLS, partly read before the module runs and partly by it.
  std::string body = pattern(300000);
  r = tls_request(port, "sync.test",
                  "POST /m/r?op=read HTTP/1.1\r\nHost: h\r\nConnection: close\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body,
                  subject);
  EXPECT_EQ(r.field("hash"), fnv(body));
  // Nothing is served in clear on an https binding.
  EXPECT_EQ(request(port, "/m/x?op=304").status, 0);

  // Two sites on one port: the certificate by the name the client asks for.
  host_.reset();
  fs::path other_certificate, other_key;
  ASSERT_TRUE(make_certificate(dir_, "other.test", other_certificate, other_key));
  std::string config = read_file(write_config("127.0.0.1:0:"));
  std::string port_text = std::to_string(free_port());
  std::string site = config.substr(config.find("\t\t\t<site "), config.find("</site>") + 8 - config.find("\t\t\t<site "));
  std::string second = std::regex_replace(site, std::regex("Sync"), "Other");
  second = std::regex_replace(second, std::regex("id=\"1\""), "id=\"2\"");
  config.replace(config.find(site), site.size(),
                 std::regex_replace(site, std::regex("127.0.0.1:0:"), "127.0.0.1:" + port_text + ":sync.test") +
                     std::regex_replace(second, std::regex("127.0.0.1:0:"), "127.0.0.1:" + port_text + ":other.test"));
  std::ofstream(dir_ / "applicationHost.config") << config;
  tavrin_iis::HostOptions options;
  options.config_file = dir_ / "applicationHost.config";
  options.certificates = {{"Sync", {certificate, key}}, {"Other", {other_certificate, other_key}}};
  options.log = &log_;
  host_ = std::make_unique<tavrin_iis::Host>(options);
  ASSERT_TRUE(host_->start(error_)) << error_;
  port = host_->endpoints().at(0).port;
  for (const char *name : {"sync.test", "other.test"}) {
    r = tls_request(port, name, "GET /m/x?op=304 HTTP/1.1\r\nHost: " + std::string(name) + "\r\n\r\n", subject);
    EXPECT_EQ(r.status, 304) << name;
    EXPECT_EQ(subject, name);
  }
}

// A site's content as the site configuration tool writes it under Wine: drive paths, read
// through the prefix's drives; and a site whose content is missing is reported at start.
TEST_F(HostTest, DrivePathsReadThroughTheWinePrefixAndMissingContentIsReported) {
  physical_path_ = "C:\\ProgramData\\Sync\\www";
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  ASSERT_EQ(host_->warnings().size(), 1u);
  EXPECT_EQ(host_->warnings()[0],
            "site 'Sync': the physical path C:\\ProgramData\\Sync\\www does not exist (a Windows drive path: "
            "name the Wine prefix it was written in with --wine-prefix)");
  EXPECT_NE(log_.str().find("warning: site 'Sync': the physical path"), std::string::npos);
  host_.reset();

  // The prefix: drive c: is its drive_c, whose folders differ from the path in letter case.
  wine_prefix_ = dir_ / "prefix";
  fs::create_directories(wine_prefix_ / "dosdevices");
  fs::create_directories(wine_prefix_ / "drive_c" / "programdata");
  fs::create_symlink("../drive_c", wine_prefix_ / "dosdevices" / "c:");
  fs::rename(webroot_, wine_prefix_ / "drive_c" / "programdata" / "Sync");
  fs::rename(wine_prefix_ / "drive_c" / "programdata" / "Sync", wine_prefix_ / "drive_c" / "programdata" / "sync");
  fs::create_directories(wine_prefix_ / "drive_c" / "programdata" / "sync" / "WWW");
  webroot_ = wine_prefix_ / "drive_c" / "programdata" / "sync" / "WWW";
  std::ofstream(webroot_ / "robots.txt") << "from the prefix";
  fs::path temp = wine_prefix_ / "drive_c" / "programdata" / "sync" / "temp";
  fs::create_directories(temp);
  std::ofstream(webroot_ / "web.config")
      << "<configuration><configSections><sectionGroup name=\"tavrin\"><section name=\"settings\" />"
         "</sectionGroup></configSections><tavrin><settings temp_directory=\"C:\\ProgramData\\Sync\\temp\" "
         "odbc_connection_string=\"Driver=x;Server=C:\\data\" /></tavrin></configuration>";
  port = start();
  ASSERT_NE(port, 0) << error_;
  EXPECT_TRUE(host_->warnings().empty()) << host_->warnings()[0];
  EXPECT_EQ(request(port, "/robots.txt").body, "from the prefix");
  // The module reads settings that are drive paths as the local paths; other values as written.
  Response r = request(port, "/m/s?op=settings");
  EXPECT_EQ(r.field("temp_directory"), "0x00000000 [" + temp.string() + "]");
  EXPECT_EQ(r.field("odbc_connection_string"), "0x00000000 [Driver=x;Server=C:\\data]");
  host_.reset();

  // A relative prefix is taken from the working directory, not from the configuration's folder.
  fs::path cwd = fs::current_path();
  fs::create_directories(dir_ / "elsewhere");
  fs::current_path(dir_ / "elsewhere");
  wine_prefix_ = "../prefix";
  port = start();
  fs::current_path(cwd);
  ASSERT_NE(port, 0) << error_;
  EXPECT_EQ(request(port, "/robots.txt").body, "from the prefix");
  host_.reset();

  wine_prefix_ = dir_ / "no-prefix";
  EXPECT_EQ(start(), 0);
  EXPECT_NE(error_.find("--wine-prefix (or $WINEPREFIX): not a Wine prefix"), std::string::npos) << error_;
}

// The program itself: start-up errors, the listening line, SIGTERM.
struct Child {
  pid_t pid = -1;
  int out = -1, err = -1;
};

// descriptors: the child's descriptor limit, soft and hard (0: inherited).
Child spawn(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
            rlimit descriptors = {0, 0}) {
  int out[2], err[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  Child c;
  c.pid = ::fork();
  if (c.pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (const auto &e : env) ::putenv(const_cast<char *>(e.c_str()));
    if (descriptors.rlim_max != 0) ::setrlimit(RLIMIT_NOFILE, &descriptors);
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
  fs::path https = dir_ / "https.config";
  protocol_ = "https";
  fs::copy_file(write_config("127.0.0.1:0:"), https);
  protocol_ = "http";
  fs::path good = write_config("127.0.0.1:0:");
  const Case cases[] = {
      {"missing file", (dir_ / "none.config").string(), "", "configuration file not found"},
      {"malformed", broken.string(), "", "unterminated"},
      {"module not loadable", no_module.string(), "", "cannot load"},
      {"register fails", good.string(), "TAVRIN_TEST_MODULE_FAIL_REGISTER=1", "RegisterModule failed"},
      {"https without a certificate", https.string(), "", "site 'Sync' has an https binding"},
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

TEST_F(HostTest, ProgramRejectsBadOptionsClearly) {
  std::string config = write_config("127.0.0.1:0:").string();
  std::string accounts = TAVRIN_SOURCE_DIR "/tests/fixtures/windows/accounts";
  struct Case {
    std::vector<std::string> options;
    int exit;
    std::string message;
  };
  const Case cases[] = {
      {{"--accounts", (dir_ / "none").string()}, 2, "tavrin_host: logon: "},
      {{"--pam-domain", "CORP", "--pam-service-dir", (dir_ / "none").string()}, 2, "no PAM service file"},
      {{"--accounts", accounts, "--pam-domain", "CORP"}, 2, "bad option --pam-domain"},
      {{"--private-key", "Sync=" + (dir_ / "key.pem").string()}, 2, "the site has no --certificate"},
      {{"--certificate", "Sync"}, 2, "bad option --certificate"},
      {{"--min-body-rate", "-1"}, 2, "bad option --min-body-rate"},
      {{"--wine-prefix", (dir_ / "none").string()}, 1, "not a Wine prefix (no dosdevices directory): " + (dir_ / "none").string()},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args{"--config", config};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Child child = spawn(args);
    std::string out = drain(child.out), err = drain(child.err);
    EXPECT_EQ(exit_code(child.pid), c.exit) << c.options[0];
    EXPECT_NE(err.find(c.message), std::string::npos) << c.options[0] << ": " << err;
  }
}

TEST_F(HostTest, ProgramServesUntilSigtermThenTerminatesTheFactory) {
  fs::path config = write_config("127.0.0.1:0:");
  fs::path terminated = dir_ / "terminated";
  Child child = spawn({"--config", config.string(), "--workers", "4"},
                      {"TAVRIN_TEST_MODULE_TERMINATED=" + terminated.string()}, {256, 1024});
  std::string line;
  char ch;
  while (::read(child.out, &ch, 1) == 1 && ch != '\n') line += ch;
  ASSERT_EQ(line.rfind("listening Sync http://127.0.0.1:", 0), 0u) << line;
  auto port = static_cast<unsigned short>(std::atoi(line.c_str() + line.rfind(':') + 1));
  EXPECT_EQ(request(port, "/m/x?op=status&code=200&body=ok").body, std::string("ok", 3));
  // The soft descriptor limit was raised to the hard one.
  std::string limits = read_file("/proc/" + std::to_string(child.pid) + "/limits");
  EXPECT_TRUE(std::regex_search(limits, std::regex("Max open files +1024 +1024 "))) << limits;
  // One SQLite serves the process; its memory statistics would put every allocation behind one mutex.
  EXPECT_EQ(request(port, "/m/x?op=sqlite").body, "memory statistics off");
  ::kill(child.pid, SIGTERM);
  std::string err = drain(child.err);
  drain(child.out);
  EXPECT_EQ(exit_code(child.pid), 0) << err;
  // Without --log the requests are logged beside the configuration file.
  std::string log = read_file(dir_ / "W3SVC1" / tavrin_iis::RequestLog::file_name(std::chrono::system_clock::now()));
  EXPECT_NE(log.find(" GET /m/x op=status&code=200&body=ok "), std::string::npos) << log;
  EXPECT_NE(err.find("warning: no logon back end (--accounts or --pam-domain): every logon of the \"windows\" "
                     "scheme fails (401)"),
            std::string::npos)
      << err;
  EXPECT_EQ(read_file(terminated), "terminated live=0\n");
}

// CPU time (user and system) the process has used so far, in seconds.
double cpu_seconds(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stoull(field);
    if (i == 15) system = std::stoull(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Out of descriptors, the host stops accepting instead of retrying at once, keeps serving the
// connections it has, and takes up the waiting ones as descriptors free.
TEST_F(HostTest, ProgramPausesAcceptingAtItsDescriptorLimit) {
  fs::path config = write_config("127.0.0.1:0:");
  Child child = spawn({"--config", config.string(), "--workers", "2", "--log", (dir_ / "host.log").string()}, {}, {64, 64});
  std::string line;
  char ch;
  while (::read(child.out, &ch, 1) == 1 && ch != '\n') line += ch;
  ASSERT_EQ(line.rfind("listening Sync http://127.0.0.1:", 0), 0u) << line;
  auto port = static_cast<unsigned short>(std::atoi(line.c_str() + line.rfind(':') + 1));
  std::vector<int> idle;
  for (int i = 0; i < 120; ++i) idle.push_back(connect_to("127.0.0.1", port));  // the rest wait in the backlog
  std::this_thread::sleep_for(500ms);
  double before = cpu_seconds(child.pid);
  std::this_thread::sleep_for(2s);
  double busy = (cpu_seconds(child.pid) - before) / 2;
  EXPECT_LT(busy, 0.5) << "the host spins on its full descriptor table";
  // An accepted connection is still served.
  timeval patience{30, 0};
  ::setsockopt(idle.front(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  send_text(idle.front(), "GET /m/x?op=304 HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(read_response(idle.front()).status, 304);
  // A new one waits until descriptors free, then is served.
  int late = connect_to("127.0.0.1", port);
  ::setsockopt(late, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  send_text(late, "GET /m/x?op=status&code=200&body=late HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
  for (int fd : idle) ::close(fd);
  EXPECT_EQ(read_response(late).body, std::string("late", 5));
  ::close(late);
  ::kill(child.pid, SIGTERM);
  std::string err = drain(child.err);
  drain(child.out);
  EXPECT_EQ(exit_code(child.pid), 0) << err;
  EXPECT_NE(read_file(dir_ / "host.log").find("accepting paused until a connection closes"), std::string::npos);
}

// A failed logon's delay holds back that client's 401, not a worker: with one worker, requests
// of others are answered while the failed logons wait.
TEST_F(HostTest, AFailedLogonsDelayHoldsItsAnswerNotAWorker) {
  fs::path accounts = dir_ / "accounts";
  std::ofstream(accounts) << "CORP:slow:$2y$04$LG2bVfp0rc5bweYcZgAzPOjEozoNI4lpP24gKdZz09nhWzKoV142S:Staff:delay=1500\n";
  winstandin::LogonConfig logon;
  logon.backend = winstandin::LogonConfig::Backend::file;
  logon.accounts_file = accounts;
  winstandin::configure_logon(logon);
  workers_ = 1;
  answer_delay_ = winstandin::take_failed_logon_delay;
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  using Clock = std::chrono::steady_clock;
  struct Logon {
    Response response;
    Clock::duration took{};
    Clock::time_point answered{};
  };
  std::vector<Logon> logons(4);
  std::vector<std::thread> threads;
  for (auto &l : logons)
    threads.emplace_back([&l, port] {
      auto started = Clock::now();
      l.response = request(port, "/m/l?op=logon&u=slow&p=wrong");
      l.answered = Clock::now();
      l.took = l.answered - started;
    });
  std::this_thread::sleep_for(100ms);
  Clock::time_point others_done;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(request(port, "/m/x?op=304").status, 304);
  others_done = Clock::now();
  for (auto &t : threads) t.join();
  for (const auto &l : logons) {
    EXPECT_EQ(l.response.status, 401);
    EXPECT_GE(l.took, 1500ms) << "the failed logon was answered before its delay";
    EXPECT_GT(l.answered, others_done) << "another request waited for a failed logon";
  }
  EXPECT_EQ(request(port, "/m/l?op=logon&u=slow&p=Right%20horse%201").status, 200);
  winstandin::configure_logon({});
}

// Work files of hosts that are gone are removed at start, but only from a temp_directory that
// no running host uses, and never where support_mode "*" keeps uploads on purpose.
TEST_F(HostTest, WorkFilesOfStoppedHostsAreRemovedAtStart) {
  const std::string work = "t0123456789abcdef0123456789abcdef";
  const std::vector<std::string> leftovers{work, work + "-journal", "tffffffffffffffffffffffffffffffff-wal"};
  const std::vector<std::string> others{"t0123456789ABCDEF0123456789ABCDEF", work + ".txt", "keep.sqlite", "t1"};
  auto make = [&](const std::vector<std::string> &names) {
    for (const auto &name : names) std::ofstream(temp_ / name) << "x";
  };
  auto present = [&](const std::vector<std::string> &names) {
    size_t n = 0;
    for (const auto &name : names) n += fs::exists(temp_ / name);
    return n;
  };
  make(leftovers);
  make(others);
  ASSERT_NE(start(), 0) << error_;
  EXPECT_EQ(present(leftovers), 0u);
  EXPECT_EQ(present(others), others.size());
  EXPECT_NE(log_.str().find("removed 3 work file(s) that stopped hosts left in"), std::string::npos) << log_.str();

  // While this host runs, another one starting on the same directory leaves its files alone.
  make(leftovers);
  tavrin_iis::HostOptions options;
  options.config_file = dir_ / "applicationHost.config";
  tavrin_iis::Host second(options);
  ASSERT_TRUE(second.start(error_)) << error_;
  EXPECT_EQ(present(leftovers), leftovers.size());
  second.stop();
  host_.reset();

  write_web_config("", "*");
  ASSERT_NE(start(), 0) << error_;
  EXPECT_EQ(present(leftovers), leftovers.size());
  host_.reset();
  write_web_config();
  ASSERT_NE(start(), 0) << error_;
  EXPECT_EQ(present(leftovers), 0u);
}

// The request log as IIS writes it: W3SVC<site id>/u_exYYMMDD.log, a header block, and one line of
// the default fields per request, the host's refusals included.
TEST_F(HostTest, RequestsAreLoggedInTheW3cExtendedFormat) {
  unsigned short port = start();
  ASSERT_NE(port, 0) << error_;
  EXPECT_EQ(host_->log_folder("Sync"), dir_ / "logs" / "W3SVC1");
  request(port, "/m/x?op=304&a=b", "User-Agent: probe client/1.0\r\nReferer: http://r.test/\r\n");
  request(port, "/missing.txt");
  request(port, "/m/x?op=status&code=400&body=x", "", "posted");
  int fd = connect_to("127.0.0.1", port);
  send_text(fd, "GET /m/x?op=304 HTTP/1.1\r\nHost: h\r\nX-Big: " + std::string(70000, 'a') + "\r\n\r\n");
  read_response(fd);
  ::close(fd);
  auto entries = request_log_entries();
  std::string text = read_file(dir_ / "logs" / "W3SVC1" / tavrin_iis::RequestLog::file_name(std::chrono::system_clock::now()));
  EXPECT_EQ(text.substr(0, text.find("#Date: ")), "#Software: tavrin_host\r\n#Version: 1.0\r\n") << text;
  EXPECT_NE(text.find("\r\n#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip "
                      "cs(User-Agent) cs(Referer) sc-status sc-substatus sc-win32-status time-taken\r\n"),
            std::string::npos)
      << text;
  ASSERT_EQ(entries.size(), 4u) << text;
  const std::string port_text = std::to_string(port);
  // The answers go out before their lines are written, so the lines may come in another order.
  std::vector<std::vector<std::string>> expected = {
      {"127.0.0.1", "GET", "/m/x", "op=304&a=b", port_text, "-", "127.0.0.1", "probe+client/1.0", "http://r.test/",
       "304", "0", "0"},
      {"127.0.0.1", "GET", "/missing.txt", "-", port_text, "-", "127.0.0.1", "-", "-", "404", "0", "0"},
      {"127.0.0.1", "POST", "/m/x", "op=status&code=400&body=x", port_text, "-", "127.0.0.1", "-", "-", "400", "0", "0"},
      {"127.0.0.1", "-", "-", "-", port_text, "-", "127.0.0.1", "-", "-", "431", "0", "0"},
  };
  std::vector<std::vector<std::string>> seen;
  for (const auto &e : entries) {
    ASSERT_EQ(e.size(), 15u);
    EXPECT_TRUE(std::regex_match(e[0], std::regex(R"(\d{4}-\d{2}-\d{2})"))) << e[0];
    EXPECT_TRUE(std::regex_match(e[1], std::regex(R"(\d{2}:\d{2}:\d{2})"))) << e[1];
    EXPECT_TRUE(std::regex_match(e[14], std::regex(R"(\d+)"))) << e[14];
    seen.emplace_back(e.begin() + 2, e.begin() + 14);
  }
  std::sort(seen.begin(), seen.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(seen, expected);

  // A site's logFile directory of the configuration is where its log goes.
  std::string config = read_file(dir_ / "applicationHost.config");
  config.replace(config.find("<bindings>"), 0, "<logFile directory=\"site-logs\" />");
  std::ofstream(dir_ / "applicationHost.config") << config;
  tavrin_iis::HostOptions options;
  options.config_file = dir_ / "applicationHost.config";
  options.log_directory = dir_ / "logs";
  tavrin_iis::Host host(options);
  ASSERT_TRUE(host.start(error_)) << error_;
  EXPECT_EQ(host.log_folder("Sync"), dir_ / "site-logs" / "W3SVC1");
  EXPECT_TRUE(fs::is_directory(dir_ / "site-logs" / "W3SVC1"));
}

}  // namespace
