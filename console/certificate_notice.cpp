// The days left of a URL's certificate and the alert they call for.
#include "console/certificate_notice.h"

#include <time.h>

#include "common/text.h"
#include "common/zonetime.h"

namespace vy {

namespace {
constexpr int64_t kSecondsADay = 86400;
}  // namespace

int64_t certificateDaysLeft(uint32_t expiry, std::time_t now) {
  const int64_t seconds = int64_t{expiry} - static_cast<int64_t>(now);
  // Rounded towards minus infinity, so a certificate that ran out a second
  // ago has -1 days, not 0.
  return seconds >= 0 ? seconds / kSecondsADay : -((-seconds + kSecondsADay - 1) / kSecondsADay);
}

CertificateNotice certificateNotice(uint32_t expiry, std::time_t now,
                                    std::span<const int> warnDays) {
  CertificateNotice notice;
  if (expiry == 0 || warnDays.empty()) return notice;
  notice.daysLeft = certificateDaysLeft(expiry, now);
  if (notice.daysLeft >= warnDays.front()) return notice;
  notice.alert =
      notice.daysLeft < warnDays.back() ? CertificateAlert::kUrgent : CertificateAlert::kSoon;
  return notice;
}

std::string daysLeftText(int64_t daysLeft) {
  if (daysLeft < 0) return "expired";
  return std::to_string(daysLeft) + (daysLeft == 1 ? " day" : " days");
}

const char* certificateAlertClass(CertificateAlert alert) {
  switch (alert) {
    case CertificateAlert::kSoon:
      return "soon";
    case CertificateAlert::kUrgent:
      return "urgent";
    case CertificateAlert::kNone:
      break;
  }
  return "";
}

std::string expiryText(uint32_t expiry) { return utcMinuteText(expiry); }

}  // namespace vy
