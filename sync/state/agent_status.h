// What the running agent is doing, published for `corvane --status`.
//
// The agent keeps one record (connected folder, backend, the last poll
// cycle, queue length, transfers, failures) and writes it to
// agent-status.txt in the ZemCloudDisk folder of the user's runtime folder:
// atomically, at most once a second while it changes (a publisher thread
// owned by StartAgentStatus / StopAgentStatus), and removes the file at a
// clean stop. The poll loop reports to it, the transfer figures are sampled;
// every Report… call is cheap and thread-safe and does nothing before Start.
//
// The file holds one "key=value" line per item; `transfer`, `recent` and
// `failure` repeat. Values never contain a line break (they are replaced by
// spaces).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zem {

struct AgentStatus {
  uint32_t pid = 0;
  std::string version;
  std::string folder;
  std::string backend;
  int64_t started = 0;  // unix seconds
  int64_t updated = 0;
  int64_t poll_start = 0;  // 0: no cycle finished yet
  int64_t poll_ms = 0;
  std::string poll_result;
  int64_t polls = 0;
  int64_t queue = 0;
  struct Transfer {
    std::string name;
    int percent = 0;
    bool operator==(const Transfer&) const = default;
  };
  std::vector<Transfer> active;
  struct Recent {
    int64_t time = 0;
    bool failed = false;
    std::string name;
    bool operator==(const Recent&) const = default;
  };
  std::vector<Recent> recent;
  struct Failure {
    int64_t time = 0;
    std::string reason;
  };
  std::vector<Failure> failures;  // newest last, at most kStatusFailureLimit
};

inline constexpr size_t kStatusFailureLimit = 10;

// <runtime folder>/ZemCloudDisk/agent-status.txt.
std::filesystem::path AgentStatusPath();

// What the publisher samples four times a second from the parts that keep
// it themselves (the upload queue, the live transfer list, recent transfers).
struct TransferSample {
  int64_t queue = 0;
  std::vector<AgentStatus::Transfer> active;
  std::vector<AgentStatus::Recent> recent;
};
using TransferSampler = std::function<void(TransferSample&)>;

// Starts publishing for this process; writes the file at once. `sampler`
// (may be empty) is called on the publisher thread without its lock.
void StartAgentStatus(std::string_view folder, std::string_view backend,
                      TransferSampler sampler);
// Stops the publisher and removes the file.
void StopAgentStatus();

// A poll cycle ended: when it started, how long it took, and its result line.
void ReportPollCycle(int64_t start_unix, int64_t ms, std::string_view result);
// Something failed; `reason` says what and why.
void ReportFailure(std::string_view reason);

// Reads the status file. The publisher replaces it by a rename, which on
// Windows can make it unreadable for a moment: a file that exists is tried
// again a few times before the read counts as failed.
bool ReadAgentStatusFile(const std::filesystem::path& path, std::string* text);

std::string FormatAgentStatus(const AgentStatus& status);
// False when the text holds no pid line (not a status file).
bool ParseAgentStatus(std::string_view text, AgentStatus* status);
// The same record as one JSON object, with "running" added.
std::string AgentStatusJson(const AgentStatus& status, bool running);

}  // namespace zem
