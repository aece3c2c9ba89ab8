// PerformHttp on WinHTTP: a session, connection and request of its own for
// each exchange, no proxy, synchronous, all handles closed on every path.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/http.h"
#include "platform/win32/wide.h"

namespace zem::platform {
namespace {

// The handles of one exchange; closed request first, then connection, then
// session, each only if it was opened.
struct WinHttpHandles {
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  WinHttpHandles() = default;
  WinHttpHandles(const WinHttpHandles&) = delete;
  WinHttpHandles& operator=(const WinHttpHandles&) = delete;
  ~WinHttpHandles() {
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
  }
};

HttpResult Failed(HttpResult result, HttpStage stage, DWORD error) {
  result.failed_stage = stage;
  result.os_error = error;
  return result;
}

// WinHttpSetTimeouts takes all four at once; a value left at 0 keeps the
// WinHTTP default for that one (0 itself would mean "no limit"). The receive
// limit is always set: WinHTTP applies it to each wait for data, which makes
// it the idle limit. Set on the session and again on the request, whose wait
// for the response headers has a limit of its own.
void ApplyTimeouts(HINTERNET handle, const HttpTimeouts& t, bool is_request) {
  const int receive_ms = t.receive_ms > 0 ? t.receive_ms : kDefaultReceiveIdleMs;
  WinHttpSetTimeouts(handle, t.resolve_ms, t.connect_ms ? t.connect_ms : 60000,
                     t.send_ms ? t.send_ms : 30000, receive_ms);
  if (is_request) {
    DWORD ms = static_cast<DWORD>(receive_ms);
    WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &ms, sizeof ms);
  }
}

// Asks the request's `cancelled` several times a second on a thread of its
// own and, once it says yes, closes the request handle: WinHTTP then ends the
// synchronous call that is waiting on it (send, receive or read) with
// ERROR_WINHTTP_OPERATION_CANCELLED. The exchange's thread must call Stop()
// before it closes the handles itself; whoever closes the request first owns
// that close (TakeRequest).
class CancelWatcher {
 public:
  CancelWatcher(const HttpRequest& r, WinHttpHandles& h) : request_(r), handles_(h) {}
  CancelWatcher(const CancelWatcher&) = delete;
  CancelWatcher& operator=(const CancelWatcher&) = delete;
  ~CancelWatcher() { Stop(); }

  void Start() {
    if (!request_.cancelled) return;
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  bool fired() {
    std::lock_guard<std::mutex> lock(mu_);
    return fired_;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!done_) {
      cv_.wait_for(lock, std::chrono::milliseconds(200));
      if (done_) return;
      lock.unlock();
      const bool cancel = request_.cancelled();
      lock.lock();
      if (cancel && !done_) {
        fired_ = true;
        HINTERNET request = handles_.request;
        handles_.request = nullptr;  // the destructor must not close it again
        if (request) WinHttpCloseHandle(request);
        return;
      }
    }
  }

  const HttpRequest& request_;
  WinHttpHandles& handles_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

bool IsUnsafeHeaderLine(const std::u16string& line) {
  return line.find_first_of(std::u16string_view(u"\r\n\0", 3)) != std::u16string::npos;
}

// Streams the reader's pieces with WinHttpWriteData until the announced
// length has gone out.
bool WriteBody(HINTERNET request, const HttpRequest& r, HttpResult& result) {
  const size_t piece = std::max<size_t>(r.body_piece, 1);
  std::unique_ptr<char[]> buf(new char[piece]);
  while (result.body_bytes_sent < r.body_length) {
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(piece, r.body_length - result.body_bytes_sent));
    const size_t got = std::min(r.body_reader(buf.get(), want), want);
    if (got == 0) {
      result = Failed(result, HttpStage::kWrite, ERROR_HANDLE_EOF);
      return false;
    }
    DWORD written = 0;
    if (!WinHttpWriteData(request, buf.get(), static_cast<DWORD>(got), &written) || written == 0) {
      const DWORD error = GetLastError();
      result = Failed(result, HttpStage::kWrite, error ? error : ERROR_WRITE_FAULT);
      return false;
    }
    result.body_bytes_sent += written;
    if (r.on_body_progress) r.on_body_progress(result.body_bytes_sent);
  }
  return true;
}

// Ends the result as a failure when `error` was the receive limit running out
// or the watcher cancelling the exchange; true when it did.
bool FailOnStall(HttpResult& result, DWORD error, HttpStage stage, CancelWatcher& watcher) {
  if (watcher.fired()) {
    result.cancelled = true;
    result.os_error = ERROR_WINHTTP_OPERATION_CANCELLED;
  } else if (error == ERROR_WINHTTP_TIMEOUT) {
    result.timed_out = true;
    result.os_error = error;
  } else {
    return false;
  }
  result.failed_stage = stage;
  return true;
}

// The QueryDataAvailable / ReadData loop into the sink. A read that fails
// because nothing arrived within the receive limit, or because the exchange
// was cancelled, fails the exchange; any other broken read only sets
// `read_error`.
void ReadBody(HINTERNET request, const HttpRequest& r, HttpResult& result,
              CancelWatcher& watcher) {
  std::string chunk;
  while (true) {
    DWORD available = 0;
    DWORD read = 0;
    bool broke = !WinHttpQueryDataAvailable(request, &available);
    if (!broke && available == 0) return;
    if (!broke) {
      chunk.resize(available);
      broke = !WinHttpReadData(request, chunk.data(), available, &read);
    }
    if (broke) {
      result.read_error = true;
      FailOnStall(result, GetLastError(), HttpStage::kReceive, watcher);
      return;
    }
    if (read == 0) return;
    if (!r.body_sink(std::string_view(chunk.data(), read))) return;
  }
}

}  // namespace

HttpResult PerformHttp(const HttpRequest& r) {
  HttpResult result;
  std::wstring headers;
  for (const std::u16string& line : r.headers) {
    if (IsUnsafeHeaderLine(line)) {
      return Failed(result, HttpStage::kOpenRequest, ERROR_INVALID_PARAMETER);
    }
    if (line.empty()) continue;
    if (!headers.empty()) headers += L"\r\n";
    headers += win32::ToW(line);
  }
  WinHttpHandles h;
  const std::wstring agent = win32::ToW(r.user_agent);
  h.session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
  if (!h.session) return Failed(result, HttpStage::kOpen, GetLastError());
  ApplyTimeouts(h.session, r.timeouts, false);

  const std::wstring host = win32::ToW(r.host);
  h.connection = WinHttpConnect(h.session, host.c_str(), r.port, 0);
  if (!h.connection) return Failed(result, HttpStage::kConnect, GetLastError());

  const std::wstring verb = win32::Utf8ToW(r.verb);
  const std::wstring path = win32::Utf8ToW(r.path);
  h.request = WinHttpOpenRequest(h.connection, verb.c_str(), path.c_str(), nullptr,
                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 r.secure ? WINHTTP_FLAG_SECURE : 0);
  if (!h.request) return Failed(result, HttpStage::kOpenRequest, GetLastError());
  ApplyTimeouts(h.request, r.timeouts, true);
  if (r.cancelled && r.cancelled()) {
    result.cancelled = true;
    return Failed(result, HttpStage::kSend, ERROR_WINHTTP_OPERATION_CANCELLED);
  }
  // Declared after the handles, so it is stopped (joined) before they close.
  CancelWatcher watcher(r, h);
  watcher.Start();
  // The handle as opened; once the watcher has closed it, calls on it fail.
  HINTERNET request = h.request;

  const bool streamed = static_cast<bool>(r.body_reader);
  const wchar_t* header_text = headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
  const DWORD header_length = headers.empty() ? 0 : static_cast<DWORD>(-1L);
  BOOL sent;
  if (streamed) {
    sent = WinHttpSendRequest(request, header_text, header_length, WINHTTP_NO_REQUEST_DATA, 0,
                              static_cast<DWORD>(r.body_length), 0);
  } else {
    const DWORD length = static_cast<DWORD>(r.body.size());
    sent = WinHttpSendRequest(request, header_text, header_length,
                              length ? const_cast<char*>(r.body.data()) : WINHTTP_NO_REQUEST_DATA,
                              length, length, 0);
  }
  if (!sent) {
    const DWORD error = GetLastError();
    result = Failed(result, HttpStage::kSend, error);
    FailOnStall(result, error, HttpStage::kSend, watcher);
    return result;
  }
  if (streamed) {
    if (!WriteBody(request, r, result)) {
      FailOnStall(result, result.os_error, HttpStage::kWrite, watcher);
      return result;
    }
  } else {
    result.body_bytes_sent = r.body.size();
  }

  if (!WinHttpReceiveResponse(request, nullptr)) {
    const DWORD error = GetLastError();
    result = Failed(result, HttpStage::kReceive, error);
    FailOnStall(result, error, HttpStage::kReceive, watcher);
    return result;
  }

  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    FailOnStall(result, GetLastError(), HttpStage::kReceive, watcher);
    return result;  // status stays 0: unreadable
  }
  result.status = static_cast<int>(status);
  if (r.on_status && !r.on_status(result.status)) return result;
  if (r.body_sink) ReadBody(request, r, result, watcher);
  return result;
}

}  // namespace zem::platform
