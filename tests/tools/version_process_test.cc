// Every shipped program answers --version with one line: its name, the
// product version of the build and the git revision it was built from.
#include <regex>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "tests/support/temp_home.h"

namespace zem {
namespace {

TEST(VersionProcessTest, EveryProgramPrintsOneVersionLineAndExitsZero) {
  testing::TempHome home;
  const std::regex line(R"(^(\w+) (\d+\.\d+\.\d+) \(rev ([0-9a-f]{12}\+?|unknown)\)\n$)");
  std::string first_revision;
  for (const std::string program : {"corvane", "keygate", "register", "populate"}) {
    SCOPED_TRACE(program);
    // --version wins over anything else on the line, even a switch that
    // would otherwise start the program's real work.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--version"}, std::vector<std::string>{"--service", "--version"}}) {
      if (program != "corvane" && args.size() > 1) continue;
      const auto r = platform::RunProcess(std::filesystem::path(ZEM_BIN_DIR) / program, args,
                                          home.Options());
      ASSERT_TRUE(r.started());
      EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
      EXPECT_EQ(r.err, "");
      std::smatch m;
      ASSERT_TRUE(std::regex_match(r.out, m, line)) << r.out;
      EXPECT_EQ(m[1].str(), program);
      EXPECT_EQ(m[2].str(), ZEM_EXPECTED_VERSION);
      if (first_revision.empty()) first_revision = m[3].str();
      EXPECT_EQ(m[3].str(), first_revision) << "all programs come from one build";
    }
  }
  // Nothing was started: no log, no configuration, no sync-root folder.
  EXPECT_FALSE(std::filesystem::exists(home.app_data()));
  EXPECT_FALSE(std::filesystem::exists(home.sync_root()));
}

}  // namespace
}  // namespace zem
