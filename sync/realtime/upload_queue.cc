#include "sync/realtime/upload_queue.h"

#include <memory>
#include <system_error>

#include "common/atomic_file.h"
#include "common/cat.h"
#include "platform/text.h"
#include "sync/state/state_text.h"

namespace zem {
namespace {

std::string Utf8(const std::filesystem::path& p) { return platform::PathToUtf8(p); }
std::string Wide8(std::u16string_view s) { return platform::WideToUtf8(s); }

}  // namespace

std::string FormatQueueLine(const UploadTask& t) {
  switch (t.kind) {
    case UploadTaskKind::kUpload:
      return Cat(t.seq, "|U|", Utf8(t.path), "|", Wide8(t.folder_id));
    case UploadTaskKind::kRecycle:
      return t.path.empty() ? Cat(t.seq, "|R|", t.file_id)
                            : Cat(t.seq, "|R|", t.file_id, "|", Utf8(t.path));
    case UploadTaskKind::kRename:
      return Cat(t.seq, "|N|", t.file_id, "|", Wide8(t.new_name), "|", Utf8(t.old_path), "|",
                 Utf8(t.path));
    case UploadTaskKind::kMove:
      return Cat(t.seq, "|M|", t.file_id, "|", Utf8(t.path), "|", Wide8(t.folder_id), "|",
                 Utf8(t.old_path));
    case UploadTaskKind::kLocalCopy:
      return Cat(t.seq, "|L|", t.file_id, "|", Utf8(t.path));
  }
  return {};
}

std::optional<UploadTask> ParseQueueLine(std::string_view line) {
  const std::vector<std::string_view> f = SplitStateFields(line);
  if (f.size() < 2) return std::nullopt;
  UploadTask t;
  if (!ParseLeadingUint64(f[0], &t.seq)) return std::nullopt;
  if (f[1] == "U" && f.size() >= 4) {
    t.kind = UploadTaskKind::kUpload;
    t.path = platform::PathFromUtf8(f[2]);
    t.folder_id = platform::Utf8ToWide(f[3]);
  } else if (f[1] == "R" && f.size() >= 3) {
    t.kind = UploadTaskKind::kRecycle;
    t.file_id = std::string(f[2]);
    if (f.size() >= 4) t.path = platform::PathFromUtf8(f[3]);
  } else if (f[1] == "N" && f.size() >= 4) {
    t.kind = UploadTaskKind::kRename;
    t.file_id = std::string(f[2]);
    t.new_name = platform::Utf8ToWide(f[3]);
    if (f.size() >= 6) {
      t.old_path = platform::PathFromUtf8(f[4]);
      t.path = platform::PathFromUtf8(f[5]);
    }
  } else if (f[1] == "M" && f.size() >= 5) {
    t.kind = UploadTaskKind::kMove;
    t.file_id = std::string(f[2]);
    t.path = platform::PathFromUtf8(f[3]);
    t.folder_id = platform::Utf8ToWide(f[4]);
    if (f.size() >= 6) t.old_path = platform::PathFromUtf8(f[5]);
  } else if (f[1] == "L" && f.size() >= 4) {
    t.kind = UploadTaskKind::kLocalCopy;
    t.file_id = std::string(f[2]);
    t.path = platform::PathFromUtf8(f[3]);
  } else {
    return std::nullopt;
  }
  return t;
}

UploadQueue::Entry UploadQueue::MakeEntry(UploadTask task) {
  Entry e{std::move(task), {}};
  AppendStateLine(e.line, FormatQueueLine(e.task));
  return e;
}

void UploadQueue::Load(const std::filesystem::path& file) {
  std::lock_guard lock(mu_);
  file_ = file;
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);  // errors ignored
  std::string text;
  if (!ReadWholeFile(file, &text)) return;  // first start
  // A line cut short by a crash during an append carries no line end.
  text.erase(text.find_last_of('\n') == std::string::npos ? 0 : text.find_last_of('\n') + 1);
  for (std::string_view line : SplitStateLines(text)) {
    if (line.empty()) continue;
    std::optional<UploadTask> task = ParseQueueLine(line);
    if (!task) continue;
    task->recovered = true;
    if (task->seq >= next_seq_) next_seq_ = task->seq + 1;
    pending_.push_back(MakeEntry(std::move(*task)));
    file_bytes_ += pending_.back().line.size();
  }
}

std::optional<uint64_t> UploadQueue::Enqueue(UploadTask task) {
  std::unique_lock lock(mu_);
  if (stopping_) return std::nullopt;
  task.seq = next_seq_++;
  const uint64_t seq = task.seq;
  Entry entry = MakeEntry(std::move(task));
  file_bytes_ += entry.line.size();
  bool merged = false;
  if (entry.task.kind == UploadTaskKind::kUpload) {
    for (Entry& p : pending_) {
      if (p.task.kind == UploadTaskKind::kUpload &&
          p.task.path.native() == entry.task.path.native()) {
        file_bytes_ -= p.line.size();
        p = std::move(entry);
        merged = true;
        break;
      }
    }
  }
  if (merged) {
    PersistLocked();
  } else {
    pending_.push_back(std::move(entry));
    AppendLocked(pending_.back().line);
  }
  lock.unlock();
  wake_.notify_one();
  return seq;
}

bool UploadQueue::DrainOverLocked() const {
  return stopping_ && (drain_ended_ || std::chrono::steady_clock::now() >= drain_deadline_);
}

std::optional<UploadTask> UploadQueue::TakeNext() {
  std::unique_lock lock(mu_);
  wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
  if (pending_.empty() || DrainOverLocked()) return std::nullopt;
  Entry entry = std::move(pending_.front());
  pending_.pop_front();
  UploadTask task = entry.task;
  in_flight_.emplace(task.seq, std::move(entry));
  // The file is not rewritten: the task is listed whether pending or running.
  return task;
}

void UploadQueue::FinishTask(uint64_t seq) {
  std::lock_guard lock(mu_);
  const auto it = in_flight_.find(seq);
  if (it == in_flight_.end()) return;
  file_bytes_ -= it->second.line.size();
  in_flight_.erase(it);
  PersistLocked();
}

void UploadQueue::Stop(std::chrono::steady_clock::duration drain_limit) {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    drain_deadline_ = std::chrono::steady_clock::now() + drain_limit;
  }
  wake_.notify_all();
}

void UploadQueue::EndDrain() {
  std::lock_guard lock(mu_);
  drain_ended_ = true;
}

bool UploadQueue::stopping() const {
  std::lock_guard lock(mu_);
  return stopping_;
}

uint64_t UploadQueue::Length() const {
  std::lock_guard lock(mu_);
  return pending_.size() + in_flight_.size();
}

std::vector<UploadTask> UploadQueue::Snapshot() const {
  std::lock_guard lock(mu_);
  std::vector<UploadTask> out;
  out.reserve(pending_.size() + in_flight_.size());
  for (const auto& [seq, e] : in_flight_) out.push_back(e.task);
  for (const Entry& e : pending_) out.push_back(e.task);
  return out;
}

void UploadQueue::PersistLocked() {
  if (file_.empty()) return;
  std::string text;
  text.reserve(file_bytes_);
  for (const auto& [seq, e] : in_flight_) text += e.line;
  for (const Entry& e : pending_) text += e.line;
  // A failed write keeps the previous file; memory stays authoritative and
  // the next change writes the whole queue again.
  file_current_ = WriteFileAtomically(file_, text);
}

void UploadQueue::AppendLocked(const std::string& line) {
  if (file_.empty()) return;
  if (!file_current_) return PersistLocked();  // also creates the file privately
  // Taking a task moves it in flight without a write: the file's order
  // (in flight, then pending) holds because tasks are taken from the front.
  file_current_ = AppendToFile(file_, line);
}

namespace {
std::unique_ptr<UploadQueue>& AgentQueuePtr() {
  static std::unique_ptr<UploadQueue> q = std::make_unique<UploadQueue>();
  return q;
}
}  // namespace

UploadQueue& AgentUploadQueue() { return *AgentQueuePtr(); }
void LoadQueue(const std::filesystem::path& file) { AgentUploadQueue().Load(file); }
std::optional<uint64_t> Enqueue(UploadTask task) { return AgentUploadQueue().Enqueue(std::move(task)); }
std::optional<UploadTask> TakeNext() { return AgentUploadQueue().TakeNext(); }
void FinishTask(uint64_t seq) { AgentUploadQueue().FinishTask(seq); }
void StopQueue(std::chrono::steady_clock::duration drain_limit) {
  AgentUploadQueue().Stop(drain_limit);
}
uint64_t QueueLength() { return AgentUploadQueue().Length(); }
void ResetUploadQueueForTest() { AgentQueuePtr() = std::make_unique<UploadQueue>(); }

}  // namespace zem
