// What every test binary shares: a scoped temporary directory, file writing
// and reading, scoped environment variables, the one way to run a child
// process (a body in a forked copy of the test, or a program with chosen
// arguments, environment and input), and stand-ins for the application and a
// download.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Application.h"
#include "platform/RunLoop.h"
#include "platform/URLDownload.h"

extern char** environ;

namespace test_support {

namespace fs = std::filesystem;

// Files -------------------------------------------------------------------------

// Writes bytes to path, creating its directories.
inline void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// The whole content of a file; empty when it cannot be read.
inline std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// data as one gzip member.
inline std::string gzipped(const std::string& data) {
  std::string out(compressBound(static_cast<uLong>(data.size())) + 64, '\0');
  z_stream z{};
  // windowBits 31: a gzip wrapper around the deflate stream.
  deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// How often part occurs in text (overlapping occurrences included).
inline size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A directory under /tmp, removed with everything in it at the end of its
// life unless kept (for a look at what a failed test left). Its path is
// canonical, so that tests may compare it with resolved paths.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    char pattern[] = "/tmp/mi-test.XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = fs::canonical(pattern);
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    if (!keep) fs::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const fs::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  // Writes a file below the directory (creating its directories) and returns
  // its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    writeFile(path_ / name, bytes);
    return *this / name;
  }

  bool keep = false;

 private:
  fs::path path_;
};

// Environment -------------------------------------------------------------------

// Sets (or, with a null value, unsets) a variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_.c_str(), old_->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Fixes the user's languages for the life of the object: LANG as given, the
// variables that would take precedence over it unset.
class ScopedLanguage {
 public:
  explicit ScopedLanguage(const char* lang) : lang_("LANG", lang) {}

 private:
  ScopedEnv language_{"LANGUAGE", nullptr};
  ScopedEnv lcAll_{"LC_ALL", nullptr};
  ScopedEnv lcMessages_{"LC_MESSAGES", nullptr};
  ScopedEnv lang_;
};

// Child processes ---------------------------------------------------------------

// Runs body in a forked child, so that what it changes of the process (the
// environment, the current directory) stays there; its failures fail the
// calling test.
inline void runInChild(const std::function<void()>& body) {
  fflush(nullptr);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    body();
    fflush(nullptr);
    ::_exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's expectations failed (see above)";
}

struct Run {
  int status = -1;  // the exit status, or 128 + the signal that ended it; -1: not started
  int signal = 0;   // the signal that ended it, 0 for an exit
  std::string out, err;
  double seconds = 0;
};

struct RunOptions {
  std::vector<std::string> arguments;  // after the program path
  // Changes to this process's environment; an absent value unsets.
  std::map<std::string, std::optional<std::string>> environment;
  bool inheritEnvironment = true;  // false: only the entries above
  std::string input;               // written to standard input
  bool closeInput = true;
  // Called with the program's pid while it runs (until it returns).
  std::function<void(pid_t pid, const fs::path& outFile)> whileRunning;
  std::chrono::seconds timeout{120};
};

// Starts a program (looked up on PATH when the name has no slash) with a pipe
// on its standard input and its standard output and error in files of the
// scratch directory; with no scratch directory they are this process's. A
// program still running after the time-out is killed and fails the test.
inline Run runProgram(const std::string& program, const fs::path& scratch, const RunOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; options.inheritEnvironment && *e; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : options.environment) {
    if (v)
      env[k] = *v;
    else
      env.erase(k);
  }
  std::vector<std::string> envText;
  for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = {program};
  args.insert(args.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  fs::path outFile, errFile;
  int input[2];
  if (::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  if (!scratch.empty()) {
    fs::create_directories(scratch);
    outFile = scratch / "stdout";
    errFile = scratch / "stderr";
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  Run run;
  if (rc != 0) {
    ::close(input[1]);
    run.err = "cannot start " + program + "\n";
    return run;
  }

  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  if (!options.input.empty()) {
    ssize_t ignored = ::write(input[1], options.input.data(), options.input.size());
    (void)ignored;
  }
  if (options.closeInput) ::close(input[1]);
  if (options.whileRunning) options.whileRunning(pid, outFile);

  int status = 0;
  while (true) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() - start > options.timeout) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      run.err = "(killed after time-out)\n";
      ADD_FAILURE() << program << " did not end within " << options.timeout.count() << " s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!options.closeInput) ::close(input[1]);
  sigaction(SIGPIPE, &previous, nullptr);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (!scratch.empty()) {
    run.out = slurp(outFile);
    run.err += slurp(errFile);
  }
  return run;
}

// Runs a command line (argument vector, no shell) with this process's
// environment and output, and returns its status (-1 when it cannot start).
inline int runCommand(const std::vector<std::string>& command) {
  RunOptions options;
  options.arguments.assign(command.begin() + 1, command.end());
  options.timeout = std::chrono::seconds(600);
  return runProgram(command.front(), {}, options).status;
}

// Stand-ins ---------------------------------------------------------------------

// Thrown by FakeApplication instead of ending the process.
struct ExitCalled {
  int status;
};
struct ExitBySignalCalled {
  int signal;
};

// An application whose main queue is run by the test (its own run loop, or
// another queue the test names) and whose exits throw.
class FakeApplication : public platform::Application {
 public:
  platform::MainQueue& mainQueue() override { return otherQueue ? *otherQueue : queue; }
  const std::vector<std::string>& arguments() const override { return args; }
  void activateIgnoringOtherApps() override { ++activations; }
  [[noreturn]] void exit(int status) override { throw ExitCalled{status}; }
  [[noreturn]] void exitBySignal(int signalNumber) override { throw ExitBySignalCalled{signalNumber}; }

  platform::RunLoop queue;
  platform::MainQueue* otherQueue = nullptr;
  std::vector<std::string> args = {"/path/Test.app/Contents/MacOS/Test"};
  int activations = 0;
};

// A download that transfers nothing; it counts the calls of cancel.
struct FakeDownload : platform::URLDownload {
  void setDeletesFileUponFailure(bool) override {}
  void setDestination(const std::string&, bool) override {}
  void cancel() override { ++cancels; }
  const platform::URLRequest& request() const override { return requested; }
  platform::URLRequest requested;
  int cancels = 0;
};

}  // namespace test_support
