/* Questions a schema definition answers (counts, ids, names, column attributes, the row
 * key) and the SQL fragments built from it. Texts handed out are borrowed from the
 * definition; new QK_string and QK_vhash results belong to the caller. A table's key
 * columns are its identity column alone when it has one, else the columns of its primary
 * key in order, else none. */
#ifndef TAV_PARSE_DEFIN_QUERY_H
#define TAV_PARSE_DEFIN_QUERY_H

#include "common/tav_parse_defin.h"

/* ---- Counts and positions (55 past the end) ---- */
void tav_defin__count_tables(QK_context *ctx, tav_defin *psk, QK_uint32 *pCount);
void tav_defin__get_table_id_at(QK_context *ctx, tav_defin *psk, int index, const char **ppsz_tbl_id);
void tav_defin__count_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_uint32 *pCount);
void tav_defin__get_column_id_at(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int index,
                                 const char **ppsz_col_id);
/* Unprepared columns ("unprep-cols" entry under the table id as passed); 0 when none. */
void tav_defin__count_unprep_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_uint32 *pCount);
/* Creates empty host internals and an empty entry when absent (and then raises 55). */
void tav_defin__get_unprep_column_at(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int index,
                                     const char **ppsz_col_id);
void tav_defin__count_key_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_uint32 *pCount);
/* Both outputs optional; 47 for a table without identity column and without "pk". */
void tav_defin__get_key_column_at(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int index,
                                  const char **ppsz_col_id, const char **ppsz_col_name);

/* ---- Names and ids ---- */
void tav_defin__get_table_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char **ppsz_name);
void tav_defin__get_table_txid(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_int64 *pTxid);
void tav_defin__get_column_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char **ppsz_name);
/* The first prepared, else unprepared, column whose name equals byte for byte; NULL when none. */
void tav_defin__get_column_id(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_name,
                              const char **ppsz_col_id);
/* The first prepared column of type "identity"; NULL when none. */
void tav_defin__get_rowid_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char **ppsz_col_id);
void tav_defin__get_identity_info(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                  int *pbIsIdentity, const char **ppsz_constraint_name);

/* ---- Column attributes (the column's "type" must exist: 47) ---- */
/* Both outputs optional: "type"/"name" (NULL when absent) and its SQLite declared type. */
void tav_defin__get_column_type(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char **ppsz_type, const char **ppsz_decl_type);
void tav_defin__get_fixed_width(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                int *pbPresent, int *pbValue);
void tav_defin__get_unicode(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                            int *pbPresent, int *pbValue);
/* -1 when absent. */
void tav_defin__get_precision(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              QK_int32 *pValue);
void tav_defin__get_scale(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                          QK_int32 *pValue);
void tav_defin__get_width(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                          QK_int32 *pValue);
void tav_defin__get_host_type(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              const char **ppsz_host_type);
/* present 0 and NULL texts without "defval"; the name output is optional. */
void tav_defin__get_column_defval(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                  int *pbPresent, const char **ppsz_name, const char **ppsz_expr);
/* has_fk 0 without "fk"; every text output optional and NULL when absent. */
void tav_defin__get_column_fk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              int *pbHasFk, const char **ppsz_name, const char **ppsz_ref_tbl_id,
                              const char **ppsz_ref_col_id, const char **ppsz_on_delete, const char **ppsz_on_update);
/* 47 when absent; a NULL output pointer reads nothing. */
void tav_defin__get_mssql_col_data_type(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                        const char *psz_col_id, const char **ppsz_type);

/* ---- Host internals (0 or NULL, and nothing created, when absent) ---- */
void tav_defin__get_col_dump_txid(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                  QK_int64 *pTxid);
void tav_defin__get_col_dump_gen(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                 QK_int64 *pGen);
void tav_defin__get_fk_rules(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppRules);
void tav_defin__get_collation(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              const char **ppsz_collation);
void tav_defin__get_host_defval(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char **ppsz_defval);

/* ---- Existence tests ---- */
void tav_defin__has_table(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int *pbHas);
void tav_defin__has_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                           int *pbHas);
/* Byte comparison with the key column ids, no lower-casing. */
void tav_defin__is_key_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              int *pbIsKey);
void tav_defin__is_unprep_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                 int *pbIsUnprep);
/* 1 for "geography", "geometry" and "hierarchyid" in any letter case; 0 otherwise and for NULL. */
int tav_defin__is_spatial_host_type(const char *psz_type);

/* ---- Column lists and SQL fragments (names are quoted with embedded quotes doubled) ---- */
/* New vhash from column name to column id over the prepared columns (46 on a repeated name). */
void tav_defin__map_column_names(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppMap);
/* New vhash keyed by column name, prepared columns first, then with the flag the unprepared
 * ones: "VARBINARY(MAX)" for a blob that is not fixed-width, null otherwise. */
void tav_defin__list_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int bWithUnprepared,
                             QK_vhash **ppList);
/* "a","b",... over the prepared columns / over the key columns. */
void tav_defin__quoted_column_names(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_string **ppOut);
void tav_defin__quoted_key_column_names(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                        QK_string **ppOut);
/* "q"."c", or CAST("q"."c" AS VARBINARY(MAX)) for a blob that is not fixed-width. A NULL
 * qualifier leaves out "q".; so it does in the fragments below. */
void tav_defin__tsql_select_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                   const char *psz_col_name, const char *psz_qualifier, QK_string **ppOut);
void tav_defin__tsql_select_key_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                        const char *psz_qualifier, QK_string **ppOut);
/* Key equality of two row sources joined by " AND "; mode 1 reads an identity key text as a
 * number, mode 2 decorates a number as a server identity key text (only for key columns that
 * resolve to an identity column). */
void tav_defin__tsql_key_compare(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_left,
                                 const char *psz_right, int left_mode, int right_mode, QK_string **ppOut);
/* Select list over the names (keys) of a column list, leaving out skip_name. */
void tav_defin__tsql_select_list(QK_context *ctx, int identity_mode, tav_defin *psk, const char *psz_tbl_id,
                                 QK_vhash *pColumns, const char *psz_skip_name, const char *psz_qualifier,
                                 int use_list_types, int cast_spatial, QK_string **ppOut);

/* ---- Plain schema documents (ids exactly as passed; 47 for any missing key) ---- */
void tav_schema__count_tables(QK_context *ctx, QK_vhash *pSchema, QK_uint32 *pCount);
void tav_schema__get_table_id_at(QK_context *ctx, QK_vhash *pSchema, int index, const char **ppsz_tbl_id);
void tav_schema__get_table_txid(QK_context *ctx, QK_vhash *pSchema, const char *psz_tbl_id, QK_int64 *pTxid);
void tav_schema__count_columns(QK_context *ctx, QK_vhash *pSchema, const char *psz_tbl_id, QK_uint32 *pCount);
void tav_schema__get_column_id_at(QK_context *ctx, QK_vhash *pSchema, const char *psz_tbl_id, int index,
                                  const char **ppsz_col_id);
void tav_schema__get_column_name(QK_context *ctx, QK_vhash *pSchema, const char *psz_tbl_id,
                                 const char *psz_col_id, const char **ppsz_name);

#endif
