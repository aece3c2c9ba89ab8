// The programs' message lines.
//
// Every message is one UTF-8 line, "[TAG] text\n", handed to Out (progress
// and successes) or Err (warnings and errors) whole, so that it reaches the
// stream in one write. Tests can capture the lines with ScopedOutputCapture.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace zem {

void Out(std::string_view line);
void Err(std::string_view line);

// While alive, Out and Err append to `out` and `err` instead of the standard
// streams (from every thread). Not nestable.
class ScopedOutputCapture {
 public:
  ScopedOutputCapture();
  ~ScopedOutputCapture();
  ScopedOutputCapture(const ScopedOutputCapture&) = delete;
  ScopedOutputCapture& operator=(const ScopedOutputCapture&) = delete;

  std::string out() const;
  std::string err() const;
  // Both streams in the order written.
  std::string all() const;

 private:
  friend void Out(std::string_view);
  friend void Err(std::string_view);
  void Add(bool is_err, std::string_view line);

  mutable std::mutex mu_;
  std::string out_, err_, all_;
};

}  // namespace zem
