#include "tools/populate/tree_populator.h"

#include <algorithm>
#include <vector>

#include "client/service_id.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/cloud_files.h"
#include "platform/file_attributes.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "sync/identity.h"
#include "tools/populate/name_dedup.h"

namespace zem::populate {
namespace {

platform::PlaceholderItem MakeItem(const std::u16string& name, int64_t now, uint32_t attributes,
                               int64_t size, std::string identity) {
  platform::PlaceholderItem s;
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

TreePopulator::TreePopulator(ListFn list, CreateFn create)
    : list_(std::move(list)), create_(std::move(create)) {
  if (!create_) {
    create_ = [](const std::filesystem::path& base, std::vector<platform::PlaceholderItem>& items) {
      return platform::CreatePlaceholders(base, items);
    };
  }
}

bool TreePopulator::PopulateFolder(const std::filesystem::path& local,
                                   const std::string& folder_id) {
  path_ids_.clear();
  return Walk(local, folder_id);
}

bool TreePopulator::Walk(const std::filesystem::path& local, const std::string& folder_id) {
  if (std::find(path_ids_.begin(), path_ids_.end(), folder_id) != path_ids_.end()) {
    Err(Cat("[ERR] folder id=", PrintableId(folder_id),
            " is listed inside itself (a cycle); not descended\n"));
    return false;
  }
  if (path_ids_.size() >= static_cast<size_t>(kMaxDepth)) {
    Err(Cat("[ERR] folder id=", PrintableId(folder_id), " lies deeper than ", kMaxDepth,
            " levels; not descended\n"));
    return false;
  }
  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  if (!list_(folder_id, folders, files)) {
    Err(Cat("[ERR] folder/list HTTP failed for id=", PrintableId(folder_id), "\n"));
    return false;
  }
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
    const int64_t now = platform::CurrentFileTime();
    std::vector<platform::PlaceholderItem> specs;
    specs.reserve(entries);
    size_t unusable = 0;
    for (const auto& f : folders) {
      if (!IsUsableLocalName(f.name)) { ++unusable; continue; }
      specs.push_back(MakeItem(f.name, now, platform::kPlaceholderAttributeDirectory, 0,
                           FolderIdentity(f.id)));
    }
    for (const auto& f : files) {
      if (!IsUsableLocalName(f.name)) { ++unusable; continue; }
      specs.push_back(MakeItem(f.name, now, platform::kPlaceholderAttributeNormal, f.size,
                           FileIdentity(f.id)));
    }
    platform::Status overall;
    if (!specs.empty()) overall = create_(local, specs);
    size_t created = 0;
    size_t unavailable = 0;
    for (const auto& s : specs) {
      if (s.result.ok()) ++created;
      if (s.result.Is(platform::kHrProviderUnavailable)) ++unavailable;
    }
    if (!specs.empty() && created == 0 &&
        (unavailable == specs.size() || overall.Is(platform::kHrProviderUnavailable))) {
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
  path_ids_.push_back(folder_id);
  for (const auto& f : folders) {
    if (provider_unavailable_) break;
    if (!IsUsableLocalName(f.name)) continue;
    const auto child = local / platform::PathFromUtf8(platform::WideToUtf8(f.name));
    if (!Walk(child, f.id)) ok = false;
  }
  path_ids_.pop_back();
  return ok && !provider_unavailable_;
}

}  // namespace zem::populate
