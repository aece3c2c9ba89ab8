// The upload workers: two threads that run the tasks of the agent's upload
// queue (sync/realtime/upload_queue.h): uploads of saved files, recycles of
// deleted ones, renames, and moves between folders.
//
// Each task is tried under the retry policy and then leaves the queue,
// whatever the outcome. A task read back after a crash runs again, but
// never makes a second copy on the service: an upload whose file already
// carries a file identity, or whose content the folder's listing already
// holds under its name, is not sent again.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "sync/realtime/upload_queue.h"

namespace zem {

// How long a stop keeps handing out the tasks still queued. A task that
// started runs to its end (bounded by the exchange time-outs and the retry
// waits); the tasks not started stay in the queue file.
inline constexpr std::chrono::seconds kStopDrainLimit{10};

// Runs one task. True when it reached its goal or had nothing left to do;
// false when the service refused it after the retries.
bool RunUploadTask(const UploadTask& task);

// Thread body: takes tasks from the agent's queue until it reports the end.
// An exception out of a task prints "[RT-WORKER-EXC] …" and the loop goes
// on. A task that fails while the queue is stopping ends the drain.
void UploadWorker();

// LoadQueue, then marks the files of the recovered renames, moves and
// recycles as changed locally (the poll cycle leaves them alone until their
// task has run).
void LoadUploadQueue(const std::filesystem::path& file);

// Owner of the worker threads.
// Starts `count` threads running UploadWorker.
void StartUploadWorkers(size_t count);
// Stops the queue (draining for at most `drain_limit`), joins the threads
// and returns the number of tasks left for the next start.
uint64_t StopUploadWorkers(std::chrono::steady_clock::duration drain_limit = kStopDrainLimit);

}  // namespace zem
