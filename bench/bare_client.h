// A bare HTTP client for reference: one GET after another to a list of
// loopback addresses, over plain TCP or over TLS with nothing but OpenSSL's
// own calls (one client context, the default trust store, the address checked
// against the certificate). What it costs per request is the least a TLS
// handshake and a request can cost with this OpenSSL on this machine.
#ifndef VANTRY_BENCH_BARE_CLIENT_H_
#define VANTRY_BENCH_BARE_CLIENT_H_

#include <string>
#include <vector>

#include "bench/process_cost.h"

namespace vy::bench {

// A run of the bare client (this program again) getting "/" from port 443 of
// every address over TLS, trusting certificateFile alone, or from port 80.
Launch bareRequests(bool tls, const std::vector<std::string>& addresses,
                    const std::string& certificateFile, const std::string& directory);

// The client's side: argv after "--bare-requests" as bareRequests passes it.
// Exit status 0 when every request got a 200 reply, 1 otherwise, 2 on bad
// arguments.
int runBareRequests(int argc, char** argv);

}  // namespace vy::bench

#endif  // VANTRY_BENCH_BARE_CLIENT_H_
