// Gzip tar extraction: one forward pass through zlib's gzip reader, headers
// parsed in place, file data copied through one 32 KiB buffer.
#include "mac_installer/UnTar.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "mac_installer/global.h"
#include "platform/Log.h"

namespace {

constexpr int kBlockSize = 512;
constexpr int kHeaderReadSize = 500;
constexpr std::int32_t kChunkSize = 32768;
constexpr unsigned kReaderBufferSize = 256 * 1024;
// Long names and extended headers are held in memory until the entry they
// describe; anything larger than this is not a header a tar writer makes.
constexpr std::int64_t kMaxExtensionSize = 65536;
// Larger sizes could overflow the reader's position arithmetic.
constexpr std::int64_t kMaxEntrySize = std::int64_t{1} << 62;

// Header fields: offset and width.
constexpr int kNameOffset = 0, kNameWidth = 100;
constexpr int kModeOffset = 100, kModeWidth = 8;
constexpr int kSizeOffset = 124, kSizeWidth = 12;
constexpr int kTypeOffset = 156;
constexpr int kLinkOffset = 157, kLinkWidth = 100;
constexpr int kMagicOffset = 257;
constexpr int kPrefixOffset = 345, kPrefixWidth = 155;

constexpr char kRegularType = '0';
constexpr char kSymbolicLinkType = '2';
constexpr char kDirectoryType = '5';
constexpr char kLongNameType = 'L';
constexpr char kLongLinkType = 'K';
constexpr char kExtendedHeaderType = 'x';

// Owns a file descriptor; close is not retried on EINTR (the descriptor is
// gone either way on Linux).
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  explicit operator bool() const { return fd_ >= 0; }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  // Closes now; the result of close (0, or -1 with errno).
  int reset() { return fd_ >= 0 ? ::close(release()) : 0; }

 private:
  int fd_;
};

struct GzipCloser {
  void operator()(gzFile stream) const { gzclose(stream); }
};
using GzipReader = std::unique_ptr<gzFile_s, GzipCloser>;

std::string systemError(const char* call, const std::string& path, int error) {
  return std::string(call) + "(" + path + "): " + std::strerror(error);
}

// The octal rule of the size and mode fields: leading blanks and zeros are
// skipped, a NUL (or a blank after the first digit) ends the number; other
// bytes count as digits without being checked.
std::int64_t octalNumber(const char* field, int width) {
  std::int64_t value = 0;
  bool significant = false;
  for (int i = 0; i < width; ++i) {
    char c = field[i];
    if (c == '\0') break;
    if (!significant && (c == ' ' || c == '0')) continue;
    if (c == ' ') break;
    value = value * 8 + (static_cast<unsigned char>(c) - 48);
    significant = true;
  }
  return value;
}

// A text field up to its first NUL, or the whole field.
std::string textField(const char* field, int width) {
  return std::string(field, strnlen(field, static_cast<size_t>(width)));
}

// Share of the decompressed stream read so far, in percent of the expected
// length, in single precision. Unknown lengths report 0.
float percentRead(gzFile stream, std::int32_t expected) {
  if (expected <= 0) return 0.0f;
  return static_cast<float>(gztell(stream)) / static_cast<float>(expected) * 100.0f;
}

// Decimal digits only, without overflow; absent otherwise.
std::optional<std::int64_t> decimalNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// What long-name and extended-header entries say about the entry after them.
struct Extensions {
  std::optional<std::string> path;
  std::optional<std::string> linkPath;
  std::optional<std::int64_t> size;
  bool badSize = false;

  // Records of the form "LENGTH key=value\n"; parsing stops at the first
  // malformed record. Unknown keys are ignored; an empty value unsets.
  void addExtendedHeader(std::string_view data) {
    while (!data.empty()) {
      size_t space = data.find(' ');
      if (space == std::string_view::npos) return;
      std::optional<std::int64_t> length = decimalNumber(data.substr(0, space));
      if (!length || *length <= static_cast<std::int64_t>(space) ||
          *length > static_cast<std::int64_t>(data.size()) || data[*length - 1] != '\n')
        return;
      std::string_view record = data.substr(space + 1, *length - space - 2);
      data.remove_prefix(*length);
      size_t equals = record.find('=');
      if (equals == std::string_view::npos) return;
      std::string_view key = record.substr(0, equals), value = record.substr(equals + 1);
      if (key == "path") {
        path = value.empty() ? std::nullopt : std::optional<std::string>(value);
      } else if (key == "linkpath") {
        linkPath = value.empty() ? std::nullopt : std::optional<std::string>(value);
      } else if (key == "size") {
        size = decimalNumber(value);
        badSize = !value.empty() && !size;
      }
    }
  }
};

// One header with the extensions applied.
struct Entry {
  char type = 0;
  std::string name;
  std::string linkName;
  std::int64_t size = 0;  // -1: not a size this reader supports
  std::int32_t mode = 0;
};

Entry parseHeader(const char* header) {
  Entry entry;
  entry.type = header[kTypeOffset];
  entry.name = textField(header + kNameOffset, kNameWidth);
  // The prefix field exists in the POSIX header ("ustar" NUL "00"); the older
  // GNU header ("ustar  " NUL) keeps other data at that offset.
  if (header[kMagicOffset + 5] == '\0') {
    std::string prefix = textField(header + kPrefixOffset, kPrefixWidth);
    if (!prefix.empty()) entry.name = prefix + "/" + entry.name;
  }
  entry.linkName = textField(header + kLinkOffset, kLinkWidth);
  if (static_cast<unsigned char>(header[kSizeOffset]) & 0x80)
    entry.size = -1;  // base-256 form
  else
    entry.size = octalNumber(header + kSizeOffset, kSizeWidth);
  entry.mode = static_cast<std::int32_t>(octalNumber(header + kModeOffset, kModeWidth) & 07777);
  if (entry.size >= kMaxEntrySize) entry.size = -1;
  return entry;
}

// Applies the long names and extended header read before the entry, then
// forgets them: they describe exactly one entry.
void applyExtensions(Entry& entry, Extensions& pending) {
  if (pending.path) entry.name = *pending.path;
  if (pending.linkPath) entry.linkName = *pending.linkPath;
  if (pending.badSize)
    entry.size = -1;
  else if (pending.size)
    entry.size = *pending.size < kMaxEntrySize ? *pending.size : -1;
  pending = Extensions();
}

bool isExtension(char type) {
  return type == kLongNameType || type == kLongLinkType || type == kExtendedHeaderType;
}

// The name's components without empty and "." ones; absent when the name is
// absolute or climbs with "..".
std::optional<std::vector<std::string_view>> safeComponents(std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::nullopt;
  std::vector<std::string_view> parts;
  while (!name.empty()) {
    size_t slash = name.find('/');
    std::string_view part = name.substr(0, slash);
    name.remove_prefix(slash == std::string_view::npos ? name.size() : slash + 1);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") parts.push_back(part);
  }
  return parts;
}

bool isSymbolicLink(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The destination path of an entry, when nothing on the way from the
// destination to its parent is a symbolic link. Missing parents are fine:
// creating the entry then fails on its own.
std::optional<std::string> safePath(const std::string& destination,
                                    const std::vector<std::string_view>& parts) {
  std::string path = destination;
  for (size_t i = 0; i < parts.size(); ++i) {
    path += '/';
    path += parts[i];
    if (i + 1 < parts.size() && isSymbolicLink(path)) return std::nullopt;
  }
  return path;
}

// Creates the directory and its missing parents below the destination without
// following links: a link in the middle makes the entry unsafe (absent), a
// link at the end is replaced by a directory. False on a creation failure.
std::optional<bool> createDirectories(const std::string& destination,
                                      const std::vector<std::string_view>& parts) {
  std::string path = destination;
  for (size_t i = 0; i < parts.size(); ++i) {
    path += '/';
    path += parts[i];
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      if (!S_ISLNK(st.st_mode)) return false;
      if (i + 1 < parts.size()) return std::nullopt;
      if (::unlink(path.c_str()) != 0) return false;
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// A new empty file; a file or link standing there is removed first, so
// nothing is ever written through a link. errno is set on failure.
FileDescriptor createFile(const std::string& path, mode_t mode) {
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  FileDescriptor fd(::open(path.c_str(), flags, mode));
  if (fd || errno != EEXIST) return fd;
  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return fd;
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fd;
  return FileDescriptor(::open(path.c_str(), flags, mode));
}

bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

// Entries --------------------------------------------------------------------

bool UnTar::extractFile(gzFile_s* stream, const std::string& path, std::int32_t fileLength,
                        std::int32_t permissions, std::int32_t uncompressedLength,
                        const platform::FileManager& /*fileManager*/, const Progress& progressBlock) {
  // Metadata companions ("._name") carry nothing a runtime needs.
  if (path.find("/._") != std::string::npos) return skip(stream, fileLength);

  // Special bits are never applied; the owner can always read and write.
  mode_t mode = static_cast<mode_t>((permissions & 0777) | 0600);
  FileDescriptor out = createFile(path, mode);
  if (!out) {
    int error = errno;
    platform::log("%s [Line %d] Could not create file %@ %d %s\n", __PRETTY_FUNCTION__, __LINE__, path, error,
                  std::strerror(error));
    return skip(stream, fileLength);
  }

  char buffer[kChunkSize];
  std::int32_t written = 0;
  float lastReported = 0.0f;
  bool writeError = false;
  while (written < fileLength) {
    int got = gzread(stream, buffer, static_cast<unsigned>(std::min(fileLength - written, kChunkSize)));
    if (got <= 0) break;
    writeError = !writeAll(out.get(), buffer, static_cast<size_t>(got));
    written += got;
    if (writeError) break;
    if (progressBlock) {
      float percent = percentRead(stream, uncompressedLength);
      if (percent != lastReported) {
        lastReported = percent;
        progressBlock(percent);
      }
    }
  }
  // A failed close is a late write error (quota, network file systems).
  if (out.reset() != 0) writeError = true;

  if (writeError) {
    platform::log("%s [Line %d] ERROR: stream error", __PRETTY_FUNCTION__, __LINE__);
    return false;
  }
  if (written < fileLength) {
    platform::log("%s [Line %d] ERROR: sizes don't match: %d, %d", __PRETTY_FUNCTION__, __LINE__, written,
                  fileLength);
    return false;
  }
  return true;
}

bool UnTar::skip(gzFile_s* stream, std::int32_t fileLength) {
  // A negative length would make the reader rewind to the start.
  if (fileLength < 0 || (fileLength > 0 && gzseek(stream, fileLength, SEEK_CUR) == -1)) {
    platform::log("%s [Line %d] ERROR: gzseek 3 failed", __PRETTY_FUNCTION__, __LINE__);
    return false;
  }
  return true;
}

void UnTar::makeSymbolicLink(const std::string& path, const std::string& target,
                             const platform::FileManager& fileManager) {
  // Whatever stands there goes, a whole directory tree included; removal
  // never follows links.
  fileManager.removeItem(path);
  if (::symlink(target.c_str(), path.c_str()) != 0) {
    int error = errno;
    platform::log("%s [Line %d] ERROR: could not create symlink at %@ (%@)", __PRETTY_FUNCTION__, __LINE__, path,
                  std::string(std::strerror(error)));
  }
}

bool UnTar::readExtension(gzFile_s* stream, std::int64_t size, std::string& data) {
  if (size > kMaxExtensionSize) {
    platform::log("%s [Line %d] ERROR: header extension too long (%lld bytes)", __PRETTY_FUNCTION__, __LINE__,
                  size);
    return false;
  }
  data.resize(static_cast<size_t>(size));
  int got = size > 0 ? gzread(stream, data.data(), static_cast<unsigned>(size)) : 0;
  if (got == -1) {
    platform::log("%s [Line %d] ERROR: gzread failed", __PRETTY_FUNCTION__, __LINE__);
    return false;
  }
  if (got < size) {
    platform::log("%s [Line %d] ERROR: unexpected eof", __PRETTY_FUNCTION__, __LINE__);
    return false;
  }
  return true;
}

// Archive ------------------------------------------------------------------

void UnTar::untar(const std::string& archivePath, const std::string& destination,
                  std::int32_t uncompressedLength, const Progress& progress) {
  FileDescriptor file(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) {
    platform::log("%s [Line %d] error reading JRE %@", __PRETTY_FUNCTION__, __LINE__,
                  systemError("open", archivePath, errno));
    return;
  }
  if (progress) progress(0);

  FileDescriptor duplicate(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
  GzipReader stream(duplicate ? gzdopen(duplicate.get(), "rb") : nullptr);
  if (!stream) {
    platform::log("%s [Line %d] error opening gzip file", __PRETTY_FUNCTION__, __LINE__);
    duplicate.reset();
    if (progress) progress(100);
    return;
  }
  duplicate.release();  // gzclose closes it
  // zlib's default 8 KiB input buffer costs about a tenth of the
  // decompression time on a runtime archive; 256 KiB (768 KiB of buffers in
  // all) brings it to the speed of the best inflate loops.
  gzbuffer(stream.get(), kReaderBufferSize);

  extractEntries(stream.get(), destination, uncompressedLength, progress);
  stream.reset();
  if (progress) progress(100);
}

void UnTar::extractEntries(gzFile_s* stream, const std::string& destinationPath,
                           std::int32_t uncompressedLength, const Progress& progress) {
  platform::FileManager fileManager;
  std::string destination = destinationPath;
  while (destination.size() > 1 && destination.back() == '/') destination.pop_back();
  char header[kBlockSize];
  Extensions pending;
  bool extractedAny = false;
  for (;;) {
    int got = gzeof(stream) ? 0 : gzread(stream, header, kHeaderReadSize);
    if (got == -1) {
      platform::log("%s [Line %d] ERROR: gzread failed", __PRETTY_FUNCTION__, __LINE__);
      break;
    }
    if (got < kHeaderReadSize) {
      // A partial header, or a gzip stream cut short, is a truncated archive
      // even after extracted files.
      int code = Z_OK;
      gzerror(stream, &code);
      if (!extractedAny || got > 0 || code == Z_BUF_ERROR)
        platform::log("%s [Line %d] ERROR: unexpected eof", __PRETTY_FUNCTION__, __LINE__);
      break;
    }
    if (std::memcmp(header + kMagicOffset, "ustar", 5) != 0) {
      if (!extractedAny) platform::log("%s [Line %d] ERROR: no magic number", __PRETTY_FUNCTION__, __LINE__);
      break;
    }
    if (gzseek(stream, kBlockSize - kHeaderReadSize, SEEK_CUR) == -1) {
      platform::log("%s [Line %d] ERROR: gzseek 1 failed", __PRETTY_FUNCTION__, __LINE__);
      break;
    }

    Entry entry = parseHeader(header);
    if (!isExtension(entry.type)) applyExtensions(entry, pending);
    _DLog("%s [Line %d] extracting %@", __PRETTY_FUNCTION__, __LINE__, entry.name);
    if (entry.size < 0 || (entry.type == kRegularType && entry.size > INT32_MAX)) {
      // Base-256 sizes and regular files of 2 GiB or more.
      platform::log("%s [Line %d] ERROR: extract file failed", __PRETTY_FUNCTION__, __LINE__);
      break;
    }

    std::optional<std::vector<std::string_view>> parts = safeComponents(entry.name);
    std::optional<std::string> path = parts ? safePath(destination, *parts) : std::nullopt;
    bool named = parts && !parts->empty();
    // Data of directories and links is not consumed, only their padding.
    std::int64_t dataLeft = 0;
    switch (entry.type) {
      case kRegularType:
        if (progress) progress(percentRead(stream, uncompressedLength));
        if (!path || !named) {
          platform::log("%s [Line %d] ERROR: unsafe path %@", __PRETTY_FUNCTION__, __LINE__, entry.name);
          dataLeft = entry.size;
          extractedAny = true;
        } else if (extractFile(stream, *path, static_cast<std::int32_t>(entry.size), entry.mode,
                               uncompressedLength, fileManager, progress)) {
          extractedAny = true;
        } else {
          platform::log("%s [Line %d] ERROR: extract file failed", __PRETTY_FUNCTION__, __LINE__);
          return;
        }
        break;
      case kSymbolicLinkType:
        if (!path || !named)
          platform::log("%s [Line %d] ERROR: unsafe path %@", __PRETTY_FUNCTION__, __LINE__, entry.name);
        else
          makeSymbolicLink(*path, entry.linkName, fileManager);
        break;
      case kDirectoryType: {
        std::optional<bool> created = parts ? createDirectories(destination, *parts) : std::nullopt;
        if (!created) {
          platform::log("%s [Line %d] ERROR: unsafe path %@", __PRETTY_FUNCTION__, __LINE__, entry.name);
        } else if (!*created) {
          platform::log("%s [Line %d] ERROR: extract creating directory", __PRETTY_FUNCTION__, __LINE__);
          return;
        }
        break;
      }
      case kLongNameType:
      case kLongLinkType:
      case kExtendedHeaderType: {
        std::string data;
        if (!readExtension(stream, entry.size, data)) return;
        if (entry.type == kExtendedHeaderType)
          pending.addExtendedHeader(data);
        else if (entry.type == kLongNameType)
          pending.path = textField(data.data(), static_cast<int>(data.size()));
        else
          pending.linkPath = textField(data.data(), static_cast<int>(data.size()));
        break;
      }
      default:
        dataLeft = entry.size;
        break;
    }
    if (dataLeft > 0 && gzseek(stream, dataLeft, SEEK_CUR) == -1) {
      platform::log("%s [Line %d] ERROR: gzseek 2 failed", __PRETTY_FUNCTION__, __LINE__);
      break;
    }
    if (entry.size % kBlockSize != 0 && !skip(stream, kBlockSize - entry.size % kBlockSize)) break;
  }
}
