// A request body as it arrived on the I/O threads: in memory up to a
// threshold, beyond it in an unlinked file of the spool directory, so that
// a worker reads it whole without waiting on the client.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tavrin_iis {

class RequestBody {
 public:
  // Bodies up to this size stay in memory.
  static constexpr size_t kMemoryLimit = 256 * 1024;
  // A body is not spooled into the last this many bytes of the spool
  // directory's file system (checked at every mebibyte), so that many big
  // bodies at once cannot fill the disk.
  static constexpr std::uint64_t kSpoolReserve = 256ull << 20;

  RequestBody() = default;
  ~RequestBody() { clear(); }
  RequestBody(const RequestBody &) = delete;
  RequestBody &operator=(const RequestBody &) = delete;

  // Drops what was received (and the spool file).
  void clear();
  // Appends bytes, moving the body to a file in `spool` once it outgrows
  // memory; false with errno's value in `error` when that fails (ENOSPC
  // also when the file system is down to its reserve).
  bool append(const char *data, size_t size, const std::filesystem::path &spool, int &error);
  std::uint64_t size() const { return size_; }
  // Copies up to `size` bytes from `offset`; false with errno's value when
  // the spool file cannot be read.
  bool read(std::uint64_t offset, void *buffer, size_t size, size_t &got, int &error) const;

 private:
  std::string memory_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

}  // namespace tavrin_iis
