/* The records through which the download builders tell the store's table exports what to
 * send: the export range of one table and the per-table export state.
 *
 * Export state: one document per table (a QK_vhash), all kept in one states document keyed
 * by table id; the builders compute the flags ("where", "where-prev", "unfiltered",
 * "filtered-now", "filtered-previously", "filtered-parents", "same-table-ref-constraints",
 * "assume-stable-baseline", "prev-where-maybe-invalid", "needs-column-dump", ...) and the
 * store's table export reads them and adds its own keys ("tbl_name", the names of its work
 * tables "ttable_included_in_final" and "ttable_included_in_baseline", "prev-where-invalid"
 * and "needs-discard"). */
#ifndef TAV_EXPORT_TYPES_H
#define TAV_EXPORT_TYPES_H

#include "qk/qk_types.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

typedef QK_vhash tav_export_state;

/* What the range counts in. */
enum tav_export_range_type : QK_int32 {
  BY_GENERATION = 0,
  BY_TXID = 1,
  FIRST_BY_TXID__LAST_BY_GENERATION = 2,
};

/* Filled by the builder on its own stack for one table export. The store turns an export
 * into a from-scratch one by setting `first` to 1 and dropping `txids`. */
typedef struct tav_export_range {
  QK_int32 spec_type;          /* a tav_export_range_type */
  QK_int64 first;              /* first generation or txid to send; 1 = from scratch */
  QK_int64 last;               /* last generation (BY_GENERATION, the third kind) or txid */
  QK_int64 cutoff_generation;  /* deletions older than this are not sent to newcomers */
  QK_varray *txids;            /* borrowed, or NULL: single txids below first the client lacks */
  QK_int64 last_txid;          /* third kind: the newest txid the export covers */
  char listed_table[64] = {};  /* the store's #temp table of the listed txids once it made one */
} tav_export_range;

#endif
