// Template variables, sections and substitution.
//
// Console pages and the worker's notification mail come from template files
// read anew for every request. A template holds markers "[#NAME#]" that are
// replaced by the value of NAME from a TemplateVars list (absent names emit
// nothing, and values are never scanned again, so a value may safely contain
// a marker). A page template is further cut into sections between literal
// start and end markers such as "<header_template>" and "</header_template>";
// the page emits sections in its own order, a row section once per row.
//
// Values are emitted as they are set. Anything taken from a user, a file or
// the request must go through htmlValue before it is placed into a page.
#ifndef VANTRY_COMMON_TEMPLATES_H_
#define VANTRY_COMMON_TEMPLATES_H_

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vy {

// The template directory, relative to the programs' working directory.
inline constexpr const char* kTemplateDir = "./vytpl/";

// The worker's mail template.
inline constexpr const char* kNotificationMailTemplate = "notifmail.msg";

// An ordered list of (name, value) pairs. Lookup returns the first pair of a
// name; set replaces that pair's value, add appends another pair behind it.
// Values are texts; formatAlloc makes them from a printf format.
class TemplateVars {
 public:
  void set(std::string_view name, std::string value);
  void add(std::string_view name, std::string value);
  // The value of the first pair with that name; nullptr when there is none.
  const std::string* get(std::string_view name) const;
  size_t size() const { return pairs_.size(); }
  void clear() {
    pairs_.clear();
    firstOf_.clear();
  }

 private:
  // Looks names up by string_view without making a string of them. Names
  // are a few capitals: FNV-1a spreads them well at a fraction of the cost
  // of the library's general string hash.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const {
      uint64_t hash = 14695981039346656037u;
      for (char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
      return static_cast<size_t>(hash);
    }
  };

  std::vector<std::pair<std::string, std::string>> pairs_;
  // Each name's first pair, which is the one get and set find: a page sets
  // and reads a few dozen names for each of its rows.
  std::unordered_map<std::string, size_t, NameHash, std::equal_to<>> firstOf_;
};

// A text made safe for an HTML page, inside element content or a quoted
// attribute: the escapes of htmlEscape plus the apostrophe as "&#39;".
std::string htmlValue(std::string_view text);

// --- Substitution --------------------------------------------------------------

// The text with every "[#NAME#]" replaced by its value (nothing for an absent
// name). A "[#" without a following "#]" is dropped, the rest kept.
std::string substituteSection(std::string_view text, const TemplateVars& vars);
// The same with "[NAME]" markers, for the address of an HTTP notification.
std::string substituteBrackets(std::string_view text, const TemplateVars& vars);
// Writes the substituted text to a stream.
void renderSection(std::string_view text, const TemplateVars& vars, std::FILE* out);

// Emits a whole template file with substitution, in pieces of at most 999
// bytes (a marker that straddles two pieces is not recognised). The path is the
// name itself when pathIsComplete, else the name inside the template directory.
// A file that cannot be opened is a fatal report (action 1, the path).
void renderTemplateFile(std::string_view name, const TemplateVars& vars, std::FILE* out,
                        bool pathIsComplete);

// --- Sections ------------------------------------------------------------------

// The literal start and end marker of one section.
struct SectionMarkers {
  const char* start;
  const char* end;
};

// A template file cut into the sections of a table, in table order. A section
// whose start marker is absent is the empty text.
class PageTemplate {
 public:
  PageTemplate() = default;
  explicit PageTemplate(std::vector<std::string> sections);
  // The section at a table index; the empty text past the end.
  const std::string& section(size_t index) const;
  size_t size() const { return sections_.size(); }
  // Writes the section at a table index, substituted as renderSection does.
  // The sections are taken apart once, so that a row section emitted for
  // thousands of rows is not scanned for markers again each time.
  void render(size_t index, const TemplateVars& vars, std::FILE* out) const;

 private:
  // A plain part of a section and the marker name after it (nameBegin npos
  // for none), as offsets into the section text.
  struct Piece {
    size_t plainBegin, plainSize;
    size_t nameBegin, nameSize;
  };

  std::vector<std::string> sections_;
  std::vector<std::vector<Piece>> pieces_;  // one list per section
};

// Cuts a template text into the table's sections. Every start marker is
// located in the whole text before anything is cut, and the cuts go from the
// last table entry to the first, so sections may appear in the file in any
// order. A section begins after its start marker (and one newline right after
// it) and ends at its end marker, or else at the next section's start marker
// in the file, or at the end of the text. Text outside sections is dropped.
PageTemplate cutSections(std::string text, std::span<const SectionMarkers> table);

// Reads a template file and cuts it; a file that cannot be opened is a fatal
// report (action 1, the path).
PageTemplate loadTemplate(std::string_view name, std::span<const SectionMarkers> table,
                          bool pathIsComplete);

}  // namespace vy

#endif  // VANTRY_COMMON_TEMPLATES_H_
