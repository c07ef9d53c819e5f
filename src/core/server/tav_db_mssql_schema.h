/* Schema reflection of the SQL Server store: a dbfile's schema definition is built from the
 * SQL Server catalog joined with the dbfile's table list, and finished definitions are kept
 * in one process-wide cache keyed by the dbfile's history (its first rstamp), the row filter
 * and the schema transaction, so that a pull or push of an unchanged schema costs one query. */
#ifndef TAV_DB_MSSQL_SCHEMA_H
#define TAV_DB_MSSQL_SCHEMA_H

#include "common/tav_filter.h"
#include "common/tav_parse_defin.h"
#include "server/tav_db_mssql.h"

/* Generation of a schema change that no generation holds yet. */
#define TAV_SCHEMA_GENERATION_NONE 9223372036854775807LL

/* The dbfile's schema definition (owned by the caller), cut down by the filter (opt). The
 * schema txid and generation go to the outputs given; asking for the generation of a change
 * that is not yet in a generation fails with 91, as does a schema change while reading. */
void tav_db_mssql__fetch_schema(QK_context *ctx, tav_db_handle *h, tav_filter *pFilter, QK_int64 *pSchemaTxid,
                                QK_int64 *pSchemaGeneration, tav_defin **ppDefin);

/* The cache key of a dbfile history and a filter (NULL: none) in a new string. A filter's
 * key holds a digest of its document too, so that a changed filter never meets the
 * definition that its old form cut down. */
void tav_db_mssql__schema_cache_key(QK_context *ctx, const char *pszFirstRstamp, const tav_filter *pFilter,
                                    QK_string **ppKey);
/* A new definition from copies of the entry under the key when it was stored for the schema
 * txid; *ppDefin stays NULL on a miss. */
void tav_db_mssql__schema_cache_get(QK_context *ctx, const char *pszKey, QK_int64 schemaTxid, tav_defin **ppDefin);
/* Stores copies of the definition under the key unless the entry there already holds one of
 * the same or a higher generation; a change not yet in a generation is never stored. */
void tav_db_mssql__schema_cache_put(QK_context *ctx, const char *pszKey, QK_int64 schemaGeneration,
                                    QK_int64 schemaTxid, tav_defin *psk);

/* The three key passes over the definition's tables, each honouring the filter (opt). */
void tav_db_mssql__fetch_primary_keys(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter);
void tav_db_mssql__fetch_foreign_keys(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter);
void tav_db_mssql__fetch_uniques(QK_context *ctx, tav_db_handle *h, tav_defin *psk, tav_filter *pFilter);

/* The flags of a SQL Server collation name (each output 0 or 1); *ppszLocale is a static
 * text or NULL. A name without its accent and case parts fails with 3. */
void tav_db_mssql__parse_collation(QK_context *ctx, const char *pszCollation, const char **ppszLocale,
                                   int *pbBinary, int *pbNoaccent, int *pbNocase, int *pbKs, int *pbWs, int *pbSc);
/* "NO ACTION", "CASCADE", "SET NULL", "SET DEFAULT" for the codes 0 to 3, else NULL. */
const char *tav_db_mssql__referential_action_name(int action);

#endif
