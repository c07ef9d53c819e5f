/* The store as the module reaches it. Kept apart from the module's own source because the
 * ODBC headers and the Windows-shaped ones declare the same type names differently. */
#ifndef MAIN_BACKEND_H
#define MAIN_BACKEND_H

#include "qk/qk_context.h"

struct QK_mssql_connection;
struct tav_backend_ops;

/* The store's operations table (g_mssql_backend_ops). */
const struct tav_backend_ops *tav_iis__store_ops(void);
/* Closes the dbfile's own connection, then the configuration connection; NULLs are accepted. */
void tav_iis__close_connections(QK_context *ctx, struct QK_mssql_connection **ppDbfileConn,
                                struct QK_mssql_connection **ppConfigConn);

#endif
