// The file-descriptor owner: closing on destruction and reset, moves, and
// whole writes across a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/FileDescriptor.h"

using platform::FileDescriptor;

namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

TEST(FileDescriptorTest, ClosesWhenTheOwnerGoesAwayOrIsReset) {
  int raw;
  {
    auto [readEnd, writeEnd] = FileDescriptor::pipe();
    ASSERT_TRUE(readEnd && writeEnd);
    raw = readEnd.get();
    EXPECT_TRUE(::fcntl(raw, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(writeEnd.reset(), 0);
    EXPECT_FALSE(writeEnd);
    EXPECT_TRUE(isOpen(raw));
  }
  EXPECT_FALSE(isOpen(raw));
}

TEST(FileDescriptorTest, MoveHandsOverOwnershipOnce) {
  auto [readEnd, writeEnd] = FileDescriptor::pipe();
  int raw = readEnd.get();
  FileDescriptor moved(std::move(readEnd));
  EXPECT_FALSE(readEnd);
  EXPECT_EQ(moved.get(), raw);
  FileDescriptor assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.get(), raw);
  int released = assigned.release();
  EXPECT_FALSE(assigned);
  EXPECT_TRUE(isOpen(released));
  ::close(released);
}

TEST(FileDescriptorTest, WriteAllDeliversEveryByteThroughAFullPipe) {
  auto [readEnd, writeEnd] = FileDescriptor::pipe();
  // Larger than a pipe's buffer: the writer blocks and must resume where it was.
  std::string sent(1 << 20, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7);
  std::thread writer([&, w = std::move(writeEnd)] { EXPECT_TRUE(w.writeAll(sent)); });
  std::string received;
  char buffer[4096];
  long n;
  while (received.size() < sent.size() && (n = readEnd.read(buffer, sizeof buffer)) > 0)
    received.append(buffer, static_cast<size_t>(n));
  writer.join();
  EXPECT_EQ(received, sent);
}

TEST(FileDescriptorTest, OpenFailureIsAnInvalidOwner) {
  FileDescriptor missing = FileDescriptor::open("/nonexistent/file", O_RDONLY);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.reset(), 0);
}
