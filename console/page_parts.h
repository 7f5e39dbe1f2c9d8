// What the log and help pages make of outside data, apart from their output:
// an error-log line taken into its fields and shown as a table row, and the
// section tags a help request selects from the help template.
//
// These take text written by the programs, by hand or by a visitor, so they
// are kept separate where each can be driven with any input on its own.
#ifndef VANTRY_CONSOLE_PAGE_PARTS_H_
#define VANTRY_CONSOLE_PAGE_PARTS_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace vy {

// --- Error log ---------------------------------------------------------------------------

// The page shows at most this many bytes of a line's detail and source.
inline constexpr size_t kMaxLogField = 63;

// The fields of one error-log line, "time|line|action|errno|detail|source|fatal".
// Numbers a line does not give keep the previous line's values; the texts
// start empty on every line.
struct ErrorLine {
  long time = 0;
  int line = 0;
  int action = 0;
  int errnoValue = 0;
  int fatal = 0;
  std::string detail;
  std::string source;
};

// Takes one whole line (its line end may be there) into fields, whatever the
// lengths of its texts: the four numbers before the first four "|", the
// detail up to the second-last "|" (so a detail may hold "|" itself), the
// source up to the last, then fatal. The numbers are read in order and
// reading stops at the first that is not a number; a line with fewer "|"
// gives its texts in order, as far as it has them.
void parseErrorLine(std::string_view text, ErrorLine& fields);

// One row of the error table, escaped for the page's preformatted block.
std::string errorRow(const ErrorLine& fields);

// --- Help --------------------------------------------------------------------------------

// A section's start and end tag.
struct HelpTags {
  std::string start;
  std::string end;
};

// The tags of a help request for a page such as "group" or "group.en" and a
// presentation letter: the head and foot are tagged with the page's
// extension and, when the extension does not already end in "p" or "s", the
// letter; the text with the whole page name and that letter; noTopic is the
// text shown instead when the topic has none, of the same extension. Names
// are cut to 15 bytes and suffixes to 2.
struct HelpPageTags {
  std::string topic;  // the page name before its extension
  HelpTags head, help, foot, noTopic;
};
HelpPageTags helpPageTags(std::string_view page, std::string_view presentation);

}  // namespace vy

#endif  // VANTRY_CONSOLE_PAGE_PARTS_H_
