// How the tests print the typed result codes in a failure message: the name
// a reader looks for, with the number the files and logs carry.
#ifndef VANTRY_TESTS_SUPPORT_PRINTERS_H_
#define VANTRY_TESTS_SUPPORT_PRINTERS_H_

#include <ostream>

#include "common/credentials.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/status.h"
#include "net/http.h"
#include "net/mail.h"
#include "net/socket.h"
#include "store/store_code.h"

namespace vy {

inline std::ostream& operator<<(std::ostream& out, ErrAction action) {
  return out << actionNumber(action) << " (" << errActionText(action) << ")";
}
inline std::ostream& operator<<(std::ostream& out, HttpError error) {
  return out << "HttpError " << static_cast<int>(error);
}
inline std::ostream& operator<<(std::ostream& out, SocketError error) {
  return out << "SocketError " << static_cast<int>(error);
}
inline std::ostream& operator<<(std::ostream& out, MailError error) {
  return out << "MailError " << static_cast<int>(error) << " (" << mailErrorText(error) << ")";
}
inline std::ostream& operator<<(std::ostream& out, Access access) {
  return out << "Access " << static_cast<int>(access);
}
inline std::ostream& operator<<(std::ostream& out, FileCode code) {
  return out << "FileCode " << static_cast<int>(code) << ", logged " << logAction(code);
}
inline std::ostream& operator<<(std::ostream& out, StoreCode code) {
  return out << "StoreCode " << static_cast<int>(code) << ", logged " << logAction(code);
}
template <typename Code>
std::ostream& operator<<(std::ostream& out, const Status<Code>& status) {
  return out << status.code << (status.subject.empty() ? "" : " for ") << status.subject;
}

}  // namespace vy

#endif  // VANTRY_TESTS_SUPPORT_PRINTERS_H_
