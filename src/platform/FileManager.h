// File-system services the units use: existence tests, listing, creation,
// removal and the current directory. Stateless; callable from any thread.
// Failures are ordinary outcomes (false or absent), never exceptions.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The largest file read as settings: property lists, release files, strings
// tables, options files, the Java preferences store.
inline constexpr std::size_t kMaxSettingsFileSize = 16 * 1024 * 1024;

// What makes two paths the same file: its device and inode.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

class FileManager {
 public:
  // True when something exists at path (a dangling link counts as absent).
  bool fileExists(const std::string& path) const;
  // As above, and reports whether it is a directory (links are followed).
  bool fileExists(const std::string& path, bool* isDirectory) const;
  bool isDirectory(const std::string& path) const;
  // True for a symbolic link, dangling or not.
  bool isSymbolicLink(const std::string& path) const;
  // True for a regular file (links followed) this process may execute.
  bool isExecutableFile(const std::string& path) const;
  // The identity of what path names (links are followed); absent when nothing is there.
  std::optional<FileIdentity> identityOf(const std::string& path) const;

  // Entry names of a directory in the file system's own order, without "."
  // and ".."; absent when the directory cannot be read.
  std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) const;

  // Creates a directory (and its parents when intermediates is true);
  // error, when given, receives "mkdir(path): reason" on failure.
  bool createDirectory(const std::string& path, bool intermediates, std::string* error = nullptr) const;
  // Removes a file, link or whole tree; never follows symbolic links.
  bool removeItem(const std::string& path) const;
  // Removes an empty directory.
  bool removeEmptyDirectory(const std::string& path) const;

  bool changeCurrentDirectory(const std::string& path) const;
  std::string currentDirectory() const;

  // The whole contents of a file; absent when it cannot be opened or read
  // (missing, a directory, no permission, a read error).
  std::optional<std::string> contentsAtPath(const std::string& path) const;
  // The contents of a settings file: read only when path names a regular
  // file (links followed) of at most limit bytes. Anything else (a directory,
  // a named pipe, a device, a bigger file) is absent with an unconditional
  // log line, and is never waited on or read. Missing files are absent
  // without a line.
  std::optional<std::string> contentsOfRegularFile(const std::string& path,
                                                   std::size_t limit = kMaxSettingsFileSize) const;
  // Removes one file or link, never a directory; false when nothing was removed.
  bool removeFile(const std::string& path) const;
  // Creates a new file (never replacing one) readable by the user alone and
  // writes contents into it; error, when given, receives "call(path): reason".
  bool createFile(const std::string& path, std::string_view contents, std::string* error = nullptr) const;
  // The absolute path with "." and ".." and the symbolic links of its existing
  // part resolved, so that two names of one file compare equal; the path
  // itself when that fails.
  std::string resolvingSymlinks(const std::string& path) const;
};

// Joins path components with single "/" separators.
std::string joinPath(const std::string& base, const std::string& component);
// The last path component ("a/b.app" -> "b.app"); trailing "/" ignored.
std::string lastPathComponent(const std::string& path);
// The path without its last component ("a/b" -> "a"; "b" -> "").
std::string deletingLastPathComponent(const std::string& path);
// The path without the extension of its last component: "a/b.app" -> "a/b",
// "b.app" -> "b", "a/b.app/" -> "a/b". A last component without a dot, or
// whose last dot is its first character (".app"), leaves the path unchanged.
std::string deletingPathExtension(const std::string& name);

}  // namespace platform
