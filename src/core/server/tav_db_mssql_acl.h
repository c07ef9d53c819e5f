/* Access lists, filter assignments, stored row filters and users tables as the SQL Server
 * store reads them; the sync engine decides with what these reads hand over. */
#ifndef TAV_DB_MSSQL_ACL_H
#define TAV_DB_MSSQL_ACL_H

#include "common/tav_filter.h"
#include "qk/qk_string.h"
#include "server/tav_db_mssql.h"
#include "server/tav_respond_access.h"

/* The dbfile's access list in a new array (caller's): one {"scheme", "who", "tbl", "op",
 * "result"} per row, "tbl" "*" for a row without table, NULL columns absent. */
void tav_db_mssql__get_acl(QK_context *ctx, tav_db_handle *h, QK_varray **ppAcl);
/* The filter assignments in ascending priority, each {"scheme" opt, "who" opt, "filter"}, and
 * (opt) the newest schema-change txid of the synchronised tables (0 for none). */
void tav_db_mssql__get_user_filters(QK_context *ctx, tav_db_handle *h, QK_varray **ppAssignments,
                                    QK_int64 *pTxid);
/* Appends the batch that reads the newest schema-change txid and the filter assignments. */
void tav_db_mssql__append_newest_txid_and_user_filters_sql(QK_context *ctx, tav_db_handle *h, QK_string *pSql);
/* Reads the newest schema-change txid (the current result set of hStmt, 0 for none) and the
 * filter assignments of the next one, as get_user_filters hands them over. */
void tav_db_mssql__read_newest_txid_and_user_filters(QK_context *ctx, SQLHSTMT hStmt, int bHas, QK_int64 *pTxid,
                                                     QK_varray **ppAssignments);
/* The stored filter of the id for the user (opt); *ppFilter stays NULL when there is none. */
void tav_db_mssql__get_filter(QK_context *ctx, tav_db_handle *h, QK_int64 filterId, const char *pszUserName,
                              tav_filter **ppFilter);
/* A user of a users table with its groups, and the stored password (free it with
 * sqlite3_free). Both outputs stay untouched when the table or the user does not exist. */
void tav_db_mssql__lookup_user(QK_context *ctx, QK_mssql_connection *pConn, const char *pszUsersTable,
                               const char *pszUserName, tav_user_identity **ppIdentity, char **ppszStoredPassword);

/* Whether SQL Server knows an object of that name. */
void tav_db_mssql__object_exists(QK_context *ctx, QK_mssql_connection *pConn, const char *pszName, int *pbExists);
/* The users table to query in a new string, every name part in brackets: tavrin's table of
 * that name when there is one, else the name as given (a table, optionally with its schema, of
 * this database); *ppName stays NULL for a name that cannot name such a table. */
void tav_db_mssql__resolve_users_table(QK_context *ctx, QK_mssql_connection *pConn, const char *pszTable,
                                       QK_string **ppName);

#endif
