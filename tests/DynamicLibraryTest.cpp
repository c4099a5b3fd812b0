// Run-time loading: typed look-up, missing libraries and functions as
// ordinary outcomes, unloading by the owner and keeping on request.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "platform/DynamicLibrary.h"

using testing::HasSubstr;

namespace {

// Whether the dynamic linker still has the library loaded.
bool isLoaded(const char* path) {
  void* handle = ::dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
  if (handle) ::dlclose(handle);
  return handle != nullptr;
}

TEST(DynamicLibraryTest, ResolvesFunctionsWithTheTypesOfTheLibrarysHeader) {
  std::string error;
  platform::DynamicLibrary zlib = platform::DynamicLibrary::open("libz.so.1", &error);
  ASSERT_TRUE(zlib) << error;
  decltype(&::crc32) checksum = nullptr;
  ASSERT_TRUE(zlib.resolve("crc32", checksum, &error)) << error;
  const unsigned char text[] = "123456789";
  EXPECT_EQ(checksum(0, text, 9), 0xCBF43926u);  // the standard check value
}

TEST(DynamicLibraryTest, MissingLibraryOrFunctionIsAnOutcomeWithTheReason) {
  std::string error;
  platform::DynamicLibrary missing = platform::DynamicLibrary::open("libmi-absent.so.7", &error);
  EXPECT_FALSE(missing);
  EXPECT_THAT(error, HasSubstr("libmi-absent.so.7"));
  decltype(&::crc32) function = &::crc32;
  EXPECT_FALSE(missing.resolve("crc32", function, &error));
  EXPECT_EQ(function, nullptr);

  platform::DynamicLibrary zlib = platform::DynamicLibrary::open("libz.so.1", &error);
  ASSERT_TRUE(zlib) << error;
  int (*absent)(int) = nullptr;
  error.clear();
  EXPECT_FALSE(zlib.resolve("mi_no_such_function", absent, &error));
  EXPECT_EQ(absent, nullptr);
  EXPECT_THAT(error, HasSubstr("mi_no_such_function"));
}

TEST(DynamicLibraryTest, OwnerUnloadsUnlessKeptAndMovesOwnership) {
  const char* path = MI_JLI_WITHOUT_LAUNCH;
  ASSERT_FALSE(isLoaded(path));
  {
    std::string error;
    platform::DynamicLibrary first = platform::DynamicLibrary::open(path, &error);
    ASSERT_TRUE(first) << error;
    platform::DynamicLibrary second = std::move(first);
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): moved-from is empty
    int (*marker)() = nullptr;
    ASSERT_TRUE(second.resolve("jli_without_launch_marker", marker, &error)) << error;
    EXPECT_EQ(marker(), 0);
    EXPECT_TRUE(isLoaded(path));
  }
  EXPECT_FALSE(isLoaded(path));
  {
    std::string error;
    platform::DynamicLibrary kept = platform::DynamicLibrary::open(path, &error);
    ASSERT_TRUE(kept) << error;
    kept.keepLoaded();
  }
  EXPECT_TRUE(isLoaded(path));
}

}  // namespace
