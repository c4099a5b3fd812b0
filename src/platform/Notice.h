// The non-blocking notice dialog. Always written to standard error as
// "<title>: <message>" (the message alone without a title); in a graphical
// session also shown by a detached zenity (or kdialog) that outlives the
// program. Never waits for the user. Callable from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace platform {

void showNotice(const std::optional<std::string>& title, const std::string& message);

// Tests observe notices through a handler that replaces the display (the
// standard-error line is still written). An empty function restores it.
using NoticeHandler = std::function<void(const std::optional<std::string>& title, const std::string& message)>;
void setNoticeHandlerForTesting(NoticeHandler handler);

}  // namespace platform
