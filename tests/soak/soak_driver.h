// One soak run: zemd with a seeded tree, corvane serving ~/ZEM云盘, random
// service faults, user operations through the folder, web operations through
// the admin interface and kill -9 of the agent, all drawn from one seed; then
// the faults stop, the agent settles and stops, and the checker compares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zem::soak {

struct RunLimits {
  uint64_t seed = 1;
  int seconds = 90;      // of random operations (the settle and check come after)
  int max_steps = 5000;  // operations of any kind
  int poll_ms = 700;     // the agent's poll interval
  std::string keep_dir;  // where the logs of a run with findings are copied ("" = a temp folder)
};

struct RunReport {
  uint64_t seed = 0;
  int steps = 0;
  int user_ops = 0, user_ops_failed = 0, reads = 0;
  int web_ops = 0, faults = 0, faults_hit = 0, kills = 0, restarts = 0;
  int uploads = 0, recycles = 0, downloads = 0, lawful_recycles = 0;
  double seconds = 0;
  bool settled = false;
  std::vector<std::string> findings;
  std::vector<std::string> observations;
  std::string kept;  // where the logs were copied, if anywhere
};

RunReport RunSoak(const RunLimits& limits);

}  // namespace zem::soak
