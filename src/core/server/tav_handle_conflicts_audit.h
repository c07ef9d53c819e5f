/* Audit rows of a push: one row per conflict the server settles, collected in the package
 * table p$audit while the push is settled and imported, later stamped with the push's txid
 * and copied by the store into the configuration database. */
#ifndef TAV_HANDLE_CONFLICTS_AUDIT_H
#define TAV_HANDLE_CONFLICTS_AUDIT_H

#include <sqlite3.h>

#include "qk/qk_context.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"
#include "qksqlite/qk_sqlite.h"

/* One audit row. The result is decided by which document final is, not by its contents:
 * the very already document (two NULLs count as the same) is "ignore", the very incoming
 * document "accept", anything else the row JSON of final. rid is 16 bytes. */
void tav_audit__add_row(QK_context *ctx, sqlite3 *db, const char *tbl_id, const QK_uint8 *rid,
                        const QK_vhash *already, const QK_vhash *incoming, const QK_vhash *ancestor,
                        const QK_vhash *final);
/* The same with the package statements kept in the cache (NULL: none) for the next row. */
void tav_audit__add_row__cached(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *tbl_id,
                                const QK_uint8 *rid, const QK_vhash *already, const QK_vhash *incoming,
                                const QK_vhash *ancestor, const QK_vhash *final);
/* The compact JSON of a row document into pOut (appended): columns in the row's order, a blob
 * object as "len" and "sha1", with "hex" only for 16 bytes or less (47 when a member is
 * missing). */
void tav_audit__row_json(QK_context *ctx, const QK_vhash *row, QK_string *pOut);
/* Creates p$audit when needed and inserts one row with txid 0; NULL texts are bound NULL. */
void tav_audit__write_row(QK_context *ctx, sqlite3 *db, const char *tbl_id, const QK_uint8 *rid,
                          const char *ancestor_json, const char *already_json, const char *incoming_json,
                          const char *result);

#endif
