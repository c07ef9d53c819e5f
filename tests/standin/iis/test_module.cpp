// A module for the host's tests: it exercises every member of the module
// interfaces, chosen by the "op" query key, and answers what it saw.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <sqlite3.h>

#include "tavrin_iis/http_module.h"
#include "tavrin_iis/utf.h"
#include "winstandin/logon.h"

namespace {

std::atomic<int> g_instances{0}, g_live{0}, g_active{0}, g_max_active{0};

std::string hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(hr));
  return text;
}

std::map<std::string, std::string> parse_query(const std::string &url) {
  std::map<std::string, std::string> out;
  size_t q = url.find('?');
  if (q == std::string::npos) return out;
  std::string query = url.substr(q + 1);
  for (size_t start = 0; start <= query.size();) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(start, end - start);
    size_t eq = pair.find('=');
    out[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
    start = end + 1;
  }
  return out;
}

class TestModule final : public CHttpModule {
 public:
  TestModule(IHttpServer *server) : server_(server), id_(++g_instances) { ++g_live; }
  ~TestModule() override { --g_live; }

  REQUEST_NOTIFICATION_STATUS OnExecuteRequestHandler(IHttpContext *context,
                                                      IHttpEventProvider *) override {
    IHttpRequest *request = context->GetRequest();
    IHttpResponse *response = context->GetResponse();
    url_ = tavrin_iis::utf16_to_utf8(request->GetRawHttpRequest()->CookedUrl.pFullUrl);
    query_ = parse_query(url_);
    std::string op = query_["op"];
    if (op == "info") info(context);
    else if (op == "status") status(response);
    else if (op == "read") read(request, response);
    else if (op == "file") file(context);
    else if (op == "settings") settings(context);
    else if (op == "wait_disconnect") wait_disconnect(context);
    else if (op == "sleep") sleep(response);
    else if (op == "304") response->SetStatus(304, "Not Modified");
    else if (op == "flush") flush_twice(response);
    else if (op == "sqlite") sqlite_statistics(response);
    else if (op == "logon") logon(response);
    else text(response, 400, "unknown op\n");
    return RQ_NOTIFICATION_FINISH_REQUEST;
  }

 private:
  IHttpServer *server_;
  int id_;
  std::string url_;
  std::map<std::string, std::string> query_;

  // Whether SQLite counts the memory it hands out (the host switches that off).
  void sqlite_statistics(IHttpResponse *response) {
    void *block = sqlite3_malloc(4096);
    bool counted = sqlite3_memory_used() > 0;
    sqlite3_free(block);
    text(response, 200, counted ? "memory statistics on" : "memory statistics off");
  }

  // A "windows" logon of user u with password p in domain CORP: 200, or 401 as the module answers.
  void logon(IHttpResponse *response) {
    std::string typed;  // the password as typed: "%20" is a blank
    for (size_t i = 0; i < query_["p"].size(); ++i)
      if (query_["p"].compare(i, 3, "%20") == 0) {
        typed += ' ';
        i += 2;
      } else {
        typed += query_["p"][i];
      }
    std::u16string user = tavrin_iis::utf8_to_utf16(query_["u"]), password = tavrin_iis::utf8_to_utf16(typed);
    HANDLE token = nullptr;
    if (!LogonUserW(user.c_str(), u"CORP", password.c_str(), LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT,
                    &token))
      return static_cast<void>(response->SetStatus(401, "Unauthorized"));
    CloseHandle(token);
    text(response, 200, "logged on\n");
  }

  // The sound way a module sends text: status, length by header id, one
  // memory chunk, one flush.
  void text(IHttpResponse *response, USHORT status, const std::string &body,
            const char *reason = "OK") {
    response->Clear();
    response->SetStatus(status, reason);
    std::string length = std::to_string(body.size());
    response->SetHeader(HttpHeaderContentLength, length.c_str(),
                        static_cast<USHORT>(length.size()), TRUE);
    HTTP_DATA_CHUNK chunk{};
    chunk.DataChunkType = HttpDataChunkFromMemory;
    chunk.FromMemory.pBuffer = const_cast<char *>(body.data());
    chunk.FromMemory.BufferLength = static_cast<ULONG>(body.size());
    DWORD sent = 0;
    response->WriteEntityChunks(&chunk, 1, FALSE, FALSE, &sent);
    response->Flush(FALSE, FALSE, &sent);
  }

  void info(IHttpContext *context) {
    IHttpRequest *request = context->GetRequest();
    std::string body = "url=" + url_ + "\n";
    const sockaddr *address = request->GetRemoteAddress();
    char ip[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, ip, sizeof ip);
      body += "family=inet\naddress=" + std::string(ip) + "\n";
    } else if (address->sa_family == AF_INET6) {
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, ip, sizeof ip);
      body += "family=inet6\naddress=" + std::string(ip) + "\n";
    }
    for (const char *name : {"X-Probe", "x-probe", "X-EMPTY", "X-Absent"}) {
      USHORT length = 99;
      PCSTR value = request->GetHeader(name, &length);
      body += std::string("header ") + name + "=" +
              (value == nullptr ? "(null)" : "[" + std::string(value) + "]") + " " +
              std::to_string(length) + "\n";
    }
    body += "config=" + tavrin_iis::utf16_to_utf8(context->GetApplication()->GetAppConfigPath()) + "\n";
    body += "connected=" + std::to_string(context->GetConnection()->IsConnected()) + "\n";
    text(context->GetResponse(), 200, body);
  }

  void status(IHttpResponse *response) {
    response->SetHeader("X-First", "dropped", 7, TRUE);
    response->Clear();  // nothing set before Clear survives
    response->SetStatus(static_cast<USHORT>(std::atoi(query_["code"].c_str())), "Custom Reason Here");
    response->SetHeader("X-Tavrin-Error-Code", "4552", 4, TRUE);
    response->SetHeader("X-Multi", "a", 1, FALSE);
    response->SetHeader("X-Multi", "b", 1, FALSE);
    response->SetHeader("X-Replaced", "old", 3, TRUE);
    response->SetHeader("X-Replaced", "new", 3, TRUE);
    if (query_.count("body")) {
      std::string body = query_["body"];
      body.push_back('\0');  // text bodies go out with their terminating NUL
      std::string length = std::to_string(body.size());
      response->SetHeader(HttpHeaderContentLength, length.c_str(), static_cast<USHORT>(length.size()), TRUE);
      HTTP_DATA_CHUNK chunk{};
      chunk.DataChunkType = HttpDataChunkFromMemory;
      chunk.FromMemory.pBuffer = body.data();
      chunk.FromMemory.BufferLength = static_cast<ULONG>(body.size());
      DWORD sent = 0;
      response->WriteEntityChunks(&chunk, 1, FALSE, FALSE, &sent);
      response->Flush(FALSE, FALSE, &sent);
      // Once sent, the status line can no longer change.
      HRESULT late = response->SetStatus(500, "Internal Error");
      if (SUCCEEDED(late)) std::abort();
    }
  }

  void read(IHttpRequest *request, IHttpResponse *response) {
    DWORD remaining = request->GetRemainingEntityBytes();
    std::uint64_t total = 0, hash = 1469598103934665603ull;
    int reads = 0;
    char buffer[4096];
    HRESULT hr = S_OK;
    while (request->GetRemainingEntityBytes() > 0) {
      DWORD got = 0;
      hr = request->ReadEntityBody(buffer, sizeof buffer, FALSE, &got, nullptr);
      if (FAILED(hr)) break;
      if (got == 0) std::abort();  // S_OK with nothing while bytes remain
      for (DWORD i = 0; i < got; ++i) hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
      total += got;
      ++reads;
    }
    DWORD got = 0;
    HRESULT end = SUCCEEDED(hr) ? request->ReadEntityBody(buffer, sizeof buffer, FALSE, &got, nullptr) : hr;
    char h[20];
    std::snprintf(h, sizeof h, "%016llx", static_cast<unsigned long long>(hash));
    std::string body = "remaining=" + std::to_string(remaining) + "\nread=" + std::to_string(total) +
                       "\nhash=" + h + "\nhr=" + hex(hr) + "\nend=" + hex(end) + "\n";
    if (query_.count("out")) {
      std::ofstream(query_["out"]) << body;
    }
    if (SUCCEEDED(hr)) text(response, 200, body);
    else response->SetStatus(499, "Client Connection Lost");
  }

  std::string setting(IHttpContext *context, const char *section, const char *name, HRESULT &hr) {
    std::u16string path = context->GetApplication()->GetAppConfigPath();
    BSTR section_name = SysAllocString(tavrin_iis::utf8_to_utf16(section).c_str());
    BSTR config_path = SysAllocString(path.c_str());
    BSTR attribute = SysAllocString(tavrin_iis::utf8_to_utf16(name).c_str());
    IAppHostAdminManager *admin = server_->GetAdminManager();
    IAppHostElement *element = nullptr;
    std::string value;
    hr = admin->GetAdminSection(section_name, config_path, &element);
    if (SUCCEEDED(hr)) {
      IAppHostProperty *property = nullptr;
      hr = element->GetPropertyByName(attribute, &property);
      if (SUCCEEDED(hr)) {
        BSTR text = nullptr;
        hr = property->get_StringValue(&text);
        if (SUCCEEDED(hr)) value = tavrin_iis::utf16_to_utf8(std::u16string(text, SysStringLen(text)));
        SysFreeString(text);
        property->Release();
      }
      element->Release();
    }
    SysFreeString(section_name);
    SysFreeString(config_path);
    SysFreeString(attribute);
    return value;
  }

  void settings(IHttpContext *context) {
    std::string body;
    for (const char *name : {"temp_directory", "odbc_connection_string", "support_mode", "undeclared"}) {
      HRESULT hr;
      std::string value = setting(context, "tavrin/settings", name, hr);
      body += std::string(name) + "=" + hex(hr) + " [" + value + "]\n";
    }
    HRESULT hr;
    setting(context, "tavrin/nosuch", "x", hr);
    body += "nosuch=" + hex(hr) + "\n";
    text(context->GetResponse(), 200, body);
  }

  // Writes a body file as the module does with an upload, then sends it
  // back as a file chunk and removes it.
  void file(IHttpContext *context) {
    IHttpResponse *response = context->GetResponse();
    HRESULT hr;
    std::string dir = setting(context, "tavrin/settings", "temp_directory", hr);
    std::string path = dir + "/t" + std::to_string(id_) + "-" + std::to_string(::getpid());
    HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE again = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool exclusive = again == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
    size_t size = static_cast<size_t>(std::atol(query_["size"].c_str()));
    std::string block(size, '\0');
    for (size_t i = 0; i < size; ++i) block[i] = static_cast<char>('a' + i % 26);
    DWORD written = 0;
    WriteFile(out, block.data(), static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(out);
    if (!exclusive || written != size) return text(response, 500, "file setup failed\n");
    HANDLE in = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    response->Clear();
    response->SetStatus(200, "TODO");
    std::string length = std::to_string(size);
    response->SetHeader(HttpHeaderContentLength, length.c_str(), static_cast<USHORT>(length.size()), TRUE);
    HTTP_DATA_CHUNK chunk{};
    chunk.DataChunkType = HttpDataChunkFromFileHandle;
    chunk.FromFileHandle.ByteRange.StartingOffset = 0;
    chunk.FromFileHandle.ByteRange.Length = HTTP_BYTE_RANGE_TO_EOF;
    chunk.FromFileHandle.FileHandle = in;
    DWORD sent = 0;
    response->WriteEntityChunks(&chunk, 1, FALSE, FALSE, &sent);
    // The host holds its own reference until the chunk is sent, so the file
    // can go before the flush (and is gone when the client has its answer).
    CloseHandle(in);
    DeleteFileA(path.c_str());
    response->Flush(FALSE, FALSE, &sent);
  }

  void wait_disconnect(IHttpContext *context) {
    bool connected = true;
    for (int i = 0; i < 1000 && connected; ++i) {
      connected = context->GetConnection()->IsConnected();
      if (connected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ofstream(query_["out"]) << (connected ? "still connected" : "disconnected");
    context->GetResponse()->SetStatus(499, "Client Connection Lost");
  }

  void sleep(IHttpResponse *response) {
    int now = ++g_active;
    for (int seen = g_max_active; now > seen && !g_max_active.compare_exchange_weak(seen, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(query_["ms"].c_str())));
    --g_active;
    text(response, 200, "instance=" + std::to_string(id_) + "\nmax_active=" + std::to_string(g_max_active) + "\n");
  }

  // Without a Content-Length the first flush starts a chunked answer.
  void flush_twice(IHttpResponse *response) {
    response->SetStatus(200, "OK");
    for (const char *part : {"first,", "second"}) {
      HTTP_DATA_CHUNK chunk{};
      chunk.DataChunkType = HttpDataChunkFromMemory;
      chunk.FromMemory.pBuffer = const_cast<char *>(part);
      chunk.FromMemory.BufferLength = static_cast<ULONG>(std::strlen(part));
      DWORD sent = 0;
      response->WriteEntityChunks(&chunk, 1, FALSE, TRUE, &sent);
      response->Flush(FALSE, TRUE, &sent);
    }
  }
};

class Factory final : public IHttpModuleFactory {
 public:
  explicit Factory(IHttpServer *server) : server_(server) {}
  HRESULT GetHttpModule(CHttpModule **module, IModuleAllocator *) override {
    *module = new TestModule(server_);
    return S_OK;
  }
  void Terminate() override {
    if (const char *path = std::getenv("TAVRIN_TEST_MODULE_TERMINATED"))
      std::ofstream(path) << "terminated live=" << g_live.load() << "\n";
    delete this;
  }

 private:
  IHttpServer *server_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT RegisterModule(
    DWORD, IHttpModuleRegistrationInfo *info, IHttpServer *server) {
  if (std::getenv("TAVRIN_TEST_MODULE_FAIL_REGISTER") != nullptr) return E_FAIL;
  auto *factory = new Factory(server);
  HRESULT hr = info->SetRequestNotifications(factory, RQ_EXECUTE_REQUEST_HANDLER, 0);
  return FAILED(hr) ? hr : S_OK;
}
