// The process environment, as UTF-8 (tests point HOME and the XDG folders at
// temporary folders with it; on Windows the known folders do not depend on
// the environment).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zem::platform {

// The value of a variable, or nothing when it is not set.
std::optional<std::string> GetEnv(std::string_view name);

// Sets (or, with no value, removes) a variable for this process and the
// programs it starts. Not thread-safe against concurrent readers of the
// environment; meant for start-up and tests. Returns false on failure.
bool SetEnv(std::string_view name, std::optional<std::string_view> value);

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
