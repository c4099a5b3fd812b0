// The writers' lock around standard error and the registered status line.
#include "platform/StatusLine.h"

#include <unistd.h>

#include <mutex>

#include "platform/FileDescriptor.h"

namespace platform {

namespace {

std::mutex& writersLock() {
  // Never destroyed: a thread may still log while the process ends.
  static auto* lock = new std::mutex;
  return *lock;
}
StatusLine* shownLine = nullptr;

}  // namespace

void setStatusLine(StatusLine* line) {
  std::lock_guard<std::mutex> guard(writersLock());
  shownLine = line;
}

void writeStandardError(std::string_view text) {
  std::lock_guard<std::mutex> guard(writersLock());
  if (shownLine)
    shownLine->writeAbove(text);
  else
    FileDescriptor::writeAll(STDERR_FILENO, text);
}

void retireStatusLine() {
  std::lock_guard<std::mutex> guard(writersLock());
  if (shownLine) shownLine->retire();
}

}  // namespace platform
