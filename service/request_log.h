// What the service received: one record per request outside /admin/, kept in
// memory (the newest 10,000), so tests can assert exactly what a client sent.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zem::zemd {

struct RequestRecord {
  uint64_t seq = 0;
  std::string method;
  std::string path;   // as sent, not decoded
  std::string query;  // raw text after '?'
  std::vector<std::pair<std::string, std::string>> headers;
  uint64_t body_length = 0;
  std::string body_sha256;
  bool body_stored = false;
  std::string body;  // when body_stored
  int status = 0;    // 0: connection dropped
  std::string fault;
};

class RequestLog {
 public:
  static constexpr size_t kMaxRecords = 10000;
  static constexpr size_t kMaxStoredBody = 64 * 1024;

  // Assigns the sequence number and keeps the record.
  void Add(RequestRecord record);
  std::vector<RequestRecord> Since(uint64_t seq) const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::deque<RequestRecord> records_;
  uint64_t next_seq_ = 1;
};

std::string RecordToJson(const RequestRecord& r);

}  // namespace zem::zemd
