// Gzip tar extraction: zlib's raw inflate into a fixed pool of large
// buffers on the calling thread, headers read in place from those buffers,
// and a writer thread that creates the entries and writes the data.
#include "mac_installer/UnTar.h"

#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "mac_installer/global.h"
#include "platform/FileDescriptor.h"
#include "platform/Format.h"
#include "platform/Log.h"

namespace {

constexpr int kBlockSize = 512;
// The pool: large buffers keep inflate in its fast loop and cut the copies
// into its window; four of them let the writer fall a little behind.
constexpr size_t kBufferSize = 512 * 1024;
constexpr int kBufferCount = 4;
constexpr size_t kInputSize = 128 * 1024;
// Long names and extended headers are held in memory until the entry they
// describe; anything larger than this is not a header a tar writer makes.
constexpr std::int64_t kMaxExtensionSize = 65536;
// Larger sizes could overflow the position arithmetic.
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

// Failures in words --------------------------------------------------------------

std::string damaged(const std::string& how) { return "the archive is damaged (" + how + ")"; }

// What a failure to create an entry says; a full disk needs no more words.
std::string creationFailure(const char* what, const std::string& name, int error) {
  if (error == ENOSPC || error == EDQUOT) return platform::errorInWords(error);
  if (error == ELOOP) return "it holds an entry that leads outside its folder through a link: " + name;
  return std::string("could not create ") + what + " " + name + ": " + platform::errorInWords(error);
}

// Header fields ------------------------------------------------------------------

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

// The name as a canonical relative path (empty and "." components dropped,
// "" for the destination itself); absent when the name is absolute or climbs
// with "..".
std::optional<std::string> canonicalPath(std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::nullopt;
  std::string path;
  while (!name.empty()) {
    size_t slash = name.find('/');
    std::string_view part = name.substr(0, slash);
    name.remove_prefix(slash == std::string_view::npos ? name.size() : slash + 1);
    if (part == "..") return std::nullopt;
    if (part.empty() || part == ".") continue;
    if (!path.empty()) path += '/';
    path += part;
  }
  return path;
}

std::int64_t paddingOf(std::int64_t size) { return size % kBlockSize ? kBlockSize - size % kBlockSize : 0; }

bool isZeroBlock(const char* block) {
  return std::all_of(block, block + kBlockSize, [](char c) { return c == 0; });
}

// Decompression ----------------------------------------------------------------

// The archive's bytes as a tar stream: gzip members one after another through
// raw inflate (their headers and trailers read here, the checksum left to the
// writer thread), or the file's own bytes when it is not gzip-compressed.
class ArchiveStream {
 public:
  enum class Failure { none, readError, truncated, corrupt };
  // A gzip member's trailer: the checksum of its decompressed bytes.
  struct MemberCheck {
    std::uint32_t crc = 0;
  };

  explicit ArchiveStream(platform::FileDescriptor file)
      : file_(std::move(file)), input_(std::make_unique_for_overwrite<unsigned char[]>(kInputSize)) {}
  ~ArchiveStream() {
    if (inflating_) inflateEnd(&z_);
  }
  ArchiveStream(const ArchiveStream&) = delete;
  ArchiveStream& operator=(const ArchiveStream&) = delete;

  // Fills out with up to size bytes: fewer only where a gzip member or the
  // data ends, so each fill holds the bytes of one member. 0 bytes is the
  // end only when finished(); -1 is a failure.
  long fill(char* out, size_t size);
  bool finished() const { return finished_; }
  bool compressed() const { return compressed_; }
  Failure failure() const { return failure_; }
  const std::string& failureDetail() const { return detail_; }
  // The check of the member whose last bytes the last fill returned.
  std::optional<MemberCheck> takeMemberCheck() { return std::exchange(check_, std::nullopt); }
  // Stops after the member that is being read: the tar stream has ended.
  void stopAfterMember() { lastMember_ = true; }

 private:
  bool refill();
  int nextByte();
  bool skipBytes(size_t count);
  bool skipText();
  bool detect();
  bool startMember();
  bool readTrailer();
  long inflateInto(char* out, size_t size);
  long copyPlain(char* out, size_t size);
  void fail(Failure failure, std::string detail = {}) {
    if (failure_ == Failure::none) failure_ = failure, detail_ = std::move(detail);
  }

  platform::FileDescriptor file_;
  std::unique_ptr<unsigned char[]> input_;
  z_stream z_{};
  bool inflating_ = false;
  bool detected_ = false;
  bool compressed_ = false;
  bool inMember_ = false;
  bool lastMember_ = false;
  bool finished_ = false;
  bool endOfFile_ = false;
  Failure failure_ = Failure::none;
  std::string detail_;
  std::optional<MemberCheck> check_;
};

// More input into the input buffer once it is used up; false at the end of
// the file or on a read error.
bool ArchiveStream::refill() {
  if (z_.avail_in > 0) return true;
  if (endOfFile_) return false;
  long n = file_.read(input_.get(), kInputSize);
  if (n < 0) {
    fail(Failure::readError, platform::errorInWords(errno));
    return false;
  }
  if (n == 0) {
    endOfFile_ = true;
    return false;
  }
  z_.next_in = input_.get();
  z_.avail_in = static_cast<uInt>(n);
  return true;
}

int ArchiveStream::nextByte() {
  if (!refill()) return -1;
  --z_.avail_in;
  return *z_.next_in++;
}

bool ArchiveStream::skipBytes(size_t count) {
  for (; count > 0; --count)
    if (nextByte() < 0) return false;
  return true;
}

bool ArchiveStream::skipText() {
  for (int c = nextByte(); c != 0; c = nextByte())
    if (c < 0) return false;
  return true;
}

// gzip when the data begins with its two magic bytes; zlib's gzip reader
// passes anything else through unchanged, and so does this one.
bool ArchiveStream::detect() {
  detected_ = true;
  // Two bytes may arrive in two reads (a pipe).
  while (z_.avail_in < 2 && !endOfFile_) {
    if (z_.avail_in == 1) {
      input_[0] = *z_.next_in;
      long n = file_.read(input_.get() + 1, kInputSize - 1);
      if (n < 0) return fail(Failure::readError, platform::errorInWords(errno)), false;
      if (n == 0) endOfFile_ = true;
      z_.next_in = input_.get();
      z_.avail_in = 1 + static_cast<uInt>(std::max(n, 0L));
    } else if (!refill()) {
      break;
    }
  }
  if (failure_ != Failure::none) return false;
  compressed_ = z_.avail_in >= 2 && z_.next_in[0] == 0x1f && z_.next_in[1] == 0x8b;
  if (compressed_) {
    if (inflateInit2(&z_, -MAX_WBITS) != Z_OK) return fail(Failure::readError, "out of memory"), false;
    inflating_ = true;
  }
  return true;
}

// A member header: magic, method, flags, time, extra flags, system, then the
// optional extra field, name, comment and header checksum.
bool ArchiveStream::startMember() {
  int id1 = nextByte();
  if (id1 < 0 && failure_ == Failure::none) {
    finished_ = true;  // the data ends after a whole member
    return false;
  }
  int id2 = nextByte();
  if (id1 != 0x1f || id2 != 0x8b) {
    // Bytes after the last member that are not another one are ignored.
    finished_ = failure_ == Failure::none;
    return false;
  }
  int method = nextByte(), flags = nextByte();
  if (method < 0 || flags < 0 || !skipBytes(6)) return fail(Failure::truncated), false;
  if (method != Z_DEFLATED) return fail(Failure::corrupt, "its compression method is unknown"), false;
  if (flags & 0x04) {
    int low = nextByte(), high = nextByte();
    if (high < 0 || !skipBytes(static_cast<size_t>(low | high << 8))) return fail(Failure::truncated), false;
  }
  if (((flags & 0x08) && !skipText()) || ((flags & 0x10) && !skipText()) || ((flags & 0x02) && !skipBytes(2)))
    return fail(Failure::truncated), false;
  inflateReset(&z_);
  inMember_ = true;
  return true;
}

bool ArchiveStream::readTrailer() {
  std::uint32_t values[2] = {0, 0};
  for (std::uint32_t& value : values) {
    for (int shift = 0; shift < 32; shift += 8) {
      int c = nextByte();
      if (c < 0) return fail(Failure::truncated), false;
      value |= static_cast<std::uint32_t>(c) << shift;
    }
  }
  if (values[1] != static_cast<std::uint32_t>(z_.total_out))
    return fail(Failure::corrupt, "its length does not match its contents"), false;
  check_ = MemberCheck{values[0]};
  inMember_ = false;
  if (lastMember_) finished_ = true;
  return true;
}

long ArchiveStream::inflateInto(char* out, size_t size) {
  z_.next_out = reinterpret_cast<Bytef*>(out);
  z_.avail_out = static_cast<uInt>(size);
  while (z_.avail_out > 0) {
    if (!refill()) {
      fail(Failure::truncated);
      break;
    }
    int status = inflate(&z_, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      readTrailer();
      break;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) {
      fail(Failure::corrupt,
           std::string("its compressed data is invalid: ") + (z_.msg ? z_.msg : "unknown error"));
      break;
    }
  }
  return static_cast<long>(size - z_.avail_out);
}

long ArchiveStream::copyPlain(char* out, size_t size) {
  size_t done = std::min<size_t>(z_.avail_in, size);
  if (done > 0) std::memcpy(out, z_.next_in, done);
  z_.next_in += done;
  z_.avail_in -= static_cast<uInt>(done);
  while (done < size && !endOfFile_) {
    long n = file_.read(out + done, size - done);
    if (n < 0) {
      fail(Failure::readError, platform::errorInWords(errno));
      break;
    }
    if (n == 0) endOfFile_ = true;
    done += static_cast<size_t>(n);
  }
  if (done == 0 && failure_ == Failure::none) finished_ = true;
  return static_cast<long>(done);
}

long ArchiveStream::fill(char* out, size_t size) {
  if (failure_ != Failure::none) return -1;
  if (finished_) return 0;
  if (!detected_ && !detect()) return -1;
  if (!compressed_) {
    long n = copyPlain(out, size);
    return n > 0 || failure_ == Failure::none ? n : -1;
  }
  if (!inMember_) {
    if (lastMember_) finished_ = true;
    if (finished_ || !startMember()) return failure_ == Failure::none ? 0 : -1;
  }
  long n = inflateInto(out, size);
  // Bytes before a failure are still the archive's; the failure comes next.
  return n > 0 || failure_ == Failure::none ? n : -1;
}

// Writer thread -----------------------------------------------------------------

// One step for the writer, in archive order.
struct Command {
  enum class Kind { file, data, endFile, directory, link, failure, release, check };
  Kind kind = Kind::endFile;
  std::string path;    // canonical, relative to the destination
  std::string name;    // the entry's name as written (failure: the text)
  std::string target;  // link
  unsigned mode = 0;   // file
  const char* data = nullptr;
  size_t length = 0;      // data; release: bytes filled
  int buffer = -1;        // release
  bool checksum = false;  // release: the bytes count toward the member's checksum
  std::uint32_t crc = 0;  // check

  static Command entry(Kind kind, std::string path, std::string name) {
    Command c;
    c.kind = kind;
    c.path = std::move(path);
    c.name = std::move(name);
    return c;
  }
  static Command bytes(const char* data, size_t length) {
    Command c;
    c.kind = Kind::data;
    c.data = data;
    c.length = length;
    return c;
  }
  static Command of(Kind kind) {
    Command c;
    c.kind = kind;
    return c;
  }
};

// Creates the entries and writes the file data beneath the destination,
// from the pool buffers the reader filled. A failure that ends the
// extraction (a write error, a directory that cannot be made, a checksum
// mismatch) makes it skip everything but the return of buffers.
class Writer {
 public:
  Writer(const platform::DirectoryHandle& root, std::string destination)
      : root_(root),
        destination_(std::move(destination)),
        pool_(std::make_unique_for_overwrite<char[]>(kBufferSize * kBufferCount)) {
    for (int i = kBufferCount - 1; i >= 0; --i) free_.push_back(i);
  }
  // Also when the progress callback raised: what was handed over is written.
  ~Writer() { stop(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void start() {
    thread_ = std::thread([this] { run(); });
  }
  // A free buffer of the pool, waiting for one; -1 once the writer failed.
  int acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    space_.wait(lock, [this] { return !free_.empty() || failed_; });
    if (failed_) return -1;
    int buffer = free_.back();
    free_.pop_back();
    return buffer;
  }
  char* buffer(int index) const { return pool_.get() + static_cast<size_t>(index) * kBufferSize; }
  void push(Command command) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(command));
    }
    work_.notify_one();
  }
  bool failed() const { return failed_; }
  // Waits until every command handed over is done and the thread has ended.
  void stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
    }
    work_.notify_one();
    thread_.join();
  }
  // After stop: the first failure of any entry, in archive order.
  const std::optional<std::string>& failure() const { return failure_; }

 private:
  void run();
  void execute(const Command& command);
  void createFile(const Command& command);
  void writeData(const Command& command);
  void endFile();
  void release(const Command& command);
  void fatal(std::string failure);
  void note(std::string failure) {
    if (!failure_) failure_ = std::move(failure);
  }
  std::string fullPath(const std::string& path) const { return destination_ + "/" + path; }

  const platform::DirectoryHandle& root_;
  const std::string destination_;
  std::unique_ptr<char[]> pool_;

  std::mutex mutex_;
  std::condition_variable work_, space_;
  std::deque<Command> queue_;
  std::vector<int> free_;
  bool ending_ = false;
  std::atomic<bool> failed_{false};
  std::thread thread_;

  // Writer thread only.
  platform::FileDescriptor file_;
  std::string filePath_;
  std::uint32_t crc_ = 0;
  std::optional<std::string> failure_;
};

void Writer::run() {
  for (;;) {
    Command command;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [this] { return !queue_.empty() || ending_; });
      if (queue_.empty()) break;
      command = std::move(queue_.front());
      queue_.pop_front();
    }
    if (command.kind == Command::Kind::release)
      release(command);
    else if (!failed_)
      execute(command);
  }
  // A file still open when the extraction stopped keeps what was written.
  file_.reset();
}

void Writer::execute(const Command& command) {
  switch (command.kind) {
    case Command::Kind::file:
      createFile(command);
      break;
    case Command::Kind::data:
      writeData(command);
      break;
    case Command::Kind::endFile:
      endFile();
      break;
    case Command::Kind::directory:
      if (int error = root_.createDirectories(command.path)) {
        if (error == ELOOP) {
          platform::log("%s [Line %d] ERROR: unsafe path %@", __PRETTY_FUNCTION__, __LINE__, command.name);
          note(creationFailure("the folder", command.name, error));
        } else {
          platform::log("%s [Line %d] ERROR: extract creating directory", __PRETTY_FUNCTION__, __LINE__);
          fatal(creationFailure("the folder", command.name, error));
        }
      }
      break;
    case Command::Kind::link:
      if (int error = root_.createSymbolicLink(command.path, command.target)) {
        if (error == ELOOP)
          platform::log("%s [Line %d] ERROR: unsafe path %@", __PRETTY_FUNCTION__, __LINE__, command.name);
        else
          platform::log("%s [Line %d] ERROR: could not create symlink at %@ (%@)", __PRETTY_FUNCTION__,
                        __LINE__, fullPath(command.path), std::string(std::strerror(error)));
        note(creationFailure("the link", command.name, error));
      }
      break;
    case Command::Kind::failure:
      note(command.name);
      break;
    case Command::Kind::check:
      if (command.crc != crc_) {
        platform::log("%s [Line %d] ERROR: gzread failed", __PRETTY_FUNCTION__, __LINE__);
        fatal(damaged("its checksum does not match its contents"));
      }
      crc_ = 0;
      break;
    case Command::Kind::release:
      break;
  }
}

void Writer::createFile(const Command& command) {
  // Special bits are never applied; the owner can always read and write.
  unsigned mode = (command.mode & 0777) | 0600;
  int error = 0;
  file_ = root_.createFile(command.path, mode, &error);
  filePath_ = fullPath(command.path);
  if (file_) return;
  if (error == ELOOP)
    platform::log("%s [Line %d] ERROR: unsafe path %@", __PRETTY_FUNCTION__, __LINE__, command.name);
  else
    platform::log("%s [Line %d] Could not create file %@ %d %s\n", __PRETTY_FUNCTION__, __LINE__, filePath_,
                  error, std::strerror(error));
  // Its data is skipped; the extraction goes on.
  note(creationFailure("the file", command.name, error));
}

void Writer::writeData(const Command& command) {
  if (!file_) return;
  if (file_.writeAll(std::string_view(command.data, command.length))) return;
  int error = errno;
  file_.reset();
  platform::log("%s [Line %d] ERROR: stream error", __PRETTY_FUNCTION__, __LINE__);
  platform::log("%s [Line %d] ERROR: extract file failed", __PRETTY_FUNCTION__, __LINE__);
  fatal(error == ENOSPC || error == EDQUOT
            ? platform::errorInWords(error)
            : "could not write " + filePath_ + ": " + platform::errorInWords(error));
}

void Writer::endFile() {
  // A failed close is a late write error (quota, network file systems).
  if (!file_ || file_.reset() == 0) return;
  int error = errno;
  platform::log("%s [Line %d] ERROR: stream error", __PRETTY_FUNCTION__, __LINE__);
  platform::log("%s [Line %d] ERROR: extract file failed", __PRETTY_FUNCTION__, __LINE__);
  fatal(error == ENOSPC || error == EDQUOT
            ? platform::errorInWords(error)
            : "could not write " + filePath_ + ": " + platform::errorInWords(error));
}

void Writer::release(const Command& command) {
  // The member's checksum covers every decompressed byte, also the headers
  // and padding the reader kept to itself.
  if (command.checksum && !failed_)
    crc_ = static_cast<std::uint32_t>(crc32(crc_, reinterpret_cast<const Bytef*>(buffer(command.buffer)),
                                            static_cast<uInt>(command.length)));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(command.buffer);
  }
  space_.notify_one();
}

void Writer::fatal(std::string failure) {
  note(std::move(failure));
  file_.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
  }
  space_.notify_all();
}

// Reading the tar stream ---------------------------------------------------------

// The header loop on the calling thread, fed one filled buffer at a time.
class Extraction {
 public:
  Extraction(Writer& writer, std::string destination, std::int32_t expected, const UnTar::Progress& progress)
      : writer_(writer), destination_(std::move(destination)), expected_(expected), progress_(progress) {}

  // Reads the whole archive; the reader's own first failure, if any.
  std::optional<std::string> run(ArchiveStream& stream);

 private:
  enum class State { header, fileData, extension, skip };

  void consume(const char* data, size_t size);
  void onHeader();
  static bool refusesPath(char type, const std::optional<std::string>& path);
  void startFile(const std::string& path);
  void startExtension();
  void startSkip(std::int64_t count) {
    state_ = count > 0 ? State::skip : State::header;
    remaining_ = count;
  }
  void finishFile();
  void finishExtension();
  void stop(std::string failure) {
    if (!failure_) failure_ = std::move(failure);
    stopped_ = true;
  }
  float percentRead() const {
    if (expected_ <= 0) return 0.0f;
    return static_cast<float>(position_) / static_cast<float>(expected_) * 100.0f;
  }
  void report(float percent) {
    if (progress_) progress_(percent);
  }
  void endOfData(const ArchiveStream& stream);
  std::string notAnArchive() const {
    return compressed_ ? "it is compressed but holds no tar archive"
                       : "it is not a gzip-compressed tar archive";
  }

  Writer& writer_;
  const std::string destination_;
  const std::int32_t expected_;
  const UnTar::Progress& progress_;

  State state_ = State::header;
  char header_[kBlockSize] = {};
  size_t headerFill_ = 0;
  std::int64_t remaining_ = 0;
  std::int64_t position_ = 0;
  Entry entry_;
  Extensions pending_;
  std::string extension_;
  std::int64_t fileWritten_ = 0;
  float lastReported_ = 0.0f;
  bool extractedAny_ = false;
  bool sawEntry_ = false;
  bool compressed_ = false;
  bool ended_ = false;
  bool stopped_ = false;
  std::optional<std::string> failure_;
};

std::optional<std::string> Extraction::run(ArchiveStream& stream) {
  while (!stopped_) {
    int index = writer_.acquire();
    if (index < 0) break;  // the writer's failure ends the extraction
    char* buffer = writer_.buffer(index);
    long filled = stream.fill(buffer, kBufferSize);
    compressed_ = stream.compressed();
    if (filled > 0) consume(buffer, static_cast<size_t>(filled));
    Command release = Command::of(Command::Kind::release);
    release.buffer = index;
    release.length = static_cast<size_t>(std::max(filled, 0L));
    release.checksum = stream.compressed();
    writer_.push(std::move(release));
    if (std::optional<ArchiveStream::MemberCheck> check = stream.takeMemberCheck()) {
      Command command = Command::of(Command::Kind::check);
      command.crc = check->crc;
      writer_.push(std::move(command));
    }
    if (filled < 0 || (filled == 0 && stream.finished())) {
      endOfData(stream);
      break;
    }
    if (ended_) {
      // After the end marker only the rest of the gzip member is read, for
      // its checksum; a plain archive ends here. However long that rest is,
      // each buffer of it is a chance to cancel.
      if (!stream.compressed()) break;
      stream.stopAfterMember();
      if (filled > 0) report(percentRead());
    }
  }
  return failure_;
}

void Extraction::endOfData(const ArchiveStream& stream) {
  ArchiveStream::Failure failure = stream.failure();
  if (failure == ArchiveStream::Failure::readError) {
    platform::log("%s [Line %d] ERROR: gzread failed", __PRETTY_FUNCTION__, __LINE__);
    return stop("it could not be read: " + stream.failureDetail());
  }
  if (failure == ArchiveStream::Failure::corrupt) {
    platform::log("%s [Line %d] ERROR: gzread failed", __PRETTY_FUNCTION__, __LINE__);
    return stop(damaged(stream.failureDetail()));
  }
  if (ended_ && failure == ArchiveStream::Failure::none) return;
  bool cutShort = failure == ArchiveStream::Failure::truncated;
  switch (state_) {
    case State::fileData:
      platform::log("%s [Line %d] ERROR: sizes don't match: %d, %d", __PRETTY_FUNCTION__, __LINE__,
                    static_cast<int>(fileWritten_), static_cast<int>(entry_.size));
      platform::log("%s [Line %d] ERROR: extract file failed", __PRETTY_FUNCTION__, __LINE__);
      writer_.push(Command::of(Command::Kind::endFile));
      return stop(damaged("it ends inside a file"));
    case State::header:
      if (!extractedAny_ || headerFill_ > 0 || cutShort)
        platform::log("%s [Line %d] ERROR: unexpected eof", __PRETTY_FUNCTION__, __LINE__);
      if (position_ == 0) return stop("the archive is empty");
      // Less than one header: an error page served in place of the archive.
      if (!sawEntry_) return stop(notAnArchive());
      if (headerFill_ > 0) return stop(damaged("it ends inside an entry header"));
      return stop(damaged("it ends early"));
    case State::extension:
    case State::skip:
      platform::log("%s [Line %d] ERROR: unexpected eof", __PRETTY_FUNCTION__, __LINE__);
      return stop(damaged("it ends inside an entry"));
  }
}

void Extraction::consume(const char* data, size_t size) {
  const char* end = data + size;
  while (data < end && !stopped_ && !ended_) {
    size_t available = static_cast<size_t>(end - data);
    size_t take = 0;
    switch (state_) {
      case State::header:
        take = std::min(available, kBlockSize - headerFill_);
        std::memcpy(header_ + headerFill_, data, take);
        headerFill_ += take;
        break;
      case State::fileData:
      case State::extension:
      case State::skip:
        take = static_cast<size_t>(std::min<std::int64_t>(remaining_, static_cast<std::int64_t>(available)));
        break;
    }
    data += take;
    position_ += static_cast<std::int64_t>(take);
    remaining_ -= state_ == State::header ? 0 : static_cast<std::int64_t>(take);
    switch (state_) {
      case State::header:
        if (headerFill_ == kBlockSize) {
          headerFill_ = 0;
          onHeader();
        }
        break;
      case State::fileData: {
        writer_.push(Command::bytes(data - take, take));
        fileWritten_ += static_cast<std::int64_t>(take);
        float percent = percentRead();
        if (percent != lastReported_) {
          lastReported_ = percent;
          report(percent);
        }
        if (remaining_ == 0) finishFile();
        if (writer_.failed()) stopped_ = true;
        break;
      }
      case State::extension:
        extension_.append(data - take, take);
        if (remaining_ == 0) finishExtension();
        break;
      case State::skip:
        if (remaining_ == 0) state_ = State::header;
        break;
    }
  }
}

void Extraction::finishFile() {
  writer_.push(Command::of(Command::Kind::endFile));
  startSkip(paddingOf(entry_.size));
}

void Extraction::finishExtension() {
  if (entry_.type == kExtendedHeaderType)
    pending_.addExtendedHeader(extension_);
  else if (entry_.type == kLongNameType)
    pending_.path = textField(extension_.data(), static_cast<int>(extension_.size()));
  else
    pending_.linkPath = textField(extension_.data(), static_cast<int>(extension_.size()));
  startSkip(paddingOf(entry_.size));
}

void Extraction::onHeader() {
  if (std::memcmp(header_ + kMagicOffset, "ustar", 5) != 0) {
    if (!extractedAny_) platform::log("%s [Line %d] ERROR: no magic number", __PRETTY_FUNCTION__, __LINE__);
    // A zero block is the end marker; anything else is no tar header.
    ended_ = true;
    if (!isZeroBlock(header_)) stop(sawEntry_ ? damaged("an entry header is not valid") : notAnArchive());
    return;
  }
  sawEntry_ = true;
  if (writer_.failed()) {
    stopped_ = true;
    return;
  }
  entry_ = parseHeader(header_);
  if (!isExtension(entry_.type)) applyExtensions(entry_, pending_);
  _DLog("%s [Line %d] extracting %@", __PRETTY_FUNCTION__, __LINE__, entry_.name);
  if (entry_.size < 0 || (entry_.type == kRegularType && entry_.size > INT32_MAX)) {
    // Base-256 sizes and regular files of 2 GiB or more.
    platform::log("%s [Line %d] ERROR: extract file failed", __PRETTY_FUNCTION__, __LINE__);
    return stop("it holds an entry larger than this installer supports: " + entry_.name);
  }
  if (isExtension(entry_.type)) {
    if (entry_.size > kMaxExtensionSize) {
      platform::log("%s [Line %d] ERROR: header extension too long (%lld bytes)", __PRETTY_FUNCTION__,
                    __LINE__, static_cast<long long>(entry_.size));
      return stop(damaged("a header extension is too long"));
    }
    return startExtension();
  }

  std::optional<std::string> path = canonicalPath(entry_.name);
  if (entry_.type == kRegularType) {
    report(percentRead());
    extractedAny_ = true;
  }
  if (refusesPath(entry_.type, path)) {
    // Refused entries are skipped; the failure goes through the writer so
    // that the first failure is the first in archive order.
    platform::log("%s [Line %d] ERROR: unsafe path %@", __PRETTY_FUNCTION__, __LINE__, entry_.name);
    writer_.push(
        Command::entry(Command::Kind::failure, {}, "it holds an entry outside its folder: " + entry_.name));
    return startSkip((entry_.type == kRegularType ? entry_.size : 0) + paddingOf(entry_.size));
  }
  // Data of directories and links is not consumed, only their padding.
  switch (entry_.type) {
    case kRegularType:
      return startFile(*path);
    case kSymbolicLinkType: {
      Command link = Command::entry(Command::Kind::link, *path, entry_.name);
      link.target = entry_.linkName;
      writer_.push(std::move(link));
      return startSkip(paddingOf(entry_.size));
    }
    case kDirectoryType:
      // An empty path is the destination itself, which exists already.
      if (!path->empty()) writer_.push(Command::entry(Command::Kind::directory, *path, entry_.name));
      return startSkip(paddingOf(entry_.size));
    default:
      return startSkip(entry_.size + paddingOf(entry_.size));
  }
}

bool Extraction::refusesPath(char type, const std::optional<std::string>& path) {
  // A path that leaves the destination is refused for every kind of entry
  // that is created; files and links also need a name below it.
  switch (type) {
    case kRegularType:
    case kSymbolicLinkType:
      return !path || path->empty();
    case kDirectoryType:
      return !path;
    default:
      return false;
  }
}

void Extraction::startFile(const std::string& path) {
  // Metadata companions ("._name") carry nothing a runtime needs.
  if (("/" + path).find("/._") != std::string::npos) return startSkip(entry_.size + paddingOf(entry_.size));
  Command file = Command::entry(Command::Kind::file, path, entry_.name);
  file.mode = static_cast<unsigned>(entry_.mode);
  writer_.push(std::move(file));
  fileWritten_ = 0;
  lastReported_ = 0.0f;
  state_ = State::fileData;
  remaining_ = entry_.size;
  if (remaining_ == 0) finishFile();
}

void Extraction::startExtension() {
  extension_.clear();
  state_ = State::extension;
  remaining_ = entry_.size;
  if (remaining_ == 0) finishExtension();
}

}  // namespace

// Archive ------------------------------------------------------------------

UnTar::Result UnTar::untar(const std::string& archivePath, const std::string& destinationPath,
                           std::int32_t uncompressedLength, const Progress& progress,
                           platform::PathResolution resolution) {
  platform::FileDescriptor file = platform::FileDescriptor::open(archivePath, O_RDONLY);
  if (!file) {
    int error = errno;
    platform::log("%s [Line %d] error reading JRE %@", __PRETTY_FUNCTION__, __LINE__,
                  "open(" + archivePath + "): " + std::strerror(error));
    return {"it cannot be opened: " + platform::errorInWords(error)};
  }
  if (progress) progress(0);

  std::string destination = destinationPath;
  while (destination.size() > 1 && destination.back() == '/') destination.pop_back();
  platform::DirectoryHandle root = platform::DirectoryHandle::open(destination, resolution);
  if (!root) {
    int error = errno;
    platform::log("%s [Line %d] ERROR: cannot open the destination %@: %s", __PRETTY_FUNCTION__, __LINE__,
                  destination, std::strerror(error));
    if (progress) progress(100);
    return {"the folder " + destination + " cannot be opened: " + platform::errorInWords(error)};
  }

  ArchiveStream stream(std::move(file));
  Result result;
  {
    Writer writer(root, destination);
    try {
      writer.start();
    } catch (const std::system_error& error) {
      platform::log("%s [Line %d] ERROR: cannot start the writer thread: %s", __PRETTY_FUNCTION__, __LINE__,
                    error.what());
      if (progress) progress(100);
      return {std::string("the installer could not start a thread: ") + error.what()};
    }
    Extraction extraction(writer, destination, uncompressedLength, progress);
    std::optional<std::string> readFailure = extraction.run(stream);
    writer.stop();
    // Everything the writer did lies before the point the reader reached.
    result.failure = writer.failure() ? writer.failure() : readFailure;
  }
  if (progress) progress(100);
  return result;
}
