#include "platform/local_conventions.h"

namespace zem::platform {

std::string_view TextFileLineEnd() { return "\r\n"; }

bool FolderIconsUseDesktopIni() { return true; }

}  // namespace zem::platform
