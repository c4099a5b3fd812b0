// Random UUID texts from the kernel's random source.
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>

#include "platform/UniqueName.h"

namespace platform {

std::string globallyUniqueString() {
  std::uint8_t bytes[16];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  if (filled < sizeof bytes) {
    // Without the kernel source, a generator seeded from the clock, the
    // process and the stack's place still gives distinct names. (Not
    // std::random_device: it would make the program need a newer C library.)
    auto now =
        static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    std::seed_seq seed{now, now >> 32, static_cast<std::uint64_t>(::getpid()),
                       static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&filled))};
    std::mt19937_64 engine(seed);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(engine());
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

}  // namespace platform
