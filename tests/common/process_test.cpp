// Child processes and the `ps` probe, against real processes.
#include "common/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/child.h"

namespace vy {
namespace {

TEST(ProcessProbe, ParsesTheCommandColumnAndTheState) {
  const std::string header = "  PID TTY      STAT   TIME COMMAND\n";
  EXPECT_EQ(commandNameFromPs(header + " 1234 ?        S      0:00 ./vyrunner.cgi scheduler\n", true),
            "./vyrunner.cgi");
  EXPECT_EQ(commandNameFromPs(header + " 1234 ?        Z      0:00 [sleep] <defunct>\n", false),
            "[sleep]");
  EXPECT_FALSE(commandNameFromPs(header + " 1234 ?        Z      0:00 [sleep] <defunct>\n", true));
  EXPECT_FALSE(commandNameFromPs(header + " 1234 ?        Ss     0:00 sh\n", true));
  EXPECT_FALSE(commandNameFromPs(header, true));
  EXPECT_FALSE(commandNameFromPs("    PID TTY\n   12 ?\n", false));
  EXPECT_EQ(commandNameFromPs("  PID S CMD\n   12 R sh\n", true), "sh");
}

TEST(ProcessProbe, AMissingProcessIsAbsentNotAFailure) {
  ProcessProbe probe = probeProcess(4190000, true);  // above the default pid_max
  EXPECT_EQ(probe.code, 0);
  EXPECT_FALSE(probe.name.has_value());
  EXPECT_EQ(probeProcess(0, false).code, 0);
}

TEST(ProcessProbe, AZombieCountsOnlyWithoutTheActiveRequirement) {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  // Wait until the child has become a zombie, without reaping it.
  for (int i = 0; i < 200; ++i) {
    siginfo_t info = {};
    if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) break;
    usleep(10000);
  }
  EXPECT_FALSE(probeProcess(pid, true).name.has_value());
  EXPECT_TRUE(probeProcess(pid, false).name.has_value());
  waitpid(pid, nullptr, 0);
}

TEST(ProcessProbe, RunningAnswersByExactCommandName) {
  ChildProcess sleeper;
  ASSERT_TRUE(sleeper.start({"sleep", "30"}, ChildProcess::kNoPipes));
  usleep(100000);
  int answer = -1;
  EXPECT_EQ(isProcessRunning(sleeper.pid(), "sleep", answer), 0);
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(isProcessRunning(sleeper.pid(), "Sleep", answer), 0);
  EXPECT_EQ(answer, 0);
  kill(sleeper.pid(), SIGKILL);
}

TEST(ProcessProbe, AFailingPsIsAQuestionThatFailed) {
  test::TempDir dir;
  std::ofstream(dir.file("ps")) << "#!/bin/sh\nexit 3\n";
  chmod(dir.file("ps").c_str(), 0755);
  auto outcome = test::runInChild([&] {
    setenv("PATH", dir.path().c_str(), 1);
    _exit(probeProcess(1, true).code);
  });
  EXPECT_EQ(outcome.exitCode, 1);
  auto missing = test::runInChild([&] {
    setenv("PATH", "/nonexistent", 1);
    _exit(probeProcess(1, true).code);
  });
  EXPECT_EQ(missing.exitCode, 5);
}

TEST(Commands, ShellCommandGetsTheTextAndItsStatusComesBack) {
  test::TempDir dir;
  int status = runCommandWithInput("cat > " + dir.file("got") + "; exit 3", "line one\nline two");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  std::stringstream got;
  got << std::ifstream(dir.file("got")).rdbuf();
  EXPECT_EQ(got.str(), "line one\nline two");
}

TEST(Commands, AChildThatStopsReadingIsAWriteFailureNotADeadProcess) {
  std::string big(1 << 20, 'x');
  EXPECT_EQ(runCommandWithInput("exit 0", big), 13);
  EXPECT_EQ(runProgramWithInput({"/nonexistent/program"}, "x"), 2);
}

TEST(Commands, ChildrenStartWithDefaultSignalDispositions) {
  test::TempDir dir;
  signal(SIGTERM, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  int status = runCommandWithInput("grep -E '^SigIgn' /proc/self/status > " + dir.file("sig"), "");
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  EXPECT_EQ(status, 0);
  std::stringstream sigStream;
  sigStream << std::ifstream(dir.file("sig")).rdbuf();
  unsigned long long ignored = std::stoull(sigStream.str().substr(7), nullptr, 16);
  EXPECT_EQ(ignored & (1ULL << (SIGTERM - 1)), 0u);
  EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u);
}

}  // namespace
}  // namespace vy
