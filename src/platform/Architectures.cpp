// Processor types of an executable: Mach-O (thin and fat) and ELF headers.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>

#include "platform/Bundle.h"
#include "platform/FileDescriptor.h"
#include "platform/Paths.h"

namespace platform {

namespace {

constexpr std::uint32_t kMachMagic32 = 0xFEEDFACE;
constexpr std::uint32_t kMachMagic64 = 0xFEEDFACF;
constexpr std::uint32_t kFatMagic = 0xCAFEBABE;
constexpr std::uint32_t kFatMagic64 = 0xCAFEBABF;
// More fat entries than any real universal file holds; bounds what is read.
constexpr std::uint32_t kMaxFatEntries = 64;

std::uint32_t readBE32(const unsigned char* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
std::uint32_t readLE32(const unsigned char* p) {
  return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}
std::uint16_t read16(const unsigned char* p, bool bigEndian) {
  return bigEndian ? std::uint16_t(p[0] << 8 | p[1]) : std::uint16_t(p[1] << 8 | p[0]);
}

std::int32_t elfMachineToCpuType(std::uint16_t machine) {
  switch (machine) {
    case 62:
      return kCpuTypeX86_64;  // EM_X86_64
    case 183:
      return kCpuTypeArm64;  // EM_AARCH64
    case 3:
      return kCpuTypeX86;  // EM_386
    case 40:
      return kCpuTypeArm;  // EM_ARM
    case 20:
      return 18;  // EM_PPC -> CPU_TYPE_POWERPC
    case 21:
      return 0x01000012;  // EM_PPC64 -> CPU_TYPE_POWERPC64
    default:
      return static_cast<std::int32_t>(machine) | 0x40000000;  // unknown, never required
  }
}

// Reads up to size bytes at offset; returns the count read.
size_t readAt(const FileDescriptor& file, void* buf, size_t size, std::uint64_t offset) {
  size_t done = 0;
  while (done < size) {
    long n = file.readAt(static_cast<char*>(buf) + done, size - done, offset + done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace

std::optional<std::vector<std::int32_t>> readExecutableArchitectures(const std::string& path) {
  // Non-blocking, so that a named pipe in the executable's place cannot hang
  // the caller in open; it is then refused as not a regular file.
  FileDescriptor file = FileDescriptor::open(path, O_RDONLY | O_NONBLOCK);
  if (!file) return std::nullopt;
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

  unsigned char head[20] = {};
  size_t got = readAt(file, head, sizeof head, 0);
  std::vector<std::int32_t> types;
  if (got < 8) return types;

  std::uint32_t be = readBE32(head), le = readLE32(head);
  if (be == kFatMagic || be == kFatMagic64) {
    std::uint32_t count = readBE32(head + 4);
    size_t entrySize = be == kFatMagic ? 20 : 32;
    if (count > kMaxFatEntries) return types;
    for (std::uint32_t i = 0; i < count; ++i) {
      unsigned char entry[4];
      if (readAt(file, entry, 4, 8 + i * entrySize) < 4) return std::vector<std::int32_t>{};
      types.push_back(static_cast<std::int32_t>(readBE32(entry)));
    }
    return types;
  }
  if (le == kMachMagic32 || le == kMachMagic64) {
    types.push_back(static_cast<std::int32_t>(readLE32(head + 4)));
    return types;
  }
  if (be == kMachMagic32 || be == kMachMagic64) {
    types.push_back(static_cast<std::int32_t>(readBE32(head + 4)));
    return types;
  }
  if (std::memcmp(head,
                  "\x7f"
                  "ELF",
                  4) == 0 &&
      got >= 20) {
    bool bigEndian = head[5] == 2;
    types.push_back(elfMachineToCpuType(read16(head + 18, bigEndian)));
  }
  return types;
}

}  // namespace platform
