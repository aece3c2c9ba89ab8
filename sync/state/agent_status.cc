#include "sync/state/agent_status.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/atomic_file.h"
#include "common/cat.h"
#include "common/version.h"
#include "platform/agent_presence.h"
#include "platform/process.h"

namespace zem {
namespace {

constexpr auto kMinInterval = std::chrono::seconds(1);

int64_t NowUnix() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string OneLine(std::string_view v) {
  std::string s(v);
  for (char& c : s) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return s;
}

int64_t ToInt(std::string_view v) {
  int64_t n = 0;
  bool neg = !v.empty() && v[0] == '-';
  for (size_t i = neg ? 1 : 0; i < v.size(); ++i) {
    if (v[i] < '0' || v[i] > '9') return 0;
    n = n * 10 + (v[i] - '0');
  }
  return neg ? -n : n;
}

// Publisher state: one lock, one condition variable, one thread.
struct Publisher {
  std::mutex mu;
  std::condition_variable cv;
  AgentStatus status;
  bool started = false;
  bool stopping = false;
  bool dirty = false;
  std::thread thread;
};

Publisher& P() {
  static Publisher p;
  return p;
}

void Write(const AgentStatus& s) { WriteFileAtomically(AgentStatusPath(), FormatAgentStatus(s)); }

constexpr auto kSampleInterval = std::chrono::milliseconds(250);

// Samples the transfer figures four times a second and writes whenever
// something changed, but never twice within a second.
void PublishLoop(TransferSampler sampler) {
  Publisher& p = P();
  auto last = std::chrono::steady_clock::now();
  while (true) {
    {
      std::unique_lock lock(p.mu);
      if (p.cv.wait_for(lock, kSampleInterval, [&] { return p.stopping; })) return;
    }
    TransferSample sample;
    if (sampler) sampler(sample);
    std::unique_lock lock(p.mu);
    if (p.stopping) return;
    AgentStatus& s = p.status;
    if (sampler && (s.queue != sample.queue || s.active != sample.active || s.recent != sample.recent)) {
      s.queue = sample.queue;
      s.active = std::move(sample.active);
      s.recent = std::move(sample.recent);
      p.dirty = true;
    }
    if (!p.dirty || std::chrono::steady_clock::now() < last + kMinInterval) continue;
    p.dirty = false;
    s.updated = NowUnix();
    const AgentStatus copy = s;
    lock.unlock();
    Write(copy);
    last = std::chrono::steady_clock::now();
  }
}

template <typename F>
void Change(F&& f) {
  Publisher& p = P();
  {
    std::lock_guard lock(p.mu);
    if (!p.started) return;
    f(p.status);
    p.dirty = true;
  }
}

void AppendJsonString(std::string& out, std::string_view v) {
  out += '"';
  for (unsigned char c : v) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          static const char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

}  // namespace

std::filesystem::path AgentStatusPath() {
  return platform::RuntimeFolder() / "ZemCloudDisk" / "agent-status.txt";
}

void StartAgentStatus(std::string_view folder, std::string_view backend,
                      TransferSampler sampler) {
  Publisher& p = P();
  AgentStatus first;
  {
    std::lock_guard lock(p.mu);
    if (p.started) return;
    p.status = AgentStatus{};
    p.status.pid = platform::CurrentProcessId();
    p.status.version = std::string(ProductVersion());
    p.status.folder = OneLine(folder);
    p.status.backend = OneLine(backend);
    p.status.started = p.status.updated = NowUnix();
    p.started = true;
    p.stopping = false;
    p.dirty = false;
    first = p.status;
  }
  Write(first);
  p.thread = std::thread(PublishLoop, std::move(sampler));
}

void StopAgentStatus() {
  Publisher& p = P();
  {
    std::lock_guard lock(p.mu);
    if (!p.started) return;
    p.stopping = true;
    p.started = false;
  }
  p.cv.notify_all();
  if (p.thread.joinable()) p.thread.join();
  std::error_code ec;
  std::filesystem::remove(AgentStatusPath(), ec);
}

void ReportPollCycle(int64_t start_unix, int64_t ms, std::string_view result) {
  Change([&](AgentStatus& s) {
    s.poll_start = start_unix;
    s.poll_ms = ms;
    s.poll_result = OneLine(result);
    ++s.polls;
  });
}

void ReportFailure(std::string_view reason) {
  Change([&](AgentStatus& s) {
    s.failures.push_back({NowUnix(), OneLine(reason)});
    if (s.failures.size() > kStatusFailureLimit) s.failures.erase(s.failures.begin());
  });
}

bool ReadAgentStatusFile(const std::filesystem::path& path, std::string* text) {
  for (int attempt = 0;; ++attempt) {
    if (ReadWholeFile(path, text)) return true;
    std::error_code ec;
    if (attempt == 10 || !std::filesystem::exists(path, ec)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string FormatAgentStatus(const AgentStatus& s) {
  std::string out = Cat("pid=", s.pid, "\nversion=", s.version, "\nfolder=", s.folder,
                        "\nbackend=", s.backend, "\nstarted=", s.started, "\nupdated=", s.updated,
                        "\npoll_start=", s.poll_start, "\npoll_ms=", s.poll_ms,
                        "\npoll_result=", s.poll_result, "\npolls=", s.polls, "\nqueue=", s.queue,
                        "\n");
  for (const auto& t : s.active) out += Cat("transfer=", t.percent, "|", t.name, "\n");
  for (const auto& r : s.recent) out += Cat("recent=", r.time, "|", r.failed ? "E" : "D", "|", r.name, "\n");
  for (const auto& f : s.failures) out += Cat("failure=", f.time, "|", f.reason, "\n");
  return out;
}

bool ParseAgentStatus(std::string_view text, AgentStatus* out) {
  AgentStatus s;
  bool has_pid = false;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, eq), v = line.substr(eq + 1);
    const size_t bar = v.find('|');
    const std::string_view head = v.substr(0, bar);
    const std::string_view rest = bar == std::string_view::npos ? "" : v.substr(bar + 1);
    if (key == "pid") {
      s.pid = static_cast<uint32_t>(ToInt(v));
      has_pid = s.pid != 0;
    } else if (key == "version") {
      s.version = v;
    } else if (key == "folder") {
      s.folder = v;
    } else if (key == "backend") {
      s.backend = v;
    } else if (key == "started") {
      s.started = ToInt(v);
    } else if (key == "updated") {
      s.updated = ToInt(v);
    } else if (key == "poll_start") {
      s.poll_start = ToInt(v);
    } else if (key == "poll_ms") {
      s.poll_ms = ToInt(v);
    } else if (key == "poll_result") {
      s.poll_result = v;
    } else if (key == "polls") {
      s.polls = ToInt(v);
    } else if (key == "queue") {
      s.queue = ToInt(v);
    } else if (key == "transfer" && bar != std::string_view::npos) {
      s.active.push_back({std::string(rest), static_cast<int>(ToInt(head))});
    } else if (key == "recent" && bar != std::string_view::npos) {
      const size_t bar2 = rest.find('|');
      if (bar2 == std::string_view::npos) continue;
      s.recent.push_back({ToInt(head), rest.substr(0, bar2) == "E", std::string(rest.substr(bar2 + 1))});
    } else if (key == "failure" && bar != std::string_view::npos) {
      s.failures.push_back({ToInt(head), std::string(rest)});
    }
  }
  if (!has_pid) return false;
  *out = std::move(s);
  return true;
}

std::string AgentStatusJson(const AgentStatus& s, bool running) {
  std::string o = Cat("{\"running\":", running ? "true" : "false", ",\"pid\":", s.pid, ",\"version\":");
  AppendJsonString(o, s.version);
  o += ",\"folder\":";
  AppendJsonString(o, s.folder);
  o += ",\"backend\":";
  AppendJsonString(o, s.backend);
  o += Cat(",\"started\":", s.started, ",\"updated\":", s.updated, ",\"last_poll\":");
  if (s.polls == 0) {
    o += "null";
  } else {
    o += Cat("{\"start\":", s.poll_start, ",\"duration_ms\":", s.poll_ms, ",\"result\":");
    AppendJsonString(o, s.poll_result);
    o += "}";
  }
  o += Cat(",\"polls\":", s.polls, ",\"queue\":", s.queue, ",\"active\":[");
  for (size_t i = 0; i < s.active.size(); ++i) {
    o += i ? ",{\"name\":" : "{\"name\":";
    AppendJsonString(o, s.active[i].name);
    o += Cat(",\"percent\":", s.active[i].percent, "}");
  }
  o += "],\"recent\":[";
  for (size_t i = 0; i < s.recent.size(); ++i) {
    o += Cat(i ? "," : "", "{\"time\":", s.recent[i].time, ",\"result\":\"",
             s.recent[i].failed ? "failed" : "done", "\",\"name\":");
    AppendJsonString(o, s.recent[i].name);
    o += "}";
  }
  o += "],\"failures\":[";
  for (size_t i = 0; i < s.failures.size(); ++i) {
    o += Cat(i ? "," : "", "{\"time\":", s.failures[i].time, ",\"reason\":");
    AppendJsonString(o, s.failures[i].reason);
    o += "}";
  }
  o += "]}\n";
  return o;
}

}  // namespace zem
