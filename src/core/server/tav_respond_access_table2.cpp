/* The users-table password check through the store's own operations table, kept apart so
 * that code tested against other operation tables does not need the store linked in. */
#include "server/tav_db_mssql.h"
#include "server/tav_respond_access.h"

void tav_respond__check_table2_password(QK_context *ctx, QK_mssql_connection *pConn, const char *pszTable,
                                        const char *pszUser, const char *pszPassword, int *pbOk,
                                        tav_user_identity **ppIdentity) {
  QK_TRY(ctx, tav_respond__check_users_table_password(ctx, &g_mssql_backend_ops, pConn, pszTable, pszUser,
                                                      pszPassword, pbOk, ppIdentity));
done:;
}
