// The worker's start-up as a user meets it: exit statuses, the about page,
// broken settings and the fatal signals, run from a fresh instance directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/le.h"
#include "tests/support/instance.h"

namespace vy {
namespace {

using test::Instance;
using test::RunOptions;

// Replaces the settings file by a FIFO, so that the worker blocks while it
// loads its settings with its signal handlers already installed.
test::BackgroundProcess startBlockedWorker(const Instance& instance, RunOptions options = {}) {
  instance.makeDataDirs();
  std::string fifo = instance.path("vydata/vyvars.dat");
  EXPECT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  test::BackgroundProcess worker = instance.start("vyrunner.cgi", options);
  pid_t pid = worker.pid();
  EXPECT_TRUE(test::waitUntil(
      [&] {
        std::error_code ec;
        for (const auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
          if (std::filesystem::read_symlink(entry.path(), ec) == fifo) return true;
        }
        return false;
      },
      10));
  usleep(100000);  // from open to the blocking read
  return worker;
}

TEST(WorkerEntry, NoCommandEndsWith254AndPrintsNothing) {
  Instance instance;
  test::RunResult result = instance.runWorker({});
  EXPECT_EQ(result.exitCode, 254);
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(instance.exists("vydata"));
}

TEST(WorkerEntry, AboutPageComesBeforeTheSettingsAreLoaded) {
  Instance instance;
  instance.makeDataDirs();
  instance.write("vydata/vyvars.dat", std::string(1000, 'x'));
  test::RunResult result = instance.runWorker({}, {{"QUERY_STRING", "about"}});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out.rfind("Content-type: text/html\n\n<h2>Vantry</h2>\n<pre>", 0), 0u);
  EXPECT_NE(result.out.find("VYVer       : 2.00072\n<br>"), std::string::npos);
  EXPECT_NE(result.out.find("Unit         : vyrunner\n<br>UnitVer      : 2.00.048\n<br>"),
            std::string::npos);
  EXPECT_NE(result.out.find("Compiled OS  : Linux\n<br></pre>Vantry keeps watch"),
            std::string::npos);
  EXPECT_TRUE(instance.errorLog().empty());
}

TEST(WorkerEntry, ShortSettingsFileIsFatalWithOneLogLine) {
  Instance instance;
  instance.makeDataDirs();
  instance.write("vydata/vyvars.dat", std::string(1000, 'x'));
  test::RunResult result = instance.runWorker({"check"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "Software error");
  auto log = instance.errorLog();
  ASSERT_EQ(log.size(), 1u);
  auto fields = test::splitLogLine(log[0]);
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[2], "12");
  EXPECT_EQ(fields[4], "./vydata/vyvars.dat");
  EXPECT_EQ(fields[5], "vyrunner");
  EXPECT_EQ(fields[6], "1");
}

TEST(WorkerEntry, LongSettingsFileLoads) {
  Instance instance;
  instance.makeDataDirs();
  instance.write("vydata/vyvars.dat", std::string(2000, '\0'));
  EXPECT_EQ(instance.runWorker({}).exitCode, 254);
  EXPECT_TRUE(instance.errorLog().empty());
}

TEST(WorkerSignals, InterruptEndsTheWorkerWithOneLogLine) {
  Instance instance;
  test::BackgroundProcess worker = startBlockedWorker(instance);
  worker.signal(SIGINT);
  test::RunResult result = worker.wait(10);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "Software error");
  auto log = instance.errorLog();
  ASSERT_EQ(log.size(), 1u);
  auto fields = test::splitLogLine(log[0]);
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[2], "5");
  EXPECT_EQ(fields[4], "Got INT signal #2");
  EXPECT_FALSE(instance.exists("dumplog.dat"));
}

TEST(WorkerSignals, TerminateAndBrokenPipeAreIgnored) {
  Instance instance;
  test::BackgroundProcess worker = startBlockedWorker(instance);
  worker.signal(SIGTERM);
  worker.signal(SIGPIPE);
  worker.signal(SIGHUP);
  usleep(200000);
  EXPECT_EQ(kill(worker.pid(), 0), 0) << "the worker died of an ignored signal";
  std::ofstream(instance.path("vydata/vyvars.dat"), std::ios::binary) << std::string(1696, '\0');
  test::RunResult result = worker.wait(10);
  EXPECT_EQ(result.exitCode, 254);
  EXPECT_TRUE(instance.errorLog().empty());
}

TEST(WorkerSignals, SegmentationFaultAppendsCrashRecordAndEnvironment) {
  Instance instance;
  RunOptions options;
  options.env = {{"MARKER", "crash-test"}};
  test::BackgroundProcess worker = startBlockedWorker(instance, options);
  worker.signal(SIGSEGV);
  test::RunResult result = worker.wait(10);
  EXPECT_EQ(result.exitCode, 1);

  std::string dump = instance.read("dumplog.dat");
  ASSERT_GE(dump.size(), 188u);
  const auto* bytes = reinterpret_cast<const uint8_t*>(dump.data());
  EXPECT_EQ(le::getI32(bytes + 8), SIGSEGV);
  std::string environment = dump.substr(188);
  EXPECT_EQ(le::getU16(bytes + 180), std::count(environment.begin(), environment.end(), '\0'));
  EXPECT_EQ(le::getU16(bytes + 182), environment.size());
  EXPECT_NE(environment.find(std::string("MARKER=crash-test\0", 18)), std::string::npos);

  auto log = instance.errorLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(test::splitLogLine(log[0]).at(4), "Got SEGV signal #11");
}

}  // namespace
}  // namespace vy
