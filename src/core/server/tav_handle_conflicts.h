/* Package files: the SQLite files that carry one sync exchange between a client and the
 * server. This header gives the handle of an open package (`tav_pkg`), the operations the
 * sync engine and the store share on it (create, name, close and delete, generation squash,
 * row readers) and the layout of the package tables that every writer of a package uses.
 *
 * Layout (format versions 2 to 6): every table name starts with "p$". Versions 2 to 5 count
 * transactions and carry the header table p$tx; version 6 counts generations and carries
 * p$gen. Declared column types are affinities only: marker rows store texts in integer
 * columns (the version in p$tx.scheme is stored as the text '4', p$tx.txid holds 'first' or
 * status JSON), so readers must look at the stored type. */
#ifndef TAV_HANDLE_CONFLICTS_H
#define TAV_HANDLE_CONFLICTS_H

#include <sqlite3.h>

#include "common/tav_parse_defin.h"
#include "qk/qk_context.h"
#include "qk/qk_file.h"
#include "qk/qk_vhash.h"
#include "qksqlite/qk_sqlite.h"

/* One package a request handles: a plain record, zeroed before first use. */
typedef struct tav_pkg {
  char *path;    /* owned: full name of the package file, or NULL */
  QK_file *file; /* owned: the file opened by a user that reads or sends it, or NULL */
  sqlite3 *db;   /* owned: the connection on the file, or NULL */
} tav_pkg;

/* ---- Layout ---- */

/* Prefixes of the per-table package tables; the table id of the schema follows. */
#define TAV_PKG_ROWS_PREFIX "p$u$"
#define TAV_PKG_ROW_DELTAS_PREFIX "p$rd$"
#define TAV_PKG_ROW_VERSIONS_PREFIX "p$rv$"
#define TAV_PKG_IDENTITY_MAP_PREFIX "p$ipk$"

/* The txid the pushed row versions carry until the push has its real txid (2^63 - 16). */
#define TAV_PKG_PLACEHOLDER_TXID 9223372036854775792LL
/* Generation of marker rows, and of this push's own changes in a pushed package. */
#define TAV_PKG_GEN_MARKER (-1LL)
#define TAV_PKG_GEN_PUSH (-2LL)

/* Header of versions 2 to 5 (the upgrade package adds TAV_PKG_TX_ADD_GENERATION_SQL). */
extern const char TAV_PKG_TX_TABLE_SQL[];
extern const char TAV_PKG_TX_ADD_GENERATION_SQL[];
/* Header of version 6 (and the second header of the upgrade package). */
extern const char TAV_PKG_GEN_TABLE_SQL[];
/* The schema sent to clients of versions 2 and 3. */
extern const char TAV_PKG_SCHEMA_TABLE_SQL[];
/* Audit rows written into a pushed package. */
extern const char TAV_PKG_AUDIT_TABLE_SQL[];

/* "p$u$<id>" with the table's prepared columns, by name, in the schema's order: the
 * transaction form (z_rid, z_txid) for versions 2 to 5, the generation form (z_rid,
 * z_gen_del, z_gen_add) for version 6. An invalid version is 2. */
void tav_pkg__create_rows_table(QK_context *ctx, sqlite3 *db, tav_defin *defin, const char *tbl_id,
                                int pkg_version);
/* "p$rd$<id>": one row per changed row id (transaction form only). */
void tav_pkg__create_row_deltas_table(QK_context *ctx, sqlite3 *db, const char *tbl_id);
/* "p$rv$<id>": the row versions a client should hold ("245" package). */
void tav_pkg__create_row_versions_table(QK_context *ctx, sqlite3 *db, const char *tbl_id);
/* "p$ipk$<id>": client identity value -> its decorated text. */
void tav_pkg__create_identity_map_table(QK_context *ctx, sqlite3 *db, const char *tbl_id);

/* ---- Package files ---- */

/* A new package file of the version (2 to 6, else 2 and nothing happens) in dir, after any
 * earlier file of the handle is closed and deleted: page size 4096, an open write
 * transaction, and the version's header table with its row 0. The caller writes the rest,
 * commits and closes db; on failure the handle keeps what was set, for tav_pkg__close. */
void tav_pkg__create(QK_context *ctx, const char *dir, int pkg_version, tav_pkg *pkg);
/* Closes and deletes any earlier file, then names a new work file in dir (creates nothing). */
void tav_pkg__new_temp_path(QK_context *ctx, const char *dir, tav_pkg *pkg);
/* Rolls back and closes the connection, closes the file and deletes it; NULL is accepted.
 * Every step runs even after one fails (the first failure is reported): the handle always
 * ends empty. The record itself is not freed. */
void tav_pkg__close(QK_context *ctx, tav_pkg *pkg);

/* ---- Generation squash ---- */

/* In every p$u$ table: the versions of each row id whose z_gen_add lies in gen_from..gen_to
 * become one version of gen_into that replaces what the earliest one replaced; a row made
 * and deleted in the range leaves nothing. With set_txid, z_txid (added by the caller) is
 * set to gen_into on those rows. A table with two versions of one row id in one generation
 * of the range is malformed: 500, and that table is left as it was. */
void tav_pkg__squash_generations(QK_context *ctx, tav_defin *defin, sqlite3 *db, int set_txid, QK_int64 gen_from,
                                 QK_int64 gen_to, QK_int64 gen_into);
/* The same for one table. */
void tav_pkg__squash_table_generations(QK_context *ctx, tav_defin *defin, sqlite3 *db, const char *tbl_id,
                                       QK_int64 gen_from, QK_int64 gen_to, QK_int64 gen_into, int set_txid);

/* The last generation a client's pushed timeline can hold. */
#define TAV_PKG_GEN_LAST_CLIENT 9223372036854775791LL
/* Folds the client's generations above 0 into its known base (marker generation) with
 * z_txid set: the base's predecessor with the newest generation's values. A package in
 * transaction form holds no push generation any more. */
void tav_pkg__fold_pushed_timeline(QK_context *ctx, tav_defin *defin, sqlite3 *db);

/* ---- Row readers (internal columns are never in their results) ---- */

/* The current row of a stepped statement as a new document: one member per non-NULL column,
 * blobs as {"len", "sha1", "hex"}, keys sorted by their bytes. */
void tav_pkg__row_to_vhash(QK_context *ctx, sqlite3_stmt *stmt, QK_vhash **ppRow);
/* The row of p$u$<id> with that rowid as a new document, or NULL when there is none. */
void tav_pkg__get_row_by_rowid(QK_context *ctx, sqlite3 *db, const char *tbl_id, QK_int64 rowid, QK_vhash **ppRow);
/* The same with the statement kept in the cache (NULL: none) for the next row. */
void tav_pkg__get_row_by_rowid__cached(QK_context *ctx, QK_sqlite_cache *pCache, sqlite3 *db, const char *tbl_id,
                                       QK_int64 rowid, QK_vhash **ppRow);
/* With stmt prepared by the caller from TAV_PKG_TABLE_EXISTS_SQL (and finalized by it):
 * 1 when the table prefix + name exists. The joined name must be shorter than 64 bytes (20). */
extern const char TAV_PKG_TABLE_EXISTS_SQL[];
void tav_pkg__table_exists(QK_context *ctx, sqlite3_stmt *stmt, const char *prefix, const char *name, int *pbExists);
/* A new statement selecting the key columns of the p$u$<id> row with the 16-byte row id
 * (bound, copied); the caller steps and finalizes it. */
void tav_pkg__prepare_key_select(QK_context *ctx, sqlite3 *db, tav_defin *defin, const char *tbl_id,
                                 const QK_uint8 *rid, sqlite3_stmt **ppStmt);
/* A new vhash of the column names of p$u$<id>, in table order, each with a null value. */
void tav_pkg__get_table_columns(QK_context *ctx, sqlite3 *db, const char *tbl_id, QK_vhash **ppColumns);

#endif
