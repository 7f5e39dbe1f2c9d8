// Loopback web sites over TLS for the benchmark: one self-signed certificate
// (EC P-256) whose subjectAltName holds every site address, written as PEM
// for the worker to trust, and the SiteServer loop serving port 443 of the
// addresses with non-blocking TLS sessions. Each connection gets its
// handshake, then its request head, then, after the site's delay, the same
// reply SiteServer gives, the TLS closing message and the close.
#ifndef VANTRY_BENCH_TLS_SITE_SERVER_H_
#define VANTRY_BENCH_TLS_SITE_SERVER_H_

#include <chrono>
#include <string>
#include <vector>

#include "bench/site_server.h"

namespace vy::bench {

class TlsSiteServer : public SiteServer {
 public:
  // Makes the certificate for the addresses, writes it to certificatePath
  // and binds port 443 of every address; ok() tells whether all of it worked.
  TlsSiteServer(const std::vector<std::string>& addresses, std::chrono::microseconds delay,
                const std::string& certificatePath);
};

}  // namespace vy::bench

#endif  // VANTRY_BENCH_TLS_SITE_SERVER_H_
