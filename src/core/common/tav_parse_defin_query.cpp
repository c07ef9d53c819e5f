/* Schema definition queries and the SQL fragments built from them. */
#include "common/tav_parse_defin_query.h"

#include <string.h>

#include "common/tav_parse_defin_fk.h"
#include "common/tav_parse_defin_types.h"
#include "common/tav_sql_quote.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"

/* ---- Counts and positions ---- */

void tav_defin__count_tables(QK_context *ctx, tav_defin *psk, QK_uint32 *pCount) {
  QK_vhash *pTbls = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, pCount);
  *pCount = 0;
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, psk->schema, "tbls", &pTbls));
  if (pTbls != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pTbls, pCount));
done:;
}

void tav_defin__get_table_id_at(QK_context *ctx, tav_defin *psk, int index, const char **ppsz_tbl_id) {
  QK_vhash *pTbls = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, psk->schema, "tbls", &pTbls));
  QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pTbls, (QK_uint32)index, ppsz_tbl_id, NULL));
done:;
}

void tav_defin__count_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_uint32 *pCount) {
  QK_vhash *pCols = NULL;
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  QK_TRY(ctx, QK_vhash__count(ctx, pCols, pCount));
done:;
}

void tav_defin__get_column_id_at(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int index,
                                 const char **ppsz_col_id) {
  QK_vhash *pCols = NULL;
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pCols, (QK_uint32)index, ppsz_col_id, NULL));
done:;
}

/* The per-table object of a host-internals map under the table id as passed, or NULL;
 * nothing is created. */
static void check_host_entry(QK_context *ctx, tav_defin *psk, const char *psz_map, const char *psz_tbl_id,
                             QK_vhash **ppEntry) {
  QK_vhash *pMap = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, psz_tbl_id);
  *ppEntry = NULL;
  if (psk->host_internals == NULL) goto done;
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, psk->host_internals, psz_map, &pMap));
  if (pMap != NULL) QK_TRY(ctx, QK_vhash__check__vhash(ctx, pMap, psz_tbl_id, ppEntry));
done:;
}

void tav_defin__count_unprep_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_uint32 *pCount) {
  QK_vhash *pEntry = NULL;
  QK_ARG_NOT_NULL(ctx, pCount);
  *pCount = 0;
  QK_TRY(ctx, check_host_entry(ctx, psk, "unprep-cols", psz_tbl_id, &pEntry));
  if (pEntry != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pEntry, pCount));
done:;
}

void tav_defin__get_unprep_column_at(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int index,
                                     const char **ppsz_col_id) {
  QK_vhash *pMap = NULL;
  QK_vhash *pEntry = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, psz_tbl_id);
  if (psk->host_internals == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, &psk->host_internals));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, psk->host_internals, "unprep-cols", &pMap));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pMap, psz_tbl_id, &pEntry));
  QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pEntry, (QK_uint32)index, ppsz_col_id, NULL));
done:;
}

/* The "cols" of the table's "pk", or NULL without "pk" (an empty key). */
static void check_pk_cols(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppCols) {
  QK_vhash *pPk = NULL;
  *ppCols = NULL;
  QK_TRY(ctx, tav_defin__check_table_pk(ctx, psk, psz_tbl_id, &pPk));
  if (pPk != NULL) QK_TRY(ctx, QK_vhash__check__vhash(ctx, pPk, "cols", ppCols));
done:;
}

void tav_defin__count_key_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_uint32 *pCount) {
  const char *pszRowid = NULL;
  QK_vhash *pPkCols = NULL;
  QK_ARG_NOT_NULL(ctx, pCount);
  *pCount = 0;
  QK_TRY(ctx, tav_defin__get_rowid_column(ctx, psk, psz_tbl_id, &pszRowid));
  if (pszRowid != NULL) {
    *pCount = 1;
    goto done;
  }
  QK_TRY(ctx, check_pk_cols(ctx, psk, psz_tbl_id, &pPkCols));
  if (pPkCols != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pPkCols, pCount));
done:;
}

void tav_defin__get_key_column_at(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int index,
                                  const char **ppsz_col_id, const char **ppsz_col_name) {
  const char *pszColId = NULL;
  QK_TRY(ctx, tav_defin__get_rowid_column(ctx, psk, psz_tbl_id, &pszColId));
  if (pszColId == NULL || index != 0) {
    QK_vhash *pPk = NULL;
    QK_vhash *pPkCols = NULL;
    QK_TRY(ctx, tav_defin__get_table_pk(ctx, psk, psz_tbl_id, &pPk));
    QK_TRY(ctx, QK_vhash__get__vhash(ctx, pPk, "cols", &pPkCols));
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pPkCols, (QK_uint32)index, &pszColId, NULL));
  }
  if (ppsz_col_name != NULL) QK_TRY(ctx, tav_defin__get_column_name(ctx, psk, psz_tbl_id, pszColId, ppsz_col_name));
  if (ppsz_col_id != NULL) *ppsz_col_id = pszColId;
done:;
}

/* ---- Names and ids ---- */

void tav_defin__get_table_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char **ppsz_name) {
  QK_vhash *pTable = NULL;
  QK_TRY(ctx, tav_defin__get_table_record(ctx, psk, psz_tbl_id, &pTable));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pTable, "name", ppsz_name));
done:;
}

void tav_defin__get_table_txid(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_int64 *pTxid) {
  QK_vhash *pTable = NULL;
  QK_int64 txid = 0;
  QK_ARG_NOT_NULL(ctx, pTxid);
  QK_TRY(ctx, tav_defin__get_table_record(ctx, psk, psz_tbl_id, &pTable));
  QK_TRY(ctx, QK_vhash__check__int64(ctx, pTable, "txid", &txid));
  *pTxid = txid;
done:;
}

void tav_defin__get_column_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char **ppsz_name) {
  QK_vhash *pRecord = NULL;
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pRecord, "name", ppsz_name));
done:;
}

/* The id of the first record of cols whose "name" equals the name, or NULL. */
static void find_name(QK_context *ctx, QK_vhash *pCols, const char *psz_col_name, const char **ppsz_col_id) {
  QK_uint32 count = 0;
  QK_TRY(ctx, QK_vhash__count(ctx, pCols, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszId = NULL;
    const char *pszName = NULL;
    QK_vhash *pRecord = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pCols, i, &pszId, &pRecord));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pRecord, "name", &pszName));
    if (pszName != NULL && strcmp(pszName, psz_col_name) == 0) {
      *ppsz_col_id = pszId;
      break;
    }
  }
done:;
}

void tav_defin__get_column_id(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_name,
                              const char **ppsz_col_id) {
  QK_vhash *pCols = NULL;
  QK_vhash *pUnprep = NULL;
  const char *pszId = NULL;
  QK_ARG_NOT_NULL(ctx, psz_col_name);
  QK_ARG_NOT_NULL(ctx, ppsz_col_id);
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  QK_TRY(ctx, find_name(ctx, pCols, psz_col_name, &pszId));
  if (pszId == NULL) QK_TRY(ctx, check_host_entry(ctx, psk, "unprep-cols", psz_tbl_id, &pUnprep));
  if (pUnprep != NULL) QK_TRY(ctx, find_name(ctx, pUnprep, psz_col_name, &pszId));
  *ppsz_col_id = pszId;
done:;
}

/* The record's "type"/"name", or NULL when the record has no type. */
static void check_type_name(QK_context *ctx, QK_vhash *pRecord, const char **ppsz_type) {
  QK_vhash *pType = NULL;
  *ppsz_type = NULL;
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, pRecord, "type", &pType));
  if (pType != NULL) QK_TRY(ctx, QK_vhash__check__sz(ctx, pType, "name", ppsz_type));
done:;
}

void tav_defin__get_rowid_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char **ppsz_col_id) {
  QK_vhash *pCols = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, ppsz_col_id);
  *ppsz_col_id = NULL;
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  QK_TRY(ctx, QK_vhash__count(ctx, pCols, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszId = NULL;
    const char *pszType = NULL;
    QK_vhash *pRecord = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pCols, i, &pszId, &pRecord));
    QK_TRY(ctx, check_type_name(ctx, pRecord, &pszType));
    if (pszType != NULL && strcmp(pszType, "identity") == 0) {
      *ppsz_col_id = pszId;
      break;
    }
  }
done:;
}

void tav_defin__get_identity_info(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                  int *pbIsIdentity, const char **ppsz_constraint_name) {
  QK_vhash *pRecord = NULL;
  QK_vhash *pType = NULL;
  const char *pszType = NULL;
  const char *pszConstraint = NULL;
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, check_type_name(ctx, pRecord, &pszType));
  if (pszType != NULL && strcmp(pszType, "identity") == 0) {
    QK_TRY(ctx, QK_vhash__get__vhash(ctx, pRecord, "type", &pType));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pType, "constraint_name", &pszConstraint));
  }
  if (pbIsIdentity != NULL) *pbIsIdentity = pType != NULL;
  if (ppsz_constraint_name != NULL) *ppsz_constraint_name = pszConstraint;
done:;
}

/* ---- Column attributes ---- */

static void get_type_record(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                            QK_vhash **ppType) {
  QK_vhash *pRecord = NULL;
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pRecord, "type", ppType));
done:;
}

void tav_defin__get_column_type(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char **ppsz_type, const char **ppsz_decl_type) {
  QK_vhash *pType = NULL;
  const char *pszName = NULL;
  QK_TRY(ctx, get_type_record(ctx, psk, psz_tbl_id, psz_col_id, &pType));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pType, "name", &pszName));
  if (ppsz_type != NULL) *ppsz_type = pszName;
  if (ppsz_decl_type != NULL) *ppsz_decl_type = pszName ? tav_defin__sqlite_decl_type(pszName) : NULL;
done:;
}

/* A boolean attribute of the type: whether it is present and its value. */
static void get_type_flag(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                          const char *psz_key, int *pbPresent, int *pbValue) {
  QK_vhash *pType = NULL;
  QK_variant *pv = NULL;
  int value = 0;
  QK_TRY(ctx, get_type_record(ctx, psk, psz_tbl_id, psz_col_id, &pType));
  QK_TRY(ctx, QK_vhash__check__variant(ctx, pType, psz_key, &pv));
  if (pv != NULL) QK_TRY(ctx, QK_variant__get__bool(ctx, pv, &value));
  if (pbPresent != NULL) *pbPresent = pv != NULL;
  if (pbValue != NULL) *pbValue = value;
done:;
}

void tav_defin__get_fixed_width(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                int *pbPresent, int *pbValue) {
  QK_TRY(ctx, get_type_flag(ctx, psk, psz_tbl_id, psz_col_id, "fixed_width", pbPresent, pbValue));
done:;
}

void tav_defin__get_unicode(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                            int *pbPresent, int *pbValue) {
  QK_TRY(ctx, get_type_flag(ctx, psk, psz_tbl_id, psz_col_id, "unicode", pbPresent, pbValue));
done:;
}

/* An integer attribute of the type, -1 when absent. */
static void get_type_int(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                         const char *psz_key, QK_int32 *pValue) {
  QK_vhash *pType = NULL;
  QK_int32 value = -1;
  QK_ARG_NOT_NULL(ctx, pValue);
  QK_TRY(ctx, get_type_record(ctx, psk, psz_tbl_id, psz_col_id, &pType));
  QK_TRY(ctx, QK_vhash__check__int32(ctx, pType, psz_key, &value));
  *pValue = value;
done:;
}

void tav_defin__get_precision(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              QK_int32 *pValue) {
  QK_TRY(ctx, get_type_int(ctx, psk, psz_tbl_id, psz_col_id, "precision", pValue));
done:;
}

void tav_defin__get_scale(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                          QK_int32 *pValue) {
  QK_TRY(ctx, get_type_int(ctx, psk, psz_tbl_id, psz_col_id, "scale", pValue));
done:;
}

void tav_defin__get_width(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                          QK_int32 *pValue) {
  QK_TRY(ctx, get_type_int(ctx, psk, psz_tbl_id, psz_col_id, "width", pValue));
done:;
}

void tav_defin__get_host_type(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              const char **ppsz_host_type) {
  QK_vhash *pType = NULL;
  QK_TRY(ctx, get_type_record(ctx, psk, psz_tbl_id, psz_col_id, &pType));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pType, "host_type", ppsz_host_type));
done:;
}

void tav_defin__get_column_defval(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                  int *pbPresent, const char **ppsz_name, const char **ppsz_expr) {
  QK_vhash *pRecord = NULL;
  QK_vhash *pDefval = NULL;
  const char *pszName = NULL;
  const char *pszExpr = NULL;
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, pRecord, "defval", &pDefval));
  if (pDefval != NULL) {
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pDefval, "expr", &pszExpr));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pDefval, "name", &pszName));
  }
  if (pbPresent != NULL) *pbPresent = pDefval != NULL;
  if (ppsz_name != NULL) *ppsz_name = pszName;
  if (ppsz_expr != NULL) *ppsz_expr = pszExpr;
done:;
}

void tav_defin__get_column_fk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              int *pbHasFk, const char **ppsz_name, const char **ppsz_ref_tbl_id,
                              const char **ppsz_ref_col_id, const char **ppsz_on_delete,
                              const char **ppsz_on_update) {
  static const char *const keys[] = {"name", "ref_tbl_id", "ref_col_id", "on_delete", "on_update"};
  const char **outs[] = {ppsz_name, ppsz_ref_tbl_id, ppsz_ref_col_id, ppsz_on_delete, ppsz_on_update};
  QK_vhash *pRecord = NULL;
  QK_vhash *pFk = NULL;
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, pRecord, "fk", &pFk));
  for (int i = 0; i < 5; i++) {
    if (outs[i] == NULL) continue;
    *outs[i] = NULL;
    if (pFk != NULL) QK_TRY(ctx, QK_vhash__check__sz(ctx, pFk, keys[i], outs[i]));
  }
  if (pbHasFk != NULL) *pbHasFk = pFk != NULL;
done:;
}

void tav_defin__get_mssql_col_data_type(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                        const char *psz_col_id, const char **ppsz_type) {
  QK_vhash *pRecord = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, psz_tbl_id);
  QK_ARG_NOT_NULL(ctx, psz_col_id);
  if (ppsz_type == NULL) goto done;
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pRecord, "mssql_col_data_type", ppsz_type));
done:;
}

/* ---- Host internals ---- */

static void get_host_int(QK_context *ctx, tav_defin *psk, const char *psz_map, const char *psz_tbl_id,
                         const char *psz_col_id, QK_int64 *pValue) {
  QK_vhash *pEntry = NULL;
  QK_int64 value = 0;
  QK_ARG_NOT_NULL(ctx, psz_col_id);
  QK_ARG_NOT_NULL(ctx, pValue);
  QK_TRY(ctx, check_host_entry(ctx, psk, psz_map, psz_tbl_id, &pEntry));
  if (pEntry != NULL) QK_TRY(ctx, QK_vhash__check__int64(ctx, pEntry, psz_col_id, &value));
  *pValue = value;
done:;
}

static void get_host_text(QK_context *ctx, tav_defin *psk, const char *psz_map, const char *psz_tbl_id,
                          const char *psz_col_id, const char **ppsz_value) {
  QK_vhash *pEntry = NULL;
  QK_ARG_NOT_NULL(ctx, psz_col_id);
  QK_ARG_NOT_NULL(ctx, ppsz_value);
  *ppsz_value = NULL;
  QK_TRY(ctx, check_host_entry(ctx, psk, psz_map, psz_tbl_id, &pEntry));
  if (pEntry != NULL) QK_TRY(ctx, QK_vhash__check__sz(ctx, pEntry, psz_col_id, ppsz_value));
done:;
}

void tav_defin__get_col_dump_txid(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                  QK_int64 *pTxid) {
  QK_TRY(ctx, get_host_int(ctx, psk, "col-dump-txids", psz_tbl_id, psz_col_id, pTxid));
done:;
}

void tav_defin__get_col_dump_gen(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                 QK_int64 *pGen) {
  QK_TRY(ctx, get_host_int(ctx, psk, "col-dump-gen", psz_tbl_id, psz_col_id, pGen));
done:;
}

void tav_defin__get_fk_rules(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppRules) {
  QK_ARG_NOT_NULL(ctx, ppRules);
  QK_TRY(ctx, check_host_entry(ctx, psk, "fk-rules", psz_tbl_id, ppRules));
done:;
}

void tav_defin__get_collation(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              const char **ppsz_collation) {
  QK_TRY(ctx, get_host_text(ctx, psk, "collations", psz_tbl_id, psz_col_id, ppsz_collation));
done:;
}

void tav_defin__get_host_defval(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char **ppsz_defval) {
  QK_TRY(ctx, get_host_text(ctx, psk, "defvals", psz_tbl_id, psz_col_id, ppsz_defval));
done:;
}

/* ---- Existence tests ---- */

/* Whether pvh holds the lower-cased id. */
static void has_lower(QK_context *ctx, QK_vhash *pvh, const char *psz_id, int *pbHas) {
  char *pszLower = NULL;
  QK_TRY(ctx, tav_defin__lower_id(ctx, psz_id, &pszLower));
  QK_TRY(ctx, QK_vhash__has(ctx, pvh, pszLower, pbHas));
done:
  QK_free(ctx, pszLower);
}

void tav_defin__has_table(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int *pbHas) {
  QK_vhash *pTbls = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, pbHas);
  *pbHas = 0;
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, psk->schema, "tbls", &pTbls));
  if (pTbls != NULL) QK_TRY(ctx, has_lower(ctx, pTbls, psz_tbl_id, pbHas));
done:;
}

void tav_defin__has_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                           int *pbHas) {
  QK_vhash *pCols = NULL;
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  QK_TRY(ctx, has_lower(ctx, pCols, psz_col_id, pbHas));
done:;
}

void tav_defin__is_key_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              int *pbIsKey) {
  const char *pszRowid = NULL;
  QK_vhash *pPkCols = NULL;
  QK_ARG_NOT_NULL(ctx, psz_col_id);
  QK_ARG_NOT_NULL(ctx, pbIsKey);
  *pbIsKey = 0;
  QK_TRY(ctx, tav_defin__get_rowid_column(ctx, psk, psz_tbl_id, &pszRowid));
  if (pszRowid != NULL) {
    *pbIsKey = strcmp(pszRowid, psz_col_id) == 0;
    goto done;
  }
  QK_TRY(ctx, check_pk_cols(ctx, psk, psz_tbl_id, &pPkCols));
  if (pPkCols != NULL) QK_TRY(ctx, QK_vhash__has(ctx, pPkCols, psz_col_id, pbIsKey));
done:;
}

void tav_defin__is_unprep_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                 int *pbIsUnprep) {
  QK_vhash *pEntry = NULL;
  QK_ARG_NOT_NULL(ctx, pbIsUnprep);
  *pbIsUnprep = 0;
  QK_TRY(ctx, check_host_entry(ctx, psk, "unprep-cols", psz_tbl_id, &pEntry));
  if (pEntry != NULL) QK_TRY(ctx, has_lower(ctx, pEntry, psz_col_id, pbIsUnprep));
done:;
}

int tav_defin__is_spatial_host_type(const char *psz_type) {
  return psz_type != NULL && (QK_stricmp(psz_type, "geography") == 0 || QK_stricmp(psz_type, "geometry") == 0 ||
                              QK_stricmp(psz_type, "hierarchyid") == 0);
}

/* ---- Column lists and SQL fragments ---- */

/* Whether a column record is a blob that is not declared fixed-width: such values are
 * selected as VARBINARY(MAX). */
static void is_variable_blob(QK_context *ctx, QK_vhash *pRecord, int *pbVariable) {
  QK_vhash *pType = NULL;
  const char *pszType = NULL;
  int bFixed = 0;
  *pbVariable = 0;
  QK_TRY(ctx, check_type_name(ctx, pRecord, &pszType));
  if (pszType == NULL || strcmp(pszType, "blob") != 0) goto done;
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pRecord, "type", &pType));
  QK_TRY(ctx, QK_vhash__check__bool(ctx, pType, "fixed_width", &bFixed));
  *pbVariable = !bFixed;
done:;
}

/* Adds every column of cols to the list under its name; 46 on a repeated name. */
static void add_columns_by_name(QK_context *ctx, QK_vhash *pCols, int bWithTypes, QK_vhash *pList) {
  QK_uint32 count = 0;
  QK_TRY(ctx, QK_vhash__count(ctx, pCols, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszId = NULL;
    const char *pszName = NULL;
    QK_vhash *pRecord = NULL;
    int bVariableBlob = 0;
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pCols, i, &pszId, &pRecord));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pRecord, "name", &pszName));
    if (!bWithTypes) {
      QK_TRY(ctx, QK_vhash__add__string(ctx, pList, pszName, pszId));
      continue;
    }
    QK_TRY(ctx, is_variable_blob(ctx, pRecord, &bVariableBlob));
    if (bVariableBlob)
      QK_TRY(ctx, QK_vhash__add__string(ctx, pList, pszName, "VARBINARY(MAX)"));
    else
      QK_TRY(ctx, QK_vhash__add__null(ctx, pList, pszName));
  }
done:;
}

void tav_defin__map_column_names(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppMap) {
  QK_vhash *pCols = NULL;
  QK_vhash *pMap = NULL;
  QK_ARG_NOT_NULL(ctx, ppMap);
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pMap));
  QK_TRY(ctx, add_columns_by_name(ctx, pCols, 0, pMap));
  *ppMap = pMap;
  pMap = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pMap));
}

void tav_defin__list_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int bWithUnprepared,
                             QK_vhash **ppList) {
  QK_vhash *pCols = NULL;
  QK_vhash *pUnprep = NULL;
  QK_vhash *pList = NULL;
  QK_ARG_NOT_NULL(ctx, ppList);
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  QK_TRY(ctx, QK_vhash__alloc(ctx, &pList));
  QK_TRY(ctx, add_columns_by_name(ctx, pCols, 1, pList));
  if (bWithUnprepared) QK_TRY(ctx, check_host_entry(ctx, psk, "unprep-cols", psz_tbl_id, &pUnprep));
  if (pUnprep != NULL) QK_TRY(ctx, add_columns_by_name(ctx, pUnprep, 1, pList));
  *ppList = pList;
  pList = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pList));
}

/* "q"."c" (or "c" without qualifier). */
static void append_quoted_column(QK_context *ctx, QK_string *s, const char *psz_qualifier, const char *psz_name) {
  if (psz_qualifier != NULL) {
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, s, psz_qualifier));
    QK_TRY(ctx, QK_string__append__sz(ctx, s, "."));
  }
  QK_TRY(ctx, tav_sql__append_quoted_name(ctx, s, psz_name));
done:;
}

/* Builds a list over the key columns, each element made by the callback. */
typedef void (*key_element_fn)(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                               const char *psz_col_name, const void *pArgs, QK_string *s);

static void build_key_list(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_separator,
                           key_element_fn fn, const void *pArgs, QK_string **ppOut) {
  QK_string *pOut = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, ppOut);
  QK_TRY(ctx, tav_defin__count_key_columns(ctx, psk, psz_tbl_id, &count));
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszId = NULL;
    const char *pszName = NULL;
    QK_TRY(ctx, tav_defin__get_key_column_at(ctx, psk, psz_tbl_id, (int)i, &pszId, &pszName));
    if (pszName == NULL)
      QK_THROW_FMT(ctx, QK_ERR_VHASH_KEY_NOT_FOUND, "col id '%s' in tbl id '%s' has no name", pszId, psz_tbl_id);
    if (i > 0) QK_TRY(ctx, QK_string__append__sz(ctx, pOut, psz_separator));
    QK_TRY(ctx, fn(ctx, psk, psz_tbl_id, pszId, pszName, pArgs, pOut));
  }
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

void tav_defin__quoted_column_names(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_string **ppOut) {
  QK_vhash *pCols = NULL;
  QK_string *pOut = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, ppOut);
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  QK_TRY(ctx, QK_vhash__count(ctx, pCols, &count));
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *pRecord = NULL;
    const char *pszName = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pCols, i, NULL, &pRecord));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pRecord, "name", &pszName));
    if (i > 0) QK_TRY(ctx, QK_string__append__sz(ctx, pOut, ","));
    QK_TRY(ctx, tav_sql__append_quoted_name(ctx, pOut, pszName));
  }
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

static void quoted_name_element(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char *psz_col_name, const void *pArgs, QK_string *s) {
  (void)psk, (void)psz_tbl_id, (void)psz_col_id, (void)pArgs;
  QK_TRY(ctx, tav_sql__append_quoted_name(ctx, s, psz_col_name));
done:;
}

void tav_defin__quoted_key_column_names(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                        QK_string **ppOut) {
  QK_TRY(ctx, build_key_list(ctx, psk, psz_tbl_id, ",", quoted_name_element, NULL, ppOut));
done:;
}

/* The id of a column named by the caller; error 1 when the table has no such column. */
static void require_column_id(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_name,
                              const char **ppsz_col_id) {
  QK_TRY(ctx, tav_defin__get_column_id(ctx, psk, psz_tbl_id, psz_col_name, ppsz_col_id));
  if (*ppsz_col_id == NULL)
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "col name '%s' not found in tbl id '%s' in schema", psz_col_name,
                 psz_tbl_id);
done:;
}

/* One select expression: the quoted column, cast to VARBINARY(MAX) for a variable blob. */
static void append_select_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                 const char *psz_col_name, const void *pArgs, QK_string *s) {
  QK_vhash *pRecord = NULL;
  int bVariableBlob = 0;
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, is_variable_blob(ctx, pRecord, &bVariableBlob));
  if (bVariableBlob) QK_TRY(ctx, QK_string__append__sz(ctx, s, "CAST("));
  QK_TRY(ctx, append_quoted_column(ctx, s, (const char *)pArgs, psz_col_name));
  if (bVariableBlob) QK_TRY(ctx, QK_string__append__sz(ctx, s, " AS VARBINARY(MAX))"));
done:;
}

void tav_defin__tsql_select_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                   const char *psz_col_name, const char *psz_qualifier, QK_string **ppOut) {
  QK_string *pOut = NULL;
  const char *pszId = NULL;
  QK_ARG_NOT_NULL(ctx, ppOut);
  QK_TRY(ctx, require_column_id(ctx, psk, psz_tbl_id, psz_col_name, &pszId));
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  QK_TRY(ctx, append_select_column(ctx, psk, psz_tbl_id, pszId, psz_col_name, psz_qualifier, pOut));
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

void tav_defin__tsql_select_key_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                        const char *psz_qualifier, QK_string **ppOut) {
  QK_TRY(ctx, build_key_list(ctx, psk, psz_tbl_id, ",", append_select_column, psz_qualifier, ppOut));
done:;
}

/* One side of a key comparison or a select-list element: the quoted column, or, for a
 * column that carries identity values, the identity key text read as a number (mode 1) or a
 * number decorated as a server identity key text (mode 2). */
static void append_identity_side(QK_context *ctx, QK_string *s, int mode, int bResolved, const char *psz_qualifier,
                                 const char *psz_col_name) {
  int bCast = bResolved && (mode == 1 || mode == 2);
  if (bCast) QK_TRY(ctx, QK_string__append__sz(ctx, s, mode == 1 ? "(CAST(SUBSTRING(" : "('S:' + CAST("));
  QK_TRY(ctx, append_quoted_column(ctx, s, psz_qualifier, psz_col_name));
  if (bCast) QK_TRY(ctx, QK_string__append__sz(ctx, s, mode == 1 ? ",3,25) AS bigint))" : " AS varchar(25)))"));
done:;
}

/* Whether the column is, or ultimately references, an identity column. */
static void resolves_to_identity(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                 int *pbResolved) {
  const char *pszTbl = NULL;
  QK_TRY(ctx, tav_defin__resolve_identity_column(ctx, psk, psz_tbl_id, psz_col_id, &pszTbl, NULL));
  *pbResolved = pszTbl != NULL;
done:;
}

typedef struct {
  const char *psz_left;
  const char *psz_right;
  int left_mode;
  int right_mode;
} key_compare_args;

static void append_key_equality(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char *psz_col_name, const void *pArgs, QK_string *s) {
  const key_compare_args *a = (const key_compare_args *)pArgs;
  int bResolved = 0;
  if (a->left_mode != 0 || a->right_mode != 0)
    QK_TRY(ctx, resolves_to_identity(ctx, psk, psz_tbl_id, psz_col_id, &bResolved));
  QK_TRY(ctx, append_identity_side(ctx, s, a->left_mode, bResolved, a->psz_left, psz_col_name));
  QK_TRY(ctx, QK_string__append__sz(ctx, s, "="));
  QK_TRY(ctx, append_identity_side(ctx, s, a->right_mode, bResolved, a->psz_right, psz_col_name));
done:;
}

void tav_defin__tsql_key_compare(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_left,
                                 const char *psz_right, int left_mode, int right_mode, QK_string **ppOut) {
  key_compare_args args = {psz_left, psz_right, left_mode, right_mode};
  QK_TRY(ctx, build_key_list(ctx, psk, psz_tbl_id, " AND ", append_key_equality, &args, ppOut));
done:;
}

/* The cast type of a select-list column: the list's own text with use_list_types, else
 * VARBINARY(n or MAX) for a spatial SQL Server type (known only with cast_spatial), else NULL. */
static void select_list_cast_type(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_name,
                                  QK_variant *pListValue, int use_list_types, int cast_spatial, char *szBuf,
                                  QK_uint32 lenBuf, const char **ppsz_cast) {
  const char *pszMssqlType = NULL;
  *ppsz_cast = NULL;
  if (cast_spatial) {
    const char *pszId = NULL;
    QK_TRY(ctx, require_column_id(ctx, psk, psz_tbl_id, psz_col_name, &pszId));
    QK_TRY(ctx, tav_defin__get_mssql_col_data_type(ctx, psk, psz_tbl_id, pszId, &pszMssqlType));
    if (tav_defin__is_spatial_host_type(pszMssqlType)) {
      int bFixedPresent = 0;
      QK_int32 width = -1;
      QK_TRY(ctx, tav_defin__get_fixed_width(ctx, psk, psz_tbl_id, pszId, &bFixedPresent, NULL));
      QK_TRY(ctx, tav_defin__get_width(ctx, psk, psz_tbl_id, pszId, &width));
      if (bFixedPresent && width > 0)
        QK_TRY(ctx, QK_sprintf_buf(ctx, szBuf, lenBuf, "VARBINARY(%d)", (int)width));
      else
        QK_TRY(ctx, QK_strcpy(ctx, szBuf, lenBuf, "VARBINARY(MAX)"));
    }
  }
  if (use_list_types && pListValue != NULL && pListValue->type == QK_VARIANT_TYPE_SZ)
    *ppsz_cast = pListValue->u.psz;
  else if (tav_defin__is_spatial_host_type(pszMssqlType))
    *ppsz_cast = szBuf;
done:;
}

void tav_defin__tsql_select_list(QK_context *ctx, int identity_mode, tav_defin *psk, const char *psz_tbl_id,
                                 QK_vhash *pColumns, const char *psz_skip_name, const char *psz_qualifier,
                                 int use_list_types, int cast_spatial, QK_string **ppOut) {
  QK_string *pOut = NULL;
  QK_uint32 count = 0;
  int bFirst = 1;
  QK_ARG_NOT_NULL(ctx, pColumns);
  QK_ARG_NOT_NULL(ctx, ppOut);
  QK_TRY(ctx, QK_vhash__count(ctx, pColumns, &count));
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszName = NULL;
    QK_variant *pValue = NULL;
    const char *pszCast = NULL;
    char szCast[32];
    int bResolved = 0;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pColumns, i, &pszName, &pValue));
    if (psz_skip_name != NULL && strcmp(pszName, psz_skip_name) == 0) continue;
    if (!bFirst) QK_TRY(ctx, QK_string__append__sz(ctx, pOut, ","));
    bFirst = 0;
    if (identity_mode == 1 || identity_mode == 2) {
      const char *pszId = NULL;
      QK_TRY(ctx, tav_defin__get_column_id(ctx, psk, psz_tbl_id, pszName, &pszId));
      if (pszId != NULL) QK_TRY(ctx, resolves_to_identity(ctx, psk, psz_tbl_id, pszId, &bResolved));
    }
    if (bResolved) {
      QK_TRY(ctx, append_identity_side(ctx, pOut, identity_mode, 1, psz_qualifier, pszName));
      continue;
    }
    QK_TRY(ctx, select_list_cast_type(ctx, psk, psz_tbl_id, pszName, pValue, use_list_types, cast_spatial, szCast,
                                      sizeof szCast, &pszCast));
    if (pszCast != NULL) QK_TRY(ctx, QK_string__append__sz(ctx, pOut, "CAST("));
    QK_TRY(ctx, append_quoted_column(ctx, pOut, psz_qualifier, pszName));
    if (pszCast != NULL) QK_TRY(ctx, QK_string__append__format(ctx, pOut, " AS %s)", pszCast));
  }
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

/* ---- Plain schema documents ---- */

static void schema_table(QK_context *ctx, QK_vhash *pSchema, const char *psz_tbl_id, QK_vhash **ppTable) {
  QK_vhash *pTbls = NULL;
  QK_ARG_NOT_NULL(ctx, pSchema);
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pSchema, "tbls", &pTbls));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pTbls, psz_tbl_id, ppTable));
done:;
}

static void schema_cols(QK_context *ctx, QK_vhash *pSchema, const char *psz_tbl_id, QK_vhash **ppCols) {
  QK_vhash *pTable = NULL;
  QK_TRY(ctx, schema_table(ctx, pSchema, psz_tbl_id, &pTable));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pTable, "cols", ppCols));
done:;
}

void tav_schema__count_tables(QK_context *ctx, QK_vhash *pSchema, QK_uint32 *pCount) {
  QK_vhash *pTbls = NULL;
  QK_ARG_NOT_NULL(ctx, pSchema);
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pSchema, "tbls", &pTbls));
  QK_TRY(ctx, QK_vhash__count(ctx, pTbls, pCount));
done:;
}

void tav_schema__get_table_id_at(QK_context *ctx, QK_vhash *pSchema, int index, const char **ppsz_tbl_id) {
  QK_vhash *pTbls = NULL;
  QK_ARG_NOT_NULL(ctx, pSchema);
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pSchema, "tbls", &pTbls));
  QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pTbls, (QK_uint32)index, ppsz_tbl_id, NULL));
done:;
}

void tav_schema__get_table_txid(QK_context *ctx, QK_vhash *pSchema, const char *psz_tbl_id, QK_int64 *pTxid) {
  QK_vhash *pTable = NULL;
  QK_TRY(ctx, schema_table(ctx, pSchema, psz_tbl_id, &pTable));
  QK_TRY(ctx, QK_vhash__get__int64(ctx, pTable, "txid", pTxid));
done:;
}

void tav_schema__count_columns(QK_context *ctx, QK_vhash *pSchema, const char *psz_tbl_id, QK_uint32 *pCount) {
  QK_vhash *pCols = NULL;
  QK_TRY(ctx, schema_cols(ctx, pSchema, psz_tbl_id, &pCols));
  QK_TRY(ctx, QK_vhash__count(ctx, pCols, pCount));
done:;
}

void tav_schema__get_column_id_at(QK_context *ctx, QK_vhash *pSchema, const char *psz_tbl_id, int index,
                                  const char **ppsz_col_id) {
  QK_vhash *pCols = NULL;
  QK_TRY(ctx, schema_cols(ctx, pSchema, psz_tbl_id, &pCols));
  QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pCols, (QK_uint32)index, ppsz_col_id, NULL));
done:;
}

void tav_schema__get_column_name(QK_context *ctx, QK_vhash *pSchema, const char *psz_tbl_id,
                                 const char *psz_col_id, const char **ppsz_name) {
  QK_vhash *pCols = NULL;
  QK_vhash *pRecord = NULL;
  QK_TRY(ctx, schema_cols(ctx, pSchema, psz_tbl_id, &pCols));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pCols, psz_col_id, &pRecord));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pRecord, "name", ppsz_name));
done:;
}
