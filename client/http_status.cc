#include "client/http_status.h"

#include "common/cat.h"
#include "common/output.h"

namespace zem {

bool CheckHttpStatus(std::string_view label, int status) {
  if (status >= 200 && status <= 299) return true;
  if (status == 401 || status == 403) {
    // The token is read only at start-up, hence the restart hint.
    Err(Cat("[HTTP-AUTH] ", label, " got ", status,
            " — BIZ_TOKEN 失效，用 keygate.exe 刷新凭据后再重启 corvane\n"));
  } else if (status == 0) {
    Err(Cat("[HTTP-ERR] ", label, " query status failed\n"));
  } else {
    Err(Cat("[HTTP-ERR] ", label, " got ", status, "\n"));
  }
  return false;
}

}  // namespace zem
