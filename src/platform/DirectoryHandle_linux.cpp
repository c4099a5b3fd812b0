// Entries beneath a directory on Linux: openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS (Linux 5.6 and later), else a walk of openat calls
// with O_NOFOLLOW | O_DIRECTORY; creation with mkdirat, openat, symlinkat,
// and removal with unlinkat, all relative to the resolved directory.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/DirectoryHandle.h"

namespace platform {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The C library has no wrapper for openat2 on every distribution yet.
// RESOLVE_NO_SYMLINKS refuses a link anywhere in path, its last component
// included, with ELOOP.
int openBeneathInOneCall(int directory, const char* path, int* error) {
  struct open_how how = {};
  how.flags = kDirectoryFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd;
  // EAGAIN: a rename elsewhere raced the lookup; the kernel asks for a retry.
  int attempts = 0;
  do {
    fd = ::syscall(SYS_openat2, directory, path, &how, sizeof how);
  } while (fd < 0 && (errno == EINTR || (errno == EAGAIN && ++attempts < 16)));
  if (fd < 0) *error = errno;
  return static_cast<int>(fd);
}

// One directory below directory, never through a link. A link there fails
// with ELOOP (the kernel says ENOTDIR when O_DIRECTORY meets a link).
int openComponent(int directory, const char* name, int* error) {
  int fd;
  do {
    fd = ::openat(directory, name, kDirectoryFlags | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return fd;
  *error = errno;
  struct stat st {};
  if (*error == ENOTDIR && ::fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
    *error = ELOOP;
  return fd;
}

// Relative, no empty, "." or ".." component.
bool isCanonical(std::string_view path) {
  if (path.empty()) return false;
  while (true) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    path.remove_prefix(slash + 1);
  }
}

bool isDirectoryAt(int directory, const std::string& name) {
  struct stat st {};
  return ::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Removes name in directory: a file or link directly, a directory with all
// its contents; nothing is followed. 0 or an errno value; ENOENT is fine.
int removeTreeAt(int directory, const std::string& name) {
  if (::unlinkat(directory, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  int error = 0;
  FileDescriptor inner(openComponent(directory, name.c_str(), &error));
  if (!inner) return error;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(inner.get()), &::closedir);
  if (!listing) return errno;
  inner.release();  // the listing owns it now
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(listing.get())) {
    std::string_view n = entry->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
  }
  for (const std::string& n : names)
    if (int failed = removeTreeAt(::dirfd(listing.get()), n)) return failed;
  listing.reset();
  if (::unlinkat(directory, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) return errno;
  return 0;
}

}  // namespace

DirectoryHandle DirectoryHandle::open(const std::string& path, PathResolution resolution) {
  DirectoryHandle handle;
  handle.root_ = FileDescriptor::open(path, O_RDONLY | O_DIRECTORY);
  if (!handle.root_ || resolution == PathResolution::componentWalk) return handle;
  // Older kernels (ENOSYS) and some sandboxes (EPERM) lack the call.
  int error = 0;
  FileDescriptor probe(openBeneathInOneCall(handle.root_.get(), ".", &error));
  handle.oneCall_ = static_cast<bool>(probe);
  return handle;
}

FileDescriptor DirectoryHandle::openBeneath(const std::string& path, int* error) const {
  if (path.empty()) return FileDescriptor(openComponent(root_.get(), ".", error));
  if (oneCall_) return FileDescriptor(openBeneathInOneCall(root_.get(), path.c_str(), error));
  // Each step is relative to the directory opened by the step before, and
  // none follows a link: a swap of any component is seen, never followed.
  FileDescriptor current;
  int at = root_.get();
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t slash = path.find('/', begin);
    if (slash == std::string::npos) slash = path.size();
    std::string name = path.substr(begin, slash - begin);
    FileDescriptor next(openComponent(at, name.c_str(), error));
    if (!next) return next;
    current = std::move(next);
    at = current.get();
    begin = slash + 1;
  }
  return current;
}

FileDescriptor DirectoryHandle::openParent(const std::string& path, std::string* name, int* error) const {
  if (!isCanonical(path)) {
    *error = EINVAL;
    return FileDescriptor();
  }
  size_t slash = path.rfind('/');
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  return openBeneath(slash == std::string::npos ? std::string() : path.substr(0, slash), error);
}

int DirectoryHandle::createDirectories(const std::string& path) const {
  if (!isCanonical(path)) return EINVAL;
  // Most directories of an archive exist by the time they are listed again,
  // and their parents always do: try the whole path first.
  int error = 0;
  if (FileDescriptor whole = openBeneath(path, &error)) return 0;
  if (error != ENOENT && error != ELOOP) return error;

  FileDescriptor current;
  int at = root_.get();
  size_t begin = 0;
  while (begin < path.size()) {
    size_t slash = path.find('/', begin);
    if (slash == std::string::npos) slash = path.size();
    std::string name = path.substr(begin, slash - begin);
    bool last = slash == path.size();
    if (::mkdirat(at, name.c_str(), 0777) != 0 && errno != EEXIST) return errno;
    FileDescriptor next(openComponent(at, name.c_str(), &error));
    if (!next && error == ELOOP && last) {
      // A link where the directory belongs is replaced; on the way it is
      // refused, so nothing is ever created through it.
      if (::unlinkat(at, name.c_str(), 0) != 0 && errno != ENOENT) return errno;
      if (::mkdirat(at, name.c_str(), 0777) != 0 && errno != EEXIST) return errno;
      next = FileDescriptor(openComponent(at, name.c_str(), &error));
    }
    if (!next) return error;
    current = std::move(next);
    at = current.get();
    begin = slash + 1;
  }
  return 0;
}

FileDescriptor DirectoryHandle::createFile(const std::string& path, unsigned mode, int* error) const {
  std::string name;
  FileDescriptor parent = openParent(path, &name, error);
  if (!parent) return parent;
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd;
    do {
      fd = ::openat(parent.get(), name.c_str(), flags, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return FileDescriptor(fd);
    *error = errno;
    if (*error != EEXIST || attempt > 0) break;
    if (isDirectoryAt(parent.get(), name)) {
      *error = EISDIR;
      break;
    }
    if (::unlinkat(parent.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      *error = errno;
      break;
    }
  }
  return FileDescriptor();
}

int DirectoryHandle::createSymbolicLink(const std::string& path, const std::string& target) const {
  std::string name;
  int error = 0;
  FileDescriptor parent = openParent(path, &name, &error);
  if (!parent) return error;
  // Whatever stands there goes first, a whole directory tree included.
  if (int failed = removeTreeAt(parent.get(), name)) return failed;
  if (::symlinkat(target.c_str(), parent.get(), name.c_str()) != 0) return errno;
  return 0;
}

}  // namespace platform
