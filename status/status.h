// vystatus.cgi: the public status page and badges. It needs no password and
// only ever reads: it never writes a file (not even the error log), never
// starts the worker and answers for public groups only.
#ifndef VANTRY_STATUS_STATUS_H_
#define VANTRY_STATUS_STATUS_H_

#include <ctime>
#include <string>
#include <string_view>

namespace vy {

struct ReplyWriter;

// The reply to a request of this query string at now, written to out.
void statusReply(std::string_view queryString, std::time_t now, ReplyWriter& out);

// Answers the request the environment describes on standard output; the
// exit status.
int runStatus();

}  // namespace vy

#endif  // VANTRY_STATUS_STATUS_H_
