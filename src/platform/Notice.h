// The non-blocking notice dialog. Always written to standard error as
// "<title>: <message>" (the message alone without a title); in a graphical
// session also shown by a detached zenity (or kdialog) that outlives the
// program, or, where neither is installed, by a detached copy of the program
// itself that shows it with GTK (when GTK can be loaded). Never waits for
// the user. Callable from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace platform {

void showNotice(const std::optional<std::string>& title, const std::string& message);

// The environment variable that marks the detached copy showing a notice.
inline constexpr const char* kNoticeProcessMarker = "QUORVANE_NOTICE_WINDOW";

// For the very start of main(). In the detached copy (marker set) it shows
// the notice its arguments carry (message, then title), waits until the
// user dismisses it and returns the copy's exit status. Otherwise it
// returns nothing and lets showNotice() start such copies of this program:
// only a main() that hands over to this function may be started that way.
std::optional<int> noticeProcessMain(int count, char** arguments);

// Tests observe notices through a handler that replaces the display (the
// standard-error line is still written). An empty function restores it.
using NoticeHandler =
    std::function<void(const std::optional<std::string>& title, const std::string& message)>;
void setNoticeHandlerForTesting(NoticeHandler handler);

}  // namespace platform
