// The peers the benchmark compares the worker with; see peers.h.
#include "bench/peers.h"

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "bench/process_cost.h"
#include "common/cgi.h"
#include "net/http.h"
#include "net/socket.h"

namespace vy::bench {
namespace {

constexpr const char* kExporterProgram = "/usr/bin/prometheus-blackbox-exporter";

constexpr const char* kExporterConfig =
    "modules:\n"
    "  http_2xx:\n"
    "    prober: http\n"
    "    timeout: 10s\n"
    "    http:\n"
    "      preferred_ip_protocol: ip4\n";

// One /probe request to the exporter; true when it found the target up.
bool probe(const std::string& url) {
  UniqueFd socket;
  if (!connectToHost("127.0.0.1", ExporterPeer::kExporterPort, HostTable(), std::chrono::seconds(5),
                     socket)
           .ok()) {
    return false;
  }
  std::string request = "GET /probe?module=http_2xx&target=" + urlEncode(url) +
                        " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (!sendText(socket.get(), request)) return false;
  LargeText reply;
  if (readAll(socket.get(), -1, reply) != SocketError::kOk) return false;
  return reply.find("\nprobe_success 1") != std::string::npos;
}

bool exporterAnswers() {
  UniqueFd socket;
  return connectToHost("127.0.0.1", ExporterPeer::kExporterPort, HostTable(),
                       std::chrono::seconds(1), socket)
      .ok();
}

}  // namespace

PassCost curlPass(const std::vector<std::string>& urls, int parallel,
                  const std::string& scratchDir) {
  const std::string listPath = scratchDir + "/urls.txt";
  {
    std::ofstream list(listPath, std::ios::trunc);
    for (const std::string& url : urls) list << url << '\n';
  }
  Launch launch;
  launch.argv = {"/usr/bin/xargs",
                 "-P",
                 std::to_string(parallel),
                 "-n",
                 "1",
                 "/usr/bin/curl",
                 "-s",
                 "-f",
                 "-o",
                 "/dev/null"};
  launch.directory = scratchDir;
  launch.stdinPath = listPath;
  ProcessCost cost = runMeasured(launch);
  PassCost pass{cost.wallSeconds, cost.cpuSeconds, cost.exitCode == 0 ? 0 : 1};
  return pass;
}

Launch curlFetch(const std::string& url, const std::string& scratchDir) {
  Launch launch;
  launch.argv = {"/usr/bin/curl", "-s", "-f", "-o", "/dev/null", url};
  launch.directory = scratchDir;
  return launch;
}

ExporterPeer::ExporterPeer(const std::string& scratchDir) {
  const std::string configPath = scratchDir + "/blackbox.yml";
  std::ofstream(configPath, std::ios::trunc) << kExporterConfig;
  Launch launch;
  launch.argv = {kExporterProgram, "--config.file=" + configPath,
                 "--web.listen-address=127.0.0.1:" + std::to_string(kExporterPort)};
  launch.directory = scratchDir;
  pid_ = startProcess(launch);
  if (pid_ < 0) return;
  for (int attempt = 0; attempt < 100 && !exporterAnswers(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!exporterAnswers()) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

ExporterPeer::~ExporterPeer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

PassCost ExporterPeer::probeAll(const std::vector<std::string>& urls, int parallel) const {
  std::atomic<size_t> next{0};
  std::atomic<int> failures{0};
  const double cpuBefore = processCpuSeconds(pid_);
  const double start = monotonicSeconds();
  std::vector<std::thread> clients;
  for (int i = 0; i < parallel; ++i) {
    clients.emplace_back([&] {
      for (size_t at = next++; at < urls.size(); at = next++) {
        if (!probe(urls[at])) ++failures;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  PassCost pass;
  pass.wallSeconds = monotonicSeconds() - start;
  pass.cpuSeconds = processCpuSeconds(pid_) - cpuBefore;
  pass.failures = failures;
  return pass;
}

}  // namespace vy::bench
