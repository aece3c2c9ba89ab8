// UploadSimple: one streamed POST of a whole file.
#include <algorithm>
#include <fstream>
#include <system_error>

#include "client/exchange.h"
#include "client/file_ops.h"
#include "client/http_status.h"
#include "client/json_scan.h"
#include "client/service_id.h"
#include "common/cat.h"
#include "common/output.h"
#include "platform/text.h"

namespace zem {
namespace {

constexpr uint64_t kMaxUploadSize = 4294967295ull;  // must fit a 32-bit Content-Length
constexpr size_t kPieceSize = 1 << 20;

// Prints "[UPLOAD-PROG]" lines whenever the percentage has moved by 5 or
// more since the last line, and at the end.
class ProgressPrinter {
 public:
  ProgressPrinter(std::string name, uint64_t size) : name_(std::move(name)), size_(size) {}
  void Sent(uint64_t sent) {
    const int percent = static_cast<int>(sent * 100 / size_);
    if (percent >= last_percent_ + 5 || sent == size_) {
      Out(Cat("[UPLOAD-PROG] ", name_, " ", sent, "/", size_, " (", percent, "%)\n"));
      last_percent_ = percent;
    }
  }

 private:
  std::string name_;
  uint64_t size_;
  int last_percent_ = -1;
};

}  // namespace

std::string EncodeUploadName(std::string_view utf8_name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(utf8_name.size() * 3);
  for (char ch : utf8_name) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

bool UploadSimple(const std::filesystem::path& local_path, std::u16string_view folder_id,
                  std::string& file_id, const UploadProgressCallback& progress) {
  const std::string folder = platform::WideToUtf8(folder_id);
  if (!CheckServiceId("upload-simple", folder)) return false;

  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(local_path, ec);  // follows links
  if (ec) return false;
  // Binary mode; the C runtime opens it shared for reading and writing.
  std::ifstream file(local_path, std::ios::binary);
  if (!file.is_open()) return false;

  const std::string name = platform::PathToUtf8(local_path.filename());
  if (size > kMaxUploadSize) {
    Err("[UPLOAD-ERR] file > 4GB not supported in upload-simple stream\n");
    return false;
  }

  platform::HttpRequest request = MakeServiceRequest(
      "POST", Cat(kApiPrefix, "file/upload-simple?folder_id=", folder,
                  "&owner_type=1&name=", EncodeUploadName(name)));
  request.headers.push_back(u"Content-Type: application/octet-stream");
  request.body_length = size;
  request.body_piece = kPieceSize;

  bool started = false;
  auto start = [&] {
    if (!started && progress) progress(0, size);
    started = true;
  };
  uint64_t read_total = 0;
  bool ended_early = false;
  request.body_reader = [&](char* buf, size_t cap) -> size_t {
    start();
    const uint64_t want = std::min<uint64_t>(size - read_total, cap);
    if (want == 0) return 0;
    file.read(buf, static_cast<std::streamsize>(want));
    const auto got = static_cast<size_t>(file.gcount());
    if (got == 0) ended_early = true;
    read_total += got;
    return got;
  };
  ProgressPrinter printer(platform::PathToUtf8(local_path.filename()), size);
  request.on_body_progress = [&](uint64_t sent) {
    if (progress) progress(sent, size);
    printer.Sent(sent);
  };
  request.on_status = [](int status) { return status >= 200 && status <= 299; };
  std::string answer;
  request.body_sink = [&answer](std::string_view chunk) {
    answer.append(chunk);
    return true;
  };

  const platform::HttpResult result = PerformHttp(request);
  // Once the request has gone out, the callback hears (0, size) whatever the
  // answer: a zero-byte body never asks the reader, so this is its only call.
  if (result.failed_stage == platform::HttpStage::kReceive ||
      result.failed_stage == platform::HttpStage::kNone) {
    start();
  }
  switch (result.failed_stage) {
    case platform::HttpStage::kOpen:
    case platform::HttpStage::kConnect:
    case platform::HttpStage::kOpenRequest:
      return false;
    case platform::HttpStage::kSend:
      Err(Cat("[UPLOAD-ERR] WinHttpSendRequest failed err=", result.error.os_error(), "\n"));
      return false;
    case platform::HttpStage::kWrite:
      if (ended_early) {
        Err(Cat("[UPLOAD-ERR] file ended early at offset=", result.body_bytes_sent, " of ", size,
                " bytes\n"));
      } else {
        Err(Cat("[UPLOAD-ERR] WinHttpWriteData failed at offset=", result.body_bytes_sent,
                " err=", result.error.os_error(), "\n"));
      }
      return false;
    case platform::HttpStage::kReceive:
      Err(Cat("[UPLOAD-ERR] WinHttpReceiveResponse failed err=", result.error.os_error(), "\n"));
      return false;
    case platform::HttpStage::kNone:
      break;
  }
  if (!CheckHttpStatus("upload-simple", QueryStatusCode(result))) return false;

  if (auto id = FindStringField(answer, "file_id")) {
    file_id = std::move(*id);
    return true;
  }
  Err(Cat("[UPLOAD-ERR] unexpected response: ",
          platform::WideToUtf8(platform::Utf8ToWide(std::string_view(answer).substr(0, 200))),
          "\n"));
  return false;
}

}  // namespace zem
