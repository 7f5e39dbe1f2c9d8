// The "Software error" page of the console when the error log cannot be written: the details
// it shows instead are a stranger's texts, escaped.
#include <filesystem>

#include "tests/console/console_fixture.h"

namespace vy {
namespace {

using test::WorkingConsoleTest;

TEST_F(WorkingConsoleTest, AnUnknownCommandWithTheLogLostShowsItsDetailsEscaped) {
  serveByProgram();
  std::filesystem::remove(instance_.path("vydata/error.log"));
  std::filesystem::create_directory(instance_.path("vydata/error.log"));
  const test::RunResult result = submit({{"fnct", "<script>alert(1)</script>"}},
                                        {{"SERVER_ADMIN", "\"><script>alert(2)</script>"}});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out.find("<script"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("File/Variable/More:  &lt;script&gt;alert(1)&lt;/script&gt;\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("mailto:&quot;&gt;&lt;script&gt;alert(2)&lt;/script&gt;\">"),
            std::string::npos)
      << result.out;
}

}  // namespace
}  // namespace vy
