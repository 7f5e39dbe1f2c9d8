// Rows 1, 2 and 8 and the worker's memory: check runs against slow loopback
// sites, beside curl and the blackbox exporter on the same URL list, and the
// same run over https:// beside http://.
#include <cmath>
#include <functional>
#include <optional>

#include "bench/bare_client.h"
#include "bench/bench_instance.h"
#include "bench/peers.h"
#include "bench/site_server.h"
#include "bench/table.h"
#include "bench/tls_site_server.h"

namespace vy::bench {
namespace {

using std::chrono::milliseconds;

constexpr int kRounds = 3;

// `count` URLs spread over the sites in turn; `path` starts every URL's path.
std::vector<std::string> siteUrls(const std::vector<std::string>& sites, int count,
                                  const std::string& path, const std::string& scheme = "http://") {
  std::vector<std::string> urls;
  for (int i = 0; i < count; ++i) {
    urls.push_back(scheme + sites[i % sites.size()] + path + std::to_string(i));
  }
  return urls;
}

// One `check` over a fresh group of the URLs (never checked, no check log),
// testing the presence content on every page when there is one. None when
// the run fails or not every URL was found up with its content.
std::optional<ProcessCost> freshCheckRun(const BenchInstance& instance,
                                         const std::vector<std::string>& urls,
                                         const std::string& presence = "",
                                         ProcessCost (*run)(const Launch&) = runMeasured) {
  GroupConfig group = groupOf(urls, !presence.empty());
  if (!presence.empty()) group.addPresContent(presence);
  instance.removeCheckLogs();
  if (!instance.storeGroup("bench", group)) return std::nullopt;
  ProcessCost cost = run(instance.worker({"check"}));
  if (cost.exitCode != 0 || instance.healthyUrls("bench") != urls.size()) return std::nullopt;
  return cost;
}

// Loopback sites, a list of URLs spread over them, and an instance with the
// given settings to check them from.
struct CheckRunSetup {
  CheckRunSetup(const BenchContext& context, int block, int siteCount,
                std::chrono::milliseconds delay, int urlCount, const std::string& path,
                const std::function<void(Settings&)>& adjust)
      : sites(siteAddresses(block, siteCount)),
        server(sites, delay),
        urls(siteUrls(sites, urlCount, path)),
        instance(context.installDir, adjust) {}
  bool ok() const { return server.ok() && instance.ok(); }

  std::vector<std::string> sites;
  SiteServer server;
  std::vector<std::string> urls;
  BenchInstance instance;
};

// The figures of several runs of one kind.
struct Runs {
  std::vector<double> wall, cpu;
  bool failed = false;
  void add(double wallSeconds, double cpuSeconds) {
    wall.push_back(wallSeconds);
    cpu.push_back(cpuSeconds);
  }
  void add(const std::optional<ProcessCost>& run) {
    failed = failed || !run;
    if (run) add(run->wallSeconds, run->cpuSeconds);
  }
  void add(const PassCost& pass) {
    failed = failed || pass.failures > 0;
    add(pass.wallSeconds, pass.cpuSeconds);
  }
  double wallMedian() const { return median(wall); }
  double cpuMedian() const { return median(cpu); }
};

void addPeerRows(const char* peer, const Runs& ours, const Runs& theirs, const std::string& idTime,
                 const std::string& idCpu, Table& table) {
  const std::string timeMeasure = std::string("check run time / ") + peer + "'s";
  const std::string cpuMeasure = std::string("check run CPU / ") + peer + "'s";
  if (ours.failed || theirs.failed) {
    table.push_back(failedRow(idTime, timeMeasure, Bound::kAtMost, 1.0, "a run failed"));
    table.push_back(failedRow(idCpu, cpuMeasure, Bound::kAtMost, 0.5, "a run failed"));
    return;
  }
  std::string detail =
      format("%s: %.3f s, %.3f CPU-s", peer, theirs.wallMedian(), theirs.cpuMedian());
  table.push_back(measuredRow(idTime, timeMeasure, ours.wallMedian() / theirs.wallMedian(),
                              Bound::kAtMost, 1.0, detail));
  table.push_back(measuredRow(idCpu, cpuMeasure, ours.cpuMedian() / theirs.cpuMedian(),
                              Bound::kAtMost, 0.5, detail));
}

// Row 1: 400 URLs on 20 sites answering after 100 ms, 20 at a time.
void addEfficiencyRows(const BenchContext& context, Table& table) {
  CheckRunSetup setup(context, 1, 20, milliseconds(100), 400, "/p", [](Settings& s) {
    s.maxCheckThreads = 20;
    s.maxCheckUrls = 400;
  });
  ExporterPeer exporter(context.scratchDir);
  const char* measure = "check run, 400 URLs, 20 sites at 100 ms, 20 threads: ideal / measured";
  if (!setup.ok() || !exporter.ok()) {
    table.push_back(failedRow("1a", measure, Bound::kAtLeast, 0.93,
                              "could not set up the sites, the instance or the exporter"));
    return;
  }
  const std::vector<std::string>& urls = setup.urls;
  (void)exporter.probeAll(std::vector<std::string>(urls.begin(), urls.begin() + 40), 20);
  Runs ours, curl, blackbox;
  for (int round = 0; round < kRounds; ++round) {
    ours.add(freshCheckRun(setup.instance, urls));
    curl.add(curlPass(urls, 20, context.scratchDir));
    blackbox.add(exporter.probeAll(urls, 20));
  }
  if (ours.failed) {
    table.push_back(failedRow("1a", measure, Bound::kAtLeast, 0.93, "a check run failed"));
  } else {
    table.push_back(
        measuredRow("1a", measure, 2.0 / ours.wallMedian(), Bound::kAtLeast, 0.93,
                    format("ours: %.3f s, %.3f CPU-s", ours.wallMedian(), ours.cpuMedian())));
  }
  addPeerRows("xargs -P 20 curl", ours, curl, "1b", "1c", table);
  addPeerRows("blackbox exporter", ours, blackbox, "1d", "1e", table);
}

// Row 2: 10,000 URLs on 50 sites answering after 200 ms, 500 at a time.
void addScaleRows(const BenchContext& context, Table& table) {
  CheckRunSetup setup(context, 2, 50, milliseconds(200), 10000, "/p", [](Settings& s) {
    s.maxCheckThreads = 500;
    s.maxCheckUrls = 10000;
  });
  const char* timeMeasure =
      "check run, 10,000 URLs, 50 sites at 200 ms, 500 threads: ideal / measured";
  const char* cpuMeasure = "the same: CPU-seconds per 1,000 checks";
  Runs ours;
  for (int round = 0; round < 2 && setup.ok(); ++round) {
    ours.add(freshCheckRun(setup.instance, setup.urls));
  }
  if (ours.failed || ours.wall.empty()) {
    table.push_back(failedRow("2a", timeMeasure, Bound::kAtLeast, 0.8, "a check run failed"));
    table.push_back(failedRow("2b", cpuMeasure, Bound::kAtMost, 0.15, "a check run failed"));
    return;
  }
  std::string detail = format("%.3f s, %.3f CPU-s", ours.wallMedian(), ours.cpuMedian());
  table.push_back(
      measuredRow("2a", timeMeasure, 4.0 / ours.wallMedian(), Bound::kAtLeast, 0.8, detail));
  table.push_back(
      measuredRow("2b", cpuMeasure, ours.cpuMedian() / 10.0, Bound::kAtMost, 0.15, detail));
}

// Row 8: one check run over https:// and one over http:// on the same 20
// sites (port 443 and port 80) answering at once, in turn, for the worker's
// checks per CPU-second; beside them a bare OpenSSL client's requests to the
// same sites (bare_client.h), for what a handshake costs any client. The sites'
// certificate is self-signed for their addresses; both clients trust it
// alone through SSL_CERT_FILE.
void addHttpsRows(const BenchContext& context, Table& table) {
  constexpr int kUrls = 400;
  constexpr int kTlsRounds = 5;
  const std::vector<std::string> sites = siteAddresses(5, 20);
  const std::string certificate = context.scratchDir + "/sites.pem";
  SiteServer plain(sites, milliseconds(0));
  TlsSiteServer secure(sites, milliseconds(0), certificate);
  BenchInstance instance(context.installDir, [](Settings& s) {
    s.maxCheckThreads = 20;
    s.maxCheckUrls = kUrls;
  });
  instance.setWorkerEnvironment({"SSL_CERT_FILE=" + certificate});
  const char* rateMeasure =
      "check run over https://, 400 URLs, 20 sites answering at once, 20 threads: checks per "
      "CPU-second";
  const char* addedMeasure =
      "the same: CPU https:// adds per check / what it adds to a bare OpenSSL client's request";
  auto failed = [&](const std::string& why) {
    table.push_back(failedRow("8a", rateMeasure, Bound::kAtLeast, 0, why));
    table.push_back(failedRow("8b", addedMeasure, Bound::kAtMost, 1.5, why));
  };
  if (!plain.ok() || !secure.ok() || !instance.ok()) {
    return failed("could not set up the sites, their certificate or the instance");
  }
  const std::vector<std::string> httpUrls = siteUrls(sites, kUrls, "/p");
  const std::vector<std::string> httpsUrls = siteUrls(sites, kUrls, "/p", "https://");
  std::vector<std::string> addresses;
  for (int i = 0; i < kUrls; ++i) addresses.push_back(sites[i % sites.size()]);
  const Launch barePlain = bareRequests(false, addresses, certificate, context.scratchDir);
  const Launch bareTls = bareRequests(true, addresses, certificate, context.scratchDir);
  auto bareRun = [](const Launch& launch) {
    ProcessCost cost = runMeasured(launch);
    return cost.exitCode == 0 ? std::optional(cost) : std::nullopt;
  };
  Runs http, https, bareHttp, bareHttps;
  for (int round = 0; round < kTlsRounds; ++round) {
    http.add(freshCheckRun(instance, httpUrls));
    https.add(freshCheckRun(instance, httpsUrls));
    bareHttp.add(bareRun(barePlain));
    bareHttps.add(bareRun(bareTls));
  }
  if (http.failed || https.failed || bareHttp.failed || bareHttps.failed) {
    return failed(https.failed ? "an https:// check run failed or found a URL down"
                               : "an http:// check run or a bare client's run failed");
  }
  const double httpRate = kUrls / http.cpuMedian(), httpsRate = kUrls / https.cpuMedian();
  // With OpenSSL 3 a client's handshake alone costs about seven times a whole
  // plain check (RESULTS.md). A tenth of http://'s rate leaves room for noise
  // and little else: a cost of the worker's own of a fifth of a handshake on
  // every check would break it.
  const double target = std::round(0.1 * httpRate);
  const std::string detail =
      format("http://: %.0f per CPU-s, https / http %.3f; %.3f / %.3f CPU-s, %.3f / %.3f s",
             httpRate, httpsRate / httpRate, https.cpuMedian(), http.cpuMedian(),
             https.wallMedian(), http.wallMedian());
  table.push_back(measuredRow("8a", rateMeasure, httpsRate, Bound::kAtLeast, target, detail));
  const double oursAdded = (https.cpuMedian() - http.cpuMedian()) / kUrls;
  const double bareAdded = (bareHttps.cpuMedian() - bareHttp.cpuMedian()) / kUrls;
  table.push_back(measuredRow(
      "8b", addedMeasure, oursAdded / bareAdded, Bound::kAtMost, 1.5,
      format("ours %.3f ms, bare %.3f ms per request; bare: %.3f / %.3f CPU-s", oursAdded * 1e3,
             bareAdded * 1e3, bareHttps.cpuMedian(), bareHttp.cpuMedian())));
}

}  // namespace

void addTlsRows(const BenchContext& context, Table& table) { addHttpsRows(context, table); }

void addCheckRunRows(const BenchContext& context, Table& table) {
  addEfficiencyRows(context, table);
  addScaleRows(context, table);
}

// The worker's memory: 1,000 URLs with content checks against 200 KB pages,
// MAXLENPAGE 100000, 10 threads.
void addMemoryRows(const BenchContext& context, Table& table) {
  CheckRunSetup setup(context, 3, 10, milliseconds(0), 1000, "/size/204800/p", [](Settings& s) {
    s.maxCheckThreads = 10;
    s.maxCheckUrls = 1000;
    s.maxPageLength = 100000;
  });
  const char* measure = "check run, 1,000 URLs of 200 KB, MAXLENPAGE 100000, 10 threads: peak MiB";
  std::optional<ProcessCost> run;
  // The pages are cut at MAXLENPAGE: the presence content is their start.
  if (setup.ok()) {
    run = freshCheckRun(setup.instance, setup.urls, "<title>site</title>", runMeasuredAlone);
  }
  if (!run) {
    table.push_back(failedRow("7a", measure, Bound::kAtMost, 64, "the check run failed"));
    return;
  }
  table.push_back(measuredRow("7a", measure, static_cast<double>(run->peakKiB) / 1024.0,
                              Bound::kAtMost, 64,
                              format("%.3f s, %.3f CPU-s", run->wallSeconds, run->cpuSeconds)));
}

}  // namespace vy::bench
