// Termination signals: handed to the relay thread with their sender, and the
// process ended by a caught signal as though it had never been caught. Each
// case runs in a child process of its own (signal dispositions are
// process-wide).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/Application.h"
#include "platform/Signals.h"

namespace {

class SignalsTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

pthread_t mainThread;

// Catches, reports the relay's view on standard error, then ends by the
// signal; a signal the handler never saw would end the process unreported.
[[noreturn]] void catchAndRaise(int signalNumber) {
  std::atomic<pthread_t> handlerThread{};
  platform::catchTerminationSignals([&](const platform::CaughtSignal& caught) {
    handlerThread = pthread_self();
    std::fprintf(stderr, "caught %d by process %d on %s\n", caught.number, caught.sentByProcess,
                 pthread_equal(handlerThread, mainThread) ? "the main thread" : "the relay");
    platform::exitProcessBySignal(caught.number);
  });
  mainThread = pthread_self();
  ::kill(::getpid(), signalNumber);
  ::sleep(20);
  std::fprintf(stderr, "never caught\n");
  ::_exit(0);
}

TEST_F(SignalsTest, EachSignalReachesTheRelayAndTheProcessEndsByIt) {
  for (int signalNumber : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
    std::string expected = "caught " + std::to_string(signalNumber) + " by process 1 on the relay";
    EXPECT_EXIT(catchAndRaise(signalNumber), ::testing::KilledBySignal(signalNumber), expected);
  }
}

TEST_F(SignalsTest, EndingBySignalWorksFromAnyThreadWithoutCatching) {
  EXPECT_EXIT(std::thread([] { platform::exitProcessBySignal(SIGTERM); }).join(),
              ::testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
