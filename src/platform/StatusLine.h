// Standard error, shared by the log, the notices and the terminal's status
// line (the text progress window). While a status line is shown it is the
// terminal's last line, redrawn in place; every other text for standard error
// goes through writeStandardError(), which erases the line first and draws it
// again after, so that the two never share a line. Callable from any thread;
// write failures are ignored (there is nowhere left to report them).
#pragma once

#include <string_view>

namespace platform {

// What the status line offers the other writers. Both operations are called
// with the writers' lock held, never inside the line's own drawing.
class StatusLine {
 public:
  virtual ~StatusLine() = default;
  // Writes text on the line's stream, erasing the line before and drawing
  // it again after when it is shown.
  virtual void writeAbove(std::string_view text) = 0;
  // Erases the line and never draws it again, leaving the cursor at the
  // start of an empty line; returns once that is written.
  virtual void retire() = 0;
};

// Makes line the one shown on standard error (nullptr: none). A line
// unregisters itself before it goes away.
void setStatusLine(StatusLine* line);

// Writes text (whole lines, each ending in a newline) to standard error in
// one write, around the status line.
void writeStandardError(std::string_view text);

// Retires the status line, if any: before a child process takes over the
// terminal, and when the process ends.
void retireStatusLine();

}  // namespace platform
