// PerformHttp on WinHTTP: a session, connection and request of its own for
// each exchange, no proxy, synchronous, all handles closed on every path.
//
// The synchronous WinHTTP calls run on a worker thread of the exchange; the
// calling thread watches it. Every time a byte moves (a body piece written,
// the response headers, a body chunk read) the worker notes it; when nothing
// has moved for the idle limit, or the request's `cancelled` says so, the
// calling thread gives up on the worker: it closes the request handle (which
// ends a waiting WinHTTP call where WinHTTP supports that), detaches the
// worker and returns the failure at once. WinHTTP's own receive time-out is
// set as well, but a stalled read is not left to it alone.
//
// The request's callbacks (reader, progress, status, sink, cancelled) belong
// to the caller and may refer to its stack: the worker calls them only
// through a gate, and once the caller has given up (taking the gate, so no
// callback is running) none is called again.
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/http.h"
#include "platform/win32/wide.h"

namespace zem::platform {
namespace {

using Clock = std::chrono::steady_clock;

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

// What the caller's thread and the worker share. Lock order: `gate` before
// `mu`; the worker never holds `mu` while it calls a callback.
struct Exchange {
  HttpRequest request;  // a copy; its callbacks are called only through Gated

  std::mutex gate;         // held while a callback of the caller runs
  bool abandoned = false;  // guarded by gate: the caller has left

  std::mutex mu;  // guards everything below
  std::condition_variable cv;
  bool done = false;
  HttpResult result;
  HttpStage stage = HttpStage::kSend;  // the stage the worker is in
  Clock::time_point last_move = Clock::now();
  HINTERNET request_handle = nullptr;  // while open; closed by whoever takes it
  std::exception_ptr error;            // thrown by a callback

  // Runs `f` (a callback of the caller) unless the caller has left; returns
  // `otherwise` then.
  template <typename F, typename R>
  R Gated(F f, R otherwise) {
    std::lock_guard<std::mutex> lock(gate);
    if (abandoned) return otherwise;
    return f();
  }
  void Moved() {
    std::lock_guard<std::mutex> lock(mu);
    last_move = Clock::now();
  }
  void Enter(HttpStage s) {
    std::lock_guard<std::mutex> lock(mu);
    stage = s;
    last_move = Clock::now();
  }
};

HttpResult Failed(const HttpRequest& r, HttpResult result, HttpStage stage, DWORD error) {
  result.failed_stage = stage;
  result.error = HttpFailure(r, stage, error);
  return result;
}

int ReceiveLimitMs(const HttpTimeouts& t) {
  return t.receive_ms > 0 ? t.receive_ms : kDefaultReceiveIdleMs;
}

// WinHttpSetTimeouts takes all four at once; a value left at 0 keeps the
// WinHTTP default for that one (0 itself would mean "no limit"). The receive
// limit is always set. Set on the session and again on the request, whose
// wait for the response headers has a limit of its own.
void ApplyTimeouts(HINTERNET handle, const HttpTimeouts& t, bool is_request) {
  const int receive_ms = ReceiveLimitMs(t);
  WinHttpSetTimeouts(handle, t.resolve_ms, t.connect_ms ? t.connect_ms : 60000,
                     t.send_ms ? t.send_ms : 30000, receive_ms);
  if (is_request) {
    DWORD ms = static_cast<DWORD>(receive_ms);
    WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &ms, sizeof ms);
  }
}

// WinHTTP reports its receive time-out as ERROR_WINHTTP_TIMEOUT; Wine's
// passes on the socket's WSAETIMEDOUT.
bool IsTimeout(DWORD error) { return error == ERROR_WINHTTP_TIMEOUT || error == WSAETIMEDOUT; }

bool IsUnsafeHeaderLine(const std::u16string& line) {
  return line.find_first_of(std::u16string_view(u"\r\n\0", 3)) != std::u16string::npos;
}

// Streams the reader's pieces with WinHttpWriteData until the announced
// length has gone out.
bool WriteBody(HINTERNET request, Exchange& x, HttpResult& result) {
  const HttpRequest& r = x.request;
  const size_t piece = std::max<size_t>(r.body_piece, 1);
  std::unique_ptr<char[]> buf(new char[piece]);
  while (result.body_bytes_sent < r.body_length) {
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(piece, r.body_length - result.body_bytes_sent));
    const size_t got = std::min(
        x.Gated([&] { return r.body_reader(buf.get(), want); }, size_t{0}), want);
    if (got == 0) {
      result = Failed(r, result, HttpStage::kWrite, ERROR_HANDLE_EOF);
      return false;
    }
    DWORD written = 0;
    if (!WinHttpWriteData(request, buf.get(), static_cast<DWORD>(got), &written) || written == 0) {
      const DWORD error = GetLastError();
      result = Failed(r, result, HttpStage::kWrite, error ? error : ERROR_WRITE_FAULT);
      return false;
    }
    result.body_bytes_sent += written;
    x.Moved();
    if (r.on_body_progress) {
      x.Gated([&] { return r.on_body_progress(result.body_bytes_sent), true; }, false);
    }
  }
  return true;
}

// The DER bytes of the first certificate in a PEM file; empty when the file
// cannot be read or holds none.
std::string PemCertificateDer(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t begin = pem.find("-----BEGIN CERTIFICATE-----");
  const size_t end = pem.find("-----END CERTIFICATE-----", begin == std::string::npos ? 0 : begin);
  if (begin == std::string::npos || end == std::string::npos) return {};
  const std::string block = pem.substr(begin, end - begin + 25);
  DWORD size = 0;
  if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                            CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
    return {};
  }
  std::string der(size, '\0');
  if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                            CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()), &size,
                            nullptr, nullptr)) {
    return {};
  }
  der.resize(size);
  return der;
}

// True when the server presented exactly the certificate `der`.
bool PresentedCertificateIs(HINTERNET request, const std::string& der) {
  PCCERT_CONTEXT cert = nullptr;
  DWORD size = sizeof cert;
  if (der.empty() ||
      !WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &cert, &size) || !cert) {
    return false;
  }
  const bool same = cert->cbCertEncoded == der.size() &&
                    std::memcmp(cert->pbCertEncoded, der.data(), der.size()) == 0;
  CertFreeCertificateContext(cert);
  return same;
}

// The announced length of the response body, or -1 when there is none.
int64_t ContentLength(HINTERNET request) {
  wchar_t text[32] = {};
  DWORD size = sizeof text;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return -1;
  }
  wchar_t* end = nullptr;
  const long long n = std::wcstoll(text, &end, 10);
  return end != text && n >= 0 ? n : -1;
}

// The QueryDataAvailable / ReadData loop into the sink. A body that ends
// before its announced length, or a read that fails, sets `read_error`; a
// read that fails on WinHTTP's receive time-out fails the exchange.
void ReadBody(HINTERNET request, Exchange& x, HttpResult& result) {
  const HttpRequest& r = x.request;
  const int64_t announced = ContentLength(request);
  uint64_t received = 0;
  std::string chunk;
  const auto limit = std::chrono::milliseconds(ReceiveLimitMs(r.timeouts));
  while (true) {
    DWORD available = 0;
    DWORD read = 0;
    const auto asked = Clock::now();
    bool broke = !WinHttpQueryDataAvailable(request, &available);
    if (!broke && available == 0) {
      if (announced >= 0 && received < static_cast<uint64_t>(announced)) {
        result.read_error = true;  // the connection closed early
        result.error = HttpFailure(x.request, HttpStage::kNone, ERROR_WINHTTP_CONNECTION_ERROR);
        // Some WinHTTP versions (Wine's) end a read that ran into the
        // receive time-out as if the body were over: a short body after a
        // wait that long is a stall, not a close.
        if (Clock::now() - asked >= limit - std::chrono::milliseconds(100)) {
          result.timed_out = true;
          result.failed_stage = HttpStage::kReceive;
          result.error = HttpFailure(x.request, result.failed_stage, ERROR_WINHTTP_TIMEOUT);
        }
      }
      return;
    }
    if (!broke) {
      chunk.resize(available);
      broke = !WinHttpReadData(request, chunk.data(), available, &read);
    }
    if (broke) {
      const DWORD error = GetLastError();
      result.read_error = true;
      if (IsTimeout(error)) {
        result.timed_out = true;
        result.failed_stage = HttpStage::kReceive;
      }
      result.error = HttpFailure(x.request, result.failed_stage, error);
      return;
    }
    if (read == 0) return;
    received += read;
    x.Moved();
    if (!x.Gated([&] { return r.body_sink(std::string_view(chunk.data(), read)); }, false)) return;
  }
}

// The exchange itself, on the worker thread.
HttpResult Run(Exchange& x, const std::wstring& headers) {
  const HttpRequest& r = x.request;
  HttpResult result;
  WinHttpHandles h;
  const std::wstring agent = win32::ToW(r.user_agent);
  h.session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
  if (!h.session) return Failed(r, result, HttpStage::kOpen, GetLastError());
  ApplyTimeouts(h.session, r.timeouts, false);

  const std::wstring host = win32::ToW(r.host);
  h.connection = WinHttpConnect(h.session, host.c_str(), r.port, 0);
  if (!h.connection) return Failed(r, result, HttpStage::kConnect, GetLastError());

  const std::wstring verb = win32::Utf8ToW(r.verb);
  const std::wstring path = win32::Utf8ToW(r.path);
  HINTERNET request = WinHttpOpenRequest(h.connection, verb.c_str(), path.c_str(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         r.secure ? WINHTTP_FLAG_SECURE : 0);
  if (!request) return Failed(r, result, HttpStage::kOpenRequest, GetLastError());
  {
    // From here the caller may close it to end a waiting call.
    std::lock_guard<std::mutex> lock(x.mu);
    x.request_handle = request;
  }
  struct CloseRequest {
    Exchange& x;
    ~CloseRequest() {
      std::lock_guard<std::mutex> lock(x.mu);
      if (x.request_handle) WinHttpCloseHandle(x.request_handle);
      x.request_handle = nullptr;
    }
  } close_request{x};
  ApplyTimeouts(request, r.timeouts, true);
  // A pinned certificate replaces the system's roots: the chain and name
  // checks are left to the comparison after the handshake.
  const bool pinned = r.secure && !r.trusted_certificate.empty();
  if (pinned) {
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                  SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
  }

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
  if (!sent) return Failed(r, result, HttpStage::kSend, GetLastError());
  if (pinned && !PresentedCertificateIs(request, PemCertificateDer(r.trusted_certificate))) {
    return Failed(r, result, HttpStage::kSend, ERROR_WINHTTP_SECURE_INVALID_CA);
  }
  if (streamed) {
    x.Enter(HttpStage::kWrite);
    if (!WriteBody(request, x, result)) return result;
  } else {
    result.body_bytes_sent = r.body.size();
  }

  x.Enter(HttpStage::kReceive);
  if (!WinHttpReceiveResponse(request, nullptr)) {
    const DWORD error = GetLastError();
    result = Failed(r, result, HttpStage::kReceive, error);
    result.timed_out = IsTimeout(error);
    return result;
  }
  x.Moved();

  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return result;  // status stays 0: unreadable
  }
  result.status = static_cast<int>(status);
  result.content_length = ContentLength(request);
  {
    std::lock_guard<std::mutex> lock(x.mu);
    x.result.status = result.status;  // kept if the caller gives up during the body
  }
  if (r.on_status && !x.Gated([&] { return r.on_status(result.status); }, false)) return result;
  if (r.body_sink) ReadBody(request, x, result);
  return result;
}

}  // namespace

HttpResult PerformHttp(const HttpRequest& r) {
  std::wstring headers;
  for (const std::u16string& line : r.headers) {
    if (IsUnsafeHeaderLine(line)) {
      return Failed(r, HttpResult{}, HttpStage::kOpenRequest, ERROR_INVALID_PARAMETER);
    }
    if (line.empty()) continue;
    if (!headers.empty()) headers += L"\r\n";
    headers += win32::ToW(line);
  }
  if (r.cancelled && r.cancelled()) {
    HttpResult result = Failed(r, HttpResult{}, HttpStage::kSend, ERROR_WINHTTP_OPERATION_CANCELLED);
    result.cancelled = true;
    return result;
  }

  auto x = std::make_shared<Exchange>();
  x->request = r;
  std::thread worker([x, headers] {
    HttpResult result;
    std::exception_ptr error;
    try {
      result = Run(*x, headers);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(x->mu);
    x->result = result;
    x->error = error;
    x->done = true;
    x->cv.notify_all();
  });

  // The longest stretch without a byte moving that the exchange may take.
  const auto idle_limit = std::chrono::milliseconds(
      std::max(r.timeouts.send_ms > 0 ? r.timeouts.send_ms : 30000, ReceiveLimitMs(r.timeouts)));
  std::unique_lock<std::mutex> lock(x->mu);
  while (!x->done) {
    x->cv.wait_for(lock, std::chrono::milliseconds(200));
    if (x->done) break;
    const bool stalled = Clock::now() - x->last_move > idle_limit;
    lock.unlock();
    const bool cancelled = !stalled && r.cancelled && r.cancelled();
    lock.lock();
    if (x->done || (!stalled && !cancelled)) continue;

    // Give up on the worker: no callback of ours runs from now on, the
    // request handle is closed to end the waiting call, and the worker
    // finishes on its own.
    lock.unlock();
    {
      std::lock_guard<std::mutex> gate(x->gate);
      x->abandoned = true;
    }
    lock.lock();
    if (x->request_handle) {
      WinHttpCloseHandle(x->request_handle);
      x->request_handle = nullptr;
    }
    HttpResult result;
    result.status = x->result.status;
    result.read_error = result.status > 0;
    result.failed_stage = result.status > 0 ? HttpStage::kReceive : x->stage;
    result.timed_out = stalled;
    result.cancelled = cancelled;
    result.error = HttpFailure(
        r, result.failed_stage, cancelled ? ERROR_WINHTTP_OPERATION_CANCELLED : ERROR_WINHTTP_TIMEOUT);
    lock.unlock();
    worker.detach();
    return result;
  }
  lock.unlock();
  worker.join();
  if (x->error) std::rethrow_exception(x->error);
  return x->result;
}

}  // namespace zem::platform
