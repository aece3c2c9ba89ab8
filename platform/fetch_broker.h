// One download per file for a platform that asks for file content in
// windows (the Cloud Files API asks for at most 1 GiB at a time, and may ask
// for the next window while the first is still arriving, or cancel a
// request), with the downloads run on the provider's own bounded pool of
// threads so that the platform's callback returns at once.
//
// The first window of a file starts one fetch for the whole file: the
// connection's fetch-data callback runs on a pool thread with
// required_offset 0 and required_length the file's size, as the FUSE
// provider asks. Later windows of the file wait for that fetch; each window
// is done once the fetch has handed over its range, and fails, when the
// fetch fails, for what of it had not arrived. A window the platform
// cancels stops waiting; when no window waits any more the fetch is
// cancelled: its download stops at its next piece and nothing more is sent.
//
// Portable (std::thread only): the Windows provider wraps it around
// CfExecute; its tests run on both platforms.
//
// Lock order: Fetch::send_mu before mu_. `run` is called without either,
// `execute` with send_mu only.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/cloud_files.h"

namespace zem::platform {

class FetchBroker {
 public:
  // One request of the platform: a window of a file and the keys its answer
  // needs.
  struct Window {
    int64_t file = 0;  // the file (Windows: its file id on the volume)
    TransferKey key;   // the platform's keys of this request
    int64_t offset = 0;
    int64_t length = 0;
  };
  // The connection's fetch-data callback.
  using Run = std::function<void(const FetchDataInfo&)>;
  // Hands data (or, with data null, a failure status) for `key` to the
  // platform.
  using Execute = std::function<Status(const TransferKey& key, uint32_t status, const void* data,
                                       int64_t offset, int64_t length)>;

  // Starts `workers` (at least 1) pool threads.
  FetchBroker(Run run, Execute execute, size_t workers);
  ~FetchBroker();  // Stop()
  FetchBroker(const FetchBroker&) = delete;
  FetchBroker& operator=(const FetchBroker&) = delete;

  // A window request. Returns at once: the window waits for the running
  // fetch of its file, or a new fetch described by `whole` (identity, path,
  // file_size, pid; offsets and key are set here) is queued for the pool.
  // After Stop the window fails at once.
  void Request(const Window& window, FetchDataInfo whole);

  // The platform cancelled its request for [offset, offset + length) of
  // `file`: the windows inside that range stop waiting (nothing is sent for
  // them); a fetch left with no waiting window is cancelled. Returns the
  // number of windows dropped.
  size_t Cancel(int64_t file, int64_t offset, int64_t length);

  // TransferData of a fetch (`key` as handed to the callback). Success: the
  // piece goes to the platform under the fetch's key, and the windows it
  // completes are done. A failure status fails every waiting window for
  // what of it had not arrived (aligned as a transfer), and ends the fetch.
  // kHrInvalidKey when the fetch is unknown, ended or cancelled.
  Status Transfer(const TransferKey& key, uint32_t status, const void* data, int64_t offset,
                  int64_t length);

  // True while the fetch of `key` can take transfers.
  bool Active(const TransferKey& key);

  // Refuses new requests, cancels every fetch, fails the waiting windows and
  // joins the pool (a running download stops at its next piece).
  // Idempotent.
  void Stop();

 private:
  struct Fetch {
    int64_t id = 0;
    int64_t file = 0;
    TransferKey key;         // the platform's keys of the first window
    FetchDataInfo info;      // what the callback gets
    std::vector<Window> waiting;
    int64_t delivered = 0;   // handed over from offset 0 without a gap; guarded by mu_
    bool ended = false;      // failed, cancelled or stopped; guarded by mu_
    // Held across one transfer to the platform, so that once Cancel or Stop
    // has returned nothing more is sent. Taken before mu_.
    std::mutex send_mu;
  };
  struct Failure {
    Window window;
    uint32_t status;
    int64_t file_size;
    int64_t delivered;
  };

  void Work();
  void FinishLocked(const std::shared_ptr<Fetch>& f);
  void FailWindows(const std::vector<Failure>& failures);
  static void TakeWaitingLocked(Fetch& f, uint32_t status, std::vector<Failure>* out);

  Run run_;
  Execute execute_;
  std::mutex mu_;
  std::condition_variable work_cv_;
  std::deque<std::shared_ptr<Fetch>> queue_;          // guarded by mu_
  std::map<int64_t, std::shared_ptr<Fetch>> by_id_;   // guarded by mu_
  std::map<int64_t, std::shared_ptr<Fetch>> by_file_; // the file's current fetch; guarded by mu_
  int64_t next_id_ = 1;                               // guarded by mu_
  bool stopping_ = false;                             // guarded by mu_
  std::vector<std::thread> workers_;
};

// Runs tasks one after another, in the order they were posted, on one
// thread of its own: the change completions of a connection, delivered in
// the order the platform reported them, never on the platform's thread.
// Thread-safe.
class SerialDispatcher {
 public:
  SerialDispatcher();
  ~SerialDispatcher();  // Stop()
  SerialDispatcher(const SerialDispatcher&) = delete;
  SerialDispatcher& operator=(const SerialDispatcher&) = delete;

  // Queues `task` behind everything posted before it. Dropped after Stop.
  void Post(std::function<void()> task);
  // Runs what was posted, then joins the thread. Idempotent; not from a task.
  void Stop();

 private:
  void Loop();

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;  // guarded by mu_
  bool stopping_ = false;                    // guarded by mu_
  std::thread thread_;
};

}  // namespace zem::platform
