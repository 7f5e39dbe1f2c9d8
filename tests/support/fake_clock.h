// A program's wall clock set by libfaketime (Debian's faketime package), for process tests that
// need simulated days: the environment that starts a program's clock at a chosen time.
#ifndef VANTRY_TESTS_SUPPORT_FAKE_CLOCK_H_
#define VANTRY_TESTS_SUPPORT_FAKE_CLOCK_H_

#include <ctime>
#include <map>
#include <string>

namespace vy::test {

// The libfaketime build that keeps one clock for all the threads of a process; empty when
// faketime is not installed.
std::string fakeTimeLibrary();

// The environment that starts a program's clock at `time` (with `library`, from
// fakeTimeLibrary) and lets it run on from there, in UTC. The monotonic clock stays real, so
// that the program's timeouts are. libfaketime comes before a sanitizer build's runtime in the
// list of loaded libraries, which that runtime must be told to accept.
std::map<std::string, std::string> fakeClockAt(std::time_t time, const std::string& library);

}  // namespace vy::test

#endif  // VANTRY_TESTS_SUPPORT_FAKE_CLOCK_H_
