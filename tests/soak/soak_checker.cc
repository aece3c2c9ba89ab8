#include "tests/soak/soak_checker.h"

#include <algorithm>
#include <functional>

namespace zem::soak {
namespace {

std::string Short(const std::string& sha) { return sha.substr(0, 12); }

std::string IdOf(const std::string& identity, char kind) {
  if (identity.size() < 2 || identity[0] != kind || identity[1] != ':') return "";
  return identity.substr(2);
}

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

}  // namespace

void SoakModel::UserWrote(const std::string& sha, const std::string& note,
                          const std::string& old_sha) {
  if (!old_sha.empty() && old_sha != sha) {
    required.erase(old_sha);
    superseded.insert(old_sha);
  }
  required[sha] = note;
  superseded.erase(sha);
  known.insert(sha);
}

void SoakModel::UserDeleted(const std::string& sha) {
  required.erase(sha);
  superseded.insert(sha);
}

bool IsConflictCopyName(const std::string& path) {
  return path.find(" (冲突副本") != std::string::npos;
}

std::map<std::string, std::string> FolderPaths(const testing::Tree& tree) {
  std::map<std::string, const testing::TreeFolder*> by_id;
  for (const auto& f : tree.folders) by_id[f.id] = &f;
  std::map<std::string, std::string> paths{{"0", ""}};
  // Each folder's path is its parent's plus its name; a chain that does not
  // end at the root (or loops) gets no path.
  std::function<bool(const std::string&, int)> resolve = [&](const std::string& id, int depth) {
    if (paths.count(id)) return true;
    auto it = by_id.find(id);
    if (it == by_id.end() || depth > 64 || !resolve(it->second->parent_id, depth + 1)) return false;
    paths[id] = Join(paths[it->second->parent_id], it->second->name);
    return true;
  };
  for (const auto& f : tree.folders) resolve(f.id, 0);
  return paths;
}

CheckResult Check(const SoakModel& model, const testing::Tree& tree,
                  const std::vector<LocalItem>& local) {
  CheckResult r;
  const auto folder_paths = FolderPaths(tree);
  std::map<std::string, const testing::TreeFile*> file_by_id;
  std::set<std::string> live_shas, web_recycled_shas;
  // The file each service path shows: of several live files with one name the
  // newest (listed last) is the one the folder mirrors.
  std::map<std::string, const testing::TreeFile*> live_by_path;
  std::map<std::string, int> live_count_by_path;
  for (const auto& f : tree.files) {
    file_by_id[f.id] = &f;
    if (f.status == 1) {
      live_shas.insert(f.sha256);
      auto dir = folder_paths.find(f.folder_id);
      if (dir == folder_paths.end()) continue;
      const std::string path = Join(dir->second, f.name);
      live_by_path[path] = &f;
      ++live_count_by_path[path];
    } else if (model.web_recycled.count(f.id)) {
      web_recycled_shas.insert(f.sha256);
    }
  }
  std::map<std::string, const LocalItem*> local_by_path;
  std::set<std::string> local_shas;
  for (const auto& item : local) {
    local_by_path[item.path] = &item;
    if (!item.sha256.empty()) local_shas.insert(item.sha256);
  }

  // Every byte the user last wrote is somewhere: in the folder, live on the
  // service, or in the recycle bin because the web put it there.
  for (const auto& [sha, note] : model.required) {
    if (local_shas.count(sha) || live_shas.count(sha) || web_recycled_shas.count(sha)) continue;
    std::string where = "neither in the folder nor on the service";
    for (const auto& f : tree.files) {
      if (f.sha256 == sha && f.status == 2) {
        where = "only in the recycle bin (file id " + f.id + ", recycled by the agent)";
      }
    }
    r.findings.push_back("[LOST] content " + Short(sha) + " (" + note + ") is " + where);
  }

  // Recycled files: the web's own, or content the user replaced or deleted.
  for (const auto& f : tree.files) {
    if (f.status != 2 || model.web_recycled.count(f.id)) continue;
    if (model.superseded.count(f.sha256)) {
      ++r.lawful_recycles;
    } else if (live_shas.count(f.sha256) || web_recycled_shas.count(f.sha256)) {
      // A move between folders is an upload to the new folder plus a recycle
      // of the old file, and a duplicate upload may be cleaned up: the bytes
      // stay under another id (which the web may have recycled since).
      r.observations.push_back("[RECYCLED-KEPT] the agent recycled file " + f.id + " (" + f.name +
                               "), whose content the service keeps under another id");
    } else {
      r.findings.push_back("[RECYCLED] file " + f.id + " (" + f.name + ", content " +
                           Short(f.sha256) +
                           ") was recycled by the agent; the user never deleted or replaced it");
    }
  }

  // Placeholders marked in sync mirror the service exactly.
  for (const auto& item : local) {
    if (!item.is_placeholder || !item.in_sync) continue;
    if (item.is_dir) {
      const std::string id = IdOf(item.identity, 'D');
      if (id.empty()) continue;
      auto it = folder_paths.find(id);
      if (it == folder_paths.end()) {
        r.observations.push_back("[DIR-GONE] " + item.path + " mirrors folder " + id +
                                 ", which the service no longer has");
      } else if (it->second != item.path) {
        r.findings.push_back("[STALE-DIR] " + item.path + " mirrors folder " + id +
                             ", which the service holds at " + it->second);
      }
      continue;
    }
    const std::string id = IdOf(item.identity, 'F');
    if (id.empty()) continue;
    auto it = file_by_id.find(id);
    if (it == file_by_id.end() || it->second->status != 1) {
      r.findings.push_back("[STALE] " + item.path + " is in sync with file " + id +
                           ", which the service " +
                           (it == file_by_id.end() ? "does not have" : "holds in the recycle bin"));
      continue;
    }
    const testing::TreeFile& f = *it->second;
    auto dir = folder_paths.find(f.folder_id);
    const std::string service_path = dir == folder_paths.end() ? "?" : Join(dir->second, f.name);
    if (service_path != item.path) {
      r.findings.push_back("[STALE] " + item.path + " is in sync with file " + id +
                           ", which the service holds at " + service_path);
    } else if (item.logical_size != f.size) {
      r.findings.push_back("[STALE] " + item.path + " shows " + std::to_string(item.logical_size) +
                           " bytes, the service's file " + id + " has " + std::to_string(f.size));
    } else if (item.hydrated && !item.sha256.empty() && item.sha256 != f.sha256) {
      r.findings.push_back("[STALE] " + item.path + " holds content " + Short(item.sha256) +
                           ", the service's file " + id + " has " + Short(f.sha256));
    }
  }

  // Every service folder and file shows in the folder.
  for (const auto& [id, path] : folder_paths) {
    if (path.empty()) continue;
    auto it = local_by_path.find(path);
    if (it == local_by_path.end() || !it->second->is_dir) {
      r.findings.push_back("[MISSING-DIR] the service's folder " + id + " (" + path +
                           ") is not in the folder");
    }
  }
  for (const auto& [path, f] : live_by_path) {
    if (live_count_by_path[path] > 1) {
      r.observations.push_back("[DUP] the service holds " + std::to_string(live_count_by_path[path]) +
                               " live files named " + path);
    }
    auto it = local_by_path.find(path);
    if (it == local_by_path.end()) {
      // Moved by the user into a folder the service does not have: the
      // service keeps its copy where it was, and the user's copy there is
      // out of sync (a copy still in sync elsewhere is a move not followed).
      const auto kept = std::find_if(local_by_path.begin(), local_by_path.end(), [&](const auto& l) {
        return l.second->identity == "F:" + f->id && !l.second->in_sync;
      });
      if (kept != local_by_path.end()) {
        r.observations.push_back("[KEPT-ELSEWHERE] the service's file " + f->id + " (" + path +
                                 ") is the user's copy at " + kept->first);
      } else {
        r.findings.push_back("[MISSING] the service's file " + f->id + " (" + path +
                             ") is not in the folder");
      }
      continue;
    }
    const LocalItem& item = *it->second;
    if (item.is_dir) {
      r.observations.push_back("[NAME-CLASH] " + path + " is a folder here and file " + f->id +
                               " on the service");
    } else if (!item.is_placeholder) {
      r.observations.push_back("[PENDING] " + path + " is a plain file not yet uploaded or adopted");
    } else if (item.identity != "F:" + f->id && item.in_sync) {
      // An in-sync placeholder of another id that is not live here was
      // reported above; one that is an older live copy of the name is lawful.
      auto other = file_by_id.find(IdOf(item.identity, 'F'));
      if (other != file_by_id.end() && other->second->status == 1 &&
          other->second->folder_id == f->folder_id && other->second->name == f->name) {
        r.observations.push_back("[DUP] " + path + " shows the older copy " + item.identity);
      }
    } else if (!item.in_sync) {
      r.observations.push_back("[PENDING] " + path + " changed here (" + item.identity +
                               ") and differs from the service's file " + f->id);
    }
  }

  // Local files the service does not list, and content nobody wrote.
  for (const auto& item : local) {
    if (item.is_dir) {
      if (!item.is_placeholder) r.observations.push_back("[PLAIN-DIR] " + item.path);
      continue;
    }
    if (!item.sha256.empty() && !model.known.count(item.sha256)) {
      r.findings.push_back("[CORRUPT] " + item.path + " holds content " + Short(item.sha256) +
                           " that nobody wrote");
    }
    if (live_by_path.count(item.path)) continue;
    if (item.is_placeholder && item.in_sync) continue;  // reported above
    // A file in a folder the service has could have gone up; one in the
    // user's own folder cannot (the service cannot create folders).
    const size_t slash = item.path.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : item.path.substr(0, slash);
    bool in_service_folder = false;
    for (const auto& [id, path] : folder_paths) in_service_folder |= path == parent;
    const char* tag = IsConflictCopyName(item.path) ? "[CONFLICT-COPY] "
                      : in_service_folder           ? "[NOT-UPLOADED] "
                                                    : "[LOCAL-ONLY] ";
    r.observations.push_back(tag + item.path +
                             (item.identity.empty() ? "" : " (" + item.identity + ")"));
  }
  return r;
}

}  // namespace zem::soak
