// The process environment, as UTF-8 (tests point HOME and the XDG folders at
// temporary folders with it, see tests/support/scoped_env.h; on Windows the
// known folders do not depend on the environment).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace zem::platform {

// The value of a variable, or nothing when it is not set.
std::optional<std::string> GetEnv(std::string_view name);

// Sets (or, with no value, removes) a variable for this process and the
// programs it starts. Not thread-safe against concurrent readers of the
// environment; meant for start-up and tests.
Status SetEnv(std::string_view name, std::optional<std::string_view> value);

}  // namespace zem::platform
