// UploadQueue: the real-time tasks (uploads of saved files, recycles of
// deleted ones, renames and moves) waiting for the two upload workers, kept
// in memory in FIFO order and mirrored to upload_queue.txt after every
// change, so that tasks waiting or running when the agent stops (or dies)
// run again after the next start.
//
// upload_queue.txt: one task per line, fields joined by '|', no escaping,
// the platform's line end, in the order the tasks run again after a restart:
// first the ones in flight (they started first), then the pending ones front
// to back. A new task that merges with nothing is appended as one line, so a
// change handler's cost does not grow with the queue; every other change
// rewrites the file whole (temporary file + rename). A last line without its
// line end (cut by a crash or a full disk) is ignored when loading:
//   <seq>|U|<path>|<folder id>                       upload
//   <seq>|R|<file id>[|<path>]                       recycle
//   <seq>|N|<file id>|<new name>[|<old path>|<new path>]   rename
//   <seq>|M|<file id>|<new path>|<folder id>[|<old path>]  move to another folder
//   <seq>|L|<file id>|<path>                         keep as a local copy
// Bracketed fields are optional, so lines written before they existed still
// load, and fields beyond those listed are ignored.
//
// Lock order: the queue's own mutex only; it is never held while calling
// out of this module (the file is written under it, by design: the file
// always matches the memory state after each operation).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zem {

enum class UploadTaskKind : int32_t {
  kUpload = 0,
  kRecycle = 1,
  kRename = 2,
  kMove = 3,
  // A file placeholder moved into a folder the service does not have: its
  // content is fetched and it stops being in sync, so it stays readable
  // whatever the service later does with its copy.
  kLocalCopy = 4,
};

struct UploadTask {
  uint64_t seq = 0;
  UploadTaskKind kind = UploadTaskKind::kUpload;
  // Upload: the file to send. Recycle: where the deleted file was (may be
  // empty). Rename, Move: the file's new full path.
  std::filesystem::path path;
  std::u16string folder_id;        // Upload, Move: the receiving folder
  std::string file_id;             // Recycle, Rename, Move: the service file
  std::u16string new_name;         // Rename: the new leaf name
  std::filesystem::path old_path;  // Rename, Move: where the file was
  // Read back from the queue file at start-up: it may have run (in part)
  // before the agent stopped. Not written to the file.
  bool recovered = false;

  bool operator==(const UploadTask&) const = default;
};

// One line of the queue file (without line end) and back. ParseQueueLine
// returns nothing for a line the loader rejects: fewer than two fields, a
// first field that does not start with a decimal number (leading white
// space allowed, trailing text ignored) or overflows 64 bits, an unknown
// kind letter, or too few fields for the kind (U 4, R 3, N 4, M 5, L 4).
std::string FormatQueueLine(const UploadTask& task);
std::optional<UploadTask> ParseQueueLine(std::string_view line);

class UploadQueue {
 public:
  // Sets the queue file and appends the tasks it lists (marked recovered,
  // with their stored seq; the next new seq follows the highest). A missing
  // or unreadable file adds nothing; rejected lines are skipped silently.
  // The file is not rewritten here. Creates the file's folder.
  void Load(const std::filesystem::path& file);

  // Assigns the next seq and appends the task, except that an Upload whose
  // path equals that of a pending Upload replaces that one in place (new
  // seq, new folder id). Dropped once Stop was called. Persists, wakes one
  // worker. Returns the seq given, or nothing when the task was dropped.
  std::optional<uint64_t> Enqueue(UploadTask task);

  // Blocks until a task is pending (then moves it in flight and returns it)
  // or the queue has stopped and has nothing left to hand out (returns
  // nothing: the worker ends). After Stop, pending tasks are still handed
  // out until the drain limit has passed or EndDrain was called.
  std::optional<UploadTask> TakeNext();

  // The worker is done with `seq` (whatever the outcome): it leaves the
  // in-flight set and the file.
  void FinishTask(uint64_t seq);

  // Stops taking tasks; workers drain what is pending for at most
  // `drain_limit`, then end. Wakes every waiting worker.
  void Stop(std::chrono::steady_clock::duration drain_limit);
  // Ends the drain at once (the service is failing; the rest waits in the
  // file for the next start). Only meaningful after Stop.
  void EndDrain();
  bool stopping() const;

  // Pending plus in flight.
  uint64_t Length() const;
  // In flight by seq, then pending front to back (the file's order).
  std::vector<UploadTask> Snapshot() const;

 private:
  void PersistLocked();
  void AppendLocked(const std::string& line);
  bool DrainOverLocked() const;

  // A task with its line of the queue file, formatted once: the file is
  // rewritten whole at every change, and formatting dominated that cost.
  struct Entry {
    UploadTask task;
    std::string line;
  };
  static Entry MakeEntry(UploadTask task);

  mutable std::mutex mu_;
  std::condition_variable wake_;
  std::deque<Entry> pending_;
  std::map<uint64_t, Entry> in_flight_;
  size_t file_bytes_ = 0;  // the length of the file's text, for one allocation
  // The file matches memory, so a new task can be appended; false until the
  // first whole write after Load and after any failed write.
  bool file_current_ = false;
  uint64_t next_seq_ = 0;
  std::filesystem::path file_;
  bool stopping_ = false;
  bool drain_ended_ = false;
  std::chrono::steady_clock::time_point drain_deadline_{};
};

// The agent's one queue, with the operations as the rest of the engine
// calls them.
UploadQueue& AgentUploadQueue();
void LoadQueue(const std::filesystem::path& file);
std::optional<uint64_t> Enqueue(UploadTask task);
std::optional<UploadTask> TakeNext();
void FinishTask(uint64_t seq);
void StopQueue(std::chrono::steady_clock::duration drain_limit);
uint64_t QueueLength();

}  // namespace zem
