// Rows 5 and 6: content checks of a large page in process, and the cost of
// fetching a large page from outside, against curl.
#include <string.h>

#include "bench/bench_instance.h"
#include "bench/peers.h"
#include "bench/site_server.h"
#include "bench/table.h"
#include "common/text.h"
#include "runner/match_content.h"

namespace vy::bench {
namespace {

constexpr size_t kLargePage = size_t{1} << 20;
constexpr int kContentRepeats = 15;
constexpr int kFetchRepeats = 31;

// The 20-byte presence contents, each written over page text in the second
// half of the page, so that the markup stays balanced.
std::vector<std::string> presenceContents(std::string& page) {
  std::vector<std::string> contents;
  for (int i = 0; i < 100; ++i) {
    std::string content = format("marker %03d of the pg", i);
    size_t at = page.find("status of the service",
                          page.size() / 2 + static_cast<size_t>(i) * (page.size() / 200));
    page.replace(at, content.size(), content);
    contents.push_back(content);
  }
  return contents;
}

// Patterns with commands on regions of the page, five shapes in four variants.
std::vector<std::string> structuralPatterns() {
  const char* const words[] = {"status", "service", "fine", "next"};
  std::vector<std::string> patterns;
  for (const char* word : words) {
    const std::string w = word;
    patterns.push_back("<title>[~-'" + w + " error']</title>");
    patterns.push_back("<body>[~+'" + w + "']<!--end-->");
    patterns.push_back("<body>[~>('<div','</body')]</html>");
    patterns.push_back("<head>[~<('<div','<title>')]</head>[~>('" + w + "','zzz')]</body>");
    patterns.push_back("<html>[~?('<p>','zzz')]</html>");
  }
  return patterns;
}

double secondsOf(const std::function<void()>& work) {
  const double start = monotonicSeconds();
  work();
  return monotonicSeconds() - start;
}

// Row 5.
void addContentCheckRow(Table& table) {
  std::string page = pageBody(kLargePage);
  const std::vector<std::string> presence = presenceContents(page);
  std::vector<std::string> patterns = structuralPatterns();
  patterns.insert(patterns.end(), presence.begin(), presence.end());
  std::vector<double> ours, plain;
  long matched = 0;
  for (int i = 0; i < kContentRepeats; ++i) {
    ours.push_back(secondsOf([&] {
      toLowerAscii(page);  // as the worker does before testing contents
      for (const std::string& pattern : patterns) {
        matched += matchContent(page, pattern) == ContentMatch::kMatched;
      }
    }));
    plain.push_back(secondsOf([&] {
      for (const std::string& content : presence) {
        matched += ::memmem(page.data(), page.size(), content.data(), content.size()) != nullptr;
      }
    }));
  }
  const char* measure = "content checks, 1 MB page, 100 contents + 20 patterns / 100 memmem";
  if (matched != static_cast<long>(kContentRepeats) * (120 + 100)) {
    table.push_back(failedRow("5", measure, Bound::kAtMost, 3, "a content was not found"));
    return;
  }
  table.push_back(
      measuredRow("5", measure, median(ours) / median(plain), Bound::kAtMost, 3,
                  format("%.3f ms / %.3f ms", median(ours) * 1e3, median(plain) * 1e3)));
}

// checkurl exits with the state word: up with its presence content.
bool checkedHealthy(const ProcessCost& cost) { return cost.exitCode == (kStateUp | kStatePresOk); }
bool exitedZero(const ProcessCost& cost) { return cost.exitCode == 0; }

// Row 6.
void addLargePageRow(const BenchContext& context, Table& table) {
  const std::vector<std::string> sites = siteAddresses(4, 1);
  SiteServer server(sites, std::chrono::microseconds(0));
  const std::string large = "http://" + sites[0] + "/size/" + std::to_string(kLargePage);
  const std::string small = "http://" + sites[0] + "/size/25";
  BenchInstance instance(context.installDir, [](Settings& s) { s.maxPageLength = 2 * kLargePage; });
  GroupConfig group = groupOf({large, small}, true);
  group.addPresContent(kPageEnd);
  const char* measure = "fetch 1 MB, minus 25 bytes: our time / curl's";
  if (!server.ok() || !instance.ok() || !instance.storeGroup("bench", group)) {
    table.push_back(failedRow("6", measure, Bound::kAtMost, 2, "could not set up"));
    return;
  }
  // The four runs take turns, and each keeps its fastest time: a process
  // start costs far more than the transfer, and on a shared machine its
  // noise comes in bursts that the fastest of many runs leaves out.
  struct Fetcher {
    Launch launch;
    bool (*succeeded)(const ProcessCost&);
    double fastest = -1;
  };
  Fetcher fetchers[] = {
      {instance.worker({"checkurl", "bench"}, "url=" + large + "\n"), checkedHealthy},
      {instance.worker({"checkurl", "bench"}, "url=" + small + "\n"), checkedHealthy},
      {curlFetch(large, context.scratchDir), exitedZero},
      {curlFetch(small, context.scratchDir), exitedZero}};
  bool failed = false;
  for (int round = 0; round <= kFetchRepeats && !failed; ++round) {
    for (Fetcher& fetcher : fetchers) {
      ProcessCost cost = runMeasured(fetcher.launch);
      failed = failed || !fetcher.succeeded(cost);
      // The first round warms up: the first check of a URL writes its log
      // record, and the site makes each page once.
      if (round > 0 && (fetcher.fastest < 0 || cost.wallSeconds < fetcher.fastest)) {
        fetcher.fastest = cost.wallSeconds;
      }
    }
  }
  const double ours = fetchers[0].fastest, oursBase = fetchers[1].fastest;
  const double curl = fetchers[2].fastest, curlBase = fetchers[3].fastest;
  if (failed || curl <= curlBase) {
    table.push_back(failedRow("6", measure, Bound::kAtMost, 2, "a fetch failed"));
    return;
  }
  table.push_back(measuredRow(
      "6", measure, std::max(ours - oursBase, 0.0) / (curl - curlBase), Bound::kAtMost, 2,
      format("fastest of %d: ours %.2f - %.2f ms, curl %.2f - %.2f ms", kFetchRepeats, ours * 1e3,
             oursBase * 1e3, curl * 1e3, curlBase * 1e3)));
}

}  // namespace

void addContentRows(const BenchContext& context, Table& table) {
  addContentCheckRow(table);
  addLargePageRow(context, table);
}

}  // namespace vy::bench
