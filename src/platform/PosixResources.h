// Owners of the C library's resources that the platform's POSIX files share:
// a directory stream, a block the C library allocated for the caller, and
// posix_spawn's attribute and file-action objects. (File descriptors have
// their own owner, FileDescriptor.) For files inside src/platform/ only: unlike
// the service headers, this one brings system headers along. Each owner is
// used by one thread at a time.
#pragma once

#include <dirent.h>
#include <spawn.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/FileDescriptor.h"

namespace platform {

struct DirectoryStreamCloser {
  void operator()(DIR* stream) const noexcept { ::closedir(stream); }
};
// An open directory stream, closed with its descriptor when the owner goes.
using DirectoryStream = std::unique_ptr<DIR, DirectoryStreamCloser>;

// Opens a directory stream by path; null with errno set when it cannot.
inline DirectoryStream openDirectoryStream(const char* path) { return DirectoryStream(::opendir(path)); }
// A directory stream on an open directory; the stream takes the descriptor
// over when it can be made; otherwise the descriptor is closed, and errno
// still says why the stream could not be made.
inline DirectoryStream openDirectoryStream(FileDescriptor directory) {
  DirectoryStream stream(::fdopendir(directory.get()));
  if (stream) {
    directory.release();
  } else {
    int reason = errno;
    directory.reset();
    errno = reason;
  }
  return stream;
}

struct FreeDeleter {
  void operator()(void* block) const noexcept { std::free(block); }
};
// A block the C library allocated with malloc and handed to the caller.
template <typename T>
using MallocBlock = std::unique_ptr<T, FreeDeleter>;

// posix_spawn's attribute object, destroyed with its owner. Invalid when the
// C library could not set it up (no memory).
class SpawnAttributes {
 public:
  SpawnAttributes() : valid_(::posix_spawnattr_init(&attributes_) == 0) {}
  ~SpawnAttributes() {
    if (valid_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  explicit operator bool() const { return valid_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  bool valid_;
};

// posix_spawn's list of file actions, destroyed with its owner. Invalid when
// the C library could not set it up (no memory).
class SpawnFileActions {
 public:
  SpawnFileActions() : valid_(::posix_spawn_file_actions_init(&actions_) == 0) {}
  ~SpawnFileActions() {
    if (valid_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;

  explicit operator bool() const { return valid_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool valid_;
};

}  // namespace platform
