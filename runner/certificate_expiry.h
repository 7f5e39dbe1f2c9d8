// What a check makes of the certificate its final page came with: the
// expiry kept in the URL's record, the details kept beside it, and when the
// group's recipient is warned that the certificate runs out.
//
// The expiry follows the last page fetched (after redirects). A page that
// answered without TLS has none; a fetch that failed before an answer, or
// whose handshake failed, keeps the expiry last known: an outage says
// nothing about the certificate, and forgetting it would make the next good
// check look like a renewal and repeat the warnings already given.
//
// Warnings. With days left = floor((expiry - now) / 86400) and the warning
// counts of the settings, a count is crossed once the days left are below it
// (20 days left cross 21). A check warns once, for the smallest count
// crossed, when that count is smaller than the one last warned about
// (certWarnedDays); a later expiry (a renewal) starts afresh. Only a check
// that saw the chain itself warns.
#ifndef VANTRY_RUNNER_CERTIFICATE_EXPIRY_H_
#define VANTRY_RUNNER_CERTIFICATE_EXPIRY_H_

#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/http.h"
#include "store/group_config.h"

namespace vy {

// Whole days from now to expiry, rounded down (negative once expired).
int certificateDaysLeft(uint32_t expiry, std::time_t now);

// The warning count a check with daysLeft tells of: the smallest of counts
// that daysLeft is below, when it is below warnedDays too (0: none told);
// none otherwise, and always none for an empty list.
std::optional<int> crossedWarnCount(const std::vector<int>& counts, int daysLeft,
                                    uint16_t warnedDays);

// Takes the expiry of the final reply into entry (certExpiry, and
// certWarnedDays back to 0 on a later or no expiry); true when certExpiry
// changed.
bool takeCertificateExpiry(UrlStatus& entry, const HttpReply& reply);

// Decides the check's warning for entry and records it in certWarnedDays:
// the days left to tell, or none. Nothing while the group is suspended or
// when the reply brought no certificate.
std::optional<int> takeCertificateWarning(UrlStatus& entry, const HttpReply& reply,
                                          const std::vector<int>& counts, bool suspended,
                                          std::time_t now);

// Keeps the reply's certificate details for url in the group's certificate
// file, whose other entries are those of groupUrls; failures are logged. Does
// nothing without a certificate or without groupUrls (a URL the stored group
// does not hold).
void storeCertificateReported(const std::string& group, std::span<const std::string_view> groupUrls,
                              std::string_view url, const HttpReply& reply);

}  // namespace vy

#endif  // VANTRY_RUNNER_CERTIFICATE_EXPIRY_H_
