/* The small text rules shared by the request path, the store and the package code: package
 * versions, request URLs and queries, internal column names, dbfile names, SQL placeholders
 * and context added to the message of a pending error. */
#ifndef TAV_UTILS_H
#define TAV_UTILS_H

#include "qk/qk_context.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

/* A name that is not a valid dbfile name. */
#define TAV_ERR_INVALID_DBFILE_NAME QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 63)

/* Nonzero for the package format versions 2 to 6. */
int is_valid_pkg_version(int pkg_version);

/* The URL up to its first "?" (all of it without one); it must begin with "/" (1). */
void tav_url__get_path(QK_context *ctx, const char *url, char **pszPath);
/* The URL from its first "?" on, or NULL without error when it has none. */
void tav_url__get_query(QK_context *ctx, const char *url, char **pszQuery);
/* URL-decodes the bytes [begin, end) into a new heap text: %XX gives the byte, "+" a space,
 * anything else (a "%" without two hex digits too) is kept. "%00" would cut the text: 1. */
void tav_url__decode(QK_context *ctx, const char *begin, const char *end, char **pszDecoded);

/* URL-decodes [begin, end) and adds it under key (46 when the key is present). */
void tav_url__add_decoded(QK_context *ctx, QK_vhash *pvh, const char *key, const char *begin, const char *end);
/* Splits a query (one leading "?" skipped) into a new varray of {"n": name, "v": value}
 * entries in text order; a part without "=" has no "v". An empty name or a "%00" is 1
 * "invalid URL query string: <the rest of the query from that part on>". */
void tav_url__parse_query(QK_context *ctx, const char *query, QK_varray **ppPairs);
/* A new vhash from each name to its value (the empty text without one); a name that occurs
 * twice fails the whole conversion with 46. */
void tav_url__pairs_to_vhash(QK_context *ctx, const QK_varray *pPairs, QK_vhash **ppQuery);

/* A JSON object text with its keys sorted by their bytes at every object level (arrays keep
 * their order), written back as compact JSON into a new heap text. */
void tav_json__canonicalize(QK_context *ctx, const char *json, char **pszText);

/* 1 for exactly z_rid, z_txid, z_rv, z_gen_del or z_gen_add (the columns beside user data). */
int tav_pkg__is_internal_column(const char *name);

/* SHA-1 of len bytes as 40 lowercase hex digits and a NUL into out (41 bytes). */
void tav_sha1__buffer(QK_context *ctx, const void *buf, QK_uint32 len, char *out);
/* The same over the whole content of a file, of any length. */
void tav_sha1__file(QK_context *ctx, const char *path, char *out);

/* No error for a valid dbfile name (a lowercase letter, then lowercase letters, digits and
 * "_"), else 63 with a message; NULL is 2. */
void tav_dbfile__validate_name(QK_context *ctx, const char *name);

/* "?" and n - 1 times ",?" ("?" for n below 1). */
void tav_sql__placeholders(QK_context *ctx, int n, QK_string **ppText);
/* One "?" per element of a comma-separated list. */
void tav_sql__placeholders_for_list(QK_context *ctx, const char *list, QK_string **ppText);
/* With an error pending at the outermost level: the message becomes "<prefix>:\n<old>", or the
 * prefix alone when the old one is empty. Never raises. */
void tav_err__prefix_message(QK_context *ctx, const char *prefix);
/* Prefixes the pending message with a line naming the table the failed work was on (verb
 * NULL: "operating on"); nothing when tbl_id is NULL. Never raises. */
void tav_err__add_context(QK_context *ctx, const char *tbl_id, const char *verb, const char *tbl_name);

#endif
