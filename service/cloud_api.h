// The client-facing operations under /zem/api/cloud-disk/, each turning a
// request of an authorized user into a Reply, and the update-server files.
#pragma once

#include <filesystem>
#include <string>

#include "service/blob_store.h"
#include "service/http_reply.h"
#include "service/service.h"

namespace zem::zemd {

inline constexpr char kApiPrefix[] = "/zem/api/cloud-disk/";
inline constexpr char kUploadPath[] = "/zem/api/cloud-disk/file/upload-simple";
inline constexpr char kUpdatePrefix[] = "/client/zem-cloud-disk/";

// Answers an authorized POST (other than the upload) or GET under the API
// prefix; 404 for an unknown path.
Reply HandleCloudApi(Service& service, const std::string& user_id, const std::string& method,
                     const std::string& path, const std::string& query, const std::string& body);

// Finishes an upload whose body has been written to `writer`. `complete` is
// false when the body ended before its announced length.
Reply FinishUpload(Service& service, const std::string& user_id, const std::string& query,
                   BlobWriter& writer, bool complete);

// GET of the update manifest or installer, served from `updates_dir`.
Reply UpdateFile(const std::filesystem::path& updates_dir, const std::string& path);

}  // namespace zem::zemd
