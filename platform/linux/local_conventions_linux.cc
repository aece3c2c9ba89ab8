#include "platform/local_conventions.h"

namespace zem::platform {

std::string_view TextFileLineEnd() { return "\n"; }

bool FolderIconsUseDesktopIni() { return false; }

}  // namespace zem::platform
