// Loopback web sites over TLS for the benchmark: one self-signed certificate
// (EC P-256) whose subjectAltName holds every site address, written as PEM
// for the worker to trust, and one thread with one epoll loop that serves
// port 443 of the addresses with non-blocking TLS sessions. Each connection
// gets its handshake, then its request head, then, after the site's delay,
// the same reply SiteServer gives, the TLS closing message and the close.
#ifndef VANTRY_BENCH_TLS_SITE_SERVER_H_
#define VANTRY_BENCH_TLS_SITE_SERVER_H_

#include <openssl/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/fd.h"

namespace vy::bench {

class TlsSiteServer {
 public:
  // Makes the certificate for the addresses, writes it to certificatePath
  // and binds port 443 of every address; ok() tells whether all of it worked.
  TlsSiteServer(const std::vector<std::string>& addresses, std::chrono::microseconds delay,
                const std::string& certificatePath);
  ~TlsSiteServer();
  TlsSiteServer(const TlsSiteServer&) = delete;
  TlsSiteServer& operator=(const TlsSiteServer&) = delete;

  bool ok() const { return ok_; }
  unsigned long answered() const { return answered_.load(); }

 private:
  struct ContextFree {
    void operator()(SSL_CTX* context) const;
  };

  void loop();

  std::chrono::microseconds delay_;
  std::unique_ptr<SSL_CTX, ContextFree> context_;
  std::vector<UniqueFd> listeners_;
  UniqueFd epoll_;
  UniqueFd wake_;  // an eventfd that ends the loop
  bool ok_ = false;
  std::atomic<unsigned long> answered_{0};
  std::thread thread_;
};

}  // namespace vy::bench

#endif  // VANTRY_BENCH_TLS_SITE_SERVER_H_
