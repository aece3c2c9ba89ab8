#include "agent/status_command.h"

#include <ctime>

#include "common/atomic_file.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/agent_presence.h"
#include "platform/text.h"
#include "sync/state/agent_status.h"

namespace zem::agent {
namespace {

bool Has(const std::vector<std::string>& args, const char* what) {
  for (const auto& a : args) {
    if (a == what) return true;
  }
  return false;
}

std::string LocalTime(int64_t unix_seconds) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
  // localtime is not thread-safe, but --status runs alone in its process.
  if (const std::tm* p = std::localtime(&t)) tm = *p;
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string Text(const AgentStatus& s) {
  std::string o = Cat("[STATUS] corvane ", s.version, " running (pid ", s.pid, ") since ",
                      LocalTime(s.started), "\n", "     Folder : ", s.folder, "\n",
                      "     Backend: ", s.backend, "\n");
  if (s.polls == 0) {
    o += "     Last poll: none finished yet\n";
  } else {
    o += Cat("     Last poll: ", LocalTime(s.poll_start), ", ", s.poll_ms, " ms, ", s.poll_result,
             " (", s.polls, " cycles)\n");
  }
  o += Cat("     Queue  : ", s.queue, " tasks\n");
  o += Cat("     Active transfers: ", s.active.size(), "\n");
  for (const auto& t : s.active) o += Cat("       ", t.percent, "% ", t.name, "\n");
  o += Cat("     Recent transfers: ", s.recent.size(), "\n");
  for (const auto& r : s.recent) {
    o += Cat("       ", LocalTime(r.time), " ", r.failed ? "failed" : "done  ", " ", r.name, "\n");
  }
  o += Cat("     Failures: ", s.failures.size(), "\n");
  for (const auto& f : s.failures) o += Cat("       ", LocalTime(f.time), " ", f.reason, "\n");
  return o;
}

}  // namespace

bool WantsStatus(const std::vector<std::string>& args) { return Has(args, "--status"); }

int RunStatusCommand(const std::vector<std::string>& args) {
  const bool json = Has(args, "--json");
  const auto path = AgentStatusPath();
  std::string text;
  AgentStatus status;
  std::string why;
  if (!ReadAgentStatusFile(path, &text)) {
    why = Cat("no status file ", platform::PathToUtf8(path));
  } else if (!ParseAgentStatus(text, &status)) {
    why = Cat("unreadable status file ", platform::PathToUtf8(path));
  } else if (!platform::ProcessIsRunning(status.pid)) {
    why = Cat("the agent that wrote ", platform::PathToUtf8(path), " (pid ", status.pid,
              ") has ended");
  }
  if (!why.empty()) {
    if (json) {
      Out("{\"running\":false}\n");
    } else {
      Out(Cat("[STATUS] corvane is not running (", why, ")\n"));
    }
    return kExitStatusNotRunning;
  }
  Out(json ? AgentStatusJson(status, true) : Text(status));
  return 0;
}

}  // namespace zem::agent
