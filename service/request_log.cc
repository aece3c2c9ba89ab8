#include "service/request_log.h"

#include "service/json.h"

namespace zem::zemd {

void RequestLog::Add(RequestRecord record) {
  std::lock_guard<std::mutex> lock(mu_);
  record.seq = next_seq_++;
  records_.push_back(std::move(record));
  while (records_.size() > kMaxRecords) records_.pop_front();
}

std::vector<RequestRecord> RequestLog::Since(uint64_t seq) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<RequestRecord> out;
  for (const auto& r : records_) {
    if (r.seq > seq) out.push_back(r);
  }
  return out;
}

void RequestLog::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  records_.clear();
}

std::string RecordToJson(const RequestRecord& r) {
  std::string out = "{\"seq\":" + std::to_string(r.seq) + ",\"method\":" + JsonQuote(r.method) +
                    ",\"path\":" + JsonQuote(r.path) + ",\"query\":" + JsonQuote(r.query) +
                    ",\"headers\":[";
  for (size_t i = 0; i < r.headers.size(); ++i) {
    if (i) out += ',';
    out += "[" + JsonQuote(r.headers[i].first) + "," + JsonQuote(r.headers[i].second) + "]";
  }
  out += "],\"body_length\":" + std::to_string(r.body_length) +
         ",\"body_sha256\":" + JsonQuote(r.body_sha256) +
         ",\"body_stored\":" + (r.body_stored ? "true" : "false");
  if (r.body_stored) out += ",\"body\":" + JsonQuote(r.body);
  out += ",\"status\":" + std::to_string(r.status) + ",\"fault\":" + JsonQuote(r.fault) + "}";
  return out;
}

}  // namespace zem::zemd
