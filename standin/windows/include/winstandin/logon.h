/* Windows-logon stand-in: LogonUserW, GetTokenInformation (token groups)
 * and LookupAccountSidA over the back end the host configures (see
 * winstandin/config.h): real Linux accounts through PAM, or a file of test
 * accounts. Failures set the last error as Windows does. */
#ifndef WINSTANDIN_LOGON_H
#define WINSTANDIN_LOGON_H

#include "winstandin/winbase.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void *PSID;

#define LOGON32_LOGON_INTERACTIVE 2u
#define LOGON32_PROVIDER_DEFAULT 0u

typedef enum TOKEN_INFORMATION_CLASS {
  TokenUser = 1,
  TokenGroups = 2,
} TOKEN_INFORMATION_CLASS;

#define SE_GROUP_MANDATORY 0x00000001u
#define SE_GROUP_ENABLED_BY_DEFAULT 0x00000002u
#define SE_GROUP_ENABLED 0x00000004u

typedef struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
} SID_AND_ATTRIBUTES;

/* Groups[] holds GroupCount entries; their SIDs live in the same buffer. */
typedef struct TOKEN_GROUPS {
  DWORD GroupCount;
  SID_AND_ATTRIBUTES Groups[1];
} TOKEN_GROUPS, *PTOKEN_GROUPS;

typedef struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY;

typedef struct SID {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[1];
} SID;

typedef enum SID_NAME_USE {
  SidTypeUser = 1,
  SidTypeGroup = 2,
} SID_NAME_USE, *PSID_NAME_USE;

/* Checks user and password in the domain. `domain` NULL takes the domain
 * from a "user@domain" name. Only interactive logon with the default
 * provider is offered. On success *token is a handle for CloseHandle.
 * Failures: ERROR_LOGON_FAILURE (unknown user, wrong or empty password),
 * ERROR_ACCOUNT_EXPIRED, ERROR_PASSWORD_MUST_CHANGE, ERROR_NO_SUCH_DOMAIN
 * (domain not configured), ERROR_NO_LOGON_SERVERS (no back end, or PAM cannot
 * read the password database), ERROR_INTERNAL_ERROR (PAM misconfigured),
 * ERROR_INVALID_PARAMETER, or a code injected by the test-account file. */
WINSTANDIN_API BOOL LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password,
                               DWORD logon_type, DWORD logon_provider,
                               PHANDLE token);

/* Only TokenGroups. A NULL or too small buffer fails with
 * ERROR_INSUFFICIENT_BUFFER and the needed size in *return_length. */
WINSTANDIN_API BOOL GetTokenInformation(HANDLE token,
                                        TOKEN_INFORMATION_CLASS info_class,
                                        LPVOID info, DWORD info_length,
                                        PDWORD return_length);

/* Names a group SID of a token. `system_name` must be NULL or "" (the local
 * system). Lengths are in characters: on entry the buffer sizes, on success
 * the lengths without the NUL; buffers too small fail with
 * ERROR_INSUFFICIENT_BUFFER and the sizes needed including the NUL.
 * A group without a name fails with ERROR_NONE_MAPPED. */
WINSTANDIN_API BOOL LookupAccountSidA(LPCSTR system_name, PSID sid, LPSTR name,
                                      LPDWORD name_length, LPSTR domain,
                                      LPDWORD domain_length,
                                      PSID_NAME_USE use);

#ifdef __cplusplus
}
#endif

#endif
