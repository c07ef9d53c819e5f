/* The web-server module: the factory the server asks for one module instance per request,
 * and the module, whose request handler serves "/pull" and "/push" through the sync engine.
 * The library's only export is RegisterModule. */
#ifndef MAIN_H
#define MAIN_H

#include "qk/qk_context.h"
#include "qk/qk_vhash.h"
#include "tavrin_iis/http_module.h"

struct QK_mssql_connection;
struct tav_user_identity;

class MyHttpModule : public CHttpModule {
 public:
  explicit MyHttpModule(IHttpServer *pServer);
  ~MyHttpModule() override;

  REQUEST_NOTIFICATION_STATUS OnExecuteRequestHandler(IHttpContext *pHttpContext,
                                                      IHttpEventProvider *pProvider) override;

  /* Replaces the settings copies by the site's "tavrin/settings" section. */
  void ReadSettings(QK_context *ctx, IHttpServer *pServer, const char *pszConfigPath);

 private:
  void LoadSettings(QK_context *ctx, IHttpContext *pHttpContext);
  void Respond(QK_context *ctx, QK_mssql_connection *pConfigConn, QK_mssql_connection *pDbfileConn,
               QK_int32 dbfileVersion, const char *pszClientAddress, const char *pszRequestPath,
               const struct tav_user_identity *pIdentity, const char *pszFilterBase, const char *pszIncomingPath,
               IHttpResponse *pResponse);
  void SendResponse(QK_context *ctx, int status, int bodyKind, const char *pszBody, const QK_vhash *pHeaders,
                    IHttpResponse *pResponse);
  void SendTextBody(QK_context *ctx, const char *pszText, IHttpResponse *pResponse);
  void SendFileBody(QK_context *ctx, const char *pszPath, IHttpResponse *pResponse);
  void FlushResponse(QK_context *ctx, IHttpResponse *pResponse);
  void AnswerFailure(QK_context *ctx, IHttpResponse *pResponse);

  IHttpServer *m_pServer;   /* borrowed from the server */
  char *m_pszTempDirectory; /* owned settings copies, NULL until read */
  char *m_pszOdbcConnectionString;
  char *m_pszSupportMode;
  int m_bResponseSent; /* an answer went out: nothing more may be sent */
};

class MyHttpModuleFactory : public IHttpModuleFactory {
 public:
  explicit MyHttpModuleFactory(IHttpServer *pServer);
  HRESULT GetHttpModule(CHttpModule **ppModule, IModuleAllocator *pAllocator) override;
  void Terminate() override;

 private:
  IHttpServer *m_pServer; /* borrowed for the life of the process */
};

#endif
