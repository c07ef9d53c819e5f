// The work files a module leaves in its temp_directory when its host dies
// in the middle of a request. Every running host holds a shared lock on
// each temp_directory it serves; a host that can lock one exclusively at
// start knows that no other host uses it, so the module's work files there
// ("t" and 32 lower-case hexadecimal digits, with SQLite's -journal, -wal
// and -shm files beside them) belong to hosts that are gone.
#pragma once

#include <filesystem>
#include <string>

namespace tavrin_iis {

class WorkDirectoryLock {
 public:
  WorkDirectoryLock() = default;
  ~WorkDirectoryLock();
  WorkDirectoryLock(WorkDirectoryLock &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  WorkDirectoryLock &operator=(WorkDirectoryLock &&) = delete;

  // Takes the shared lock on `directory`, having first removed the
  // leftovers of gone hosts when `remove_leftovers` and no other host holds
  // it (how many in `removed`). false with a message when the directory
  // cannot be locked.
  bool open(const std::filesystem::path &directory, bool remove_leftovers, size_t &removed, std::string &error);

  // Whether a file name is one of the module's work files.
  static bool is_work_file(const std::string &name);

 private:
  int fd_ = -1;
};

}  // namespace tavrin_iis
