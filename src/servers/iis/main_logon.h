/* The Windows logon of the "windows" authentication scheme. Kept apart from the code that
 * reaches SQL Server, whose ODBC headers declare Windows type names of their own. */
#ifndef MAIN_LOGON_H
#define MAIN_LOGON_H

#include "qk/qk_context.h"
#include "server/tav_respond_access.h"

/* Logs the user on to the domain. A refused logon is *pbOk 0 without identity; otherwise
 * the identity is "user@domain" with the names of the account's groups in token order
 * (groups whose id maps to no name left out). */
void WindowsLogon(QK_context *ctx, const char *pszDomain, const char *pszUser, const char *pszPassword, int *pbOk,
                  tav_user_identity **ppIdentity);

#endif
