// The diagnostic log switch: decided once from QUORVANE_LOG.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "TestSupport.h"
#include "mac_installer/global.h"

using test_support::ScopedEnv;
using testing::HasSubstr;

namespace {

class DLogTest : public testing::Test {
 protected:
  void SetUp() override { saved_ = logStatus.load(); }
  void TearDown() override { logStatus = saved_; }
  // Starts undecided with the variable set to value (or unset), then logs.
  static std::string logWith(const char* value) {
    logStatus = 0;
    ScopedEnv variable("QUORVANE_LOG", value);
    testing::internal::CaptureStderr();
    _DLog("%s [Line %d] value %@", __PRETTY_FUNCTION__, __LINE__,
          static_cast<const platform::Value*>(nullptr));
    return testing::internal::GetCapturedStderr();
  }
  std::int32_t saved_ = 0;
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
  {
    ScopedEnv on("QUORVANE_LOG", "yes");
    testing::internal::CaptureStderr();
    _DLog("%s [Line %d] later", __PRETTY_FUNCTION__, __LINE__);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(logStatus.load(), 2);
  }

  EXPECT_NE(logWith("yes"), "");
  ScopedEnv off("QUORVANE_LOG", nullptr);
  testing::internal::CaptureStderr();
  _DLog("%s [Line %d] still on", __PRETTY_FUNCTION__, __LINE__);
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("still on"));
}
