/* The schema definition record: constructors, JSON output, builders and shared lookups. */
#include "common/tav_parse_defin.h"

#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"

/* ---- Constructors, destructor, output ---- */

void tav_defin__alloc_from_vhash(QK_context *ctx, tav_defin **ppNew, QK_vhash **ppSchema,
                                 QK_vhash **ppHostInternals) {
  tav_defin *pNew = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_ARG_NOT_NULL(ctx, ppSchema);
  QK_ARG_NOT_NULL(ctx, *ppSchema);
  QK_TRY(ctx, QK_alloc(ctx, 1, sizeof(tav_defin), &pNew));
  pNew->schema = *ppSchema;
  *ppSchema = NULL;
  if (ppHostInternals != NULL) {
    pNew->host_internals = *ppHostInternals;
    *ppHostInternals = NULL;
  }
  *ppNew = pNew;
done:;
}

void tav_defin__alloc_from_json(QK_context *ctx, const char *szJson, tav_defin **ppNew) {
  QK_vhash *pSchema = NULL;
  QK_ARG_NOT_NULL(ctx, ppNew);
  QK_TRY(ctx, QK_vhash__alloc__from_json(ctx, &pSchema, szJson));
  QK_TRY(ctx, tav_defin__alloc_from_vhash(ctx, ppNew, &pSchema, NULL));
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pSchema));
}

void tav_defin__alloc(QK_context *ctx, QK_uint32 compat_level, tav_defin **ppNew) {
  char szJson[64];
  QK_TRY(ctx, QK_sprintf_buf(ctx, szJson, sizeof szJson, "{\"compat_level\":%u}", (unsigned)compat_level));
  QK_TRY(ctx, tav_defin__alloc_from_json(ctx, szJson, ppNew));
done:;
}

void tav_defin__free(QK_context *ctx, tav_defin **ppsk) {
  tav_defin *psk;
  if (ppsk == NULL || *ppsk == NULL) return;
  psk = *ppsk;
  QK_RELEASE(ctx, QK_vhash__free(ctx, psk->schema));
  QK_RELEASE(ctx, QK_vhash__free(ctx, psk->host_internals));
  QK_RELEASE(ctx, QK_free(ctx, psk));
  *ppsk = NULL;
}

void tav_defin__to_json(QK_context *ctx, tav_defin *psk, QK_string **ppOut) {
  QK_string *pOut = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, ppOut);
  QK_TRY(ctx, QK_string__alloc(ctx, &pOut));
  QK_TRY(ctx, QK_vhash__to_json(ctx, psk->schema, pOut));
  *ppOut = pOut;
  pOut = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pOut));
}

void tav_defin__put_into_vhash(QK_context *ctx, tav_defin *psk, QK_vhash *pTarget, int bWithHostInternals) {
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, pTarget);
  QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pTarget, "schema", NULL));
  QK_TRY(ctx, QK_vhash__addcopy__vhash(ctx, pTarget, "schema", psk->schema));
  if (bWithHostInternals) {
    QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pTarget, "host_internals", NULL));
    if (psk->host_internals != NULL)
      QK_TRY(ctx, QK_vhash__addcopy__vhash(ctx, pTarget, "host_internals", psk->host_internals));
  }
done:;
}

/* ---- Shared lookups ---- */

void tav_defin__lower_id(QK_context *ctx, const char *psz_id, char **ppszLower) {
  char *psz = NULL;
  QK_ARG_NOT_NULL(ctx, psz_id);
  QK_TRY(ctx, QK_strdup(ctx, psz_id, &psz));
  for (char *p = psz; *p; p++)
    if (*p >= 'A' && *p <= 'Z') *p = (char)(*p - 'A' + 'a');
  *ppszLower = psz;
done:;
}

/* The child object under the lower-cased id, or NULL when absent. */
static void check_lower(QK_context *ctx, QK_vhash *pvh, const char *psz_id, QK_vhash **ppChild) {
  char *pszLower = NULL;
  QK_TRY(ctx, tav_defin__lower_id(ctx, psz_id, &pszLower));
  QK_TRY(ctx, QK_vhash__check__vhash(ctx, pvh, pszLower, ppChild));
done:
  QK_free(ctx, pszLower);
}

void tav_defin__get_table_record(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppTable) {
  QK_vhash *pTbls = NULL;
  QK_vhash *pTable = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, psz_tbl_id);
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, psk->schema, "tbls", &pTbls));
  QK_TRY(ctx, check_lower(ctx, pTbls, psz_tbl_id, &pTable));
  if (pTable == NULL)
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "table id '%s' not found in schema", psz_tbl_id);
  *ppTable = pTable;
done:;
}

/* How a table member is read: absent gives NULL, 47, or a new empty object. */
typedef enum { MEMBER_CHECK, MEMBER_GET, MEMBER_ENSURE } member_mode;

static void table_member(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_key,
                         member_mode mode, QK_vhash **ppMember) {
  QK_vhash *pTable = NULL;
  QK_TRY(ctx, tav_defin__get_table_record(ctx, psk, psz_tbl_id, &pTable));
  if (mode == MEMBER_CHECK)
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pTable, psz_key, ppMember));
  else if (mode == MEMBER_GET)
    QK_TRY(ctx, QK_vhash__get__vhash(ctx, pTable, psz_key, ppMember));
  else
    QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pTable, psz_key, ppMember));
done:;
}

void tav_defin__get_table_cols(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppCols) {
  QK_TRY(ctx, table_member(ctx, psk, psz_tbl_id, "cols", MEMBER_ENSURE, ppCols));
done:;
}

void tav_defin__check_table_pk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppPk) {
  QK_TRY(ctx, table_member(ctx, psk, psz_tbl_id, "pk", MEMBER_CHECK, ppPk));
done:;
}

void tav_defin__get_table_pk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppPk) {
  QK_TRY(ctx, table_member(ctx, psk, psz_tbl_id, "pk", MEMBER_GET, ppPk));
done:;
}

void tav_defin__check_table_fks(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppFks) {
  QK_TRY(ctx, table_member(ctx, psk, psz_tbl_id, "foreignkeys", MEMBER_CHECK, ppFks));
done:;
}

void tav_defin__get_table_fks(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppFks) {
  QK_TRY(ctx, table_member(ctx, psk, psz_tbl_id, "foreignkeys", MEMBER_GET, ppFks));
done:;
}

void tav_defin__ensure_table_fks(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppFks) {
  QK_TRY(ctx, table_member(ctx, psk, psz_tbl_id, "foreignkeys", MEMBER_ENSURE, ppFks));
done:;
}

void tav_defin__get_column_record(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                  const char *psz_col_id, QK_vhash **ppRecord) {
  QK_vhash *pCols = NULL;
  QK_vhash *pRecord = NULL;
  QK_ARG_NOT_NULL(ctx, psz_col_id);
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  QK_TRY(ctx, check_lower(ctx, pCols, psz_col_id, &pRecord));
  if (pRecord == NULL && psk->host_internals != NULL) {
    QK_vhash *pUnprep = NULL;
    QK_vhash *pTableUnprep = NULL;
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, psk->host_internals, "unprep-cols", &pUnprep));
    if (pUnprep != NULL) QK_TRY(ctx, QK_vhash__check__vhash(ctx, pUnprep, psz_tbl_id, &pTableUnprep));
    if (pTableUnprep != NULL) QK_TRY(ctx, check_lower(ctx, pTableUnprep, psz_col_id, &pRecord));
  }
  if (pRecord == NULL)
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "col id '%s' not found in tbl id '%s' in schema", psz_col_id,
                 psz_tbl_id);
  *ppRecord = pRecord;
done:;
}

void tav_defin__remove_key_callback(QK_context *ctx, void *pData, QK_vhash *pvh, const char *key,
                                    QK_variant *pv) {
  (void)pvh;
  (void)key;
  if (pv->type != QK_VARIANT_TYPE_VHASH) return;
  QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pv->u.pvh, (const char *)pData, NULL));
done:;
}

/* ---- Builders ---- */

static void ensure_backend(QK_context *ctx, tav_defin *psk, QK_vhash **ppBackend) {
  QK_ARG_NOT_NULL(ctx, psk);
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, psk->schema, "backend", ppBackend));
done:;
}

void tav_defin__set_indistinct_unique_nulls(QK_context *ctx, tav_defin *psk, int value) {
  QK_vhash *pBackend = NULL;
  QK_TRY(ctx, ensure_backend(ctx, psk, &pBackend));
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pBackend, "indistinct_unique_nulls", value != 0));
done:;
}

void tav_defin__set_backend_name(QK_context *ctx, tav_defin *psk, const char *psz_name) {
  QK_vhash *pBackend = NULL;
  QK_ARG_NOT_NULL(ctx, psz_name);
  QK_TRY(ctx, ensure_backend(ctx, psk, &pBackend));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pBackend, "name", psz_name));
done:;
}

void tav_defin__set_backend_api(QK_context *ctx, tav_defin *psk, const char *psz_api) {
  QK_vhash *pBackend = NULL;
  QK_ARG_NOT_NULL(ctx, psz_api);
  QK_TRY(ctx, ensure_backend(ctx, psk, &pBackend));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pBackend, "api", psz_api));
done:;
}

void tav_defin__set_filter_id(QK_context *ctx, tav_defin *psk, QK_int64 filter_id) {
  QK_ARG_NOT_NULL(ctx, psk);
  QK_TRY(ctx, QK_vhash__update__int64(ctx, psk->schema, "filter_id", filter_id));
done:;
}

void tav_defin__add_table(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_name,
                          QK_int64 txid) {
  QK_vhash *pTbls = NULL;
  QK_vhash *pTable = NULL;
  char *pszLower = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, psz_name);
  QK_TRY(ctx, tav_defin__lower_id(ctx, psz_tbl_id, &pszLower));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, psk->schema, "tbls", &pTbls));
  QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, pTbls, pszLower, &pTable));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pTable, "name", psz_name));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pTable, "txid", txid));
done:
  QK_free(ctx, pszLower);
}

void tav_defin__set_table_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_name) {
  QK_vhash *pTable = NULL;
  QK_ARG_NOT_NULL(ctx, psz_name);
  QK_TRY(ctx, tav_defin__get_table_record(ctx, psk, psz_tbl_id, &pTable));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pTable, "name", psz_name));
done:;
}

static void ensure_host_internals(QK_context *ctx, tav_defin *psk) {
  QK_ARG_NOT_NULL(ctx, psk);
  if (psk->host_internals == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, &psk->host_internals));
done:;
}

/* The per-table object of a host-internals map (both created on first write). */
static void ensure_host_table_entry(QK_context *ctx, tav_defin *psk, const char *psz_map, const char *psz_tbl_id,
                                    QK_vhash **ppEntry) {
  QK_vhash *pMap = NULL;
  QK_ARG_NOT_NULL(ctx, psz_tbl_id);
  QK_TRY(ctx, ensure_host_internals(ctx, psk));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, psk->host_internals, psz_map, &pMap));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pMap, psz_tbl_id, ppEntry));
done:;
}

void tav_defin__add_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                           const char *psz_name, int bPrepared, QK_int64 dump_txid, QK_int64 dump_gen) {
  QK_vhash *pCols = NULL;
  QK_vhash *pRecord = NULL;
  char *pszLower = NULL;
  QK_ARG_NOT_NULL(ctx, psz_name);
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  if (!bPrepared) QK_TRY(ctx, ensure_host_table_entry(ctx, psk, "unprep-cols", psz_tbl_id, &pCols));
  QK_TRY(ctx, tav_defin__lower_id(ctx, psz_col_id, &pszLower));
  QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, pCols, pszLower, &pRecord));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pRecord, "name", psz_name));
  if (dump_txid > 0) QK_TRY(ctx, tav_defin__set_col_dump(ctx, psk, psz_tbl_id, psz_col_id, dump_txid, dump_gen));
done:
  QK_free(ctx, pszLower);
}

void tav_defin__set_column_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char *psz_name) {
  QK_vhash *pRecord = NULL;
  QK_ARG_NOT_NULL(ctx, psz_name);
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pRecord, "name", psz_name));
done:;
}

void tav_defin__set_mssql_col_data_type(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                        const char *psz_col_id, const char *psz_type) {
  QK_vhash *pRecord = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, psz_tbl_id);
  QK_ARG_NOT_NULL(ctx, psz_col_id);
  if (psz_type == NULL) goto done;
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pRecord, "mssql_col_data_type", NULL));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pRecord, "mssql_col_data_type", psz_type));
done:;
}

/* Removes the column record's key and adds a new empty object under it at the end, so that
 * a replaced key moves behind the others. */
static void replace_with_object(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char *psz_key, int bAdd, QK_vhash **ppNew) {
  QK_vhash *pRecord = NULL;
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pRecord, psz_key, NULL));
  if (bAdd) QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, pRecord, psz_key, ppNew));
done:;
}

static void new_type(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                     const char *psz_type, QK_vhash **ppType) {
  QK_ARG_NOT_NULL(ctx, psz_type);
  QK_TRY(ctx, replace_with_object(ctx, psk, psz_tbl_id, psz_col_id, "type", 1, ppType));
  QK_TRY(ctx, QK_vhash__add__string(ctx, *ppType, "name", psz_type));
done:;
}

void tav_defin__set_type_simple(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char *psz_type) {
  QK_vhash *pType = NULL;
  QK_TRY(ctx, new_type(ctx, psk, psz_tbl_id, psz_col_id, psz_type, &pType));
done:;
}

void tav_defin__set_type_identity(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                  const char *psz_col_id, const char *psz_constraint_name) {
  QK_vhash *pType = NULL;
  QK_TRY(ctx, new_type(ctx, psk, psz_tbl_id, psz_col_id, "identity", &pType));
  if (psz_constraint_name != NULL)
    QK_TRY(ctx, QK_vhash__add__string(ctx, pType, "constraint_name", psz_constraint_name));
done:;
}

void tav_defin__set_type_decimal(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                 QK_uint8 precision, QK_uint8 scale) {
  QK_vhash *pType = NULL;
  QK_TRY(ctx, new_type(ctx, psk, psz_tbl_id, psz_col_id, "decimal", &pType));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pType, "precision", precision));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pType, "scale", scale));
done:;
}

void tav_defin__set_type_time(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              QK_uint8 precision) {
  QK_vhash *pType = NULL;
  QK_TRY(ctx, new_type(ctx, psk, psz_tbl_id, psz_col_id, "time", &pType));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pType, "precision", precision));
done:;
}

void tav_defin__set_type_datetime(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                  const char *psz_col_id, QK_uint8 precision, const char *psz_mssql_type) {
  QK_vhash *pType = NULL;
  QK_TRY(ctx, new_type(ctx, psk, psz_tbl_id, psz_col_id, "datetime", &pType));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pType, "precision", precision));
  /* datetime and smalldatetime round differently from datetime2; the store needs to know. */
  if (psz_mssql_type != NULL && strcmp(psz_mssql_type, "datetime2") != 0)
    QK_TRY(ctx, tav_defin__set_collation(ctx, psk, psz_tbl_id, psz_col_id, psz_mssql_type));
done:;
}

void tav_defin__set_type_blob(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              int fixed_width, QK_uint32 width) {
  QK_vhash *pType = NULL;
  QK_TRY(ctx, new_type(ctx, psk, psz_tbl_id, psz_col_id, "blob", &pType));
  QK_TRY(ctx, QK_vhash__add__bool(ctx, pType, "fixed_width", fixed_width == 1));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pType, "width", width));
done:;
}

void tav_defin__set_type_text(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              const char *psz_collation, const char *psz_locale, int binary, int noaccent,
                              int nocase, int ks, int ws, int sc, int fixed_width, int unicode, QK_uint32 width) {
  QK_vhash *pType = NULL;
  QK_TRY(ctx, new_type(ctx, psk, psz_tbl_id, psz_col_id, "text", &pType));
  QK_TRY(ctx, QK_vhash__add__bool(ctx, pType, "fixed_width", fixed_width == 1));
  if (psz_locale != NULL) QK_TRY(ctx, QK_vhash__add__string(ctx, pType, "locale", psz_locale));
  if (binary) {
    QK_TRY(ctx, QK_vhash__add__bool(ctx, pType, "binary", 1));
  } else {
    QK_TRY(ctx, QK_vhash__add__bool(ctx, pType, "noaccent", noaccent == 1));
    QK_TRY(ctx, QK_vhash__add__bool(ctx, pType, "nocase", nocase == 1));
    if (ks) QK_TRY(ctx, QK_vhash__add__bool(ctx, pType, "_KS", 1));
    if (ws) QK_TRY(ctx, QK_vhash__add__bool(ctx, pType, "_WS", 1));
    if (sc) QK_TRY(ctx, QK_vhash__add__bool(ctx, pType, "_SC", 1));
  }
  QK_TRY(ctx, QK_vhash__add__bool(ctx, pType, "unicode", unicode == 1));
  QK_TRY(ctx, QK_vhash__add__int64(ctx, pType, "width", width));
  QK_TRY(ctx, tav_defin__set_collation(ctx, psk, psz_tbl_id, psz_col_id, psz_collation));
done:;
}

void tav_defin__set_type_host(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              const char *psz_host_type) {
  QK_vhash *pType = NULL;
  QK_ARG_NOT_NULL(ctx, psz_host_type);
  QK_TRY(ctx, new_type(ctx, psk, psz_tbl_id, psz_col_id, "host", &pType));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pType, "host_type", psz_host_type));
done:;
}

void tav_defin__set_notnull(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                            int notnull, const char *psz_name) {
  QK_vhash *pNotNull = NULL;
  QK_TRY(ctx, replace_with_object(ctx, psk, psz_tbl_id, psz_col_id, "notnull", notnull, &pNotNull));
  if (notnull && psz_name != NULL) QK_TRY(ctx, QK_vhash__add__string(ctx, pNotNull, "name", psz_name));
done:;
}

void tav_defin__set_column_defval(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                  const char *psz_col_id, int present, const char *psz_name, const char *psz_expr) {
  QK_vhash *pDefval = NULL;
  if (present) QK_ARG_NOT_NULL(ctx, psz_expr);
  QK_TRY(ctx, replace_with_object(ctx, psk, psz_tbl_id, psz_col_id, "defval", present, &pDefval));
  if (!present) goto done;
  QK_TRY(ctx, QK_vhash__add__string(ctx, pDefval, "expr", psz_expr));
  if (psz_name != NULL) QK_TRY(ctx, QK_vhash__add__string(ctx, pDefval, "name", psz_name));
done:;
}

/* Sets a text member when it is given; an absent text is left out. */
static void update_if_given(QK_context *ctx, QK_vhash *pvh, const char *psz_key, const char *psz_value) {
  if (psz_value != NULL) QK_TRY(ctx, QK_vhash__update__string(ctx, pvh, psz_key, psz_value));
done:;
}

void tav_defin__set_column_fk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              int enabled, const char *psz_fk_id, const char *psz_fk_name,
                              const char *psz_ref_tbl_id, const char *psz_ref_col_id, int deferred,
                              const char *psz_on_delete, const char *psz_on_update, int violation_act) {
  QK_vhash *pFk = NULL;
  QK_ARG_NOT_NULL(ctx, psz_tbl_id);
  if (enabled) QK_ARG_NOT_NULL(ctx, psz_ref_tbl_id);
  if (enabled && QK_stricmp(psz_tbl_id, psz_ref_tbl_id) == 0) {
    const char *pszRowid = NULL;
    QK_TRY(ctx, tav_defin__get_rowid_column(ctx, psk, psz_tbl_id, &pszRowid));
    if (pszRowid != NULL)
      QK_THROW_MSG(ctx, QK_ERR_SERVER_MISCONFIGURATION,
                   "Tavrin does not support same-table references in prepared tables with an identity column.");
  }
  QK_TRY(ctx, replace_with_object(ctx, psk, psz_tbl_id, psz_col_id, "fk", enabled, &pFk));
  if (!enabled) goto done;
  QK_TRY(ctx, update_if_given(ctx, pFk, "name", psz_fk_name));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pFk, "ref_tbl_id", psz_ref_tbl_id));
  QK_TRY(ctx, update_if_given(ctx, pFk, "ref_col_id", psz_ref_col_id));
  QK_TRY(ctx, QK_vhash__add__bool(ctx, pFk, "deferred", deferred != 0));
  QK_TRY(ctx, update_if_given(ctx, pFk, "on_delete", psz_on_delete));
  QK_TRY(ctx, update_if_given(ctx, pFk, "on_update", psz_on_update));
  if (violation_act != 0)
    QK_TRY(ctx, tav_defin__add_fk_rule(ctx, psk, psz_tbl_id, psz_fk_id, TAV_FK_SITUATION_VIOLATION_ON_INSERT,
                                       violation_act));
done:;
}

void tav_defin__set_pk_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_name) {
  QK_vhash *pTable = NULL;
  QK_vhash *pPk = NULL;
  QK_ARG_NOT_NULL(ctx, psz_name);
  QK_TRY(ctx, tav_defin__get_table_record(ctx, psk, psz_tbl_id, &pTable));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pTable, "pk", &pPk));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pPk, "name", psz_name));
done:;
}

void tav_defin__add_pk_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id) {
  QK_vhash *pPk = NULL;
  QK_vhash *pCols = NULL;
  QK_ARG_NOT_NULL(ctx, psz_col_id);
  QK_TRY(ctx, tav_defin__get_table_pk(ctx, psk, psz_tbl_id, &pPk));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pPk, "cols", &pCols));
  QK_TRY(ctx, QK_vhash__add__null(ctx, pCols, psz_col_id));
done:;
}

void tav_defin__add_unique_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                  const char *psz_col_id, const char *psz_unique_name) {
  QK_vhash *pTable = NULL;
  QK_vhash *pUniques = NULL;
  QK_vhash *pUnique = NULL;
  QK_ARG_NOT_NULL(ctx, psz_col_id);
  QK_ARG_NOT_NULL(ctx, psz_unique_name);
  QK_TRY(ctx, tav_defin__get_table_record(ctx, psk, psz_tbl_id, &pTable));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pTable, "uniques", &pUniques));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pUniques, psz_unique_name, &pUnique));
  QK_TRY(ctx, QK_vhash__add__null(ctx, pUnique, psz_col_id));
done:;
}

void tav_defin__add_fk(QK_context *ctx, tav_defin *psk, const char *psz_fk_id, const char *psz_fk_name,
                       const char *psz_tbl_id, const char *psz_ref_tbl_id, int deferred, const char *psz_on_delete,
                       const char *psz_on_update, int violation_act) {
  QK_vhash *pFks = NULL;
  QK_vhash *pFk = NULL;
  QK_vhash *pCols = NULL;
  QK_ARG_NOT_NULL(ctx, psz_fk_id);
  QK_ARG_NOT_NULL(ctx, psz_ref_tbl_id);
  QK_TRY(ctx, tav_defin__ensure_table_fks(ctx, psk, psz_tbl_id, &pFks));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pFks, psz_fk_id, &pFk));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pFk, "cols", &pCols));
  QK_TRY(ctx, update_if_given(ctx, pFk, "name", psz_fk_name));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pFk, "ref_tbl_id", psz_ref_tbl_id));
  QK_TRY(ctx, QK_vhash__update__bool(ctx, pFk, "deferred", deferred != 0));
  QK_TRY(ctx, update_if_given(ctx, pFk, "on_delete", psz_on_delete));
  QK_TRY(ctx, update_if_given(ctx, pFk, "on_update", psz_on_update));
  if (violation_act != 0)
    QK_TRY(ctx, tav_defin__add_fk_rule(ctx, psk, psz_tbl_id, psz_fk_id, TAV_FK_SITUATION_VIOLATION_ON_INSERT,
                                       violation_act));
done:;
}

void tav_defin__set_fk_column_pair(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                                   const char *psz_from_col_id, const char *psz_to_col_id) {
  QK_vhash *pFks = NULL;
  QK_vhash *pFk = NULL;
  QK_vhash *pCols = NULL;
  QK_ARG_NOT_NULL(ctx, psz_fk_id);
  QK_ARG_NOT_NULL(ctx, psz_from_col_id);
  QK_ARG_NOT_NULL(ctx, psz_to_col_id);
  QK_TRY(ctx, tav_defin__get_table_fks(ctx, psk, psz_tbl_id, &pFks));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pFks, psz_fk_id, &pFk));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pFk, "cols", &pCols));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pCols, psz_from_col_id, psz_to_col_id));
done:;
}

void tav_defin__remove_fk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id) {
  QK_vhash *pFks = NULL;
  QK_vhash *pRules = NULL;
  QK_ARG_NOT_NULL(ctx, psz_fk_id);
  QK_TRY(ctx, tav_defin__check_table_fks(ctx, psk, psz_tbl_id, &pFks));
  if (pFks != NULL) QK_TRY(ctx, QK_vhash__remove_if_present(ctx, pFks, psz_fk_id, NULL));
  if (psk->host_internals != NULL) QK_TRY(ctx, QK_vhash__check__vhash(ctx, psk->host_internals, "fk-rules", &pRules));
  if (pRules != NULL)
    QK_TRY(ctx, QK_vhash__foreach(ctx, pRules, tav_defin__remove_key_callback, (void *)psz_fk_id));
done:;
}

void tav_defin__add_fk_rule(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                            int situation, int act) {
  QK_vhash *pEntry = NULL;
  QK_vhash *pRule = NULL;
  QK_ARG_NOT_NULL(ctx, psz_fk_id);
  if (situation != TAV_FK_SITUATION_VIOLATION_ON_INSERT)
    QK_THROW_FMT(ctx, QK_ERR_VERIFICATION_FAILED, "Unknown foreign key conflict situation: %d", situation);
  QK_TRY(ctx, ensure_host_table_entry(ctx, psk, "fk-rules", psz_tbl_id, &pEntry));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pEntry, psz_fk_id, &pRule));
  QK_TRY(ctx, QK_vhash__update__int64(ctx, pRule, "violation-on-insert", act));
done:;
}

/* Sets "map"/tbl_id/col_id in the host internals to an integer or (when given) a text. */
static void set_host_value(QK_context *ctx, tav_defin *psk, const char *psz_map, const char *psz_tbl_id,
                           const char *psz_col_id, const char *psz_text, QK_int64 value) {
  QK_vhash *pEntry = NULL;
  QK_ARG_NOT_NULL(ctx, psz_col_id);
  QK_TRY(ctx, ensure_host_table_entry(ctx, psk, psz_map, psz_tbl_id, &pEntry));
  if (psz_text != NULL)
    QK_TRY(ctx, QK_vhash__update__string(ctx, pEntry, psz_col_id, psz_text));
  else
    QK_TRY(ctx, QK_vhash__update__int64(ctx, pEntry, psz_col_id, value));
done:;
}

void tav_defin__set_col_dump(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                             QK_int64 txid, QK_int64 gen) {
  QK_TRY(ctx, set_host_value(ctx, psk, "col-dump-txids", psz_tbl_id, psz_col_id, NULL, txid));
  QK_TRY(ctx, set_host_value(ctx, psk, "col-dump-gen", psz_tbl_id, psz_col_id, NULL, gen));
done:;
}

void tav_defin__set_collation(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                              const char *psz_collation) {
  if (psz_collation == NULL) return;
  QK_TRY(ctx, set_host_value(ctx, psk, "collations", psz_tbl_id, psz_col_id, psz_collation, 0));
done:;
}

void tav_defin__set_host_defval(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                                const char *psz_defval) {
  if (psz_defval == NULL) return;
  QK_TRY(ctx, set_host_value(ctx, psk, "defvals", psz_tbl_id, psz_col_id, psz_defval, 0));
done:;
}
