// The help pages: a head, a topic's text and a foot picked from the sections
// of one help template by topic, language code and presentation letter.
//
// The request names a page such as "group" or "group.en" and a presentation
// letter PS. The head and foot are tagged with the page's extension (".en")
// and, when the extension does not already end in "p" or "s", the
// presentation letter; the text with the whole page name and that letter. A
// topic without a text falls back to the NOTOPIC text of the same code.
#include <cstdio>
#include <string>
#include <vector>

#include "common/cgi.h"
#include "common/text.h"
#include "console/console.h"
#include "console/page_parts.h"
#include "console/page_templates.h"

namespace vy {
namespace {

constexpr size_t kMaxTagName = 15;
constexpr size_t kMaxTagSuffix = 2;

HelpTags tagsFor(std::string_view kind, std::string_view name, std::string_view suffix) {
  const std::string tail =
      std::string(name.substr(0, kMaxTagName)) + std::string(suffix.substr(0, kMaxTagSuffix)) + ">";
  return {"<" + std::string(kind) + tail, "</" + std::string(kind) + tail};
}

// The head, help text and foot of the help template; the tags stay alive for
// the section table.
PageTemplate loadHelp(const HelpTags& head, const HelpTags& help, const HelpTags& foot) {
  const SectionMarkers table[] = {{head.start.c_str(), head.end.c_str()},
                                  {help.start.c_str(), help.end.c_str()},
                                  {foot.start.c_str(), foot.end.c_str()}};
  return loadPage(kHelpTemplate, table);
}

}  // namespace

HelpPageTags helpPageTags(std::string_view page, std::string_view presentation) {
  const size_t dot = page.find('.');
  const std::string_view extension = dot == std::string_view::npos ? "" : page.substr(dot);
  const bool takesLetter = !extension.empty() && extension.back() != 'p' && extension.back() != 's';
  const std::string_view suffix = takesLetter ? presentation : "";
  const std::string code = extension.empty() ? "" : "." + std::string(extension.substr(1));
  return {std::string(page.substr(0, dot)), tagsFor("tpl_head", extension, suffix),
          tagsFor("help_", page, suffix), tagsFor("tpl_foot", extension, suffix),
          tagsFor("help_NOTOPIC", code, "")};
}

void showHelpPage(ConsoleRequest& request, Page& page) {
  for (const char* comment : {"P_REM_START", "S_REM_START"})
    page.setMarkup(comment, Markup("<!--"));
  for (const char* comment : {"P_REM_END", "S_REM_END"}) page.setMarkup(comment, Markup("-->"));
  const HelpPageTags tags =
      helpPageTags(request.form.value("page"), request.form.value("PS").substr(0, 1));

  page.writeContentType();
  page.setText("TOPIC", tags.topic);
  PageTemplate help = loadHelp(tags.head, tags.help, tags.foot);
  if (help.section(1).empty()) help = loadHelp(tags.head, tags.noTopic, tags.foot);
  writePage(page, help, {0, 2}, [&] { page.render(help, 1); });
}

}  // namespace vy
