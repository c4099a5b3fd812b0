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

// An object of the C library that init sets up in place and destroy tears
// down, owned for its whole life: destroyed with its owner, neither copied
// nor moved (the library may keep pointers into it). Invalid when init
// failed (no memory).
template <typename T, int (*init)(T*), int (*destroy)(T*)>
class InitializedObject {
 public:
  InitializedObject() : valid_(init(&object_) == 0) {}
  ~InitializedObject() {
    if (valid_) destroy(&object_);
  }
  InitializedObject(const InitializedObject&) = delete;
  InitializedObject& operator=(const InitializedObject&) = delete;

  explicit operator bool() const { return valid_; }
  T* get() { return &object_; }

 private:
  T object_;
  bool valid_;
};

// posix_spawn's attribute object and its list of file actions.
using SpawnAttributes =
    InitializedObject<posix_spawnattr_t, &::posix_spawnattr_init, &::posix_spawnattr_destroy>;
using SpawnFileActions = InitializedObject<posix_spawn_file_actions_t, &::posix_spawn_file_actions_init,
                                           &::posix_spawn_file_actions_destroy>;

}  // namespace platform
