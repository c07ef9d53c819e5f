/* Request, naming and message utilities. */
#include "common/tav_utils.h"

#include <string.h>

#include "qk/qk_file.h"
#include "qk/qk_fsobj.h"
#include "qk/qk_hex.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "qk/qk_web_utils.h"
#include "qk/qkhash.h"

int is_valid_pkg_version(int pkg_version) { return pkg_version >= 2 && pkg_version <= 6; }

void tav_url__get_path(QK_context *ctx, const char *url, char **pszPath) {
  char *path = NULL;
  const char *question;
  QK_ARG_NOT_NULL(ctx, url);
  QK_ARG_NOT_NULL(ctx, pszPath);
  if (url[0] != '/') QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "invalid URL: %s", url);
  question = strchr(url, '?');
  QK_TRY(ctx, QK_strdup(ctx, url, &path));
  if (question != NULL) path[question - url] = '\0';
  *pszPath = path;
done:;
}

void tav_url__get_query(QK_context *ctx, const char *url, char **pszQuery) {
  const char *question;
  QK_ARG_NOT_NULL(ctx, url);
  QK_ARG_NOT_NULL(ctx, pszQuery);
  question = strchr(url, '?');
  if (question != NULL) QK_TRY(ctx, QK_strdup(ctx, question, pszQuery));
done:;
}

static int is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void tav_url__decode(QK_context *ctx, const char *begin, const char *end, char **pszDecoded) {
  char *decoded = NULL, *out;
  QK_ARG_NOT_NULL(ctx, begin);
  QK_ARG_NOT_NULL(ctx, end);
  QK_ARG_NOT_NULL(ctx, pszDecoded);
  QK_ARG_VALID(ctx, end, end >= begin && (size_t)(end - begin) < UINT32_MAX);
  QK_TRY(ctx, QK_malloc(ctx, (QK_uint32)(end - begin) + 1, &decoded));
  out = decoded;
  for (const char *p = begin; p < end;) {
    if (*p == '%' && end - p >= 3 && is_hex_digit(p[1]) && is_hex_digit(p[2])) {
      QK_uint8 byte = 0;
      QK_TRY(ctx, QK_hex__parse_byte(ctx, p + 1, &byte));
      /* A NUL would end the text there and silently drop the rest of the value. */
      if (byte == 0) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "invalid URL query string: %.*s", (int)(end - begin), begin);
      *out++ = (char)byte;
      p += 3;
    } else {
      *out++ = *p == '+' ? ' ' : *p;
      p++;
    }
  }
  *out = '\0';
  *pszDecoded = decoded;
  decoded = NULL;
done:
  QK_free(ctx, decoded);
}

void tav_url__add_decoded(QK_context *ctx, QK_vhash *pvh, const char *key, const char *begin, const char *end) {
  char *decoded = NULL;
  QK_ARG_NOT_NULL(ctx, pvh);
  QK_ARG_NOT_NULL(ctx, key);
  QK_TRY(ctx, tav_url__decode(ctx, begin, end, &decoded));
  QK_TRY(ctx, QK_vhash__add__string(ctx, pvh, key, decoded));
done:
  QK_free(ctx, decoded);
}

/* Decodes one name or value; a refused "%00" is reported with the rest of the query. */
static void add_query_text(QK_context *ctx, QK_vhash *entry, const char *key, const char *begin, const char *end,
                           const char *part) {
  tav_url__add_decoded(ctx, entry, key, begin, end);
  if (QK_context__error_equals(ctx, QK_ERR_UNSPECIFIED))
    QK_context__set_message(ctx, "invalid URL query string: %s", part);
  QK_CHECK(ctx);
done:;
}

void tav_url__parse_query(QK_context *ctx, const char *query, QK_varray **ppPairs) {
  QK_varray *pairs = NULL;
  const char *p;
  QK_ARG_NOT_NULL(ctx, query);
  QK_ARG_NOT_NULL(ctx, ppPairs);
  QK_TRY(ctx, QK_varray__alloc(ctx, &pairs));
  p = query[0] == '?' ? query + 1 : query;
  while (*p != '\0') {
    const char *part = p, *name_end = p + strcspn(p, "&=");
    QK_vhash *entry = NULL;
    if (name_end == part) QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "invalid URL query string: %s", part);
    QK_TRY(ctx, QK_varray__appendnew__vhash(ctx, pairs, &entry));
    QK_TRY(ctx, add_query_text(ctx, entry, "n", part, name_end, part));
    p = name_end;
    if (*p == '=') {
      const char *value = p + 1, *value_end = value + strcspn(value, "&");
      QK_TRY(ctx, add_query_text(ctx, entry, "v", value, value_end, part));
      p = value_end;
    }
    if (*p == '&') p++;
  }
  *ppPairs = pairs;
  pairs = NULL;
done:
  QK_RELEASE(ctx, QK_varray__free(ctx, pairs));
}

void tav_url__pairs_to_vhash(QK_context *ctx, const QK_varray *pPairs, QK_vhash **ppQuery) {
  QK_vhash *query = NULL;
  QK_uint32 count = 0;
  QK_ARG_NOT_NULL(ctx, pPairs);
  QK_ARG_NOT_NULL(ctx, ppQuery);
  QK_TRY(ctx, QK_vhash__alloc(ctx, &query));
  QK_TRY(ctx, QK_varray__count(ctx, pPairs, &count));
  for (QK_uint32 i = 0; i < count; i++) {
    QK_vhash *entry = NULL;
    const char *name = NULL, *value = "";
    QK_TRY(ctx, QK_varray__get__vhash(ctx, pPairs, i, &entry));
    QK_TRY(ctx, QK_vhash__get__sz(ctx, entry, "n", &name));
    QK_TRY(ctx, QK_vhash__check__sz(ctx, entry, "v", &value));
    QK_TRY(ctx, QK_vhash__add__string(ctx, query, name, value ? value : ""));
  }
  *ppQuery = query;
  query = NULL;
done:
  QK_RELEASE(ctx, QK_vhash__free(ctx, query));
}

void tav_json__canonicalize(QK_context *ctx, const char *json, char **pszText) {
  QK_vhash *document = NULL;
  QK_string *text = NULL;
  QK_ARG_NOT_NULL(ctx, json);
  QK_ARG_NOT_NULL(ctx, pszText);
  QK_TRY(ctx, QK_vhash__alloc__from_json(ctx, &document, json));
  QK_TRY(ctx, QK_vhash__sort(ctx, document, 1, QK_vhash__compare_keys_ascending));
  QK_TRY(ctx, QK_string__alloc(ctx, &text));
  QK_TRY(ctx, QK_vhash__to_json(ctx, document, text));
  QK_TRY(ctx, QK_string__free_keep_sz(ctx, &text, pszText, NULL));
done:
  QK_RELEASE(ctx, QK_string__free(ctx, text));
  QK_RELEASE(ctx, QK_vhash__free(ctx, document));
}

int tav_pkg__is_internal_column(const char *name) {
  static const char *const internal[] = {"z_rid", "z_txid", "z_rv", "z_gen_del", "z_gen_add"};
  if (name == NULL) return 0;
  for (const char *column : internal)
    if (strcmp(name, column) == 0) return 1;
  return 0;
}

/* Files are hashed in pieces of this size. */
#define TAV_SHA1_PIECE 4096

void tav_sha1__buffer(QK_context *ctx, const void *buf, QK_uint32 len, char *out) {
  QK_hash *hash = NULL;
  QK_error err;
  QK_ARG_NOT_NULL(ctx, buf);
  QK_ARG_NOT_NULL(ctx, out);
  if ((err = QK_hash__begin(&hash)) != QK_OK) QK_THROW(ctx, err);
  if ((err = QK_hash__add_bytes(hash, buf, len)) != QK_OK) QK_THROW(ctx, err);
  if ((err = QK_hash__end(&hash, out, QK_SHA1_SZ_SIZE)) != QK_OK) QK_THROW(ctx, err);
done:
  QK_hash__abort(&hash);
}

/* The length is counted in 64 bits: files of 4 GiB and more are hashed whole. */
void tav_sha1__file(QK_context *ctx, const char *path, char *out) {
  QK_hash *hash = NULL;
  QK_file *file = NULL;
  QK_uint64 length = 0, done_bytes = 0;
  char piece[TAV_SHA1_PIECE];
  char digest[QK_SHA1_SZ_SIZE];
  QK_error err;
  QK_ARG_NOT_NULL(ctx, path);
  QK_ARG_NOT_NULL(ctx, out);
  QK_TRY(ctx, QK_fsobj__length(ctx, path, &length, NULL));
  QK_TRY(ctx, QK_file__open(ctx, path, QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, &file));
  if ((err = QK_hash__begin(&hash)) != QK_OK) QK_THROW(ctx, err);
  while (done_bytes < length) {
    QK_uint32 want = length - done_bytes < TAV_SHA1_PIECE ? (QK_uint32)(length - done_bytes) : TAV_SHA1_PIECE;
    QK_uint32 got = 0;
    QK_TRY(ctx, QK_file__read(ctx, file, want, piece, &got));
    if ((err = QK_hash__add_bytes(hash, piece, got)) != QK_OK) QK_THROW(ctx, err);
    done_bytes += got;
  }
  if ((err = QK_hash__end(&hash, digest, sizeof digest)) != QK_OK) QK_THROW(ctx, err);
  memcpy(out, digest, sizeof digest);
done:
  QK_hash__abort(&hash);
  QK_RELEASE(ctx, QK_file__close(ctx, &file));
}

void tav_dbfile__validate_name(QK_context *ctx, const char *name) {
  QK_string *escaped = NULL;
  if (name == NULL) QK_THROW(ctx, QK_ERR_INVALID_ARGUMENT);
  if (name[0] == '\0') QK_THROW_MSG(ctx, TAV_ERR_INVALID_DBFILE_NAME, "name of a dbfile cannot be an empty string");
  if (name[0] < 'a' || name[0] > 'z')
    QK_THROW_MSG(ctx, TAV_ERR_INVALID_DBFILE_NAME, "name of a dbfile must begin with a lower case letter");
  for (const char *p = name + 1; *p; p++) {
    if ((*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '_') continue;
    QK_TRY(ctx, QK_string__alloc(ctx, &escaped));
    QK_TRY(ctx, QK_html__escape(ctx, name, escaped));
    QK_THROW_FMT(ctx, TAV_ERR_INVALID_DBFILE_NAME,
                 "name of a dbfile may contain only lower case letters, numbers, or an underscore: %s",
                 QK_string__sz(escaped));
  }
done:
  QK_RELEASE(ctx, QK_string__free(ctx, escaped));
}

void tav_sql__placeholders(QK_context *ctx, int n, QK_string **ppText) {
  QK_string *text = NULL;
  QK_ARG_NOT_NULL(ctx, ppText);
  QK_TRY(ctx, QK_string__alloc__sz(ctx, &text, "?"));
  for (int k = 1; k < n; k++) QK_TRY(ctx, QK_string__append__sz(ctx, text, ",?"));
  *ppText = text;
  text = NULL;
done:
  QK_RELEASE(ctx, QK_string__free(ctx, text));
}

void tav_sql__placeholders_for_list(QK_context *ctx, const char *list, QK_string **ppText) {
  int n = 1;
  QK_ARG_NOT_NULL(ctx, list);
  for (const char *p = list; *p; p++) n += *p == ',';
  QK_TRY(ctx, tav_sql__placeholders(ctx, n, ppText));
done:;
}

void tav_err__prefix_message(QK_context *ctx, const char *prefix) {
  const char *old = NULL;
  char *combined;
  if (ctx == NULL || prefix == NULL || !QK_context__has_error(ctx)) return;
  QK_context__get_message(ctx, &old);
  if (old == NULL) return; /* messages live at the outermost level only */
  if (old[0] == '\0') {
    QK_context__set_message(ctx, "%s", prefix);
    return;
  }
  combined = QK_sz__format_alloc("%s:\n%s", prefix, old);
  if (combined == NULL) return;
  QK_context__set_message(ctx, "%s", combined);
  QK_free_noctx(combined);
}

void tav_err__add_context(QK_context *ctx, const char *tbl_id, const char *verb, const char *tbl_name) {
  char *line;
  if (ctx == NULL || tbl_id == NULL || !QK_context__has_error(ctx)) return;
  if (verb == NULL) verb = "operating on";
  if (tbl_name == NULL || tbl_name[0] == '\0')
    line = QK_sz__format_alloc("Error while %s table with ID=%s", verb, tbl_id);
  else if (tbl_name[0] == '"' || tbl_name[0] == '[')
    line = QK_sz__format_alloc("Error while %s %s (ID %s)", verb, tbl_name, tbl_id);
  else
    line = QK_sz__format_alloc("Error while %s \"%s\" (ID %s)", verb, tbl_name, tbl_id);
  if (line == NULL) return;
  tav_err__prefix_message(ctx, line);
  QK_free_noctx(line);
}
