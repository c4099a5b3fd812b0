// Child processes: arguments, status, input pipe, signals and start failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "TestSupport.h"
#include "platform/Exception.h"
#include "platform/Task.h"

namespace fs = std::filesystem;
using platform::Task;
using test_support::slurp;
using test_support::TemporaryDirectory;

namespace {

class TaskTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_ / name; }
  // Runs "sh -c script sh args..." and returns the task, launched.
  static void shell(Task& task, const std::string& script, std::vector<std::string> args = {},
                    bool pipe = false) {
    std::vector<std::string> all = {"-c", script, "sh"};
    all.insert(all.end(), args.begin(), args.end());
    task.setLaunchPath("/bin/sh");
    task.setArguments(all);
    task.setStandardInputPipe(pipe);
    task.launch();
  }

  TemporaryDirectory dir_;
};

TEST_F(TaskTest, PassesArgumentsVerbatimAndReportsExitStatus) {
  Task task;
  shell(task, "printf '%s|' \"$@\" > " + path("args") + "; exit 3", {"a b", "", "*", "$HOME"});
  task.waitUntilExit();
  EXPECT_EQ(task.terminationStatus(), 3);
  EXPECT_FALSE(task.isRunning());
  EXPECT_EQ(slurp(path("args")), "a b||*|$HOME|");
}

TEST_F(TaskTest, PipeDeliversInputInOrderAndCloseGivesEndOfInput) {
  Task task;
  shell(task, "cat > " + path("copy") + "; echo done >> " + path("copy"), {}, true);
  EXPECT_TRUE(task.isRunning());
  std::string big(200000, 'x');  // larger than a pipe buffer
  EXPECT_TRUE(task.writeToStandardInput("first\n"));
  EXPECT_TRUE(task.writeToStandardInput(big));
  EXPECT_TRUE(task.writeToStandardInput("\nsecond\n"));
  task.closeStandardInput();
  task.waitUntilExit();
  EXPECT_EQ(task.terminationStatus(), 0);
  EXPECT_EQ(slurp(path("copy")), "first\n" + big + "\nsecond\ndone\n");
  EXPECT_FALSE(task.writeToStandardInput("late"));
}

TEST_F(TaskTest, WritingToAChildThatClosedItsInputFailsWithoutSigpipe) {
  struct sigaction previous;
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &defaults, &previous);  // a SIGPIPE would kill the test binary

  Task task;
  shell(task, "exec 0<&-; exit 0", {}, true);
  task.waitUntilExit();
  EXPECT_FALSE(task.writeToStandardInput(std::string(100000, 'y')));
  EXPECT_FALSE(task.writeToStandardInput("more"));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(TaskTest, ChildDoesNotInheritAnotherChildsPipe) {
  Task reader;
  shell(reader, "cat > /dev/null", {}, true);
  Task sleeper;
  shell(sleeper, "sleep 3");
  auto start = std::chrono::steady_clock::now();
  reader.closeStandardInput();
  reader.waitUntilExit();
  // Had the sleeper inherited the write end, cat would see no end of input
  // until the sleeper exits.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(sleeper.signal(SIGKILL));
  sleeper.waitUntilExit();
}

TEST_F(TaskTest, UnstartableProgramsRaiseNamedException) {
  std::ofstream(path("plain")) << "not a program\n";
  for (const std::string& program : {path("missing"), path("plain"), dir_.path().string()}) {
    Task task;
    task.setLaunchPath(program);
    task.setStandardInputPipe(true);
    try {
      task.launch();
      ADD_FAILURE() << "launched " << program;
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), "NSInvalidArgumentException");
      EXPECT_NE(e.reason().find(program), std::string::npos) << e.reason();
    }
    EXPECT_FALSE(task.isRunning());
    EXPECT_FALSE(task.signal(SIGTERM));
    EXPECT_FALSE(task.writeToStandardInput("x"));
  }
}

TEST_F(TaskTest, SignalsReachTheChildAndEndedBySignalReportsItsNumber) {
  Task task;
  shell(task, "exec sleep 30");
  EXPECT_TRUE(task.signal(SIGTERM));
  task.waitUntilExit();
  EXPECT_EQ(task.terminationStatus(), SIGTERM);
  EXPECT_FALSE(task.signal(SIGTERM));  // reaped: never signals a reused pid
}

TEST_F(TaskTest, ChildGetsDefaultDispositionsOfSignalsTheParentIgnores) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous;
  sigaction(SIGINT, &ignore, &previous);
  Task task;
  shell(task, "kill -INT $$; sleep 5; exit 0");
  sigaction(SIGINT, &previous, nullptr);
  task.waitUntilExit();
  EXPECT_EQ(task.terminationStatus(), SIGINT);
}

TEST_F(TaskTest, TimedWaitEndsWithTheChildOrAtTheTimeOut) {
  using namespace std::chrono;
  Task quick;
  shell(quick, "sleep 0.1; exit 6");
  auto start = steady_clock::now();
  EXPECT_TRUE(quick.waitUntilExit(seconds(20)));
  EXPECT_LT(steady_clock::now() - start, seconds(5));  // not the whole time-out
  EXPECT_EQ(quick.terminationStatus(), 6);
  EXPECT_FALSE(quick.isRunning());

  Task slow;
  shell(slow, "exec sleep 30");
  start = steady_clock::now();
  EXPECT_FALSE(slow.waitUntilExit(milliseconds(200)));
  EXPECT_GE(steady_clock::now() - start, milliseconds(200));
  EXPECT_TRUE(slow.isRunning());
  slow.signal(SIGKILL);
  EXPECT_TRUE(slow.waitUntilExit(seconds(20)));
  EXPECT_EQ(slow.terminationStatus(), SIGKILL);
}

void onAlarm(int) {}

TEST_F(TaskTest, WaitSurvivesInterruptingSignals) {
  struct sigaction alarm = {};
  alarm.sa_handler = onAlarm;  // no SA_RESTART: waits return EINTR
  struct sigaction previous;
  sigaction(SIGALRM, &alarm, &previous);
  itimerval every = {{0, 20000}, {0, 20000}};
  setitimer(ITIMER_REAL, &every, nullptr);

  Task task;
  shell(task, "cat > " + path("copy") + "; sleep 0.2; exit 4", {}, true);
  EXPECT_TRUE(task.writeToStandardInput(std::string(300000, 'z')));
  task.closeStandardInput();
  task.waitUntilExit();

  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(task.terminationStatus(), 4);
  EXPECT_EQ(fs::file_size(path("copy")), 300000u);
}

}  // namespace
