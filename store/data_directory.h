// The first run of an instance: the data directory and what every later
// request expects in it.
//
// Whichever program meets an instance without ./vydata creates it: the
// console at its first request, the worker's "passwd" command for a headless
// set-up. Both make the same directory, so either may come first.
#ifndef VANTRY_STORE_DATA_DIRECTORY_H_
#define VANTRY_STORE_DATA_DIRECTORY_H_

namespace vy {

// Unless ./vydata is there: creates it with its group, check-log and time
// directories, the time stamp file of the check runs and the group
// "general" with the defaults of a new group. A failure is a fatal report.
void prepareDataDirectory();

}  // namespace vy

#endif  // VANTRY_STORE_DATA_DIRECTORY_H_
