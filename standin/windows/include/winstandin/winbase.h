/* Windows-shaped base types and kernel calls shared by the logon and
 * event-log stand-ins: the last-error slot, handles and global memory.
 * The types are declared from what the module uses; sizes follow the
 * Windows ABI (DWORD and ULONG are 32 bits, UTF-16 text is char16_t). */
#ifndef WINSTANDIN_WINBASE_H
#define WINSTANDIN_WINBASE_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define WINSTANDIN_API __attribute__((visibility("default")))
#else
#define WINSTANDIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef uint64_t ULONGLONG;
typedef size_t SIZE_T;
typedef char16_t WCHAR;
typedef DWORD *PDWORD, *LPDWORD;
typedef void *PVOID, *LPVOID, *HANDLE, *HGLOBAL;
typedef HANDLE *PHANDLE;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef const WCHAR *LPCWSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Error codes the stand-ins set (GetLastError). */
#define ERROR_SUCCESS 0u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_WRITE_FAULT 29u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_ARITHMETIC_OVERFLOW 534u
#define ERROR_NOACCESS 998u
#define ERROR_NO_LOGON_SERVERS 1311u
#define ERROR_LOGON_FAILURE 1326u
#define ERROR_NONE_MAPPED 1332u
#define ERROR_INVALID_SID 1337u
#define ERROR_NO_SUCH_DOMAIN 1355u
#define ERROR_INTERNAL_ERROR 1359u
#define ERROR_ACCOUNT_EXPIRED 1793u
#define ERROR_PASSWORD_MUST_CHANGE 1907u

/* The calling thread's last error, as Windows keeps it. */
WINSTANDIN_API DWORD GetLastError(void);
WINSTANDIN_API void SetLastError(DWORD code);

/* Every handle of the stand-ins points at an object that starts with this
 * header, so that one CloseHandle closes them all; other stand-ins may hand
 * out their own kinds of handle the same way. `close` frees the object and
 * returns FALSE with the last error set when it cannot. */
#define WINSTANDIN_HANDLE_MAGIC 0x48444e4cu
typedef struct WinstandinObject {
  uint32_t magic;
  BOOL (*close)(struct WinstandinObject *self);
} WinstandinObject;

/* FALSE with ERROR_INVALID_HANDLE for NULL or a pointer that is not a
 * stand-in object. */
WINSTANDIN_API BOOL CloseHandle(HANDLE handle);

#define GMEM_FIXED 0x0000u
#define GMEM_ZEROINIT 0x0040u
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

/* Fixed global memory: GMEM_ZEROINIT gives zeroed bytes. Movable memory is
 * not offered (ERROR_INVALID_PARAMETER). GlobalFree returns NULL. */
WINSTANDIN_API HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
WINSTANDIN_API HGLOBAL GlobalFree(HGLOBAL memory);

#ifdef __cplusplus
}
#endif

#endif
