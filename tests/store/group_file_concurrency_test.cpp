// Two processes storing into the same group at once: the lock held from open
// to close keeps every URL, also when both start before the group exists.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "store/group_file.h"
#include "tests/store/data_dir.h"

namespace vy {
namespace {

class GroupFileConcurrencyTest : public test::DataDirTest {};

constexpr int kUrlsPerProcess = 150;

// Adds its URLs one access at a time, so the two writers interleave.
pid_t startAdder(const std::string& prefix) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  int failures = 0;
  for (int i = 0; i < kUrlsPerProcess; ++i) {
    GroupConfig config;
    config.addUrl(prefix + std::to_string(i));
    if (accessGroupFile("shop", config, 'a') != 0) ++failures;
  }
  _exit(failures == 0 ? 0 : 1);
}

// The exit status, or -1 after killing a process that overran the deadline.
int waitBounded(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(GroupFileConcurrencyTest, TwoProcessesAddingToOneGroupLoseNoUrl) {
  pid_t first = startAdder("http://first/");
  pid_t second = startAdder("http://second/");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  EXPECT_EQ(waitBounded(first, deadline), 0);
  EXPECT_EQ(waitBounded(second, deadline), 0);

  GroupConfig read;
  ASSERT_EQ(accessGroupFile("shop", read, 'r'), 0);
  std::set<std::string> urls;
  for (const UrlStatus& entry : read.urls) urls.emplace(entry.url);
  EXPECT_EQ(read.urlCount(), 2 * kUrlsPerProcess);
  EXPECT_EQ(urls.size(), size_t{2 * kUrlsPerProcess});
}

}  // namespace
}  // namespace vy
