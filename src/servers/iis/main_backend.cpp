/* The store as the module reaches it. */
#include "servers/iis/main_backend.h"

#include "server/tav_db_mssql.h"

const tav_backend_ops *tav_iis__store_ops(void) { return &g_mssql_backend_ops; }

void tav_iis__close_connections(QK_context *ctx, QK_mssql_connection **ppDbfileConn,
                                QK_mssql_connection **ppConfigConn) {
  QK_RELEASE(ctx, g_mssql_backend_ops.close(ctx, ppDbfileConn));
  QK_RELEASE(ctx, g_mssql_backend_ops.close(ctx, ppConfigConn));
}
