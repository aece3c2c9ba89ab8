// libFuzzer target for the answer scanners: no crash, no hang, and the field
// finders agree with the ECMAScript patterns they stand for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

#include "client/json_scan.h"
#include "client/listing.h"

namespace {

template <typename Found>
void Agree(const Found& mine, const std::string& text, const std::regex& re) {
  std::smatch m;
  const bool found = std::regex_search(text, m, re);
  if (found != mine.has_value() || (found && m[1].str() != *mine)) std::abort();
}

bool Within(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // Whole-answer scanning as the operations do it; out_of_range is the
  // documented outcome of an oversized quota number (a bad file size only
  // skips its entry).
  try {
    std::vector<zem::FolderEntry> folders;
    std::vector<zem::FileEntry> files;
    std::vector<std::string> skipped;
    zem::ScanListing(text, folders, files, &skipped);
    for (const auto& f : folders) {
      if (f.id.empty() || f.name.empty()) std::abort();
    }
    for (const auto& f : files) {
      if (f.id.empty() || f.name.empty() || f.size < 0) std::abort();
    }
    zem::QuotaInfo q;
    zem::ScanQuota(text, q);
  } catch (const std::out_of_range&) {
  }
  (void)zem::IsBusinessFailure(text);
  const std::string array = zem::ExtractJsonArray(text, "files");
  if (array.size() > text.size() || text.find(array) == std::string::npos) std::abort();
  for (const std::string& object : zem::SplitJsonObjects(array)) {
    if (object.size() < 2 || object.front() != '{' || object.back() != '}') std::abort();
  }

  const std::string_view view(text);
  for (auto v : {zem::FindDigitsField(view, "size"), zem::FindHexField(view, "sha256")}) {
    if (v && !Within(*v, view)) std::abort();
  }
  const auto decoded = zem::FindStringField(view, "id");
  if (decoded && decoded->empty()) std::abort();
  // std::regex recurses per matched byte; keep the comparison to inputs it
  // can take.
  if (size <= 2048) {
    static const std::regex id_re("\"id\"\\s*:\\s*\"([^\"]+)\"");
    static const std::regex size_re("\"size\"\\s*:\\s*\"?([0-9]+)\"?");
    static const std::regex hex_re("\"sha256\"\\s*:\\s*\"([0-9a-fA-F]+)\"");
    // Without a backslash there is no escape to decode: exactly the pattern.
    if (text.find('\\') == std::string::npos) Agree(decoded, text, id_re);
    Agree(zem::FindDigitsField(view, "size"), text, size_re);
    Agree(zem::FindHexField(view, "sha256"), text, hex_re);
  }
  return 0;
}
