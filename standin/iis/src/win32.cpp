// POSIX implementation of the Windows-shaped calls of win32.h.
#include "tavrin_iis/win32.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tavrin_iis/utf.h"

namespace {

thread_local DWORD t_last_error = 0;

// Heap record behind a file HANDLE; the marker catches a stray pointer.
struct FileHandle {
  std::uint32_t marker;
  int fd;
};
constexpr std::uint32_t kFileHandleMarker = 0x46484e44;  // "FHND"

FileHandle *as_file(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  auto *f = static_cast<FileHandle *>(h);
  return f->marker == kFileHandleMarker ? f : nullptr;
}

BOOL fail(int error) {
  t_last_error = static_cast<DWORD>(error);
  return FALSE;
}

}  // namespace

BSTR SysAllocStringLen(PCWSTR text, std::uint32_t length) {
  if (length > (UINT32_MAX - 6) / 2) return nullptr;
  auto *block = static_cast<char *>(std::malloc(4 + (length + 1) * sizeof(char16_t)));
  if (block == nullptr) return nullptr;
  std::uint32_t bytes = length * sizeof(char16_t);
  std::memcpy(block, &bytes, 4);
  auto *chars = reinterpret_cast<char16_t *>(block + 4);
  if (text != nullptr) std::memcpy(chars, text, bytes);
  else std::memset(chars, 0, bytes);
  chars[length] = 0;
  return chars;
}

BSTR SysAllocString(PCWSTR text) {
  if (text == nullptr) return nullptr;
  std::uint32_t n = 0;
  while (text[n] != 0) ++n;
  return SysAllocStringLen(text, n);
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(reinterpret_cast<char *>(text) - 4);
}

std::uint32_t SysStringLen(BSTR text) {
  if (text == nullptr) return 0;
  std::uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<char *>(text) - 4, 4);
  return bytes / sizeof(char16_t);
}

HANDLE CreateFileA(PCSTR path, DWORD desired_access, DWORD, void *, DWORD creation_disposition,
                   DWORD, HANDLE) {
  if (path == nullptr) {
    fail(EINVAL);
    return INVALID_HANDLE_VALUE;
  }
  int flags = O_CLOEXEC;
  bool reads = desired_access & GENERIC_READ, writes = desired_access & GENERIC_WRITE;
  flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  switch (creation_disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default:
      fail(EINVAL);
      return INVALID_HANDLE_VALUE;
  }
  auto *record = new (std::nothrow) FileHandle{kFileHandleMarker, -1};
  if (record == nullptr) {
    fail(ENOMEM);
    return INVALID_HANDLE_VALUE;
  }
  record->fd = ::open(path, flags, 0644);
  if (record->fd < 0) {
    int error = errno;
    delete record;
    fail(error);
    return INVALID_HANDLE_VALUE;
  }
  return record;
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytes_to_write, DWORD *bytes_written,
               void *) {
  FileHandle *f = as_file(file);
  if (bytes_written != nullptr) *bytes_written = 0;
  if (f == nullptr || (buffer == nullptr && bytes_to_write > 0)) return fail(EBADF);
  DWORD done = 0;
  while (done < bytes_to_write) {
    ssize_t n = ::write(f->fd, static_cast<const char *>(buffer) + done, bytes_to_write - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (bytes_written != nullptr) *bytes_written = done;
      return fail(errno);
    }
    done += static_cast<DWORD>(n);
  }
  if (bytes_written != nullptr) *bytes_written = done;
  return TRUE;
}

BOOL ReadFile(HANDLE file, void *buffer, DWORD bytes_to_read, DWORD *bytes_read, void *) {
  FileHandle *f = as_file(file);
  if (bytes_read != nullptr) *bytes_read = 0;
  if (f == nullptr || (buffer == nullptr && bytes_to_read > 0)) return fail(EBADF);
  for (;;) {
    ssize_t n = ::read(f->fd, buffer, bytes_to_read);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(errno);
    if (bytes_read != nullptr) *bytes_read = static_cast<DWORD>(n);
    return TRUE;
  }
}

BOOL CloseHandle(HANDLE object) {
  FileHandle *f = as_file(object);
  if (f == nullptr) return fail(EBADF);
  int rc = ::close(f->fd);
  int error = errno;
  f->marker = 0;
  delete f;
  return rc == 0 ? TRUE : fail(error);
}

BOOL DeleteFileA(PCSTR path) {
  if (path == nullptr) return fail(EINVAL);
  return ::unlink(path) == 0 ? TRUE : fail(errno);
}

DWORD GetLastError() { return t_last_error; }

void SetLastError(DWORD error) { t_last_error = error; }

namespace tavrin_iis {
int handle_fd(HANDLE file) {
  FileHandle *f = as_file(file);
  return f == nullptr ? -1 : f->fd;
}
}  // namespace tavrin_iis
