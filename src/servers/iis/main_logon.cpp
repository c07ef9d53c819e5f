/* Windows logon: the account check and the names of the token's groups. */
#include "servers/iis/main_logon.h"

#include "qk/qk_malloc.h"
#include "qk/qk_string.h"
#include "qk/qk_utf8.h"
#include "winstandin/logon.h"

/* Name buffers of an account lookup, in characters. */
#define TAV_ACCOUNT_NAME_SIZE 265

/* Appends the names of the token's groups, in token order; groups whose id no longer maps
 * to a name are left out. */
static void append_token_groups(QK_context *ctx, HANDLE hToken, QK_varray *pGroups) {
  DWORD size = 0;
  TOKEN_GROUPS *pTokenGroups = NULL;
  if (!GetTokenInformation(hToken, TokenGroups, NULL, 0, &size) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "Unable to determine buffer size%u\n", (unsigned)GetLastError());
  pTokenGroups = (TOKEN_GROUPS *)GlobalAlloc(GPTR, size);
  if (pTokenGroups == NULL) QK_THROW(ctx, QK_ERR_MALLOC_FAILED);
  if (!GetTokenInformation(hToken, TokenGroups, pTokenGroups, size, &size))
    QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "Unable to fetch group information: %u", (unsigned)GetLastError());
  for (DWORD i = 0; i < pTokenGroups->GroupCount; i++) {
    char szName[TAV_ACCOUNT_NAME_SIZE], szDomain[TAV_ACCOUNT_NAME_SIZE];
    DWORD lenName = TAV_ACCOUNT_NAME_SIZE, lenDomain = TAV_ACCOUNT_NAME_SIZE;
    SID_NAME_USE use;
    if (!LookupAccountSidA(NULL, pTokenGroups->Groups[i].Sid, szName, &lenName, szDomain, &lenDomain, &use)) {
      DWORD error = GetLastError();
      if (error == ERROR_NONE_MAPPED) continue;
      QK_THROW_FMT(ctx, QK_ERR_UNSPECIFIED, "Unable to lookup group name: %u", (unsigned)error);
    }
    QK_TRY(ctx, QK_varray__append__string(ctx, pGroups, szName));
  }
done:
  if (pTokenGroups != NULL) GlobalFree(pTokenGroups);
}

void WindowsLogon(QK_context *ctx, const char *pszDomain, const char *pszUser, const char *pszPassword, int *pbOk,
                  tav_user_identity **ppIdentity) {
  char16_t *pwszUser = NULL, *pwszDomain = NULL, *pwszPassword = NULL;
  HANDLE hToken = NULL;
  QK_string *pName = NULL;
  tav_user_identity *pIdentity = NULL;
  QK_ARG_NOT_NULL(ctx, pszDomain);
  QK_ARG_NOT_NULL(ctx, pszUser);
  QK_ARG_NOT_NULL(ctx, pszPassword);
  QK_ARG_NOT_NULL(ctx, pbOk);
  QK_ARG_NOT_NULL(ctx, ppIdentity);
  *pbOk = 0;
  *ppIdentity = NULL;
  QK_TRY(ctx, QK_utf8__to_wide(ctx, pszUser, &pwszUser, NULL));
  QK_TRY(ctx, QK_utf8__to_wide(ctx, pszDomain, &pwszDomain, NULL));
  QK_TRY(ctx, QK_utf8__to_wide(ctx, pszPassword, &pwszPassword, NULL));
  /* A refused logon is an answer, not an error. */
  if (!LogonUserW(pwszUser, pwszDomain, pwszPassword, LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &hToken) ||
      hToken == NULL)
    goto done;
  QK_TRY(ctx, QK_string__alloc__format(ctx, &pName, "%s@%s", pszUser, pszDomain));
  QK_TRY(ctx, tav_user_identity__alloc(ctx, QK_string__sz(pName), NULL, &pIdentity));
  QK_TRY(ctx, append_token_groups(ctx, hToken, pIdentity->groups));
  *pbOk = 1;
  *ppIdentity = pIdentity;
  pIdentity = NULL;
done:
  if (hToken != NULL) CloseHandle(hToken);
  QK_RELEASE(ctx, tav_user_identity__free(ctx, &pIdentity));
  QK_RELEASE(ctx, QK_string__free(ctx, pName));
  QK_free(ctx, pwszUser);
  QK_free(ctx, pwszDomain);
  QK_free(ctx, pwszPassword);
}
