#include "tools/keygate/arguments.h"

namespace zem::keygate {

const char kUsage[] =
    "用法: keygate [--token <token>] [--logout] [--help]\n"
    "  （无参数）        打开登录页面，登录后自动保存 token\n"
    "  --token <token>   加密保存给定的 token（至少 16 个字符）\n"
    "  --logout          删除已保存的凭据\n"
    "  --help            显示本说明\n"
    "  其他参数          在控制台粘贴 token 后保存\n"
    "退出码: 0 成功; 1 token 太短或为空; 2 保存失败; 3 读回校验失败\n";

Arguments ParseArguments(const std::vector<std::string>& args) {
  Arguments out;
  out.any = !args.empty();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--logout") {
      out.logout = true;
    } else if (a == "--token") {
      if (i + 1 < args.size()) out.token = args[++i];
    } else if (a == "--help") {
      out.help = true;
    }
  }
  return out;
}

}  // namespace zem::keygate
