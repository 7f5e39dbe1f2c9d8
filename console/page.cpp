// The page object, the assembly of every page and the checks the pages
// share; see page.h and console.h.
#include "console/page.h"

#include <string>

#include "common/errors.h"
#include "common/files.h"
#include "common/text.h"
#include "console/console.h"
#include "store/group_name.h"

namespace vy {

void Page::setText(std::string_view name, std::string_view text) {
  vars_.set(name, htmlValue(text));
}

void Page::setMarkup(std::string_view name, Markup markup) {
  vars_.set(name, std::string(markup.html()));
}

void Page::setNumber(std::string_view name, long long value) {
  vars_.set(name, std::to_string(value));
}

// The error page of a fatal report goes to standard output and writes the
// header itself unless it went out already: there the errors module keeps
// the one record of it.
void Page::writeContentType() {
  if (contentTypeWritten_) return;
  contentTypeWritten_ = true;
  if (out_ == stdout) {
    if (!contentTypePrinted()) std::fputs(kPageHeaders, stdout);
    printContentType();
    return;
  }
  std::fputs(kPageHeaders, out_);
  std::fputs("Content-type: text/html\n\n", out_);
  std::fflush(out_);
}

// The sheet is the same for everyone and changes only with an update: a
// browser may keep it for a while.
void Page::writeStyleSheet(std::string_view css) {
  contentTypeWritten_ = true;
  write("X-Content-Type-Options: nosniff\nCache-Control: max-age=600\nContent-type: text/css\n\n");
  write(css);
}

void Page::write(std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), out_); }

void Page::render(const PageTemplate& page, size_t section) { page.render(section, vars_, out_); }

void Page::renderFile(const char* file) { renderTemplateFile(file, vars_, out_, false); }

void writePage(Page& page, const PageTemplate& layout, PageFrame frame,
               const std::function<void()>& rows) {
  page.writeContentType();
  page.render(layout, frame.header);
  if (rows) rows();
  page.render(layout, frame.footer);
}

void writePage(Page& page, const char* file, std::span<const SectionMarkers> table, PageFrame frame,
               const std::function<void(const PageTemplate&)>& rows) {
  page.writeContentType();
  const PageTemplate layout = loadPage(file, table);
  writePage(page, layout, frame, [&] {
    if (rows) rows(layout);
  });
}

void writeFilePage(Page& page, const char* file) {
  page.writeContentType();
  page.renderFile(file);
}

PageTemplate loadPage(const char* file, std::span<const SectionMarkers> table) {
  return loadTemplate(file, table, false);
}

bool formSwitch(const Form& form, std::string_view name) {
  return startsWith(form.value(name), "1");
}

void markMissingErrorLog(Page& page) {
  if (!isRegularFile(kErrorLogPath)) page.setMarkup("NOERR", Markup("disabled"));
}

bool isAcceptedGroupName(std::string_view name) { return name.empty() || isValidGroupName(name); }

}  // namespace vy
