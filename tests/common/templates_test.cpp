// Template variables, marker substitution and section cutting.
#include "common/templates.h"

#include <gtest/gtest.h>

namespace vy {
namespace {

TEST(TemplateVars, SetReplacesTheValueAndAddKeepsTheFirstVisible) {
  TemplateVars vars;
  templateVarSet(vars, "N", "%d items", 3);
  templateVarSet(vars, "N", "%s", "latest");
  templateVarAdd(vars, "A", "first");
  templateVarAdd(vars, "A", "second");
  EXPECT_EQ(vars.size(), 3u);
  EXPECT_EQ(*templateVarGet("N", vars), "latest");
  EXPECT_EQ(*templateVarGet("A", vars), "first");
  EXPECT_EQ(htmlValue("<a href=\"x\" title='y'>&</a>"),
            "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;&lt;/a&gt;");
}

TEST(Substitution, UnsetNamesVanishLoneOpenersAreDroppedAndValuesAreNotRescanned) {
  TemplateVars vars;
  templateVarSet(vars, "NAME", "Jane");
  templateVarSet(vars, "V", "[#NAME#] and [#");
  EXPECT_EQ(substituteSection("Hi [#NAME#], [#UNSET#]bye", vars), "Hi Jane, bye");
  EXPECT_EQ(substituteSection("a [# b", vars), "a  b");
  EXPECT_EQ(substituteSection("end [#", vars), "end ");
  EXPECT_EQ(substituteSection("<[#V#]>", vars), "<[#NAME#] and [#>");
}

TEST(Substitution, BracketsOfTheHttpAddressTemplateAreVariables) {
  TemplateVars vars;
  templateVarSet(vars, "URL", "http%%3a%%2f%%2fx");
  templateVarSet(vars, "STATE", "%d", 1);
  EXPECT_EQ(substituteBrackets("http://h/n?u=[URL]&s=[STATE]&z=[nothing]", vars),
            "http://h/n?u=http%3a%2f%2fx&s=1&z=");
  EXPECT_EQ(substituteBrackets("open [ only", vars), "open  only");
}

constexpr SectionMarkers kTable[] = {
    {"<header_template>", "</header_template>"},
    {"<row_template>", "</row_template>"},
    {"<footer_template>", "</footer_template>"},
};

TEST(Sections, ReverseOrderMissingEndMarkersAndTheNewlineAfterTheStart) {
  PageTemplate page = cutSections(
      "junk<footer_template>\nF\n</footer_template> x <header_template>\n\nH</header_template>",
      kTable);
  EXPECT_EQ(page.section(0), "\nH");
  EXPECT_EQ(page.section(1), "");
  EXPECT_EQ(page.section(2), "F\n");

  // Without its end marker a section runs to the next start marker in the file, or to the end.
  page = cutSections("<footer_template>F tail<header_template>H<row_template>R1 R2", kTable);
  EXPECT_EQ(page.section(2), "F tail");
  EXPECT_EQ(page.section(0), "H");
  EXPECT_EQ(page.section(1), "R1 R2");
}

}  // namespace
}  // namespace vy
