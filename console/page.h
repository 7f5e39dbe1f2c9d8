// The page a console request writes: its variables, the stream it goes to,
// and the one order in which every page is put together.
//
// Every page is a template of ./vytpl/ filled from the page's variables. A
// value that comes from a user, a file or the request goes in through
// setText, which escapes it for HTML. Text that is markup by design (the back
// button, comment markers, option lists the program built) is a Markup,
// which only the code that builds such text makes; setMarkup takes nothing
// else, so a plain string cannot reach a page unescaped by accident.
#ifndef VANTRY_CONSOLE_PAGE_H_
#define VANTRY_CONSOLE_PAGE_H_

#include <cstddef>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "common/templates.h"

namespace vy {

// Text that goes into a page as it is.
class Markup {
 public:
  explicit Markup(std::string html) : html_(std::move(html)) {}
  explicit Markup(const char* html) : html_(html) {}
  const std::string& html() const { return html_; }

 private:
  std::string html_;
};

// What every page tells the browser besides its type: no script runs, no
// other site frames it or receives its forms, its type is not guessed, the
// addresses of other sites learn nothing of it, and nothing keeps a copy.
inline constexpr const char* kPageHeaders =
    "Content-Security-Policy: default-src 'self'; script-src 'none'; frame-ancestors 'none'; "
    "form-action 'self'; base-uri 'none'\n"
    "X-Content-Type-Options: nosniff\n"
    "Referrer-Policy: same-origin\n"
    "Cache-Control: no-store\n";

class Page {
 public:
  // The program's page writes to standard output, a test's to a stream of its own.
  explicit Page(std::FILE* out) : out_(out) {}

  void setText(std::string_view name, std::string_view text);  // HTML-escaped
  void setMarkup(std::string_view name, Markup markup);        // as it is
  void setNumber(std::string_view name, long long value);
  // The value a variable holds now (as it goes into the page); nullptr when unset.
  const std::string* value(std::string_view name) const { return vars_.get(name); }
  const TemplateVars& vars() const { return vars_; }

  // The header lines of every page (kPageHeaders), "Content-type: text/html"
  // and the blank line that ends the CGI header, the first time only. Header
  // lines such as a status go before it.
  void writeContentType();
  // The style sheet as a whole answer of its own, instead of a page.
  void writeStyleSheet(std::string_view css);
  void write(std::string_view bytes);
  void render(const PageTemplate& page, size_t section);
  // A whole template file of ./vytpl/, substituted.
  void renderFile(const char* file);
  // Everything written so far leaves before another program is started.
  void flush() { std::fflush(out_); }

 private:
  TemplateVars vars_;
  std::FILE* out_;
  bool contentTypeWritten_ = false;
};

// The two sections that frame a page's rows.
struct PageFrame {
  size_t header;
  size_t footer;
};

// Writes a page in the one order of every page: the content type, the
// template's header, what `rows` writes between, the footer.
void writePage(Page& page, const PageTemplate& layout, PageFrame frame,
               const std::function<void()>& rows = {});
// The same with the template loaded from ./vytpl/ after the content type
// (a missing template is a fatal report).
void writePage(Page& page, const char* file, std::span<const SectionMarkers> table, PageFrame frame,
               const std::function<void(const PageTemplate&)>& rows = {});
// A page that is one whole template file.
void writeFilePage(Page& page, const char* file);

// Loads a page template of ./vytpl/ cut into the table's sections; a missing
// template is a fatal report.
PageTemplate loadPage(const char* file, std::span<const SectionMarkers> table);

}  // namespace vy

#endif  // VANTRY_CONSOLE_PAGE_H_
