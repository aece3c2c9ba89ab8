// What the soak compares once the agent has settled and stopped: the user's
// model (the bytes they last wrote, the contents they replaced or deleted),
// the service's tree and what is left in the folder. Pure data in, findings
// and observations out, so the rules are tested on their own.
//
// A finding breaks a promise of the engine:
//   - bytes the user last wrote are neither in the folder nor on the service;
//   - a file was recycled by the agent although the user never deleted or
//     replaced its content;
//   - a placeholder marked in sync differs from the service (gone, elsewhere,
//     other size or content), or a service file or folder has no counterpart
//     in the folder;
//   - a file in the folder holds bytes nobody ever wrote.
// An observation is a lawful difference: a conflict copy, a plain folder of
// the user's, a change still waiting for its upload, a duplicate left on the
// service, a recycled file whose bytes stay live under another id (a move
// between folders is an upload there and a recycle here).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "service/testing/zemd_harness.h"

namespace zem::soak {

// One entry of the documents folder, read while nothing is mounted.
struct LocalItem {
  std::string path;  // relative to 我的文档, '/'-separated, UTF-8
  bool is_dir = false;
  bool is_placeholder = false;
  bool in_sync = false;
  bool hydrated = false;
  std::string identity;      // "F:<id>", "D:<id>", "P:<hash>", … or ""
  int64_t logical_size = 0;  // the size the file shows
  std::string sha256;        // of the content on disk, when it is local; "" otherwise
};

struct SoakModel {
  // Contents the user wrote and has not replaced or deleted since, with a
  // note of where and when (for the report).
  std::map<std::string, std::string> required;
  // Contents the user replaced or deleted: their server files may be recycled.
  std::set<std::string> superseded;
  // Every content anyone wrote (user, web, truncations).
  std::set<std::string> known;
  // Files the web recycled (through the admin interface).
  std::set<std::string> web_recycled;

  // The user wrote `sha` (replacing `old_sha` when not empty).
  void UserWrote(const std::string& sha, const std::string& note, const std::string& old_sha = "");
  // The user deleted a file that held `sha`.
  void UserDeleted(const std::string& sha);
};

struct CheckResult {
  std::vector<std::string> findings;
  std::vector<std::string> observations;
  int lawful_recycles = 0;
};

CheckResult Check(const SoakModel& model, const testing::Tree& tree,
                  const std::vector<LocalItem>& local);

// The path of every service folder relative to the documents root ("0" is "").
std::map<std::string, std::string> FolderPaths(const testing::Tree& tree);

// True for "<stem> (冲突副本)<ext>" and its numbered forms.
bool IsConflictCopyName(const std::string& path);

}  // namespace zem::soak
