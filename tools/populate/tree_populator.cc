#include "tools/populate/tree_populator.h"

#include <chrono>
#include <stdexcept>
#include <vector>

#include "client/listing.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/cloud_files.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "tools/populate/name_dedup.h"

namespace zem::populate {
namespace {

// 100 ns ticks between 1601-01-01 and 1970-01-01 (Windows FILETIME epoch).
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000;

int64_t NowFileTime() {
  const auto since_unix = std::chrono::system_clock::now().time_since_epoch();
  return kFileTimeUnixEpoch +
         std::chrono::duration_cast<std::chrono::nanoseconds>(since_unix).count() / 100;
}

platform::PlaceholderSpec Spec(const std::u16string& name, int64_t now, uint32_t attributes,
                               int64_t size, std::string identity) {
  platform::PlaceholderSpec s;
  s.relative_name = platform::PathFromUtf8(platform::WideToUtf8(name));
  s.creation_time = s.last_access_time = s.last_write_time = s.change_time = now;
  s.attributes = attributes;
  s.size = size;
  s.identity = std::move(identity);
  s.mark_in_sync = true;
  return s;
}

}  // namespace

bool IsUsableLocalName(const std::u16string& name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (c == u'/' || c == u'\\' || c == u'\0') return false;
  }
  return true;
}

std::string FolderListBody(const std::string& folder_id) {
  return Cat("{\"parent_id\":\"", folder_id, "\",\"owner_type\":1}");
}

bool TreePopulator::PopulateFolder(const std::filesystem::path& local,
                                   const std::string& folder_id) {
  std::string answer;
  if (!list_(folder_id, answer)) {
    Err(Cat("[ERR] folder/list HTTP failed for id=", folder_id, "\n"));
    return false;
  }

  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  try {
    ScanListing(answer, folders, files);
  } catch (const std::out_of_range&) {
    Err(Cat("[ERR] folder/list size out of range for id=", folder_id, "\n"));
    return false;
  } catch (const std::exception& e) {
    Err(Cat("[ERR] folder/list unreadable for id=", folder_id, " (", e.what(), ")\n"));
    return false;
  }
  answer.clear();
  answer.shrink_to_fit();

  // Names from the service become local names: one that would leave this
  // folder (a separator, "..") is never used, and counts as skipped.
  for (const auto& f : folders) {
    if (!IsUsableLocalName(f.name)) continue;
    std::error_code ec;
    std::filesystem::create_directory(local / platform::PathFromUtf8(platform::WideToUtf8(f.name)),
                                      ec);
  }

  DeduplicateNames(folders, files);

  const size_t entries = folders.size() + files.size();
  if (entries > 0) {
    const int64_t now = NowFileTime();
    std::vector<platform::PlaceholderSpec> specs;
    specs.reserve(entries);
    size_t unusable = 0;
    for (const auto& f : folders) {
      if (!IsUsableLocalName(f.name)) { ++unusable; continue; }
      specs.push_back(Spec(f.name, now, platform::kPlaceholderAttributeDirectory, 0, "D:" + f.id));
    }
    for (const auto& f : files) {
      if (!IsUsableLocalName(f.name)) { ++unusable; continue; }
      specs.push_back(Spec(f.name, now, platform::kPlaceholderAttributeNormal, f.size, "F:" + f.id));
    }
    platform::Hresult overall = 0;
    if (!specs.empty()) overall = platform::CreatePlaceholders(local, specs);

    size_t created = 0;
    size_t unavailable = 0;
    for (const auto& s : specs) {
      if (platform::Succeeded(s.result)) ++created;
      if (s.result == platform::kHrProviderUnavailable) ++unavailable;
    }
    if (!specs.empty() && created == 0 &&
        (unavailable == specs.size() || overall == platform::kHrProviderUnavailable)) {
      // No placeholder platform at all (Windows without cldapi.dll): every
      // later folder would fail the same way, so stop instead of reporting
      // the whole tree as skipped.
      Err(Cat("[ERR] Cloud Files API unavailable (cldapi.dll), placeholders cannot be created: hr=0x",
              platform::HexHresult(platform::kHrProviderUnavailable), "\n"));
      provider_unavailable_ = true;
      return false;
    }
    const size_t skipped = specs.size() - created + unusable;
    created_ += static_cast<int64_t>(created);
    skipped_ += static_cast<int64_t>(skipped);
    Out(Cat("  [", platform::PathToUtf8(local.filename()), "] created=", created,
            " skipped=", skipped, " (folders=", folders.size(), " files=", files.size(), ")\n"));
  }
  files.clear();
  files.shrink_to_fit();

  bool ok = true;
  for (const auto& f : folders) {
    if (provider_unavailable_) return false;
    if (!IsUsableLocalName(f.name)) continue;
    const auto child = local / platform::PathFromUtf8(platform::WideToUtf8(f.name));
    if (!PopulateFolder(child, f.id)) ok = false;
  }
  return ok && !provider_unavailable_;
}

}  // namespace zem::populate
