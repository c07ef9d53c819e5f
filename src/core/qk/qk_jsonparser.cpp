/* JSON text to documents: a single pass over the bytes that checks the grammar and builds
 * the tree as it goes, with an explicit stack instead of recursion. */
#include "qk/qk_jsonparser.h"

#include <charconv>
#include <stdint.h>
#include <string.h>

#include "qk/qk_malloc.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

/* 128 entries of which the bottom one marks the top level. */
#define QK_JSON_MAX_DEPTH 127
#define QK_JSON_MAX_KEY 256
#define QK_JSON_NESTED_VARRAY_CAPACITY 4
#define QK_JSON_TOKEN_INITIAL 3500
#define QK_JSON_KEY_CACHE 64 /* a power of two */

/* What the next token may be. */
enum json_expect {
  EXPECT_ROOT,          /* "{" or "[" */
  EXPECT_FIRST_ELEMENT, /* a value or "]" right after "[" */
  EXPECT_ELEMENT,       /* a value or "]" after a comma in an array */
  EXPECT_MEMBER_VALUE,  /* a value after ":" */
  EXPECT_FIRST_KEY,     /* a key or "}" right after "{" */
  EXPECT_KEY,           /* a key or "}" after a comma in an object */
  EXPECT_COLON,
  EXPECT_SEPARATOR      /* "," or the end of the innermost container */
};

typedef struct json_frame {
  QK_vhash *pvh; /* exactly one of the two is set */
  QK_varray *pva;
} json_frame;

typedef struct json_parser {
  const unsigned char *p;
  const unsigned char *end;
  QK_strpool *pStrpool;
  QK_varpool *pVarpool;
  QK_vhash *pvhRoot;
  QK_varray *pvaRoot;
  json_frame frames[QK_JSON_MAX_DEPTH];
  QK_uint32 depth;
  /* The pending key, already stored in the string pool, and its hash. */
  const char *pKey;
  QK_uint32 keyHash;
  /* Keys stored so far, by hash: rows of a document repeat the same member names, and one
   * stored copy serves them all (texts of a pool are never changed or freed on their own). */
  struct {
    const char *pKey;
    QK_uint32 len;
    QK_uint32 hash;
  } keyCache[QK_JSON_KEY_CACHE];
  /* Decoded text of a string that holds escapes. */
  char *token;
  size_t tokenLen;
  size_t tokenCap;
  char tokenInline[QK_JSON_TOKEN_INITIAL];
} json_parser;

/* Bytes that end a run of plain string content. */
static inline int string_special(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

static void token_append(QK_context *ctx, json_parser *P, const void *pBytes, size_t len) {
  if (P->tokenLen + len > P->tokenCap) {
    size_t cap = P->tokenCap;
    char *pNew = NULL;
    while (cap < P->tokenLen + len) cap *= 2;
    if (cap > UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
    QK_TRY(ctx, QK_malloc(ctx, (QK_uint32)cap, &pNew));
    memcpy(pNew, P->token, P->tokenLen);
    if (P->token != P->tokenInline) QK_RELEASE(ctx, QK_free(ctx, P->token));
    P->token = pNew;
    P->tokenCap = cap;
  }
  memcpy(P->token + P->tokenLen, pBytes, len);
  P->tokenLen += len;
done:;
}

/* Four hex digits after "\u". */
static void read_hex4(QK_context *ctx, json_parser *P, QK_uint32 *pUnit) {
  QK_uint32 unit = 0;
  for (int i = 0; i < 4; i++) {
    unsigned char c;
    if (P->p == P->end) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
    c = *P->p++;
    if (c >= '0' && c <= '9') unit = unit * 16 + (c - '0');
    else if (c >= 'a' && c <= 'f') unit = unit * 16 + (c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') unit = unit * 16 + (c - 'A' + 10);
    else QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
  }
  *pUnit = unit;
done:;
}

/* The byte after a backslash must be this one; the end of the text is "incomplete". */
static void expect_byte(QK_context *ctx, json_parser *P, unsigned char c) {
  if (P->p == P->end) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
  if (*P->p != c) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
  P->p++;
done:;
}

/* "\u" escape (P->p after the "u"): a code point, a surrogate pair joined, appended as UTF-8.
 * U+0000 is refused: the texts of parsed documents (settings, names, headers) are read as C
 * strings, which a NUL would cut short silently. */
static void decode_unicode_escape(QK_context *ctx, json_parser *P) {
  QK_uint32 cp = 0;
  QK_uint32 low = 0;
  unsigned char utf8[4];
  size_t len;
  QK_TRY(ctx, read_hex4(ctx, P, &cp));
  if (cp >= 0xDC00 && cp <= 0xDFFF) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    QK_TRY(ctx, expect_byte(ctx, P, '\\'));
    QK_TRY(ctx, expect_byte(ctx, P, 'u'));
    QK_TRY(ctx, read_hex4(ctx, P, &low));
    if (low < 0xDC00 || low > 0xDFFF) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
    cp = 0x10000 + (cp - 0xD800) * 0x400 + (low - 0xDC00);
  }
  if (cp == 0) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
  if (cp < 0x80) {
    utf8[0] = (unsigned char)cp;
    len = 1;
  } else if (cp < 0x800) {
    utf8[0] = (unsigned char)(0xC0 | cp >> 6);
    utf8[1] = (unsigned char)(0x80 | (cp & 0x3F));
    len = 2;
  } else if (cp < 0x10000) {
    utf8[0] = (unsigned char)(0xE0 | cp >> 12);
    utf8[1] = (unsigned char)(0x80 | (cp >> 6 & 0x3F));
    utf8[2] = (unsigned char)(0x80 | (cp & 0x3F));
    len = 3;
  } else {
    utf8[0] = (unsigned char)(0xF0 | cp >> 18);
    utf8[1] = (unsigned char)(0x80 | (cp >> 12 & 0x3F));
    utf8[2] = (unsigned char)(0x80 | (cp >> 6 & 0x3F));
    utf8[3] = (unsigned char)(0x80 | (cp & 0x3F));
    len = 4;
  }
  QK_TRY(ctx, token_append(ctx, P, utf8, len));
done:;
}

/* A string (P->p after the opening quote). The decoded bytes come back: in the
 * input itself when it holds no escape, else in the token buffer. */
static void parse_string(QK_context *ctx, json_parser *P, const char **ppText, size_t *pLen) {
  const unsigned char *run = P->p;
  int bEscaped = 0;
  P->tokenLen = 0;
  for (;;) {
    unsigned char c;
    while (P->p < P->end && !string_special(*P->p)) P->p++;
    if (P->p == P->end) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
    c = *P->p;
    if (c < 0x20) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
    if (c == '"') break;
    bEscaped = 1;
    QK_TRY(ctx, token_append(ctx, P, run, (size_t)(P->p - run)));
    if (++P->p == P->end) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
    c = *P->p++;
    if (c == 'u') {
      QK_TRY(ctx, decode_unicode_escape(ctx, P));
    } else {
      char decoded;
      switch (c) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        default: QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
      }
      QK_TRY(ctx, token_append(ctx, P, &decoded, 1));
    }
    run = P->p;
  }
  if (bEscaped) {
    QK_TRY(ctx, token_append(ctx, P, run, (size_t)(P->p - run)));
    *ppText = P->token;
    *pLen = P->tokenLen;
  } else {
    *ppText = (const char *)run;
    *pLen = (size_t)(P->p - run);
  }
  P->p++; /* the closing quote */
done:;
}

/* Whether a decimal text out of the double range is too large (else it is too small). */
static int exceeds_double_range(const unsigned char *start, const unsigned char *end) {
  const unsigned char *p = start;
  QK_int64 order = 0, exponent = 0;
  int bSeenNonzero = 0, bAfterPoint = 0, bExponentNegative = 0;
  if (*p == '-') p++;
  for (; p < end && *p != 'e' && *p != 'E'; p++) {
    if (*p == '.') {
      bAfterPoint = 1;
    } else if (!bSeenNonzero) {
      if (*p != '0') bSeenNonzero = 1;
      if (bAfterPoint) order--;
    } else if (!bAfterPoint) {
      order++;
    }
  }
  if (p < end) p++;
  if (p < end && (*p == '+' || *p == '-')) bExponentNegative = *p++ == '-';
  for (; p < end; p++)
    if (exponent < 1000000) exponent = exponent * 10 + (*p - '0');
  return order + (bExponentNegative ? -exponent : exponent) > 0;
}

static int is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

/* A number (P->p on "-" or its first digit) into the slot: an integer when it has neither
 * "." nor an exponent, else a double. */
static void parse_number(QK_context *ctx, json_parser *P, QK_variant *pSlot) {
  const unsigned char *start = P->p;
  int bNegative = 0, bFloat = 0, bEndsOpen = 0, bOverflow = 0;
  QK_uint64 magnitude = 0;
  if (*P->p == '-') {
    bNegative = 1;
    P->p++;
  }
  if (P->p == P->end) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
  if (*P->p == '0') {
    P->p++;
    /* A leading zero takes only a decimal point after it. */
    if (P->p < P->end && (is_digit(*P->p) || *P->p == 'e' || *P->p == 'E')) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
  } else if (is_digit(*P->p)) {
    QK_uint64 limit = bNegative ? (QK_uint64)INT64_MAX + 1 : (QK_uint64)INT64_MAX;
    for (; P->p < P->end && is_digit(*P->p); P->p++) {
      unsigned digit = *P->p - '0';
      if (magnitude > (limit - digit) / 10)
        bOverflow = 1;
      else
        magnitude = magnitude * 10 + digit;
    }
    if (P->p < P->end && (*P->p == 'e' || *P->p == 'E')) goto exponent;
  } else {
    QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
  }
  if (P->p < P->end && *P->p == '.') {
    bFloat = 1;
    P->p++;
    bEndsOpen = P->p == P->end || !is_digit(*P->p);
    while (P->p < P->end && is_digit(*P->p)) P->p++;
    if (!bEndsOpen && P->p < P->end && (*P->p == 'e' || *P->p == 'E')) goto exponent;
  }
  goto finish;
exponent:
  bFloat = 1;
  bEndsOpen = 1;
  if (++P->p == P->end) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
  if (*P->p == '+' || *P->p == '-') {
    if (++P->p == P->end) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
  }
  if (!is_digit(*P->p)) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
  while (P->p < P->end && is_digit(*P->p)) P->p++;
finish:
  /* A comment may not follow a number that ends in its point or its exponent directly. */
  if (bEndsOpen && P->p < P->end && *P->p == '/') QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
  if (bFloat) {
    double value = 0;
    std::from_chars_result r = std::from_chars((const char *)start, (const char *)P->p, value);
    if (r.ec == std::errc::result_out_of_range) {
      if (exceeds_double_range(start, P->p)) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
      value = bNegative ? -0.0 : 0.0;
    } else if (r.ec != std::errc() || r.ptr != (const char *)P->p) {
      QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
    }
    pSlot->type = QK_VARIANT_TYPE_DOUBLE;
    pSlot->u.dbl = value;
  } else {
    /* Past 64 bits the value would wrap: refused rather than stored wrong. */
    if (bOverflow) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
    pSlot->type = QK_VARIANT_TYPE_INT64;
    pSlot->u.i64 = bNegative ? (QK_int64)((QK_uint64)0 - magnitude) : (QK_int64)magnitude;
  }
done:;
}

/* The rest of true, false or null (P->p on its first letter). */
static void parse_literal(QK_context *ctx, json_parser *P, const char *word) {
  for (const char *w = word; *w; w++) {
    if (P->p == P->end) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
    if (*P->p != (unsigned char)*w) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
    P->p++;
  }
done:;
}

/* A fresh slot for the next value of the innermost container (under the pending key). */
static void value_slot(QK_context *ctx, json_parser *P, QK_variant **ppSlot) {
  json_frame *pFrame = &P->frames[P->depth - 1];
  if (pFrame->pva != NULL)
    QK_TRY(ctx, QK_varray__append_slot(ctx, pFrame->pva, ppSlot));
  else
    QK_TRY(ctx, QK_vhash__add_slot__stored_key(ctx, pFrame->pvh, P->pKey, P->keyHash, ppSlot));
done:;
}

/* Opens an object or array: the root, or a child of the innermost container. A child takes
 * its slot first (so a repeated key is refused before anything is made) and lives in the
 * tree's pools. */
static void open_container(QK_context *ctx, json_parser *P, int bObject) {
  json_frame *pFrame;
  if (P->depth == QK_JSON_MAX_DEPTH) QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
  pFrame = &P->frames[P->depth];
  pFrame->pvh = NULL;
  pFrame->pva = NULL;
  if (P->depth == 0) {
    if (bObject)
      QK_TRY(ctx, QK_vhash__alloc__params(ctx, &P->pvhRoot, 0, P->pStrpool, P->pVarpool));
    else
      QK_TRY(ctx, QK_varray__alloc__params(ctx, &P->pvaRoot, QK_JSON_NESTED_VARRAY_CAPACITY, P->pStrpool,
                                           P->pVarpool));
    pFrame->pvh = P->pvhRoot;
    pFrame->pva = P->pvaRoot;
  } else {
    QK_variant *pSlot = NULL;
    QK_TRY(ctx, value_slot(ctx, P, &pSlot));
    if (bObject) {
      QK_TRY(ctx, QK_vhash__alloc__child(ctx, &pFrame->pvh, P->pStrpool, P->pVarpool));
      pSlot->type = QK_VARIANT_TYPE_VHASH;
      pSlot->u.pvh = pFrame->pvh;
      if (!pFrame->pvh->bRecordInPool) P->pVarpool->heap_blocks++;
    } else {
      QK_TRY(ctx, QK_varray__alloc__child(ctx, &pFrame->pva, QK_JSON_NESTED_VARRAY_CAPACITY, P->pStrpool,
                                          P->pVarpool));
      pSlot->type = QK_VARIANT_TYPE_VARRAY;
      pSlot->u.pva = pFrame->pva;
      if (!pFrame->pva->bRecordInPool) P->pVarpool->heap_blocks++;
    }
  }
  P->depth++;
done:;
}

/* Skips blanks and block comments; the end of the text inside a comment is "incomplete". */
static void skip_space(QK_context *ctx, json_parser *P) {
  for (;;) {
    while (P->p < P->end && (*P->p == ' ' || *P->p == '\n' || *P->p == '\r' || *P->p == '\t')) P->p++;
    if (P->p == P->end || *P->p != '/') break;
    if (++P->p == P->end) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
    if (*P->p != '*') QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
    P->p++;
    for (;;) {
      unsigned char c;
      if (P->p == P->end) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
      c = *P->p++;
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
      if (c == '*' && P->p < P->end && *P->p == '/') {
        P->p++;
        break;
      }
    }
  }
done:;
}

/* A scalar value at P->p into a fresh slot of the innermost container. */
static void parse_scalar(QK_context *ctx, json_parser *P) {
  QK_variant *pSlot = NULL;
  unsigned char c = *P->p;
  if (c == '"') {
    const char *text = NULL;
    size_t len = 0;
    void *pCopy = NULL;
    P->p++;
    QK_TRY(ctx, parse_string(ctx, P, &text, &len));
    if (len >= UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
    QK_TRY(ctx, value_slot(ctx, P, &pSlot));
    QK_TRY(ctx, QK_strpool__alloc_space(ctx, P->pStrpool, (QK_uint32)len + 1, &pCopy));
    memcpy(pCopy, text, len);
    pSlot->type = QK_VARIANT_TYPE_SZ;
    pSlot->u.psz = (char *)pCopy;
    pSlot->len = (QK_uint32)len;
  } else if (c == '-' || is_digit(c)) {
    QK_variant number;
    memset(&number, 0, sizeof number);
    QK_TRY(ctx, parse_number(ctx, P, &number));
    QK_TRY(ctx, value_slot(ctx, P, &pSlot));
    *pSlot = number;
  } else if (c == 't' || c == 'f' || c == 'n') {
    QK_TRY(ctx, parse_literal(ctx, P, c == 't' ? "true" : c == 'f' ? "false" : "null"));
    QK_TRY(ctx, value_slot(ctx, P, &pSlot));
    if (c == 'n') {
      pSlot->type = QK_VARIANT_TYPE_NULL;
    } else {
      pSlot->type = QK_VARIANT_TYPE_BOOL;
      pSlot->u.b = c == 't';
    }
  } else {
    QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
  }
done:;
}

/* Makes the key the pending one: its stored copy (reused when the same key came before) and
 * its hash. */
static void store_key(QK_context *ctx, json_parser *P, const char *text, QK_uint32 len) {
  QK_uint32 hash = QK_keytable__hash(text, len);
  void *pKeyCopy = NULL;
  auto *pCached = &P->keyCache[hash & (QK_JSON_KEY_CACHE - 1)];
  if (pCached->pKey == NULL || pCached->hash != hash || pCached->len != len ||
      memcmp(pCached->pKey, text, len) != 0) {
    QK_TRY(ctx, QK_strpool__alloc_space(ctx, P->pStrpool, len + 1, &pKeyCopy));
    memcpy(pKeyCopy, text, len);
    pCached->pKey = (const char *)pKeyCopy;
    pCached->hash = hash;
    pCached->len = len;
  }
  P->pKey = pCached->pKey;
  P->keyHash = hash;
done:;
}

static void parse_text(QK_context *ctx, json_parser *P) {
  json_expect expect = EXPECT_ROOT;
  for (;;) {
    unsigned char c;
    QK_TRY(ctx, skip_space(ctx, P));
    if (P->p == P->end) break;
    c = *P->p;
    switch (expect) {
      case EXPECT_ROOT:
      case EXPECT_FIRST_ELEMENT:
      case EXPECT_ELEMENT:
      case EXPECT_MEMBER_VALUE:
        if (c == '{' || c == '[') {
          P->p++;
          QK_TRY(ctx, open_container(ctx, P, c == '{'));
          expect = c == '{' ? EXPECT_FIRST_KEY : EXPECT_FIRST_ELEMENT;
        } else if (c == ']' && (expect == EXPECT_FIRST_ELEMENT || expect == EXPECT_ELEMENT)) {
          P->p++;
          P->depth--;
          expect = EXPECT_SEPARATOR;
        } else if (expect == EXPECT_ROOT) {
          QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
        } else {
          QK_TRY(ctx, parse_scalar(ctx, P));
          expect = EXPECT_SEPARATOR;
        }
        break;
      case EXPECT_FIRST_KEY:
      case EXPECT_KEY:
        if (c == '}') {
          P->p++;
          P->depth--;
          expect = EXPECT_SEPARATOR;
        } else if (c == '"') {
          const char *text = NULL;
          size_t len = 0;
          P->p++;
          QK_TRY(ctx, parse_string(ctx, P, &text, &len));
          if (len > QK_JSON_MAX_KEY) QK_THROW(ctx, QK_ERR_BUFFER_TOO_SMALL);
          QK_TRY(ctx, store_key(ctx, P, text, (QK_uint32)len));
          expect = EXPECT_COLON;
        } else {
          QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
        }
        break;
      case EXPECT_COLON:
        if (c != ':') QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
        P->p++;
        expect = EXPECT_MEMBER_VALUE;
        break;
      case EXPECT_SEPARATOR: {
        json_frame *pFrame = P->depth ? &P->frames[P->depth - 1] : NULL;
        if (pFrame == NULL) QK_THROW(ctx, QK_ERR_JSON_SYNTAX); /* only space after the root */
        if (c == ',') {
          expect = pFrame->pva ? EXPECT_ELEMENT : EXPECT_KEY;
        } else if ((c == ']' && pFrame->pva) || (c == '}' && pFrame->pvh)) {
          P->depth--;
        } else {
          QK_THROW(ctx, QK_ERR_JSON_SYNTAX);
        }
        P->p++;
        break;
      }
    }
  }
  if (expect != EXPECT_SEPARATOR || P->depth != 0) QK_THROW(ctx, QK_ERR_UNSPECIFIED);
done:;
}

void QK_jsonparser__build(QK_context *ctx, const char *szText, size_t len, QK_vhash **ppvh,
                          QK_varray **ppva) {
  json_parser *P = NULL;
  const void *pNul;
  QK_ARG_NOT_NULL(ctx, szText);
  QK_ARG_NOT_NULL(ctx, ppvh);
  QK_ARG_NOT_NULL(ctx, ppva);
  QK_ARG_VALID(ctx, len, len != 0);
  if (len >= UINT32_MAX) QK_THROW(ctx, QK_ERR_INTEGER_OVERFLOW);
  *ppvh = NULL;
  *ppva = NULL;
  QK_TRY(ctx, QK_malloc(ctx, sizeof(json_parser), &P));
  memset(P, 0, offsetof(json_parser, tokenInline));
  P->p = (const unsigned char *)szText;
  pNul = memchr(szText, '\0', len);
  P->end = pNul ? (const unsigned char *)pNul : P->p + len;
  P->token = P->tokenInline;
  P->tokenCap = sizeof P->tokenInline;
  /* Every text and value of the tree fits in a handful of chunks sized from the text. */
  QK_TRY(ctx, QK_strpool__alloc(ctx, &P->pStrpool, (QK_uint32)len));
  QK_TRY(ctx, QK_varpool__alloc(ctx, &P->pVarpool, (QK_uint32)len + 1));
  QK_TRY(ctx, parse_text(ctx, P));
  if (P->pvhRoot) {
    QK_TRY(ctx, QK_vhash__take_pools(ctx, P->pvhRoot));
  } else {
    QK_TRY(ctx, QK_varray__take_pools(ctx, P->pvaRoot));
  }
  *ppvh = P->pvhRoot;
  *ppva = P->pvaRoot;
  P->pvhRoot = NULL;
  P->pvaRoot = NULL;
  P->pStrpool = NULL;
  P->pVarpool = NULL;
done:
  if (P != NULL) {
    QK_RELEASE(ctx, QK_vhash__free(ctx, P->pvhRoot));
    QK_RELEASE(ctx, QK_varray__free(ctx, P->pvaRoot));
    QK_RELEASE(ctx, QK_strpool__free(ctx, P->pStrpool));
    QK_RELEASE(ctx, QK_varpool__free(ctx, P->pVarpool));
    if (P->token != P->tokenInline) QK_RELEASE(ctx, QK_free(ctx, P->token));
  }
  QK_RELEASE(ctx, QK_free(ctx, P));
}
