// What the console pages show of a URL's certificate expiry: the days left
// and whether they call for attention, by the warning day counts of the
// settings ("Warn about certificates that expire within").
#ifndef VANTRY_CONSOLE_CERTIFICATE_NOTICE_H_
#define VANTRY_CONSOLE_CERTIFICATE_NOTICE_H_

#include <cstdint>
#include <ctime>
#include <span>
#include <string>

namespace vy {

// Whole days from now to the expiry, rounded down: an expiry 36 hours away is
// 1 day, one an hour ago is -1.
int64_t certificateDaysLeft(uint32_t expiry, std::time_t now);

enum class CertificateAlert {
  kNone,    // no known expiry, warnings off, or not below the largest count
  kSoon,    // below the largest count
  kUrgent,  // below the smallest count, or expired
};

struct CertificateNotice {
  CertificateAlert alert = CertificateAlert::kNone;
  int64_t daysLeft = 0;
};

// The notice of an expiry (0 = not known) at now. warnDays are the counts
// largest first (Settings::certificateWarnDays); empty means warnings off.
// A URL counts as expiring once its days left are below the largest count,
// the same moment its group is first told.
CertificateNotice certificateNotice(uint32_t expiry, std::time_t now,
                                    std::span<const int> warnDays);

// "expired", "1 day", "12 days".
std::string daysLeftText(int64_t daysLeft);

// The class suffix a page gives the notice: "soon", "urgent" or "".
const char* certificateAlertClass(CertificateAlert alert);

// An expiry as the URL page shows it, in UTC: "2024-06-22 12:00 UTC".
std::string expiryText(uint32_t expiry);

}  // namespace vy

#endif  // VANTRY_CONSOLE_CERTIFICATE_NOTICE_H_
