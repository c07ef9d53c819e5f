// Files behind HANDLEs, over POSIX descriptors. Failures report Windows
// error codes, since callers compare them with ERROR_FILE_NOT_FOUND and
// friends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include "winstandin/winbase.h"

namespace {

// Standard layout, so that the handle (a pointer to `header`) converts back.
struct FileHandle {
  WinstandinObject header;
  int fd;
};

BOOL fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

BOOL fail_errno() { return fail(WinstandinErrorFromErrno(errno)); }

// Windows tells a missing file (ERROR_FILE_NOT_FOUND) from a missing
// directory on its way (ERROR_PATH_NOT_FOUND); POSIX says ENOENT for both.
DWORD path_error(PCSTR path, int error) {
  if (error != ENOENT) return WinstandinErrorFromErrno(error);
  std::string parent(path);
  size_t slash = parent.find_last_of('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  parent.resize(slash == 0 ? 1 : slash);
  struct stat st;
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                  : ERROR_PATH_NOT_FOUND;
}

BOOL close_file(WinstandinObject* object) {
  auto* file = reinterpret_cast<FileHandle*>(object);
  int rc = ::close(file->fd);
  int error = errno;
  delete file;
  // Linux releases the descriptor even when close reports an error.
  return rc == 0 ? TRUE : fail(WinstandinErrorFromErrno(error));
}

FileHandle* as_file(HANDLE handle) {
  return reinterpret_cast<FileHandle*>(WinstandinHandleFind(handle, close_file));
}

}  // namespace

extern "C" {

HANDLE CreateFileA(PCSTR path, DWORD desired_access, DWORD, void*, DWORD creation_disposition,
                   DWORD, HANDLE) {
  if (path == nullptr) {
    fail(ERROR_INVALID_PARAMETER);
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
      fail(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  auto* file = new (std::nothrow) FileHandle{{close_file}, -1};
  if (file == nullptr) {
    fail(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  file->fd = ::open(path, flags, 0644);
  if (file->fd < 0) {
    int error = errno;
    delete file;
    fail(path_error(path, error));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = WinstandinHandleOpen(&file->header);
  if (handle == nullptr) {
    ::close(file->fd);
    delete file;
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD bytes_to_write, DWORD* bytes_written,
               void*) {
  FileHandle* file = as_file(handle);
  if (bytes_written != nullptr) *bytes_written = 0;
  if (file == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (buffer == nullptr && bytes_to_write > 0) return fail(ERROR_NOACCESS);
  DWORD done = 0;
  while (done < bytes_to_write) {
    ssize_t n = ::write(file->fd, static_cast<const char*>(buffer) + done, bytes_to_write - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (bytes_written != nullptr) *bytes_written = done;
      return fail_errno();
    }
    done += static_cast<DWORD>(n);
  }
  if (bytes_written != nullptr) *bytes_written = done;
  return TRUE;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD bytes_to_read, DWORD* bytes_read, void*) {
  FileHandle* file = as_file(handle);
  if (bytes_read != nullptr) *bytes_read = 0;
  if (file == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (buffer == nullptr && bytes_to_read > 0) return fail(ERROR_NOACCESS);
  for (;;) {
    ssize_t n = ::read(file->fd, buffer, bytes_to_read);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail_errno();
    if (bytes_read != nullptr) *bytes_read = static_cast<DWORD>(n);
    return TRUE;
  }
}

BOOL DeleteFileA(PCSTR path) {
  if (path == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return ::unlink(path) == 0 ? TRUE : fail(path_error(path, errno));
}

int WinstandinFileDescriptor(HANDLE handle) {
  FileHandle* file = as_file(handle);
  return file == nullptr ? -1 : file->fd;
}

}  // extern "C"
