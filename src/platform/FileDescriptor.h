// One owner for every file descriptor of the program: move-only, closed when
// the owner goes away. Reads and writes are retried on EINTR; close is not
// (on Linux the descriptor is gone either way, and a retry could close a
// descriptor another thread has just been given). Callable from any thread;
// failures are ordinary results (-1, false or an invalid owner, errno set).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  // Opens path with flags (O_CLOEXEC is always added); invalid on failure.
  static FileDescriptor open(const std::string& path, int flags, unsigned mode = 0);
  // A pipe whose two ends are close-on-exec: {read end, write end}; both
  // invalid on failure.
  static std::pair<FileDescriptor, FileDescriptor> pipe();

  explicit operator bool() const { return fd_ >= 0; }
  int get() const { return fd_; }
  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the current descriptor (if any) and takes fd; the result of close
  // (0, or -1 with errno), which matters where a write may surface late.
  int reset(int fd = -1) noexcept;

  // One read of at most size bytes: the count, 0 at end of input, -1 on error.
  long read(void* buffer, std::size_t size) const { return read(fd_, buffer, size); }
  // The same on a descriptor owned elsewhere (standard input, for example).
  static long read(int fd, void* buffer, std::size_t size);
  // One read of at most size bytes at offset, the file position unchanged.
  long readAt(void* buffer, std::size_t size, std::uint64_t offset) const;
  // Writes all bytes, across short writes; false on the first error.
  bool writeAll(std::string_view bytes) const { return writeAll(fd_, bytes); }
  // The same on a descriptor owned elsewhere (standard error, for example).
  static bool writeAll(int fd, std::string_view bytes);

  // Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so
  // that no later descriptor (a pipe, a display connection) takes the place
  // of a standard stream, and a child reading its input finds the end at
  // once. Meant for the very start of the process, before any thread.
  static void openClosedStandardDescriptors();

 private:
  int fd_ = -1;
};

}  // namespace platform
