// PerformHttp on WinHTTP: a session, connection and request of its own for
// each exchange, no proxy, synchronous, all handles closed on every path.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>
#include <string>

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
// WinHTTP default for that one (0 itself would mean "no limit"). Set on the
// session and again on the request, whose wait for the response headers has
// a limit of its own.
void ApplyTimeouts(HINTERNET handle, const HttpTimeouts& t, bool is_request) {
  if (t.resolve_ms == 0 && t.connect_ms == 0 && t.send_ms == 0 && t.receive_ms == 0) return;
  WinHttpSetTimeouts(handle, t.resolve_ms, t.connect_ms ? t.connect_ms : 60000,
                     t.send_ms ? t.send_ms : 30000, t.receive_ms ? t.receive_ms : 30000);
  if (is_request && t.receive_ms) {
    DWORD ms = static_cast<DWORD>(t.receive_ms);
    WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &ms, sizeof ms);
  }
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

// The QueryDataAvailable / ReadData loop into the sink.
void ReadBody(HINTERNET request, const HttpRequest& r, HttpResult& result) {
  std::string chunk;
  while (true) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) {
      result.read_error = true;
      return;
    }
    if (available == 0) return;
    chunk.resize(available);
    DWORD read = 0;
    if (!WinHttpReadData(request, chunk.data(), available, &read)) {
      result.read_error = true;
      return;
    }
    if (read == 0) return;
    if (!r.body_sink(std::string_view(chunk.data(), read))) return;
  }
}

}  // namespace

HttpResult PerformHttp(const HttpRequest& r) {
  HttpResult result;
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

  const std::wstring headers = win32::ToW(r.headers);
  const bool streamed = static_cast<bool>(r.body_reader);
  BOOL sent;
  if (streamed) {
    sent = WinHttpSendRequest(h.request, headers.c_str(), static_cast<DWORD>(-1L),
                              WINHTTP_NO_REQUEST_DATA, 0, static_cast<DWORD>(r.body_length), 0);
  } else {
    const DWORD length = static_cast<DWORD>(r.body.size());
    sent = WinHttpSendRequest(h.request, headers.c_str(), static_cast<DWORD>(-1L),
                              length ? const_cast<char*>(r.body.data()) : WINHTTP_NO_REQUEST_DATA,
                              length, length, 0);
  }
  if (!sent) return Failed(result, HttpStage::kSend, GetLastError());
  if (streamed) {
    if (!WriteBody(h.request, r, result)) return result;
  } else {
    result.body_bytes_sent = r.body.size();
  }

  if (!WinHttpReceiveResponse(h.request, nullptr)) {
    return Failed(result, HttpStage::kReceive, GetLastError());
  }

  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(h.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return result;  // status stays 0: unreadable
  }
  result.status = static_cast<int>(status);
  if (r.on_status && !r.on_status(result.status)) return result;
  if (r.body_sink) ReadBody(h.request, r, result);
  return result;
}

}  // namespace zem::platform
