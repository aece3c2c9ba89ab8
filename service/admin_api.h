// The loopback-only admin interface under /admin/ (see service/README.md).
#pragma once

#include <string>

#include "service/blob_store.h"
#include "service/http_reply.h"
#include "service/service.h"

namespace zem::zemd {

inline constexpr char kAdminPrefix[] = "/admin/";
inline constexpr char kAdminRawFilePath[] = "/admin/files/raw";

Reply HandleAdmin(Service& service, int port, const std::string& method, const std::string& path,
                  const std::string& query, const std::string& body);

// POST /admin/files/raw: the body has been streamed into `writer`.
Reply FinishAdminRawFile(Service& service, const std::string& query, BlobWriter& writer,
                         bool complete);

}  // namespace zem::zemd
