// The file-descriptor owner on POSIX systems.
#include "platform/FileDescriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

FileDescriptor FileDescriptor::open(const std::string& path, int flags, unsigned mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  return FileDescriptor(fd);
}

std::pair<FileDescriptor, FileDescriptor> FileDescriptor::pipe() {
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) return {};
  return {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

int FileDescriptor::reset(int fd) noexcept {
  int old = std::exchange(fd_, fd);
  return old >= 0 ? ::close(old) : 0;
}

long FileDescriptor::read(int fd, void* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

long FileDescriptor::readAt(void* buffer, std::size_t size, std::uint64_t offset) const {
  ssize_t n;
  do {
    n = ::pread(fd_, buffer, size, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

bool FileDescriptor::writeAll(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, p, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

void FileDescriptor::openClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Without close-on-exec: the standard streams are the children's too.
    // The lowest free number is fd itself, as the lower ones are open.
    int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

}  // namespace platform
