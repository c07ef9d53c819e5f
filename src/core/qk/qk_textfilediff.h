/* Three-way merge of texts line by line: the base (common ancestor), the modified and the
 * latest version are split into line tokens, diffed with qk_filediff, and merged into one
 * text with conflict markers where both sides changed the same lines differently. */
#ifndef QK_TEXTFILEDIFF_H
#define QK_TEXTFILEDIFF_H

#include "qk/qk_context.h"
#include "qk/qk_filediff.h"
#include "qk/qk_string.h"

/* Options (a mask). */
#define QK_TEXTFILEDIFF_IGNORE_BLANK_RUNS 0x1 /* runs of spaces and tabs of any length match */
#define QK_TEXTFILEDIFF_IGNORE_CASE 0x2       /* ASCII letters compare case-insensitively */
#define QK_TEXTFILEDIFF_KEEP_ENDINGS 0x100    /* the ending belongs to the line; none is added */
/* With QK_TEXTFILEDIFF_KEEP_ENDINGS: only one ending ends a line. */
#define QK_TEXTFILEDIFF_ENDING_CRLF 0x110
#define QK_TEXTFILEDIFF_ENDING_LF 0x120
#define QK_TEXTFILEDIFF_ENDING_CRLF_TOO 0x140
#define QK_TEXTFILEDIFF_ENDING_CR 0x180

/* One line: its bytes in the owned copy; the length leaves the ending out unless
 * QK_TEXTFILEDIFF_KEEP_ENDINGS is set. */
typedef struct QK_textfilediff_token {
  QK_uint32 length;
  const char *start;
} QK_textfilediff_token;

typedef struct QK_textfilediff_text {
  const char *text;  /* the caller's */
  char *copy;        /* owned */
  QK_textfilediff_token *tokens;
  QK_uint32 token_count;
  /* Lines by ending; the three ending kinds are counted only when no fixed ending applies,
   * an unterminated last line always. */
  QK_uint32 count_no_ending, count_lf, count_crlf, count_cr;
} QK_textfilediff_text;

typedef struct QK_textfilediff {
  QK_uint32 options;
  QK_textfilediff_text texts[3]; /* indexed by QK_DIFF_SOURCE_* */
  QK_diff_hunk *hunks;
} QK_textfilediff;

/* Diffs the three texts (NULL counts as empty); *pbHasConflicts (optional) is 1 when some
 * lines conflict, which is not an error. Free the result with QK_textfilediff__free. */
void QK_textfilediff__diff3(QK_context *ctx, const char *pszBase, const char *pszModified,
                            const char *pszLatest, QK_uint32 options, QK_textfilediff **ppDiff,
                            int *pbHasConflicts);
/* A new string with the merged text; labels may be NULL ("Modified", "Latest"). */
void QK_textfilediff__merge_to_string(QK_context *ctx, const QK_textfilediff *pDiff,
                                      const QK_string *pLabelModified, const QK_string *pLabelLatest,
                                      QK_string **ppOutput);
/* NULL is accepted. */
void QK_textfilediff__free(QK_context *ctx, QK_textfilediff *pDiff);

#endif
