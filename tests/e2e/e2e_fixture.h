// The whole client as a user runs it, for end-to-end tests: a zemd on a
// free port, a throw-away home with the configuration pointing at it, the
// folder registered and the token stored; corvane started and stopped as a
// process; the log and the service's request log to look at.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "service/testing/zemd_harness.h"
#include "tests/support/temp_home.h"

namespace zem::testing {

namespace fs = std::filesystem;

inline std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

inline fs::path Utf8Path(const std::string& rel) {
  return fs::path(std::u8string(rel.begin(), rel.end()));
}

inline size_t CountOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class AgentFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zemd_.ok()) << zemd_.error();
    home_.WriteConfig("{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(zemd_.port()) + "}");
    Run("register", {});
    Run("keygate", {"--token", zemd_.token()});
  }

  void TearDown() override {
    if (agent_.running()) StopAgent();
  }

  void Run(const std::string& program, const std::vector<std::string>& args) {
    const auto r = platform::RunProcess(ProgramPath(program), args, home_.Options());
    ASSERT_EQ(r.exit_code, 0) << program << "\n" << r.out << r.err;
  }

  // Starts corvane with a poll interval of `poll_ms` and waits until its
  // first poll cycle has finished.
  void StartAgent(int poll_ms = 300) {
    auto options = home_.Options();
    options.env["ZEM_POLL_INTERVAL_MS"] = std::to_string(poll_ms);
    const size_t cycles = CountOf(Log(), "[SYNC] cycle:");
    ASSERT_TRUE(agent_.Start(ProgramPath("corvane"), {}, options, {}, {}).ok());
    WaitForLog("[SYNC] cycle:", cycles + 1, 30);
  }

  // SIGTERM, then the exit code (-1 when it did not end within 20 s).
  int StopAgent() {
    agent_.RequestTermination();
    int code = -1;
    if (!agent_.Wait(20000, code)) {
      agent_.Kill();
      ADD_FAILURE() << "corvane did not stop\n" << Log();
    }
    return code;
  }

  void KillAgent() {
    agent_.Kill();
    int code;
    agent_.Wait(5000, code);
  }

  std::string Log() const { return TempHome::Read(home_.agent_log()); }

  // Waits until `needle` occurs at least `count` times in the log.
  void WaitForLog(const std::string& needle, size_t count = 1, int seconds = 20) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (CountOf(Log(), needle) < count) {
      int code;
      if (agent_.running() && agent_.Wait(0, code)) {
        FAIL() << "corvane exited with " << code << " waiting for " << needle << "\n" << Log();
      }
      if (std::chrono::steady_clock::now() > until) {
        FAIL() << "no \"" << needle << "\" x" << count << " in the log\n" << Log();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // Waits for `n` more finished poll cycles.
  void WaitCycles(size_t n = 1) { WaitForLog("[SYNC] cycle:", CountOf(Log(), "[SYNC] cycle:") + n, 60); }

  // Waits (up to `seconds`) for `check` to hold, letting cycles run.
  template <typename Check>
  bool Eventually(Check check, int seconds = 20) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!check()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
  }

  fs::path Root() const { return home_.sync_root(); }
  fs::path Docs(const std::string& rel = "") const {
    const fs::path docs = Root() / Utf8Path("我的文档");
    return rel.empty() ? docs : docs / Utf8Path(rel);
  }

  // The service's live file of that name in `folder_id`, or nullptr.
  const TreeFile* ServiceFile(const Tree& tree, const std::string& folder_id,
                              const std::string& name) const {
    for (const auto& f : tree.files) {
      if (f.folder_id == folder_id && f.name == name && f.status == 1) return &f;
    }
    return nullptr;
  }

  // Requests of `method` to a path ending in `suffix` since `since`.
  int CountRequests(const std::string& suffix, uint64_t since = 0) {
    int n = 0;
    for (const auto& r : zemd_.Requests(since)) {
      if (r.path.size() >= suffix.size() &&
          r.path.compare(r.path.size() - suffix.size(), suffix.size(), suffix) == 0) {
        ++n;
      }
    }
    return n;
  }

  uint64_t LastRequestSeq() {
    const auto all = zemd_.Requests();
    return all.empty() ? 0 : all.back().seq;
  }

  ZemdServer zemd_;
  TempHome home_;
  platform::BackgroundProcess agent_;
};

}  // namespace zem::testing
