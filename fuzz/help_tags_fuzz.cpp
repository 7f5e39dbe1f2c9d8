// Fuzz target: the help page's choice of sections. The input is the request
// text; its "page" and "PS" variables make the tags of the head, the text
// and the foot, which cut the installed help template. Tags stay short
// whatever the request holds.
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/cgi.h"
#include "common/files.h"
#include "common/templates.h"
#include "console/page_parts.h"
#include "fuzz/fuzz_support.h"

namespace {

// "<" kind, a name of at most 15 bytes, a suffix of at most 2, ">"; the
// longest kind is "help_NOTOPIC".
constexpr size_t kLongestTag = 1 + 12 + 15 + 2 + 1;

const std::string& helpTemplate() {
  static const std::string text = vy::readWholeFile(VY_SOURCE_DIR "/vytpl/admin_help.htm");
  return text;
}

void expectShort(const vy::HelpTags& tags) {
  vy::fuzz::expect(tags.start.size() <= kLongestTag && tags.end == "</" + tags.start.substr(1),
                   "a tag is short and its end matches its start");
}

vy::PageTemplate cut(const vy::HelpTags& head, const vy::HelpTags& help, const vy::HelpTags& foot) {
  const vy::SectionMarkers table[] = {{head.start.c_str(), head.end.c_str()},
                                      {help.start.c_str(), help.end.c_str()},
                                      {foot.start.c_str(), foot.end.c_str()}};
  return vy::cutSections(helpTemplate(), table);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vy::Form form;
  (void)vy::parseForm(vy::fuzz::asText(data, size), form);
  const vy::HelpPageTags tags = vy::helpPageTags(form.value("page"), form.value("PS").substr(0, 1));
  for (const vy::HelpTags* each : {&tags.head, &tags.help, &tags.foot, &tags.noTopic}) {
    expectShort(*each);
  }
  vy::PageTemplate page = cut(tags.head, tags.help, tags.foot);
  if (page.section(1).empty()) page = cut(tags.head, tags.noTopic, tags.foot);
  vy::TemplateVars vars;
  vars.set("TOPIC", vy::htmlValue(tags.topic));
  static std::FILE* sink = std::fopen("/dev/null", "w");
  for (size_t section = 0; section < 3; ++section) page.render(section, vars, sink);
  return 0;
}
