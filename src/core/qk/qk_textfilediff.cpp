/* Three-way text merge over line tokens. */
#include "qk/qk_textfilediff.h"

#include <string.h>

#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"

#define QK_TEXTFILEDIFF_FIXED_ENDING_MASK 0x1F0u

typedef int (*QK_textfilediff_bytecmp)(const void *a, const void *b, size_t n);

/* What the diff engine reads the texts through. */
typedef struct QK_textfilediff_datasource {
  QK_textfilediff *diff;
  QK_uint32 cursor[3]; /* next token to hand out, per text */
  QK_uint32 options;
  const char *fixed_ending; /* NULL: any of "\r\n", "\n", "\r" ends a line */
  QK_uint32 fixed_ending_length;
  QK_textfilediff_bytecmp bytecmp;
} QK_textfilediff_datasource;

enum { ENDING_NONE, ENDING_LF, ENDING_CRLF, ENDING_CR };

static int QK_textfilediff__memcmp(const void *a, const void *b, size_t n) { return memcmp(a, b, n); }
static int QK_textfilediff__memicmp(const void *a, const void *b, size_t n) { return QK_memicmp(a, b, n); }

static void QK_textfilediff__init_datasource(QK_textfilediff_datasource *pDs, QK_textfilediff *pDiff,
                                             QK_uint32 options) {
  static const struct {
    QK_uint32 option;
    const char *ending;
  } fixed[] = {{QK_TEXTFILEDIFF_ENDING_CRLF, "\r\n"},
               {QK_TEXTFILEDIFF_ENDING_LF, "\n"},
               {QK_TEXTFILEDIFF_ENDING_CRLF_TOO, "\r\n"},
               {QK_TEXTFILEDIFF_ENDING_CR, "\r"}};
  memset(pDs, 0, sizeof(*pDs));
  pDs->diff = pDiff;
  pDs->options = options;
  pDs->bytecmp = (options & QK_TEXTFILEDIFF_IGNORE_CASE) ? QK_textfilediff__memicmp : QK_textfilediff__memcmp;
  for (const auto &f : fixed) {
    if ((options & f.option) == f.option) {
      pDs->fixed_ending = f.ending;
      pDs->fixed_ending_length = (QK_uint32)strlen(f.ending);
      break;
    }
  }
}

/* Finds the end of the line starting at p: returns the line's length without ending and sets
 * the ending's length and kind (ENDING_NONE for the unterminated rest). */
static size_t find_line_end(const QK_textfilediff_datasource *pDs, const char *p, const char *pEnd,
                            QK_uint32 *pEndingLength, int *pKind) {
  const char *q = p;
  if (pDs->fixed_ending == NULL) {
    while (q < pEnd && *q != '\r' && *q != '\n') q++;
    if (q == pEnd) {
      *pEndingLength = 0;
      *pKind = ENDING_NONE;
    } else if (*q == '\n') {
      *pEndingLength = 1;
      *pKind = ENDING_LF;
    } else if (q + 1 < pEnd && q[1] == '\n') {
      *pEndingLength = 2;
      *pKind = ENDING_CRLF;
    } else {
      *pEndingLength = 1;
      *pKind = ENDING_CR;
    }
    return (size_t)(q - p);
  }
  for (;;) {
    q = (const char *)memchr(q, pDs->fixed_ending[0], (size_t)(pEnd - q));
    if (q == NULL) {
      *pEndingLength = 0;
      *pKind = ENDING_NONE;
      return (size_t)(pEnd - p);
    }
    if (pDs->fixed_ending_length == 1 || (q + 1 < pEnd && q[1] == pDs->fixed_ending[1])) break;
    q++;
  }
  *pEndingLength = pDs->fixed_ending_length;
  *pKind = -1; /* fixed endings are not counted by kind */
  return (size_t)(q - p);
}

/* Copies the text and splits the copy into line tokens. A text that ends with a line ending
 * has no empty last token; an empty line in the middle is an empty token. */
static void QK_textfilediff__ds_open(QK_context *ctx, void *baton, int source) {
  QK_textfilediff_datasource *pDs = (QK_textfilediff_datasource *)baton;
  QK_textfilediff_text *pText = &pDs->diff->texts[source];
  const char *p, *pEnd;
  QK_uint32 count = 0;
  pDs->cursor[source] = 0;
  if (pText->text == NULL) goto done;
  if (strlen(pText->text) > UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  QK_TRY(ctx, QK_strdup(ctx, pText->text, &pText->copy));
  pEnd = pText->copy + strlen(pText->copy);
  for (p = pText->copy; p < pEnd; count++) {
    QK_uint32 endingLength;
    int kind;
    p += find_line_end(pDs, p, pEnd, &endingLength, &kind) + endingLength;
  }
  QK_TRY(ctx, QK_alloc(ctx, count ? count : 1, (QK_uint32)sizeof(QK_textfilediff_token), &pText->tokens));
  for (p = pText->copy; p < pEnd;) {
    QK_uint32 endingLength;
    int kind;
    size_t lineLength = find_line_end(pDs, p, pEnd, &endingLength, &kind);
    QK_textfilediff_token *pToken = &pText->tokens[pText->token_count++];
    pToken->start = p;
    pToken->length = (QK_uint32)lineLength;
    if (pDs->options & QK_TEXTFILEDIFF_KEEP_ENDINGS) pToken->length += endingLength;
    switch (kind) {
      case ENDING_NONE: pText->count_no_ending++; break;
      case ENDING_LF: pText->count_lf++; break;
      case ENDING_CRLF: pText->count_crlf++; break;
      case ENDING_CR: pText->count_cr++; break;
      default: break;
    }
    p += lineLength + endingLength;
  }
done:;
}

static void QK_textfilediff__ds_close(QK_context *, void *, int) {}

static void QK_textfilediff__ds_next_token(QK_context *ctx, void *baton, int source, void **ppToken) {
  QK_textfilediff_datasource *pDs = (QK_textfilediff_datasource *)baton;
  const QK_textfilediff_text *pText = &pDs->diff->texts[source];
  QK_ARG_NOT_NULL(ctx, ppToken);
  *ppToken = pDs->cursor[source] < pText->token_count ? &pText->tokens[pDs->cursor[source]++] : NULL;
done:;
}

/* The shorter line is less; lines of equal length compare byte by byte. */
static int QK_textfilediff__ds_compare(void *baton, const void *a, const void *b) {
  const QK_textfilediff_datasource *pDs = (const QK_textfilediff_datasource *)baton;
  const QK_textfilediff_token *pA = (const QK_textfilediff_token *)a, *pB = (const QK_textfilediff_token *)b;
  if (pA->length != pB->length) return pA->length < pB->length ? -1 : 1;
  return pDs->bytecmp(pA->start, pB->start, pA->length);
}

static int is_blank(char c) { return c == ' ' || c == '\t'; }

/* Runs of blanks of any length match each other, but never the absence of a blank. A run
 * stands for one space also against other bytes: the lines are interned in an ordered tree,
 * so the compare must be a consistent order, and a tab sorting by its own byte value against
 * a control character while matching a space would break that. */
static int QK_textfilediff__ds_compare_ignore_whitespace(void *baton, const void *a, const void *b) {
  const QK_textfilediff_datasource *pDs = (const QK_textfilediff_datasource *)baton;
  const QK_textfilediff_token *pA = (const QK_textfilediff_token *)a, *pB = (const QK_textfilediff_token *)b;
  QK_uint32 i = 0, j = 0;
  if (pA->length == pB->length && pDs->bytecmp(pA->start, pB->start, pA->length) == 0) return 0;
  while (i < pA->length && j < pB->length) {
    char ca = pA->start[i], cb = pB->start[j];
    int cmp;
    if (is_blank(ca) && is_blank(cb)) {
      while (i < pA->length && is_blank(pA->start[i])) i++;
      while (j < pB->length && is_blank(pB->start[j])) j++;
      continue;
    }
    if (is_blank(ca)) ca = ' ';
    if (is_blank(cb)) cb = ' ';
    cmp = pDs->bytecmp(&ca, &cb, 1);
    if (cmp) return cmp;
    i++;
    j++;
  }
  if (i == pA->length) return j == pB->length ? 0 : -1;
  return 1;
}

static const QK_diff_datasource_ops g_datasource_ops = {
    QK_textfilediff__ds_open, QK_textfilediff__ds_close, QK_textfilediff__ds_next_token,
    QK_textfilediff__ds_compare, NULL, NULL};
static const QK_diff_datasource_ops g_datasource_ops_ignore_whitespace = {
    QK_textfilediff__ds_open, QK_textfilediff__ds_close, QK_textfilediff__ds_next_token,
    QK_textfilediff__ds_compare_ignore_whitespace, NULL, NULL};

void QK_textfilediff__diff3(QK_context *ctx, const char *pszBase, const char *pszModified,
                            const char *pszLatest, QK_uint32 options, QK_textfilediff **ppDiff,
                            int *pbHasConflicts) {
  QK_textfilediff *pDiff = NULL;
  QK_textfilediff_datasource ds;
  QK_ARG_NOT_NULL(ctx, ppDiff);
  QK_TRY(ctx, QK_alloc(ctx, 1, (QK_uint32)sizeof(QK_textfilediff), &pDiff));
  pDiff->options = options;
  pDiff->texts[QK_DIFF_SOURCE_BASE].text = pszBase;
  pDiff->texts[QK_DIFF_SOURCE_MODIFIED].text = pszModified;
  pDiff->texts[QK_DIFF_SOURCE_LATEST].text = pszLatest;
  QK_textfilediff__init_datasource(&ds, pDiff, options);
  QK_TRY(ctx, QK_filediff__diff3(ctx,
                                 (options & QK_TEXTFILEDIFF_IGNORE_BLANK_RUNS) ? &g_datasource_ops_ignore_whitespace
                                                                               : &g_datasource_ops,
                                 &ds, &pDiff->hunks));
  if (pbHasConflicts) *pbHasConflicts = QK_filediff__has_conflicts(pDiff->hunks);
  *ppDiff = pDiff;
  pDiff = NULL;
done:
  QK_RELEASE(ctx, QK_textfilediff__free(ctx, pDiff));
}

/* ---- Writing the merged text ------------------------------------------------------------- */

typedef struct QK_textfilediff_output {
  const QK_textfilediff *diff;
  QK_string *out;
  const char *separator; /* NULL under QK_TEXTFILEDIFF_KEEP_ENDINGS */
  const char *label_modified;
  const char *label_latest;
  int bWritten; /* a line or marker line was written */
} QK_textfilediff_output;

static void write_separator(QK_context *ctx, QK_textfilediff_output *pOut) {
  if (pOut->separator && pOut->bWritten) QK_TRY(ctx, QK_string__append__sz(ctx, pOut->out, pOut->separator));
  pOut->bWritten = 1;
done:;
}

static void write_lines(QK_context *ctx, QK_textfilediff_output *pOut, int source, QK_uint32 start,
                        QK_uint32 length) {
  const QK_textfilediff_text *pText = &pOut->diff->texts[source];
  for (QK_uint32 i = start - 1; i < start - 1 + length; i++) {
    QK_TRY(ctx, write_separator(ctx, pOut));
    QK_TRY(ctx, QK_string__append__buflen(ctx, pOut->out, pText->tokens[i].start, pText->tokens[i].length));
  }
done:;
}

static void write_marker(QK_context *ctx, QK_textfilediff_output *pOut, const char *szMarker, const char *szLabel) {
  QK_TRY(ctx, write_separator(ctx, pOut));
  QK_TRY(ctx, QK_string__append__sz(ctx, pOut->out, szMarker));
  if (szLabel) QK_TRY(ctx, QK_string__append__sz(ctx, pOut->out, szLabel));
  if (pOut->separator == NULL) QK_TRY(ctx, QK_string__append__sz(ctx, pOut->out, "\r\n"));
done:;
}

static void QK_textfilediff__out_write_modified(QK_context *ctx, void *baton, QK_uint32, QK_uint32,
                                                QK_uint32 modified_start, QK_uint32 modified_length,
                                                QK_uint32, QK_uint32) {
  QK_TRY(ctx, write_lines(ctx, (QK_textfilediff_output *)baton, QK_DIFF_SOURCE_MODIFIED, modified_start,
                          modified_length));
done:;
}

static void QK_textfilediff__out_write_latest(QK_context *ctx, void *baton, QK_uint32, QK_uint32, QK_uint32,
                                              QK_uint32, QK_uint32 latest_start, QK_uint32 latest_length) {
  QK_TRY(ctx, write_lines(ctx, (QK_textfilediff_output *)baton, QK_DIFF_SOURCE_LATEST, latest_start,
                          latest_length));
done:;
}

static void QK_textfilediff__out_write_conflict(QK_context *ctx, void *baton, QK_uint32, QK_uint32,
                                                QK_uint32 modified_start, QK_uint32 modified_length,
                                                QK_uint32 latest_start, QK_uint32 latest_length) {
  QK_textfilediff_output *pOut = (QK_textfilediff_output *)baton;
  QK_TRY(ctx, write_marker(ctx, pOut, "<<<<<<< ", pOut->label_modified));
  QK_TRY(ctx, write_lines(ctx, pOut, QK_DIFF_SOURCE_MODIFIED, modified_start, modified_length));
  QK_TRY(ctx, write_marker(ctx, pOut, "=======", NULL));
  QK_TRY(ctx, write_lines(ctx, pOut, QK_DIFF_SOURCE_LATEST, latest_start, latest_length));
  QK_TRY(ctx, write_marker(ctx, pOut, ">>>>>>> ", pOut->label_latest));
done:;
}

/* The ending kind most lines of a text have, ties going to the earlier kind; ENDING_NONE for
 * a text without any line ending. An unterminated last line is only the end of the text, not
 * a vote for no ending: counted, it outvoted the single ending of a two-line text. */
static int dominant_ending(const QK_textfilediff_text *pText) {
  const QK_uint32 counts[] = {0, pText->count_lf, pText->count_crlf, pText->count_cr};
  int best = ENDING_NONE;
  for (int kind = ENDING_LF; kind <= ENDING_CR; kind++)
    if (counts[kind] > counts[best]) best = kind;
  return best;
}

/* The side that changed the endings wins. A text without line endings has no say: a side
 * without any takes the other side's kind (or the base's); texts that disagree on every side,
 * or have no endings at all, are joined by "\r\n". */
static const char *choose_separator(const QK_textfilediff *pDiff) {
  int base = dominant_ending(&pDiff->texts[QK_DIFF_SOURCE_BASE]);
  int modified = dominant_ending(&pDiff->texts[QK_DIFF_SOURCE_MODIFIED]);
  int latest = dominant_ending(&pDiff->texts[QK_DIFF_SOURCE_LATEST]);
  int kind = ENDING_NONE;
  if (modified == ENDING_NONE) modified = latest != ENDING_NONE ? latest : base;
  if (latest == ENDING_NONE) latest = modified;
  if (modified == latest)
    kind = modified;
  else if (base == modified)
    kind = latest;
  else if (base == latest)
    kind = modified;
  return kind == ENDING_LF ? "\n" : kind == ENDING_CR ? "\r" : "\r\n";
}

void QK_textfilediff__merge_to_string(QK_context *ctx, const QK_textfilediff *pDiff,
                                      const QK_string *pLabelModified, const QK_string *pLabelLatest,
                                      QK_string **ppOutput) {
  static const QK_diff_output_ops ops = {
      QK_textfilediff__out_write_modified, QK_textfilediff__out_write_modified, QK_textfilediff__out_write_latest,
      QK_textfilediff__out_write_modified, QK_textfilediff__out_write_conflict};
  QK_textfilediff_output out = {};
  QK_ARG_NOT_NULL(ctx, pDiff);
  QK_ARG_NOT_NULL(ctx, ppOutput);
  out.diff = pDiff;
  out.separator = (pDiff->options & QK_TEXTFILEDIFF_KEEP_ENDINGS) ? NULL : choose_separator(pDiff);
  out.label_modified = pLabelModified ? QK_string__sz(pLabelModified) : "Modified";
  out.label_latest = pLabelLatest ? QK_string__sz(pLabelLatest) : "Latest";
  QK_TRY(ctx, QK_string__alloc(ctx, &out.out));
  QK_TRY(ctx, QK_filediff__output(ctx, &ops, &out, pDiff->hunks));
  /* The final ending: kept when both sides kept it; when only one side dropped it, that side
   * wins unless the base had none (then the other side added it). An empty result stays
   * empty. */
  if (out.separator && out.bWritten) {
    int base = pDiff->texts[QK_DIFF_SOURCE_BASE].count_no_ending > 0;
    int modified = pDiff->texts[QK_DIFF_SOURCE_MODIFIED].count_no_ending > 0;
    int latest = pDiff->texts[QK_DIFF_SOURCE_LATEST].count_no_ending > 0;
    if ((!modified && !latest) || (modified != latest && base))
      QK_TRY(ctx, QK_string__append__sz(ctx, out.out, out.separator));
  }
  *ppOutput = out.out;
  out.out = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, out.out));
}

void QK_textfilediff__free(QK_context *ctx, QK_textfilediff *pDiff) {
  if (pDiff == NULL) return;
  for (QK_textfilediff_text &text : pDiff->texts) {
    QK_free(ctx, text.copy);
    QK_free(ctx, text.tokens);
  }
  QK_filediff__free_hunks(ctx, pDiff->hunks);
  QK_free(ctx, pDiff);
}
