#include "common/output.h"

#include <atomic>

#include "platform/console.h"

namespace zem {
namespace {
std::atomic<ScopedOutputCapture*> g_capture{nullptr};
}  // namespace

void Out(std::string_view line) {
  if (auto* c = g_capture.load()) return c->Add(false, line);
  platform::WriteStd(platform::StdStream::kOut, line);
}

void Err(std::string_view line) {
  if (auto* c = g_capture.load()) return c->Add(true, line);
  platform::WriteStd(platform::StdStream::kErr, line);
}

ScopedOutputCapture::ScopedOutputCapture() { g_capture.store(this); }
ScopedOutputCapture::~ScopedOutputCapture() { g_capture.store(nullptr); }

void ScopedOutputCapture::Add(bool is_err, std::string_view line) {
  std::lock_guard lock(mu_);
  (is_err ? err_ : out_).append(line);
  all_.append(line);
}

std::string ScopedOutputCapture::out() const { std::lock_guard l(mu_); return out_; }
std::string ScopedOutputCapture::err() const { std::lock_guard l(mu_); return err_; }
std::string ScopedOutputCapture::all() const { std::lock_guard l(mu_); return all_; }

}  // namespace zem
