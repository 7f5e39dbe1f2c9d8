// Runs a piece of test code in a forked child, for code that ends the process
// (fatal reports) or changes process-wide state (working directory,
// environment). The child's stdout is captured.
#ifndef VANTRY_TESTS_SUPPORT_CHILD_H_
#define VANTRY_TESTS_SUPPORT_CHILD_H_

#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/instance.h"

namespace vy::test {

// Forks, runs body in the child and exits 0 when body returns. The parent
// waits at most timeoutSeconds (then kills the child).
RunResult runInChild(const std::function<void()>& body, double timeoutSeconds = 20);

// A fresh temporary directory removed by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A fresh temporary directory, the working directory for as long as this lives.
struct TempWorkingDir : TempDir {
  TempWorkingDir() { std::filesystem::current_path(path()); }
  ~TempWorkingDir() { std::filesystem::current_path(previous_); }

 private:
  const std::filesystem::path previous_ = std::filesystem::current_path();
};

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_CHILD_H_
