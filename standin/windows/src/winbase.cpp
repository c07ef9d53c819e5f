// Last error, BSTRs, the handle table and global memory of the stand-ins.
#include "winstandin/winbase.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

// Live handles. A set rather than a marker inside the object, so that a
// handle closed twice, or a stray pointer, is refused without reading
// memory that may be gone.
std::mutex handles_mutex;
std::unordered_set<WinstandinObject*>& live_handles() {
  static auto* handles = new std::unordered_set<WinstandinObject*>;  // outlives static destructors
  return *handles;
}

}  // namespace

extern "C" {

DWORD GetLastError(void) { return last_error; }

void SetLastError(DWORD code) { last_error = code; }

DWORD WinstandinErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EBUSY: return ERROR_BUSY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EFBIG:
    case EOVERFLOW: return ERROR_ARITHMETIC_OVERFLOW;
    case EIO: return ERROR_IO_DEVICE;
    case EFAULT: return ERROR_NOACCESS;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    case ECONNRESET:
    case ENOTCONN: return ERROR_CONNECTION_INVALID;
    default: return ERROR_GEN_FAILURE;
  }
}

BSTR SysAllocStringLen(PCWSTR text, UINT length) {
  if (length > (UINT32_MAX - 6) / 2) return nullptr;
  auto* block = static_cast<char*>(std::malloc(4 + (length + 1) * sizeof(char16_t)));
  if (block == nullptr) return nullptr;
  uint32_t bytes = length * sizeof(char16_t);
  std::memcpy(block, &bytes, 4);
  auto* chars = reinterpret_cast<char16_t*>(block + 4);
  if (text != nullptr) std::memcpy(chars, text, bytes);
  else std::memset(chars, 0, bytes);
  chars[length] = 0;
  return chars;
}

BSTR SysAllocString(PCWSTR text) {
  if (text == nullptr) return nullptr;
  UINT n = 0;
  while (text[n] != 0) ++n;
  return SysAllocStringLen(text, n);
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(reinterpret_cast<char*>(text) - 4);
}

UINT SysStringLen(BSTR text) {
  if (text == nullptr) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<char*>(text) - 4, 4);
  return bytes / sizeof(char16_t);
}

HANDLE WinstandinHandleOpen(WinstandinObject* object) {
  try {
    std::lock_guard lock(handles_mutex);
    live_handles().insert(object);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return object;
}

WinstandinObject* WinstandinHandleFind(HANDLE handle, BOOL (*close)(WinstandinObject*)) {
  auto* object = static_cast<WinstandinObject*>(handle);
  std::lock_guard lock(handles_mutex);
  if (live_handles().count(object) == 0 || object->close != close) return nullptr;
  return object;
}

BOOL CloseHandle(HANDLE handle) {
  auto* object = static_cast<WinstandinObject*>(handle);
  {
    std::lock_guard lock(handles_mutex);
    if (live_handles().erase(object) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  return object->close(object);
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  if (flags & ~GMEM_ZEROINIT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Windows hands out a usable block for 0 bytes as well.
  SIZE_T size = bytes ? bytes : 1;
  void* memory = (flags & GMEM_ZEROINIT) ? std::calloc(1, size) : std::malloc(size);
  if (!memory) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

HGLOBAL GlobalFree(HGLOBAL memory) {
  std::free(memory);
  return nullptr;
}

}  // extern "C"
