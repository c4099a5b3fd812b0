// Termination signals on Linux: the handler writes one byte per signal into
// a pipe, and a relay thread reads the bytes and calls the program's handler.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/FileDescriptor.h"
#include "platform/Log.h"
#include "platform/Signals.h"

namespace platform {

namespace {

constexpr int kCaught[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
// The byte's high bit says the signal was sent by a process; the low bits
// hold its number (all four are below 64).
constexpr unsigned char kSentByProcess = 0x80;

std::mutex& handlerLock() {
  // Never destroyed: the relay thread may still run while the process ends.
  static auto* lock = new std::mutex;
  return *lock;
}
SignalHandler& currentHandler() {
  static auto* handler = new SignalHandler;
  return *handler;
}
// The pipe's write end, for the signal handler; set once, kept open for the
// rest of the process (a signal can come at any time).
volatile sig_atomic_t relayWrite = -1;

// Only async-signal-safe calls here: the signal may interrupt any code,
// the allocator's included. The pipe does not block: should it ever be
// full, a signal is dropped rather than the process hung.
void onSignal(int number, siginfo_t* info, void*) noexcept {
  int saved = errno;
  auto byte = static_cast<unsigned char>(number);
  // A kernel-raised signal (the terminal's keys, its hang-up) has a positive
  // code; kill(), sigqueue() and tgkill() give zero or below.
  if (info && info->si_code <= 0) byte |= kSentByProcess;
  ssize_t ignored = ::write(relayWrite, &byte, 1);
  (void)ignored;
  errno = saved;
}

void relay(FileDescriptor readEnd) {
  unsigned char byte;
  while (readEnd.read(&byte, 1) == 1) {
    CaughtSignal caught;
    caught.number = byte & ~kSentByProcess;
    caught.sentByProcess = (byte & kSentByProcess) != 0;
    SignalHandler handler;
    {
      std::lock_guard<std::mutex> guard(handlerLock());
      handler = currentHandler();
    }
    if (handler) handler(caught);
  }
}

bool startRelay() {
  auto [readEnd, writeEnd] = FileDescriptor::pipe();
  if (!readEnd || ::fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK) != 0) {
    log("%s [Line %d] cannot catch signals: pipe: %@", __PRETTY_FUNCTION__, __LINE__, std::strerror(errno));
    return false;
  }
  relayWrite = writeEnd.release();
  std::thread(relay, std::move(readEnd)).detach();
  return true;
}

}  // namespace

void catchTerminationSignals(SignalHandler handler) {
  std::lock_guard<std::mutex> guard(handlerLock());
  currentHandler() = std::move(handler);
  if (relayWrite >= 0 || !startRelay()) return;
  struct sigaction action = {};
  action.sa_sigaction = onSignal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int number : kCaught) ::sigaction(number, &action, nullptr);
}

}  // namespace platform
