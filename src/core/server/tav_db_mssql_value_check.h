/* The check of pushed values before the store binds them: a value of another storage class
 * than the one its column's binding reads would be converted silently by SQLite (a text into
 * a decimal becomes 0, a blob into a text an empty text), so it is refused instead. */
#ifndef TAV_DB_MSSQL_VALUE_CHECK_H
#define TAV_DB_MSSQL_VALUE_CHECK_H

#include <sqlite3.h>

#include "common/tav_parse_defin.h"
#include "qk/qk_context.h"
#include "qk/qk_vhash.h"

/* Checks every row of the package table "p$u$<id>" over the columns named by pColumns' keys:
 * each value must have a form the binding reads without changing it and SQL Server takes for
 * the column's type (date and time texts in every form SQL Server converts for it; identity
 * columns and columns referring to one as "C:"/"S:" key texts). NULL passes, except in a NOT
 * NULL column when bNotNull is set. The first value that does not fit raises 400 naming its
 * column and row id. */
void tav_db_mssql__check_package_values(QK_context *ctx, sqlite3 *pPkgDb, tav_defin *psk, const char *pszTblId,
                                        QK_vhash *pColumns, int bNotNull);

#endif
