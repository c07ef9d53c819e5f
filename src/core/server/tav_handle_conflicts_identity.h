/* Identity-key mapping of a pushed package. Tables keyed by an SQL Server identity column get
 * their key values from the server; a client gives the rows it inserts offline temporary
 * values. Before the package is settled and imported, every identity value in it, and every
 * value of a column that refers to an identity column, becomes a text saying which kind it
 * is: "S:<n>" for a value the server assigned, "C:<n>" for one the client made. The import
 * then gives each "C:" value a new server value. */
#ifndef TAV_HANDLE_CONFLICTS_IDENTITY_H
#define TAV_HANDLE_CONFLICTS_IDENTITY_H

#include <sqlite3.h>

#include "common/tav_parse_defin.h"
#include "qk/qk_context.h"
#include "server/tav_db_mssql.h"

/* Situation of the dbfile rule that decides whether a package of versions 2 to 5 without the
 * client's identity map is refused (action 6). */
#define TAV_DBFILE_SITUATION_NO_IDENTITY_MAP 3

/* Maps the package's identity values. The first call (refused given) creates the per-table
 * maps; a later call (after a recovery changed the server, fid 0) turns "C:" values back into
 * numbers and maps them again. *pbRefused becomes 1 when the package lacks the identity
 * information the dbfile requires (nothing is mapped then). */
void tav_push__map_identity_keys(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                                 QK_int64 fid, sqlite3 *db, int pv, int *pbRefused);

#endif
