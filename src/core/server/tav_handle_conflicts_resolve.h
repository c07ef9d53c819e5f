/* Conflict resolution of a pushed package: every row change that meets a different state on
 * the server is settled by the dbfile's rules (taken, dropped, merged with the server's row,
 * or the whole push rejected). The settling rewrites the package's p$u$ and p$rd$ rows of the
 * affected row ids, so that the store's import then applies exactly the settled result, and
 * writes one audit row per settled conflict.
 *
 * Rows are documents of column name -> value (NULL columns absent, blobs as {"len", "sha1",
 * "hex"}); identity values and the columns referring to them are the texts "S:<n>" (a server
 * value) and "C:<n>" (a client value). Row ids are 16 bytes. */
#ifndef TAV_HANDLE_CONFLICTS_RESOLVE_H
#define TAV_HANDLE_CONFLICTS_RESOLVE_H

#include <sqlite3.h>

#include "common/tav_parse_defin.h"
#include "qk/qk_context.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"
#include "server/tav_db_mssql.h"

/* Situations of the rule tables. */
#define TAVRIN_SITUATION_DELETE_VS_UPDATE 1
#define TAVRIN_SITUATION_UPDATE_VS_DELETE 2
#define TAVRIN_SITUATION_UPDATE_VS_UPDATE 3
#define TAVRIN_SITUATION_PK_COLLISION 4
#define TAVRIN_SITUATION_FK_VIOLATION_ON_INSERT 5
#define TAVRIN_SITUATION_BASELINE_PURGED 6

/* Actions of the rule tables (0: no rule, the situation's default applies). */
#define TAVRIN_ACTION_NONE 0
#define TAVRIN_ACTION_ACCEPT 2
#define TAVRIN_ACTION_IGNORE 4
#define TAVRIN_ACTION_REJECT 6
#define TAVRIN_ACTION_COLUMN_MERGE 8
#define TAVRIN_ACTION_SCRIPTED_MERGE 10
/* Bit of a column rule that asks for a three-way text merge before the rule itself. */
#define TAVRIN_COLUMN_RULE_TEXT_MERGE 1

/* Every table of the schema that has changes in the package, in schema order, until one
 * rejects the push (rejected) or meets a purged base version (purged). */
void tav_conflict__resolve_package(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                                   sqlite3 *db, int *pbRejected, int *pbPurged);
/* Settles every conflict entry the store's salvage lists for the table (with a recovery set:
 * the rolled-back changes to bring back). The outputs are only ever set to 1. */
void tav_conflict__resolve_table(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                                 struct tav_recovery_set *recovery_set, sqlite3 *db, const char *tbl_id,
                                 int *pbRejected, int *pbPurged);
/* Both sides changed the row (ancestor may be NULL). */
void tav_conflict__resolve_update(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                                  sqlite3 *db, const char *tbl_id, const QK_uint8 *rid, QK_int64 server_txid,
                                  int undelete, QK_int64 incoming_txid, const QK_vhash *ancestor,
                                  const QK_vhash *already, const QK_vhash *incoming, int *pbRejected);
/* One column of a column merge into merged (values may be NULL: the column is NULL). */
void tav_conflict__merge_column(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h, tav_defin *defin,
                                const char *tbl_id, const char *col_name, const QK_variant *already_value,
                                const QK_variant *incoming_value, const QK_variant *ancestor_value,
                                QK_vhash *merged, int *pbRejected);
/* Three-way line merge (ancestor as base, the server's text as modified, the incoming text as
 * latest; runs of blanks compare equal): a new string, or NULL when the lines conflict. */
void tav_conflict__merge_text(QK_context *ctx, const char *already_text, const char *incoming_text,
                              const char *ancestor_text, QK_string **ppMerged);
/* The column's rule, else the table's default (empty column id); 0 when neither exists. */
void tav_conflict__get_column_rule(QK_context *ctx, const tav_backend_ops *ops, tav_db_handle *h,
                                   const char *tbl_id, const char *col_id, int *pAction, char **ppszExtra);
/* 1 when both rows have as many columns and every column of b is in a with an equal value. */
void tav_conflict__rows_equal(QK_context *ctx, const QK_vhash *a, const QK_vhash *b, int *pbEqual);
/* Every integer of an identity column, or of a column referring to one, becomes "S:<n>". pKnown
 * (NULL for none) remembers by column name what was found for the table's columns, 1 for an
 * identity value and 0 for none, for the next row of the same table. */
void tav_conflict__decorate_identity_values(QK_context *ctx, tav_defin *defin, const char *tbl_id, QK_vhash *pKnown,
                                            QK_vhash *row);
/* A row merge by script: the server runs no scripts, so this always fails (302 or 305). */
void tav_conflict__scripted_row_merge(QK_context *ctx, tav_defin *defin, const char *tbl_id, const char *script,
                                      const QK_vhash *ancestor, const QK_vhash *already, const QK_vhash *incoming,
                                      QK_vhash **ppRow);

/* The change of the row id leaves the package. */
void tav_push__drop_incoming_row(QK_context *ctx, sqlite3 *db, const char *tbl_id, const QK_uint8 *rid);
/* The change of the row id becomes row under txid, based on base_txid (as the undeleted
 * version with undelete; no base when base_txid < 1). */
void tav_push__replace_incoming_row(QK_context *ctx, sqlite3 *db, const char *tbl_id, const QK_uint8 *rid,
                                    const QK_vhash *row, QK_int64 txid, QK_int64 base_txid, int undelete);

#endif
