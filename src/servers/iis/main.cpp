/* The web-server module: its registration, the per-request module instance, and the request
 * handler that reads the site's settings, opens the request's databases, authenticates the
 * user, saves the body, hands the request to the sync engine and sends its answer. */
#include "servers/iis/main.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>

#include <new>

#include "common/tav_utils.h"
#include "qk/qk_fsobj.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_string.h"
#include "qk/qk_utf8.h"
#include "qk/qk_varray.h"
#include "qksqlite/qk_sqlite.h"
#include "server/tav_respond.h"
#include "server/tav_respond_access.h"
#include "server/tav_respond_protocol.h"
#include "servers/iis/main_auth.h"
#include "servers/iis/main_backend.h"
#include "servers/iis/main_eventlog.h"

/* A failed read or flush with one of these means the client went away. */
#define HRESULT_OPERATION_ABORTED ((HRESULT)0x800703E3)
#define HRESULT_CONNECTION_INVALID ((HRESULT)0x800704CD)
#define BODY_READ_SIZE 4096
/* Dotted IPv4, or the text of an IPv6 address. */
#define CLIENT_ADDRESS_SIZE INET6_ADDRSTRLEN

/* The context's user data for one request; the engine sees the head alone. */
typedef struct tav_iis_request_handle {
  tav_request_handle_head head;
  IHttpContext *pHttpContext;
} tav_iis_request_handle;

static int IsClientDisconnected(void *pUserData) {
  tav_iis_request_handle *p_request_handle = (tav_iis_request_handle *)pUserData;
  if (p_request_handle == NULL || p_request_handle->head.cancel_enabled == 0) return 0;
  IHttpConnection *pConnection = p_request_handle->pHttpContext->GetConnection();
  return pConnection != NULL && !pConnection->IsConnected();
}

/* A warning of the request's work goes to the event log as event 2. */
static void WriteWarning(void *pUserData, const char *pszText) {
  (void)pUserData;
  if (tav_eventlog__event2_enabled()) tav_eventlog__write_event2(pszText);
}

/* Raises the thread's last Windows error with a message naming a path. */
static void raise_windows_error(QK_context *ctx, const char *pszFormat, const char *pszPath) {
  QK_context__throw(ctx, QK_ERROR_MAKE(QK_ERR_DOMAIN_WINDOWS, GetLastError()), __FILE__, __LINE__);
  QK_context__set_message(ctx, pszFormat, pszPath);
}

/* Closes a file handle exactly once: the caller's copy is invalid afterwards, whatever happens. */
static void close_file_handle(QK_context *ctx, HANDLE *phFile, const char *pszFormat, const char *pszPath) {
  HANDLE hFile = *phFile;
  *phFile = INVALID_HANDLE_VALUE;
  if (!CloseHandle(hFile)) raise_windows_error(ctx, pszFormat, pszPath);
}

/* ---- Settings ---- */

static void GetSettingString(QK_context *ctx, IAppHostElement *pElement, const char *pszName, char **ppszValue) {
  char16_t *pwszName = NULL;
  BSTR bstrName = NULL, bstrValue = NULL;
  IAppHostProperty *pProperty = NULL;
  HRESULT hr;
  *ppszValue = NULL;
  QK_TRY(ctx, QK_utf8__to_wide(ctx, pszName, &pwszName, NULL));
  bstrName = SysAllocString(pwszName);
  if (bstrName == NULL) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "SysAllocString returned NULL");
  hr = pElement->GetPropertyByName(bstrName, &pProperty);
  if (FAILED(hr))
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "fetching %s from web.config: GetPropertyByName returned HRESULT 0x%x",
                 pszName, (unsigned)hr);
  hr = pProperty->get_StringValue(&bstrValue);
  if (FAILED(hr)) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "get__StringValue returned HRESULT 0x%x", (unsigned)hr);
  QK_TRY(ctx, QK_utf8__from_wide__buflen(ctx, bstrValue != NULL ? bstrValue : u"",
                                         bstrValue != NULL ? SysStringLen(bstrValue) : 0, ppszValue, NULL));
done:
  SysFreeString(bstrValue);
  SysFreeString(bstrName);
  if (pProperty != NULL) pProperty->Release();
  QK_RELEASE(ctx, QK_free(ctx, pwszName));
}

MyHttpModule::MyHttpModule(IHttpServer *pServer)
    : m_pServer(pServer),
      m_pszTempDirectory(NULL),
      m_pszOdbcConnectionString(NULL),
      m_pszSupportMode(NULL),
      m_bResponseSent(0) {}

MyHttpModule::~MyHttpModule() {
  QK_free_noctx(m_pszTempDirectory);
  QK_free_noctx(m_pszOdbcConnectionString);
  QK_free_noctx(m_pszSupportMode);
}

/* An attribute set to the empty text counts as not set. */
static void take_setting(QK_context *ctx, char **ppszSetting, char **ppszRead) {
  QK_free(ctx, *ppszSetting);
  *ppszSetting = NULL;
  if (*ppszRead != NULL && (*ppszRead)[0] != '\0') {
    *ppszSetting = *ppszRead;
    *ppszRead = NULL;
  }
}

void MyHttpModule::ReadSettings(QK_context *ctx, IHttpServer *pServer, const char *pszConfigPath) {
  char16_t *pwszPath = NULL;
  BSTR bstrSection = NULL, bstrPath = NULL;
  IAppHostAdminManager *pAdmin = NULL;
  IAppHostElement *pElement = NULL;
  char *pszTemp = NULL, *pszOdbc = NULL, *pszSupport = NULL;
  HRESULT hr;
  QK_TRY(ctx, QK_utf8__to_wide(ctx, pszConfigPath, &pwszPath, NULL));
  bstrSection = SysAllocString(u"tavrin/settings");
  bstrPath = SysAllocString(pwszPath);
  if (bstrSection == NULL || bstrPath == NULL) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "SysAllocString returned NULL");
  pAdmin = pServer->GetAdminManager();
  if (pAdmin == NULL) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "GetAdminManager returned NULL");
  hr = pAdmin->GetAdminSection(bstrSection, bstrPath, &pElement);
  if (FAILED(hr)) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "GetAdminSection returned HRESULT 0x%x", (unsigned)hr);
  if (pElement == NULL)
    QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "GetAdminSection gave HRESULT S_OK but IAppHostElement is NULL");
  QK_TRY(ctx, GetSettingString(ctx, pElement, "temp_directory", &pszTemp));
  QK_TRY(ctx, GetSettingString(ctx, pElement, "odbc_connection_string", &pszOdbc));
  QK_TRY(ctx, GetSettingString(ctx, pElement, "support_mode", &pszSupport));
  take_setting(ctx, &m_pszTempDirectory, &pszTemp);
  take_setting(ctx, &m_pszOdbcConnectionString, &pszOdbc);
  take_setting(ctx, &m_pszSupportMode, &pszSupport);
done:
  QK_RELEASE(ctx, QK_free(ctx, pszTemp));
  QK_RELEASE(ctx, QK_free(ctx, pszOdbc));
  QK_RELEASE(ctx, QK_free(ctx, pszSupport));
  QK_RELEASE(ctx, QK_free(ctx, pwszPath));
  SysFreeString(bstrSection);
  SysFreeString(bstrPath);
  if (pElement != NULL) pElement->Release();
}

/* Reads the settings unless held, and checks them. */
void MyHttpModule::LoadSettings(QK_context *ctx, IHttpContext *pHttpContext) {
  char *pszConfigPath = NULL;
  int bExists = 0;
  QK_uint32 type = 0;
  if (m_pszTempDirectory == NULL || m_pszOdbcConnectionString == NULL) {
    IHttpApplication *pApplication = pHttpContext->GetApplication();
    if (pApplication == NULL) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "GetApplication returned NULL");
    PCWSTR pwszConfigPath = pApplication->GetAppConfigPath();
    if (pwszConfigPath == NULL) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "GetAppConfigPath returned NULL");
    QK_TRY(ctx, QK_utf8__from_wide(ctx, pwszConfigPath, &pszConfigPath, NULL));
    QK_TRY(ctx, ReadSettings(ctx, m_pServer, pszConfigPath));
  }
  if (m_pszTempDirectory == NULL)
    QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "temp_directory must be specified in the web.config file");
  if (m_pszOdbcConnectionString == NULL)
    QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "odbc_connection_string must be specified in the web.config file");
  QK_TRY(ctx, QK_fsobj__exists(ctx, m_pszTempDirectory, &bExists, &type, NULL));
  if (!bExists) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "temp_directory does not exist: %s", m_pszTempDirectory);
  if (type != QK_FSOBJ_TYPE_DIRECTORY)
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "temp_directory is not a directory: %s", m_pszTempDirectory);
done:
  QK_RELEASE(ctx, QK_free(ctx, pszConfigPath));
}

/* ---- Request pieces ---- */

/* IPv4 as dotted decimal (also when mapped into IPv6), any other IPv6 address as its text. */
static void format_client_address(QK_context *ctx, const sockaddr *pAddress, char *pszOut) {
  const QK_uint8 *b = NULL;
  if (pAddress->sa_family == AF_INET6) {
    const sockaddr_in6 *p6 = (const sockaddr_in6 *)pAddress;
    if (!IN6_IS_ADDR_V4MAPPED(&p6->sin6_addr)) {
      if (inet_ntop(AF_INET6, &p6->sin6_addr, pszOut, CLIENT_ADDRESS_SIZE) == NULL)
        QK_THROW(ctx, QK_ERROR_FROM_ERRNO(errno));
      goto done;
    }
    b = p6->sin6_addr.s6_addr + 12;
  } else {
    b = (const QK_uint8 *)&((const sockaddr_in *)pAddress)->sin_addr;
  }
  QK_TRY(ctx, QK_sprintf_buf(ctx, pszOut, CLIENT_ADDRESS_SIZE, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]));
done:;
}

/* The URL from its third "/" on: the path and query after "scheme://host". */
static void request_path_of(QK_context *ctx, const char *pszUrl, const char **ppszPath) {
  const char *p = pszUrl;
  for (int n = 0; n < 3; ++n) {
    p = strchr(n == 0 ? p : p + 1, '/');
    if (p == NULL) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "invalid URL");
  }
  *ppszPath = p;
done:;
}

static void SaveIncomingPackage(QK_context *ctx, IHttpRequest *pRequest, const char *pszTempDir, char **ppszPath) {
  char szName[34];
  char *pszPath = NULL;
  HANDLE hFile = INVALID_HANDLE_VALUE;
  char buffer[BODY_READ_SIZE];
  DWORD total = pRequest->GetRemainingEntityBytes(), received = 0;
  *ppszPath = NULL;
  if (total == 0) goto done;
  QK_sqlite__random_name(szName, sizeof szName);
  QK_TRY(ctx, QK_pathname__append(ctx, &pszPath, pszTempDir, szName));
  hFile = CreateFileA(pszPath, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (hFile == INVALID_HANDLE_VALUE) {
    /* Nothing of ours is on disk: whatever holds that name is not ours to delete. */
    QK_free(ctx, pszPath);
    pszPath = NULL;
    QK_TRY(ctx, raise_windows_error(ctx, "CreateFile: trying to save incoming package in %s", pszTempDir));
  }
  while (received < total) {
    DWORD got = 0, written = 0;
    HRESULT hr = pRequest->ReadEntityBody(buffer, sizeof buffer, FALSE, &got, NULL);
    if (hr == HRESULT_OPERATION_ABORTED || hr == HRESULT_CONNECTION_INVALID) QK_THROW(ctx, QK_ERR_CANCELLED);
    if (FAILED(hr))
      QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "pRequest->ReadEntityBody returned HRESULT 0x%x", (unsigned)hr);
    /* A read that brings nothing while bytes are due would loop for ever: the body ended early. */
    if (got == 0) QK_THROW(ctx, QK_ERR_CANCELLED);
    if (!WriteFile(hFile, buffer, got, &written, NULL))
      QK_TRY(ctx, raise_windows_error(ctx, "WriteFile: trying to save incoming package in %s", pszTempDir));
    if (written != got)
      QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "WriteFile was given %d bytes but only wrote %d", (int)got, (int)written);
    received += got;
  }
  QK_TRY(ctx, close_file_handle(ctx, &hFile, "CloseHandle: trying to save incoming package in %s", pszTempDir));
  *ppszPath = pszPath;
  pszPath = NULL;
done:
  if (hFile != INVALID_HANDLE_VALUE) CloseHandle(hFile);
  if (pszPath != NULL) {
    QK_RELEASE(ctx, QK_fsobj__remove_file(ctx, pszPath));
    QK_RELEASE(ctx, QK_free(ctx, pszPath));
  }
}

/* ---- Sending ---- */

static void SetResponseStatus(QK_context *ctx, IHttpResponse *pResponse, int status, const char *pszReason) {
  HRESULT hr = pResponse->SetStatus((USHORT)status, pszReason);
  if (FAILED(hr)) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "pResponse->SetStatus returned HRESULT 0x%x", (unsigned)hr);
done:;
}

static void SendDbfileNotFound(QK_context *ctx, IHttpResponse *pResponse) {
  HRESULT hr;
  pResponse->Clear();
  QK_TRY(ctx, SetResponseStatus(ctx, pResponse, 400, "DBFile Not Found"));
  hr = pResponse->SetHeader(TAV_PROTO_ERROR_CODE_HEADER, "4552", 4, TRUE);
  if (FAILED(hr)) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "pResponse->SetHeader returned HRESULT 0x%x", (unsigned)hr);
done:;
}

static void set_content_length(QK_context *ctx, IHttpResponse *pResponse, QK_uint64 length) {
  char szLength[24];
  HRESULT hr;
  QK_TRY(ctx, QK_sprintf_buf(ctx, szLength, sizeof szLength, "%llu", (unsigned long long)length));
  hr = pResponse->SetHeader(HttpHeaderContentLength, szLength, (USHORT)strlen(szLength), TRUE);
  if (FAILED(hr)) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "pResponse->SetHeader returned HRESULT 0x%x", (unsigned)hr);
done:;
}

void MyHttpModule::FlushResponse(QK_context *ctx, IHttpResponse *pResponse) {
  DWORD sent = 0;
  HRESULT hr = pResponse->Flush(FALSE, FALSE, &sent);
  if (hr == HRESULT_OPERATION_ABORTED || hr == HRESULT_CONNECTION_INVALID) QK_THROW(ctx, QK_ERR_CANCELLED);
  if (FAILED(hr)) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "pResponse->Flush returned HRESULT 0x%x", (unsigned)hr);
  m_bResponseSent = 1;
done:;
}

/* Text bodies go out with their terminating NUL. */
void MyHttpModule::SendTextBody(QK_context *ctx, const char *pszText, IHttpResponse *pResponse) {
  HTTP_DATA_CHUNK chunk;
  DWORD sent = 0;
  QK_uint32 length = (QK_uint32)strlen(pszText) + 1;
  HRESULT hr;
  QK_TRY(ctx, set_content_length(ctx, pResponse, length));
  memset(&chunk, 0, sizeof chunk);
  chunk.DataChunkType = HttpDataChunkFromMemory;
  chunk.FromMemory.pBuffer = (PVOID)pszText;
  chunk.FromMemory.BufferLength = length;
  hr = pResponse->WriteEntityChunks(&chunk, 1, FALSE, FALSE, &sent);
  if (FAILED(hr))
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "pResponse->WriteEntityChunks returned HRESULT 0x%x", (unsigned)hr);
  QK_TRY(ctx, FlushResponse(ctx, pResponse));
done:;
}

void MyHttpModule::SendFileBody(QK_context *ctx, const char *pszPath, IHttpResponse *pResponse) {
  HTTP_DATA_CHUNK chunk;
  DWORD sent = 0;
  QK_uint64 length = 0;
  HANDLE hFile = INVALID_HANDLE_VALUE;
  HRESULT hr;
  QK_TRY(ctx, QK_fsobj__length(ctx, pszPath, &length, NULL));
  QK_TRY(ctx, set_content_length(ctx, pResponse, length));
  hFile = CreateFileA(pszPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (hFile == INVALID_HANDLE_VALUE)
    QK_TRY(ctx, raise_windows_error(ctx, "CreateFile: trying to send response package: %s", pszPath));
  memset(&chunk, 0, sizeof chunk);
  chunk.DataChunkType = HttpDataChunkFromFileHandle;
  chunk.FromFileHandle.ByteRange.StartingOffset = 0;
  chunk.FromFileHandle.ByteRange.Length = HTTP_BYTE_RANGE_TO_EOF;
  chunk.FromFileHandle.FileHandle = hFile;
  hr = pResponse->WriteEntityChunks(&chunk, 1, FALSE, FALSE, &sent);
  if (FAILED(hr))
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "pResponse->WriteEntityChunks returned HRESULT 0x%x", (unsigned)hr);
  QK_TRY(ctx, FlushResponse(ctx, pResponse));
  QK_TRY(ctx, close_file_handle(ctx, &hFile, "CloseHandle: trying to send response package: %s", pszPath));
done:
  if (hFile != INVALID_HANDLE_VALUE) CloseHandle(hFile);
}

void MyHttpModule::SendResponse(QK_context *ctx, int status, int bodyKind, const char *pszBody,
                                const QK_vhash *pHeaders, IHttpResponse *pResponse) {
  QK_uint32 count = 0;
  pResponse->Clear();
  QK_TRY(ctx, SetResponseStatus(ctx, pResponse, status, TAV_PROTO_REASON));
  if (pHeaders != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pHeaders, &count));
  for (QK_uint32 i = 0; i < count; ++i) {
    const char *pszName = NULL, *pszValue = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair__sz(ctx, pHeaders, i, &pszName, &pszValue));
    HRESULT hr = pResponse->SetHeader(pszName, pszValue, (USHORT)strlen(pszValue), TRUE);
    if (FAILED(hr)) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "pResponse->SetHeader returned HRESULT 0x%x", (unsigned)hr);
  }
  if (bodyKind == TAV_BODY_TEXT)
    QK_TRY(ctx, SendTextBody(ctx, pszBody, pResponse));
  else if (bodyKind == TAV_BODY_FILE)
    QK_TRY(ctx, SendFileBody(ctx, pszBody, pResponse));
done:;
}

/* "HTTP <status>    --    <path>", then the handler's message, or else the headers and the
 * body (or the body file's path). */
static void compose_event_text(QK_context *ctx, int status, const char *pszRequestPath, const char *pszMessage,
                               const QK_vhash *pHeaders, const char *pszBody, QK_string **ppText) {
  QK_string *pText = NULL;
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pText, "HTTP %d    --    %s", status, pszRequestPath));
  if (pszMessage != NULL) {
    QK_TRY(ctx, QK_string__append__format(ctx, pText, "\n\n==========\n\n%s", pszMessage));
  } else {
    if (pHeaders != NULL) {
      QK_TRY(ctx, QK_string__append__sz(ctx, pText, "    --    "));
      QK_TRY(ctx, QK_vhash__to_json__pretty(ctx, pHeaders, pText));
    }
    if (pszBody != NULL) QK_TRY(ctx, QK_string__append__format(ctx, pText, "    --    %s", pszBody));
  }
  *ppText = pText;
  pText = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pText));
}

void MyHttpModule::Respond(QK_context *ctx, QK_mssql_connection *pConfigConn, QK_mssql_connection *pDbfileConn,
                           QK_int32 dbfileVersion, const char *pszClientAddress, const char *pszRequestPath,
                           const tav_user_identity *pIdentity, const char *pszFilterBase, const char *pszIncomingPath,
                           IHttpResponse *pResponse) {
  int status = 0, bodyKind = TAV_BODY_NONE;
  char *pszBody = NULL, *pszMessage = NULL;
  QK_vhash *pHeaders = NULL;
  QK_string *pEvent = NULL;
  QK_TRY(ctx,
         tav_respond__handle_request(ctx, m_pszSupportMode, pConfigConn, pDbfileConn, &dbfileVersion,
                                     m_pszTempDirectory, pszClientAddress, pszRequestPath, pIdentity, pszFilterBase,
                                     pszIncomingPath, &status, &bodyKind, &pszBody, &pHeaders, &pszMessage));
  if ((status >= 400 || pszMessage != NULL) && tav_eventlog__event1_enabled()) {
    QK_TRY(ctx, compose_event_text(ctx, status, pszRequestPath, pszMessage, pHeaders, pszBody, &pEvent));
    tav_eventlog__write_event1(QK_string__sz(pEvent));
  }
  QK_TRY(ctx, SendResponse(ctx, status, bodyKind, pszBody, pHeaders, pResponse));
done:
  if (bodyKind == TAV_BODY_FILE && pszBody != NULL) QK_RELEASE(ctx, QK_fsobj__remove_file(ctx, pszBody));
  QK_RELEASE(ctx, QK_free(ctx, pszBody));
  QK_RELEASE(ctx, QK_free(ctx, pszMessage));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pHeaders));
  QK_RELEASE(ctx, QK_string__free(ctx, pEvent));
}

/* ---- The request ---- */

/* The answer to a failed request: 499 for a client that went away, else event 1 and 500 with
 * the detailed error text. Once an answer went out nothing more is sent. */
void MyHttpModule::AnswerFailure(QK_context *ctx, IHttpResponse *pResponse) {
  QK_string *pText = NULL;
  if (QK_context__error_equals(ctx, QK_ERR_CANCELLED)) {
    QK_context__reset_error(ctx);
    if (pResponse != NULL && !m_bResponseSent) pResponse->SetStatus(499, "Client Connection Lost");
    return;
  }
  QK_context__error_to_string(ctx, 1, &pText);
  QK_context__reset_error(ctx);
  const char *pszText = pText != NULL ? QK_string__sz(pText) : "Internal Error";
  if (tav_eventlog__event1_enabled()) tav_eventlog__write_event1(pszText);
  if (pResponse != NULL && !m_bResponseSent) {
    SetResponseStatus(ctx, pResponse, 500, "Internal Error");
    if (!QK_context__has_error(ctx)) SendTextBody(ctx, pszText, pResponse);
    QK_context__reset_error(ctx);
  }
  QK_string__free(ctx, pText);
}

REQUEST_NOTIFICATION_STATUS MyHttpModule::OnExecuteRequestHandler(IHttpContext *pHttpContext,
                                                                  IHttpEventProvider *pProvider) {
  QK_context *ctx = NULL;
  tav_iis_request_handle requestHandle;
  IHttpRequest *pRequest = NULL;
  IHttpResponse *pResponse = NULL;
  char szClientAddress[CLIENT_ADDRESS_SIZE];
  char *pszUrl = NULL, *pszQuery = NULL, *pszScheme = NULL, *pszIncomingPath = NULL;
  const char *pszDb = NULL, *pszS = NULL, *pszU = NULL, *pszRequestPath = NULL;
  QK_varray *pPairs = NULL;
  QK_vhash *pQuery = NULL;
  QK_mssql_connection *pConfigConn = NULL, *pOwnDbfileConn = NULL;
  tav_user_identity *pIdentity = NULL;
  QK_int32 dbfileVersion = 0;
  int bFound = 0;
  (void)pProvider;
  if (QK_context__alloc(&ctx) != QK_OK || ctx == NULL) return RQ_NOTIFICATION_FINISH_REQUEST;
  requestHandle.head.cancel_enabled = 0;
  requestHandle.pHttpContext = pHttpContext;
  QK_context__set_user_data(ctx, &requestHandle);
  QK_context__set_cancel_callback(ctx, IsClientDisconnected);
  QK_context__set_warning_callback(ctx, WriteWarning);

  pRequest = pHttpContext->GetRequest();
  if (pRequest == NULL) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "pHttpContent->GetRequest() returned NULL");
  pResponse = pHttpContext->GetResponse();
  if (pResponse == NULL) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "pHttpContent->GetResponse() returned NULL");
  QK_TRY(ctx, LoadSettings(ctx, pHttpContext));

  {
    PSOCKADDR pAddress = pRequest->GetRemoteAddress();
    if (pAddress == NULL) QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "pRequest->GetRemoteAddress() returned NULL");
    QK_TRY(ctx, format_client_address(ctx, pAddress, szClientAddress));
  }
  {
    HTTP_REQUEST *pRaw = pRequest->GetRawHttpRequest();
    if (pRaw == NULL || pRaw->CookedUrl.pFullUrl == NULL)
      QK_THROW_MSG(ctx, QK_ERR_UNSPECIFIED, "pRequest->GetRawHttpRequest() gave no URL");
    QK_TRY(ctx, QK_utf8__from_wide(ctx, pRaw->CookedUrl.pFullUrl, &pszUrl, NULL));
  }

  QK_TRY(ctx, tav_url__get_query(ctx, pszUrl, &pszQuery));
  if (pszQuery == NULL) {
    QK_TRY(ctx, SetResponseStatus(ctx, pResponse, 400, "Missing/Invalid Query String"));
    goto done;
  }
  QK_TRY(ctx, tav_url__parse_query(ctx, pszQuery, &pPairs));
  QK_TRY(ctx, tav_url__pairs_to_vhash(ctx, pPairs, &pQuery));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "db", &pszDb));
  if (pszDb == NULL) {
    QK_TRY(ctx, SetResponseStatus(ctx, pResponse, 400, "Missing/Invalid Query String"));
    goto done;
  }

  QK_TRY(ctx, tav_respond__open_backend(ctx, tav_iis__store_ops(), m_pszOdbcConnectionString, pszDb, &bFound,
                                        &dbfileVersion, &pConfigConn, &pOwnDbfileConn, &pszScheme));
  if (!bFound) {
    QK_TRY(ctx, SendDbfileNotFound(ctx, pResponse));
    goto done;
  }

  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "s", &pszS));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pQuery, "u", &pszU));
  if (pszS != NULL && pszU != NULL) {
    USHORT passwordLength = 0;
    int bOk = 0;
    PCSTR pszPassword = pRequest->GetHeader("x-tavrin-password", &passwordLength);
    if (pszPassword == NULL || passwordLength == 0) {
      QK_TRY(ctx, SetResponseStatus(ctx, pResponse, 401, "Unauthorized"));
      goto done;
    }
    QK_TRY(ctx, tav_iis__authenticate(ctx, tav_iis__store_ops(), m_pszOdbcConnectionString, pConfigConn, pOwnDbfileConn,
                                      pszS, pszScheme, pszU, pszPassword, &bOk, &pIdentity));
    if (!bOk) {
      QK_TRY(ctx, SetResponseStatus(ctx, pResponse, 401, "Unauthorized"));
      goto done;
    }
  }

  QK_TRY(ctx, request_path_of(ctx, pszUrl, &pszRequestPath));
  QK_TRY(ctx, SaveIncomingPackage(ctx, pRequest, m_pszTempDirectory, &pszIncomingPath));
  QK_TRY(ctx, Respond(ctx, pConfigConn, pOwnDbfileConn != NULL ? pOwnDbfileConn : pConfigConn, dbfileVersion,
                      szClientAddress, pszRequestPath, pIdentity, pRequest->GetHeader("x-tavrin-filter-base", NULL),
                      pszIncomingPath, pResponse));
  if (pszIncomingPath != NULL) {
    QK_TRY(ctx, QK_fsobj__remove_file(ctx, pszIncomingPath));
    QK_free(ctx, pszIncomingPath);
    pszIncomingPath = NULL;
  }

done:
  if (QK_context__has_error(ctx)) AnswerFailure(ctx, pResponse);
  if (pszIncomingPath != NULL) {
    int bExists = 0;
    QK_RELEASE(ctx, QK_fsobj__exists(ctx, pszIncomingPath, &bExists, NULL, NULL));
    if (bExists) QK_RELEASE(ctx, QK_fsobj__remove_file(ctx, pszIncomingPath));
  }
  QK_RELEASE(ctx, QK_free(ctx, pszIncomingPath));
  QK_RELEASE(ctx, tav_user_identity__free(ctx, &pIdentity));
  QK_RELEASE(ctx, QK_free(ctx, pszUrl));
  QK_RELEASE(ctx, QK_free(ctx, pszQuery));
  QK_RELEASE(ctx, QK_free(ctx, pszScheme));
  QK_RELEASE(ctx, QK_varray__free(ctx, pPairs));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pQuery));
  QK_RELEASE(ctx, tav_iis__close_connections(ctx, &pOwnDbfileConn, &pConfigConn));
  QK_context__free(ctx);
  return RQ_NOTIFICATION_FINISH_REQUEST;
}

/* ---- Registration ---- */

MyHttpModuleFactory::MyHttpModuleFactory(IHttpServer *pServer) : m_pServer(pServer) {}

HRESULT MyHttpModuleFactory::GetHttpModule(CHttpModule **ppModule, IModuleAllocator *pAllocator) {
  (void)pAllocator;
  MyHttpModule *pModule = new (std::nothrow) MyHttpModule(m_pServer);
  if (pModule == NULL) return E_OUTOFMEMORY;
  tav_eventlog__register();
  *ppModule = pModule;
  return S_OK;
}

void MyHttpModuleFactory::Terminate() {
  tav_eventlog__unregister();
  delete this;
}

extern "C" __attribute__((visibility("default"))) HRESULT RegisterModule(DWORD dwServerVersion,
                                                                         IHttpModuleRegistrationInfo *pModuleInfo,
                                                                         IHttpServer *pHttpServer) {
  (void)dwServerVersion;
  /* SQLite's memory statistics put every allocation of every request thread behind one mutex,
   * and nothing reads them. Where SQLite is not yet initialised (in the worker the module is its
   * only user) they are switched off; otherwise the call is refused and changes nothing. */
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  MyHttpModuleFactory *pFactory = new (std::nothrow) MyHttpModuleFactory(pHttpServer);
  if (pFactory == NULL) return E_OUTOFMEMORY;
  HRESULT hr = pModuleInfo->SetRequestNotifications(pFactory, RQ_EXECUTE_REQUEST_HANDLER, 0);
  if (FAILED(hr)) {
    delete pFactory;
    return hr;
  }
  return S_OK;
}
