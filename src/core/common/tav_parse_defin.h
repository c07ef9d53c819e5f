/* tav_defin: the schema definition of a dbfile's synchronised tables. It holds the schema
 * document that clients receive (tables, columns with logical types, keys, defaults) and
 * the host internals only the server uses (unprepared columns, SQL Server defaults and
 * collations, column-dump markers, foreign-key conflict rules). This header gives the
 * record, its constructors, the builders the store calls while it reflects the catalog,
 * and the lookups every query shares.
 *
 * Table and column ids are stored lower-cased under "tbls", a table's "cols" and the
 * per-table objects of "unprep-cols", and every table or column lookup lower-cases the id
 * it is given; all other ids are stored and compared exactly as passed. Texts and objects
 * handed out are borrowed from the definition. */
#ifndef TAV_PARSE_DEFIN_H
#define TAV_PARSE_DEFIN_H

#include "qk/qk_context.h"
#include "qk/qk_string.h"
#include "qk/qk_vhash.h"

typedef struct tav_defin {
  QK_vhash *schema;         /* owned: what clients get */
  QK_vhash *host_internals; /* owned, or NULL until a builder writes into it */
} tav_defin;

/* The only foreign-key conflict situation: a violation on insert. */
#define TAV_FK_SITUATION_VIOLATION_ON_INSERT 5

/* ---- Constructors, destructor, output ---- */

/* A definition whose schema is {"compat_level": n}, without host internals. */
void tav_defin__alloc(QK_context *ctx, QK_uint32 compat_level, tav_defin **ppNew);
/* A definition whose schema is the parsed text (top level an object). */
void tav_defin__alloc_from_json(QK_context *ctx, const char *szJson, tav_defin **ppNew);
/* Takes both documents (host internals may be NULL) and clears the caller's pointers. */
void tav_defin__alloc_from_vhash(QK_context *ctx, tav_defin **ppNew, QK_vhash **ppSchema,
                                 QK_vhash **ppHostInternals);
/* Frees everything and sets *ppsk to NULL; NULL is accepted. */
void tav_defin__free(QK_context *ctx, tav_defin **ppsk);
/* The schema as compact JSON in a new string; the host internals are never written out. */
void tav_defin__to_json(QK_context *ctx, tav_defin *psk, QK_string **ppOut);
/* Replaces "schema" of the target with a copy of the schema; with the flag also replaces
 * "host_internals" (removed, then a copy added when the definition has host internals). */
void tav_defin__put_into_vhash(QK_context *ctx, tav_defin *psk, QK_vhash *pTarget, int bWithHostInternals);

/* ---- Builders (each replaces what it writes) ---- */

void tav_defin__set_indistinct_unique_nulls(QK_context *ctx, tav_defin *psk, int value);
void tav_defin__set_backend_name(QK_context *ctx, tav_defin *psk, const char *psz_name);
void tav_defin__set_backend_api(QK_context *ctx, tav_defin *psk, const char *psz_api);
void tav_defin__set_filter_id(QK_context *ctx, tav_defin *psk, QK_int64 filter_id);

/* Adds {"name", "txid"} under the lower-cased id (46 when present). */
void tav_defin__add_table(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_name,
                          QK_int64 txid);
void tav_defin__set_table_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_name);
/* Adds {"name"} to the table's "cols" when prepared, else to "unprep-cols"/tbl_id (46 when
 * present); a dump_txid above 0 also records the column dump. */
void tav_defin__add_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                           const char *psz_name, int bPrepared, QK_int64 dump_txid, QK_int64 dump_gen);
void tav_defin__set_column_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char *psz_name);
/* NULL type: nothing is written. */
void tav_defin__set_mssql_col_data_type(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                        const char *psz_col_id, const char *psz_type);

/* Type setters: "type" = {"name", attributes...}. */
void tav_defin__set_type_simple(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char *psz_type);
void tav_defin__set_type_identity(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                  const char *psz_col_id, const char *psz_constraint_name);
void tav_defin__set_type_decimal(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                 QK_uint8 precision, QK_uint8 scale);
void tav_defin__set_type_time(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              QK_uint8 precision);
/* A SQL Server type other than "datetime2" is recorded under "collations". */
void tav_defin__set_type_datetime(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                  const char *psz_col_id, QK_uint8 precision, const char *psz_mssql_type);
void tav_defin__set_type_blob(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              int fixed_width, QK_uint32 width);
/* The collation (when given) is recorded under "collations". */
void tav_defin__set_type_text(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              const char *psz_collation, const char *psz_locale, int binary, int noaccent,
                              int nocase, int ks, int ws, int sc, int fixed_width, int unicode, QK_uint32 width);
void tav_defin__set_type_host(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              const char *psz_host_type);

void tav_defin__set_notnull(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                            int notnull, const char *psz_name);
void tav_defin__set_column_defval(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                  const char *psz_col_id, int present, const char *psz_name, const char *psz_expr);
/* A single-column foreign key as the column's "fk"; 312 for a reference to the column's own
 * table (ids compared ignoring case) when that table has an identity column. */
void tav_defin__set_column_fk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              int enabled, const char *psz_fk_id, const char *psz_fk_name,
                              const char *psz_ref_tbl_id, const char *psz_ref_col_id, int deferred,
                              const char *psz_on_delete, const char *psz_on_update, int violation_act);

void tav_defin__set_pk_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_name);
/* 47 before tav_defin__set_pk_name, 46 for a repeated column. */
void tav_defin__add_pk_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id);
void tav_defin__add_unique_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                  const char *psz_col_id, const char *psz_unique_name);
/* A foreign key over several columns under the table's "foreignkeys". */
void tav_defin__add_fk(QK_context *ctx, tav_defin *psk, const char *psz_fk_id, const char *psz_fk_name,
                       const char *psz_tbl_id, const char *psz_ref_tbl_id, int deferred, const char *psz_on_delete,
                       const char *psz_on_update, int violation_act);
/* 47 before tav_defin__add_fk. */
void tav_defin__set_fk_column_pair(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                                   const char *psz_from_col_id, const char *psz_to_col_id);
void tav_defin__remove_fk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id);
/* 500 for a situation other than TAV_FK_SITUATION_VIOLATION_ON_INSERT. */
void tav_defin__add_fk_rule(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                            int situation, int act);
void tav_defin__set_col_dump(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                             QK_int64 txid, QK_int64 gen);
/* NULL text: nothing is written. */
void tav_defin__set_collation(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              const char *psz_collation);
void tav_defin__set_host_defval(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char *psz_defval);

/* ---- Shared lookups ---- */

/* The table object; error 1 "table id '%s' not found in schema". Creates an empty "tbls". */
void tav_defin__get_table_record(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppTable);
/* The table's "cols", created empty when absent. */
void tav_defin__get_table_cols(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppCols);
/* "pk": NULL when absent (check) or 47 (get). */
void tav_defin__check_table_pk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppPk);
void tav_defin__get_table_pk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppPk);
/* "foreignkeys": NULL when absent (check), 47 (get) or created empty (ensure). */
void tav_defin__check_table_fks(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppFks);
void tav_defin__get_table_fks(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppFks);
void tav_defin__ensure_table_fks(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppFks);
/* The column record, prepared or unprepared; error 1 "col id '%s' not found in tbl id '%s' in
 * schema". */
void tav_defin__get_column_record(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                  const char *psz_col_id, QK_vhash **ppRecord);
/* The per-entry step of tav_defin__remove_fk over "fk-rules": pData is the key to remove. */
void tav_defin__remove_key_callback(QK_context *ctx, void *pData, QK_vhash *pvh, const char *key, QK_variant *pv);

/* New lower-cased copy of an id (ASCII letters only); free with QK_free. */
void tav_defin__lower_id(QK_context *ctx, const char *psz_id, char **ppszLower);

#endif
