// Last error, handles and global memory of the Windows stand-ins.
#include "winstandin/winbase.h"

#include <cstdlib>

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}

extern "C" {

DWORD GetLastError(void) { return last_error; }

void SetLastError(DWORD code) { last_error = code; }

BOOL CloseHandle(HANDLE handle) {
  auto* object = static_cast<WinstandinObject*>(handle);
  if (!object || object->magic != WINSTANDIN_HANDLE_MAGIC || !object->close) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
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
