// Fuzz target: template loading and substitution. The first line of the
// input gives the variables ("NAME=value&..."), the rest is a template text;
// it is cut into a page's sections and every section is rendered. A section
// taken apart once and rendered must come out as substituting it does.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/templates.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr vy::SectionMarkers kSections[] = {
    {"<header_template>", "</header_template>"},
    {"<url_template>", "</url_template>"},
    {"<footer_template>", "</footer_template>"},
};

vy::TemplateVars varsOf(std::string_view line) {
  vy::TemplateVars vars;
  while (!line.empty()) {
    auto [pair, rest] = vy::fuzz::cutAt(line, '&');
    auto [name, value] = vy::fuzz::cutAt(pair, '=');
    vars.add(name, std::string(value));
    line = rest;
  }
  return vars;
}

std::string rendered(const vy::PageTemplate& page, size_t index, const vy::TemplateVars& vars) {
  char* buffer = nullptr;
  size_t length = 0;
  std::FILE* out = ::open_memstream(&buffer, &length);
  if (!out) std::abort();
  page.render(index, vars, out);
  std::fclose(out);
  std::string text(buffer, length);
  std::free(buffer);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto [varLine, text] = vy::fuzz::cutAt(vy::fuzz::asText(data, size), '\n');
  const vy::TemplateVars vars = varsOf(varLine);
  (void)vy::substituteBrackets(text, vars);
  const vy::PageTemplate page = vy::cutSections(std::string(text), kSections);
  for (size_t i = 0; i <= page.size(); ++i) {
    vy::fuzz::expect(rendered(page, i, vars) == vy::substituteSection(page.section(i), vars),
                     "rendering agrees with substitution");
  }
  return 0;
}
