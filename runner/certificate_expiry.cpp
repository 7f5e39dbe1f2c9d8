// The certificate expiry of checks, its warnings and its details file; see
// certificate_expiry.h.
#include "runner/certificate_expiry.h"

#include <algorithm>

#include "common/errors.h"
#include "store/certificates.h"
#include "store/history.h"

namespace vy {

int certificateDaysLeft(uint32_t expiry, std::time_t now) {
  const int64_t left = int64_t{expiry} - static_cast<int64_t>(now);
  // Rounded towards minus infinity, so that the last hours before the expiry
  // are day 0 and those after it day -1.
  const int64_t days =
      left >= 0 ? left / kSecondsPerDay : -((-left + kSecondsPerDay - 1) / kSecondsPerDay);
  return static_cast<int>(days);
}

std::optional<int> crossedWarnCount(const std::vector<int>& counts, int daysLeft,
                                    uint16_t warnedDays) {
  std::optional<int> smallest;
  for (int count : counts) {
    if (daysLeft < count && (!smallest || count < *smallest)) smallest = count;
  }
  if (!smallest || (warnedDays != 0 && *smallest >= warnedDays)) return std::nullopt;
  return smallest;
}

bool takeCertificateExpiry(UrlStatus& entry, const HttpReply& reply) {
  uint32_t expiry = entry.certExpiry;
  if (reply.certificate) {
    expiry = storedCertificateExpiry(reply.certificate->notAfter);
  } else if (reply.code == HttpError::kOk) {
    expiry = 0;  // the final page answered without TLS
  }
  if (expiry == entry.certExpiry) return false;
  if (expiry == 0 || expiry > entry.certExpiry) entry.certWarnedDays = 0;
  entry.certExpiry = expiry;
  return true;
}

std::optional<int> takeCertificateWarning(UrlStatus& entry, const HttpReply& reply,
                                          const std::vector<int>& counts, bool suspended,
                                          std::time_t now) {
  if (suspended || !reply.certificate || entry.certExpiry == 0) return std::nullopt;
  const int daysLeft = certificateDaysLeft(entry.certExpiry, now);
  const std::optional<int> crossed = crossedWarnCount(counts, daysLeft, entry.certWarnedDays);
  if (!crossed) return std::nullopt;
  entry.certWarnedDays = static_cast<uint16_t>(*crossed);
  return daysLeft;
}

void storeCertificateReported(const std::string& group, std::span<const std::string_view> groupUrls,
                              std::string_view url, const HttpReply& reply) {
  if (!reply.certificate || groupUrls.empty()) return;
  const CertificateInfo& info = *reply.certificate;
  const CertificateWrite write =
      storeCertificate(group, groupUrls, url, {info.notAfter, info.issuer, info.subject});
  if (!write.damage.ok()) reportError(write.damage, certificatePath(group));
  if (!write.status.ok()) reportError(write.status, certificatePath(group));
}

}  // namespace vy
