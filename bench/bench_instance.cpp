// The benchmark's installations; see bench_instance.h.
#include "bench/bench_instance.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "common/credentials.h"
#include "store/check_log.h"
#include "store/group_name.h"
#include "store/group_store.h"
#include "store/history.h"
#include "store/history_digest.h"
#include "store/sessions.h"

namespace vy::bench {
namespace {

namespace fs = std::filesystem;

// Runs body with dir as the working directory: the store's paths are relative.
template <typename Body>
auto insideDirectory(const std::string& dir, Body body) {
  char previous[PATH_MAX];
  if (!::getcwd(previous, sizeof previous) || ::chdir(dir.c_str()) != 0) return decltype(body())();
  auto result = body();
  if (::chdir(previous) != 0) return decltype(body())();
  return result;
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

}  // namespace

BenchInstance::BenchInstance(const std::string& installDir,
                             const std::function<void(Settings&)>& adjust) {
  char pattern[] = "/tmp/vy-bench-XXXXXX";
  if (!::mkdtemp(pattern)) return;
  dir_ = pattern;
  std::error_code error;
  for (const char* name : {"vyrunner.cgi", "vyconsole.cgi", "vystatus.cgi", "vytpl"}) {
    fs::copy(installDir + "/" + name, path(name), fs::copy_options::recursive, error);
    if (error) return;
  }
  for (const char* name : {"vydata/vydb", "vydata/vychklog", "vydata/vytime"}) {
    fs::create_directories(path(name), error);
    if (error) return;
  }
  Settings settings = defaultSettings("127.0.0.1");
  adjust(settings);
  ok_ = writeFile(path("vydata/vytime/check"), "") &&
        saveSettings(settings, path("vydata/vyvars.dat")).ok() &&
        writePasswordFile("admin", kAdminPassword, path("vydata/admin.pwd")).ok() &&
        createSession(path("vydata/sessions"), std::time(nullptr), session_).ok();
}

// VYBENCH_KEEP=1 keeps the instances for profiling a program in them.
BenchInstance::~BenchInstance() {
  if (dir_.empty()) return;
  if (std::getenv("VYBENCH_KEEP")) {
    std::fprintf(stderr, "kept %s, session apwd=%s\n", dir_.c_str(), session_.c_str());
    return;
  }
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

bool BenchInstance::storeGroup(const std::string& name, const GroupConfig& group) const {
  return insideDirectory(dir_, [&] { return writeGroup(name, group).ok(); });
}

bool BenchInstance::addUrls(const std::string& name, const GroupConfig& group) const {
  return insideDirectory(dir_, [&] { return vy::addUrls(name, group.urls).ok(); });
}

bool BenchInstance::readGroup(const std::string& name, GroupConfig& group) const {
  return insideDirectory(dir_, [&] {
    GroupRead read = vy::readGroup(name);
    group = std::move(read.group);
    return read.ok();
  });
}

size_t BenchInstance::healthyUrls(const std::string& name) const {
  GroupConfig group;
  bool read = readGroup(name, group);
  size_t healthy = 0;
  for (const UrlStatus& url : group.urls) {
    if (read && url.up() && (!url.checkPres() || url.presOk())) ++healthy;
  }
  return healthy;
}

bool BenchInstance::writeHistory(const std::string& name, const GroupConfig& group,
                                 int checkMinutes, int days) const {
  const std::time_t now = std::time(nullptr);
  std::vector<KeyedDay> summaries;
  std::vector<KeyedCheck> checks;
  const int checksPerUrl = static_cast<int>(kHistoryCheckKeepSeconds) / 60 / checkMinutes;
  const uint16_t today = static_cast<uint16_t>(now / kSecondsPerDay);
  for (size_t u = 0; u < group.urls.size(); ++u) {
    const uint64_t key = historyUrlKey(group.urls[u].url);
    for (int d = days + 2; d > 2; --d) {
      const uint32_t down = (u + static_cast<size_t>(d)) % 9 == 0 ? 3 : 0;
      summaries.push_back(
          {key, {static_cast<uint16_t>(today - d), 1440, 1440 - down, 1440ull * 120, 900}});
    }
  }
  for (int i = checksPerUrl; i > 0; --i) {
    const uint32_t time = static_cast<uint32_t>(now - i * checkMinutes * 60);
    for (size_t u = 0; u < group.urls.size(); ++u) {
      const bool up = (u + static_cast<size_t>(i)) % 50 != 0;
      checks.push_back(
          {historyUrlKey(group.urls[u].url),
           {time, static_cast<uint8_t>(up ? kStateUp : 0), static_cast<int16_t>(up ? 200 : 503),
            static_cast<uint32_t>(40 + (u * 31 + static_cast<size_t>(i)) % 400)}});
    }
  }
  ::mkdir((dir_ + "/" + kHistoryDir).c_str(), 0700);
  if (!writeFile(dir_ + "/" + historyPath(name), encodeHistoryImage(summaries, checks, now))) {
    return false;
  }
  std::vector<std::string_view> urls;
  for (const UrlStatus& url : group.urls) urls.push_back(url.url);
  return insideDirectory(dir_, [&] { return writeHistoryDigest(name, urls, now).ok(); });
}

bool BenchInstance::writeCheckLog(const std::string& name, const GroupConfig& group,
                                  int records) const {
  std::string bytes;
  for (int i = 0; i < records && !group.urls.empty(); ++i) {
    const UrlStatus& url = group.urls[static_cast<size_t>(i) % group.urls.size()];
    CheckLogEntry entry = checkLogEntryFor(url);
    entry.time = 1790000000u + static_cast<uint32_t>(i) * 60u;
    entry.status = i % 7 ? 200 : 503;
    entry.flags = i % 7 ? kStateUp : 0;
    bytes += encodeCheckLogEntry(entry);
  }
  return writeFile(dir_ + "/" + checkLogPath(name), bytes);
}

void BenchInstance::removeCheckLogs() const {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(path("vydata/vychklog"), ignored)) {
    fs::remove(entry.path(), ignored);
  }
}

Launch BenchInstance::worker(const std::vector<std::string>& args,
                             const std::string& stdinText) const {
  Launch launch;
  launch.argv = {path("vyrunner.cgi")};
  launch.argv.insert(launch.argv.end(), args.begin(), args.end());
  launch.directory = dir_;
  launch.env = workerEnv_;
  if (!stdinText.empty()) {
    launch.stdinPath = path("stdin-" + std::to_string(++stdinFiles_) + ".txt");
    writeFile(launch.stdinPath, stdinText);
  }
  return launch;
}

Launch BenchInstance::consoleGet(const std::string& query) const {
  Launch launch;
  launch.argv = {path("vyconsole.cgi")};
  launch.directory = dir_;
  launch.env = {"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET", "SCRIPT_NAME=/vyconsole.cgi",
                "HTTP_HOST=127.0.0.1", "QUERY_STRING=" + query};
  return launch;
}

GroupConfig groupOf(const std::vector<std::string>& urls, bool contentChecks) {
  GroupConfig group = newGroupDefaults();
  group.urls.reserve(urls.size());
  for (const std::string& url : urls) {
    group.addUrl(url).flags = contentChecks ? (kUrlCheckBan | kUrlCheckPres) : 0;
  }
  return group;
}

}  // namespace vy::bench
