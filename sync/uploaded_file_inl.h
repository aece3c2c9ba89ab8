#pragma once

#include "common/cat.h"

namespace zem {

template <typename Taken>
std::string ConflictCopyName(std::string_view name, Taken taken) {
  size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string_view::npos) dot = name.size();
  const std::string_view stem = name.substr(0, dot), ext = name.substr(dot);
  for (int n = 1;; ++n) {
    std::string candidate = n == 1 ? Cat(stem, " (冲突副本)", ext)
                                   : Cat(stem, " (冲突副本 ", n, ")", ext);
    if (!taken(candidate)) return candidate;
  }
}

}  // namespace zem
