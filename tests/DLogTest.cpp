// The diagnostic log switch: decided once from QUORVANE_LOG.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "mac_installer/global.h"

using testing::HasSubstr;

namespace {

class DLogTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = logStatus.load();
    if (const char* v = std::getenv("QUORVANE_LOG")) savedEnv_ = v;
  }
  void TearDown() override {
    logStatus = saved_;
    if (savedEnv_)
      ::setenv("QUORVANE_LOG", savedEnv_->c_str(), 1);
    else
      ::unsetenv("QUORVANE_LOG");
  }
  // Starts undecided with the variable set to value (or unset), then logs.
  static std::string logWith(const char* value) {
    logStatus = 0;
    if (value)
      ::setenv("QUORVANE_LOG", value, 1);
    else
      ::unsetenv("QUORVANE_LOG");
    testing::internal::CaptureStderr();
    _DLog("%s [Line %d] value %@", __PRETTY_FUNCTION__, __LINE__, static_cast<const platform::Value*>(nullptr));
    return testing::internal::GetCapturedStderr();
  }
  std::int32_t saved_ = 0;
  std::optional<std::string> savedEnv_;
};

}  // namespace

TEST_F(DLogTest, OnlyLowerCaseYesTurnsLoggingOn) {
  std::string on = logWith("yes");
  EXPECT_THAT(on, HasSubstr("] DLogTest::logWith [Line "));
  EXPECT_THAT(on, HasSubstr("] value (null)\n"));
  EXPECT_EQ(logStatus.load(), 1);
  for (const char* off : {static_cast<const char*>(nullptr), "", "YES", "Yes", "yes ", "1", "true"}) {
    EXPECT_EQ(logWith(off), "") << (off ? off : "(unset)");
    EXPECT_EQ(logStatus.load(), 2);
  }
}

TEST_F(DLogTest, TheSwitchIsDecidedOnceForTheProcess) {
  EXPECT_EQ(logWith(nullptr), "");
  ::setenv("QUORVANE_LOG", "yes", 1);
  testing::internal::CaptureStderr();
  _DLog("%s [Line %d] later", __PRETTY_FUNCTION__, __LINE__);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(logStatus.load(), 2);

  EXPECT_NE(logWith("yes"), "");
  ::unsetenv("QUORVANE_LOG");
  testing::internal::CaptureStderr();
  _DLog("%s [Line %d] still on", __PRETTY_FUNCTION__, __LINE__);
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("still on"));
}
