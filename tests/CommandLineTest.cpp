// The Java child's command line: when it exceeds the system's limits, and the
// argument file that carries it then.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "mac_installer/AppDelegate.h"
#include "platform/Paths.h"
#include "platform/Task.h"

TEST(CommandLineTest, ArgumentFileQuotesEveryArgumentAsTheJavaLauncherReadsIt) {
  const std::vector<std::string> arguments = {"-cp",
                                              "",
                                              "two  words",
                                              "tab\there",
                                              "back\\slash\\",
                                              "\"quoted\"",
                                              "it's",
                                              "# not a comment",
                                              "@not-a-file",
                                              "line\nfeed",
                                              "carriage\rreturn"};
  EXPECT_EQ(AppDelegate::javaArgumentFileText(arguments),
            "\"-cp\"\n"
            "\"\"\n"
            "\"two  words\"\n"
            "\"tab\there\"\n"
            "\"back\\\\slash\\\\\"\n"
            "\"\\\"quoted\\\"\"\n"
            "\"it's\"\n"
            "\"# not a comment\"\n"
            "\"@not-a-file\"\n"
            "\"line\\nfeed\"\n"
            "\"carriage\\rreturn\"\n");
  EXPECT_EQ(AppDelegate::javaArgumentFileText({}), "");
}

TEST(CommandLineTest, OneArgumentOf128KiBDoesNotFit) {
  const std::size_t room = 1 << 30;
  std::vector<std::string> arguments = {"-Xmx1g", std::string(platform::kMaxArgumentLength, 'x'), "Main"};
  EXPECT_FALSE(AppDelegate::commandLineExcess(arguments, 200000, room));

  arguments[1].push_back('x');
  std::optional<std::string> excess = AppDelegate::commandLineExcess(arguments, 200000, room);
  ASSERT_TRUE(excess);
  EXPECT_EQ(*excess,
            "argument 2 of the Java command line is 131072 bytes long, and the system passes at most 131071 "
            "bytes in one argument");
}

TEST(CommandLineTest, CommandLineLongerThanTheRoomDoesNotFit) {
  const std::vector<std::string> arguments = {"-Xmx1g", "Main"};
  EXPECT_FALSE(AppDelegate::commandLineExcess(arguments, 4096, 4096));
  std::optional<std::string> excess = AppDelegate::commandLineExcess(arguments, 4097, 4096);
  ASSERT_TRUE(excess);
  EXPECT_EQ(*excess,
            "the Java command line and the environment take 4097 bytes, and the system passes at most "
            "4096 bytes");
}

TEST(CommandLineTest, SizeCountsArgumentsAndEnvironmentAsTheSystemDoes) {
  const std::size_t pointer = sizeof(char*);
  const std::size_t bare = platform::Task::commandLineSize("/j", {});
  EXPECT_EQ(platform::Task::commandLineSize("/j", {"abc", ""}), bare + 4 + pointer + 1 + pointer);
  {
    test_support::ScopedEnv extra("MI_TEST_COMMAND_LINE", "12345");
    EXPECT_EQ(platform::Task::commandLineSize("/j", {}),
              bare + std::string("MI_TEST_COMMAND_LINE=12345").size() + 1 + pointer);
  }
  EXPECT_GE(platform::Task::commandLineSpace(), 4096u);
}
