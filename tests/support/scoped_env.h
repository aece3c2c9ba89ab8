// A process environment variable set for a test's scope.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/environment.h"

namespace zem::platform {

// Sets a variable for the lifetime of the object and restores the old value
// (or its absence) afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value)
      : name_(std::move(name)), old_(GetEnv(name_)) {
    SetEnv(name_, value ? std::optional<std::string_view>(*value) : std::nullopt);
  }
  ~ScopedEnv() {
    SetEnv(name_, old_ ? std::optional<std::string_view>(*old_) : std::nullopt);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace zem::platform
