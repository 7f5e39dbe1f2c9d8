// Row 4 and the console's memory: pages of large installations, each as one
// CGI process, against the about page (the bare process start).
#include <cctype>

#include "bench/bench_instance.h"
#include "bench/table.h"

namespace vy::bench {
namespace {

constexpr int kRepeats = 15;

// A URL as a large installation holds them, with a plausible last result.
void addCheckedUrl(GroupConfig& group, int i) {
  UrlStatus& url =
      group.addUrl("http://www.site" + std::to_string(i % 500) + ".example.com/catalogue/item" +
                   std::to_string(i) + ".html?ref=monitor");
  const bool up = i % 11 != 0;
  url.flags = static_cast<uint8_t>(kUrlCheckBan | kUrlCheckPres | (up ? kUrlUp | kUrlPresOk : 0));
  url.lastCheck = 1790000000u + static_cast<uint32_t>(i % 3600);
  url.resultCode = static_cast<int16_t>(up ? 200 : (i % 2 ? 503 : 5));
  url.responseMs = static_cast<uint32_t>(i * 7919 % 3000);
}

GroupConfig checkedGroup(int urls) {
  GroupConfig group = newGroupDefaults();
  group.addBanContent("internal server error");
  group.addPresContent("</html>");
  group.urls.reserve(static_cast<size_t>(urls));
  for (int i = 0; i < urls; ++i) addCheckedUrl(group, i);
  return group;
}

// One kind of page requested again and again.
struct PageRuns {
  PageRuns(const BenchInstance& on, std::string request, size_t atLeast)
      : instance(&on), query(std::move(request)), minimumBytes(atLeast) {}

  const BenchInstance* instance;
  std::string query;
  size_t minimumBytes;  // a shorter page is an error page
  std::vector<double> wall;
  bool failed = false;

  void runOnce() {
    Launch launch = instance->consoleGet(query);
    launch.pipeOutput = true;
    ProcessCost cost = runMeasured(launch);
    if (cost.exitCode != 0 || cost.outputBytes < minimumBytes) failed = true;
    wall.push_back(cost.wallSeconds);
  }
};

// text as a form value: letters and digits as they are, every other byte %XX.
std::string formEncoded(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c)) {
      out += static_cast<char>(c);
    } else {
      out += format("%%%02X", c);
    }
  }
  return out;
}

// A request of the administrator's session: a password would make every page a login.
std::string loggedIn(const BenchInstance& on, const std::string& query) {
  return query + (query.empty() ? "" : "&") + "apwd=" + on.session();
}

void addRatioRow(const char* id, const char* measure, const PageRuns& page, const PageRuns& about,
                 Table& table, double target = 5) {
  table.push_back(
      pageRatioRow(id, measure, page.wall, about.wall, page.failed || about.failed, target));
}

}  // namespace

void addConsoleRows(const BenchContext& context, Table& table) {
  BenchInstance large(context.installDir, [](Settings&) {});
  BenchInstance many(context.installDir, [](Settings&) {});
  GroupConfig big = checkedGroup(10000);
  bool ready = large.ok() && many.ok() && large.storeGroup("big", big) &&
               large.writeCheckLog("big", big, 10000);
  for (int i = 0; ready && i < 1000; ++i) {
    GroupConfig small = checkedGroup(10);
    ready = many.storeGroup(format("group%04d", i), small);
  }
  BenchInstance charted(context.installDir, [](Settings&) {});
  GroupConfig single = checkedGroup(1);
  ready = ready && charted.ok() && charted.storeGroup("big", big) &&
          charted.writeHistory("big", big, 15, 28) && charted.storeGroup("one", single) &&
          charted.writeHistory("one", single, 1, 363) && charted.writeCheckLog("one", single, 1000);
  PageRuns about(large, "about", 100);
  PageRuns groupPage(large, loggedIn(large, "fnct=view_group&group=big&urlsort=t"), 1000000);
  PageRuns checkLog(large, loggedIn(large, "fnct=view_checklog&group=big"), 1000000);
  PageRuns overview(many, loggedIn(many, ""), 100000);
  PageRuns chartedGroup(charted, loggedIn(charted, "fnct=view_group&group=big&urlsort=t"), 2000000);
  PageRuns urlPage(charted,
                   loggedIn(charted, "fnct=view_url&group=one&url=" +
                                         formEncoded(std::string(single.urls[0].url))),
                   20000);
  for (int i = 0; ready && i <= kRepeats; ++i) {
    for (PageRuns* page : {&about, &groupPage, &checkLog, &overview, &chartedGroup, &urlPage}) {
      page->runOnce();
      if (i == 0) page->wall.clear();  // the first round warms the caches
    }
  }
  about.failed = about.failed || !ready;
  addRatioRow("4a", "group page, 10,000 URLs sorted by time / about page", groupPage, about, table);
  addRatioRow("4b", "groups overview, 1,000 groups of 10 URLs / about page", overview, about,
              table);
  addRatioRow("4c", "check-log page, 10,000 records / about page", checkLog, about, table);
  addRatioRow("4d",
              "group page, 10,000 URLs with 30 days of history, uptime column and charts / "
              "about page",
              chartedGroup, about, table);
  addRatioRow("4e", "URL page, a year of history / about page", urlPage, about, table, 3);
  const char* memory = "group page, 10,000 URLs: peak MiB";
  const ProcessCost alone = runMeasuredAlone(large.consoleGet(groupPage.query));
  if (groupPage.failed || !ready || alone.exitCode != 0) {
    table.push_back(failedRow("7b", memory, Bound::kAtMost, 32, "a page request failed"));
  } else {
    table.push_back(measuredRow("7b", memory, static_cast<double>(alone.peakKiB) / 1024.0,
                                Bound::kAtMost, 32, ""));
  }
}

}  // namespace vy::bench
