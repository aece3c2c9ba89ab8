// Faults injected by tests for the next N requests of a path.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/json.h"

namespace zem::zemd {

// kSlowBody reads the request's body at chunk_bytes per interval_ms, as a
// slow link would, and answers normally.
enum class FaultKind { kStatus, kBusiness, kDelay, kCut, kDrop, kTrickle, kStall, kSlowBody };

struct Fault {
  uint64_t id = 0;
  std::string path;    // exact, or a prefix when it ends in '*'
  std::string method;  // empty: any
  FaultKind kind = FaultKind::kStatus;
  int status = 500;
  int64_t delay_ms = 0;
  int64_t after_bytes = 0;
  int64_t chunk_bytes = 1;
  int64_t interval_ms = 100;
  int64_t stall_ms = 120000;  // stall: how long the connection is held silent
  int64_t remaining = 1;
};

const char* FaultKindName(FaultKind k);

// Builds a fault from its admin JSON; false with a message when invalid.
bool FaultFromJson(const JsonValue& j, Fault* out, std::string* error);
std::string FaultToJson(const Fault& f);

class FaultPlan {
 public:
  uint64_t Add(Fault f);
  // Takes one use of the first fault matching the request, if any.
  std::optional<Fault> Take(const std::string& method, const std::string& path);
  std::vector<Fault> List() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::vector<Fault> faults_;
  uint64_t next_id_ = 1;
};

}  // namespace zem::zemd
