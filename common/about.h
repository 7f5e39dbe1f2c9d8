// The version page both programs show for the query string "about".
#ifndef VANTRY_COMMON_ABOUT_H_
#define VANTRY_COMMON_ABOUT_H_

namespace vy {

// Prints the CGI header and the about page, then ends the process (status 0).
[[noreturn]] void printAboutPage(const char* unit, const char* unitVersion);

}  // namespace vy

#endif  // VANTRY_COMMON_ABOUT_H_
