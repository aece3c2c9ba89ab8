// PerformHttp on libcurl: one easy handle per exchange, TLS through OpenSSL,
// no proxy. Mirrors the WinHTTP exchange: the same stages fail the same way,
// nothing is printed, and the status stays readable when the sink stops.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http.h"
#include "platform/text.h"

namespace zem::platform {
namespace {

constexpr long kReceiveBuffer = 512 * 1024;          // CURL_MAX_READ_SIZE
constexpr long kMaxUploadBuffer = 2 * 1024 * 1024;   // libcurl's upper bound
constexpr long kMinUploadBuffer = 16 * 1024;         // libcurl's lower bound

void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlHandle {
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  ~CurlHandle() {
    if (curl) curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
  }
};

// State shared with the callbacks of one exchange.
struct Transfer {
  const HttpRequest* request = nullptr;
  CURL* curl = nullptr;
  uint64_t sent = 0;
  bool reader_called = false;
  bool reader_short = false;  // the reader ran out before the announced length
  bool status_seen = false;
  bool stopped = false;       // we ended the body read on purpose
  // The send/receive idle limit: the longest stretch without a byte moving.
  std::chrono::milliseconds idle_limit{kDefaultReceiveIdleMs};
  std::chrono::steady_clock::time_point last_move;
  curl_off_t last_down = 0, last_up = 0;
  bool timed_out = false;
  bool cancelled = false;
};

// Progress hook for the idle limit and the cancel check; libcurl calls it at
// least once a second while a transfer waits, and more often while data
// moves.
int OnProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto* t = static_cast<Transfer*>(user);
  if (t->request->cancelled && t->request->cancelled()) {
    t->cancelled = true;
    return 1;  // ends the transfer with CURLE_ABORTED_BY_CALLBACK
  }
  const auto now = std::chrono::steady_clock::now();
  if (down != t->last_down || up != t->last_up) {
    t->last_down = down;
    t->last_up = up;
    t->last_move = now;
    return 0;
  }
  if (now - t->last_move > t->idle_limit) {
    t->timed_out = true;
    return 1;  // ends the transfer with CURLE_ABORTED_BY_CALLBACK
  }
  return 0;
}

size_t OnRead(char* buf, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const HttpRequest& r = *t->request;
  t->reader_called = true;
  const uint64_t remaining = r.body_length - t->sent;
  const size_t cap = static_cast<size_t>(
      std::min<uint64_t>({static_cast<uint64_t>(size) * count, r.body_piece, remaining}));
  if (cap == 0) return 0;
  size_t got = r.body_reader(buf, cap);
  if (got == 0) {
    t->reader_short = true;
    return CURL_READFUNC_ABORT;
  }
  got = std::min(got, cap);
  t->sent += got;
  if (r.on_body_progress) r.on_body_progress(t->sent);
  return got;
}

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const HttpRequest& r = *t->request;
  const size_t len = size * count;
  if (!t->status_seen) {
    t->status_seen = true;
    long code = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &code);
    if (r.on_status && !r.on_status(static_cast<int>(code))) {
      t->stopped = true;
      return 0;
    }
  }
  if (!r.body_sink || !r.body_sink(std::string_view(data, len))) {
    t->stopped = true;
    return 0;  // anything but `len` ends the transfer
  }
  return len;
}

std::string Url(const HttpRequest& r) {
  std::string host = WideToUtf8(r.host);
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  return std::string(r.secure ? "https://" : "http://") + host + ":" + std::to_string(r.port) +
         r.path;
}

bool HasHeader(const std::vector<std::string>& lines, std::string_view name) {
  // Case-insensitive match of "Name:" at the start of a line.
  for (const std::string& line : lines) {
    if (line.size() > name.size() && line[name.size()] == ':' &&
        std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return true;
    }
  }
  return false;
}

// The header lines of the request, plus the lines that switch off what
// libcurl would add on its own and WinHTTP does not send.
curl_slist* BuildHeaders(const HttpRequest& r) {
  std::vector<std::string> lines;
  curl_slist* list = nullptr;
  for (const std::u16string& line : r.headers) {
    if (line.empty()) continue;
    lines.push_back(WideToUtf8(line));
    list = curl_slist_append(list, lines.back().c_str());
  }
  list = curl_slist_append(list, "Expect:");  // no 100-continue round trip
  if (!HasHeader(lines, "Accept")) list = curl_slist_append(list, "Accept:");
  if (r.verb != "GET" && !HasHeader(lines, "Content-Type")) {
    list = curl_slist_append(list, "Content-Type:");
  }
  return list;
}

bool IsConnectFailure(CURLcode rc) {
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return true;
    default:
      return false;
  }
}

uint32_t OsErrorFor(CURL* curl, CURLcode rc) {
  long os_errno = 0;
  curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &os_errno);
  if (os_errno != 0) return static_cast<uint32_t>(os_errno);
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST: return EHOSTUNREACH;
    case CURLE_COULDNT_CONNECT: return ECONNREFUSED;
    case CURLE_OPERATION_TIMEDOUT: return ETIMEDOUT;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION: return EPROTO;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR: return ECONNRESET;
    case CURLE_URL_MALFORMAT: return EINVAL;
    default: return EIO;
  }
}

void ApplyTimeouts(CURL* curl, const HttpTimeouts& t, Transfer& transfer) {
  const long connect = static_cast<long>(t.resolve_ms) + t.connect_ms;
  if (connect > 0) curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connect);
  // libcurl has no per-write or per-read limit: a transfer that moves no
  // byte for that long is ended instead. The same hook asks `cancelled`.
  const int receive_ms = t.receive_ms > 0 ? t.receive_ms : kDefaultReceiveIdleMs;
  transfer.idle_limit = std::chrono::milliseconds(std::max(t.send_ms, receive_ms));
  transfer.last_move = std::chrono::steady_clock::now();
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}

// A header line that would end early on the wire (CR, LF) or be cut (NUL).
bool IsUnsafeHeaderLine(const std::u16string& line) {
  return line.find_first_of(std::u16string_view(u"\r\n\0", 3)) != std::u16string::npos;
}

}  // namespace

HttpResult PerformHttp(const HttpRequest& request) {
  GlobalInitOnce();
  HttpResult result;
  CurlHandle h;
  if (!h.curl) {
    result.failed_stage = HttpStage::kOpen;
    result.error = HttpFailure(request, result.failed_stage, ENOMEM);
    return result;
  }
  for (const std::u16string& line : request.headers) {
    if (IsUnsafeHeaderLine(line)) {
      result.failed_stage = HttpStage::kOpenRequest;
      result.error = HttpFailure(request, result.failed_stage, EINVAL);
      return result;
    }
  }
  CURL* c = h.curl;
  Transfer t;
  t.request = &request;
  t.curl = c;

  const std::string url = Url(request);
  const std::string agent = WideToUtf8(request.user_agent);
  h.headers = BuildHeaders(request);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, h.headers);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnWrite);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
  ApplyTimeouts(c, request.timeouts, t);
  const std::string pinned = request.trusted_certificate.string();
  if (request.secure && !pinned.empty()) {
    curl_easy_setopt(c, CURLOPT_CAINFO, pinned.c_str());
    curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
  }

  const bool streamed = static_cast<bool>(request.body_reader);
  if (request.verb == "GET") {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    if (request.verb != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.verb.c_str());
    if (streamed) {
      const long piece = static_cast<long>(std::clamp<size_t>(
          request.body_piece, kMinUploadBuffer, kMaxUploadBuffer));
      curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, piece);
      curl_easy_setopt(c, CURLOPT_READFUNCTION, &OnRead);
      curl_easy_setopt(c, CURLOPT_READDATA, &t);
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body_length));
    } else {
      curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.data());
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    }
  }

  const CURLcode rc = curl_easy_perform(c);
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  if (code > 0) {
    curl_off_t length = -1;
    if (curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
      result.content_length = length;
    }
  }
  const uint64_t announced = streamed ? request.body_length : request.body.size();
  result.body_bytes_sent = streamed ? t.sent : (code > 0 ? announced : 0);

  if (rc == CURLE_OK || (t.stopped && code > 0)) {
    result.status = static_cast<int>(code);
    if (!t.status_seen && request.on_status) request.on_status(result.status);
    return result;
  }
  if (t.timed_out || t.cancelled) {
    // A stall or a cancel is a failure wherever it happened.
    result.timed_out = t.timed_out;
    result.cancelled = t.cancelled;
    result.status = static_cast<int>(code);
    result.read_error = code > 0;
    // Still sending a streamed body: the write stage; else the receive.
    result.failed_stage = code == 0 && streamed && t.reader_called && t.sent < announced
                              ? HttpStage::kWrite
                              : HttpStage::kReceive;
    result.error = HttpFailure(request, result.failed_stage, t.cancelled ? ECANCELED : ETIMEDOUT);
    return result;
  }
  const uint32_t os_error = OsErrorFor(c, rc);
  if (t.reader_short) {
    result.failed_stage = HttpStage::kWrite;
    result.error = HttpFailure(request, result.failed_stage, EIO);
    return result;
  }
  if (code > 0) {
    // The response had begun: the body read broke off part-way.
    result.status = static_cast<int>(code);
    result.read_error = true;
    result.error = HttpFailure(request, HttpStage::kNone, os_error);
    return result;
  }
  if (IsConnectFailure(rc)) {
    result.failed_stage = HttpStage::kSend;
  } else if (streamed && t.reader_called && t.sent < announced) {
    result.failed_stage = HttpStage::kWrite;
  } else if (rc == CURLE_SEND_ERROR && !streamed) {
    result.failed_stage = HttpStage::kSend;
  } else {
    result.failed_stage = HttpStage::kReceive;
  }
  result.error = HttpFailure(request, result.failed_stage, os_error);
  return result;
}

}  // namespace zem::platform
