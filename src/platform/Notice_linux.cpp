// Notices on Linux: a standard-error line, and a detached dialog process in a
// graphical session: zenity, kdialog, or this program itself with GTK.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/Environment.h"
#include "platform/Notice.h"
#include "platform/PosixResources.h"
#include "platform/StatusLine.h"
#include "platform/Window.h"

extern char** environ;

namespace platform {

namespace {

std::mutex handlerMutex;
NoticeHandler handler;

bool onPath(const std::string& tool) {
  auto path = getEnvironment("PATH");
  if (!path) return false;
  size_t start = 0;
  while (start <= path->size()) {
    size_t colon = path->find(':', start);
    std::string dir = path->substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (!dir.empty() && ::access((dir + "/" + tool).c_str(), X_OK) == 0) return true;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return false;
}

// Starts the dialog in a grandchild so that it outlives this program and
// leaves no zombie; this waits only for the short-lived middle process.
// Everything the middle process needs is prepared before fork: other threads
// may hold the allocator's lock, so the copy must not allocate.
void spawnDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnvironment = {}) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (const auto& e : extraEnvironment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  // The dialog's own chatter (toolkit warnings) stays out of our output.
  SpawnFileActions actions;
  if (!actions) return;
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t middle = ::fork();
  if (middle == 0) {
    ::setsid();
    pid_t dialog = 0;
    posix_spawnp(&dialog, program.c_str(), actions.get(), nullptr, argv.data(), envp.data());
    _exit(0);  // no atexit handlers or stream flushes of the parent in this copy
  }
  if (middle < 0) return;
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
}

// Set by a program whose main() serves the notice copies.
std::atomic<bool> noticeProcessEnabled{false};

// This program in a detached copy of itself, showing the notice with the
// window toolkit: the program's own path as its name, the message and the
// title as its arguments, the marker in its environment.
void spawnNoticeProcess(const std::optional<std::string>& title, const std::string& message) {
  std::error_code error;
  std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
  std::vector<std::string> args = {self.empty() ? "mac_installer" : self, message};
  if (title && !title->empty()) args.push_back(*title);
  spawnDetached("/proc/self/exe", args, {std::string(kNoticeProcessMarker) + "=1"});
}

}  // namespace

void setNoticeHandlerForTesting(NoticeHandler h) {
  std::lock_guard<std::mutex> lock(handlerMutex);
  handler = std::move(h);
}

void showNotice(const std::optional<std::string>& title, const std::string& message) {
  // The terminal copy is the notice itself, not a log line: no prefix.
  writeStandardError((title && !title->empty() ? *title + ": " + message : message) + "\n");
  {
    std::lock_guard<std::mutex> lock(handlerMutex);
    if (handler) {
      handler(title, message);
      return;
    }
  }
  auto display = getEnvironment("DISPLAY"), wayland = getEnvironment("WAYLAND_DISPLAY");
  if ((!display || display->empty()) && (!wayland || wayland->empty())) return;
  if (onPath("zenity")) {
    std::vector<std::string> args = {"zenity", "--error", "--no-markup", "--text=" + message};
    if (title && !title->empty()) args.push_back("--title=" + *title);
    spawnDetached(args[0], args);
  } else if (onPath("kdialog")) {
    std::vector<std::string> args = {"kdialog", "--error", message};
    if (title && !title->empty()) args.insert(args.end(), {"--title", *title});
    spawnDetached(args[0], args);
  } else if (noticeProcessEnabled) {
    spawnNoticeProcess(title, message);
  }
}

std::optional<int> noticeProcessMain(int count, char** arguments) {
  auto marker = getEnvironment(kNoticeProcessMarker);
  if (!marker) {
    noticeProcessEnabled = true;
    return std::nullopt;
  }
  if (count < 2) return 1;
  std::optional<std::string> title;
  if (count > 2) title = arguments[2];
  return showToolkitNotice(title, arguments[1]) ? 0 : 1;
}

}  // namespace platform
