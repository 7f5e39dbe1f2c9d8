// A throw-away installation for the benchmark: the installed programs and
// templates copied into a temporary directory with a data directory, plus
// helpers that fill its store directly, faster than the console could.
#ifndef VANTRY_BENCH_BENCH_INSTANCE_H_
#define VANTRY_BENCH_BENCH_INSTANCE_H_

#include <functional>
#include <string>
#include <vector>

#include "bench/process_cost.h"
#include "store/group_config.h"
#include "store/group_store.h"
#include "store/settings.h"

namespace vy::bench {

inline constexpr const char* kAdminPassword = "bench";

class BenchInstance {
 public:
  // Copies DIR/vyrunner.cgi, DIR/vyconsole.cgi, DIR/vystatus.cgi and DIR/vytpl/ of installDir;
  // the settings are those of a new installation changed by `adjust`, and the
  // administrator's password is kAdminPassword.
  BenchInstance(const std::string& installDir, const std::function<void(Settings&)>& adjust);
  ~BenchInstance();
  BenchInstance(const BenchInstance&) = delete;
  BenchInstance& operator=(const BenchInstance&) = delete;

  bool ok() const { return ok_; }
  // A live console session of the administrator, for the pages a row requests.
  const std::string& session() const { return session_; }
  const std::string& dir() const { return dir_; }
  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }

  // Stores the group (replacing one of the same name); false on failure.
  bool storeGroup(const std::string& name, const GroupConfig& group) const;
  // Adds the group's URLs to the stored group; false on failure.
  bool addUrls(const std::string& name, const GroupConfig& group) const;
  // The stored group; false when it cannot be read.
  bool readGroup(const std::string& name, GroupConfig& group) const;
  // How many URLs of the group are up with every presence content found.
  size_t healthyUrls(const std::string& name) const;
  // Replaces the group's check log with `records` records of its URLs.
  bool writeCheckLog(const std::string& name, const GroupConfig& group, int records) const;
  void removeCheckLogs() const;
  // Replaces the group's history with checks of its URLs before now: one
  // every checkMinutes over the last 48 hours, one in fifty down, and a
  // summary of each of the `days` days before them; then its day digest, as
  // the worker's run writes it at its end.
  bool writeHistory(const std::string& name, const GroupConfig& group, int checkMinutes,
                    int days) const;

  // The environment of every later worker run (NAME=value entries besides PATH).
  void setWorkerEnvironment(std::vector<std::string> env) { workerEnv_ = std::move(env); }
  // A run of ./vyrunner.cgi with arguments and the worker environment; stdin
  // from a file of its own holding stdinText.
  Launch worker(const std::vector<std::string>& args, const std::string& stdinText = "") const;
  // A GET of the console as a web server makes it, logged in.
  Launch consoleGet(const std::string& query) const;

 private:
  std::string dir_;
  bool ok_ = false;
  std::string session_;
  mutable int stdinFiles_ = 0;
  std::vector<std::string> workerEnv_;
};

// A group as the console makes it holding `urls`, every URL checking the
// content lists when `contentChecks` is set.
GroupConfig groupOf(const std::vector<std::string>& urls, bool contentChecks);

}  // namespace vy::bench

#endif  // VANTRY_BENCH_BENCH_INSTANCE_H_
