/* Authentication of a request that carries the query keys "s" (the scheme, a JSON object)
 * and "u" (the user) with a password: the scheme dispatcher and the Windows logon. */
#ifndef MAIN_AUTH_H
#define MAIN_AUTH_H

#include "qk/qk_context.h"
#include "server/tav_respond_access.h"

struct QK_mssql_connection;
struct tav_backend_ops;

/* Checks the user's password by the scheme: "table" (a users table of the dbfile's
 * database), "table2" (of the configuration database, or of the database of the dbfile
 * its "dbfile" names), "windows" (a Windows account of its "domain") or "default" (the
 * dbfile's stored scheme instead). pDbfileConn NULL: the dbfile's tables live in the
 * configuration database. *pbOk 0 for a wrong user or password; *ppIdentity (opt) the
 * identity the check found (also with *pbOk 0), its scheme set to the canonical JSON of the
 * scheme applied. A malformed scheme is an error. */
void tav_iis__authenticate(QK_context *ctx, const struct tav_backend_ops *ops, const char *pszOdbcConnectionString,
                           QK_mssql_connection *pConfigConn, QK_mssql_connection *pDbfileConn, const char *pszScheme,
                           const char *pszStoredScheme, const char *pszUser, const char *pszPassword, int *pbOk,
                           tav_user_identity **ppIdentity);

#endif
