#include "service/fault_plan.h"

namespace zem::zemd {

const char* FaultKindName(FaultKind k) {
  switch (k) {
    case FaultKind::kStatus: return "status";
    case FaultKind::kBusiness: return "business";
    case FaultKind::kDelay: return "delay";
    case FaultKind::kCut: return "cut";
    case FaultKind::kDrop: return "drop";
    case FaultKind::kTrickle: return "trickle";
    case FaultKind::kStall: return "stall";
    case FaultKind::kSlowBody: return "slow-body";
  }
  return "?";
}

bool FaultFromJson(const JsonValue& j, Fault* out, std::string* error) {
  Fault f;
  f.path = j.Str("path");
  if (f.path.empty() || f.path[0] != '/') {
    *error = "fault needs a \"path\" starting with /";
    return false;
  }
  f.method = j.Str("method");
  std::string kind = j.Str("kind");
  bool found = false;
  for (FaultKind k : {FaultKind::kStatus, FaultKind::kBusiness, FaultKind::kDelay,
                      FaultKind::kCut, FaultKind::kDrop, FaultKind::kTrickle,
                      FaultKind::kStall, FaultKind::kSlowBody}) {
    if (kind == FaultKindName(k)) {
      f.kind = k;
      found = true;
    }
  }
  if (!found) {
    *error = "unknown fault kind \"" + kind + "\"";
    return false;
  }
  f.status = static_cast<int>(j.Int("status", 500));
  f.delay_ms = j.Int("delay_ms", 0);
  f.after_bytes = j.Int("after_bytes", 0);
  f.chunk_bytes = j.Int("chunk_bytes", 1);
  f.interval_ms = j.Int("interval_ms", 100);
  f.stall_ms = j.Int("stall_ms", 120000);
  f.remaining = j.Int("count", 1);
  if (f.status < 100 || f.status > 599 || f.delay_ms < 0 || f.after_bytes < 0 ||
      f.chunk_bytes < 1 || f.interval_ms < 0 || f.stall_ms < 0 || f.remaining < 1) {
    *error = "fault fields out of range";
    return false;
  }
  if (f.kind == FaultKind::kDelay && f.delay_ms == 0) {
    *error = "a delay fault needs \"delay_ms\"";
    return false;
  }
  *out = f;
  return true;
}

std::string FaultToJson(const Fault& f) {
  return "{\"fault_id\":" + std::to_string(f.id) + ",\"path\":" + JsonQuote(f.path) +
         ",\"method\":" + JsonQuote(f.method) + ",\"kind\":" + JsonQuote(FaultKindName(f.kind)) +
         ",\"status\":" + std::to_string(f.status) + ",\"delay_ms\":" +
         std::to_string(f.delay_ms) + ",\"after_bytes\":" + std::to_string(f.after_bytes) +
         ",\"chunk_bytes\":" + std::to_string(f.chunk_bytes) + ",\"interval_ms\":" +
         std::to_string(f.interval_ms) + ",\"stall_ms\":" +
         std::to_string(f.stall_ms) + ",\"remaining\":" + std::to_string(f.remaining) + "}";
}

uint64_t FaultPlan::Add(Fault f) {
  std::lock_guard<std::mutex> lock(mu_);
  f.id = next_id_++;
  faults_.push_back(f);
  return f.id;
}

std::optional<Fault> FaultPlan::Take(const std::string& method, const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!it->method.empty() && it->method != method) continue;
    bool prefix = !it->path.empty() && it->path.back() == '*';
    bool match = prefix ? path.compare(0, it->path.size() - 1, it->path, 0,
                                       it->path.size() - 1) == 0
                        : path == it->path;
    if (!match) continue;
    Fault taken = *it;
    if (--it->remaining <= 0) faults_.erase(it);
    return taken;
  }
  return std::nullopt;
}

std::vector<Fault> FaultPlan::List() const {
  std::lock_guard<std::mutex> lock(mu_);
  return faults_;
}

void FaultPlan::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  faults_.clear();
}

}  // namespace zem::zemd
