// Template variables, substitution and section cutting; see templates.h.
#include "common/templates.h"

#include <cstring>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/text.h"

namespace vy {
namespace {

constexpr std::string_view kOpenMarker = "[#";
constexpr std::string_view kCloseMarker = "#]";
constexpr size_t kNoName = std::string::npos;  // a piece that ends without a marker

// The one walk over the markers of a text: piece(plainBegin, plainSize,
// nameBegin, nameSize) for every plain part and the marker name after it
// (nameBegin kNoName when the part ends without one). A start marker without
// an end marker is dropped and the walk goes on right after it.
template <typename Piece>
void walkMarkers(std::string_view text, std::string_view open, std::string_view close,
                 Piece&& piece) {
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find(open, at);
    if (start == std::string_view::npos) {
      piece(at, text.size() - at, kNoName, size_t{0});
      return;
    }
    const size_t end = text.find(close, start + open.size());
    if (end == std::string_view::npos) {
      piece(at, start - at, kNoName, size_t{0});
      at = start + open.size();
      continue;
    }
    piece(at, start - at, start + open.size(), end - start - open.size());
    at = end + close.size();
  }
}

// The plain parts and the values of known markers, in order; values are
// emitted as they are, never scanned again.
template <typename Emit>
void substitute(std::string_view text, std::string_view open, std::string_view close,
                const TemplateVars& vars, Emit&& emit) {
  walkMarkers(text, open, close, [&](size_t plain, size_t plainSize, size_t name, size_t nameSize) {
    emit(text.substr(plain, plainSize));
    if (name == kNoName) return;
    if (const std::string* value = vars.get(text.substr(name, nameSize))) emit(*value);
  });
}

// The name itself when pathIsComplete, else the name inside the template directory.
std::string templatePath(std::string_view name, bool pathIsComplete) {
  if (pathIsComplete) return std::string(name);
  return std::string(kTemplateDir) + std::string(name);
}

std::string substituteWith(std::string_view text, std::string_view open, std::string_view close,
                           const TemplateVars& vars) {
  std::string result;
  result.reserve(text.size());
  substitute(text, open, close, vars, [&](std::string_view part) { result.append(part); });
  return result;
}

}  // namespace

// --- Variables -------------------------------------------------------------------

void TemplateVars::set(std::string_view name, std::string value) {
  auto found = firstOf_.find(name);
  if (found == firstOf_.end()) return add(name, std::move(value));
  pairs_[found->second].second = std::move(value);
}

void TemplateVars::add(std::string_view name, std::string value) {
  firstOf_.try_emplace(std::string(name), pairs_.size());
  pairs_.emplace_back(std::string(name), std::move(value));
}

const std::string* TemplateVars::get(std::string_view name) const {
  auto found = firstOf_.find(name);
  return found == firstOf_.end() ? nullptr : &pairs_[found->second].second;
}

std::string htmlValue(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  appendHtmlEscaped(result, text, true);
  return result;
}

// --- Substitution ------------------------------------------------------------------

std::string substituteSection(std::string_view text, const TemplateVars& vars) {
  return substituteWith(text, kOpenMarker, kCloseMarker, vars);
}

std::string substituteBrackets(std::string_view text, const TemplateVars& vars) {
  return substituteWith(text, "[", "]", vars);
}

// The section is put together first and written with one call: a page of
// many rows would otherwise make a stream call for every piece of every row.
void renderSection(std::string_view text, const TemplateVars& vars, std::FILE* out) {
  const std::string rendered = substituteSection(text, vars);
  std::fwrite(rendered.data(), 1, rendered.size(), out);
}

void renderTemplateFile(std::string_view name, const TemplateVars& vars, std::FILE* out,
                        bool pathIsComplete) {
  std::string path = templatePath(name, pathIsComplete);
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (!file) reportFatal(ErrAction::kReadFile, path);
  char piece[1000];  // 999 bytes and the terminating NUL
  while (std::fgets(piece, sizeof piece, file)) renderSection(piece, vars, out);
  std::fclose(file);  // read only: closing it has nothing to report
}

// --- Sections ----------------------------------------------------------------------

PageTemplate::PageTemplate(std::vector<std::string> sections) : sections_(std::move(sections)) {
  for (const std::string& text : sections_) {
    std::vector<Piece>& pieces = pieces_.emplace_back();
    walkMarkers(text, kOpenMarker, kCloseMarker,
                [&](size_t plain, size_t plainSize, size_t name, size_t nameSize) {
                  pieces.push_back({plain, plainSize, name, nameSize});
                });
  }
}

void PageTemplate::render(size_t index, const TemplateVars& vars, std::FILE* out) const {
  if (index >= sections_.size()) return;
  const std::string& text = sections_[index];
  std::string rendered;
  rendered.reserve(text.size() + 256);
  for (const Piece& piece : pieces_[index]) {
    rendered.append(text, piece.plainBegin, piece.plainSize);
    if (piece.nameBegin == kNoName) continue;
    const std::string_view name(text.data() + piece.nameBegin, piece.nameSize);
    if (const std::string* value = vars.get(name)) rendered.append(*value);
  }
  std::fwrite(rendered.data(), 1, rendered.size(), out);
}

const std::string& PageTemplate::section(size_t index) const {
  static const std::string kEmpty;
  return index < sections_.size() ? sections_[index] : kEmpty;
}

// The cuts are NUL bytes written into the text; a section is the
// NUL-terminated text at its start once every cut has been made, which is
// what lets a section without an end marker run up to the next start marker.
PageTemplate cutSections(std::string text, std::span<const SectionMarkers> table) {
  constexpr size_t kAbsent = std::string::npos;
  text.push_back('\0');
  const char* base = text.c_str();
  std::vector<size_t> markerAt(table.size(), kAbsent);
  for (size_t i = 0; i < table.size(); ++i) {
    const char* found = std::strstr(base, table[i].start);
    if (found) markerAt[i] = static_cast<size_t>(found - base);
  }
  std::vector<size_t> sectionAt(table.size(), kAbsent);
  for (size_t i = table.size(); i-- > 0;) {
    if (markerAt[i] == kAbsent) continue;
    text[markerAt[i]] = '\0';
    size_t begin = markerAt[i] + std::strlen(table[i].start);
    if (text[begin] == '\n') ++begin;
    sectionAt[i] = begin;
    if (char* end = std::strstr(text.data() + begin, table[i].end)) *end = '\0';
  }
  std::vector<std::string> sections(table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    if (sectionAt[i] != kAbsent) sections[i] = text.c_str() + sectionAt[i];
  }
  return PageTemplate(std::move(sections));
}

PageTemplate loadTemplate(std::string_view name, std::span<const SectionMarkers> table,
                          bool pathIsComplete) {
  std::string path = templatePath(name, pathIsComplete);
  std::string text;
  if (readFileBytes(path, text) == FileCode::kCannotRead) reportFatal(ErrAction::kReadFile, path);
  return cutSections(std::move(text), table);
}

}  // namespace vy
