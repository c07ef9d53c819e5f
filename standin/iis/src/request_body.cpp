#include "request_body.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tavrin_iis {

namespace {

bool write_all(int fd, const char *data, size_t size, int &error) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool room_for(int fd, int &error) {
  struct statvfs st;
  if (::fstatvfs(fd, &st) != 0) {
    error = errno;
    return false;
  }
  if (static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize >= RequestBody::kSpoolReserve) return true;
  error = ENOSPC;
  return false;
}

}  // namespace

void RequestBody::clear() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  size_ = 0;
  memory_.clear();
  // A big body's memory is not kept for the connection's next request.
  if (memory_.capacity() > 16 * 1024) memory_.shrink_to_fit();
}

bool RequestBody::append(const char *data, size_t size, const std::filesystem::path &spool, int &error) {
  if (fd_ < 0 && memory_.size() + size <= kMemoryLimit) {
    memory_.append(data, size);
    size_ += size;
    return true;
  }
  if (fd_ < 0) {
    // Unnamed from the start: nothing is left behind, whatever happens to the process.
    fd_ = ::open(spool.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
      std::string path = (spool / "tavrin-spool-XXXXXX").string();
      fd_ = ::mkostemp(path.data(), O_CLOEXEC);
      if (fd_ >= 0) ::unlink(path.c_str());
    }
    if (fd_ < 0) {
      error = errno;
      return false;
    }
    if (!room_for(fd_, error) || !write_all(fd_, memory_.data(), memory_.size(), error)) return false;
    memory_.clear();
    memory_.shrink_to_fit();
  }
  if ((size_ >> 20) != ((size_ + size) >> 20) && !room_for(fd_, error)) return false;
  if (!write_all(fd_, data, size, error)) return false;
  size_ += size;
  return true;
}

bool RequestBody::read(std::uint64_t offset, void *buffer, size_t size, size_t &got, int &error) const {
  got = 0;
  if (offset >= size_) return true;
  size = static_cast<size_t>(std::min<std::uint64_t>(size, size_ - offset));
  if (fd_ < 0) {
    std::memcpy(buffer, memory_.data() + offset, size);
    got = size;
    return true;
  }
  for (;;) {
    ssize_t n = ::pread(fd_, buffer, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      return false;
    }
    got = static_cast<size_t>(n);
    return true;
  }
}

}  // namespace tavrin_iis
