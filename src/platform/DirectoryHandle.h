// A directory that creates entries beneath itself and nowhere else: every
// entry is made relative to an open descriptor of the directory, and every
// path below it is resolved by the kernel without following any symbolic
// link, so a link placed (or swapped in) on the way by another process can
// never lead a creation outside. Where the kernel can resolve a whole path
// beneath a directory in one call, that is used; otherwise the path is
// walked one component at a time, each opened without following links.
//
// Paths are relative and canonical: components separated by single "/",
// none empty, "." or "..". Anything else is refused (EINVAL).
//
// One handle may be used by one thread at a time. Failures are ordinary
// results: an errno value (0 for success) or an invalid descriptor with the
// error number beside it. ELOOP means a symbolic link stands on the way.
#pragma once

#include <string>

#include "platform/FileDescriptor.h"

namespace platform {

enum class PathResolution {
  // The kernel's one-call resolution beneath the directory where the kernel
  // has it, the component walk otherwise.
  automatic,
  // Always the component walk (the fallback, selectable for tests).
  componentWalk,
};

class DirectoryHandle {
 public:
  DirectoryHandle() = default;
  // Opens the directory at path (a link at path itself is followed: the
  // caller chose the path). Invalid on failure, with errno set.
  static DirectoryHandle open(const std::string& path, PathResolution resolution = PathResolution::automatic);

  explicit operator bool() const { return static_cast<bool>(root_); }
  // True when paths are resolved by the kernel in one call.
  bool resolvesInOneCall() const { return oneCall_; }

  // Creates the directory at path and every missing directory on the way. A
  // symbolic link standing at path itself is replaced by a directory; one
  // on the way is ELOOP. An existing directory is fine.
  int createDirectories(const std::string& path) const;
  // Creates a new, empty regular file at path with the permission bits mode
  // (less the umask) and opens it for writing. A file or symbolic link
  // standing there is removed first, so nothing is ever written through a
  // link; a directory there is EISDIR. The parent must exist.
  FileDescriptor createFile(const std::string& path, unsigned mode, int* error) const;
  // Replaces whatever stands at path (a whole directory tree included,
  // removed without following links) by a symbolic link holding target as
  // written. The parent must exist.
  int createSymbolicLink(const std::string& path, const std::string& target) const;

 private:
  // The open directory that holds the last component of path, and that
  // component; invalid with *error set on failure.
  FileDescriptor openParent(const std::string& path, std::string* name, int* error) const;
  // Opens the directory at the canonical relative path beneath the root
  // ("" is the root itself) without following links.
  FileDescriptor openBeneath(const std::string& path, int* error) const;

  FileDescriptor root_;
  bool oneCall_ = false;
};

}  // namespace platform
