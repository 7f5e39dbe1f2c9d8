// Row 10: the public status page of a large installation, its HTML and its
// JSON, each as one CGI process, against the console's about page (the bare
// process start).
#include "bench/bench_instance.h"
#include "bench/table.h"

namespace vy::bench {
namespace {

constexpr int kRepeats = 7;
constexpr int kGroups = 100;
constexpr int kUrlsPerGroup = 100;

GroupConfig publicGroup(int number) {
  GroupConfig group = newGroupDefaults();
  group.publicFlags = kPublicShown | (number % 2 ? kPublicAddresses : 0);
  for (int i = 0; i < kUrlsPerGroup; ++i) {
    UrlStatus& url =
        group.addUrl(format("https://service%d.example.com/api/health%d?key=secret", number, i));
    const bool up = i % 13 != 0;
    url.flags = static_cast<uint8_t>(up ? kUrlUp : 0);
    url.lastCheck = static_cast<uint32_t>(std::time(nullptr) - 120 - i);
    url.resultCode = static_cast<int16_t>(up ? 200 : 503);
  }
  return group;
}

Launch statusGet(const BenchInstance& on, const std::string& query) {
  Launch launch;
  launch.argv = {on.path("vystatus.cgi")};
  launch.directory = on.dir();
  launch.env = {"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET", "SCRIPT_NAME=/vystatus.cgi",
                "HTTP_HOST=127.0.0.1", "QUERY_STRING=" + query};
  launch.pipeOutput = true;
  return launch;
}

struct Runs {
  Runs(Launch request, size_t atLeast) : launch(std::move(request)), minimumBytes(atLeast) {
    launch.pipeOutput = true;
  }
  Launch launch;
  size_t minimumBytes;  // a shorter answer is an error page
  std::vector<double> wall;
  bool failed = false;
  void runOnce() {
    const ProcessCost cost = runMeasured(launch);
    if (cost.exitCode != 0 || cost.outputBytes < minimumBytes) failed = true;
    wall.push_back(cost.wallSeconds);
  }
};

void addRatioRow(const char* id, const char* measure, const Runs& page, const Runs& about,
                 Table& table) {
  table.push_back(pageRatioRow(id, measure, page.wall, about.wall, page.failed || about.failed, 5));
}

}  // namespace

void addStatusRows(const BenchContext& context, Table& table) {
  BenchInstance large(context.installDir, [](Settings&) {});
  bool ready = large.ok();
  for (int i = 0; ready && i < kGroups; ++i) {
    const GroupConfig group = publicGroup(i);
    const std::string name = format("service%03d", i);
    ready = large.storeGroup(name, group) && large.writeHistory(name, group, 60, 363);
  }
  Runs about{large.consoleGet("about"), 100};
  Runs page{statusGet(large, ""), 10000000};
  Runs json{statusGet(large, "format=json"), 5000000};
  for (int i = 0; ready && i <= kRepeats; ++i) {
    for (Runs* runs : {&about, &page, &json}) {
      runs->runOnce();
      if (i == 0) runs->wall.clear();  // the first round warms the caches
    }
  }
  about.failed = about.failed || !ready;
  addRatioRow("10a", "status page, 100 public groups of 100 URLs, a year of history / about page",
              page, about, table);
  addRatioRow("10b", "status JSON, the same / about page", json, about, table);
}

}  // namespace vy::bench
