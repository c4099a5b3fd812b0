// Processor types of executables: Mach-O thin and fat headers in both byte
// orders, ELF machines, and hostile or truncated files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "ExecutableHeaders.h"
#include "TestSupport.h"
#include "platform/Bundle.h"

namespace {

using namespace testing_headers;
using platform::readExecutableArchitectures;
using test_support::TemporaryDirectory;
using Types = std::vector<std::int32_t>;

class ArchitecturesTest : public ::testing::Test {
 protected:
  std::optional<Types> read(const Bytes& bytes) {
    return readExecutableArchitectures(dir.write("exe", bytes));
  }
  TemporaryDirectory dir;
};

TEST_F(ArchitecturesTest, ThinMachOInEitherByteOrder) {
  EXPECT_EQ(read(machO(platform::kCpuTypeArm64)), Types{platform::kCpuTypeArm64});
  EXPECT_EQ(read(machO(platform::kCpuTypeX86_64)), Types{platform::kCpuTypeX86_64});
  EXPECT_EQ(read(machO(platform::kCpuTypeArm64, true)), Types{platform::kCpuTypeArm64});
  EXPECT_EQ(read(machO(18, true, false)), Types{18});                     // 32-bit PowerPC
  EXPECT_EQ(read(machO(platform::kCpuTypeX86, false, false)), Types{7});  // 32-bit Intel
}

TEST_F(ArchitecturesTest, FatHeadersListEveryEntry) {
  const std::int32_t arm = platform::kCpuTypeArm64, intel = platform::kCpuTypeX86_64;
  EXPECT_EQ(read(fat({intel, arm})), (Types{intel, arm}));
  EXPECT_EQ(read(fat({arm, intel, 18}, true)), (Types{arm, intel, 18}));
  EXPECT_EQ(read(fat({})), Types{});
  // Entries are read as signed numbers.
  EXPECT_EQ(read(fat({-1})), Types{-1});
}

TEST_F(ArchitecturesTest, ElfMachinesMapToMachOTypes) {
  EXPECT_EQ(read(elf(kElfX86_64)), Types{platform::kCpuTypeX86_64});
  EXPECT_EQ(read(elf(kElfAarch64)), Types{platform::kCpuTypeArm64});
  EXPECT_EQ(read(elf(21, true)), Types{0x01000012});  // big-endian 64-bit PowerPC
  // An unknown machine gives a type that no build requires.
  Types unknown = *read(elf(0x1234));
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_NE(unknown[0], platform::kRequiredCpuType);
}

TEST_F(ArchitecturesTest, OtherFilesGiveAnEmptyList) {
  EXPECT_EQ(read(""), Types{});
  EXPECT_EQ(read("#!/bin/sh\nexec java \"$@\"\n"), Types{});
  EXPECT_EQ(read(Bytes(4096, '\0')), Types{});
}

TEST_F(ArchitecturesTest, TruncatedHeadersGiveAnEmptyList) {
  EXPECT_EQ(read(machO(platform::kCpuTypeArm64).substr(0, 6)), Types{});
  EXPECT_EQ(read(elf(kElfX86_64).substr(0, 19)), Types{});
  EXPECT_EQ(read(fat({platform::kCpuTypeArm64}).substr(0, 6)), Types{});
  // The header promises two entries but holds one.
  EXPECT_EQ(read(fat({platform::kCpuTypeArm64, platform::kCpuTypeX86_64}).substr(0, 8 + 20)), Types{});
}

TEST_F(ArchitecturesTest, HugeFatCountsAreNotBelieved) {
  for (std::uint32_t count : {0x80000000u, 0xFFFFFFFFu, 65u}) {
    Bytes header;
    putBE32(header, 0xCAFEBABE);
    putBE32(header, count);
    header += fat({platform::kCpuTypeArm64}).substr(8);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(header), Types{}) << count;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  }
}

TEST_F(ArchitecturesTest, MissingOrUnusualFilesGiveNoList) {
  EXPECT_EQ(readExecutableArchitectures(dir / "absent"), std::nullopt);
  std::filesystem::create_directory(dir / "directory");
  EXPECT_EQ(readExecutableArchitectures(dir / "directory"), std::nullopt);
  // A named pipe with no writer must not block the reader.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(readExecutableArchitectures(dir / "fifo"), std::nullopt);
  // A link is followed to its target.
  std::string target = dir.write("target", machO(platform::kCpuTypeArm64));
  std::filesystem::create_symlink(target, dir / "link");
  EXPECT_EQ(readExecutableArchitectures(dir / "link"), Types{platform::kCpuTypeArm64});
}

TEST_F(ArchitecturesTest, BundleExecutableLocation) {
  platform::Dictionary info;
  info["CFBundleExecutable"] = platform::Value("launcher");
  dir.write("A.bundle/Contents/Info.plist", platform::Value(info).toXML());
  dir.write("A.bundle/Contents/MacOS/launcher", fat({kOther, kRequired}));
  auto bundle = platform::Bundle::open(dir / "A.bundle");
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->executableArchitectures(), (Types{kOther, kRequired}));

  // Without CFBundleExecutable there is no executable and no list.
  dir.write("B.bundle/Contents/Info.plist", platform::Value(platform::Dictionary{}).toXML());
  dir.write("B.bundle/Contents/MacOS/launcher", machO(kRequired));
  EXPECT_EQ(platform::Bundle::open(dir / "B.bundle")->executableArchitectures(), std::nullopt);

  // A JDK home's executable is bin/java.
  dir.write("home/release", "JAVA_VERSION=\"17.0.2\"\n");
  dir.write("home/bin/java", elf(kRequiredElf));
  EXPECT_EQ(platform::Bundle::open(dir / "home")->executableArchitectures(), Types{kRequired});
}

}  // namespace
