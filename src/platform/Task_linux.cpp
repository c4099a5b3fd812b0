// Child processes on Linux: posix_spawn with an optional pipe on standard input,
// or this process's standard input inherited or forwarded.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Exception.h"
#include "platform/FileDescriptor.h"
#include "platform/Format.h"
#include "platform/PosixResources.h"
#include "platform/Task.h"

extern char** environ;

namespace platform {

namespace {

constexpr const char* kInvalidArgument = kInvalidArgumentException;

// The parent may ignore or block signals around its children (the front end
// ignores SIGINT and SIGQUIT while Java runs); ignored dispositions and the
// signal mask survive exec, so the child gets the defaults back.
void resetChildSignals(posix_spawnattr_t* attributes) {
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGHUP, SIGCHLD, SIGUSR1, SIGUSR2})
    sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(attributes, &defaults);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(attributes, &empty);
  posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

// Writes all bytes with SIGPIPE blocked in this thread, and discards a
// SIGPIPE the write raised, so a child that closed its input never kills the
// caller even when the process has not ignored SIGPIPE. False (errno EPIPE)
// once the child has closed its end.
bool writeAllWithoutSigpipe(const FileDescriptor& pipe, std::string_view bytes) {
  sigset_t pipeSet, previous;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  bool wasPending = sigismember(&pendingBefore, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
  bool written = pipe.writeAll(bytes);
  int savedErrno = errno;
  if (!written && savedErrno == EPIPE && !wasPending) {
    timespec zero = {0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = savedErrno;
  return written;
}

// Copies this process's standard input into the child's pipe until the input
// ends or the child stops reading; the write end goes with the thread, so
// the child then sees end of input.
void forwardStandardInput(FileDescriptor pipe) {
  std::thread([pipe = std::move(pipe)] {
    char buffer[65536];
    long n;
    while ((n = FileDescriptor::read(STDIN_FILENO, buffer, sizeof buffer)) > 0) {
      if (!writeAllWithoutSigpipe(pipe, std::string_view(buffer, static_cast<size_t>(n)))) break;
    }
  }).detach();
}

// Waits for the process to end without reaping it, at most until deadline.
// A process descriptor is polled where the kernel has them; elsewhere the
// state is probed every few milliseconds.
bool waitWithoutReaping(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  using namespace std::chrono;
  FileDescriptor process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  while (true) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno != EINTR)
      return true;  // nothing left to wait for: the caller reaps and reads the status
    if (info.si_pid == pid) return true;
    auto left = ceil<milliseconds>(deadline - steady_clock::now());
    if (left <= milliseconds(0)) return false;
    if (process) {
      pollfd ready = {process.get(), POLLIN, 0};
      ::poll(&ready, 1, static_cast<int>(std::min<milliseconds::rep>(left.count(), 60000)));
    } else {
      std::this_thread::sleep_for(std::min(left, milliseconds(5)));
    }
  }
}

}  // namespace

struct Task::Impl {
  std::string launchPath;
  std::vector<std::string> arguments;
  bool wantsPipe = false;
  bool forwardsInput = false;
  FileDescriptor inputWrite;
  // Guards pid/reaped so signal() from another thread never hits a reused pid.
  mutable std::mutex stateMutex;
  pid_t pid = -1;
  bool reaped = false;
  int status = 0;
};

Task::Task() : impl_(std::make_unique<Impl>()) {}

// A child still running is left to run on: waiting here could hang the
// caller, and the child's input pipe is closed so it sees end of input.
Task::~Task() = default;

void Task::setLaunchPath(std::string path) { impl_->launchPath = std::move(path); }
void Task::setArguments(std::vector<std::string> arguments) { impl_->arguments = std::move(arguments); }
void Task::setStandardInputPipe(bool pipe) { impl_->wantsPipe = pipe; }
void Task::setForwardsStandardInput(bool forward) { impl_->forwardsInput = forward; }

void Task::launch() {
  if (impl_->pid > 0)
    throw Exception(kInvalidArgument, format("task already launched: %@", impl_->launchPath));
  if (impl_->launchPath.empty()) throw Exception(kInvalidArgument, "launch path not set");

  // A terminal is the child's to read directly; only other input is copied.
  bool forwarding = impl_->forwardsInput && !::isatty(STDIN_FILENO);
  auto [pipeRead, pipeWrite] =
      impl_->wantsPipe || forwarding ? FileDescriptor::pipe() : std::pair<FileDescriptor, FileDescriptor>();
  if ((impl_->wantsPipe || forwarding) && !pipeRead) {
    throw Exception(kInvalidArgument, format("pipe(): %@", std::strerror(errno)));
  }
  SpawnAttributes attributes;
  SpawnFileActions actions;
  if (!attributes || !actions)
    throw Exception(kInvalidArgument,
                    format("posix_spawn(%@): %@", impl_->launchPath, std::strerror(ENOMEM)));
  resetChildSignals(attributes.get());
  if (pipeRead) {
    // dup2 clears close-on-exec on descriptor 0; both pipe ends close at exec.
    posix_spawn_file_actions_adddup2(actions.get(), pipeRead.get(), STDIN_FILENO);
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(impl_->launchPath.c_str()));
  for (auto& a : impl_->arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc =
      posix_spawn(&pid, impl_->launchPath.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  pipeRead.reset();
  if (rc != 0) {
    throw Exception(kInvalidArgument, format("launch path not accessible: posix_spawn(%@): %@",
                                             impl_->launchPath, std::strerror(rc)));
  }
  {
    std::lock_guard<std::mutex> guard(impl_->stateMutex);
    impl_->pid = pid;
  }
  if (forwarding)
    forwardStandardInput(std::move(pipeWrite));
  else
    impl_->inputWrite = std::move(pipeWrite);
}

bool Task::writeToStandardInput(std::string_view bytes) {
  return impl_->inputWrite && writeAllWithoutSigpipe(impl_->inputWrite, bytes);
}

void Task::closeStandardInput() { impl_->inputWrite.reset(); }

bool Task::signal(int signalNumber) {
  std::lock_guard<std::mutex> guard(impl_->stateMutex);
  if (impl_->pid <= 0 || impl_->reaped) return false;
  return ::kill(impl_->pid, signalNumber) == 0;
}

void Task::waitUntilExit() {
  pid_t pid;
  {
    std::lock_guard<std::mutex> guard(impl_->stateMutex);
    if (impl_->pid <= 0 || impl_->reaped) return;
    pid = impl_->pid;
  }
  // Wait without reaping first, so the pid stays ours while signal() may
  // still be called; reap under the lock.
  siginfo_t info;
  while (true) {
    std::memset(&info, 0, sizeof info);
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0) break;
    if (errno != EINTR) break;
  }
  std::lock_guard<std::mutex> guard(impl_->stateMutex);
  int raw = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &raw, 0);
  } while (r < 0 && errno == EINTR);
  impl_->reaped = true;
  if (r == pid) {
    if (WIFEXITED(raw))
      impl_->status = WEXITSTATUS(raw);
    else if (WIFSIGNALED(raw))
      impl_->status = WTERMSIG(raw);
  } else {
    impl_->status = 1;
  }
}

bool Task::waitUntilExit(std::chrono::milliseconds timeout) {
  pid_t pid;
  {
    std::lock_guard<std::mutex> guard(impl_->stateMutex);
    if (impl_->pid <= 0 || impl_->reaped) return true;
    pid = impl_->pid;
  }
  if (!waitWithoutReaping(pid, std::chrono::steady_clock::now() + timeout)) return false;
  waitUntilExit();
  return true;
}

bool Task::isRunning() const {
  std::lock_guard<std::mutex> guard(impl_->stateMutex);
  if (impl_->pid <= 0 || impl_->reaped) return false;
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  if (::waitid(P_PID, static_cast<id_t>(impl_->pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

int Task::terminationStatus() const {
  std::lock_guard<std::mutex> guard(impl_->stateMutex);
  return impl_->status;
}

std::size_t Task::commandLineSpace() {
  long space = ::sysconf(_SC_ARG_MAX);
  // POSIX guarantees at least 4096 bytes; glibc reports at least 128 KiB.
  return space > 0 ? static_cast<std::size_t>(space) : 4096;
}

std::size_t Task::commandLineSize(const std::string& path, const std::vector<std::string>& arguments) {
  std::size_t size = path.size() + 1 + sizeof(char*);
  for (const std::string& argument : arguments) size += argument.size() + 1 + sizeof(char*);
  for (char** entry = environ; entry && *entry; ++entry) size += std::strlen(*entry) + 1 + sizeof(char*);
  return size + sizeof(char*) * 2;  // the two terminating null pointers
}

}  // namespace platform
