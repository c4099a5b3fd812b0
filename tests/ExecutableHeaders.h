// Hand-built executable headers (Mach-O thin and fat, ELF) and runtime bundles
// carrying them, for the tests of architectures, candidate checks and the
// runtime search.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "TestSupport.h"
#include "platform/Paths.h"
#include "platform/Value.h"

namespace testing_headers {

using Bytes = std::string;

inline void putBE32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift & 0xFF));
}
inline void putLE32(Bytes& out, std::uint32_t v) {
  for (int shift = 0; shift <= 24; shift += 8) out.push_back(static_cast<char>(v >> shift & 0xFF));
}

// A thin 64-bit Mach-O header; bigEndian writes the byte-swapped form.
inline Bytes machO(std::int32_t cpuType, bool bigEndian = false, bool bits64 = true) {
  Bytes out;
  auto put = [&](std::uint32_t v) { bigEndian ? putBE32(out, v) : putLE32(out, v); };
  put(bits64 ? 0xFEEDFACF : 0xFEEDFACE);
  put(static_cast<std::uint32_t>(cpuType));
  put(0);  // subtype
  put(2);  // MH_EXECUTE
  put(0);  // load commands
  put(0);
  put(0);
  if (bits64) put(0);
  return out;
}

// A fat (universal) header with one entry per CPU type, followed by thin
// headers at the offsets its entries name.
inline Bytes fat(std::initializer_list<std::int32_t> cpuTypes, bool fat64 = false) {
  Bytes out;
  putBE32(out, fat64 ? 0xCAFEBABF : 0xCAFEBABE);
  putBE32(out, static_cast<std::uint32_t>(cpuTypes.size()));
  std::uint32_t offset = 4096;
  for (std::int32_t type : cpuTypes) {
    putBE32(out, static_cast<std::uint32_t>(type));
    putBE32(out, 0);
    if (fat64) putBE32(out, 0);
    putBE32(out, offset);
    if (fat64) putBE32(out, 0);
    putBE32(out, 32);
    putBE32(out, 12);
    if (fat64) putBE32(out, 0);
    offset += 4096;
  }
  return out;
}

// The first 64 bytes of an ELF file with the given e_machine.
inline Bytes elf(std::uint16_t machine, bool bigEndian = false) {
  Bytes out =
      "\x7f"
      "ELF";
  out.push_back(2);                  // 64-bit
  out.push_back(bigEndian ? 2 : 1);  // byte order
  out.push_back(1);                  // version
  out.append(9, '\0');
  auto put16 = [&](std::uint16_t v) {
    if (bigEndian) {
      out.push_back(static_cast<char>(v >> 8));
      out.push_back(static_cast<char>(v & 0xFF));
    } else {
      out.push_back(static_cast<char>(v & 0xFF));
      out.push_back(static_cast<char>(v >> 8));
    }
  };
  put16(2);  // ET_EXEC
  put16(machine);
  out.append(64 - out.size(), '\0');
  return out;
}

constexpr std::uint16_t kElfX86_64 = 62;
constexpr std::uint16_t kElfAarch64 = 183;

// The architecture this build requires, and the other one it must refuse.
constexpr std::int32_t kRequired = platform::kRequiredCpuType;
constexpr std::int32_t kOther =
    kRequired == platform::kCpuTypeArm64 ? platform::kCpuTypeX86_64 : platform::kCpuTypeArm64;
constexpr std::uint16_t kRequiredElf = kRequired == platform::kCpuTypeArm64 ? kElfAarch64 : kElfX86_64;

// A runtime bundle as a runtime vendor ships it.
struct Runtime {
  std::optional<std::string> version = "17.0.2";  // JavaVM/JVMVersion
  std::optional<std::string> identifier = "com.vendor.jdk";
  Bytes executable = machO(kRequired);
  platform::Dictionary extra;  // further top-level keys
  bool java = true;            // an executable Contents/Home/bin/java
};

inline Runtime versioned(std::optional<std::string> version) {
  Runtime r;
  r.version = std::move(version);
  return r;
}

// Writes runtime as the bundle dir/relative and returns its path.
inline std::string writeRuntime(const test_support::TemporaryDirectory& dir, const std::string& relative,
                                const Runtime& runtime = {}) {
  platform::Dictionary info = runtime.extra;
  if (runtime.identifier) info["CFBundleIdentifier"] = platform::Value(*runtime.identifier);
  info["CFBundleExecutable"] = platform::Value("libjli.dylib");
  if (runtime.version) {
    platform::Dictionary javaVM;
    javaVM["JVMVersion"] = platform::Value(*runtime.version);
    info["JavaVM"] = platform::Value(std::move(javaVM));
  }
  dir.write(relative + "/Contents/Info.plist", platform::Value(std::move(info)).toXML());
  dir.write(relative + "/Contents/MacOS/libjli.dylib", runtime.executable);
  if (runtime.java) {
    std::string java = dir.write(relative + "/Contents/Home/bin/java", elf(kRequiredElf));
    ::chmod(java.c_str(), 0755);
  }
  return dir / relative;
}

}  // namespace testing_headers
