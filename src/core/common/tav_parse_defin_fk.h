/* Foreign keys of a schema definition: accessors of the keys over several columns, the
 * lists the push import and the download builders take from them, the walk from a column to
 * the identity column it references, and the parents-first order of all tables.
 *
 * A key over one column is the "fk" of the child column's record; a key over several
 * columns is an entry of the child table's "foreignkeys". Actions are "NO ACTION",
 * "CASCADE", "SET NULL" or "SET DEFAULT" (absent counts as "NO ACTION"; compared ignoring
 * case). A key whose referenced table is not in the definition is an error wherever a list
 * or the walk has to follow it. */
#ifndef TAV_PARSE_DEFIN_FK_H
#define TAV_PARSE_DEFIN_FK_H

#include "common/tav_parse_defin.h"
#include "qk/qk_nullhash.h"
#include "qk/qk_varray.h"

/* ---- Keys over several columns (47 when "foreignkeys" or the named key is absent) ---- */
void tav_defin__count_table_fks(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_uint32 *pCount);
void tav_defin__get_fk_id_at(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int index,
                             const char **ppsz_fk_id);
void tav_defin__get_fk_ref_table(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                                 const char **ppsz_ref_tbl_id);
void tav_defin__get_fk_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                            const char **ppsz_name);
void tav_defin__get_fk_on_delete(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                                 const char **ppsz_on_delete);
/* Whether "on_update" and "on_delete" (both required) differ from "NO ACTION". */
void tav_defin__get_fk_action_flags(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                                    int *pbOnUpdate, int *pbOnDelete);
void tav_defin__count_fk_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                                 QK_uint32 *pCount);
void tav_defin__get_fk_column_pair_at(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                      const char *psz_fk_id, int index, const char **ppsz_from_col_id,
                                      const char **ppsz_to_col_id);

/* ---- Lists (new objects; NULL when empty) ---- */
/* Every "ref_tbl_id" of the table (column keys first, then table keys; each once), as a
 * vhash with null values. */
void tav_defin__list_referenced_tables(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppSet);
/* The same without the table's own id. */
void tav_defin__list_parent_tables(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_nullhash **ppSet);
/* The table's own keys (only those referencing ref_tbl_id, byte comparison, when given):
 * {"name", "on-delete" unless NO ACTION, "tbl", "cols-from", "cols-to", "defvals": []}. */
void tav_defin__list_fk_actions(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                const char *psz_ref_tbl_id, int mode, QK_varray **ppList, QK_uint32 *pCount);
/* The keys of the other tables (and with include_self of the table itself) that reference
 * it: {"name", "tbl" (the child), "on-up", "cols-from", "cols-to"}; with on_delete_only only
 * keys whose ON DELETE is not NO ACTION. */
void tav_defin__list_child_fks(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int include_self,
                               int on_delete_only, QK_varray **ppList, QK_uint32 *pCount);
/* {child table id: {child column id: referenced column id}} of every child column that
 * references tbl_id.col_id. */
void tav_defin__list_referencing_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                         const char *psz_col_id, QK_vhash **ppMap);
/* The column-key half of the above (any referenced column when ref_col_id is NULL). */
void tav_defin__list_column_fks_referencing(QK_context *ctx, tav_defin *psk, const char *psz_ref_tbl_id,
                                            const char *psz_ref_col_id, QK_vhash **ppMap);
/* The table-key half: {fk id: {"tbl": child table id, "cols": {from: to}}}. */
void tav_defin__list_fks_referencing(QK_context *ctx, tav_defin *psk, const char *psz_ref_tbl_id,
                                     QK_vhash **ppMap);

/* ---- Identity walk and order ---- */
/* The identity column the column is or ultimately references through integer columns, or
 * NULL (also for a chain that runs in a circle). The column output is optional. */
void tav_defin__resolve_identity_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                        const char *psz_col_id, const char **ppsz_tbl, const char **ppsz_col);
/* New varray of all table ids, parents before children; 312 for a cycle (self references
 * aside) or a key to a table outside the definition. */
void tav_defin__order_tables_by_fk(QK_context *ctx, tav_defin *psk, QK_varray **ppOrder);

#endif
