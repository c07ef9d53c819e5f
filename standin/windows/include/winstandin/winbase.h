/* Windows-shaped base types and kernel calls shared by every stand-in (the
 * web-server module interfaces, logon, event tracing): the last-error slot,
 * HRESULTs, BSTR texts, handles with one CloseHandle for every kind, files
 * over POSIX descriptors, and global memory. A module links one copy of
 * this layer, so the names are defined here and nowhere else. The types
 * are declared from what the module uses; sizes follow the Windows ABI
 * (DWORD and ULONG are 32 bits, UTF-16 text is char16_t). */
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
typedef int32_t LONG;
typedef uint64_t ULONGLONG;
typedef size_t SIZE_T;
typedef int32_t HRESULT;
typedef char16_t WCHAR;
typedef DWORD *PDWORD, *LPDWORD;
typedef void *PVOID, *LPVOID, *HANDLE, *HGLOBAL;
typedef HANDLE *PHANDLE;
typedef char *LPSTR;
typedef const char *LPCSTR, *PCSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
typedef WCHAR *BSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Error codes the stand-ins set (GetLastError) or wrap in HRESULTs. */
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_EOF 38u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_DISK_FULL 112u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_DIR_NOT_EMPTY 145u
#define ERROR_BUSY 170u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_ARITHMETIC_OVERFLOW 534u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_NOACCESS 998u
#define ERROR_IO_DEVICE 1117u
#define ERROR_NOT_FOUND 1168u
#define ERROR_CONNECTION_INVALID 1229u
#define ERROR_NO_LOGON_SERVERS 1311u
#define ERROR_LOGON_FAILURE 1326u
#define ERROR_NONE_MAPPED 1332u
#define ERROR_INVALID_SID 1337u
#define ERROR_NO_SUCH_DOMAIN 1355u
#define ERROR_INTERNAL_ERROR 1359u
#define ERROR_INVALID_INDEX 1413u
#define ERROR_ACCOUNT_EXPIRED 1793u
#define ERROR_PASSWORD_MUST_CHANGE 1907u
#define ERROR_INVALID_STATE 5023u

/* HRESULTs: negative values are failures; a Win32 error code wraps into
 * facility 7. */
#define WINSTANDIN_HRESULT(x) ((HRESULT)(uint32_t)(x))
#define S_OK WINSTANDIN_HRESULT(0)
#define S_FALSE WINSTANDIN_HRESULT(1)
#define E_NOTIMPL WINSTANDIN_HRESULT(0x80004001u)
#define E_POINTER WINSTANDIN_HRESULT(0x80004003u)
#define E_FAIL WINSTANDIN_HRESULT(0x80004005u)
#define E_OUTOFMEMORY WINSTANDIN_HRESULT(0x8007000Eu)
#define E_INVALIDARG WINSTANDIN_HRESULT(0x80070057u)
#define SUCCEEDED(hr) ((HRESULT)(hr) >= 0)
#define FAILED(hr) ((HRESULT)(hr) < 0)
#define HRESULT_FROM_WIN32(e) \
  ((e) == 0 ? S_OK : WINSTANDIN_HRESULT(((uint32_t)(e) & 0xFFFFu) | 0x80070000u))

/* The calling thread's last error, as Windows keeps it. */
WINSTANDIN_API DWORD GetLastError(void);
WINSTANDIN_API void SetLastError(DWORD code);

/* The Windows error code that stands for a POSIX errno value, so that
 * callers comparing GetLastError with ERROR_FILE_NOT_FOUND and the like
 * see what they would on Windows. ERROR_GEN_FAILURE for a value without a
 * counterpart. */
WINSTANDIN_API DWORD WinstandinErrorFromErrno(int error);

/* BSTR: UTF-16 text with its byte length stored in front, as COM callers
 * expect. SysAllocString returns NULL for a NULL argument or when out of
 * memory; SysFreeString accepts NULL. */
WINSTANDIN_API BSTR SysAllocString(PCWSTR text);
WINSTANDIN_API BSTR SysAllocStringLen(PCWSTR text, UINT length);
WINSTANDIN_API void SysFreeString(BSTR text);
WINSTANDIN_API UINT SysStringLen(BSTR text);

/* Every kind of handle is an object that starts with this header. The
 * kind registers it in the process's handle table and hands the result
 * out; CloseHandle takes it out of the table and calls `close`, which
 * frees the object and returns FALSE with the last error set when the
 * underlying resource failed to close (the handle is gone either way). */
typedef struct WinstandinObject {
  BOOL (*close)(struct WinstandinObject *self);
} WinstandinObject;

/* The handle for a new object; NULL with ERROR_NOT_ENOUGH_MEMORY when the
 * table cannot grow (the object is then still the caller's). */
WINSTANDIN_API HANDLE WinstandinHandleOpen(WinstandinObject *object);
/* The live object behind a handle of the kind whose close function is
 * given, or NULL: a closed, foreign or invalid handle never reaches the
 * object's memory. */
WINSTANDIN_API WinstandinObject *WinstandinHandleFind(HANDLE handle,
                                                      BOOL (*close)(WinstandinObject *));

/* FALSE with ERROR_INVALID_HANDLE for NULL, INVALID_HANDLE_VALUE, a handle
 * already closed or a pointer that is no handle. */
WINSTANDIN_API BOOL CloseHandle(HANDLE handle);

/* Files. A file HANDLE wraps a POSIX descriptor; failures set the Windows
 * error code (ERROR_FILE_EXISTS for CREATE_NEW on an existing file,
 * ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ...). The
 * share mode, security attributes, flags and template are accepted and
 * ignored; overlapped I/O is not offered. */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

WINSTANDIN_API HANDLE CreateFileA(PCSTR path, DWORD desired_access, DWORD share_mode,
                                  void *security_attributes, DWORD creation_disposition,
                                  DWORD flags_and_attributes, HANDLE template_file);
WINSTANDIN_API BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytes_to_write,
                              DWORD *bytes_written, void *overlapped);
WINSTANDIN_API BOOL ReadFile(HANDLE file, void *buffer, DWORD bytes_to_read,
                             DWORD *bytes_read, void *overlapped);
WINSTANDIN_API BOOL DeleteFileA(PCSTR path);
/* The descriptor behind a file HANDLE, or -1 for any other value. A host
 * uses it to send a file chunk; it stays the handle's. */
WINSTANDIN_API int WinstandinFileDescriptor(HANDLE file);

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
