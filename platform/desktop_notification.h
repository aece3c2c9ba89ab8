// A short notification for the user outside any window of ours: the tray
// balloon's stand-in where there is no tray.
#pragma once

#include <string_view>

namespace zem::platform {

// Shows `title` and `text` (UTF-8), with the error look when `is_error`.
// Linux: a desktop notification through the session's notification service
// (org.freedesktop.Notifications), sent by `gdbus` started detached, only
// when DBUS_SESSION_BUS_ADDRESS is set; returns whether it was started.
// Windows: nothing (the tray icon shows balloons itself); returns false.
// Never blocks on the notification service. Thread-safe.
bool ShowDesktopNotification(std::string_view title, std::string_view text, bool is_error);

}  // namespace zem::platform
