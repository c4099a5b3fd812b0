// The directory handle: entries are created beneath it and never through a
// symbolic link, with the kernel's one-call resolution and with the
// component walk alike.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "platform/DirectoryHandle.h"

namespace fs = std::filesystem;
using platform::DirectoryHandle;
using platform::PathResolution;
using test_support::TemporaryDirectory;

namespace {

class DirectoryHandleTest : public ::testing::TestWithParam<PathResolution> {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "inside");
    fs::create_directories(root_ / "outside");
    std::ofstream(root_ / "outside/keep") << "keep";
    handle_ = DirectoryHandle::open((root_ / "inside").string(), GetParam());
    ASSERT_TRUE(handle_);
  }

  fs::path in(const std::string& name) const { return root_ / "inside" / name; }
  bool outsideUntouched() const {
    return std::distance(fs::directory_iterator(root_ / "outside"), fs::directory_iterator()) == 1 &&
           !fs::is_symlink(root_ / "outside/keep") && fs::file_size(root_ / "outside/keep") == 4;
  }

  TemporaryDirectory directory_;
  const fs::path root_ = directory_.path();
  DirectoryHandle handle_;
};

TEST_P(DirectoryHandleTest, ResolutionIsTheOneAskedFor) {
  if (GetParam() == PathResolution::componentWalk) {
    EXPECT_FALSE(handle_.resolvesInOneCall());
  } else if (!handle_.resolvesInOneCall()) {
    GTEST_SKIP() << "this kernel cannot resolve a path beneath a directory in one call";
  }
}

TEST_P(DirectoryHandleTest, CreatesDirectoriesFilesAndLinksBeneathItself) {
  EXPECT_EQ(handle_.createDirectories("a/b/c"), 0);
  EXPECT_EQ(handle_.createDirectories("a/b"), 0);  // existing is fine
  int error = 0;
  platform::FileDescriptor file = handle_.createFile("a/b/c/f", 0640, &error);
  ASSERT_TRUE(file) << std::strerror(error);
  EXPECT_TRUE(file.writeAll("data"));
  file.reset();
  struct stat st {};
  ASSERT_EQ(::stat(in("a/b/c/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640 & ~0022 & 0777);
  EXPECT_EQ(handle_.createSymbolicLink("a/link", "../../outside/keep"), 0);
  EXPECT_EQ(fs::read_symlink(in("a/link")), "../../outside/keep");
}

TEST_P(DirectoryHandleTest, NeverGoesThroughALinkOnTheWay) {
  fs::create_symlink(root_ / "outside", in("up"));
  fs::create_directories(in("d"));
  fs::create_symlink("../../outside", in("d/rel"));
  int error = 0;
  EXPECT_FALSE(handle_.createFile("up/new", 0644, &error));
  EXPECT_EQ(error, ELOOP);
  EXPECT_FALSE(handle_.createFile("d/rel/new", 0644, &error));
  EXPECT_EQ(error, ELOOP);
  EXPECT_EQ(handle_.createDirectories("up/newdir"), ELOOP);
  EXPECT_EQ(handle_.createDirectories("d/rel/x/y"), ELOOP);
  EXPECT_EQ(handle_.createSymbolicLink("up/newlink", "x"), ELOOP);
  EXPECT_TRUE(outsideUntouched());
}

TEST_P(DirectoryHandleTest, ReplacesWhatStandsAtTheLastComponentWithoutFollowingIt) {
  // A link where a file goes is removed, not written through.
  fs::create_symlink(root_ / "outside/keep", in("file"));
  int error = 0;
  platform::FileDescriptor file = handle_.createFile("file", 0644, &error);
  ASSERT_TRUE(file) << std::strerror(error);
  EXPECT_FALSE(fs::is_symlink(in("file")));
  // A link where a directory goes becomes a directory.
  fs::create_symlink(root_ / "outside", in("dir"));
  EXPECT_EQ(handle_.createDirectories("dir"), 0);
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(in("dir"))));
  // A tree where a link goes is removed, but not what its own links point at.
  fs::create_directories(in("tree/sub"));
  std::ofstream(in("tree/sub/f")) << "x";
  fs::create_symlink(root_ / "outside", in("tree/sub/out"));
  EXPECT_EQ(handle_.createSymbolicLink("tree", "elsewhere"), 0);
  EXPECT_EQ(fs::read_symlink(in("tree")), "elsewhere");
  // A directory where a file goes stays.
  fs::create_directories(in("busy"));
  EXPECT_FALSE(handle_.createFile("busy", 0644, &error));
  EXPECT_EQ(error, EISDIR);
  EXPECT_TRUE(outsideUntouched());
}

TEST_P(DirectoryHandleTest, RefusesPathsThatAreNotCanonicalAndRelative) {
  int error = 0;
  for (const char* path : {"", "/etc/x", "../x", "a/../x", "a//x", "./x", "a/.", "x/"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(handle_.createFile(path, 0644, &error));
    EXPECT_EQ(error, EINVAL);
    EXPECT_EQ(handle_.createDirectories(path), EINVAL);
    EXPECT_EQ(handle_.createSymbolicLink(path, "t"), EINVAL);
  }
  EXPECT_TRUE(outsideUntouched());
}

INSTANTIATE_TEST_SUITE_P(Resolutions, DirectoryHandleTest,
                         ::testing::Values(PathResolution::automatic, PathResolution::componentWalk),
                         [](const ::testing::TestParamInfo<PathResolution>& info) {
                           return info.param == PathResolution::automatic ? "Kernel" : "ComponentWalk";
                         });

}  // namespace
