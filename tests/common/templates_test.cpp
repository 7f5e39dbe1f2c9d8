// Template variables, marker substitution, section cutting and the file
// emitters.
#include "common/templates.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/support/child.h"

namespace vy {
namespace {

using test::TempDir;

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// What renderTemplateFile writes, captured through a temporary stream.
std::string renderFileToText(const std::string& path, const TemplateVars& vars) {
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(renderTemplateFile(path, vars, out, true), 0);
  std::string text;
  std::rewind(out);
  for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
  std::fclose(out);
  return text;
}

TEST(TemplateVars, SetReplacesTheValueAndAddKeepsTheFirstVisible) {
  TemplateVars vars;
  EXPECT_EQ(templateVarSet(vars, "N", "%d items", 3), 0);
  EXPECT_EQ(templateVarSet(vars, "N", "%s", "latest"), 0);
  EXPECT_EQ(vars.size(), 1u);
  EXPECT_EQ(*templateVarGet("N", vars), "latest");

  EXPECT_EQ(templateVarAdd(vars, "A", "first"), 0);
  EXPECT_EQ(templateVarAdd(vars, "A", "second"), 0);
  EXPECT_EQ(vars.size(), 3u);
  EXPECT_EQ(*templateVarGet("A", vars), "first");

  EXPECT_EQ(templateVarSet(vars, "E", "100%%"), 0);
  EXPECT_EQ(*templateVarGet("E", vars), "100%");
  EXPECT_EQ(templateVarSet(vars, "EMPTY", "%s", ""), 0);
  ASSERT_NE(templateVarGet("EMPTY", vars), nullptr);
  EXPECT_EQ(*templateVarGet("EMPTY", vars), "");
  EXPECT_EQ(templateVarGet("empty", vars), nullptr);  // names are case-sensitive

  freeTemplateVars(vars);
  EXPECT_EQ(vars.size(), 0u);
  EXPECT_EQ(templateVarGet("N", vars), nullptr);
}

TEST(TemplateVars, TheShortFormsUseTheProcessWideList) {
  freeTemplateVars(globalTemplateVars());
  templateVarSet("G", "%s", "one");
  templateVarAdd("G", "two");
  EXPECT_EQ(*templateVarGet("G", globalTemplateVars()), "one");
  templateVarSetHtml("H", "<b class='x'>&</b>");
  EXPECT_EQ(*templateVarGet("H", globalTemplateVars()),
            "&lt;b class=&#39;x&#39;&gt;&amp;&lt;/b&gt;");
  freeTemplateVars(globalTemplateVars());
}

TEST(Substitution, MarkersAreReplacedByTheirValuesAndAbsentNamesVanish) {
  TemplateVars vars;
  templateVarSet(vars, "NAME", "Jane");
  EXPECT_EQ(substituteSection("Hi [#NAME#], [#UNSET#]bye", vars), "Hi Jane, bye");
  EXPECT_EQ(substituteSection("[#NAME#][#NAME#]", vars), "JaneJane");
  EXPECT_EQ(substituteSection("no markers", vars), "no markers");
  EXPECT_EQ(substituteSection("", vars), "");
}

TEST(Substitution, LoneOpenMarkerIsDroppedAndTheRestKept) {
  TemplateVars vars;
  templateVarSet(vars, "X", "value");
  EXPECT_EQ(substituteSection("a [# b", vars), "a  b");
  EXPECT_EQ(substituteSection("end [#", vars), "end ");
  // The name runs to the next "#]", whatever lies between.
  EXPECT_EQ(substituteSection("a [# b [#X#] c", vars), "a  c");
}

TEST(Substitution, ValuesAreNotScannedAgain) {
  TemplateVars vars;
  templateVarSet(vars, "V", "[#W#] and [#");
  templateVarSet(vars, "W", "never");
  EXPECT_EQ(substituteSection("<[#V#]>", vars), "<[#W#] and [#>");
}

TEST(Substitution, BracketsOfTheAddressTemplateAreVariables) {
  TemplateVars vars;
  templateVarSet(vars, "URL", "http%%3a%%2f%%2fx");
  templateVarSet(vars, "STATE", "%d", 1);
  EXPECT_EQ(substituteBrackets("http://h/n?u=[URL]&s=[STATE]&z=[nothing]", vars),
            "http://h/n?u=http%3a%2f%2fx&s=1&z=");
  EXPECT_EQ(substituteBrackets("open [ only", vars), "open  only");
}

TEST(HtmlValue, EscapesEveryCharacterThatCanBreakOutOfMarkup) {
  EXPECT_EQ(htmlValue("<a href=\"x\" title='y'>Tom & Jerry</a>"),
            "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;Tom &amp; Jerry&lt;/a&gt;");
  EXPECT_EQ(htmlValue("plain text 100%"), "plain text 100%");
}

constexpr SectionMarkers kTestTable[] = {
    {"<header_template>", "</header_template>"},
    {"<row_template>", "</row_template>"},
    {"<footer_template>", "</footer_template>"},
};

TEST(Sections, SectionsInReverseOrderAreBothFound) {
  PageTemplate page = cutSections(
      "junk<footer_template>F</footer_template> between <header_template>H</header_template>tail",
      kTestTable);
  EXPECT_EQ(page.section(0), "H");
  EXPECT_EQ(page.section(1), "");  // absent section
  EXPECT_EQ(page.section(2), "F");
  EXPECT_EQ(page.section(7), "");
}

TEST(Sections, OneNewlineAfterTheStartMarkerIsSkipped) {
  PageTemplate page = cutSections("<header_template>\n\nH\n</header_template>", kTestTable);
  EXPECT_EQ(page.section(0), "\nH\n");
}

TEST(Sections, SectionWithoutEndMarkerRunsToTheNextStartMarkerInTheFile) {
  // Row lacks its end marker: it stops where the footer's start marker was.
  PageTemplate page = cutSections(
      "<header_template>H</header_template><row_template>R1 R2 "
      "<footer_template>F</footer_template>",
      kTestTable);
  EXPECT_EQ(page.section(1), "R1 R2 ");
  EXPECT_EQ(page.section(2), "F");

  // The same when the next section in the file comes earlier in the table.
  page = cutSections("<footer_template>F tail<header_template>H</header_template>", kTestTable);
  EXPECT_EQ(page.section(2), "F tail");
  EXPECT_EQ(page.section(0), "H");

  // The last section of the file runs to the end.
  page = cutSections("<header_template>H to the end", kTestTable);
  EXPECT_EQ(page.section(0), "H to the end");
}

TEST(TemplateFiles, LoadTemplateReadsAndCutsTheFile) {
  TempDir dir;
  writeFile(dir.file("page.htm"),
            "<footer_template>\nF[#X#]</footer_template><header_template>H</header_template>");
  PageTemplate page = loadTemplate(dir.file("page.htm"), kTestTable, true);
  EXPECT_EQ(page.section(0), "H");
  EXPECT_EQ(page.section(2), "F[#X#]");
  EXPECT_EQ(templatePath("admin_group.htm", false), "./vytpl/admin_group.htm");
}

TEST(TemplateFiles, RenderTemplateFileSubstitutesLineByLine) {
  TempDir dir;
  writeFile(dir.file("mail.msg"), "To: [#TO#]\nSubject: [#SUBJ#]\n\nbody [# x\n");
  TemplateVars vars;
  templateVarSet(vars, "TO", "a@b");
  templateVarSet(vars, "SUBJ", "up");
  EXPECT_EQ(renderFileToText(dir.file("mail.msg"), vars), "To: a@b\nSubject: up\n\nbody  x\n");
}

TEST(TemplateFiles, MarkerAcrossThe999BytePieceBoundaryIsNotRecognised) {
  TempDir dir;
  TemplateVars vars;
  templateVarSet(vars, "X", "v");
  std::string inside(994, 'a');  // "[#X#]" at 994..998 ends the first piece
  std::string across(996, 'a');  // at 996..1000 it straddles the boundary
  writeFile(dir.file("a.htm"), inside + "[#X#]\n" + across + "[#X#]\n");
  EXPECT_EQ(renderFileToText(dir.file("a.htm"), vars), inside + "v\n" + across + "X#]\n");
}

TEST(TemplateFiles, MissingTemplateIsAFatalReportWithThePath) {
  TempDir dir;
  test::ChildOutcome outcome = test::runInChild([&] {
    if (::chdir(dir.path().c_str()) != 0) _exit(9);
    ::mkdir("vydata", 0777);
    loadTemplate("admin_none.htm", kTestTable, false);
  });
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.out, "Software error");
  std::ifstream log(dir.file("vydata/error.log"));
  std::string line;
  std::getline(log, line);
  std::vector<std::string> fields;
  std::stringstream split(line);
  for (std::string field; std::getline(split, field, '|');) fields.push_back(field);
  ASSERT_EQ(fields.size(), 7u) << line;
  EXPECT_EQ(fields[2], "1");
  EXPECT_EQ(fields[4], "./vytpl/admin_none.htm");
}

}  // namespace
}  // namespace vy
