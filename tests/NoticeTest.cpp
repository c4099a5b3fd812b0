// Notices: the terminal line, and the detached dialog that never makes the
// caller wait. A stand-in zenity on PATH records how it was started.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "TestSupport.h"
#include "platform/Exception.h"
#include "platform/Notice.h"

namespace fs = std::filesystem;
using test_support::ScopedEnv;
using test_support::TemporaryDirectory;
using testing::HasSubstr;

namespace {

class NoticeTest : public testing::Test {
 protected:
  void SetUp() override {
    // Records its arguments one per line, says something on standard error
    // (which must not reach ours), then stays open like a real dialog.
    std::ofstream(dir_ / "zenity") << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \""
                                   << (dir_ / "args.tmp").string() << "\"\nmv \""
                                   << (dir_ / "args.tmp").string() << "\" \"" << (dir_ / "args").string()
                                   << "\"\necho dialog-noise >&2\nsleep 3\n";
    fs::permissions(dir_ / "zenity", fs::perms::owner_all);
  }
  // The stand-in's arguments, once it has written them (within 10 s).
  std::vector<std::string> dialogArguments() {
    for (int i = 0; i < 1000 && !fs::exists(dir_ / "args"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(dir_ / "args");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  TemporaryDirectory directory_;
  const fs::path dir_ = directory_.path();
  ScopedEnv path_{"PATH", (dir_.string() + ":/usr/bin:/bin").c_str()};
  ScopedEnv display_{"DISPLAY", ":99"};
  ScopedEnv wayland_{"WAYLAND_DISPLAY", nullptr};
};

}  // namespace

TEST_F(NoticeTest, ShowsADetachedDialogWithoutWaiting) {
  testing::internal::CaptureStderr();
  auto start = std::chrono::steady_clock::now();
  platform::showNotice(std::string("Demo"), "Java 11 is needed.");
  auto took = std::chrono::steady_clock::now() - start;
  std::vector<std::string> args = dialogArguments();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_LT(took, std::chrono::seconds(2));  // the stand-in stays open for 3 s
  EXPECT_EQ(args, (std::vector<std::string>{"--error", "--no-markup", "--text=Java 11 is needed.",
                                            "--title=Demo"}));
  EXPECT_EQ(err, "Demo: Java 11 is needed.\n");
}

TEST_F(NoticeTest, NoTitleMeansNoHeaderArgument) {
  testing::internal::CaptureStderr();
  platform::showNotice(std::nullopt, "--text=looks like an option");
  std::vector<std::string> args = dialogArguments();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "--text=looks like an option\n");
  EXPECT_EQ(args, (std::vector<std::string>{"--error", "--no-markup", "--text=--text=looks like an option"}));
}

TEST_F(NoticeTest, WithoutADisplayOnlyTheTerminalLineIsWritten) {
  ScopedEnv noDisplay("DISPLAY", "");
  testing::internal::CaptureStderr();
  platform::showNotice(std::string(""), "message");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "message\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(dir_ / "args"));
}

TEST(ExceptionTest, CarriesNameReasonAndCallStack) {
  try {
    throw platform::Exception("JavaLaunchError", "Could not load JRE.");
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "JavaLaunchError");
    EXPECT_EQ(e.description(), "Could not load JRE.");
    EXPECT_STREQ(e.what(), "Could not load JRE.");
    ASSERT_FALSE(e.callStackSymbols().empty());
    std::string all;
    for (const auto& s : e.callStackSymbols()) all += s + "\n";
    EXPECT_THAT(all,
                HasSubstr("ExceptionTest_CarriesNameReasonAndCallStack"));  // symbols, not bare addresses
  }
}
