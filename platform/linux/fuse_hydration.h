// Hydration of the Linux sync root: the fetches in flight, one per file.
//
// The first read of a file whose content is not on disk starts one fetch for
// the whole file: the connection's fetch-data callback runs on a thread of
// its own and hands the content over with TransferData, which writes it into
// the backing file. Readers wait only for their own range, so they stream
// behind the download; any number of readers share the fetch. When the whole
// file has arrived it is marked hydrated (user.zem.size removed, state bit
// set) and leaves the table; while it runs the file carries the fetching
// state bit, so content cut short by a crash is never taken for the file; later reads go straight to the backing file. A
// failed fetch fails its waiting readers with EIO, empties the backing file
// again (partial content is never served as the whole file) and leaves it
// not hydrated; the next read starts a new fetch. Bytes past the logical
// size fail the fetch.
//
// Lock order: Fetch::write_mu before HydrationTable::mu_. Nothing calls out
// (callbacks, the kernel) while holding mu_.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zem::platform::fusefs {

// Merged, sorted byte ranges [start, end).
class RangeSet {
 public:
  void Add(int64_t start, int64_t end);
  bool Covers(int64_t start, int64_t end) const;
  void Clear() { ranges_.clear(); }

 private:
  std::map<int64_t, int64_t> ranges_;  // start -> end
};

// What starting a fetch needs from the filesystem.
struct FetchStart {
  int backing_fd = -1;  // opened read-write on the backing file; owned by the fetch
  int64_t size = 0;     // logical size of the file
  std::string identity;
  std::string sha256;   // listed SHA-256 of the content, when known
  std::string full_path;
  uint32_t pid = 0;
  struct timespec mtime = {};  // restored when the fetch ends: hydration is no local change
};

class HydrationTable {
 public:
  // Runs the fetch-data callback for transfer `id` (on the fetch's thread).
  using FetchRunner = std::function<void(int64_t id, const FetchStart&)>;
  // Opens the backing file and reads its placeholder state under the
  // table's lock; returns 0 with `*hydrated` set when there is nothing to
  // fetch, or an errno.
  using FetchOpener = std::function<int(FetchStart* start, bool* hydrated)>;

  explicit HydrationTable(FetchRunner runner);
  ~HydrationTable();

  // Waits until [offset, offset + length) of the file `inode` has arrived,
  // starting a fetch when none runs. Returns 0 when the range (or the whole
  // file) is on disk, EIO when the fetch failed or the table is stopping,
  // or the opener's errno.
  int WaitForRange(ino_t inode, int64_t offset, int64_t length, const FetchOpener& opener);

  // Stores one transfer of fetch `id`. Returns 0 or an errno (ENOENT: no such
  // fetch any more).
  int Transfer(int64_t id, uint32_t status, const void* data, int64_t offset, int64_t length);

  // True while a fetch of `inode` runs (its on-disk size is then partial).
  bool InFlight(ino_t inode);

  // True while fetch `id` can take transfers (false once it failed, completed
  // or the table is stopping).
  bool Active(int64_t id);

  // Fails the fetch of `inode`, if one runs (its content is being replaced).
  void Abandon(ino_t inode);

  // Fails every fetch, refuses new ones and joins the fetch threads.
  void Stop();

 private:
  struct Fetch {
    int64_t id = 0;
    ino_t inode = 0;
    FetchStart start;
    std::mutex write_mu;  // serialises writes against the failure path
    RangeSet arrived;     // guarded by HydrationTable::mu_
    bool failed = false;  // guarded by HydrationTable::mu_
    bool done = false;    // guarded by HydrationTable::mu_
    ~Fetch();
  };

  void FailLocked(const std::shared_ptr<Fetch>& f);
  void FinishIfCompleteLocked(const std::shared_ptr<Fetch>& f);
  void RunFetch(std::shared_ptr<Fetch> f, std::shared_ptr<bool> finished);
  void ReapWorkersLocked(std::vector<std::thread>* out);

  FetchRunner runner_;
  std::mutex mu_;
  std::condition_variable arrived_cv_;
  std::map<ino_t, std::shared_ptr<Fetch>> by_inode_;
  std::map<int64_t, std::shared_ptr<Fetch>> by_id_;
  struct Worker {
    std::thread thread;
    std::shared_ptr<bool> finished;  // guarded by mu_
  };
  std::vector<Worker> workers_;  // reaped when new fetches start, joined by Stop
  int64_t next_id_ = 1;
  bool stopping_ = false;
};

}  // namespace zem::platform::fusefs
