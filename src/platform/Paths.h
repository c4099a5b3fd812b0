// Platform constants that differ from the desktop platform the bundle layout
// comes from. Every search root is a default here; the code under test takes
// the roots as parameters so tests never touch system paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

// File name of the Java runtime's launcher library.
inline constexpr std::string_view kJliLibraryName = "libjli.so";

// Directory holding the installed Java virtual machines.
inline constexpr std::string_view kVirtualMachinesDirectory = "/usr/lib/jvm";

// The browser plug-in runtime: the same text as on the desktop platform
// (it does not exist on Linux and is simply not found).
inline constexpr std::string_view kInternetPluginPath = "/Library/Internet Plug-Ins/JavaAppletPlugin.plugin";

// Mach-O CPU type numbers; ELF machines are mapped onto them.
inline constexpr std::int32_t kCpuTypeX86_64 = 0x01000007;
inline constexpr std::int32_t kCpuTypeArm64 = 0x0100000C;
inline constexpr std::int32_t kCpuTypeX86 = 7;
inline constexpr std::int32_t kCpuTypeArm = 12;

// The processor type a runtime must be built for: the one this program runs on.
#if defined(__aarch64__)
inline constexpr std::int32_t kRequiredCpuType = kCpuTypeArm64;
#else
inline constexpr std::int32_t kRequiredCpuType = kCpuTypeX86_64;
#endif

// The longest argument a new program can be given, in bytes without the
// final NUL: 32 pages of 4 KiB (the desktop platform has no such limit).
inline constexpr std::size_t kMaxArgumentLength = 128 * 1024 - 1;

// Whether the dock options ("-Xdock:icon=...", "-Xdock:name=...") are passed
// to Java: the Linux VM rejects them and would not start.
inline constexpr bool kPassDockOptions = false;

}  // namespace platform
