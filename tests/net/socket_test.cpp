// The host table: which entries are used and which release frees it.
#include "net/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/support/child.h"

namespace vy {
namespace {

TEST(HostTable, EntriesNeedAReverseNameAndOnlyTheLoadingPairFreesTheTable) {
  test::TempDir dir;
  char former[4096];
  ASSERT_NE(::getcwd(former, sizeof former), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  // 127.0.0.1 has a reverse name (localhost); 127.0.0.37 has none.
  std::ofstream(kHostsPath) << "Site.Local 127.0.0.1\nnoreverse.local 127.0.0.37\n";
  uint32_t address = 0;

  bool outer = loadHosts();
  EXPECT_TRUE(outer);
  EXPECT_EQ(resolveHost("site.LOCAL", address), kHttpOk);
  EXPECT_EQ(address, ::inet_addr("127.0.0.1"));
  EXPECT_EQ(resolveHost("noreverse.local", address), kHttpLookupFailed);
  bool inner = loadHosts();  // a nested pair: the mail sender inside a check run
  EXPECT_FALSE(inner);
  releaseHosts(inner);
  EXPECT_EQ(resolveHost("site.local", address), kHttpOk);
  releaseHosts(outer);
  EXPECT_EQ(resolveHost("site.local", address), kHttpLookupFailed);
  ASSERT_EQ(::chdir(former), 0);
}

}  // namespace
}  // namespace vy
