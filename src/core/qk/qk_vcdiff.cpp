/* VCDIFF delta encoder. Each target window of up to 128 KiB is matched against one source
 * segment (the source bytes at the same offset) and against its own earlier bytes, through
 * hash tables of 4-byte keys; the instructions are coded with the default code table of
 * RFC 3284, its double codes and its near and same address caches. */
#include "qk/qk_vcdiff.h"

#include <string.h>

#include "qk/qk_fsobj.h"
#include "qk/qk_malloc.h"

#define QK_VCDIFF_KEY_LENGTH 4
#define QK_VCDIFF_NEAR_SIZE 4
#define QK_VCDIFF_SAME_SIZE (3 * 256)

enum { VCD_ADD = 1, VCD_RUN = 2, VCD_COPY = 3 };

typedef struct QK_vcdiff_match_params {
  QK_uint16 slots_per_bucket;
  QK_uint32 bucket_count;
  QK_uint16 key_length;
  QK_uint16 step;
  QK_uint16 good_enough; /* a match this long ends the bucket walk */
} QK_vcdiff_match_params;

static const QK_vcdiff_match_params g_source_params = {4, 32768, QK_VCDIFF_KEY_LENGTH, 1, 1024};
static const QK_vcdiff_match_params g_target_params = {4, 32768, QK_VCDIFF_KEY_LENGTH, 1, 32};

typedef struct QK_vcdiff_match_table {
  QK_vcdiff_match_params params;
  QK_uint32 begin, end; /* the window-data bytes it indexes */
  QK_uint32 *slots;     /* bucket_count x slots_per_bucket positions */
  QK_uint16 *counts;    /* filled slots per bucket */
} QK_vcdiff_match_table;

typedef struct QK_vcdiff_window {
  QK_uint32 segment_size;
  QK_uint64 segment_position;
  QK_uint32 total_section_bytes;
  QK_uint32 target_length;
  QK_uint32 capacity; /* segment size + window size */
  QK_uint32 data_length, instructions_length, addresses_length;
  /* Made once per encoding: the source segment followed by the target window (2 W), and the
   * sections (2 W, 2 W, 4 W), which no window can outgrow: every instruction covers at least
   * one target byte with at most one data byte, and at least four with more than one
   * instruction byte or any address bytes. */
  QK_uint8 *data, *data_section, *instructions, *addresses;
} QK_vcdiff_window;

/* Per window: the address caches and where the last code byte is, for double-code merging. */
typedef struct QK_vcdiff_caches {
  QK_uint32 near[QK_VCDIFF_NEAR_SIZE];
  QK_uint32 next_near;
  QK_uint32 same[QK_VCDIFF_SAME_SIZE];
  QK_int64 last_code; /* -1: none that may be merged */
} QK_vcdiff_caches;

typedef struct QK_vcdiff_encoder {
  QK_vcdiff_window window;
  QK_vcdiff_caches caches;
  QK_vcdiff_match_table *source_table, *target_table;
} QK_vcdiff_encoder;

/* ---- Integers -------------------------------------------------------------------------- */

static QK_uint32 QK_vcdiff__varint_size(QK_uint64 value) {
  QK_uint32 size = 1;
  while (value >>= 7) size++;
  return size;
}

/* Base 128, most significant group first, bit 7 set on every byte but the last. Returns the
 * byte count written at p. */
static QK_uint32 QK_vcdiff__write_varint(QK_uint8 *p, QK_uint64 value) {
  QK_uint32 size = QK_vcdiff__varint_size(value);
  for (QK_uint32 i = size; i-- > 0; value >>= 7) p[i] = (QK_uint8)((value & 0x7F) | (i + 1 < size ? 0x80 : 0));
  return size;
}

/* ---- Match tables ------------------------------------------------------------------------ */

static void QK_vcdiff__free_match_table(QK_context *ctx, QK_vcdiff_match_table *pTable) {
  if (pTable == NULL) return;
  QK_free(ctx, pTable->slots);
  QK_free(ctx, pTable->counts);
  QK_free(ctx, pTable);
}

static void QK_vcdiff__alloc_match_table(QK_context *ctx, const QK_vcdiff_match_params *pParams,
                                         QK_vcdiff_match_table **ppNew) {
  QK_vcdiff_match_table *pTable = NULL;
  /* Buckets are chosen with a mask, so their count is a power of two. */
  QK_VERIFY(ctx, pParams->key_length == QK_VCDIFF_KEY_LENGTH && pParams->step == 1 && pParams->bucket_count &&
                     (pParams->bucket_count & (pParams->bucket_count - 1)) == 0);
  QK_TRY(ctx, QK_alloc(ctx, 1, (QK_uint32)sizeof(*pTable), &pTable));
  pTable->params = *pParams;
  /* Only the first counts[b] slots of a bucket are ever read, so the slots need no zeroing: a
   * package of a few bytes does not pay for clearing the whole table. */
  QK_TRY(ctx, QK_malloc(ctx, pParams->bucket_count * pParams->slots_per_bucket * (QK_uint32)sizeof(QK_uint32),
                        &pTable->slots));
  QK_TRY(ctx, QK_alloc(ctx, pParams->bucket_count, (QK_uint32)sizeof(QK_uint16), &pTable->counts));
  *ppNew = pTable;
  pTable = NULL;
done:
  QK_vcdiff__free_match_table(ctx, pTable);
}

static void match_table_reset(QK_vcdiff_match_table *pTable, QK_uint32 begin, QK_uint32 end) {
  pTable->begin = begin;
  pTable->end = end;
  memset(pTable->counts, 0, (size_t)pTable->params.bucket_count * sizeof(*pTable->counts));
}

static QK_uint32 key_bucket(const QK_vcdiff_match_table *pTable, const QK_uint8 *p) {
  QK_uint32 h = ((p[0] * 33u + p[1]) * 33u + p[2]) * 33u + p[3];
  return h & (pTable->params.bucket_count - 1);
}

/* The first positions of a bucket win; later ones are dropped. */
static void match_table_add(QK_vcdiff_match_table *pTable, QK_uint32 bucket, QK_uint32 position) {
  QK_uint16 *pCount = &pTable->counts[bucket];
  if (*pCount < pTable->params.slots_per_bucket)
    pTable->slots[(size_t)bucket * pTable->params.slots_per_bucket + (*pCount)++] = position;
}

static int key_is_uniform(const QK_uint8 *p) { return p[0] == p[1] && p[1] == p[2] && p[2] == p[3]; }

/* Equal bytes from a and b, at most limit. */
static QK_uint32 match_length(const QK_uint8 *a, const QK_uint8 *b, QK_uint32 limit) {
  QK_uint32 n = 0;
  while (n + 8 <= limit) {
    QK_uint64 x, y;
    memcpy(&x, a + n, 8);
    memcpy(&y, b + n, 8);
    if (x != y) return n + (QK_uint32)(__builtin_ctzll(x ^ y) >> 3);
    n += 8;
  }
  while (n < limit && a[n] == b[n]) n++;
  return n;
}

/* The longest match for the bytes at pos among the bucket's candidates (the earlier one on a
 * tie), each candidate limited to the table's bytes and the target to end. */
static QK_uint32 match_table_best(const QK_vcdiff_match_table *pTable, const QK_uint8 *data, QK_uint32 bucket,
                                  QK_uint32 pos, QK_uint32 end, QK_uint32 *pAddress) {
  const QK_uint32 *slots = &pTable->slots[(size_t)bucket * pTable->params.slots_per_bucket];
  QK_uint32 best = 0;
  for (QK_uint32 i = 0; i < pTable->counts[bucket] && best < pTable->params.good_enough; i++) {
    QK_uint32 q = slots[i], limit = end - pos;
    if (pTable->end - q < limit) limit = pTable->end - q;
    QK_uint32 length = match_length(data + q, data + pos, limit);
    if (length > best) {
      best = length;
      *pAddress = q;
    }
  }
  return best;
}

/* ---- Instructions ------------------------------------------------------------------------- */

/* Default code table: 0 RUN; 1 ADD size 0; 2-18 ADD 1-17; 19 + 16 x mode: COPY size 0, then
 * sizes 4-18; 163-234 ADD 1-4 + COPY 4-6 for modes 0-5; 235-246 ADD 1-4 + COPY 4 for modes
 * 6-8; 247-255 COPY 4 modes 0-8 + ADD 1. */
static QK_uint8 single_code(int type, QK_uint32 size, int mode, int *pbSizeImplicit) {
  *pbSizeImplicit = 1;
  if (type == VCD_ADD && size >= 1 && size <= 17) return (QK_uint8)(1 + size);
  if (type == VCD_COPY && size >= 4 && size <= 18) return (QK_uint8)(19 + 16 * mode + size - 3);
  *pbSizeImplicit = 0;
  return type == VCD_RUN ? 0 : type == VCD_ADD ? 1 : (QK_uint8)(19 + 16 * mode);
}

/* Replaces the last code by the double code for it and the new instruction, when the table
 * has one. */
static int QK_vcdiff__try_merge_instruction(QK_vcdiff_encoder *pEnc, int type, QK_uint32 size, int mode) {
  QK_uint8 *pLast;
  if (pEnc->caches.last_code < 0) return 0;
  pLast = &pEnc->window.instructions[pEnc->caches.last_code];
  if (*pLast >= 2 && *pLast <= 5 && type == VCD_COPY) { /* ADD 1-4, then COPY */
    QK_uint32 addSize = *pLast - 1u;
    if (mode <= 5 && size >= 4 && size <= 6)
      *pLast = (QK_uint8)(163 + 12 * mode + 3 * (addSize - 1) + (size - 4));
    else if (mode >= 6 && size == 4)
      *pLast = (QK_uint8)(235 + 4 * (mode - 6) + (addSize - 1));
    else
      return 0;
  } else if (*pLast >= 19 && *pLast < 163 && (*pLast - 19) % 16 == 1 && type == VCD_ADD && size == 1) {
    *pLast = (QK_uint8)(247 + (*pLast - 19) / 16); /* COPY 4, then ADD 1 */
  } else {
    return 0;
  }
  pEnc->caches.last_code = -1;
  return 1;
}

static void QK_vcdiff__add_instruction(QK_vcdiff_encoder *pEnc, int type, QK_uint32 size, int mode) {
  QK_vcdiff_window *w = &pEnc->window;
  int bImplicit;
  QK_uint8 code;
  if (QK_vcdiff__try_merge_instruction(pEnc, type, size, mode)) return;
  code = single_code(type, size, mode, &bImplicit);
  pEnc->caches.last_code = w->instructions_length;
  w->instructions[w->instructions_length++] = code;
  if (!bImplicit) {
    w->instructions_length += QK_vcdiff__write_varint(w->instructions + w->instructions_length, size);
    pEnc->caches.last_code = -1;
  }
}

static void emit_add(QK_vcdiff_encoder *pEnc, QK_uint32 *pPending) {
  if (*pPending) QK_vcdiff__add_instruction(pEnc, VCD_ADD, *pPending, 0);
  *pPending = 0;
}

/* COPY with the cheapest address the caches offer, then the caches updated as the decoder
 * will update them. */
static void emit_copy(QK_vcdiff_encoder *pEnc, QK_uint32 address, QK_uint32 length) {
  QK_vcdiff_window *w = &pEnc->window;
  QK_vcdiff_caches *c = &pEnc->caches;
  QK_uint32 sameSlot = address % QK_VCDIFF_SAME_SIZE;
  int mode = 0;
  QK_uint32 value = address;
  if (c->same[sameSlot] == address) {
    mode = 6 + (int)(sameSlot / 256);
    value = sameSlot % 256;
  } else {
    for (int i = 0; i < QK_VCDIFF_NEAR_SIZE; i++) {
      if (address >= c->near[i] && address - c->near[i] < 128) {
        mode = i + 2;
        value = address - c->near[i];
        break;
      }
    }
  }
  QK_vcdiff__add_instruction(pEnc, VCD_COPY, length, mode);
  if (mode >= 6)
    w->addresses[w->addresses_length++] = (QK_uint8)value;
  else
    w->addresses_length += QK_vcdiff__write_varint(w->addresses + w->addresses_length, value);
  c->near[c->next_near] = address;
  c->next_near = (c->next_near + 1) % QK_VCDIFF_NEAR_SIZE;
  c->same[sameSlot] = address;
}

/* ---- One window ----------------------------------------------------------------------------- */

static void QK_vcdiff__find_matches(QK_vcdiff_encoder *pEnc) {
  QK_vcdiff_window *w = &pEnc->window;
  const QK_uint8 *data = w->data;
  const QK_uint32 segment = w->segment_size, end = segment + w->target_length;
  QK_uint32 pos = segment, pending = 0;
  if (w->target_length == segment && memcmp(data, data + segment, segment) == 0) {
    QK_vcdiff__add_instruction(pEnc, VCD_COPY, segment, 0);
    w->addresses[w->addresses_length++] = 0;
    return;
  }
  if (segment > QK_VCDIFF_KEY_LENGTH) {
    for (QK_uint32 p = 0; p < segment - QK_VCDIFF_KEY_LENGTH; p++)
      if (!key_is_uniform(data + p)) match_table_add(pEnc->source_table, key_bucket(pEnc->source_table, data + p), p);
  }
  for (;;) {
    QK_uint32 address = 0, best, bucket;
    if (end - pos < QK_VCDIFF_KEY_LENGTH) {
      memcpy(w->data_section + w->data_length, data + pos, end - pos);
      w->data_length += end - pos;
      pending += end - pos;
      emit_add(pEnc, &pending);
      return;
    }
    if (key_is_uniform(data + pos)) {
      QK_uint8 c = data[pos];
      QK_uint32 runEnd = pos + QK_VCDIFF_KEY_LENGTH;
      emit_add(pEnc, &pending);
      while (runEnd < end && data[runEnd] == c) runEnd++;
      QK_vcdiff__add_instruction(pEnc, VCD_RUN, runEnd - pos, 0);
      w->data_section[w->data_length++] = c;
      pos = runEnd;
      continue;
    }
    bucket = key_bucket(pEnc->source_table, data + pos);
    best = match_table_best(pEnc->source_table, data, bucket, pos, end, &address);
    if (best < QK_VCDIFF_KEY_LENGTH)
      best = match_table_best(pEnc->target_table, data, bucket, pos, end, &address);
    if (best >= QK_VCDIFF_KEY_LENGTH) {
      emit_add(pEnc, &pending);
      emit_copy(pEnc, address, best);
      pos += best;
      continue;
    }
    /* A literal; only literal positions are indexed in the target. */
    match_table_add(pEnc->target_table, bucket, pos);
    w->data_section[w->data_length++] = data[pos];
    pending++;
    pos++;
  }
}

/* Reads the segment and up to a window of target bytes (fewer only at the end of the target). */
static void QK_vcdiff__read_window(QK_context *ctx, QK_vcdiff_encoder *pEnc, QK_seekreader *pSource,
                                   QK_readstream *pTarget) {
  QK_vcdiff_window *w = &pEnc->window;
  if (w->segment_size)
    QK_TRY(ctx, QK_seekreader__read_at(ctx, pSource, w->segment_position, w->segment_size, w->data, NULL));
  /* Whole windows whatever the stream's short reads, so the delta is deterministic. */
  while (w->target_length < QK_VCDIFF_WINDOW_SIZE) {
    QK_uint32 got = 0;
    QK_readstream__read(ctx, pTarget, QK_VCDIFF_WINDOW_SIZE - w->target_length,
                        w->data + w->segment_size + w->target_length, &got);
    if (QK_context__error_equals(ctx, QK_ERR_EOF)) {
      QK_context__reset_error(ctx);
      break;
    }
    QK_CHECK(ctx);
    w->target_length += got;
  }
  memset(w->data + w->segment_size + w->target_length, 0,
         2 * (size_t)QK_VCDIFF_WINDOW_SIZE - w->segment_size - w->target_length);
  match_table_reset(pEnc->source_table, 0, w->segment_size);
  match_table_reset(pEnc->target_table, 0, w->segment_size + w->target_length);
done:;
}

/* Chooses the source segment, reads and matches one window. */
static void QK_vcdiff__encode_window(QK_context *ctx, QK_vcdiff_encoder *pEnc, QK_seekreader *pSource,
                                     QK_readstream *pTarget, QK_uint64 sourceLength, QK_uint64 targetOffset) {
  QK_vcdiff_window *w = &pEnc->window;
  if (sourceLength < QK_VCDIFF_WINDOW_SIZE) {
    w->segment_position = 0;
    w->segment_size = (QK_uint32)sourceLength;
  } else {
    w->segment_position = targetOffset < sourceLength ? targetOffset : 0;
    w->segment_size = (QK_uint32)(sourceLength - w->segment_position < QK_VCDIFF_WINDOW_SIZE
                                      ? sourceLength - w->segment_position
                                      : QK_VCDIFF_WINDOW_SIZE);
  }
  w->capacity = w->segment_size + QK_VCDIFF_WINDOW_SIZE;
  QK_TRY(ctx, QK_vcdiff__read_window(ctx, pEnc, pSource, pTarget));
  if (w->target_length) QK_vcdiff__find_matches(pEnc);
done:;
}

static void QK_vcdiff__write_window(QK_context *ctx, QK_vcdiff_encoder *pEnc, QK_writestream *pDelta) {
  QK_vcdiff_window *w = &pEnc->window;
  QK_uint8 header[64];
  QK_uint32 n = 0;
  w->total_section_bytes = w->data_length + w->instructions_length + w->addresses_length;
  QK_uint64 encodingLength = (QK_uint64)w->total_section_bytes + QK_vcdiff__varint_size(w->target_length) +
                             QK_vcdiff__varint_size(w->data_length) +
                             QK_vcdiff__varint_size(w->instructions_length) +
                             QK_vcdiff__varint_size(w->addresses_length) + 1;
  header[n++] = 0x01; /* VCD_SOURCE */
  n += QK_vcdiff__write_varint(header + n, w->segment_size);
  n += QK_vcdiff__write_varint(header + n, w->segment_position);
  n += QK_vcdiff__write_varint(header + n, encodingLength);
  n += QK_vcdiff__write_varint(header + n, w->target_length);
  header[n++] = 0x00; /* no compressed sections */
  n += QK_vcdiff__write_varint(header + n, w->data_length);
  n += QK_vcdiff__write_varint(header + n, w->instructions_length);
  n += QK_vcdiff__write_varint(header + n, w->addresses_length);
  QK_TRY(ctx, QK_writestream__write(ctx, pDelta, n, header, NULL));
  QK_TRY(ctx, QK_writestream__write(ctx, pDelta, w->data_length, w->data_section, NULL));
  QK_TRY(ctx, QK_writestream__write(ctx, pDelta, w->instructions_length, w->instructions, NULL));
  QK_TRY(ctx, QK_writestream__write(ctx, pDelta, w->addresses_length, w->addresses, NULL));
done:;
}

static void QK_vcdiff__free_window_buffers(QK_context *ctx, QK_vcdiff_window *w) {
  QK_free(ctx, w->data);
  QK_free(ctx, w->data_section);
  QK_free(ctx, w->instructions);
  QK_free(ctx, w->addresses);
  w->data = w->data_section = w->instructions = w->addresses = NULL;
}

static void QK_vcdiff__alloc_window_buffers(QK_context *ctx, QK_vcdiff_window *w) {
  QK_TRY(ctx, QK_malloc(ctx, 2 * QK_VCDIFF_WINDOW_SIZE, &w->data));
  QK_TRY(ctx, QK_malloc(ctx, 2 * QK_VCDIFF_WINDOW_SIZE, &w->data_section));
  QK_TRY(ctx, QK_malloc(ctx, 2 * QK_VCDIFF_WINDOW_SIZE, &w->instructions));
  QK_TRY(ctx, QK_malloc(ctx, 4 * QK_VCDIFF_WINDOW_SIZE, &w->addresses));
done:;
}

static void QK_vcdiff__write_header(QK_context *ctx, QK_writestream *pDelta) {
  /* Magic, version 0, and no secondary compressor, code table or application header. */
  static const QK_uint8 header[] = {0xD6, 0xC3, 0xC4, 0x00, 0x00};
  QK_TRY(ctx, QK_writestream__write(ctx, pDelta, sizeof(header), header, NULL));
done:;
}

static void QK_vcdiff__encode_windows(QK_context *ctx, QK_seekreader *pSource, QK_readstream *pTarget,
                                      QK_writestream *pDelta) {
  QK_vcdiff_encoder enc = {};
  QK_uint64 sourceLength = 0, targetOffset = 0;
  QK_TRY(ctx, QK_seekreader__get_length(ctx, pSource, &sourceLength));
  if (sourceLength == 0) QK_THROW(ctx, QK_ERR_VCDIFF_NO_DATA);
  QK_TRY(ctx, QK_vcdiff__alloc_window_buffers(ctx, &enc.window));
  QK_TRY(ctx, QK_vcdiff__write_header(ctx, pDelta));
  QK_TRY(ctx, QK_vcdiff__alloc_match_table(ctx, &g_source_params, &enc.source_table));
  QK_TRY(ctx, QK_vcdiff__alloc_match_table(ctx, &g_target_params, &enc.target_table));
  for (;;) {
    QK_uint8 *buffers[4] = {enc.window.data, enc.window.data_section, enc.window.instructions,
                            enc.window.addresses};
    memset(&enc.window, 0, sizeof(enc.window));
    enc.window.data = buffers[0];
    enc.window.data_section = buffers[1];
    enc.window.instructions = buffers[2];
    enc.window.addresses = buffers[3];
    memset(&enc.caches, 0, sizeof(enc.caches));
    enc.caches.last_code = -1;
    QK_TRY(ctx, QK_vcdiff__encode_window(ctx, &enc, pSource, pTarget, sourceLength, targetOffset));
    if (enc.window.target_length == 0) break;
    QK_TRY(ctx, QK_vcdiff__write_window(ctx, &enc, pDelta));
    targetOffset += enc.window.target_length;
  }
done:
  QK_vcdiff__free_match_table(ctx, enc.source_table);
  QK_vcdiff__free_match_table(ctx, enc.target_table);
  QK_vcdiff__free_window_buffers(ctx, &enc.window);
}

void QK_vcdiff__encode(QK_context *ctx, QK_seekreader *pSource, QK_readstream *pTarget, QK_writestream *pDelta) {
  QK_ARG_NOT_NULL(ctx, pSource);
  QK_ARG_NOT_NULL(ctx, pTarget);
  QK_ARG_NOT_NULL(ctx, pDelta);
  QK_TRY(ctx, QK_vcdiff__encode_windows(ctx, pSource, pTarget, pDelta));
done:;
}

void QK_vcdiff__deltify_files(QK_context *ctx, const char *pszSource, const char *pszTarget, const char *pszDelta) {
  QK_seekreader *pSource = NULL;
  QK_readstream *pTarget = NULL;
  QK_writestream *pDelta = NULL;
  int bDeltaCreated = 0;
  QK_ARG_NOT_NULL(ctx, pszSource);
  QK_ARG_NOT_NULL(ctx, pszTarget);
  QK_ARG_NOT_NULL(ctx, pszDelta);
  QK_TRY(ctx, QK_seekreader__open(ctx, pszSource, 0, &pSource));
  QK_TRY(ctx, QK_readstream__open(ctx, pszTarget, &pTarget));
  QK_TRY(ctx, QK_writestream__open(ctx, pszDelta, &pDelta));
  bDeltaCreated = 1;
  QK_TRY(ctx, QK_vcdiff__encode(ctx, pSource, pTarget, pDelta));
  QK_seekreader__close(ctx, pSource);
  pSource = NULL;
  QK_readstream__close(ctx, pTarget);
  pTarget = NULL;
  {
    QK_writestream *pClosing = pDelta;
    pDelta = NULL;
    QK_TRY(ctx, QK_writestream__close(ctx, pClosing));
  }
done:
  if (pSource) QK_RELEASE(ctx, QK_seekreader__close(ctx, pSource));
  if (pTarget) QK_RELEASE(ctx, QK_readstream__close(ctx, pTarget));
  if (pDelta) QK_RELEASE(ctx, QK_writestream__close(ctx, pDelta));
  /* A partial delta must not look like an answer. */
  if (bDeltaCreated && QK_context__has_error(ctx)) QK_RELEASE(ctx, QK_fsobj__remove_file(ctx, pszDelta));
}
