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

// Walks text, handing the plain parts and the values of known markers to
// emit. A start marker without an end marker is dropped and the scan goes on
// right after it; values are emitted as they are, never scanned again.
template <typename Emit>
void substitute(std::string_view text, std::string_view open, std::string_view close,
                const TemplateVars& vars, Emit&& emit) {
  while (!text.empty()) {
    size_t start = text.find(open);
    if (start == std::string_view::npos) {
      emit(text);
      return;
    }
    emit(text.substr(0, start));
    text.remove_prefix(start + open.size());
    size_t end = text.find(close);
    if (end == std::string_view::npos) continue;
    if (const std::string* value = vars.get(text.substr(0, end))) emit(*value);
    text.remove_prefix(end + close.size());
  }
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

int renderTemplateFile(std::string_view name, const TemplateVars& vars, std::FILE* out,
                       bool pathIsComplete) {
  std::string path = templatePath(name, pathIsComplete);
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (!file) reportFatal(ErrAction::kReadFile, path);
  char piece[1000];  // 999 bytes and the terminating NUL
  while (std::fgets(piece, sizeof piece, file)) renderSection(piece, vars, out);
  return std::fclose(file);
}

// --- Sections ----------------------------------------------------------------------

PageTemplate::PageTemplate(std::vector<std::string> sections) : sections_(std::move(sections)) {
  for (const std::string& text : sections_) {
    // The same walk as substitute, recording where each plain part and each
    // marker name lies; a start marker without its end is left out as there.
    std::vector<Piece>& pieces = pieces_.emplace_back();
    const size_t open = kOpenMarker.size(), close = kCloseMarker.size();
    size_t at = 0;
    while (at < text.size()) {
      size_t start = text.find(kOpenMarker, at);
      if (start == std::string::npos) {
        pieces.push_back({at, text.size() - at, kNoName, 0});
        break;
      }
      size_t end = text.find(kCloseMarker, start + open);
      if (end == std::string::npos) {
        pieces.push_back({at, start - at, kNoName, 0});
        at = start + open;
        continue;
      }
      pieces.push_back({at, start - at, start + open, end - start - open});
      at = end + close;
    }
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
