// The write operations: upload a whole file into a remote folder, rename a
// remote file, move a remote file to the recycle bin.
//
// Each is one exchange of its own (client/exchange.h) that reports success as
// a bool and never retries; callers wrap them in WithRetry under their own
// labels. Failures print at most one line (listed per function) and never
// throw. Safe to call from several threads at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace zem {

// Bytes sent so far, total bytes.
using UploadProgressCallback = std::function<void(uint64_t sent, uint64_t total)>;

// Sends the file to "file/upload-simple" as the raw body (Content-Type
// application/octet-stream), streamed from disk in 1 MiB pieces, so any size
// up to 4,294,967,295 bytes goes without being held in memory. The file is
// opened for reading with read and write sharing, so other programs may keep
// using it.
//
// True when the service answered 2xx with a "file_id" string, which is then
// stored in `file_id`; false otherwise, `file_id` unchanged. Silent failures:
// the size cannot be read, the file cannot be opened, the exchange cannot be
// opened. Lines printed (error output unless noted):
//   "[ID-ERR] upload-simple unsafe id refused: …"  (folder id; nothing sent)
//   "[UPLOAD-ERR] file > 4GB not supported in upload-simple stream"  (nothing sent)
//   "[UPLOAD-ERR] WinHttpSendRequest failed err=<n>"
//   "[UPLOAD-ERR] WinHttpWriteData failed at offset=<sent> err=<n>"
//   "[UPLOAD-ERR] file ended early at offset=<sent> of <size> bytes"  (it shrank)
//   "[UPLOAD-ERR] WinHttpReceiveResponse failed err=<n>"
//   CheckHttpStatus lines under "upload-simple"
//   "[UPLOAD-ERR] unexpected response: <first 200 bytes of the body>"
//   "[UPLOAD-PROG] <name> <sent>/<size> (<percent>%)" on the standard output
//   each time the percentage has moved by 5 or more, and at the end.
// `progress`, when set, is called with (0, size) once the request has gone
// out and after every piece.
bool UploadSimple(const std::filesystem::path& local_path, std::u16string_view folder_id,
                  std::string& file_id, const UploadProgressCallback& progress);

// "file/rename": {"id":"<id>","new_name":"<name>"}. True on a 2xx answer.
// The id is refused ("[ID-ERR] rename …", false) when it is not a safe id.
bool RenameFile(std::string_view file_id, std::u16string_view new_name);

// "file/recycle": {"id":"<id>"}. True on a 2xx answer. The id is refused
// ("[ID-ERR] recycle …", false) when it is not a safe id.
bool RecycleFile(std::string_view file_id);

// The query value of a file name: its UTF-8 bytes with A–Z a–z 0–9 - . _ ~
// kept and every other byte as "%XX" (upper-case hex).
std::string EncodeUploadName(std::string_view utf8_name);

// A name as the content of a JSON string: a backslash before every double
// quote and backslash, control characters (below 0x20) as \u00XX, all other
// bytes as they are.
std::string EscapeJsonName(std::string_view utf8_name);

}  // namespace zem
