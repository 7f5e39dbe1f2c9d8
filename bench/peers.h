// What a user would run instead of the worker, measured the same way: curl
// started by `xargs -P`, and a running prometheus-blackbox-exporter probed
// with concurrent /probe requests.
#ifndef VANTRY_BENCH_PEERS_H_
#define VANTRY_BENCH_PEERS_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "bench/process_cost.h"

namespace vy::bench {

// Wall and CPU time of one pass over a URL list; failures counts the URLs
// that were not found up.
struct PassCost {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  int failures = 0;
};

// `xargs -P parallel -n 1 curl -s -o /dev/null` over the URLs (CPU of xargs
// and every curl).
PassCost curlPass(const std::vector<std::string>& urls, int parallel,
                  const std::string& scratchDir);

// One `curl -s -f -o /dev/null url`.
Launch curlFetch(const std::string& url, const std::string& scratchDir);

// A blackbox exporter on 127.0.0.1:kExporterPort with an http module that
// probes over IPv4; stopped by its pid when the object goes.
class ExporterPeer {
 public:
  static constexpr int kExporterPort = 19115;
  explicit ExporterPeer(const std::string& scratchDir);
  ~ExporterPeer();
  ExporterPeer(const ExporterPeer&) = delete;
  ExporterPeer& operator=(const ExporterPeer&) = delete;

  bool ok() const { return pid_ > 0; }
  // Probes every URL, `parallel` requests at a time; CPU is the exporter's own.
  PassCost probeAll(const std::vector<std::string>& urls, int parallel) const;

 private:
  pid_t pid_ = -1;
};

}  // namespace vy::bench

#endif  // VANTRY_BENCH_PEERS_H_
