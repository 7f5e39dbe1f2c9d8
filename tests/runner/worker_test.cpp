// The worker as a process: start-up and signals.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "common/le.h"
#include "tests/runner/worker_fixture.h"

namespace vy {
namespace {

using test::Instance;
using test::LogLines;

// Starts a worker that blocks reading its FIFO settings file, signal handlers installed.
test::BackgroundProcess startBlockedWorker(const Instance& instance,
                                           std::map<std::string, std::string> env = {}) {
  const std::string fifo = instance.path("vydata/vyvars.dat");
  test::BackgroundProcess worker = instance.start("vyrunner.cgi", {{}, env, "", 30});
  std::string fds = "/proc/" + std::to_string(worker.pid()) + "/fd";
  auto opened = [&] {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
      if (std::filesystem::read_symlink(entry.path(), ec) == fifo) return true;
    }
    return false;
  };
  EXPECT_TRUE(test::waitUntil(opened, 10));
  return worker;
}

// A signal mask line of /proc/<pid>/status ("SigIgn:", "SigCgt:") as bits.
uint64_t signalMask(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(name, 0) == 0) return std::stoull(line.substr(name.size()), nullptr, 16);
  }
  return 0;
}
constexpr uint64_t bit(int signal) { return uint64_t{1} << (signal - 1); }

// Without a command the worker ends with 254 and prints nothing, whether it found its settings
// or not. The about page reads no settings; every command needs them.
TEST(WorkerEntry, NoCommandEnds254AndDamagedSettingsEndEveryCommandButTheAboutPage) {
  Instance instance;
  test::RunResult bare = instance.runWorker({});
  EXPECT_EQ(std::tuple(bare.exitCode, bare.out), std::tuple(254, ""));
  instance.makeDataDirs();
  instance.write("vydata/vyvars.dat", std::string(2000, '\0'));
  EXPECT_EQ(instance.runWorker({}).exitCode, 254);  // loaded: no command

  instance.write("vydata/vyvars.dat", std::string(1000, 'x'));
  test::RunResult about = instance.runWorker({}, {{"QUERY_STRING", "about"}});
  EXPECT_EQ(about.exitCode, 0);
  EXPECT_EQ(about.out.rfind("Content-type: text/html\n\n<h2>Vantry</h2>\n<pre>", 0), 0u);
  EXPECT_NE(about.out.find("Unit         : vyrunner\n<br>"), std::string::npos);
  test::RunResult result = instance.runWorker({"check"});
  EXPECT_EQ(std::tuple(result.exitCode, result.out), std::tuple(1, "Software error"));
  EXPECT_EQ(test::loggedActions(instance), (LogLines{{"12", "./vydata/vyvars.dat"}}));
}

// A worker blocked on a FIFO settings file, its signal handlers installed.
class WorkerSignalsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    instance_.makeDataDirs();
    ASSERT_EQ(mkfifo(instance_.path("vydata/vyvars.dat").c_str(), 0666), 0);
  }
  Instance instance_;
};

// An ignored signal is dropped when it is sent: it can never end the worker.
TEST_F(WorkerSignalsTest, TermHupAndPipeAreIgnoredAndIntEndsTheWorkerWithOneLogLine) {
  test::BackgroundProcess worker = startBlockedWorker(instance_);
  const uint64_t ignored = signalMask(worker.pid(), "SigIgn:");
  const uint64_t caught = signalMask(worker.pid(), "SigCgt:");
  EXPECT_EQ(ignored & (bit(SIGTERM) | bit(SIGHUP) | bit(SIGPIPE)),
            bit(SIGTERM) | bit(SIGHUP) | bit(SIGPIPE));
  for (int fatal : {SIGINT, SIGILL, SIGABRT, SIGFPE, SIGSEGV}) EXPECT_TRUE(caught & bit(fatal));
  for (int signal : {SIGTERM, SIGPIPE, SIGINT}) worker.signal(signal);
  EXPECT_EQ(worker.wait(10).exitCode, 1);
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"5", "Got INT signal #2"}}));
  EXPECT_FALSE(instance_.exists("dumplog.dat"));  // no crash record
}

TEST_F(WorkerSignalsTest, SegvLeavesACrashRecordWithTheEnvironment) {
  test::BackgroundProcess crashing = startBlockedWorker(instance_, {{"MARKER", "crash-test"}});
  crashing.signal(SIGSEGV);
  EXPECT_EQ(crashing.wait(10).exitCode, 1);
  std::string dump = instance_.read("dumplog.dat");
  ASSERT_GE(dump.size(), 188u);
  const auto* bytes = reinterpret_cast<const uint8_t*>(dump.data());
  std::string environment = dump.substr(188);
  EXPECT_EQ(le::getI32(bytes + 8), SIGSEGV);
  EXPECT_EQ(le::getU16(bytes + 180), std::count(environment.begin(), environment.end(), '\0'));
  EXPECT_EQ(le::getU16(bytes + 182), environment.size());
  EXPECT_NE(environment.find(std::string("MARKER=crash-test\0", 18)), std::string::npos);
  EXPECT_EQ(test::loggedActions(instance_), (LogLines{{"5", "Got SEGV signal #11"}}));
}

}  // namespace
}  // namespace vy
