#include "tools/populate/tree_populator.h"

#include <chrono>
#include <future>
#include <utility>
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

// The folders still to do, in depth-first order (the next one on top), and
// the listing of the top one, already under way while the current folder's
// placeholders are created.
struct TreePopulator::Walk {
  struct Pending {
    std::filesystem::path local;
    std::string id;
  };
  std::vector<Pending> stack;
  std::future<std::pair<bool, std::string>> next_listing;
  std::string next_id;  // the folder id next_listing is for
};

bool TreePopulator::PopulateFolder(const std::filesystem::path& local,
                                   const std::string& folder_id) {
  Walk walk;
  walk.stack.push_back({local, folder_id});
  bool ok = true;
  while (!walk.stack.empty() && !provider_unavailable_) {
    Walk::Pending folder = std::move(walk.stack.back());
    walk.stack.pop_back();
    std::string answer;
    bool listed;
    if (walk.next_listing.valid() && walk.next_id == folder.id) {
      auto got = walk.next_listing.get();
      listed = got.first;
      answer = std::move(got.second);
    } else {
      if (walk.next_listing.valid()) walk.next_listing.wait();  // not for this folder
      walk.next_listing = {};
      listed = list_(folder.id, answer);
    }
    if (!HandleFolder(folder.local, folder.id, listed, answer, walk)) ok = false;
  }
  // A listing started for a folder the walk no longer reaches is waited for.
  if (walk.next_listing.valid()) walk.next_listing.wait();
  return ok && !provider_unavailable_;
}

void TreePopulator::ListNextAhead(Walk& walk) {
  // Only once a batch has shown that placeholders can be made: a walk that
  // stops at its first batch sends no request beyond the root's.
  if (!provider_usable_ || walk.stack.empty() || walk.next_listing.valid()) return;
  const std::string id = walk.stack.back().id;
  walk.next_id = id;
  walk.next_listing = std::async(std::launch::async, [this, id] {
    std::pair<bool, std::string> r;
    r.first = list_(id, r.second);
    return r;
  });
}

bool TreePopulator::HandleFolder(const std::filesystem::path& local, const std::string& folder_id,
                                 bool listed, std::string& answer, Walk& walk) {
  if (!listed) {
    Err(Cat("[ERR] folder/list HTTP failed for id=", folder_id, "\n"));
    ListNextAhead(walk);
    return false;
  }

  std::vector<FolderEntry> folders;
  std::vector<FileEntry> files;
  try {
    ScanListing(answer, folders, files);
  } catch (const std::out_of_range&) {
    Err(Cat("[ERR] folder/list size out of range for id=", folder_id, "\n"));
    ListNextAhead(walk);
    return false;
  } catch (const std::exception& e) {
    Err(Cat("[ERR] folder/list unreadable for id=", folder_id, " (", e.what(), ")\n"));
    ListNextAhead(walk);
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

  // The subfolders are walked next, in listing order, under their names as
  // they stand after de-duplication.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    if (!IsUsableLocalName(it->name)) continue;
    walk.stack.push_back(
        {local / platform::PathFromUtf8(platform::WideToUtf8(it->name)), it->id});
  }
  ListNextAhead(walk);

  const size_t entries = folders.size() + files.size();
  if (entries == 0) return true;

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
  if (!specs.empty() && !provider_usable_) {
    provider_usable_ = true;
    ListNextAhead(walk);
  }
  const size_t skipped = specs.size() - created + unusable;
  created_ += static_cast<int64_t>(created);
  skipped_ += static_cast<int64_t>(skipped);
  Out(Cat("  [", platform::PathToUtf8(local.filename()), "] created=", created, " skipped=", skipped,
          " (folders=", folders.size(), " files=", files.size(), ")\n"));
  return true;
}

}  // namespace zem::populate
