#include "request.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <new>
#include <optional>

#include <openssl/err.h>

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
// The request log's sc-win32-status of a client that went away (ERROR_NETNAME_DELETED).
constexpr unsigned kNetnameDeleted = 64;
// An answer held back for a while (a failed logon's) is kept in memory up to this size.
constexpr std::uint64_t kHeldAnswerLimit = 64 * 1024;

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

unsigned address_port(const sockaddr_storage &address) {
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
}

const char *reason_phrase(unsigned status) {
  switch (status) {
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
  }
  return "Error";
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Request filtering of static files: configuration files, the folders of
// server-side code and data, dot files, and paths whose encoding hides a
// separator, a dot segment or a second escape are never served (404),
// whatever the webroot holds.
const char *const kHiddenSegments[] = {
    "web.config", "bin", "app_code", "app_data", "app_browsers", "app_globalresources",
    "app_localresources", "app_webreferences"};
const char *const kHiddenExtensions[] = {
    ".config", ".asa", ".asax", ".ascx", ".master", ".skin", ".browser", ".sitemap",
    ".cs", ".csproj", ".vb", ".vbproj", ".java", ".resx", ".resources", ".licx",
    ".webinfo", ".exclude", ".refresh", ".compiled", ".mdb", ".mdf", ".ldf", ".ldb"};

bool hidden_segment(std::string segment) {
  // Windows ignores trailing dots and blanks: "web.config." is web.config.
  while (!segment.empty() && (segment.back() == '.' || segment.back() == ' ')) segment.pop_back();
  if (segment.empty()) return false;
  if (segment.front() == '.') return true;
  segment = lower(segment);
  for (const char *name : kHiddenSegments)
    if (segment == name) return true;
  size_t dot = segment.rfind('.');
  if (dot == std::string::npos) return false;
  for (const char *extension : kHiddenExtensions)
    if (segment.compare(dot, std::string::npos, extension) == 0) return true;
  return false;
}

// raw: the request path as sent; path: as decoded and resolved.
bool filtered_static_path(std::string_view raw, std::string_view path) {
  if (raw.find('\\') != std::string_view::npos) return true;
  for (size_t i = raw.find('%'); i != std::string_view::npos; i = raw.find('%', i + 1)) {
    std::string escape = lower(raw.substr(i + 1, 2));
    if (escape == "2e" || escape == "2f" || escape == "5c" || escape == "25") return true;
  }
  for (std::string_view rest : {raw, path}) {
    for (size_t start = 0; start <= rest.size();) {
      size_t end = std::min(rest.find('/', start), rest.size());
      std::string_view segment = rest.substr(start, end - start);
      if (segment == "." || segment == ".." || hidden_segment(std::string(segment))) return true;
      start = end + 1;
    }
  }
  return false;
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

}  // namespace

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

const Site *site_for_host(const std::vector<const Site *> &sites, std::string_view host_header) {
  std::string_view host = host_header;
  if (host.find_first_of(" \t/\\") != std::string_view::npos) host = {};
  if (!host.empty() && host.front() == '[') host = host.substr(0, host.find(']') + 1);
  else host = host.substr(0, host.find(':'));
  for (const Site *s : sites)
    for (const auto &b : s->bindings)
      if (!b.host.empty() && boost::beast::iequals(b.host, host)) return s;
  for (const Site *s : sites)
    for (const auto &b : s->bindings)
      if (b.host.empty()) return s;
  return nullptr;
}

const Application &application_for(const Site &site, std::string_view path) {
  for (const auto &a : site.applications)
    if (a.path == "/" || (boost::beast::iequals(path.substr(0, a.path.size()), a.path) &&
                          (path.size() == a.path.size() || path[a.path.size()] == '/')))
      return a;
  return site.applications.back();
}

namespace {

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
  ~RequestContext() override { drop_chunks(); }

  // Serves the request; true when the connection can carry another one.
  // An answer that must wait (a failed logon's delay) is not sent but
  // handed out in `held` with its delay.
  bool run(std::string &held, std::chrono::milliseconds &delay);

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
  std::string path_, relative_path_;  // decoded and resolved: in the site, in the application

  std::uint64_t content_length_ = 0, body_read_ = 0;

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
  HRESULT send_pending(bool final);
  HRESULT send_body_bytes(const char *data, size_t size);
  void simple_answer(USHORT status, const char *reason);
  void serve_static(const HandlerMapping &handler);
  void run_module(IHttpModuleFactory *factory);
  bool route(std::string &why, const HandlerMapping *&handler);
  // Sends what is pending now, or collects it into `held` when it may wait.
  // The delay is cleared when the answer could not wait.
  void finish(std::string &held, std::chrono::milliseconds &delay);
  void log_request(std::chrono::milliseconds delay);
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
  // A chunked body has the length it arrived with; a body that did not
  // arrive whole still owes the rest of its declared length.
  std::uint64_t total = p_.chunked() ? c_.body().size() : content_length_;
  return static_cast<DWORD>(std::min<std::uint64_t>(total - std::min(total, body_read_), 0xFFFFFFFFu));
}

HRESULT RequestContext::ReadEntityBody(void *buffer, DWORD size, BOOL async, DWORD *received,
                                       BOOL *pending) {
  if (received != nullptr) *received = 0;
  if (pending != nullptr) *pending = FALSE;
  if (async) return E_NOTIMPL;
  if (buffer == nullptr || size == 0) return E_INVALIDARG;
  if (GetRemainingEntityBytes() == 0) return kEndOfBody;
  size_t got = 0;
  int error = 0;
  if (!c_.body().read(body_read_, buffer, size, got, error)) return HRESULT_FROM_WIN32(WinstandinErrorFromErrno(error));
  if (got == 0) {  // what arrived is used up, short of the declared length
    switch (c_.body_end()) {
      case Connection::BodyEnd::lost: c_.mark_broken(); return kConnectionInvalid;
      case Connection::BodyEnd::stalled: return kAborted;
      case Connection::BodyEnd::complete: return kEndOfBody;
    }
  }
  body_read_ += got;
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
  if (filtered_static_path(std::string_view(target_).substr(0, target_.find('?')), path_))
    return simple_answer(404, "Not Found");
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
  site_ = site_for_host(c_.sites(), host_name);
  if (site_ == nullptr) {
    why = "no site for host '" + host_name + "'";
    return false;
  }
  size_t q = target_.find('?');
  std::string &path = path_;
  if (!canonical_path(std::string_view(target_).substr(0, q), path)) {
    why = "bad path";
    return false;
  }
  app_ = &application_for(*site_, path);
  relative_path_ = app_->path == "/" ? path : path.substr(app_->path.size());
  if (relative_path_.empty()) relative_path_ = "/";
  std::string authority = host_name.empty() ? address_text(c_.local(), true) : host_name;
  std::string query = q == std::string::npos ? std::string() : target_.substr(q);
  host16_ = utf8_to_utf16(authority);
  path16_ = utf8_to_utf16(path);
  query16_ = utf8_to_utf16(query);
  const std::u16string scheme = c_.secure() ? u"https://" : u"http://";
  full_url_ = scheme + host16_ + path16_ + query16_;
  size_t prefix = scheme.size() + host16_.size();
  raw_.pRawUrl = target_.c_str();
  raw_.RawUrlLength = static_cast<USHORT>(std::min<size_t>(target_.size(), 0xFFFF));
  auto bytes = [](size_t n) { return static_cast<USHORT>(std::min<size_t>(n * 2, 0xFFFF)); };
  raw_.CookedUrl.FullUrlLength = bytes(full_url_.size());
  raw_.CookedUrl.HostLength = bytes(host16_.size());
  raw_.CookedUrl.AbsPathLength = bytes(path16_.size());
  raw_.CookedUrl.QueryStringLength = bytes(query16_.size());
  raw_.CookedUrl.pFullUrl = full_url_.c_str();
  raw_.CookedUrl.pHost = full_url_.c_str() + scheme.size();
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

bool RequestContext::run(std::string &held, std::chrono::milliseconds &delay) {
  auto &message = p_.get();
  method_ = std::string(message.method_string());
  target_ = std::string(message.target());
  remote_ = c_.peer();
  if (auto cl = p_.content_length()) content_length_ = *cl;

  std::string why;
  const HandlerMapping *handler = nullptr;
  delay = std::chrono::milliseconds(0);
  if (!route(why, handler)) {
    simple_answer(400, "Bad Request");
    close_after_ = true;
  } else if (handler == nullptr) {
    simple_answer(404, "Not Found");
  } else if (handler->static_files) {
    serve_static(*handler);
  } else if (handler->factory != nullptr) {
    run_module(handler->factory);
    delay = c_.host().take_answer_delay();
  } else {
    c_.host().log("tavrin_host: " + target_ + ": " + handler->unresolved);
    simple_answer(500, "Internal Server Error");
  }
  finish(held, delay);
  log_request(delay);
  return !close_after_ && !c_.broken() && p_.is_done() && c_.body_end() == Connection::BodyEnd::complete &&
         !c_.host().stopping();
}

void RequestContext::finish(std::string &held, std::chrono::milliseconds &delay) {
  if (status_ == 499 && !headers_sent_) {
    close_after_ = true;  // the client is gone or abandoned: nothing is sent
    delay = std::chrono::milliseconds(0);
    return;
  }
  std::uint64_t pending = 0;
  for (const auto &ch : chunks_) pending += ch.fd >= 0 ? ch.length : ch.memory.size();
  // Only a short answer not yet begun is held back; the I/O threads send it later.
  bool hold = delay.count() > 0 && !headers_sent_ && pending <= kHeldAnswerLimit;
  if (hold) c_.capture_output(&held);
  HRESULT hr = send_pending(true);
  c_.capture_output(nullptr);
  if (FAILED(hr)) close_after_ = true;
  if (!hold) {
    held.clear();
    delay = std::chrono::milliseconds(0);
  }
}

void RequestContext::log_request(std::chrono::milliseconds delay) {
  RequestLogEntry e;
  e.time = std::chrono::system_clock::now() + delay;
  e.server_ip = address_text(c_.local(), false);
  e.server_port = address_port(c_.local());
  e.client_ip = address_text(remote_, false);
  e.method = method_;
  size_t q = target_.find('?');
  e.uri_stem = site_ != nullptr && !path_.empty() ? path_ : target_.substr(0, q);
  e.uri_query = q == std::string::npos ? std::string() : target_.substr(q + 1);
  if (const std::string *agent = find_header("user-agent")) e.user_agent = *agent;
  if (const std::string *referer = find_header("referer")) e.referer = *referer;
  e.status = status_;
  if (c_.broken() || status_ == 499) e.win32_status = kNetnameDeleted;
  e.time_taken_ms = static_cast<std::uint64_t>(
      (std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - c_.head_arrived()) +
       delay)
          .count());
  c_.host().log_request(site_ != nullptr ? site_ : (c_.sites().empty() ? nullptr : c_.sites().front()), e);
}

}  // namespace

namespace {

constexpr size_t kHeadLimit = 64 * 1024;
constexpr size_t kMaxTarget = 16 * 1024;  // longer request targets: 414
constexpr size_t kMaxFields = 500;        // more header fields: 431
// A body larger than this cannot be counted through the module interface.
constexpr std::uint64_t kMaxBody = 0xFFFFFFFFu;
// The body limit of a request that names no site (it is answered 400).
constexpr std::uint64_t kDefaultBodyLimit = 30000000;
// Decoded body bytes pass through a buffer of this size on their way to the body.
constexpr size_t kDecodeBlock = 64 * 1024;
constexpr size_t kStrandReadBlock = 16 * 1024, kWorkerReadBlock = 64 * 1024;
// After refusing a request, what the client still sends is read and
// dropped for this long (or up to this much), so that the answer is not
// lost to a reset.
constexpr auto kDrainTime = std::chrono::seconds(2);
constexpr size_t kDrainLimit = 1024 * 1024;

// A head over the limit is 414 while its request line is not even complete.
unsigned head_error_status(const boost::system::error_code &ec, const Connection::Parser &parser) {
  if (ec == http::error::header_limit) return parser.get().target().empty() ? 414 : 431;
  return 400;
}

std::string trimmed(std::string_view s) {
  size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string_view::npos ? std::string() : std::string(s.substr(b, e - b + 1));
}

}  // namespace

Connection::Connection(HostServices &host, std::uint64_t id, asio::ip::tcp::socket socket,
                       std::vector<const Site *> sites, SSL_CTX *tls)
    : host_(host),
      id_(id),
      socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      sites_(std::move(sites)) {
  socklen_t length = sizeof peer_;
  ::getpeername(fd(), reinterpret_cast<sockaddr *>(&peer_), &length);
  unmap_v4(peer_);
  length = sizeof local_;
  ::getsockname(fd(), reinterpret_cast<sockaddr *>(&local_), &length);
  unmap_v4(local_);
  boost::system::error_code ec;
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  socket_.non_blocking(true, ec);
  if (tls != nullptr) {
    ssl_ = SSL_new(tls);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd()) != 1) broken_ = true;  // never served in clear
    else SSL_set_accept_state(ssl_);
  }
}

Connection::~Connection() {
  if (ssl_ != nullptr) SSL_free(ssl_);
}

int Connection::fd() { return socket_.native_handle(); }

ssize_t Connection::read_some(void *data, size_t size, Want &want) {
  want = Want::none;
  if (ssl_ == nullptr) {
    for (;;) {
      ssize_t n = ::recv(fd(), data, size, MSG_DONTWAIT);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) want = Want::read;
      return -1;
    }
  }
  ERR_clear_error();
  size_t got = 0;
  if (SSL_read_ex(ssl_, data, size, &got) == 1) return static_cast<ssize_t>(got);
  switch (SSL_get_error(ssl_, 0)) {
    case SSL_ERROR_WANT_READ: want = Want::read; return -1;
    case SSL_ERROR_WANT_WRITE: want = Want::write; return -1;
    case SSL_ERROR_ZERO_RETURN: return 0;
    default: return -1;  // a failed handshake or a broken session
  }
}

ssize_t Connection::write_some(const void *data, size_t size, Want &want) {
  want = Want::none;
  if (ssl_ == nullptr) {
    for (;;) {
      ssize_t n = ::send(fd(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) want = Want::write;
      return -1;
    }
  }
  ERR_clear_error();
  size_t done = 0;
  if (SSL_write_ex(ssl_, data, size, &done) == 1) return static_cast<ssize_t>(done);
  switch (SSL_get_error(ssl_, 0)) {
    case SSL_ERROR_WANT_READ: want = Want::read; return -1;
    case SSL_ERROR_WANT_WRITE: want = Want::write; return -1;
    default: return -1;
  }
}

void Connection::new_request() {
  parser_.emplace();
  parser_->header_limit(kHeadLimit);
  parser_->body_limit(boost::none);  // bounded by the application's limit as it arrives
  body_.clear();
  body_end_ = BodyEnd::complete;
  body_bytes_ = 0;
  body_limit_ = 0;
  site_ = nullptr;
  answer_status_ = 0;
}

void Connection::read_next() {
  if (host_.stopping() || broken_) return close_now();
  new_request();
  phase_ = Phase::head;
  head_deadline_ = Clock::now() + host_.io_timeout();
  arm_timer();
  pump();
}

void Connection::pump() {
  for (;;) {
    if (phase_ == Phase::head && buffer_.size() > 0) {
      boost::system::error_code ec;
      buffer_.consume(parser_->put(buffer_.data(), ec));
      if (parser_->is_header_done()) return head_done();
      if (ec && ec != http::error::need_more) return answer_and_close(head_error_status(ec, *parser_));
    } else if (phase_ == Phase::body) {
      if (!take_body_bytes()) return;
    } else if (phase_ == Phase::answering) {
      while (held_sent_ < held_answer_.size()) {
        Want want;
        ssize_t n = write_some(held_answer_.data() + held_sent_, held_answer_.size() - held_sent_, want);
        if (n > 0) {
          held_sent_ += static_cast<size_t>(n);
          last_progress_ = Clock::now();
          continue;
        }
        if (want == Want::none) return close_now();
        return wait(want);
      }
      held_answer_.clear();
      held_answer_.shrink_to_fit();
      ++wait_token_;
      timer_.cancel();
      return keep_after_answer_ ? read_next() : close_gracefully();
    } else if (phase_ == Phase::draining) {
      drained_ += buffer_.size();
      buffer_.consume(buffer_.size());
      if (drained_ > kDrainLimit) return close_now();
    } else if (phase_ != Phase::head) {
      return;  // a worker has the connection, an answer waits, or it is closed
    }
    Want want;
    auto space = buffer_.prepare(kStrandReadBlock);
    ssize_t n = read_some(space.data(), space.size(), want);
    if (n > 0) {
      buffer_.commit(static_cast<size_t>(n));
      if (phase_ == Phase::body) {
        body_bytes_ += static_cast<std::uint64_t>(n);
        last_progress_ = Clock::now();
      }
      continue;
    }
    if (n == 0 || want == Want::none) return phase_ == Phase::body ? body_failed(BodyEnd::lost) : close_now();
    return wait(want);
  }
}

bool Connection::take_body_bytes() {
  // One decoding buffer per I/O thread: its bytes are moved to the body before the call returns.
  thread_local std::unique_ptr<char[]> decoded;
  if (!decoded) decoded = std::make_unique<char[]>(kDecodeBlock);
  auto &body = parser_->get().body();
  while (buffer_.size() > 0 && !parser_->is_done()) {
    body.data = decoded.get();
    body.size = kDecodeBlock;
    body.more = true;
    boost::system::error_code ec;
    size_t used = parser_->put(buffer_.data(), ec);
    buffer_.consume(used);
    size_t got = kDecodeBlock - body.size;
    body.data = nullptr;
    if (got > 0) {
      if (body_.size() + got > body_limit_) {
        answer_and_close(413);
        return false;
      }
      int error = 0;
      if (!body_.append(decoded.get(), got, host_.spool_directory(), error)) {
        host_.log("tavrin_host: cannot keep a request body in " + host_.spool_directory().string() + ": " +
                  (error == ENOSPC ? "the disk is down to its reserve" : std::strerror(error)));
        // Short of space or descriptors for the moment: the client may try again later.
        answer_and_close(error == ENOSPC || error == EMFILE || error == ENFILE ? 503 : 500);
        return false;
      }
    }
    if (ec == http::error::need_buffer) continue;
    if (ec == http::error::need_more) break;
    if (ec) {  // a malformed chunked body
      answer_and_close(400);
      return false;
    }
    if (used == 0 && got == 0) break;
  }
  if (!parser_->is_done()) return true;
  dispatch_now();
  return false;
}

void Connection::body_failed(BodyEnd end) {
  if (parser_->chunked()) {
    // Without a declared length there is nothing a module could read against: the request ends here.
    log_refusal(499, kNetnameDeleted);
    return close_now();
  }
  // The request runs with what arrived; the module learns of the loss as it reads.
  body_end_ = end;
  dispatch_now();
}

void Connection::wait(Want want) {
  socket_.async_wait(want == Want::write ? asio::ip::tcp::socket::wait_write
                                         : asio::ip::tcp::socket::wait_read,
                     [self = shared_from_this(), token = wait_token_](boost::system::error_code ec) {
                       if (token != self->wait_token_) return;
                       if (ec) return self->close_now();
                       self->pump();
                     });
}

Connection::Clock::time_point Connection::rate_deadline() const {
  unsigned rate = host_.min_body_rate();
  if (rate == 0) return Clock::time_point::max();
  // Clamped: a day is as good as never for one body.
  double seconds = std::min(static_cast<double>(body_bytes_) / rate, 86400.0);
  auto needed = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  return head_arrived_ + std::max<Clock::duration>(host_.body_grace(), needed);
}

bool Connection::too_slow(Clock::time_point now) const {
  unsigned rate = host_.min_body_rate();
  if (rate == 0 || now - head_arrived_ <= host_.body_grace()) return false;
  double elapsed = std::chrono::duration<double>(now - head_arrived_).count();
  return static_cast<double>(body_bytes_) < rate * elapsed;
}

void Connection::arm_timer() {
  Clock::time_point deadline;
  switch (phase_) {
    case Phase::head: deadline = head_deadline_; break;
    case Phase::body: deadline = std::min(last_progress_ + host_.io_timeout(), rate_deadline()); break;
    case Phase::delaying: deadline = answer_due_; break;
    case Phase::answering: deadline = last_progress_ + host_.io_timeout(); break;
    case Phase::draining: deadline = drain_deadline_; break;
    default: return;
  }
  timer_.expires_at(deadline);
  timer_.async_wait([self = shared_from_this(), token = wait_token_](boost::system::error_code ec) {
    if (!ec && token == self->wait_token_) self->on_deadline();
  });
}

void Connection::on_deadline() {
  auto now = Clock::now();
  switch (phase_) {
    case Phase::head:
      if (now < head_deadline_) return arm_timer();
      // A client that began a head and stopped is told; an idle connection just ends.
      return buffer_.size() > 0 ? answer_and_close(408) : close_now();
    case Phase::body:
      if (too_slow(now)) return answer_and_close(408);
      if (now >= last_progress_ + host_.io_timeout()) return body_failed(BodyEnd::stalled);
      return arm_timer();
    case Phase::delaying:
      if (now < answer_due_) return arm_timer();
      if (host_.stopping()) return close_now();
      phase_ = Phase::answering;
      held_sent_ = 0;
      last_progress_ = now;
      arm_timer();
      return pump();
    case Phase::answering:
      if (now < last_progress_ + host_.io_timeout()) return arm_timer();
      return close_now();
    case Phase::draining: return close_now();
    default: return;
  }
}

unsigned Connection::check_head() {
  const auto &message = parser_->get();
  if (message.target().size() > kMaxTarget) return 414;
  if (static_cast<size_t>(std::distance(message.begin(), message.end())) > kMaxFields) return 431;
  std::string codings;
  for (auto [field, end] = message.equal_range(http::field::transfer_encoding); field != end; ++field)
    codings += (codings.empty() ? "" : ",") + std::string(field->value());
  if (!codings.empty()) {
    // Without chunked last the body has no end a server can find.
    if (!parser_->chunked()) return 400;
    if (!boost::beast::iequals(trimmed(codings), "chunked")) return 501;
  }
  site_ = site_for_host(sites_, message[http::field::host]);
  body_limit_ = kDefaultBodyLimit;
  auto length = parser_->content_length();
  if (site_ != nullptr && (parser_->chunked() || length.value_or(0) > 0)) {
    // The limit of the application the path leads to, read as the configuration stands now.
    std::string_view target = message.target();
    std::string path;
    const Application &application = canonical_path(target.substr(0, target.find('?')), path)
                                         ? application_for(*site_, path)
                                         : site_->applications.back();
    std::optional<std::uint64_t> limit = host_.body_limit(application);
    if (!limit) return 500;
    body_limit_ = std::min(*limit, kMaxBody);
  }
  if (length && *length > body_limit_) return 413;
  return 0;
}

void Connection::head_done() {
  head_arrived_ = last_progress_ = Clock::now();
  body_bytes_ = buffer_.size();
  if (unsigned status = check_head(); status != 0) return answer_and_close(status);
  if (parser_->is_done()) return dispatch_now();
  start_body();
}

void Connection::start_body() {
  phase_ = Phase::body;
  parser_->eager(true);
  const auto &message = parser_->get();
  if (message.version() >= 11 && boost::beast::iequals(message[http::field::expect], "100-continue")) {
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    Want want;
    // Fits any socket buffer; a client that cannot take it sends the body anyway.
    write_some(kContinue, sizeof kContinue - 1, want);
  }
  arm_timer();
  pump();
}

void Connection::dispatch_now() {
  ++wait_token_;
  boost::system::error_code ec;
  socket_.cancel(ec);
  timer_.cancel();
  phase_ = Phase::worker;
  busy_ = true;
  host_.dispatch(shared_from_this());
}

void Connection::log_refusal(unsigned status, unsigned win32_status) {
  RequestLogEntry e;
  e.time = std::chrono::system_clock::now();
  e.server_ip = address_text(local_, false);
  e.server_port = address_port(local_);
  e.client_ip = address_text(peer_, false);
  e.status = status;
  e.win32_status = win32_status;
  const Site *site = site_;
  if (parser_ && parser_->is_header_done()) {
    const auto &message = parser_->get();
    std::string_view target = message.target();
    size_t q = target.find('?');
    e.method = std::string(message.method_string());
    e.uri_stem = std::string(target.substr(0, q));
    if (q != std::string_view::npos) e.uri_query = std::string(target.substr(q + 1));
    e.user_agent = std::string(message[http::field::user_agent]);
    e.referer = std::string(message[http::field::referer]);
    e.time_taken_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - head_arrived_).count());
    if (site == nullptr) site = site_for_host(sites_, message[http::field::host]);
  }
  if (site == nullptr && !sites_.empty()) site = sites_.front();
  host_.log_request(site, e);
}

void Connection::answer_and_close(unsigned status) {
  log_refusal(status);
  std::string body = std::to_string(status) + " " + reason_phrase(status) + "\n";
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) +
                     "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n" + body;
  // A short answer fits the socket's buffer; one that does not is dropped.
  for (size_t at = 0; at < text.size();) {
    Want want;
    ssize_t n = write_some(text.data() + at, text.size() - at, want);
    if (n <= 0) break;
    at += static_cast<size_t>(n);
  }
  close_gracefully();
}

void Connection::close_gracefully() {
  if (phase_ == Phase::closed || phase_ == Phase::draining) return;
  if (ssl_ != nullptr && SSL_is_init_finished(ssl_)) {
    ERR_clear_error();
    SSL_shutdown(ssl_);
  }
  ::shutdown(fd(), SHUT_WR);
  ++wait_token_;
  boost::system::error_code ec;
  socket_.cancel(ec);
  phase_ = Phase::draining;
  drain_deadline_ = Clock::now() + kDrainTime;
  drained_ = 0;
  body_.clear();
  arm_timer();
  pump();
}

void Connection::close_now() {
  if (phase_ == Phase::closed) return;
  phase_ = Phase::closed;
  ++wait_token_;
  timer_.cancel();
  if (ssl_ != nullptr && SSL_is_init_finished(ssl_)) {
    ERR_clear_error();
    SSL_shutdown(ssl_);  // close_notify, best effort
  }
  boost::system::error_code ec;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  body_.clear();
  host_.connection_closed();
}

Connection::Served Connection::serve_one() {
  Served served;
  {
    RequestContext request(*this);
    served.keep_alive = request.run(served.held_answer, served.delay);
  }
  body_.clear();  // a spooled body's file goes now, not with the next request
  return served;
}

void Connection::serve() {
  Next next = Next::serve;
  while (next == Next::serve) {
    host_.serving_started();
    Served served = serve_one();
    host_.serving_ended();
    if (!served.held_answer.empty()) {
      // Handed to the I/O strand, which sends it once the delay has passed; the worker is free.
      held_answer_ = std::move(served.held_answer);
      keep_after_answer_ = served.keep_alive;
      answer_due_ = Clock::now() + served.delay;
      next = Next::delayed;
    } else {
      next = served.keep_alive ? read_next_here() : Next::close;
    }
  }
  asio::post(socket_.get_executor(), [self = shared_from_this(), next] {
    self->busy_ = false;
    switch (next) {
      case Next::hand_back: return self->read_next();
      case Next::body: return self->start_body();
      case Next::answer: return self->answer_and_close(self->answer_status_);
      case Next::delayed:
        if (self->host_.stopping()) return self->close_now();
        self->phase_ = Phase::delaying;
        return self->arm_timer();
      default: return self->broken_ ? self->close_now() : self->close_gracefully();
    }
  });
}

Connection::Next Connection::read_next_here() {
  new_request();
  auto deadline = Clock::now() + host_.keep_alive_linger();
  for (;;) {
    if (buffer_.size() > 0) {
      boost::system::error_code ec;
      buffer_.consume(parser_->put(buffer_.data(), ec));
      if (parser_->is_header_done()) {
        head_arrived_ = last_progress_ = Clock::now();
        body_bytes_ = buffer_.size();
        answer_status_ = check_head();
        if (answer_status_ != 0) return Next::answer;
        // A body is read on the I/O threads before a worker takes the request.
        return parser_->is_done() ? Next::serve : Next::body;
      }
      // An incomplete head is left in the buffer, whole, for the next try.
      if (ec && ec != http::error::need_more) {
        answer_status_ = head_error_status(ec, *parser_);
        return Next::answer;
      }
    }
    if (host_.stopping()) return Next::close;
    bool ready = ssl_ != nullptr && SSL_pending(ssl_) > 0;  // decrypted bytes wait in the session
    if (!ready) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
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
      ready = (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
    if (ready) {
      Want want;
      auto space = buffer_.prepare(kWorkerReadBlock);
      ssize_t got = read_some(space.data(), space.size(), want);
      if (got > 0) buffer_.commit(static_cast<size_t>(got));
      else if (got == 0 || want == Want::none) return Next::close;
      else if (want == Want::write) return Next::hand_back;  // the session needs to write: the I/O threads wait
    }
  }
}

void Connection::close_if_idle() {
  asio::post(socket_.get_executor(), [self = shared_from_this()] {
    if (!self->busy_) self->close_now();
  });
}

HRESULT Connection::send_all(const void *data, size_t size) {
  if (capture_ != nullptr) {
    capture_->append(static_cast<const char *>(data), size);
    return S_OK;
  }
  if (broken_) return kConnectionInvalid;
  const char *at = static_cast<const char *>(data);
  auto deadline = Clock::now() + host_.io_timeout();
  while (size > 0) {
    Want want;
    ssize_t n = write_some(at, size, want);
    if (n > 0) {
      at += n;
      size -= static_cast<size_t>(n);
      deadline = Clock::now() + host_.io_timeout();
      continue;
    }
    if (want == Want::none) {
      broken_ = true;
      return kConnectionInvalid;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      broken_ = true;
      return kAborted;
    }
    pollfd p{fd(), static_cast<short>(want == Want::read ? POLLIN : POLLOUT), 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
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
