#include "tests/soak/soak_driver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "platform/cloud_files.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "service/testing/zemd_harness.h"
#include "tests/soak/soak_checker.h"
#include "tests/support/temp_home.h"

namespace zem::soak {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kApi = "/zem/api/cloud-disk/";
// The service paths the agent calls, the busy ones more than once so that
// faults land where the traffic is.
const char* const kFaultPaths[] = {"folder/list", "folder/list", "file/upload-simple",
                                   "file/upload-simple", "file/download", "file/download",
                                   "file/recycle", "file/rename", "file/list",
                                   "share/shared-to-me"};
const char* const kFaultKinds[] = {"status", "business", "cut", "drop", "delay", "trickle"};
const int kStatuses[] = {500, 502, 503, 429};
// Few names, so that users and the web keep meeting on the same ones.
const char* const kNames[] = {"a.txt", "b.txt", "报告.txt", "c d.md", "数据 2.csv",
                              "e.log", "f.bin", "笔记.txt", "g.txt"};

std::string Utf8(const fs::path& p) {
  const auto u8 = p.generic_u8string();
  return std::string(u8.begin(), u8.end());
}

fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

bool ReadFile(const fs::path& p, std::string* out) {
  std::FILE* f = std::fopen(p.c_str(), "rb");
  if (!f) return false;
  out->clear();
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// One write call for the whole content, so a failure leaves as little as it can.
bool WriteFile(const fs::path& p, const std::string& content, bool append) {
  std::FILE* f = std::fopen(p.c_str(), append ? "ab" : "wb");
  if (!f) return false;
  std::setvbuf(f, nullptr, _IONBF, 0);
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

std::string Sha(const std::string& bytes) { return platform::Sha256HexOf(bytes); }

// Says so on standard output when one phase or step of the run has taken
// longer than a minute (a read stuck in the kernel cannot be interrupted, so
// this is how a hang shows in the test's output before its time-out).
class Watchdog {
 public:
  explicit Watchdog(uint64_t seed) : seed_(seed), thread_([this] { Loop(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void Beat(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu_);
    what_ = what;
    since_ = Clock::now();
    reported_ = false;
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
      cv_.wait_for(lock, std::chrono::seconds(5));
      if (!stop_ && !reported_ && Clock::now() - since_ > std::chrono::seconds(60)) {
        std::printf("[SOAK] seed %llu: %s has not finished after 60 s\n",
                    static_cast<unsigned long long>(seed_), what_.c_str());
        std::fflush(stdout);
        reported_ = true;
      }
    }
  }

  const uint64_t seed_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false, reported_ = false;
  std::string what_ = "set-up";
  Clock::time_point since_ = Clock::now();
  std::thread thread_;  // last: starts once the members above exist
};

class Soak {
 public:
  explicit Soak(const RunLimits& limits) : limits_(limits), rng_(limits.seed) {
    report_.seed = limits.seed;
  }

  RunReport Run() {
    const auto start = Clock::now();
    if (Setup()) {
      Chaos();
      Settle();
      StopAndCheck();
    }
    report_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!report_.findings.empty()) KeepLogs();
    return report_;
  }

 private:
  // ---- randomness -------------------------------------------------------
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : rng_() % n; }
  int64_t Between(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(Below(hi - lo + 1)); }
  template <typename T, size_t N>
  const T& Pick(const T (&items)[N]) { return items[Below(N)]; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) { return items[Below(items.size())]; }

  // Content nobody else ever wrote: a header naming the seed and step, then
  // random letters; mostly small, sometimes large enough for a slow transfer.
  std::string NewContent(const std::string& what) {
    std::string s = "soak seed " + std::to_string(limits_.seed) + " step " +
                    std::to_string(report_.steps) + " " + what + " " +
                    std::to_string(++contents_) + "\n";
    const uint64_t roll = Below(100);
    const int64_t size = roll < 70 ? Between(16, 2000) : roll < 95 ? Between(2000, 65536)
                                                                    : Between(65536, 400000);
    for (int64_t i = 0; i < size; ++i) s += static_cast<char>('a' + Below(26));
    s += '\n';
    return s;
  }

  // ---- the programs -----------------------------------------------------
  fs::path Docs() const { return home_.sync_root() / PathOf("我的文档"); }
  fs::path RunDir() const { return home_.root() / "soak"; }

  bool RunTool(const std::string& program, const std::vector<std::string>& args) {
    const auto r = platform::RunProcess(testing::ProgramPath(program), args, home_.Options());
    if (r.exit_code == 0) return true;
    Finding("[SETUP] " + program + " exited with " + std::to_string(r.exit_code) + ": " + r.out +
            r.err);
    return false;
  }

  void StartAgent() {
    auto options = home_.Options();
    options.env["ZEM_POLL_INTERVAL_MS"] = std::to_string(limits_.poll_ms);
    agent_ = std::make_unique<platform::BackgroundProcess>();
    if (!agent_->Start(testing::ProgramPath("corvane"), {}, options, RunDir() / "agent.out",
                       RunDir() / "agent.err")
             .ok()) {
      Finding("[START] corvane could not be started");
      agent_.reset();
      return;
    }
    ++report_.restarts;
    Journal("start corvane pid " + std::to_string(agent_->pid()));
  }

  // kill -9; true when the agent had to be started again at once.
  bool KillAgent() {
    if (!agent_) return false;
    Journal("kill -9 corvane pid " + std::to_string(agent_->pid()));
    ++report_.kills;
    agent_->Kill();
    // A killed FUSE server may end only once its dead mount is aborted, which
    // the next start does; until then every access to the folder hangs, so
    // the agent is started again at once, as systemd would. Whether the old
    // one ended is checked at the end.
    if (agent_->running()) {
      // Where its threads wait (the leader may already be a zombie).
      std::string wchan;
      std::error_code ec;
      const fs::path tasks = fs::path("/proc") / std::to_string(agent_->pid()) / "task";
      for (fs::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string w = ReadText(it->path() / "wchan");
        if (!w.empty() && w != "0" && wchan.find(w) == std::string::npos) {
          wchan += (wchan.empty() ? "" : ", ") + w;
        }
      }
      report_.observations.push_back("[KILL-HANG] corvane pid " + std::to_string(agent_->pid()) +
                                     " was still ending 2 s after kill -9 (waiting in " +
                                     (wchan.empty() ? "?" : wchan) +
                                     "); the folder hangs until the next start");
      Journal(report_.observations.back());
      lingering_.push_back(std::move(agent_));
      agent_.reset();
      StartAgent();
      return true;
    }
    agent_.reset();
    return false;
  }

  // An agent that ended by itself is a finding; it is started again.
  void WatchAgent() {
    int code;
    if (agent_ && agent_->running() && agent_->Wait(0, code)) {
      Finding("[EXIT] corvane ended by itself with status " + std::to_string(code) +
              " at step " + std::to_string(report_.steps) + "; log tail:\n" + LogTail(1500));
      agent_.reset();
      StartAgent();
    }
  }

  std::string ReadText(const fs::path& p) { return testing::TempHome::Read(p); }

  std::string LogTail(size_t bytes) {
    const std::string log = ReadText(home_.agent_log());
    return log.size() > bytes ? log.substr(log.size() - bytes) : log;
  }

  // Finished poll cycles seen in the agent's log so far.
  size_t Cycles() {
    std::ifstream in(home_.agent_log(), std::ios::binary);
    in.seekg(0, std::ios::end);
    const auto end_pos = in.tellg();
    if (!in || end_pos < 0) return cycles_;  // no log yet
    const auto size = static_cast<uint64_t>(end_pos);
    if (size < log_offset_) log_offset_ = 0;  // rotated at a start
    in.seekg(static_cast<std::streamoff>(log_offset_));
    std::string chunk(size - log_offset_, '\0');
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const size_t end = chunk.rfind('\n');
    if (end == std::string::npos) return cycles_;
    for (size_t at = chunk.find("[SYNC] cycle:"); at != std::string::npos && at < end;
         at = chunk.find("[SYNC] cycle:", at + 1)) {
      ++cycles_;
    }
    log_offset_ += end + 1;
    return cycles_;
  }

  bool WaitCycles(size_t n, int seconds) {
    const size_t target = Cycles() + n;
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Cycles() < target) {
      WatchAgent();
      if (Clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
  }

  // ---- bookkeeping ------------------------------------------------------
  void Finding(const std::string& text) {
    report_.findings.push_back(text);
    Journal("FINDING " + text);
  }

  void Journal(const std::string& line) {
    journal_ += std::to_string(report_.steps) + " " + line + "\n";
  }

  // Reads the request log since the last visit: what the agent sent, which
  // faults hit. The service keeps only the last 10,000 records, so this runs
  // every few steps.
  void PumpRequests() {
    for (const auto& r : zemd_.Requests(last_seq_)) {
      last_seq_ = std::max(last_seq_, r.seq);
      if (!r.fault.empty()) ++report_.faults_hit;
      const auto ends = [&](const std::string& s) {
        return r.path.size() >= s.size() && r.path.compare(r.path.size() - s.size(), s.size(), s) == 0;
      };
      if (ends("file/upload-simple") && r.status == 200 && r.fault.empty()) ++report_.uploads;
      if (ends("file/recycle")) ++report_.recycles;
      if (ends("file/download")) ++report_.downloads;
      if (ends("file/upload-simple") || ends("file/recycle") || ends("file/rename")) {
        last_change_seq_ = r.seq;
      }
    }
  }

  // ---- set-up -----------------------------------------------------------
  bool Setup() {
    fs::create_directories(RunDir());
    if (!zemd_.ok()) {
      Finding("[SETUP] zemd: " + zemd_.error());
      return false;
    }
    home_.WriteConfig("{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(zemd_.port()) + "}");
    if (!RunTool("register", {}) || !RunTool("keygate", {"--token", zemd_.token()})) return false;
    const std::string a = zemd_.CreateFolder("0", "A");
    const std::string b = zemd_.CreateFolder("0", "B");
    const std::string c = a.empty() ? "" : zemd_.CreateFolder(a, "C");
    if (b.empty() || c.empty()) {
      Finding("[SETUP] seeding folders: " + zemd_.last_admin_error());
      return false;
    }
    const std::pair<std::string, std::string> seeds[] = {
        {"0", "a.txt"}, {a, "b.txt"}, {b, "报告.txt"}, {c, "e.log"}, {"0", "笔记.txt"}};
    for (const auto& [folder, name] : seeds) WebAdd(folder, name);
    StartAgent();
    if (!WaitCycles(1, 60)) {
      Finding("[START] no finished poll cycle within 60 s of the first start; log tail:\n" +
              LogTail(2000));
      return false;
    }
    return true;
  }

  // ---- the random phase -------------------------------------------------
  void Chaos() {
    const auto until = Clock::now() + std::chrono::seconds(limits_.seconds);
    int restart_at = -1;
    while (Clock::now() < until && report_.steps < limits_.max_steps) {
      ++report_.steps;
      watchdog_.Beat("step " + std::to_string(report_.steps));
      WatchAgent();
      if (!agent_ && report_.steps >= restart_at) StartAgent();
      const uint64_t roll = Below(1000);
      if (roll < 15) {
        if (agent_) {
          const uint64_t delay = Below(6);  // drawn either way, so a seed stays one sequence
          if (!KillAgent()) restart_at = report_.steps + static_cast<int>(delay);
        }
      } else if (roll < 160) {
        InjectFault();
      } else if (roll < 320) {
        WebOp();
      } else {
        UserOp();
      }
      if (report_.steps % 16 == 0) PumpRequests();
      std::this_thread::sleep_for(std::chrono::milliseconds(Between(30, 250)));
    }
    if (!agent_) StartAgent();
  }

  void InjectFault() {
    testing::FaultRule f;
    f.path = std::string(kApi) + Pick(kFaultPaths);
    f.kind = Pick(kFaultKinds);
    f.count = static_cast<int>(Between(1, 3));
    f.status = Pick(kStatuses);
    if (f.kind == "cut") f.after_bytes = Between(0, 200);
    if (f.kind == "delay") f.delay_ms = Between(100, 2500);
    if (f.kind == "trickle") {
      f.chunk_bytes = Between(512, 8192);
      f.interval_ms = Between(10, 60);
    }
    if (zemd_.InjectFault(f)) {
      ++report_.faults;
      Journal("fault " + f.kind + " x" + std::to_string(f.count) + " on " + f.path);
    }
  }

  // ---- web operations ---------------------------------------------------
  std::string WebAdd(const std::string& folder, const std::string& name) {
    const std::string content = NewContent("web");
    const std::string id = zemd_.CreateFile(folder, name, content);
    if (!id.empty()) model_.known.insert(Sha(content));
    return id;
  }

  void WebOp() {
    const testing::Tree tree = zemd_.GetTree();
    std::vector<std::string> folders{"0"};
    for (const auto& g : tree.folders) folders.push_back(g.id);
    std::vector<const testing::TreeFile*> live;
    for (const auto& f : tree.files) {
      if (f.status == 1) live.push_back(&f);
    }
    const auto taken = [&](const std::string& folder, const std::string& name) {
      for (const auto& f : tree.files) {
        if (f.status == 1 && f.folder_id == folder && f.name == name) return true;
      }
      for (const auto& g : tree.folders) {
        if (g.parent_id == folder && g.name == name) return true;
      }
      return false;
    };
    ++report_.web_ops;
    const uint64_t kind = live.empty() ? 0 : Below(5);
    if (kind == 0) {
      const std::string folder = Pick(folders), name = Pick(kNames);
      if (taken(folder, name)) return;
      Journal("web add " + folder + "/" + name + " -> " + WebAdd(folder, name));
      return;
    }
    const testing::TreeFile& f = *Pick(live);
    if (kind == 1) {
      const std::string name = Pick(kNames);
      if (taken(f.folder_id, name)) return;
      Journal("web rename " + f.id + " " + f.name + " -> " + name);
      zemd_.Rename(f.id, name);
    } else if (kind == 2) {
      const std::string folder = Pick(folders);
      if (folder == f.folder_id || taken(folder, f.name)) return;
      Journal("web move " + f.id + " " + f.name + " -> folder " + folder);
      zemd_.Move(f.id, folder);
    } else if (kind == 3) {
      Journal("web recycle " + f.id + " " + f.name);
      if (zemd_.Recycle(f.id)) model_.web_recycled.insert(f.id);
    } else {
      const std::string id = WebAdd(f.folder_id, f.name);
      Journal("web new version of " + f.id + " " + f.name + " -> " + id);
      if (!id.empty() && zemd_.Recycle(f.id)) model_.web_recycled.insert(f.id);
    }
  }

  // ---- user operations --------------------------------------------------
  // The files and folders the user sees under 我的文档; false when the
  // folder cannot be listed (a dead mount).
  bool ListDocs(std::vector<fs::path>* files, std::vector<fs::path>* dirs) {
    std::error_code ec;
    dirs->push_back(Docs());
    fs::recursive_directory_iterator it(Docs(), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      std::error_code type_ec;
      if (it->is_directory(type_ec)) {
        dirs->push_back(it->path());
      } else if (it->is_regular_file(type_ec)) {
        files->push_back(it->path());
      }
    }
    return !ec;
  }

  std::string Rel(const fs::path& p) const { return Utf8(p.lexically_relative(Docs())); }

  void UserFailed(const std::string& what, const fs::path& p) {
    ++report_.user_ops_failed;
    Journal("user " + what + " " + Rel(p) + " failed");
  }

  void UserOp() {
    std::vector<fs::path> files, dirs;
    ++report_.user_ops;
    if (!ListDocs(&files, &dirs)) {
      ++report_.user_ops_failed;
      Journal("user: cannot list the folder");
      return;
    }
    const uint64_t roll = Below(100);
    if (roll < 20 || files.empty()) {
      const fs::path p = Pick(dirs) / PathOf(Pick(kNames));
      std::error_code ec;
      if (fs::exists(p, ec)) return Write(p, false);
      return Create(p);
    }
    const fs::path p = Pick(files);
    if (roll < 32) return Write(p, false);
    if (roll < 44) return Write(p, true);
    if (roll < 50) return Truncate(p);
    if (roll < 60) return Rename(p, p.parent_path() / PathOf(Pick(kNames)));
    if (roll < 70) return Rename(p, Pick(dirs) / p.filename());
    if (roll < 80) return Delete(p);
    if (roll < 98) return Read(p);
    if (local_dirs_ < 1) {
      const fs::path d = Pick(dirs) / PathOf("本地文件夹 " + std::to_string(++local_dirs_));
      std::error_code ec;
      fs::create_directory(d, ec);
      Journal("user mkdir " + Rel(d) + (ec ? " failed" : ""));
    }
  }

  void Create(const fs::path& p) {
    const std::string content = NewContent("user create");
    if (!WriteFile(p, content, false)) return FailedWrite("create", p, "", content);
    Wrote("create", p, "", content);
  }

  // Overwrites (or appends to) a file the user has just read.
  void Write(const fs::path& p, bool append) {
    std::string old;
    if (!ReadFile(p, &old)) return UserFailed("read before writing", p);
    const std::string chunk = NewContent(append ? "user append" : "user write");
    if (!WriteFile(p, chunk, append)) return FailedWrite(append ? "append" : "write", p, old, chunk);
    Wrote(append ? "append" : "write", p, old, append ? old + chunk : chunk);
  }

  void Truncate(const fs::path& p) {
    std::string old;
    if (!ReadFile(p, &old)) return UserFailed("read before truncating", p);
    const size_t header = old.find('\n');
    if (header == std::string::npos || header + 2 >= old.size()) return;
    const size_t size = static_cast<size_t>(Between(static_cast<int64_t>(header + 1),
                                                    static_cast<int64_t>(old.size() - 1)));
    std::error_code ec;
    fs::resize_file(p, size, ec);
    if (ec) return UserFailed("truncate", p);
    Wrote("truncate", p, old, old.substr(0, size));
  }

  // What the user now has in `p` is what they last wrote; it replaced `old`.
  // The file is read back: the engine may have swapped a placeholder's
  // content between the user's read and write.
  void Wrote(const std::string& what, const fs::path& p, const std::string& old,
             const std::string& intended) {
    std::string now;
    std::string content = intended;
    if (ReadFile(p, &now) && now != intended) {
      Journal("user " + what + " " + Rel(p) + ": read back " + std::to_string(now.size()) +
              " bytes, not the " + std::to_string(intended.size()) + " written");
      content = now;
    }
    const std::string note = "user " + what + " of " + Rel(p) + " at step " +
                             std::to_string(report_.steps);
    model_.known.insert(Sha(content));
    model_.UserWrote(Sha(content), note, old.empty() ? "" : Sha(old));
    Journal(note + " -> " + Sha(content).substr(0, 12) + " (" + std::to_string(content.size()) +
            " bytes)");
  }

  // A write that failed may have left any part of it: every 4 KiB prefix
  // counts as content someone wrote; what the user had before is replaced.
  void FailedWrite(const std::string& what, const fs::path& p, const std::string& old,
                   const std::string& chunk) {
    const bool append = what == "append";
    const std::string base = append ? old : "";
    for (size_t n = 0; n <= chunk.size(); n += 4096) model_.known.insert(Sha(base + chunk.substr(0, n)));
    model_.known.insert(Sha(base + chunk));
    if (!old.empty()) model_.UserDeleted(Sha(old));
    UserFailed(what, p);
  }

  void Rename(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    if (from == to || fs::exists(to, ec)) return;
    fs::rename(from, to, ec);
    if (ec) return UserFailed("rename", from);
    Journal("user rename " + Rel(from) + " -> " + Rel(to));
  }

  void Delete(const fs::path& p) {
    std::string old;
    if (!ReadFile(p, &old)) return UserFailed("read before deleting", p);
    std::error_code ec;
    fs::remove(p, ec);
    if (ec) return UserFailed("delete", p);
    model_.UserDeleted(Sha(old));
    Journal("user delete " + Rel(p) + " (" + Sha(old).substr(0, 12) + ")");
  }

  void Read(const fs::path& p) {
    std::string content;
    ++report_.reads;
    if (!ReadFile(p, &content)) return UserFailed("read", p);
    if (!model_.known.count(Sha(content))) {
      Finding("[READ-CORRUPT] reading " + Rel(p) + " at step " + std::to_string(report_.steps) +
              " gave " + std::to_string(content.size()) + " bytes that nobody wrote (starting \"" +
              content.substr(0, std::min<size_t>(content.find('\n'), 60)) + "\")");
    }
  }

  // ---- settle, stop, check ----------------------------------------------
  void Settle() {
    watchdog_.Beat("the settle (up to 3 minutes)");
    zemd_.ClearFaults();
    Journal("faults cleared; settling");
    std::this_thread::sleep_for(std::chrono::seconds(3));  // last writes older than the settle time
    const auto until = Clock::now() + std::chrono::seconds(180);
    while (Clock::now() < until) {
      PumpRequests();
      const uint64_t before = last_change_seq_;
      if (!WaitCycles(3, 90)) break;
      PumpRequests();
      if (last_change_seq_ == before) {
        report_.settled = true;
        return;
      }
    }
    report_.observations.push_back(
        "[UNSETTLED] the agent was still uploading, recycling or renaming after 3 minutes without "
        "faults or changes");
  }

  void StopAndCheck() {
    watchdog_.Beat("the stop and check");
    if (agent_) {
      agent_->RequestTermination();
      int code = -1;
      if (!agent_->Wait(20000, code)) {
        Finding("[STOP] corvane did not stop within 20 s of SIGTERM");
        agent_->Kill();
      } else if (code != 0) {
        Finding("[STOP] corvane stopped with status " + std::to_string(code));
      }
      agent_.reset();
    }
    for (auto& p : lingering_) {
      int code;
      if (!p->Wait(5000, code)) Finding("[PROC-LEFT] killed corvane pid " + std::to_string(p->pid()) + " never ended");
    }
    lingering_.clear();
    PumpRequests();
    CheckLeftovers();

    std::vector<LocalItem> local;
    Snapshot(&local);
    const testing::Tree tree = zemd_.GetTree();
    const CheckResult r = Check(model_, tree, local);
    std::ostringstream state;
    state << "service (id folder name size sha status):\n";
    for (const auto& f : tree.files) {
      state << f.id << " " << f.folder_id << " " << f.name << " " << f.size << " "
            << f.sha256.substr(0, 12) << " " << f.status << "\n";
    }
    for (const auto& g : tree.folders) state << "folder " << g.id << " in " << g.parent_id << " " << g.name << "\n";
    state << "folder (path identity in_sync hydrated size sha):\n";
    for (const auto& i : local) {
      state << i.path << (i.is_dir ? "/" : "") << " " << (i.identity.empty() ? "-" : i.identity)
            << " " << i.in_sync << " " << i.hydrated << " " << i.logical_size << " "
            << i.sha256.substr(0, 12) << "\n";
    }
    final_state_ = state.str();
    for (const auto& f : r.findings) Finding(f);
    report_.observations.insert(report_.observations.end(), r.observations.begin(),
                                r.observations.end());
    report_.lawful_recycles = r.lawful_recycles;
  }

  // No mount of the folder and no process of this home may be left.
  void CheckLeftovers() {
    const std::string root = home_.root().string();
    std::ifstream mounts("/proc/mounts");
    for (std::string line; std::getline(mounts, line);) {
      std::istringstream fields(line);
      std::string device, point;
      fields >> device >> point;
      if (point.rfind(root, 0) == 0) Finding("[MOUNT-LEFT] " + line);
    }
    const std::string self = std::to_string(platform::CurrentProcessId());
    const std::string marker = "HOME=" + root;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
      const std::string pid = it->path().filename().string();
      if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
      std::istringstream vars(ReadText(it->path() / "environ"));
      bool ours = false;
      for (std::string var; std::getline(vars, var, '\0');) ours |= var == marker;
      if (!ours) continue;
      const std::string stat = ReadText(it->path() / "stat");
      Finding("[PROC-LEFT] process " + stat.substr(0, stat.find(')') + 3) + " of this home still exists");
    }
  }

  // The documents folder as it is on disk once nothing is mounted.
  void Snapshot(std::vector<LocalItem>* out) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(Docs(), ec), end; !ec && it != end; it.increment(ec)) {
      LocalItem item;
      item.path = Rel(it->path());
      std::error_code type_ec;
      item.is_dir = it->is_directory(type_ec);
      platform::PlaceholderHandle handle;
      platform::PlaceholderState state;
      if (handle.Open(it->path(), false).ok() && handle.GetState(&state).ok()) {
        item.is_placeholder = state.is_placeholder;
        item.in_sync = state.in_sync;
        item.hydrated = state.hydrated;
        item.identity = state.identity;
        item.logical_size = state.logical_size;
      }
      if (!item.is_dir && (!item.is_placeholder || item.hydrated)) {
        std::string content;
        if (ReadFile(it->path(), &content)) {
          item.sha256 = Sha(content);
          if (!item.is_placeholder) item.logical_size = static_cast<int64_t>(content.size());
        }
      }
      out->push_back(item);
    }
    if (ec) Finding("[SNAPSHOT] listing the folder failed: " + ec.message());
  }

  void KeepLogs() {
    const fs::path dir = limits_.keep_dir.empty()
                             ? fs::temp_directory_path() / ("zem-soak-" + std::to_string(limits_.seed))
                             : fs::path(limits_.keep_dir) / std::to_string(limits_.seed);
    std::error_code ec;
    fs::create_directories(dir, ec);
    fs::copy_file(home_.agent_log(), dir / "provider.log", fs::copy_options::overwrite_existing, ec);
    fs::copy_file(RunDir() / "agent.err", dir / "agent.err", fs::copy_options::overwrite_existing, ec);
    std::ofstream(dir / "journal.txt", std::ios::binary) << journal_;
    std::ofstream(dir / "final-state.txt", std::ios::binary) << final_state_;
    report_.kept = dir.string();
  }

  const RunLimits limits_;
  std::mt19937_64 rng_;
  RunReport report_;
  SoakModel model_;
  testing::ZemdServer zemd_;
  testing::TempHome home_;
  std::unique_ptr<platform::BackgroundProcess> agent_;
  std::vector<std::unique_ptr<platform::BackgroundProcess>> lingering_;
  std::string journal_;
  std::string final_state_;  // the service's tree and the folder at the check
  Watchdog watchdog_{limits_.seed};
  uint64_t contents_ = 0;
  uint64_t last_seq_ = 0, last_change_seq_ = 0;
  uint64_t log_offset_ = 0;
  size_t cycles_ = 0;
  int local_dirs_ = 0;
};

}  // namespace

RunReport RunSoak(const RunLimits& limits) { return Soak(limits).Run(); }

}  // namespace zem::soak
