// The result of an operation that can fail: a code of the operation's own
// domain (files, the group store, sockets, mail, ...) and what it concerns
// (a path, a group, a peer), with the errno seen when it failed.
//
// A Status never reports anything by itself. Whoever decides that a failure
// belongs in the error log hands the status to reportError (errors.h), which
// asks the domain's logAction(Code) for the number the log line carries; that
// conversion is the only place where a domain code meets a log action.
#ifndef VANTRY_COMMON_STATUS_H_
#define VANTRY_COMMON_STATUS_H_

#include <string>
#include <utility>

namespace vy {

// Code is an enum class whose value kOk means success.
template <typename Code>
struct [[nodiscard]] Status {
  Code code = Code::kOk;
  std::string subject;  // the path, group or peer the failure concerns
  int errnoValue = 0;   // errno when the failure happened; 0 when none applies

  Status() = default;
  Status(Code c, std::string what = {}, int error = 0)  // NOLINT: a code is a status
      : code(c), subject(std::move(what)), errnoValue(error) {}

  bool ok() const { return code == Code::kOk; }
  bool operator==(Code c) const { return code == c; }
};

}  // namespace vy

#endif  // VANTRY_COMMON_STATUS_H_
