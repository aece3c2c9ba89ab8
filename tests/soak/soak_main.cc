// The soak: corvane against zemd under random faults, user and web changes
// and kill -9, for a bounded time, then a check of what the engine promises.
//
//   soak_test [--seed N] [--seconds S] [--run-seconds R] [--keep DIR] [gtest flags]
//
// The environment variables ZEM_SOAK_SEED, ZEM_SOAK_SECONDS,
// ZEM_SOAK_RUN_SECONDS and ZEM_SOAK_KEEP do the same. S seconds of random
// operations in total (default 100) are split into runs of at most R seconds
// (default 300), each with a fresh service and home and the next seed; the
// seed is printed first. A run with findings keeps the agent's log and a
// journal of every operation in DIR/<seed> (default: the temp folder).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "tests/soak/soak_driver.h"

namespace {

uint64_t g_seed = 0;
int g_seconds = 100;
int g_run_seconds = 300;
std::string g_keep;

std::string Tag(const std::string& line) { return line.substr(0, line.find(']') + 1); }

void Print(const zem::soak::RunReport& r) {
  std::printf(
      "[SOAK] seed %llu: %.0f s, %d steps: %d user operations (%d failed, %d reads), %d web "
      "operations, %d faults injected (%d requests hit), %d kills, %d starts; the agent made "
      "%d uploads, %d recycles (%d lawful), %d downloads; %s; %zu findings, %zu observations\n",
      static_cast<unsigned long long>(r.seed), r.seconds, r.steps, r.user_ops, r.user_ops_failed,
      r.reads, r.web_ops, r.faults, r.faults_hit, r.kills, r.restarts, r.uploads, r.recycles,
      r.lawful_recycles, r.downloads, r.settled ? "settled" : "NOT settled", r.findings.size(),
      r.observations.size());
  std::map<std::string, int> tags;
  for (const auto& o : r.observations) ++tags[Tag(o)];
  for (const auto& [tag, n] : tags) {
    std::printf("[SOAK]   observation %s x%d, e.g. ", tag.c_str(), n);
    for (const auto& o : r.observations) {
      if (Tag(o) == tag) {
        std::printf("%s\n", o.c_str());
        break;
      }
    }
  }
  for (const auto& f : r.findings) std::printf("[SOAK]   FINDING (seed %llu) %s\n",
                                               static_cast<unsigned long long>(r.seed), f.c_str());
  if (!r.kept.empty()) std::printf("[SOAK]   logs and journal kept in %s\n", r.kept.c_str());
  std::fflush(stdout);
}

TEST(Soak, AgentKeepsItsPromisesUnderFaultsChangesAndCrashes) {
  const auto start = std::chrono::steady_clock::now();
  int left = g_seconds;
  for (uint64_t seed = g_seed; left > 0; ++seed) {
    zem::soak::RunLimits limits;
    limits.seed = seed;
    limits.seconds = std::min(left, g_run_seconds);
    limits.keep_dir = g_keep;
    left -= limits.seconds;
    const auto report = zem::soak::RunSoak(limits);
    Print(report);
    EXPECT_TRUE(report.findings.empty())
        << report.findings.size() << " findings with seed " << seed
        << "; rerun with --seed " << seed << " --seconds " << limits.seconds;
    EXPECT_GT(report.user_ops - report.user_ops_failed, 0) << "seed " << seed << " did nothing";
  }
  std::printf("[SOAK] done in %.0f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

const char* Env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);  // takes the gtest flags out
  if (const char* v = Env("ZEM_SOAK_SEED")) g_seed = std::strtoull(v, nullptr, 10);
  else g_seed = std::random_device{}() % 1000000;
  if (const char* v = Env("ZEM_SOAK_SECONDS")) g_seconds = std::atoi(v);
  if (const char* v = Env("ZEM_SOAK_RUN_SECONDS")) g_run_seconds = std::atoi(v);
  if (const char* v = Env("ZEM_SOAK_KEEP")) g_keep = v;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--seed" && has_value) {
      g_seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--seconds" && has_value) {
      g_seconds = std::atoi(argv[++i]);
    } else if (arg == "--run-seconds" && has_value) {
      g_run_seconds = std::atoi(argv[++i]);
    } else if (arg == "--keep" && has_value) {
      g_keep = argv[++i];
    } else {
      std::fprintf(stderr, "soak_test: unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  if (g_seconds < 1 || g_run_seconds < 1) {
    std::fprintf(stderr, "soak_test: --seconds and --run-seconds must be positive\n");
    return 2;
  }
  std::printf("[SOAK] seed %llu, %d s of operations in runs of at most %d s\n",
              static_cast<unsigned long long>(g_seed), g_seconds, g_run_seconds);
  std::fflush(stdout);
  return RUN_ALL_TESTS();
}
