/* The logical column types of the schema definition: their SQLite affinity and declared
 * type, and the constraint check that refuses a value SQL Server would not store. */
#ifndef TAV_PARSE_DEFIN_TYPES_H
#define TAV_PARSE_DEFIN_TYPES_H

#include "qk/qk_context.h"
#include "qk/qk_string.h"

/* "integer primary key", "int", "real", "text", "blob", or "" for "host" and unknown names. */
const char *tav_defin__sqlite_affinity(const char *szType);
/* "integer" for "identity" and the integer types, else the affinity. */
const char *tav_defin__sqlite_decl_type(const char *szType);
/* 0 for "identity" and the four loose names, 1 for every other name. */
int tav_defin__type_has_checks(const char *szType);

/* New text of a "SELECT CASE ... END" statement for a BEFORE INSERT trigger that raises
 * ABORT when NEW."column" does not fit the type. width <= 0 means no width check,
 * precision <= 0 no precision check. An unknown type name raises 1. */
void tav_defin__constraint_check_sql(QK_context *ctx, const char *szType, int width, int precision,
                                     const char *szColumn, QK_string **ppOut);

#endif
