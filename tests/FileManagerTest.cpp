// The path-text helpers of the file manager.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/FileManager.h"

namespace {

TEST(FileManagerTest, DeletingPathExtensionKeepsTheDirectoryPart) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a/b.app", "a/b"},   {"b.app", "b"},     {"a/b.app/", "a/b"},  {"/x/y.tar.gz", "/x/y.tar"},
      {"a/b", "a/b"},       {"a/b/", "a/b/"},   {"a/.app", "a/.app"}, {".a.b", ".a"},
      {"a.d/b", "a.d/b"},   {"", ""},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(platform::deletingPathExtension(path), expected) << path;
}

}  // namespace
