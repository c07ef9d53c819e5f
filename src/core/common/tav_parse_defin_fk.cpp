/* Foreign keys of a schema definition: accessors, lists, identity walk and table order. */
#include "common/tav_parse_defin_fk.h"

#include <string.h>

#include "common/tav_parse_defin_query.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"

/* ---- Keys over several columns ---- */

static void get_table_fk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                         QK_vhash **ppFk) {
  QK_vhash *pFks = NULL;
  QK_ARG_NOT_NULL(ctx, psz_fk_id);
  QK_TRY(ctx, tav_defin__get_table_fks(ctx, psk, psz_tbl_id, &pFks));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pFks, psz_fk_id, ppFk));
done:;
}

void tav_defin__count_table_fks(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_uint32 *pCount) {
  QK_vhash *pFks = NULL;
  QK_ARG_NOT_NULL(ctx, pCount);
  *pCount = 0;
  QK_TRY(ctx, tav_defin__check_table_fks(ctx, psk, psz_tbl_id, &pFks));
  if (pFks != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pFks, pCount));
done:;
}

void tav_defin__get_fk_id_at(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int index,
                             const char **ppsz_fk_id) {
  QK_vhash *pFks = NULL;
  QK_TRY(ctx, tav_defin__get_table_fks(ctx, psk, psz_tbl_id, &pFks));
  QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pFks, (QK_uint32)index, ppsz_fk_id, NULL));
done:;
}

static void get_table_fk_text(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                              const char *psz_key, const char **ppsz_value) {
  QK_vhash *pFk = NULL;
  QK_TRY(ctx, get_table_fk(ctx, psk, psz_tbl_id, psz_fk_id, &pFk));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pFk, psz_key, ppsz_value));
done:;
}

void tav_defin__get_fk_ref_table(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                                 const char **ppsz_ref_tbl_id) {
  QK_TRY(ctx, get_table_fk_text(ctx, psk, psz_tbl_id, psz_fk_id, "ref_tbl_id", ppsz_ref_tbl_id));
done:;
}

void tav_defin__get_fk_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                            const char **ppsz_name) {
  QK_TRY(ctx, get_table_fk_text(ctx, psk, psz_tbl_id, psz_fk_id, "name", ppsz_name));
done:;
}

void tav_defin__get_fk_on_delete(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                                 const char **ppsz_on_delete) {
  QK_TRY(ctx, get_table_fk_text(ctx, psk, psz_tbl_id, psz_fk_id, "on_delete", ppsz_on_delete));
done:;
}

/* An absent action counts as "NO ACTION". */
static int is_action(const char *psz_action) {
  return psz_action != NULL && QK_stricmp(psz_action, "NO ACTION") != 0;
}

void tav_defin__get_fk_action_flags(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                                    int *pbOnUpdate, int *pbOnDelete) {
  const char *pszOnUpdate = NULL;
  const char *pszOnDelete = NULL;
  QK_ARG_NOT_NULL(ctx, pbOnUpdate);
  QK_ARG_NOT_NULL(ctx, pbOnDelete);
  QK_TRY(ctx, get_table_fk_text(ctx, psk, psz_tbl_id, psz_fk_id, "on_update", &pszOnUpdate));
  QK_TRY(ctx, get_table_fk_text(ctx, psk, psz_tbl_id, psz_fk_id, "on_delete", &pszOnDelete));
  *pbOnUpdate = is_action(pszOnUpdate);
  *pbOnDelete = is_action(pszOnDelete);
done:;
}

void tav_defin__count_fk_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_fk_id,
                                 QK_uint32 *pCount) {
  QK_vhash *pFk = NULL;
  QK_vhash *pCols = NULL;
  QK_TRY(ctx, get_table_fk(ctx, psk, psz_tbl_id, psz_fk_id, &pFk));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pFk, "cols", &pCols));
  QK_TRY(ctx, QK_vhash__count(ctx, pCols, pCount));
done:;
}

void tav_defin__get_fk_column_pair_at(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                      const char *psz_fk_id, int index, const char **ppsz_from_col_id,
                                      const char **ppsz_to_col_id) {
  QK_vhash *pFk = NULL;
  QK_vhash *pCols = NULL;
  QK_TRY(ctx, get_table_fk(ctx, psk, psz_tbl_id, psz_fk_id, &pFk));
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pFk, "cols", &pCols));
  QK_TRY(ctx, QK_vhash__get_nth_pair__sz(ctx, pCols, (QK_uint32)index, ppsz_from_col_id, ppsz_to_col_id));
done:;
}

/* ---- Walking every key of a table ---- */

/* One foreign key as the visitors see it, in either form. */
typedef struct {
  const char *psz_tbl_id;     /* the child table id, as the caller named it */
  const char *psz_col_id;     /* a key over one column: the child column id, else NULL */
  const char *psz_fk_id;      /* a key over several columns: its id, else NULL */
  const char *psz_ref_tbl_id; /* the referenced table id */
  QK_vhash *pKey;             /* the column's "fk" or the "foreignkeys" entry */
} fk_view;

typedef void (*fk_visit_fn)(QK_context *ctx, tav_defin *psk, const fk_view *pView, void *pData);

/* Visits the keys over one column in column order, then the keys over several columns. */
static void for_each_fk(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, fk_visit_fn fn, void *pData) {
  QK_vhash *pCols = NULL;
  QK_vhash *pFks = NULL;
  QK_uint32 count = 0;
  fk_view view = {psz_tbl_id, NULL, NULL, NULL, NULL};
  QK_TRY(ctx, tav_defin__get_table_cols(ctx, psk, psz_tbl_id, &pCols));
  QK_TRY(ctx, QK_vhash__count(ctx, pCols, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *pRecord = NULL;
    view.pKey = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pCols, i, &view.psz_col_id, &pRecord));
    QK_TRY(ctx, QK_vhash__check__vhash(ctx, pRecord, "fk", &view.pKey));
    if (view.pKey == NULL) continue;
    QK_TRY(ctx, QK_vhash__get__sz(ctx, view.pKey, "ref_tbl_id", &view.psz_ref_tbl_id));
    QK_TRY(ctx, fn(ctx, psk, &view, pData));
  }
  view.psz_col_id = NULL;
  QK_TRY(ctx, tav_defin__check_table_fks(ctx, psk, psz_tbl_id, &pFks));
  if (pFks == NULL) goto done;
  QK_TRY(ctx, QK_vhash__count(ctx, pFks, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pFks, i, &view.psz_fk_id, &view.pKey));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, view.pKey, "ref_tbl_id", &view.psz_ref_tbl_id));
    QK_TRY(ctx, fn(ctx, psk, &view, pData));
  }
done:;
}

/* The name of a key for messages: its constraint name, else its id, else its column. */
static void fk_label(QK_context *ctx, const fk_view *pView, const char **ppsz_label) {
  const char *pszName = NULL;
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pView->pKey, "name", &pszName));
  *ppsz_label = pszName ? pszName : pView->psz_fk_id ? pView->psz_fk_id : pView->psz_col_id;
done:;
}

/* A key whose referenced table is not in the definition (a row filter that leaves out a
 * parent table, for example) cannot be followed: raise err naming key and tables. */
static void require_ref_table(QK_context *ctx, tav_defin *psk, const fk_view *pView, QK_error err) {
  const char *pszLabel = NULL;
  int bHas = 0;
  QK_TRY(ctx, tav_defin__has_table(ctx, psk, pView->psz_ref_tbl_id, &bHas));
  if (bHas) goto done;
  QK_TRY(ctx, fk_label(ctx, pView, &pszLabel));
  QK_THROW_FMT(ctx, err, "foreign key '%s' of table id '%s' references table id '%s', which is not in the schema",
               pszLabel, pView->psz_tbl_id, pView->psz_ref_tbl_id);
done:;
}

/* ---- Lists ---- */

typedef struct {
  QK_vhash *pSet;
} referenced_tables_data;

static void add_referenced_table(QK_context *ctx, tav_defin *psk, const fk_view *pView, void *pData) {
  referenced_tables_data *d = (referenced_tables_data *)pData;
  int bHas = 0;
  (void)psk;
  if (d->pSet == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, &d->pSet));
  QK_TRY(ctx, QK_vhash__has(ctx, d->pSet, pView->psz_ref_tbl_id, &bHas));
  if (!bHas) QK_TRY(ctx, QK_vhash__add__null(ctx, d->pSet, pView->psz_ref_tbl_id));
done:;
}

void tav_defin__list_referenced_tables(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_vhash **ppSet) {
  referenced_tables_data d = {NULL};
  QK_ARG_NOT_NULL(ctx, ppSet);
  QK_TRY(ctx, for_each_fk(ctx, psk, psz_tbl_id, add_referenced_table, &d));
  *ppSet = d.pSet;
  d.pSet = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, d.pSet));
}

void tav_defin__list_parent_tables(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, QK_nullhash **ppSet) {
  QK_vhash *pReferenced = NULL;
  QK_nullhash *pSet = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, ppSet);
  QK_TRY(ctx, tav_defin__list_referenced_tables(ctx, psk, psz_tbl_id, &pReferenced));
  if (pReferenced != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pReferenced, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszRef = NULL;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pReferenced, i, &pszRef, NULL));
    if (strcmp(pszRef, psz_tbl_id) == 0) continue;
    if (pSet == NULL) QK_TRY(ctx, QK_nullhash__alloc(ctx, &pSet));
    QK_TRY(ctx, QK_nullhash__add(ctx, pSet, pszRef));
  }
  *ppSet = pSet;
  pSet = NULL;
done:
  QK_RELEASE(ctx, QK_nullhash__free(ctx, pSet));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pReferenced));
}

/* Appends the name of a column to an array; 47 when the column has none. */
static void append_column_name(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                               QK_varray *pArray) {
  const char *pszName = NULL;
  QK_vhash *pRecord = NULL;
  QK_TRY(ctx, tav_defin__get_column_record(ctx, psk, psz_tbl_id, psz_col_id, &pRecord));
  QK_TRY(ctx, QK_vhash__get__sz(ctx, pRecord, "name", &pszName));
  QK_TRY(ctx, QK_varray__append__string(ctx, pArray, pszName));
done:;
}

/* "cols-from" (child column names) and "cols-to" (referenced column names) of a key. */
static void add_key_column_names(QK_context *ctx, tav_defin *psk, const fk_view *pView, QK_vhash *pDesc) {
  QK_varray *pFrom = NULL;
  QK_varray *pTo = NULL;
  QK_TRY(ctx, require_ref_table(ctx, psk, pView, QK_ERR_UNSPECIFIED));
  QK_TRY(ctx, QK_vhash__addnew__varray(ctx, pDesc, "cols-from", &pFrom));
  QK_TRY(ctx, QK_vhash__addnew__varray(ctx, pDesc, "cols-to", &pTo));
  if (pView->psz_col_id != NULL) {
    const char *pszRefCol = NULL;
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pView->pKey, "ref_col_id", &pszRefCol));
    QK_TRY(ctx, append_column_name(ctx, psk, pView->psz_tbl_id, pView->psz_col_id, pFrom));
    QK_TRY(ctx, append_column_name(ctx, psk, pView->psz_ref_tbl_id, pszRefCol, pTo));
  } else {
    QK_vhash *pCols = NULL;
    QK_uint32 count = 0;
    QK_TRY(ctx, QK_vhash__get__vhash(ctx, pView->pKey, "cols", &pCols));
    QK_TRY(ctx, QK_vhash__count(ctx, pCols, &count));
    for (QK_uint32 i = 0; i < count; i++) {
      const char *pszFrom = NULL;
      const char *pszTo = NULL;
      QK_TRY(ctx, QK_vhash__get_nth_pair__sz(ctx, pCols, i, &pszFrom, &pszTo));
      QK_TRY(ctx, append_column_name(ctx, psk, pView->psz_tbl_id, pszFrom, pFrom));
      QK_TRY(ctx, append_column_name(ctx, psk, pView->psz_ref_tbl_id, pszTo, pTo));
    }
  }
done:;
}

typedef struct {
  const char *psz_ref_tbl_id; /* the only referenced table to list, or NULL for all */
  QK_varray *pList;
} fk_actions_data;

static void add_fk_action(QK_context *ctx, tav_defin *psk, const fk_view *pView, void *pData) {
  fk_actions_data *d = (fk_actions_data *)pData;
  QK_vhash *pDesc = NULL;
  QK_varray *pDefvals = NULL;
  const char *pszName = NULL;
  const char *pszOnDelete = NULL;
  if (d->psz_ref_tbl_id != NULL && strcmp(d->psz_ref_tbl_id, pView->psz_ref_tbl_id) != 0) goto done;
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pView->pKey, "name", &pszName));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pView->pKey, "on_delete", &pszOnDelete));
  if (d->pList == NULL) QK_TRY(ctx, QK_varray__alloc(ctx, &d->pList));
  QK_TRY(ctx, QK_varray__appendnew__vhash(ctx, d->pList, &pDesc));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pDesc, "name", pszName));
  if (is_action(pszOnDelete)) QK_TRY(ctx, QK_vhash__add__string(ctx, pDesc, "on-delete", pszOnDelete));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pDesc, "tbl", pView->psz_ref_tbl_id));
  QK_TRY(ctx, add_key_column_names(ctx, psk, pView, pDesc));
  QK_TRY(ctx, QK_vhash__addnew__varray(ctx, pDesc, "defvals", &pDefvals));
done:;
}

void tav_defin__list_fk_actions(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                const char *psz_ref_tbl_id, int mode, QK_varray **ppList, QK_uint32 *pCount) {
  fk_actions_data d = {psz_ref_tbl_id, NULL};
  QK_ARG_VALID(ctx, mode, mode == 0);
  QK_ARG_NOT_NULL(ctx, ppList);
  QK_ARG_NOT_NULL(ctx, pCount);
  QK_TRY(ctx, for_each_fk(ctx, psk, psz_tbl_id, add_fk_action, &d));
  *pCount = QK_varray__count_noctx(d.pList);
  *ppList = d.pList;
  d.pList = NULL;
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, d.pList));
}

typedef struct {
  const char *psz_parent_tbl_id;
  int on_delete_only;
  QK_varray *pList;
} child_fks_data;

static void add_child_fk(QK_context *ctx, tav_defin *psk, const fk_view *pView, void *pData) {
  child_fks_data *d = (child_fks_data *)pData;
  QK_vhash *pDesc = NULL;
  const char *pszName = NULL;
  const char *pszOnUpdate = NULL;
  const char *pszOnDelete = NULL;
  if (strcmp(pView->psz_ref_tbl_id, d->psz_parent_tbl_id) != 0) goto done;
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pView->pKey, "on_delete", &pszOnDelete));
  if (d->on_delete_only && !is_action(pszOnDelete)) goto done;
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pView->pKey, "name", &pszName));
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pView->pKey, "on_update", &pszOnUpdate));
  if (d->pList == NULL) QK_TRY(ctx, QK_varray__alloc(ctx, &d->pList));
  QK_TRY(ctx, QK_varray__appendnew__vhash(ctx, d->pList, &pDesc));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pDesc, "name", pszName));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pDesc, "tbl", pView->psz_tbl_id));
  QK_TRY(ctx, QK_vhash__add__bool(ctx, pDesc, "on-up", is_action(pszOnUpdate)));
  QK_TRY(ctx, add_key_column_names(ctx, psk, pView, pDesc));
done:;
}

void tav_defin__list_child_fks(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, int include_self,
                               int on_delete_only, QK_varray **ppList, QK_uint32 *pCount) {
  child_fks_data d = {psz_tbl_id, on_delete_only, NULL};
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, psz_tbl_id);
  QK_ARG_NOT_NULL(ctx, ppList);
  QK_ARG_NOT_NULL(ctx, pCount);
  QK_TRY(ctx, tav_defin__count_tables(ctx, psk, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszChild = NULL;
    QK_TRY(ctx, tav_defin__get_table_id_at(ctx, psk, (int)i, &pszChild));
    if (!include_self && strcmp(pszChild, psz_tbl_id) == 0) continue;
    QK_TRY(ctx, for_each_fk(ctx, psk, pszChild, add_child_fk, &d));
  }
  *pCount = QK_varray__count_noctx(d.pList);
  *ppList = d.pList;
  d.pList = NULL;
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, d.pList));
}

typedef struct {
  const char *psz_ref_tbl_id;
  const char *psz_ref_col_id; /* NULL: any referenced column */
  QK_vhash *pMap;
} referencing_data;

static void add_column_fk_referencing(QK_context *ctx, tav_defin *psk, const fk_view *pView, void *pData) {
  referencing_data *d = (referencing_data *)pData;
  QK_vhash *pChild = NULL;
  const char *pszRefCol = NULL;
  (void)psk;
  if (pView->psz_col_id == NULL || strcmp(pView->psz_ref_tbl_id, d->psz_ref_tbl_id) != 0) goto done;
  QK_TRY(ctx, QK_vhash__check__sz(ctx, pView->pKey, "ref_col_id", &pszRefCol));
  if (d->psz_ref_col_id != NULL && (pszRefCol == NULL || strcmp(pszRefCol, d->psz_ref_col_id) != 0)) goto done;
  if (d->pMap == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, &d->pMap));
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, d->pMap, pView->psz_tbl_id, &pChild));
  QK_TRY(ctx, QK_vhash__update__string(ctx, pChild, pView->psz_col_id, pszRefCol));
done:;
}

static void add_table_fk_referencing(QK_context *ctx, tav_defin *psk, const fk_view *pView, void *pData) {
  referencing_data *d = (referencing_data *)pData;
  QK_vhash *pEntry = NULL;
  QK_vhash *pCols = NULL;
  (void)psk;
  if (pView->psz_fk_id == NULL || strcmp(pView->psz_ref_tbl_id, d->psz_ref_tbl_id) != 0) goto done;
  QK_TRY(ctx, QK_vhash__get__vhash(ctx, pView->pKey, "cols", &pCols));
  if (d->pMap == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, &d->pMap));
  QK_TRY(ctx, QK_vhash__addnew__vhash(ctx, d->pMap, pView->psz_fk_id, &pEntry));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pEntry, "tbl", pView->psz_tbl_id));
  QK_TRY(ctx, QK_vhash__addcopy__vhash(ctx, pEntry, "cols", pCols));
done:;
}

/* Runs a visitor over the keys of every table, in "tbls" order. */
static void for_each_fk_of_all_tables(QK_context *ctx, tav_defin *psk, fk_visit_fn fn, void *pData) {
  QK_uint32 count = 0;
  QK_TRY(ctx, tav_defin__count_tables(ctx, psk, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    const char *pszTbl = NULL;
    QK_TRY(ctx, tav_defin__get_table_id_at(ctx, psk, (int)i, &pszTbl));
    QK_TRY(ctx, for_each_fk(ctx, psk, pszTbl, fn, pData));
  }
done:;
}

/* Runs a referencing visitor over every table and hands out its map (NULL when empty). */
static void collect_referencing(QK_context *ctx, tav_defin *psk, fk_visit_fn fn, referencing_data *d,
                                QK_vhash **ppMap) {
  QK_ARG_NOT_NULL(ctx, d->psz_ref_tbl_id);
  QK_ARG_NOT_NULL(ctx, ppMap);
  QK_TRY(ctx, for_each_fk_of_all_tables(ctx, psk, fn, d));
  *ppMap = d->pMap;
  d->pMap = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, d->pMap));
}

void tav_defin__list_column_fks_referencing(QK_context *ctx, tav_defin *psk, const char *psz_ref_tbl_id,
                                            const char *psz_ref_col_id, QK_vhash **ppMap) {
  referencing_data d = {psz_ref_tbl_id, psz_ref_col_id, NULL};
  QK_TRY(ctx, collect_referencing(ctx, psk, add_column_fk_referencing, &d, ppMap));
done:;
}

void tav_defin__list_fks_referencing(QK_context *ctx, tav_defin *psk, const char *psz_ref_tbl_id,
                                     QK_vhash **ppMap) {
  referencing_data d = {psz_ref_tbl_id, NULL, NULL};
  QK_TRY(ctx, collect_referencing(ctx, psk, add_table_fk_referencing, &d, ppMap));
done:;
}

void tav_defin__list_referencing_columns(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                         const char *psz_col_id, QK_vhash **ppMap) {
  QK_vhash *pMap = NULL;
  QK_vhash *pTableKeys = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, psz_col_id);
  QK_ARG_NOT_NULL(ctx, ppMap);
  QK_TRY(ctx, tav_defin__list_column_fks_referencing(ctx, psk, psz_tbl_id, psz_col_id, &pMap));
  QK_TRY(ctx, tav_defin__list_fks_referencing(ctx, psk, psz_tbl_id, &pTableKeys));
  if (pTableKeys != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pTableKeys, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *pEntry = NULL;
    QK_vhash *pCols = NULL;
    const char *pszChild = NULL;
    QK_uint32 nPairs = 0;
    QK_TRY(ctx, QK_vhash__get_nth_pair__vhash(ctx, pTableKeys, i, NULL, &pEntry));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, pEntry, "tbl", &pszChild));
    QK_TRY(ctx, QK_vhash__get__vhash(ctx, pEntry, "cols", &pCols));
    QK_TRY(ctx, QK_vhash__count(ctx, pCols, &nPairs));
    for (QK_uint32 k = 0; k < nPairs; k++) {
      const char *pszFrom = NULL;
      const char *pszTo = NULL;
      QK_vhash *pChild = NULL;
      QK_TRY(ctx, QK_vhash__get_nth_pair__sz(ctx, pCols, k, &pszFrom, &pszTo));
      if (strcmp(pszTo, psz_col_id) != 0) continue;
      if (pMap == NULL) QK_TRY(ctx, QK_vhash__alloc(ctx, &pMap));
      QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, pMap, pszChild, &pChild));
      QK_TRY(ctx, QK_vhash__update__string(ctx, pChild, pszFrom, pszTo));
      break;
    }
  }
  *ppMap = pMap;
  pMap = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, pTableKeys));
  QK_RELEASE(ctx, QK_vhash__free(ctx, pMap));
}

/* ---- Identity walk ---- */

typedef struct {
  const char *psz_col_id; /* the column the walk stands on */
  QK_nullhash *pVisited;  /* columns already walked from: each either failed or is on the path */
  const char *psz_tbl;    /* the answer, or NULL */
  const char *psz_col;
} identity_walk;

static void walk_to_identity(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                             identity_walk *w);

/* Follows one key from the current column to the column it references. */
static void walk_key(QK_context *ctx, tav_defin *psk, const fk_view *pView, void *pData) {
  identity_walk *w = (identity_walk *)pData;
  const char *pszCurrent = w->psz_col_id;
  const char *pszRefCol = NULL;
  if (w->psz_tbl != NULL) goto done;
  if (pView->psz_col_id != NULL) {
    char *pszLower = NULL;
    int bSame = 0;
    QK_TRY(ctx, tav_defin__lower_id(ctx, pszCurrent, &pszLower));
    bSame = strcmp(pView->psz_col_id, pszLower) == 0;
    QK_free(ctx, pszLower);
    if (!bSame) goto done;
    QK_TRY(ctx, QK_vhash__check__sz(ctx, pView->pKey, "ref_col_id", &pszRefCol));
    /* Without a referenced column there is nothing to walk on to. */
    if (pszRefCol == NULL) goto done;
    QK_TRY(ctx, require_ref_table(ctx, psk, pView, QK_ERR_UNSPECIFIED));
    QK_TRY(ctx, walk_to_identity(ctx, psk, pView->psz_ref_tbl_id, pszRefCol, w));
  } else {
    QK_vhash *pCols = NULL;
    QK_uint32 count = 0;
    QK_TRY(ctx, QK_vhash__get__vhash(ctx, pView->pKey, "cols", &pCols));
    QK_TRY(ctx, QK_vhash__count(ctx, pCols, &count));
    for (QK_uint32 i = 0; i < count && w->psz_tbl == NULL; i++) {
      const char *pszFrom = NULL;
      QK_TRY(ctx, QK_vhash__get_nth_pair__sz(ctx, pCols, i, &pszFrom, &pszRefCol));
      if (strcmp(pszFrom, pszCurrent) != 0) continue;
      QK_TRY(ctx, require_ref_table(ctx, psk, pView, QK_ERR_UNSPECIFIED));
      QK_TRY(ctx, walk_to_identity(ctx, psk, pView->psz_ref_tbl_id, pszRefCol, w));
    }
  }
done:
  w->psz_col_id = pszCurrent;
}

static void walk_to_identity(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id, const char *psz_col_id,
                             identity_walk *w) {
  static const char *const k_integer_types[] = {"sint64", "sint32", "sint16", "uint8"};
  const char *pszType = NULL;
  char *pszTblLower = NULL;
  char *pszColLower = NULL;
  QK_string *pKey = NULL;
  int bSeen = 0;
  int bInteger = 0;
  QK_TRY(ctx, tav_defin__get_column_type(ctx, psk, psz_tbl_id, psz_col_id, &pszType, NULL));
  if (pszType != NULL && strcmp(pszType, "identity") == 0) {
    w->psz_tbl = psz_tbl_id;
    w->psz_col = psz_col_id;
    goto done;
  }
  for (const char *pszInt : k_integer_types) bInteger |= pszType != NULL && strcmp(pszType, pszInt) == 0;
  if (!bInteger) goto done;
  /* A column seen before either led nowhere or is on the path in a circle: no answer. */
  QK_TRY(ctx, tav_defin__lower_id(ctx, psz_tbl_id, &pszTblLower));
  QK_TRY(ctx, tav_defin__lower_id(ctx, psz_col_id, &pszColLower));
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pKey, "%s%c%s", pszTblLower, '\1', pszColLower));
  QK_TRY(ctx, QK_nullhash__add_if_missing_report(ctx, w->pVisited, QK_string__sz(pKey), &bSeen));
  if (bSeen) goto done;
  w->psz_col_id = psz_col_id;
  QK_TRY(ctx, for_each_fk(ctx, psk, psz_tbl_id, walk_key, w));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, pKey));
  QK_free(ctx, pszTblLower);
  QK_free(ctx, pszColLower);
}

void tav_defin__resolve_identity_column(QK_context *ctx, tav_defin *psk, const char *psz_tbl_id,
                                        const char *psz_col_id, const char **ppsz_tbl, const char **ppsz_col) {
  identity_walk w = {NULL, NULL, NULL, NULL};
  QK_ARG_NOT_NULL(ctx, ppsz_tbl);
  QK_TRY(ctx, QK_nullhash__alloc(ctx, &w.pVisited));
  QK_TRY(ctx, walk_to_identity(ctx, psk, psz_tbl_id, psz_col_id, &w));
  *ppsz_tbl = w.psz_tbl;
  if (ppsz_col != NULL) *ppsz_col = w.psz_col;
done:
  QK_RELEASE(ctx, QK_nullhash__free(ctx, w.pVisited));
}

/* ---- Table order ---- */

#define REFERENCE_TO_SELF (-1)

/* The references of all tables as table indexes (REFERENCE_TO_SELF for a table's own id):
 * those of table t are refs[start[t]] up to refs[start[t + 1]]. */
typedef struct {
  QK_uint32 nTables;
  QK_uint32 *start; /* nTables + 1 entries */
  QK_int32 *refs;
  QK_uint32 nRefs;
  QK_uint32 capacity;
} reference_graph;

static void graph_add_ref(QK_context *ctx, reference_graph *g, QK_int32 ref) {
  if (g->nRefs == g->capacity) {
    QK_int32 *pNew = NULL;
    QK_uint32 capacity = g->capacity ? g->capacity * 2 : 16;
    QK_TRY(ctx, QK_alloc(ctx, capacity, sizeof(QK_int32), &pNew));
    if (g->nRefs) memcpy(pNew, g->refs, g->nRefs * sizeof(QK_int32));
    QK_free(ctx, g->refs);
    g->refs = pNew;
    g->capacity = capacity;
  }
  g->refs[g->nRefs++] = ref;
done:;
}

/* Finds the key of the table that references the given table, for the error message. */
typedef struct {
  const char *psz_ref_tbl_id;
  QK_error err;
} missing_parent_data;

static void report_missing_parent(QK_context *ctx, tav_defin *psk, const fk_view *pView, void *pData) {
  missing_parent_data *d = (missing_parent_data *)pData;
  if (strcmp(pView->psz_ref_tbl_id, d->psz_ref_tbl_id) != 0) return;
  QK_TRY(ctx, require_ref_table(ctx, psk, pView, d->err));
done:;
}

/* Reads every table's referenced set into indexes; a reference to a table outside the
 * definition is an error of its own, not a cycle. */
static void build_reference_graph(QK_context *ctx, tav_defin *psk, reference_graph *g) {
  QK_vhash *pTbls = NULL;
  QK_vhash *pReferenced = NULL;
  char *pszLower = NULL;
  QK_TRY(ctx, QK_vhash__ensure__vhash(ctx, psk->schema, "tbls", &pTbls));
  QK_TRY(ctx, QK_vhash__count(ctx, pTbls, &g->nTables));
  QK_TRY(ctx, QK_alloc(ctx, g->nTables + 1, sizeof(QK_uint32), &g->start));
  for (QK_uint32 t = 0; t < g->nTables; t++) {
    const char *pszTbl = NULL;
    QK_uint32 count = 0;
    g->start[t] = g->nRefs;
    QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pTbls, t, &pszTbl, NULL));
    QK_TRY(ctx, tav_defin__list_referenced_tables(ctx, psk, pszTbl, &pReferenced));
    if (pReferenced != NULL) QK_TRY(ctx, QK_vhash__count(ctx, pReferenced, &count));
    for (QK_uint32 i = 0; i < count; i++) {
      const char *pszRef = NULL;
      QK_uint32 r = 0;
      QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pReferenced, i, &pszRef, NULL));
      if (QK_stricmp(pszRef, pszTbl) == 0) {
        QK_TRY(ctx, graph_add_ref(ctx, g, REFERENCE_TO_SELF));
        continue;
      }
      QK_TRY(ctx, tav_defin__lower_id(ctx, pszRef, &pszLower));
      while (r < g->nTables) {
        const char *pszOther = NULL;
        QK_TRY(ctx, QK_vhash__get_nth_pair(ctx, pTbls, r, &pszOther, NULL));
        if (strcmp(pszOther, pszLower) == 0) break;
        r++;
      }
      QK_free(ctx, pszLower);
      pszLower = NULL;
      if (r == g->nTables) {
        missing_parent_data d = {pszRef, QK_ERR_SERVER_MISCONFIGURATION};
        QK_TRY(ctx, for_each_fk(ctx, psk, pszTbl, report_missing_parent, &d));
      }
      QK_TRY(ctx, graph_add_ref(ctx, g, (QK_int32)r));
    }
    QK_RELEASE(ctx, QK_vhash__free(ctx, pReferenced));
    pReferenced = NULL;
  }
  g->start[g->nTables] = g->nRefs;
done:
  QK_free(ctx, pszLower);
  QK_RELEASE(ctx, QK_vhash__free(ctx, pReferenced));
}

/* Gives each table its level: 0 without references, else one more than the highest level
 * among the tables it references, by passes until nothing changes. first lists the tables
 * in the order they first received a level. In a graph without cycles no level reaches the
 * number of tables; one that does belongs to a cycle whose levels would rise forever. */
static void compute_levels(QK_context *ctx, const reference_graph *g, QK_int64 *level, QK_uint32 *first,
                           QK_uint32 *pnFirst) {
  int bChanged = 1;
  while (bChanged) {
    bChanged = 0;
    for (QK_uint32 t = 0; t < g->nTables; t++) {
      QK_int64 current = level[t] >= 0 ? level[t] : 0;
      QK_int64 before = level[t];
      for (QK_uint32 k = g->start[t]; k < g->start[t + 1]; k++) {
        QK_int32 r = g->refs[k];
        if (r != REFERENCE_TO_SELF && level[r] >= 0 && level[r] + 1 > current) current = level[r] + 1;
      }
      /* A table without references, or with one to itself, gets a level of its own; any
       * other table only once a table it references has one. */
      int bOwnLevel = g->start[t] == g->start[t + 1];
      for (QK_uint32 k = g->start[t]; k < g->start[t + 1]; k++) bOwnLevel |= g->refs[k] == REFERENCE_TO_SELF;
      if (before >= 0 ? current > before : bOwnLevel || current > 0) {
        if (before < 0) first[(*pnFirst)++] = t;
        level[t] = current;
        bChanged = 1;
      }
      if (level[t] >= (QK_int64)g->nTables)
        QK_THROW_MSG(ctx, QK_ERR_SERVER_MISCONFIGURATION,
                     "Foreign key constraints create a circular dependency among tables.");
    }
  }
done:;
}

void tav_defin__order_tables_by_fk(QK_context *ctx, tav_defin *psk, QK_varray **ppOrder) {
  reference_graph g = {0, NULL, NULL, 0, 0};
  QK_int64 *level = NULL;
  QK_uint32 *first = NULL;
  QK_uint32 nFirst = 0;
  QK_uint32 nEmitted = 0;
  QK_varray *pOrder = NULL;
  QK_ARG_NOT_NULL(ctx, psk);
  QK_ARG_NOT_NULL(ctx, ppOrder);
  QK_TRY(ctx, build_reference_graph(ctx, psk, &g));
  QK_TRY(ctx, QK_alloc(ctx, g.nTables + 1, sizeof(QK_int64), &level));
  QK_TRY(ctx, QK_alloc(ctx, g.nTables + 1, sizeof(QK_uint32), &first));
  for (QK_uint32 t = 0; t < g.nTables; t++) level[t] = -1;
  QK_TRY(ctx, compute_levels(ctx, &g, level, first, &nFirst));
  if (nFirst < g.nTables)
    QK_THROW_MSG(ctx, QK_ERR_SERVER_MISCONFIGURATION,
                 "Foreign key constraints create a circular dependency among tables.");
  QK_TRY(ctx, QK_varray__alloc(ctx, &pOrder));
  for (QK_int64 l = 0; nEmitted < nFirst; l++) {
    for (QK_uint32 k = 0; k < nFirst; k++) {
      const char *pszTbl = NULL;
      if (level[first[k]] != l) continue;
      QK_TRY(ctx, tav_defin__get_table_id_at(ctx, psk, (int)first[k], &pszTbl));
      QK_TRY(ctx, QK_varray__append__string(ctx, pOrder, pszTbl));
      nEmitted++;
    }
  }
  *ppOrder = pOrder;
  pOrder = NULL;
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pOrder));
  QK_free(ctx, level);
  QK_free(ctx, first);
  QK_free(ctx, g.start);
  QK_free(ctx, g.refs);
}
