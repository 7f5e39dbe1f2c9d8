// The page variables, template loading and the checks every page shares; see
// console.h.
#include <cstdio>
#include <string>

#include "common/cgi.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/text.h"
#include "console/console.h"
#include "store/group_name.h"

namespace vy {

TemplateVars& pageVars() {
  static TemplateVars vars;
  return vars;
}

void setText(std::string_view name, std::string_view text) {
  pageVars().set(name, htmlValue(text));
}

void setMarkup(std::string_view name, std::string markup) {
  pageVars().set(name, std::move(markup));
}

void setNumber(std::string_view name, long long value) {
  pageVars().set(name, std::to_string(value));
}

bool formSwitch(std::string_view name) { return startsWith(formVar(name), "1"); }

PageTemplate loadPage(const char* file, std::span<const SectionMarkers> table) {
  return loadTemplate(file, table, false);
}

void renderPart(const PageTemplate& page, size_t section) {
  page.render(section, pageVars(), stdout);
}

void markMissingErrorLog() {
  if (!isRegularFile(kErrorLogPath)) setMarkup("NOERR", "disabled");
}

bool isAcceptedGroupName(std::string_view name) { return name.empty() || isValidGroupName(name); }

}  // namespace vy
