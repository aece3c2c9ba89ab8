#include "platform/fetch_broker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/transfer_plan.h"

namespace zem::platform {
namespace {

using namespace std::chrono_literals;

// What the broker sent to the platform.
struct Sent {
  int64_t transfer;  // the platform key it went under
  uint32_t status;
  int64_t offset;
  int64_t length;
};

class Platform {
 public:
  FetchBroker::Execute Execute() {
    return [this](const TransferKey& key, uint32_t status, const void*, int64_t offset,
                  int64_t length) {
      std::lock_guard l(mu);
      sent.push_back({key.transfer, status, offset, length});
      return Status();
    };
  }
  std::vector<Sent> Of(int64_t transfer) {
    std::lock_guard l(mu);
    std::vector<Sent> out;
    for (const Sent& s : sent) {
      if (s.transfer == transfer) out.push_back(s);
    }
    return out;
  }
  size_t count() {
    std::lock_guard l(mu);
    return sent.size();
  }
  std::mutex mu;
  std::vector<Sent> sent;
};

// A gate a fetch callback waits at until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard l(mu_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock l(mu_);
    cv_.wait(l, [&] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

template <typename F>
bool Eventually(F f) {
  for (int i = 0; i < 500; ++i) {
    if (f()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return f();
}

FetchBroker::Window Win(int64_t file, int64_t transfer, int64_t offset, int64_t length) {
  FetchBroker::Window w;
  w.file = file;
  w.key = TransferKey{7, transfer, 0};
  w.offset = offset;
  w.length = length;
  return w;
}

FetchDataInfo Whole(int64_t size, const std::string& identity = "F:1") {
  FetchDataInfo info;
  info.identity = identity;
  info.file_size = size;
  return info;
}

constexpr int64_t kMiB = 1 << 20;

TEST(FetchBroker, WindowsOfOneFileShareOneWholeFileFetchThatRunsOffThePlatformsThread) {
  Platform platform;
  Gate gate;
  std::atomic<int> runs{0};
  std::vector<FetchDataInfo> infos;
  std::mutex infos_mu;
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> ran_on_caller{false};
  FetchBroker* broker_ptr = nullptr;
  FetchBroker broker(
      [&](const FetchDataInfo& info) {
        runs++;
        if (std::this_thread::get_id() == caller) ran_on_caller = true;
        {
          std::lock_guard l(infos_mu);
          infos.push_back(info);
        }
        gate.Wait();
        static const std::string piece(kMiB, 'x');
        for (int64_t at = 0; at < info.file_size; at += kMiB) {
          const int64_t n = std::min<int64_t>(kMiB, info.file_size - at);
          ASSERT_TRUE(broker_ptr->Transfer(info.key, kStatusSuccess, piece.data(), at, n).ok());
        }
      },
      platform.Execute(), 2);
  broker_ptr = &broker;
  const int64_t size = 3 * kMiB + 100;
  // The platform asks for the first window; the request returns while the
  // download has not even been let through.
  broker.Request(Win(1, 11, 0, 2 * kMiB), Whole(size));
  broker.Request(Win(1, 12, 2 * kMiB, size - 2 * kMiB), Whole(size));
  ASSERT_TRUE(Eventually([&] { return runs.load() == 1; }));
  gate.Open();
  ASSERT_TRUE(Eventually([&] { return platform.count() == 4; }));
  EXPECT_EQ(runs.load(), 1);  // one download for both windows
  EXPECT_FALSE(ran_on_caller.load());
  {
    std::lock_guard l(infos_mu);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].required_offset, 0);
    EXPECT_EQ(infos[0].required_length, size);
    EXPECT_EQ(infos[0].identity, "F:1");
  }
  // Every piece went under the first request's key, in accepted ranges; no
  // failure was sent for either window.
  const std::vector<Sent> sent = platform.Of(11);
  ASSERT_EQ(sent.size(), 4u);
  for (const Sent& s : sent) {
    EXPECT_EQ(s.status, kStatusSuccess);
    EXPECT_TRUE(IsAcceptedTransfer(size, s.offset, s.length));
  }
  EXPECT_TRUE(platform.Of(12).empty());
  // Once the fetch is over a new window starts a new one. Asked once, after
  // the first fetch has ended: a request repeated while polling could start
  // a third fetch once the second had finished.
  TransferKey first;
  {
    std::lock_guard l(infos_mu);
    first = infos[0].key;
  }
  ASSERT_TRUE(Eventually([&] { return !broker.Active(first); }));
  broker.Request(Win(1, 13, 0, 4096), Whole(size));
  ASSERT_TRUE(Eventually([&] { return runs.load() == 2; }));
  // Let the second download finish before the broker stops: stopping ends a
  // running fetch, and its callback's next transfer would be refused.
  ASSERT_TRUE(Eventually([&] { return platform.Of(13).size() == 4; }));
  TransferKey second;
  {
    std::lock_guard l(infos_mu);
    ASSERT_EQ(infos.size(), 2u);
    second = infos[1].key;
  }
  EXPECT_NE(second.request, first.request);
  ASSERT_TRUE(Eventually([&] { return !broker.Active(second); }));
  EXPECT_EQ(runs.load(), 2);
}

TEST(FetchBroker, FailuresNameWhatOfEachWindowHadNotArrived) {
  Platform platform;
  FetchBroker* b = nullptr;
  Gate gate;
  FetchBroker broker(
      [&](const FetchDataInfo& info) {
        gate.Wait();
        const std::string piece(kMiB, 'x');
        b->Transfer(info.key, kStatusSuccess, piece.data(), 0, kMiB);
        b->Transfer(info.key, kStatusSuccess, piece.data(), kMiB, kMiB);
        EXPECT_TRUE(b->Transfer(info.key, kStatusEndOfFile, nullptr, 2 * kMiB, 3 * kMiB).ok());
        // Ended: nothing more goes through.
        EXPECT_EQ(b->Transfer(info.key, kStatusSuccess, piece.data(), 2 * kMiB, kMiB).hresult(),
                  kHrInvalidKey);
        EXPECT_FALSE(b->Active(info.key));
      },
      platform.Execute(), 1);
  b = &broker;
  const int64_t size = 5 * kMiB + 10;
  broker.Request(Win(3, 21, 0, kMiB), Whole(size));                     // arrives whole
  broker.Request(Win(3, 22, kMiB + 4096 + 5, 3 * kMiB), Whole(size));   // arrives in part
  broker.Request(Win(3, 23, 4 * kMiB, kMiB + 10), Whole(size));         // ends the file
  gate.Open();
  ASSERT_TRUE(Eventually([&] { return platform.Of(23).size() == 1; }));
  EXPECT_TRUE(platform.Of(21).size() == 2);  // the data, under the first key
  const std::vector<Sent> second = platform.Of(22);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].status, kStatusEndOfFile);
  EXPECT_EQ(second[0].offset, 2 * kMiB);  // what had not arrived, from an aligned offset
  EXPECT_EQ(second[0].offset + second[0].length, AlignUp(kMiB + 4096 + 5 + 3 * kMiB));
  const std::vector<Sent> third = platform.Of(23);
  EXPECT_EQ(third[0].offset, 4 * kMiB);
  EXPECT_EQ(third[0].offset + third[0].length, size);
  for (const Sent& s : platform.sent) EXPECT_TRUE(IsAcceptedTransfer(size, s.offset, s.length));
}

TEST(FetchBroker, CancelledWindowsStopTheDownloadOnlyWhenNoneIsLeftWaiting) {
  Platform platform;
  FetchBroker* b = nullptr;
  std::atomic<bool> stopped_by_cancel{false};
  std::atomic<int> pieces_after_cancel{0};
  std::atomic<bool> cancelled{false};
  FetchBroker broker(
      [&](const FetchDataInfo& info) {
        // A download that polls between pieces, as hydration does.
        const std::string piece(4096, 'x');
        for (int64_t at = 0; at < info.file_size; at += 4096) {
          if (!b->Active(info.key)) {
            stopped_by_cancel = true;
            return;
          }
          const bool after = cancelled.load();
          if (b->Transfer(info.key, kStatusSuccess, piece.data(), at, 4096).ok() && after) {
            pieces_after_cancel++;
          }
          std::this_thread::sleep_for(2ms);
        }
      },
      platform.Execute(), 1);
  b = &broker;
  const int64_t size = 4096 * 2000;
  broker.Request(Win(5, 31, 0, 4096 * 1000), Whole(size));
  broker.Request(Win(5, 32, 4096 * 1000, 4096 * 1000), Whole(size));
  ASSERT_TRUE(Eventually([&] { return platform.count() >= 3; }));
  // One of the two is cancelled: the other still waits, the download goes on.
  EXPECT_EQ(broker.Cancel(5, 4096 * 1000, 4096 * 1000), 1u);
  const size_t before = platform.count();
  ASSERT_TRUE(Eventually([&] { return platform.count() > before + 3; }));
  EXPECT_FALSE(stopped_by_cancel.load());
  // A cancel that matches no waiting window changes nothing.
  EXPECT_EQ(broker.Cancel(5, 4096 * 1500, 4096), 0u);
  // The last one is cancelled: the download stops, nothing more is sent,
  // not even a failure.
  EXPECT_EQ(broker.Cancel(5, 0, 4096 * 1000), 1u);
  cancelled = true;
  const size_t at_cancel = platform.count();
  ASSERT_TRUE(Eventually([&] { return stopped_by_cancel.load(); }));
  EXPECT_EQ(platform.count(), at_cancel);
  EXPECT_EQ(pieces_after_cancel.load(), 0);
  for (const Sent& s : platform.sent) EXPECT_EQ(s.status, kStatusSuccess);
}

TEST(FetchBroker, BoundedPoolStopAndCallbacksThatDoNotAnswer) {
  Platform platform;
  Gate gate;
  std::atomic<int> running{0}, most{0}, runs{0};
  FetchBroker broker(
      [&](const FetchDataInfo& info) {
        const int now = ++running;
        int m = most.load();
        while (now > m && !most.compare_exchange_weak(m, now)) {
        }
        runs++;
        if (info.identity != "F:silent") gate.Wait();
        running--;
        // Returns without a single transfer.
      },
      platform.Execute(), 2);
  // A callback that returns without answering fails its window at once.
  broker.Request(Win(9, 90, 0, 8192), Whole(10000, "F:silent"));
  ASSERT_TRUE(Eventually([&] { return platform.Of(90).size() == 1; }));
  EXPECT_EQ(platform.Of(90)[0].status, kStatusUnsuccessful);
  EXPECT_EQ(platform.Of(90)[0].length, 8192);

  for (int64_t file = 10; file < 14; ++file) {
    broker.Request(Win(file, 100 + file, 0, 4096), Whole(4096));
  }
  ASSERT_TRUE(Eventually([&] { return running.load() == 2; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(running.load(), 2);  // the other two wait for a pool thread
  // Stop fails every waiting window (running and queued) and joins once the
  // running callbacks return.
  std::thread stopper([&] { broker.Stop(); });
  ASSERT_TRUE(Eventually([&] {
    for (int64_t file = 10; file < 14; ++file) {
      if (platform.Of(100 + file).size() != 1) return false;
    }
    return true;
  }));
  gate.Open();
  stopper.join();
  EXPECT_EQ(most.load(), 2);
  EXPECT_EQ(runs.load(), 3);  // the queued ones never started
  // After the stop a request fails at once.
  broker.Request(Win(20, 200, 0, 4096), Whole(4096));
  ASSERT_EQ(platform.Of(200).size(), 1u);
  EXPECT_EQ(platform.Of(200)[0].status, kStatusUnsuccessful);
}

TEST(SerialDispatcher, DeliversInPostOrderOnOneThreadOfItsOwnAndDrainsAtStop) {
  std::vector<int> seen;
  std::set<std::thread::id> threads;
  std::mutex mu;  // only for the test's own reading
  {
    SerialDispatcher d;
    std::atomic<int> next{0};
    std::mutex order_mu;  // makes "the order of posting" well defined across threads
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
      posters.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
          std::lock_guard l(order_mu);
          const int n = next++;
          d.Post([&, n] {
            if (n % 50 == 0) std::this_thread::sleep_for(1ms);  // slow handlers hold the rest back
            std::lock_guard l2(mu);
            seen.push_back(n);
            threads.insert(std::this_thread::get_id());
          });
        }
      });
    }
    for (auto& p : posters) p.join();
    d.Post([] { throw 1; });  // a throwing handler does not end the deliveries
    d.Post([&] {
      std::lock_guard l2(mu);
      seen.push_back(-1);
    });
    d.Stop();
    d.Post([&] { seen.push_back(-2); });  // after the stop: dropped
  }
  ASSERT_EQ(seen.size(), 801u);
  for (int i = 0; i < 800; ++i) ASSERT_EQ(seen[i], i);
  EXPECT_EQ(seen.back(), -1);
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

}  // namespace
}  // namespace zem::platform
