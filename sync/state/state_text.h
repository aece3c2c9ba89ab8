// The line format shared by the state files and the upload queue: UTF-8
// lines, fields joined by '|', each line ended by the platform's text line
// end; readers strip any trailing CR and LF so either ending loads.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zem {

// The lines of `text` without their trailing CR/LF characters, empty lines
// included (callers skip them).
std::vector<std::string_view> SplitStateLines(std::string_view text);

// Every '|'-separated field, empty ones kept ("a|" gives "a" and "").
std::vector<std::string_view> SplitStateFields(std::string_view line);

// Appends `line` and the platform's line end to `out`.
void AppendStateLine(std::string& out, std::string_view line);

// A decimal signed 64-bit number at the start of `text` after optional
// white space (trailing text ignored). False when there is no digit or the
// value overflows.
bool ParseLeadingInt64(std::string_view text, int64_t* value);
bool ParseLeadingUint64(std::string_view text, uint64_t* value);

}  // namespace zem
