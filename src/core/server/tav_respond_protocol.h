/* tav_respond protocol: what the sync engine says on the wire. Protocol codes and the
 * statuses, headers and bodies they are answered with, the texts of the 400 answers, the
 * client's baseline string (query key "from") and the short baselines of "x" and
 * "pending", and the encodings of response bodies (zlib-compressed packages, the VCDIFF
 * delta of a push, the "(rebased)" body). */
#ifndef TAV_RESPOND_PROTOCOL_H
#define TAV_RESPOND_PROTOCOL_H

#include "qk/qk_context.h"
#include "qk/qk_nullhash.h"
#include "qk/qk_string.h"
#include "qk/qk_varray.h"
#include "qk/qk_vhash.h"

struct tav_pkg;

/* Protocol codes (header X-Tavrin-Error-Code). */
#define TAV_PROTO_NO_PERMISSION 968
#define TAV_PROTO_CONSTRAINT 2760
#define TAV_PROTO_UNIQUE_KEY 3016
#define TAV_PROTO_CHECK_CONSTRAINT 3272
#define TAV_PROTO_FOREIGN_KEY 3528
#define TAV_PROTO_REJECTED 3784
#define TAV_PROTO_SERVER_ROLLED_BACK 4296
#define TAV_PROTO_DBFILE_NOT_FOUND 4552
#define TAV_PROTO_BUSY 4808
#define TAV_PROTO_CONFIGURATION 5576
#define TAV_PROTO_PURGED 5832

#define TAV_PROTO_ERROR_CODE_HEADER "X-Tavrin-Error-Code"
/* Reason phrase of every status the engine chooses. */
#define TAV_PROTO_REASON "TODO"

/* The package version of a pull that names none. */
#define TAV_PROTO_DEFAULT_PV 2

/* Body kinds handed to the host. */
#define TAV_BODY_NONE 0
#define TAV_BODY_TEXT 1
#define TAV_BODY_FILE 2

/* Texts of the 400 answers. */
extern const char TAV_PROTO_TEXT_NO_QUERY[];
extern const char TAV_PROTO_TEXT_NO_DB[];
extern const char TAV_PROTO_TEXT_NO_H[];
extern const char TAV_PROTO_TEXT_PUSH_X_NOT_INTEGER[];
extern const char TAV_PROTO_TEXT_X_NO_AT[];
extern const char TAV_PROTO_TEXT_X_TRIVIAL[];
extern const char TAV_PROTO_TEXT_X_TOO_SHORT[];
extern const char TAV_PROTO_TEXT_X_NOT_128_BIT[];
extern const char TAV_PROTO_TEXT_X_NOT_HEX[];
extern const char TAV_PROTO_TEXT_PENDING_NOT_HEX[];
extern const char TAV_PROTO_TEXT_FROM_OUT_OF_RANGE[];
extern const char TAV_PROTO_TEXT_FIRST_OUT_OF_RANGE[];
extern const char TAV_PROTO_TEXT_X_OUT_OF_RANGE[];
extern const char TAV_PROTO_TEXT_PV_UNSUPPORTED[];
extern const char TAV_PROTO_TEXT_FILTER_BASE_MEMBER[];
extern const char TAV_PROTO_TEXT_FILTER_BASE_TIME[];
/* Fixed bodies of protocol codes. */
extern const char TAV_PROTO_TEXT_BUSY[];
extern const char TAV_PROTO_TEXT_CONFIGURATION[];
/* Appended to the detailed text of a misconfiguration error. */
extern const char TAV_PROTO_TEXT_MISCONFIGURATION_HINT[];
extern const char TAV_PROTO_TEXT_PURGED[];
/* The body of the push answer that asks for no follow-up (9 bytes, no NUL). */
extern const char TAV_PROTO_REBASED_BODY[];

/* A malformed baseline string: qklib 400, "invalid baseline \"from\" string". */
#define TAV_ERR_INVALID_BASELINE QK_ERROR_MAKE(QK_ERR_DOMAIN_QKLIB, 400)
/* A txid, generation or count of a baseline beyond TAV_CLIENT_NUMBER_MAX: qklib 104. */
#define TAV_ERR_NUMBER_OUT_OF_RANGE QK_ERR_INTEGER_OVERFLOW

/* The largest magnitude of a txid, generation or count a client sends (18 digits). A server
 * never comes near it, and sums and differences of a few such numbers cannot overflow.
 * Rebase ids and generation ids are random 64-bit values and are not bounded. */
#define TAV_CLIENT_NUMBER_MAX ((QK_int64)999999999999999999)
/* Whether a client's txid, generation or count lies within TAV_CLIENT_NUMBER_MAX. */
int tav_client_number__in_range(QK_int64 value);

/* The client's baseline: what it already holds. Zero it before use; the transaction form
 * sets generation and generation_id to -1. The two collections are owned. */
typedef struct tav_baseline {
  QK_int64 generation;
  QK_int64 generation_id;
  QK_int64 txid;
  QK_uint8 rstamp[16];
  QK_int64 rebaseid;
  QK_int64 tx_count;
  QK_int64 schema_txid;
  QK_int64 older_txid;
  QK_int64 older_count;
  QK_varray *missing_txids;     /* int64 txids the client lacks, or NULL */
  QK_nullhash *discard_tables;  /* table ids to send again from scratch, or NULL */
} tav_baseline;

/* Parses a baseline string into the (zeroed) record: "<gen>g<id>", or "txid,<32 hex
 * rstamp>,rebaseid,count,schema_txid" with "m<txid>" items, an "o<txid>,<count>" part and a
 * ";t<txid>,..." or ";F<table id>,..." tail. Integers are lenient (no digits read 0). A
 * malformed string is TAV_ERR_INVALID_BASELINE, a generation, txid or count out of range
 * TAV_ERR_NUMBER_OUT_OF_RANGE; the record's collections are then freed. */
void tav_respond__parse_baseline(QK_context *ctx, const char *pszFrom, tav_baseline *pBaseline);
/* Frees the record's collections (the record itself is the caller's). */
void tav_baseline__free_collections(QK_context *ctx, tav_baseline *pBaseline);

/* The readers of short baselines: a malformed value that the protocol answers with 400
 * sets *ppszBadRequest to that text (else NULL) and is no error; a bad integer where the
 * protocol answers 500 is the integer reader's error. */
/* Pull "x": "0@<rebaseid>" (all-zero rstamp) or "<32 hex>@<rebaseid>". */
void tav_respond__read_pull_x(QK_context *ctx, const char *pszX, tav_baseline *pBaseline,
                              const char **ppszBadRequest);
/* Push "x": the client's last server txid (out of range: 400 too). */
void tav_respond__read_push_x(QK_context *ctx, const char *pszX, tav_baseline *pBaseline,
                              const char **ppszBadRequest);
/* Pull "first": the baseline txid is the value minus one (out of range: 400). */
void tav_respond__read_pull_first(QK_context *ctx, const char *pszFirst, tav_baseline *pBaseline,
                                  const char **ppszBadRequest);
/* Query key "pv": the package version the client reads, 2 to 6 (default 2); a number outside
 * is answered 400, text that is no number is the integer reader's error. */
void tav_respond__read_pv(QK_context *ctx, const char *pszPv, int *pPv, const char **ppszBadRequest);
/* Header x-tavrin-filter-base (NULL: none): every member a text, the time of sync (member "")
 * in the server's date-time form, else the 400 text. */
void tav_respond__read_filter_base(QK_context *ctx, const QK_vhash *pFilterBase, const char **ppszBadRequest);
/* Pull "pending": the rstamp of a push not yet confirmed, from the first 32 hex digits. */
void tav_respond__read_pending(QK_context *ctx, const char *pszPending, QK_uint8 *pRstamp16,
                               const char **ppszBadRequest);

/* The answer to a nonzero protocol code: status, the header document (NULL when no header
 * is sent; the caller frees it) and the text body (NULL for none; free with QK_free).
 * 968: 403 alone. 4808 and 5576: 500 with their fixed bodies. 5832: sent as 3784 to
 * clients of versions below 5; a pull answers it 500 with the purged text, a push 406 with
 * its message or the purged text. A pull's 4552: 400 with "dbfile not found: <name>".
 * Anything else: 406 with the message, or the empty text. */
void tav_respond__answer_protocol_code(QK_context *ctx, int bPush, int protocolCode, int pv, const char *pszDbfile,
                                       const char *pszProtocolMessage, int *pStatus, QK_vhash **ppHeaders,
                                       char **ppszBody);

/* Puts the detailed text of the pending error, followed by pszSuffix (may be NULL), into a
 * new string that replaces *ppMessage (ppMessage may be NULL). The error stays pending. */
void tav_respond__take_error_text(QK_context *ctx, const char *pszSuffix, QK_string **ppMessage);

/* A new response file in dir holding the zlib-compressed copy of the file pszSource; its
 * path goes to the response package (which must be empty). */
void tav_respond__compress_response(QK_context *ctx, const char *pszDir, const char *pszSource,
                                    struct tav_pkg *pResponse);
/* A new response file in dir holding the 9 bytes "(rebased)", uncompressed. */
void tav_respond__write_rebased_response(QK_context *ctx, const char *pszDir, struct tav_pkg *pResponse);
/* A new response file in dir holding the zlib-compressed VCDIFF delta that turns the file
 * pszSource (the decompressed upload) into pszTarget (the follow-up package). The delta's
 * own work file is deleted on every path. */
void tav_respond__write_delta_response(QK_context *ctx, const char *pszDir, const char *pszSource,
                                       const char *pszTarget, struct tav_pkg *pResponse);

#endif
