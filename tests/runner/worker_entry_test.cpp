// The worker's start-up as a user meets it: exit statuses, the about page,
// broken settings and the fatal signals, run from a fresh instance directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "common/le.h"
#include "tests/runner/worker_fixture.h"

namespace vy {
namespace {

using test::Instance;
using test::LogLines;

// The settings file is a FIFO, so that the worker blocks while loading its
// settings with its signal handlers already installed.
test::BackgroundProcess startBlockedWorker(const Instance& instance,
                                           test::RunOptions options = {}) {
  instance.makeDataDirs();
  std::string fifo = instance.path("vydata/vyvars.dat");
  EXPECT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  test::BackgroundProcess worker = instance.start("vyrunner.cgi", options);
  std::string fds = "/proc/" + std::to_string(worker.pid()) + "/fd";
  auto opened = [&] {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
      if (std::filesystem::read_symlink(entry.path(), ec) == fifo) return true;
    }
    return false;
  };
  EXPECT_TRUE(test::waitUntil(opened, 10));
  usleep(100000);  // from the open to the blocking read
  return worker;
}

TEST(WorkerEntry, NoCommandEndsWith254AndPrintsNothing) {
  Instance instance;
  test::RunResult result = instance.runWorker({});
  EXPECT_EQ(result.exitCode, 254);
  EXPECT_EQ(result.out, "");
}

TEST(WorkerEntry, ShortSettingsFileIsFatalExceptForTheAboutPageAndALongOneLoads) {
  Instance instance;
  instance.makeDataDirs();
  instance.write("vydata/vyvars.dat", std::string(1000, 'x'));
  test::RunResult about = instance.runWorker({}, {{"QUERY_STRING", "about"}});
  EXPECT_EQ(about.exitCode, 0);
  EXPECT_EQ(about.out.rfind("Content-type: text/html\n\n<h2>Vantry</h2>\n<pre>", 0), 0u);
  EXPECT_NE(about.out.find("Unit         : vyrunner\n<br>"), std::string::npos);
  EXPECT_TRUE(instance.errorLog().empty());

  test::RunResult result = instance.runWorker({"check"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "Software error");
  ASSERT_EQ(instance.errorLog().size(), 1u);
  std::vector<std::string> fields = test::splitLogLine(instance.errorLog()[0]);
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[2], "12");
  EXPECT_EQ(fields[4], "./vydata/vyvars.dat");
  EXPECT_EQ(fields[5] + " " + fields[6], "vyrunner 1");

  instance.write("vydata/vyvars.dat", std::string(2000, '\0'));
  EXPECT_EQ(instance.runWorker({}).exitCode, 254);
  EXPECT_EQ(instance.errorLog().size(), 1u);
}

TEST(WorkerSignals, TerminateAndBrokenPipeAreIgnoredAndInterruptEndsTheWorker) {
  Instance instance;
  test::BackgroundProcess worker = startBlockedWorker(instance);
  worker.signal(SIGTERM);
  worker.signal(SIGPIPE);
  usleep(200000);
  EXPECT_EQ(kill(worker.pid(), 0), 0) << "the worker died of an ignored signal";
  EXPECT_TRUE(instance.errorLog().empty());
  worker.signal(SIGINT);
  EXPECT_EQ(worker.wait(10).exitCode, 1);
  EXPECT_EQ(test::loggedActions(instance), (LogLines{{"5", "Got INT signal #2"}}));
  EXPECT_FALSE(instance.exists("dumplog.dat"));
}

TEST(WorkerSignals, SegmentationFaultAppendsCrashRecordAndEnvironment) {
  Instance instance;
  test::RunOptions options;
  options.env = {{"MARKER", "crash-test"}};
  test::BackgroundProcess worker = startBlockedWorker(instance, options);
  worker.signal(SIGSEGV);
  EXPECT_EQ(worker.wait(10).exitCode, 1);

  std::string dump = instance.read("dumplog.dat");
  ASSERT_GE(dump.size(), 188u);
  const auto* bytes = reinterpret_cast<const uint8_t*>(dump.data());
  std::string environment = dump.substr(188);
  EXPECT_EQ(le::getI32(bytes + 8), SIGSEGV);
  EXPECT_EQ(le::getU16(bytes + 180), std::count(environment.begin(), environment.end(), '\0'));
  EXPECT_EQ(le::getU16(bytes + 182), environment.size());
  EXPECT_NE(environment.find(std::string("MARKER=crash-test\0", 18)), std::string::npos);
  EXPECT_EQ(test::loggedActions(instance), (LogLines{{"5", "Got SEGV signal #11"}}));
}

}  // namespace
}  // namespace vy
