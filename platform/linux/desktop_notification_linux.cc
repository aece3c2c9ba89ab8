#include "platform/desktop_notification.h"

#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/process.h"

namespace zem::platform {
namespace {

// The GVariant text form of a string ("…" with backslash escapes), as gdbus
// reads its arguments.
std::string GVariantStringLiteral(std::string_view utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

}  // namespace

bool ShowDesktopNotification(std::string_view title, std::string_view text, bool is_error) {
  const std::optional<std::string> bus = GetEnv("DBUS_SESSION_BUS_ADDRESS");
  if (!bus || bus->empty()) return false;
  // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints,
  // expire_timeout): urgency 2 (critical) for errors, 1 otherwise.
  const std::vector<std::string> args{
      "call", "--session", "--dest", "org.freedesktop.Notifications",
      "--object-path", "/org/freedesktop/Notifications",
      "--method", "org.freedesktop.Notifications.Notify",
      GVariantStringLiteral("ZEM云盘"), "0",
      GVariantStringLiteral(is_error ? "dialog-error" : "dialog-information"),
      GVariantStringLiteral(title), GVariantStringLiteral(text), "[]",
      is_error ? "{\"urgency\": <byte 2>}" : "{\"urgency\": <byte 1>}", "5000"};
  return StartDetached("gdbus", args).ok();
}

}  // namespace zem::platform
