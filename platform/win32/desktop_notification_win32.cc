#include "platform/desktop_notification.h"

namespace zem::platform {

// Windows shows balloons at the tray icon (Shell_NotifyIconW), which the
// agent's tray window owns; there is no separate notification to send.
bool ShowDesktopNotification(std::string_view, std::string_view, bool) { return false; }

}  // namespace zem::platform
