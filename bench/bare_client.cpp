// The benchmark's bare reference client; see bare_client.h.
#include "bench/bare_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <memory>

#include "common/fd.h"

namespace vy::bench {
namespace {

struct ContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SessionFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// A blocking socket connected to port of address whose every wait ends after
// five seconds; invalid when it could not connect.
UniqueFd connectTo(const std::string& address, int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  timeval limit{5, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1 ||
      ::connect(fd.get(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
    return UniqueFd();
  }
  return fd;
}

bool isOkReply(const std::string& reply) { return reply.rfind("HTTP/1.0 200 ", 0) == 0; }

bool plainRequest(const std::string& address, const std::string& request) {
  UniqueFd fd = connectTo(address, 80);
  if (!fd || ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return false;
  std::string reply;
  char buffer[4096];
  for (long n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) {
    reply.append(buffer, static_cast<size_t>(n));
  }
  return isOkReply(reply);
}

bool tlsRequest(SSL_CTX* context, const std::string& address, const std::string& request) {
  UniqueFd fd = connectTo(address, 443);
  if (!fd) return false;
  std::unique_ptr<SSL, SessionFree> ssl(SSL_new(context));
  if (!ssl || SSL_set_fd(ssl.get(), fd.get()) != 1 ||
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), address.c_str()) != 1 ||
      SSL_connect(ssl.get()) != 1) {
    return false;
  }
  size_t written = 0;
  if (SSL_write_ex(ssl.get(), request.data(), request.size(), &written) != 1) return false;
  std::string reply;
  char buffer[4096];
  for (size_t n = 0; SSL_read_ex(ssl.get(), buffer, sizeof buffer, &n) == 1;)
    reply.append(buffer, n);
  return isOkReply(reply);
}

}  // namespace

Launch bareRequests(bool tls, const std::vector<std::string>& addresses,
                    const std::string& certificateFile, const std::string& directory) {
  Launch launch;
  launch.argv = {"/proc/self/exe", "--bare-requests", tls ? "tls" : "plain"};
  launch.argv.insert(launch.argv.end(), addresses.begin(), addresses.end());
  launch.directory = directory;
  launch.env = {"SSL_CERT_FILE=" + certificateFile};
  return launch;
}

int runBareRequests(int argc, char** argv) {
  if (argc < 1) return 2;
  const std::string mode = argv[0];
  if (mode != "tls" && mode != "plain") return 2;
  std::unique_ptr<SSL_CTX, ContextFree> context;
  if (mode == "tls") {
    context.reset(SSL_CTX_new(TLS_client_method()));
    if (!context) return 1;
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (SSL_CTX_set_default_verify_paths(context.get()) != 1) return 1;
  }
  bool allOk = true;
  for (int i = 1; i < argc; ++i) {
    const std::string address = argv[i];
    const std::string request = "GET /p HTTP/1.0\r\nHost: " + address + "\r\n\r\n";
    allOk =
        (context ? tlsRequest(context.get(), address, request) : plainRequest(address, request)) &&
        allOk;
    ERR_clear_error();
  }
  return allOk ? 0 : 1;
}

}  // namespace vy::bench
