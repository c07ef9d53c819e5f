#include "request.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <new>
#include <optional>

#include "tavrin_iis/utf.h"

namespace tavrin_iis {

namespace asio = boost::asio;
namespace http = boost::beast::http;
namespace fs = std::filesystem;

namespace {

const HRESULT kConnectionInvalid = HRESULT_FROM_WIN32(ERROR_CONNECTION_INVALID);
const HRESULT kAborted = HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
const HRESULT kInvalidState = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
const HRESULT kEndOfBody = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);

std::string lower(std::string_view s) {
  std::string out(s);
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool has_line_break(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos || s.find('\0') != std::string_view::npos;
}

// IPv4 peers of a dual-stack listener arrive as v4-mapped IPv6 addresses;
// modules see them as the IPv4 addresses they are.
void unmap_v4(sockaddr_storage &address) {
  if (address.ss_family != AF_INET6) return;
  sockaddr_in6 v6;
  std::memcpy(&v6, &address, sizeof v6);
  if (!IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) return;
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = v6.sin6_port;
  std::memcpy(&v4.sin_addr, &v6.sin6_addr.s6_addr[12], 4);
  address = sockaddr_storage{};
  std::memcpy(&address, &v4, sizeof v4);
}

std::string address_text(const sockaddr_storage &address, bool with_port) {
  char text[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (address.ss_family == AF_INET) {
    auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    port = ntohs(v4.sin_port);
    return with_port ? std::string(text) + ":" + std::to_string(port) : text;
  }
  auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
  inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
  port = ntohs(v6.sin6_port);
  return with_port ? "[" + std::string(text) + "]:" + std::to_string(port) : text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes a request path and resolves "." and ".." segments, as
// the server's URL canonicalisation does; false for a path that is
// malformed or climbs above the root.
bool canonical_path(std::string_view raw, std::string &out) {
  if (raw.empty() || raw.front() != '/') return false;
  std::string decoded;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%') {
      decoded += raw[i];
      continue;
    }
    if (i + 2 >= raw.size()) return false;
    int hi = hex_digit(raw[i + 1]), lo = hex_digit(raw[i + 2]);
    if (hi < 0 || lo < 0) return false;
    decoded += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (decoded.find('\0') != std::string::npos) return false;
  std::vector<std::string> segments;
  std::string last;
  for (size_t start = 1; start <= decoded.size();) {
    size_t end = decoded.find('/', start);
    if (end == std::string::npos) end = decoded.size();
    last = decoded.substr(start, end - start);
    if (last == "..") {
      if (segments.empty()) return false;
      segments.pop_back();
    } else if (!last.empty() && last != ".") {
      segments.push_back(last);
    }
    start = end + 1;
  }
  bool trailing_slash = decoded.back() == '/' || last == "." || last == "..";
  out = "/";
  for (size_t i = 0; i < segments.size(); ++i) out += (i ? "/" : "") + segments[i];
  if (trailing_slash && !segments.empty()) out += '/';
  return true;
}

const char *content_type(const fs::path &file) {
  std::string ext = lower(file.extension().string());
  if (ext == ".html" || ext == ".htm") return "text/html";
  if (ext == ".txt") return "text/plain";
  if (ext == ".css") return "text/css";
  if (ext == ".js") return "application/javascript";
  if (ext == ".json") return "application/json";
  if (ext == ".xml") return "text/xml";
  if (ext == ".png") return "image/png";
  if (ext == ".ico") return "image/x-icon";
  return "application/octet-stream";
}

struct BodyChunk {
  std::string memory;
  int fd = -1;  // a file chunk: our own duplicate of the module's handle
  std::uint64_t offset = 0, length = 0;
};

// Everything a module sees of one request.
class RequestContext final : public IHttpContext,
                             public IHttpRequest,
                             public IHttpResponse,
                             public IHttpConnection,
                             public IHttpApplication {
 public:
  explicit RequestContext(Connection &c) : c_(c), p_(c.parser()) {}
  ~RequestContext() override {
    drop_chunks();
    if (spool_fd_ >= 0) ::close(spool_fd_);
  }

  // Serves the request; true when the connection can carry another one.
  bool run();

  // IHttpContext
  IHttpRequest *GetRequest() override { return this; }
  IHttpResponse *GetResponse() override { return this; }
  IHttpConnection *GetConnection() override { return this; }
  IHttpApplication *GetApplication() override { return this; }

  // IHttpApplication
  PCWSTR GetAppConfigPath() override { return app_ != nullptr ? app_->config_path16.c_str() : u""; }

  // IHttpConnection
  BOOL IsConnected() override { return c_.peer_connected() ? TRUE : FALSE; }

  // IHttpRequest
  HTTP_REQUEST *GetRawHttpRequest() override { return &raw_; }
  PCSTR GetHeader(PCSTR name, USHORT *length) override;
  PSOCKADDR GetRemoteAddress() override { return reinterpret_cast<PSOCKADDR>(&remote_); }
  DWORD GetRemainingEntityBytes() override;
  HRESULT ReadEntityBody(void *buffer, DWORD size, BOOL async, DWORD *received,
                         BOOL *pending) override;

  // IHttpResponse
  void Clear() override;
  HRESULT SetStatus(USHORT code, PCSTR reason, USHORT, HRESULT, IAppHostConfigException *,
                    BOOL) override;
  HRESULT SetHeader(PCSTR name, PCSTR value, USHORT length, BOOL replace) override;
  HRESULT SetHeader(HTTP_HEADER_ID id, PCSTR value, USHORT length, BOOL replace) override;
  HRESULT WriteEntityChunks(HTTP_DATA_CHUNK *chunks, USHORT count, BOOL async, BOOL more,
                            DWORD *sent, BOOL *pending) override;
  HRESULT Flush(BOOL async, BOOL more, DWORD *sent, BOOL *pending) override;

 private:
  Connection &c_;
  Connection::Parser &p_;
  std::string method_, target_;
  // Request headers the module asked for, by lower-cased name, with the
  // values of repeated fields joined by commas (nullopt: absent). Filled on
  // demand, since most requests look at a few headers only; a deque, since
  // the module holds pointers into values found earlier.
  std::deque<std::pair<std::string, std::optional<std::string>>> headers_;
  sockaddr_storage remote_{};
  HTTP_REQUEST raw_{};
  std::u16string full_url_, host16_, path16_, query16_;
  const Site *site_ = nullptr;
  const Application *app_ = nullptr;
  std::string relative_path_;

  std::uint64_t content_length_ = 0, received_ = 0;
  int spool_fd_ = -1;
  std::uint64_t spool_size_ = 0, spool_read_ = 0;
  bool continue_pending_ = false;

  USHORT status_ = 200;
  std::string reason_ = "OK";
  std::vector<std::pair<std::string, std::string>> out_headers_;
  std::vector<BodyChunk> chunks_;
  bool headers_sent_ = false, chunked_ = false, close_after_ = false, no_body_ = false;
  std::uint64_t declared_length_ = 0, body_sent_ = 0, bytes_out_ = 0;
  bool has_declared_length_ = false;

  void drop_chunks() {
    for (auto &ch : chunks_)
      if (ch.fd >= 0) ::close(ch.fd);
    chunks_.clear();
  }
  const std::string *find_header(std::string_view name);
  const std::string *find_out_header(std::string_view name) const {
    for (const auto &[k, v] : out_headers_)
      if (lower(k) == lower(name)) return &v;
    return nullptr;
  }
  HRESULT read_stream(void *buffer, size_t size, size_t &got);
  HRESULT spool_body();
  HRESULT send_pending(bool final);
  HRESULT send_body_bytes(const char *data, size_t size);
  void simple_answer(USHORT status, const char *reason);
  void serve_static(const HandlerMapping &handler);
  void run_module(IHttpModuleFactory *factory);
  bool route(std::string &why, const HandlerMapping *&handler);
};

const std::string *RequestContext::find_header(std::string_view name) {
  for (const auto &[k, v] : headers_)
    if (boost::beast::iequals(k, name)) return v ? &*v : nullptr;
  std::optional<std::string> value;
  for (const auto &field : p_.get())
    if (boost::beast::iequals(field.name_string(), name)) {
      if (value) *value += ',';
      else value.emplace();
      value->append(field.value());
    }
  headers_.emplace_back(lower(name), std::move(value));
  const auto &found = headers_.back().second;
  return found ? &*found : nullptr;
}

PCSTR RequestContext::GetHeader(PCSTR name, USHORT *length) {
  if (length != nullptr) *length = 0;
  if (name == nullptr) return nullptr;
  const std::string *v = find_header(name);
  if (v == nullptr) return nullptr;
  if (length != nullptr) *length = static_cast<USHORT>(std::min<size_t>(v->size(), 0xFFFF));
  return v->c_str();
}

DWORD RequestContext::GetRemainingEntityBytes() {
  std::uint64_t left = spool_fd_ >= 0 ? spool_size_ - spool_read_ : content_length_ - received_;
  return static_cast<DWORD>(std::min<std::uint64_t>(left, 0xFFFFFFFFu));
}

HRESULT RequestContext::read_stream(void *buffer, size_t size, size_t &got) {
  got = 0;
  if (continue_pending_ && !headers_sent_) {
    continue_pending_ = false;
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    if (HRESULT hr = c_.send_all(kContinue, sizeof kContinue - 1); FAILED(hr)) return hr;
  }
  auto &body = p_.get().body();
  body.data = buffer;
  body.size = size;
  body.more = true;
  while (!p_.is_done()) {
    bool need_data = c_.buffer().size() == 0;
    if (!need_data) {
      boost::system::error_code ec;
      size_t used = p_.put(c_.buffer().data(), ec);
      c_.buffer().consume(used);
      if (ec == http::error::need_buffer) ec = {};
      if (ec && ec != http::error::need_more) {  // a malformed chunked body
        c_.mark_broken();
        return kConnectionInvalid;
      }
      got = size - body.size;
      if (got > 0) break;
      need_data = ec == http::error::need_more || used == 0;
    }
    if (need_data && !p_.is_done())
      if (HRESULT hr = c_.receive_more(); FAILED(hr)) {
        if (hr == kConnectionInvalid) c_.mark_broken();
        return hr;
      }
  }
  body.data = nullptr;
  received_ += got;
  return S_OK;
}

HRESULT RequestContext::spool_body() {
  std::string path = (c_.host().spool_directory() / "tavrin-spool-XXXXXX").string();
  spool_fd_ = ::mkstemp(path.data());
  if (spool_fd_ < 0) return HRESULT_FROM_WIN32(WinstandinErrorFromErrno(errno));
  ::unlink(path.c_str());
  std::vector<char> block(64 * 1024);
  while (!p_.is_done()) {
    size_t got = 0;
    if (HRESULT hr = read_stream(block.data(), block.size(), got); FAILED(hr)) return hr;
    for (size_t done = 0; done < got;) {
      ssize_t n = ::write(spool_fd_, block.data() + done, got - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return HRESULT_FROM_WIN32(WinstandinErrorFromErrno(errno));
      done += static_cast<size_t>(n);
    }
    spool_size_ += got;
  }
  ::lseek(spool_fd_, 0, SEEK_SET);
  return S_OK;
}

HRESULT RequestContext::ReadEntityBody(void *buffer, DWORD size, BOOL async, DWORD *received,
                                       BOOL *pending) {
  if (received != nullptr) *received = 0;
  if (pending != nullptr) *pending = FALSE;
  if (async) return E_NOTIMPL;
  if (buffer == nullptr || size == 0) return E_INVALIDARG;
  if (GetRemainingEntityBytes() == 0) return kEndOfBody;
  size_t got = 0;
  if (spool_fd_ >= 0) {
    ssize_t n;
    do n = ::read(spool_fd_, buffer, size);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return kAborted;
    got = static_cast<size_t>(n);
    spool_read_ += got;
  } else {
    if (HRESULT hr = read_stream(buffer, size, got); FAILED(hr)) return hr;
    if (got == 0) return kEndOfBody;
  }
  if (received != nullptr) *received = static_cast<DWORD>(got);
  return S_OK;
}

void RequestContext::Clear() {
  if (headers_sent_) return;
  status_ = 200;
  reason_ = "OK";
  out_headers_.clear();
  drop_chunks();
}

HRESULT RequestContext::SetStatus(USHORT code, PCSTR reason, USHORT, HRESULT,
                                  IAppHostConfigException *, BOOL) {
  if (headers_sent_) return kInvalidState;
  std::string text = reason != nullptr ? reason : "";
  if (code < 100 || code > 999 || has_line_break(text)) return E_INVALIDARG;
  status_ = code;
  reason_ = text;
  return S_OK;
}

HRESULT RequestContext::SetHeader(PCSTR name, PCSTR value, USHORT length, BOOL replace) {
  if (headers_sent_) return kInvalidState;
  if (name == nullptr || value == nullptr || *name == 0) return E_INVALIDARG;
  std::string n = name;
  std::string v = length > 0 ? std::string(value, length) : std::string(value);
  if (has_line_break(n) || has_line_break(v) || n.find(':') != std::string::npos) return E_INVALIDARG;
  if (replace)
    std::erase_if(out_headers_, [&](const auto &h) { return lower(h.first) == lower(n); });
  out_headers_.emplace_back(std::move(n), std::move(v));
  return S_OK;
}

HRESULT RequestContext::SetHeader(HTTP_HEADER_ID id, PCSTR value, USHORT length, BOOL replace) {
  const char *name = nullptr;
  switch (id) {
    case HttpHeaderCacheControl: name = "Cache-Control"; break;
    case HttpHeaderConnection: name = "Connection"; break;
    case HttpHeaderDate: name = "Date"; break;
    case HttpHeaderContentLength: name = "Content-Length"; break;
    case HttpHeaderContentType: name = "Content-Type"; break;
    case HttpHeaderTransferEncoding: name = "Transfer-Encoding"; break;
  }
  if (name == nullptr) return E_INVALIDARG;
  return SetHeader(name, value, length, replace);
}

HRESULT RequestContext::WriteEntityChunks(HTTP_DATA_CHUNK *chunks, USHORT count, BOOL async, BOOL,
                                          DWORD *sent, BOOL *pending) {
  if (sent != nullptr) *sent = 0;
  if (pending != nullptr) *pending = FALSE;
  if (async) return E_NOTIMPL;
  if (chunks == nullptr || count == 0) return E_INVALIDARG;
  if (c_.broken()) return kConnectionInvalid;
  std::uint64_t total = 0;
  for (USHORT i = 0; i < count; ++i) {
    const HTTP_DATA_CHUNK &in = chunks[i];
    BodyChunk out;
    if (in.DataChunkType == HttpDataChunkFromMemory) {
      if (in.FromMemory.pBuffer == nullptr && in.FromMemory.BufferLength > 0) return E_INVALIDARG;
      out.memory.assign(static_cast<const char *>(in.FromMemory.pBuffer), in.FromMemory.BufferLength);
      total += in.FromMemory.BufferLength;
    } else if (in.DataChunkType == HttpDataChunkFromFileHandle) {
      int fd = WinstandinFileDescriptor(in.FromFileHandle.FileHandle);
      struct stat st;
      if (fd < 0 || ::fstat(fd, &st) != 0) return E_INVALIDARG;
      std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
      out.offset = in.FromFileHandle.ByteRange.StartingOffset;
      if (out.offset > size) return E_INVALIDARG;
      std::uint64_t wanted = in.FromFileHandle.ByteRange.Length;
      out.length = wanted == HTTP_BYTE_RANGE_TO_EOF ? size - out.offset
                                                    : std::min(wanted, size - out.offset);
      out.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
      if (out.fd < 0) return E_OUTOFMEMORY;
      total += out.length;
    } else {
      return E_INVALIDARG;
    }
    chunks_.push_back(std::move(out));
  }
  if (sent != nullptr) *sent = static_cast<DWORD>(std::min<std::uint64_t>(total, 0xFFFFFFFFu));
  return S_OK;
}

HRESULT RequestContext::Flush(BOOL async, BOOL, DWORD *sent, BOOL *pending) {
  if (sent != nullptr) *sent = 0;
  if (pending != nullptr) *pending = FALSE;
  if (async) return E_NOTIMPL;
  std::uint64_t before = bytes_out_;
  HRESULT hr = send_pending(false);
  if (sent != nullptr) *sent = static_cast<DWORD>(std::min<std::uint64_t>(bytes_out_ - before, 0xFFFFFFFFu));
  return hr;
}

HRESULT RequestContext::send_body_bytes(const char *data, size_t size) {
  if (size == 0 || no_body_) return S_OK;
  if (chunked_) {
    char line[32];
    int n = std::snprintf(line, sizeof line, "%zx\r\n", size);
    if (HRESULT hr = c_.send_all(line, static_cast<size_t>(n)); FAILED(hr)) return hr;
  }
  if (HRESULT hr = c_.send_all(data, size); FAILED(hr)) return hr;
  if (chunked_)
    if (HRESULT hr = c_.send_all("\r\n", 2); FAILED(hr)) return hr;
  body_sent_ += size;
  bytes_out_ += size;
  return S_OK;
}

HRESULT RequestContext::send_pending(bool final) {
  if (c_.broken()) return kConnectionInvalid;
  if (!headers_sent_) {
    no_body_ = status_ < 200 || status_ == 204 || status_ == 304 || method_ == "HEAD";
    std::uint64_t pending = 0;
    for (const auto &ch : chunks_) pending += ch.fd >= 0 ? ch.length : ch.memory.size();
    if (const std::string *cl = find_out_header("Content-Length")) {
      has_declared_length_ = true;
      declared_length_ = std::strtoull(cl->c_str(), nullptr, 10);
    } else if (final) {
      if (!no_body_ || pending > 0) {
        out_headers_.emplace_back("Content-Length", std::to_string(pending));
        has_declared_length_ = true;
        declared_length_ = pending;
      }
    } else if (!no_body_) {
      if (p_.get().version() >= 11) {
        out_headers_.emplace_back("Transfer-Encoding", "chunked");
        chunked_ = true;
      } else {
        close_after_ = true;
      }
    }
    if (!p_.get().keep_alive() || close_after_ || c_.host().stopping())
      close_after_ = true;
    std::string head = "HTTP/1.1 " + std::to_string(status_) + " " + reason_ + "\r\n";
    for (const auto &[k, v] : out_headers_) head += k + ": " + v + "\r\n";
    if (close_after_ && find_out_header("Connection") == nullptr) head += "Connection: close\r\n";
    else if (p_.get().version() < 11 && find_out_header("Connection") == nullptr)
      head += "Connection: keep-alive\r\n";
    head += "\r\n";
    headers_sent_ = true;
    if (HRESULT hr = c_.send_all(head.data(), head.size()); FAILED(hr)) return hr;
    bytes_out_ += head.size();
  }
  std::vector<BodyChunk> chunks = std::move(chunks_);
  chunks_.clear();
  HRESULT result = S_OK;
  for (auto &ch : chunks) {
    if (SUCCEEDED(result) && ch.fd < 0) result = send_body_bytes(ch.memory.data(), ch.memory.size());
    std::vector<char> block(ch.fd >= 0 ? 64 * 1024 : 0);
    for (std::uint64_t at = ch.offset, end = ch.offset + ch.length; ch.fd >= 0 && SUCCEEDED(result) && at < end;) {
      ssize_t n = ::pread(ch.fd, block.data(), std::min<std::uint64_t>(block.size(), end - at),
                          static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {  // the file shrank or failed: the response can no longer be framed
        close_after_ = true;
        result = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
        break;
      }
      result = send_body_bytes(block.data(), static_cast<size_t>(n));
      at += static_cast<std::uint64_t>(n);
    }
    if (ch.fd >= 0) ::close(ch.fd);
  }
  if (FAILED(result)) return result;
  if (final && chunked_) {
    if (HRESULT hr = c_.send_all("0\r\n\r\n", 5); FAILED(hr)) return hr;
    bytes_out_ += 5;
  }
  if (final && has_declared_length_ && !no_body_ && body_sent_ != declared_length_)
    close_after_ = true;
  return S_OK;
}

void RequestContext::simple_answer(USHORT status, const char *reason) {
  Clear();
  SetStatus(status, reason, 0, S_OK, nullptr, FALSE);
  std::string body = std::to_string(status) + " " + reason + "\n";
  SetHeader("Content-Type", "text/plain", 10, TRUE);
  BodyChunk ch;
  ch.memory = body;
  chunks_.push_back(std::move(ch));
}

void RequestContext::serve_static(const HandlerMapping &handler) {
  if (method_ != "GET" && method_ != "HEAD") return simple_answer(405, "Method Not Allowed");
  fs::path file = app_->physical_path;
  for (size_t start = 1; start < relative_path_.size();) {
    size_t end = relative_path_.find('/', start);
    if (end == std::string::npos) end = relative_path_.size();
    if (end > start) file /= relative_path_.substr(start, end - start);
    start = end + 1;
  }
  std::error_code ec;
  if (fs::is_directory(file, ec) &&
      std::find(handler.modules.begin(), handler.modules.end(), "DefaultDocumentModule") !=
          handler.modules.end())
    file /= "index.html";
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    return simple_answer(404, "Not Found");
  }
  SetHeader("Content-Type", content_type(file), 0, TRUE);
  BodyChunk ch;
  ch.fd = fd;
  ch.length = static_cast<std::uint64_t>(st.st_size);
  chunks_.push_back(std::move(ch));
}

void RequestContext::run_module(IHttpModuleFactory *factory) {
  if (p_.chunked()) {
    if (HRESULT hr = spool_body(); FAILED(hr)) {
      if (hr == kConnectionInvalid || hr == kAborted) {
        status_ = 499;
        reason_ = "Client Connection Lost";
      } else {
        simple_answer(500, "Internal Server Error");
      }
      close_after_ = true;
      return;
    }
  }
  CHttpModule *module = nullptr;
  HRESULT hr = factory->GetHttpModule(&module, nullptr);
  if (FAILED(hr) || module == nullptr) {
    c_.host().log("tavrin_host: GetHttpModule failed");
    return simple_answer(500, "Internal Server Error");
  }
  try {
    module->OnExecuteRequestHandler(this, nullptr);
  } catch (...) {
    c_.host().log("tavrin_host: a module let an exception escape OnExecuteRequestHandler");
    if (!headers_sent_) simple_answer(500, "Internal Server Error");
    close_after_ = true;
  }
  module->Dispose();
}

bool RequestContext::route(std::string &why, const HandlerMapping *&handler) {
  handler = nullptr;
  std::string host_name;
  if (const std::string *h = find_header("host")) {
    host_name = *h;
    if (host_name.find_first_of(" \t/\\") != std::string::npos) host_name.clear();
  }
  std::string bare_host = host_name;
  if (!bare_host.empty() && bare_host.front() == '[') bare_host = bare_host.substr(0, bare_host.find(']') + 1);
  else bare_host = bare_host.substr(0, bare_host.find(':'));
  for (const Site *s : c_.sites())
    for (const auto &b : s->bindings)
      if (site_ == nullptr && !b.host.empty() && boost::beast::iequals(b.host, bare_host)) site_ = s;
  for (const Site *s : c_.sites())
    for (const auto &b : s->bindings)
      if (site_ == nullptr && b.host.empty()) site_ = s;
  if (site_ == nullptr) {
    why = "no site for host '" + host_name + "'";
    return false;
  }
  size_t q = target_.find('?');
  std::string path;
  if (!canonical_path(std::string_view(target_).substr(0, q), path)) {
    why = "bad path";
    return false;
  }
  for (const auto &a : site_->applications) {
    bool match = a.path == "/" ||
                 (boost::beast::iequals(std::string_view(path).substr(0, a.path.size()), a.path) &&
                  (path.size() == a.path.size() || path[a.path.size()] == '/'));
    if (match) {
      app_ = &a;
      break;
    }
  }
  relative_path_ = app_->path == "/" ? path : path.substr(app_->path.size());
  if (relative_path_.empty()) relative_path_ = "/";
  std::string authority = host_name.empty() ? address_text(c_.local(), true) : host_name;
  std::string query = q == std::string::npos ? std::string() : target_.substr(q);
  host16_ = utf8_to_utf16(authority);
  path16_ = utf8_to_utf16(path);
  query16_ = utf8_to_utf16(query);
  full_url_ = u"http://" + host16_ + path16_ + query16_;
  size_t prefix = 7 + host16_.size();
  raw_.pRawUrl = target_.c_str();
  raw_.RawUrlLength = static_cast<USHORT>(std::min<size_t>(target_.size(), 0xFFFF));
  auto bytes = [](size_t n) { return static_cast<USHORT>(std::min<size_t>(n * 2, 0xFFFF)); };
  raw_.CookedUrl.FullUrlLength = bytes(full_url_.size());
  raw_.CookedUrl.HostLength = bytes(host16_.size());
  raw_.CookedUrl.AbsPathLength = bytes(path16_.size());
  raw_.CookedUrl.QueryStringLength = bytes(query16_.size());
  raw_.CookedUrl.pFullUrl = full_url_.c_str();
  raw_.CookedUrl.pHost = full_url_.c_str() + 7;
  raw_.CookedUrl.pAbsPath = full_url_.c_str() + prefix;
  raw_.CookedUrl.pQueryString = query.empty() ? nullptr : full_url_.c_str() + prefix + path16_.size();

  std::string_view last_segment = std::string_view(relative_path_).substr(relative_path_.rfind('/') + 1);
  for (const auto &h : app_->handlers) {
    bool verb = h.verb == "*";
    for (const auto &v : h.verbs) verb = verb || boost::beast::iequals(v, method_);
    bool path_match = h.path_has_slash ? wildcard_match(h.path, relative_path_)
                                       : wildcard_match(h.path, last_segment);
    if (verb && path_match) {
      handler = &h;
      break;
    }
  }
  return true;
}

bool RequestContext::run() {
  auto started = std::chrono::steady_clock::now();
  auto &message = p_.get();
  method_ = std::string(message.method_string());
  target_ = std::string(message.target());
  remote_ = c_.peer();
  if (auto cl = p_.content_length()) content_length_ = *cl;
  if (const std::string *expect = find_header("expect"))
    continue_pending_ = lower(*expect) == "100-continue";

  std::string why;
  const HandlerMapping *handler = nullptr;
  if (!route(why, handler)) {
    simple_answer(400, "Bad Request");
    close_after_ = true;
  } else if (handler == nullptr) {
    simple_answer(404, "Not Found");
  } else if (handler->static_files) {
    serve_static(*handler);
  } else if (handler->factory != nullptr) {
    run_module(handler->factory);
  } else {
    c_.host().log("tavrin_host: " + target_ + ": " + handler->unresolved);
    simple_answer(500, "Internal Server Error");
  }
  if (status_ == 499 && !headers_sent_) {
    close_after_ = true;  // the client is gone or abandoned: nothing is sent
  } else if (FAILED(send_pending(true))) {
    close_after_ = true;
  }
  if (c_.host().logging()) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started).count();
    c_.host().log(address_text(remote_, false) + " " + method_ + " " + target_ + " " +
                  std::to_string(status_) + " " + std::to_string(bytes_out_) + " " +
                  std::to_string(ms) + "ms");
  }
  return !close_after_ && !c_.broken() && p_.is_done() && !c_.host().stopping();
}

}  // namespace

Connection::Connection(HostServices &host, std::uint64_t id, asio::ip::tcp::socket socket,
                       std::vector<const Site *> sites)
    : host_(host), id_(id), socket_(std::move(socket)), sites_(std::move(sites)) {
  socklen_t length = sizeof peer_;
  ::getpeername(fd(), reinterpret_cast<sockaddr *>(&peer_), &length);
  unmap_v4(peer_);
  length = sizeof local_;
  ::getsockname(fd(), reinterpret_cast<sockaddr *>(&local_), &length);
  unmap_v4(local_);
  boost::system::error_code ec;
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
}

Connection::~Connection() = default;

int Connection::fd() { return socket_.native_handle(); }

void Connection::read_next() {
  if (host_.stopping()) {
    boost::system::error_code ec;
    socket_.close(ec);
    return;
  }
  parser_.emplace();
  parser_->header_limit(64 * 1024);
  parser_->body_limit(boost::none);  // modules stream bodies of any size
  http::async_read_header(socket_, buffer_, *parser_,
                          [self = shared_from_this()](boost::system::error_code ec, size_t) {
                            if (ec) return;  // closed, malformed or shut down: drop the connection
                            self->busy_ = true;
                            self->host_.dispatch(self);
                          });
}

void Connection::serve() {
  Next next = Next::serve;
  while (next == Next::serve) {
    host_.serving_started();
    bool keep;
    {
      RequestContext request(*this);
      keep = request.run();
    }
    host_.serving_ended();
    next = keep ? read_next_here() : Next::close;
  }
  asio::post(socket_.get_executor(), [self = shared_from_this(), next] {
    self->busy_ = false;
    if (next == Next::hand_back) {
      self->read_next();
    } else {
      boost::system::error_code ec;
      self->socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
      self->socket_.close(ec);
    }
  });
}

Connection::Next Connection::read_next_here() {
  parser_.emplace();
  parser_->header_limit(64 * 1024);
  parser_->body_limit(boost::none);
  auto deadline = std::chrono::steady_clock::now() + host_.keep_alive_linger();
  for (;;) {
    if (buffer_.size() > 0) {
      boost::system::error_code ec;
      buffer_.consume(parser_->put(buffer_.data(), ec));
      if (parser_->is_header_done()) return Next::serve;
      // An incomplete header is left in the buffer, whole, for the next try.
      if (ec && ec != http::error::need_more) return Next::close;
    }
    if (host_.stopping()) return Next::close;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Next::hand_back;
    // Counted as lingering before looking for waiting requests: a request
    // dispatched after the look then sees us and sends a nudge.
    host_.lingering(true);
    if (host_.others_waiting()) {
      host_.lingering(false);
      return Next::hand_back;
    }
    pollfd fds[3] = {{fd(), POLLIN, 0}, {host_.stop_fd(), POLLIN, 0}, {host_.nudge_fd(), POLLIN, 0}};
    int n = ::poll(fds, 3, static_cast<int>(left.count()));
    host_.lingering(false);
    if (n < 0 && errno != EINTR) return Next::hand_back;
    if (n <= 0) continue;
    if (fds[1].revents & POLLIN) return Next::close;
    if (fds[2].revents & POLLIN) {
      // A nudge may be stale (the request found a worker meanwhile).
      std::uint64_t token;
      if (::read(host_.nudge_fd(), &token, sizeof token) == sizeof token && host_.others_waiting())
        return Next::hand_back;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      auto space = buffer_.prepare(64 * 1024);
      ssize_t got = ::recv(fd(), space.data(), space.size(), MSG_DONTWAIT);
      if (got > 0) buffer_.commit(static_cast<size_t>(got));
      else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        return Next::close;
    }
  }
}

void Connection::close_if_idle() {
  asio::post(socket_.get_executor(), [self = shared_from_this()] {
    if (self->busy_) return;
    boost::system::error_code ec;
    self->socket_.close(ec);
  });
}

HRESULT Connection::receive_more() {
  auto deadline = std::chrono::steady_clock::now() + host_.io_timeout();
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return kAborted;
    pollfd fds[2] = {{fd(), POLLIN, 0}, {host_.stop_fd(), POLLIN, 0}};
    int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kConnectionInvalid;
    if (fds[1].revents & POLLIN) return kAborted;
    if (n == 0) continue;
    auto space = buffer_.prepare(64 * 1024);
    ssize_t got = ::recv(fd(), space.data(), space.size(), 0);
    if (got > 0) {
      buffer_.commit(static_cast<size_t>(got));
      return S_OK;
    }
    if (got == 0) return kConnectionInvalid;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return kConnectionInvalid;
  }
}

HRESULT Connection::send_all(const void *data, size_t size) {
  if (broken_) return kConnectionInvalid;
  const char *at = static_cast<const char *>(data);
  auto deadline = std::chrono::steady_clock::now() + host_.io_timeout();
  while (size > 0) {
    ssize_t n = ::send(fd(), at, size, MSG_NOSIGNAL);
    if (n > 0) {
      at += n;
      size -= static_cast<size_t>(n);
      deadline = std::chrono::steady_clock::now() + host_.io_timeout();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        broken_ = true;
        return kAborted;
      }
      pollfd p{fd(), POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(left.count()));
      continue;
    }
    broken_ = true;
    return kConnectionInvalid;
  }
  return S_OK;
}

bool Connection::peer_connected() {
  if (broken_) return false;
  pollfd p{fd(), POLLRDHUP, 0};
  if (::poll(&p, 1, 0) < 0) return true;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
}

}  // namespace tavrin_iis
