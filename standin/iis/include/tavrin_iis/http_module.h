// The request-processing interfaces a native web-server module is written
// against, declared from what our module uses of them. tavrin_host
// implements them; a module implements CHttpModule, IHttpModuleFactory and
// exports RegisterModule. Only the host and modules built with this header
// need to agree on the layout.
#pragma once

#include <sys/socket.h>

#include "winstandin/winbase.h"

typedef sockaddr *PSOCKADDR;

enum REQUEST_NOTIFICATION_STATUS {
  RQ_NOTIFICATION_CONTINUE = 0,
  RQ_NOTIFICATION_PENDING = 1,
  RQ_NOTIFICATION_FINISH_REQUEST = 2,
};

// Request notifications a factory can subscribe to; the host dispatches
// only RQ_EXECUTE_REQUEST_HANDLER.
#define RQ_BEGIN_REQUEST 0x00000001u
#define RQ_AUTHENTICATE_REQUEST 0x00000002u
#define RQ_AUTHORIZE_REQUEST 0x00000004u
#define RQ_RESOLVE_REQUEST_CACHE 0x00000008u
#define RQ_MAP_REQUEST_HANDLER 0x00000010u
#define RQ_ACQUIRE_REQUEST_STATE 0x00000020u
#define RQ_PRE_EXECUTE_REQUEST_HANDLER 0x00000040u
#define RQ_EXECUTE_REQUEST_HANDLER 0x00000080u
#define RQ_RELEASE_REQUEST_STATE 0x00000100u
#define RQ_UPDATE_REQUEST_CACHE 0x00000200u
#define RQ_LOG_REQUEST 0x00000400u
#define RQ_END_REQUEST 0x00000800u

struct HTTP_COOKED_URL {
  USHORT FullUrlLength;  // in bytes, without the terminating zero
  USHORT HostLength;
  USHORT AbsPathLength;
  USHORT QueryStringLength;
  PCWSTR pFullUrl;  // "http://host:port/path?query", zero-terminated
  PCWSTR pHost;
  PCWSTR pAbsPath;
  PCWSTR pQueryString;  // from "?" on, or nullptr
};

struct HTTP_REQUEST {
  PCSTR pRawUrl;  // the request target as received
  USHORT RawUrlLength;
  HTTP_COOKED_URL CookedUrl;
};

enum HTTP_HEADER_ID {
  HttpHeaderCacheControl = 0,
  HttpHeaderConnection = 1,
  HttpHeaderDate = 2,
  HttpHeaderContentLength = 11,
  HttpHeaderContentType = 12,
  HttpHeaderTransferEncoding = 6,
};

enum HTTP_DATA_CHUNK_TYPE {
  HttpDataChunkFromMemory = 0,
  HttpDataChunkFromFileHandle = 1,
};

#define HTTP_BYTE_RANGE_TO_EOF (~static_cast<ULONGLONG>(0))

struct HTTP_BYTE_RANGE {
  ULONGLONG StartingOffset;
  ULONGLONG Length;  // HTTP_BYTE_RANGE_TO_EOF: up to the end of the file
};

struct HTTP_DATA_CHUNK {
  HTTP_DATA_CHUNK_TYPE DataChunkType;
  union {
    struct {
      PVOID pBuffer;
      ULONG BufferLength;
    } FromMemory;
    struct {
      HTTP_BYTE_RANGE ByteRange;
      HANDLE FileHandle;
    } FromFileHandle;
  };
};

// Reference counting of the configuration objects. Objects handed out by
// GetAdminSection and GetPropertyByName carry one reference for the caller.
class IUnknownRef {
 public:
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  virtual ~IUnknownRef() = default;
};

class IAppHostProperty : public IUnknownRef {
 public:
  // A newly allocated BSTR the caller frees with SysFreeString.
  virtual HRESULT get_StringValue(BSTR *value) = 0;
  virtual HRESULT get_Name(BSTR *name) = 0;
};

class IAppHostElement : public IUnknownRef {
 public:
  // 0x80070585 when the element's schema does not declare the attribute.
  virtual HRESULT GetPropertyByName(BSTR name, IAppHostProperty **property) = 0;
  virtual HRESULT get_Name(BSTR *name) = 0;
};

class IAppHostAdminManager : public IUnknownRef {
 public:
  virtual HRESULT GetAdminSection(BSTR section_name, BSTR config_path,
                                  IAppHostElement **section) = 0;
};

class IHttpServer {
 public:
  // Owned by the host for the life of the process; not reference counted
  // on the module's behalf (a Release by the module is harmless).
  virtual IAppHostAdminManager *GetAdminManager() = 0;

 protected:
  virtual ~IHttpServer() = default;
};

class IHttpApplication {
 public:
  // "MACHINE/WEBROOT/APPHOST/<site>" or ".../<site>/<application>".
  virtual PCWSTR GetAppConfigPath() = 0;

 protected:
  virtual ~IHttpApplication() = default;
};

class IHttpConnection {
 public:
  virtual BOOL IsConnected() = 0;

 protected:
  virtual ~IHttpConnection() = default;
};

class IHttpRequest {
 public:
  virtual HTTP_REQUEST *GetRawHttpRequest() = 0;
  // Case-insensitive by name; nullptr when absent, "" with length 0 when
  // present and empty.
  virtual PCSTR GetHeader(PCSTR header_name, USHORT *value_length = nullptr) = 0;
  virtual PSOCKADDR GetRemoteAddress() = 0;
  virtual DWORD GetRemainingEntityBytes() = 0;
  // Synchronous only. S_OK with at least one byte while bytes remain;
  // HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) when none remain; 0x800704CD when
  // the peer is gone; 0x800703E3 when the read was aborted (timeout or
  // shutdown).
  virtual HRESULT ReadEntityBody(void *buffer, DWORD buffer_size, BOOL async,
                                 DWORD *bytes_received,
                                 BOOL *completion_pending = nullptr) = 0;

 protected:
  virtual ~IHttpRequest() = default;
};

class IAppHostConfigException;

class IHttpResponse {
 public:
  virtual void Clear() = 0;
  virtual HRESULT SetStatus(USHORT status_code, PCSTR reason, USHORT sub_status = 0,
                            HRESULT error_to_report = S_OK,
                            IAppHostConfigException *exception = nullptr,
                            BOOL try_skip_custom_errors = FALSE) = 0;
  virtual HRESULT SetHeader(PCSTR header_name, PCSTR header_value, USHORT value_length,
                            BOOL replace) = 0;
  virtual HRESULT SetHeader(HTTP_HEADER_ID header_index, PCSTR header_value,
                            USHORT value_length, BOOL replace) = 0;
  // Memory chunks are copied; file chunks are read when the response is
  // sent, from a duplicate of the handle (the caller may close its handle).
  virtual HRESULT WriteEntityChunks(HTTP_DATA_CHUNK *chunks, USHORT chunk_count,
                                    BOOL async, BOOL more_data, DWORD *bytes_sent,
                                    BOOL *completion_expected = nullptr) = 0;
  virtual HRESULT Flush(BOOL async, BOOL more_data, DWORD *bytes_sent,
                        BOOL *completion_expected = nullptr) = 0;

 protected:
  virtual ~IHttpResponse() = default;
};

class IHttpContext {
 public:
  virtual IHttpRequest *GetRequest() = 0;
  virtual IHttpResponse *GetResponse() = 0;
  virtual IHttpConnection *GetConnection() = 0;
  virtual IHttpApplication *GetApplication() = 0;

 protected:
  virtual ~IHttpContext() = default;
};

class IHttpEventProvider;
class IAuthenticationProvider;
class IMapHandlerProvider;
class IMapPathProvider;
class ISendResponseProvider;
class IReadEntityProvider;
class ICustomNotificationProvider;
class IHttpCompletionInfo;
class IModuleAllocator;

// A module instance serves one request. Every notification defaults to
// "continue"; Dispose deletes the instance.
class CHttpModule {
 public:
  virtual REQUEST_NOTIFICATION_STATUS OnBeginRequest(IHttpContext *, IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostBeginRequest(IHttpContext *, IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnAuthenticateRequest(IHttpContext *,
                                                            IAuthenticationProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostAuthenticateRequest(IHttpContext *,
                                                                IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnAuthorizeRequest(IHttpContext *, IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostAuthorizeRequest(IHttpContext *,
                                                             IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnResolveRequestCache(IHttpContext *,
                                                            IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostResolveRequestCache(IHttpContext *,
                                                                IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnMapRequestHandler(IHttpContext *,
                                                          IMapHandlerProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostMapRequestHandler(IHttpContext *,
                                                              IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnAcquireRequestState(IHttpContext *,
                                                            IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostAcquireRequestState(IHttpContext *,
                                                                IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPreExecuteRequestHandler(IHttpContext *,
                                                                 IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostPreExecuteRequestHandler(IHttpContext *,
                                                                     IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnExecuteRequestHandler(IHttpContext *,
                                                              IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostExecuteRequestHandler(IHttpContext *,
                                                                  IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnReleaseRequestState(IHttpContext *,
                                                            IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostReleaseRequestState(IHttpContext *,
                                                                IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnUpdateRequestCache(IHttpContext *,
                                                           IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostUpdateRequestCache(IHttpContext *,
                                                               IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnLogRequest(IHttpContext *, IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostLogRequest(IHttpContext *, IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnEndRequest(IHttpContext *, IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnPostEndRequest(IHttpContext *, IHttpEventProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnSendResponse(IHttpContext *, ISendResponseProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnMapPath(IHttpContext *, IMapPathProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnReadEntity(IHttpContext *, IReadEntityProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnCustomRequestNotification(
      IHttpContext *, ICustomNotificationProvider *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual REQUEST_NOTIFICATION_STATUS OnAsyncCompletion(IHttpContext *, DWORD, BOOL,
                                                        IHttpEventProvider *,
                                                        IHttpCompletionInfo *) {
    return RQ_NOTIFICATION_CONTINUE;
  }
  virtual void Dispose() { delete this; }

 protected:
  CHttpModule() = default;
  virtual ~CHttpModule() = default;
};

class IHttpModuleFactory {
 public:
  // One instance per request; the allocator is never offered (nullptr).
  virtual HRESULT GetHttpModule(CHttpModule **module, IModuleAllocator *allocator) = 0;
  // Called once at shutdown; the factory usually deletes itself here.
  virtual void Terminate() = 0;

 protected:
  virtual ~IHttpModuleFactory() = default;
};

class IHttpModuleRegistrationInfo {
 public:
  virtual PCWSTR GetName() = 0;
  virtual HRESULT SetRequestNotifications(IHttpModuleFactory *factory, DWORD request_notifications,
                                          DWORD post_request_notifications) = 0;

 protected:
  virtual ~IHttpModuleRegistrationInfo() = default;
};

// The one export of a module library, called once when the host loads it.
// A negative result fails the host's start.
extern "C" typedef HRESULT (*PFN_REGISTERMODULE)(DWORD server_version,
                                                 IHttpModuleRegistrationInfo *info,
                                                 IHttpServer *server);
#define TAVRIN_REGISTER_MODULE_EXPORT "RegisterModule"
