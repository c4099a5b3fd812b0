// File-system services through std::filesystem and POSIX.
#include "platform/FileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/FileDescriptor.h"
#include "platform/Log.h"
#include "platform/PosixResources.h"

namespace platform {

namespace fs = std::filesystem;

bool FileManager::fileExists(const std::string& path) const {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool FileManager::fileExists(const std::string& path, bool* isDir) const {
  struct stat st {};
  bool ok = !path.empty() && ::stat(path.c_str(), &st) == 0;
  if (isDir) *isDir = ok && S_ISDIR(st.st_mode);
  return ok;
}

bool FileManager::isDirectory(const std::string& path) const {
  bool dir = false;
  return fileExists(path, &dir) && dir;
}

bool FileManager::isSymbolicLink(const std::string& path) const {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool FileManager::isExecutableFile(const std::string& path) const {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<FileIdentity> FileManager::identityOf(const std::string& path) const {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectory(const std::string& path) const {
  DirectoryStream directory = openDirectoryStream(path.c_str());
  if (!directory) return std::nullopt;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(directory.get())) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  return names;
}

bool FileManager::createDirectory(const std::string& path, bool intermediates, std::string* error) const {
  if (intermediates) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (!ec && isDirectory(path)) return true;
    if (error) *error = "mkdir(" + path + "): " + (ec ? ec.message() : std::string("not a directory"));
    return false;
  }
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  if (error) *error = "mkdir(" + path + "): " + std::strerror(errno);
  return false;
}

bool FileManager::removeItem(const std::string& path) const {
  std::error_code ec;
  // remove_all does not follow symbolic links: a link is removed, not its target.
  return fs::remove_all(path, ec) > 0 && !ec;
}

bool FileManager::removeEmptyDirectory(const std::string& path) const { return ::rmdir(path.c_str()) == 0; }

bool FileManager::changeCurrentDirectory(const std::string& path) const { return ::chdir(path.c_str()) == 0; }

std::string FileManager::currentDirectory() const {
  std::error_code ec;
  auto p = fs::current_path(ec);
  return ec ? std::string() : p.string();
}

std::optional<std::string> FileManager::contentsAtPath(const std::string& path) const {
  FileDescriptor file = FileDescriptor::open(path, O_RDONLY);
  if (!file) return std::nullopt;
  std::string contents;
  char buffer[65536];
  for (;;) {
    long n = file.read(buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) return std::nullopt;
    contents.append(buffer, static_cast<size_t>(n));
  }
  return contents;
}

namespace {

const char* kindOfFile(unsigned mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

}  // namespace

std::optional<std::string> FileManager::contentsOfRegularFile(const std::string& path,
                                                              std::size_t limit) const {
  // Non-blocking, so that opening a named pipe returns at once instead of
  // waiting for a writer; the type test below then refuses it.
  FileDescriptor file = FileDescriptor::open(path, O_RDONLY | O_NONBLOCK);
  if (!file) {
    if (errno != ENOENT && errno != ENOTDIR)
      log("%s [Line %d] not reading %@: %s", __PRETTY_FUNCTION__, __LINE__, path, std::strerror(errno));
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) {
    log("%s [Line %d] not reading %@: %s", __PRETTY_FUNCTION__, __LINE__, path, std::strerror(errno));
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    log("%s [Line %d] not reading %@: it is %s", __PRETTY_FUNCTION__, __LINE__, path, kindOfFile(st.st_mode));
    return std::nullopt;
  }
  auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > limit) {
    log("%s [Line %d] not reading %@: %llu bytes, more than %llu", __PRETTY_FUNCTION__, __LINE__, path,
        static_cast<unsigned long long>(size), static_cast<unsigned long long>(limit));
    return std::nullopt;
  }
  std::string contents;
  contents.reserve(static_cast<std::size_t>(size));
  char buffer[65536];
  for (;;) {
    long n = file.read(buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      log("%s [Line %d] not reading %@: %s", __PRETTY_FUNCTION__, __LINE__, path, std::strerror(errno));
      return std::nullopt;
    }
    contents.append(buffer, static_cast<std::size_t>(n));
    // A file that grows while it is read stays within the limit all the same.
    if (contents.size() > limit) {
      log("%s [Line %d] not reading %@: more than %llu bytes", __PRETTY_FUNCTION__, __LINE__, path,
          static_cast<unsigned long long>(limit));
      return std::nullopt;
    }
  }
  return contents;
}

bool FileManager::removeFile(const std::string& path) const { return ::unlink(path.c_str()) == 0; }

bool FileManager::createFile(const std::string& path, std::string_view contents, std::string* error) const {
  auto failed = [&](const char* call) {
    if (error) *error = std::string(call) + "(" + path + "): " + std::strerror(errno);
    return false;
  };
  FileDescriptor file = FileDescriptor::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (!file) return failed("open");
  // A file cut short must not be taken for the whole: it is removed.
  const char* call = !file.writeAll(contents) ? "write" : file.reset() != 0 ? "close" : nullptr;
  if (!call) return true;
  failed(call);
  ::unlink(path.c_str());
  return false;
}

std::string FileManager::resolvingSymlinks(const std::string& path) const {
  std::error_code ec;
  fs::path resolved = fs::weakly_canonical(fs::absolute(path, ec), ec);
  return ec ? path : resolved.string();
}

std::string joinPath(const std::string& base, const std::string& component) {
  if (base.empty()) return component;
  if (component.empty()) return base;
  std::string out = base;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  size_t skip = 0;
  while (skip < component.size() && component[skip] == '/') ++skip;
  if (out != "/") out += '/';
  out.append(component, skip);
  return out;
}

std::string lastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.rfind('/');
  if (slash == std::string::npos || p == "/") return p;
  return p.substr(slash + 1);
}

std::string deletingLastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string deletingPathExtension(const std::string& name) {
  std::string last = lastPathComponent(name);
  auto dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0) return name;
  std::string dir = deletingLastPathComponent(name);
  std::string stem = last.substr(0, dot);
  return dir.empty() ? stem : joinPath(dir, stem);
}

}  // namespace platform
