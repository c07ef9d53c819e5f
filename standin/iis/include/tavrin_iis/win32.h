// Windows-shaped base types and the few kernel calls a web-server module
// makes (BSTR texts, files behind a HANDLE), implemented over POSIX so that
// module code written for the Windows web server builds unchanged here.
#pragma once

#include <cstddef>
#include <cstdint>

typedef std::int32_t HRESULT;
typedef std::int32_t BOOL;
typedef std::uint32_t DWORD;
typedef std::uint32_t ULONG;
typedef std::uint16_t USHORT;
typedef std::uint64_t ULONGLONG;
typedef void *PVOID;
typedef const char *PCSTR;
typedef char16_t WCHAR;
typedef const char16_t *PCWSTR;
typedef char16_t *BSTR;
typedef void *HANDLE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define TAVRIN_HRESULT(x) static_cast<HRESULT>(static_cast<std::uint32_t>(x))
#define S_OK TAVRIN_HRESULT(0)
#define S_FALSE TAVRIN_HRESULT(1)
#define E_FAIL TAVRIN_HRESULT(0x80004005u)
#define E_NOTIMPL TAVRIN_HRESULT(0x80004001u)
#define E_POINTER TAVRIN_HRESULT(0x80004003u)
#define E_OUTOFMEMORY TAVRIN_HRESULT(0x8007000Eu)
#define E_INVALIDARG TAVRIN_HRESULT(0x80070057u)
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_FROM_WIN32(e) \
  ((e) == 0 ? S_OK : TAVRIN_HRESULT(((e) & 0xFFFFu) | 0x80070000u))

// Win32 error numbers the host reports through HRESULT_FROM_WIN32.
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_INVALID_DATA 13u
#define ERROR_HANDLE_EOF 38u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_NOT_FOUND 1168u
#define ERROR_CONNECTION_INVALID 1229u
#define ERROR_INVALID_INDEX 1413u
#define ERROR_INVALID_STATE 5023u

// BSTR: UTF-16 text with its byte length stored in front, as COM callers
// expect. SysAllocString returns nullptr for a null argument or when out of
// memory; SysFreeString accepts nullptr.
BSTR SysAllocString(PCWSTR text);
BSTR SysAllocStringLen(PCWSTR text, std::uint32_t length);
void SysFreeString(BSTR text);
std::uint32_t SysStringLen(BSTR text);

// Files. A HANDLE wraps a POSIX file descriptor; GetLastError reports the
// errno of the last failing call on this thread (errno values, not Windows
// error numbers: only the message texts around them are the module's).
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

HANDLE CreateFileA(PCSTR path, DWORD desired_access, DWORD share_mode,
                   void *security_attributes, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytes_to_write,
               DWORD *bytes_written, void *overlapped);
BOOL ReadFile(HANDLE file, void *buffer, DWORD bytes_to_read, DWORD *bytes_read,
              void *overlapped);
BOOL CloseHandle(HANDLE object);
BOOL DeleteFileA(PCSTR path);
DWORD GetLastError();
void SetLastError(DWORD error);

namespace tavrin_iis {
// The descriptor behind a file HANDLE, or -1 for an invalid one. The host
// uses it to send a file chunk.
int handle_fd(HANDLE file);
}  // namespace tavrin_iis
