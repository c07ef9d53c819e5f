#include "work_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavrin_iis {

namespace fs = std::filesystem;

WorkDirectoryLock::~WorkDirectoryLock() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

bool WorkDirectoryLock::is_work_file(const std::string &name) {
  std::string_view rest(name);
  if (rest.size() < 33 || rest[0] != 't') return false;
  for (char c : rest.substr(1, 32))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  rest.remove_prefix(33);
  return rest.empty() || rest == "-journal" || rest == "-wal" || rest == "-shm";
}

bool WorkDirectoryLock::open(const fs::path &directory, bool remove_leftovers, size_t &removed, std::string &error) {
  removed = 0;
  fd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    error = directory.string() + ": " + std::strerror(errno);
    return false;
  }
  if (remove_leftovers && ::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(directory, ec)) {
      std::string name = entry.path().filename().string();
      if (is_work_file(name) && entry.is_regular_file(ec) && !entry.is_symlink(ec) &&
          ::unlinkat(fd_, name.c_str(), 0) == 0)
        ++removed;
    }
  }
  // Converting the exclusive lock lets other hosts in; a host starting meanwhile just waits.
  while (::flock(fd_, LOCK_SH) != 0) {
    if (errno == EINTR) continue;
    error = directory.string() + ": cannot lock it: " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace tavrin_iis
