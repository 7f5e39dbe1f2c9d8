// Console process-test helpers; see console_fixture.h.
#include "tests/console/console_fixture.h"

#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "common/cgi.h"
#include "common/credentials.h"
#include "common/process.h"
#include "store/settings.h"
#include "tests/support/child.h"

namespace vy::test {
namespace {

constexpr char kFieldSeparator = '\x1f';

// One probe line naming every variable: "@name NAME=[#NAME#]<US>...".
std::string probeLine(const std::string& name, const std::vector<std::string>& variables) {
  std::string text = "@" + name;
  for (size_t i = 0; i < variables.size(); ++i) {
    text += (i == 0 ? " " : std::string(1, kFieldSeparator)) + variables[i] + "=[#" + variables[i] +
            "#]";
  }
  return text + "\n";
}

// A section holding its probe line.
std::string probeSection(const std::string& name, const std::vector<std::string>& variables) {
  return "<" + name + ">\n" + probeLine(name, variables) + "</" + name + ">\n";
}

// A page rendered whole: its one line is the section "page".
std::string probePage(const std::vector<std::string>& variables) {
  return probeLine("page", variables);
}

const std::vector<std::string> kCommon = {"MSG", "APWD", "FRMACT", "VER", "BACK", "NOERR"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<std::string> numbered(const std::string& prefix, int from, int to) {
  std::vector<std::string> names;
  for (int i = from; i <= to; ++i) names.push_back(prefix + std::to_string(i));
  return names;
}

}  // namespace

std::string formBody(const Fields& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += urlEncode(name) + "=" + urlEncode(value);
  }
  return body;
}

std::vector<Values> ProbePage::section(const std::string& name) const {
  std::vector<Values> found;
  for (const auto& [section, values] : lines) {
    if (section == name) found.push_back(values);
  }
  return found;
}

std::string ProbePage::value(const std::string& sectionName, const std::string& name) const {
  std::vector<Values> found = section(sectionName);
  if (found.size() != 1) {
    ADD_FAILURE() << sectionName << " rendered " << found.size() << " times";
    return "";
  }
  auto at = found[0].find(name);
  return at == found[0].end() ? "" : at->second;
}

ProbePage parseProbePage(const std::string& text) {
  ProbePage page;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] != '@') continue;
    size_t space = line.find(' ');
    Values values;
    std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    for (size_t start = 0; start <= rest.size() && !rest.empty();) {
      size_t end = rest.find(kFieldSeparator, start);
      if (end == std::string::npos) end = rest.size();
      std::string field = rest.substr(start, end - start);
      size_t equals = field.find('=');
      values[field.substr(0, equals)] = equals == std::string::npos ? "" : field.substr(equals + 1);
      start = end + 1;
    }
    page.lines.emplace_back(line.substr(1, space - 1), values);
  }
  return page;
}

bool tidyAccepts(const std::string& html, std::string* report) {
  TempDir dir;
  const std::string file = dir.file("page.html"), found = dir.file("report");
  std::ofstream(file) << html;
  ChildProcess tidy;
  if (!tidy.start({"tidy", "-q", "-e", "-utf8", "-f", found, file}, ChildProcess::kNoPipes)) {
    if (report) *report = "tidy cannot be started";
    return false;
  }
  const int status = tidy.wait();
  std::ifstream in(found);
  std::ostringstream text;
  text << in.rdbuf();
  if (report) *report = text.str();
  return WIFEXITED(status) && WEXITSTATUS(status) <= 1;  // 1: warnings only
}

RunResult ConsoleTest::get(const std::string& query, const Env& extra) {
  Env env = {{"REQUEST_METHOD", "GET"},
             {"QUERY_STRING", query},
             {"SCRIPT_NAME", kScriptName},
             {"HTTP_HOST", "console.test"},
             {"REMOTE_ADDR", "127.0.0.1"}};
  for (const auto& [name, value] : extra) env[name] = value;
  return instance_.run("vyconsole.cgi", {{}, env, "", 60});
}

RunResult ConsoleTest::post(const std::string& body, const Env& extra) {
  Env env = {{"REQUEST_METHOD", "POST"},
             {"CONTENT_LENGTH", std::to_string(body.size())},
             {"SCRIPT_NAME", kScriptName},
             {"HTTP_HOST", "console.test"},
             {"REMOTE_ADDR", "127.0.0.1"}};
  for (const auto& [name, value] : extra) env[name] = value;
  return instance_.run("vyconsole.cgi", {{}, env, body, 60});
}

RunResult ConsoleTest::submit(Fields fields, const Env& extra) {
  fields.insert(fields.begin(), {"apwd", kPassword});
  return post(formBody(fields), extra);
}

std::string ConsoleTest::body(const RunResult& result) {
  const std::string header = "Content-type: text/html\n\n";
  EXPECT_EQ(result.out.substr(0, header.size()), header) << result.out.substr(0, 200);
  return result.out.substr(std::min(header.size(), result.out.size()));
}

ErrAction ConsoleTest::inInstance(const std::string& name, GroupConfig& group, GroupMode mode) {
  char previous[PATH_MAX];
  if (!::getcwd(previous, sizeof previous) || ::chdir(instance_.dir().c_str()) != 0) {
    return ErrAction::kReadFile;
  }
  ErrAction rc = accessGroupFile(name, group, mode);
  if (::chdir(previous) != 0) ADD_FAILURE() << "cannot leave the instance";
  return rc;
}

void ConsoleTest::storeGroup(const std::string& name, GroupConfig&& group) {
  ASSERT_EQ(inInstance(name, group, GroupMode::kStoreGroup), ErrAction::kOk) << name;
}

GroupConfig ConsoleTest::readGroup(const std::string& name) {
  GroupConfig group;
  EXPECT_EQ(inInstance(name, group, GroupMode::kRead), ErrAction::kOk) << name;
  group.source = SourceFile();
  return group;
}

void ConsoleTest::installProbeTemplates() {
  const auto common = [](std::vector<std::string> names) { return plus(kCommon, names); };
  instance_.write("vytpl/admin_login.htm", probePage(kCommon));
  instance_.write("vytpl/admin_groups.htm",
                  probeSection("header_template", kCommon) +
                      probeSection("grp_template",
                                   {"GRP", "NURL", "NUPTIME", "NFNDBAN", "NFNDPRES", "NBAN",
                                    "NPRES", "EVERCHK", "REALEVERCHK", "UPTSEL", "UPTTXT", "BANSEL",
                                    "BANTXT", "PRESSEL", "PRESTXT", "CHKSEL", "CHKTXT"}) +
                      probeSection("newgrp_template", {"ACTION_UPDATE"}) +
                      probeSection("footer_template", {"MSG"}));
  instance_.write(
      "vytpl/admin_group.htm",
      probeSection("header_template", common({"GROUP", "SUSPEND", "URLSORT", "SLC_GROUPS"})) +
          probeSection("url_template",
                       {"URL", "URL_LINK", "UPTIME", "CLS_UPTIME", "FNDBAN", "CLS_FNDBAN",
                        "FNDPRES", "CLS_FNDPRES", "LASTCHK", "RETCODE", "TIMECHK", "CSSSEL"}) +
          probeSection("taddedit_template", {"URL", "CHKBAN", "CHKPRES"}) +
          probeSection("footer_template", {"GROUP"}));
  instance_.write(
      "vytpl/admin_edtgrp.htm",
      probeSection("header_template",
                   plus(common({"GROUP", "EVRCHK", "WRTLOG", "UPDCMD", "INFUPTIME", "INFFNDBAN",
                                "INFFNDPRES", "SUSP0", "SUSP1", "VYTRCQSUTM", "VYTRCQSBCT"}),
                        numbered("TYPE_", 0, 7))) +
          probeSection("bancont_template", {"BCSEL", "BANCONT", "CSEL"}) +
          probeSection("header2_template", {"GROUP"}) +
          probeSection("prescont_template", {"PCSEL", "PRESCONT", "CSEL"}) +
          probeSection("actcont_template", {"GROUP"}) +
          probeSection("footer_template",
                       {"NONEWCONT_START", "NONEWCONT_END", "NOEDITONT_START", "NOEDITONT_END",
                        "SELBAN", "SELPRES", "CONT", "SELNUM"}));
  instance_.write(
      "vytpl/admin_setup.htm",
      probePage(plus(common({"AEMAIL", "EMLSEND", "DLS", "SYSTIME", "USRAGENT", "REFERER",
                             "MAXLENPAGE", "CRON", "RESTART", "MAXCHKURL", "MAXCHKPROC",
                             "RECHKUPTIME", "SHED_ACTION", "SHED_STATUS", "RESTIME", "CHKTIME"}),
                     numbered("TZ_", 1, 90))));
  instance_.write("vytpl/admin_chpass.htm", probeSection("header_template", kCommon) +
                                                probeSection("center_template", {"USER"}) +
                                                probeSection("footer_template", {"USER"}));
  instance_.write("vytpl/admin_checklog.htm",
                  probeSection("header_template", common({"GROUP"})) +
                      probeSection("temp_template",
                                   {"TIMECHK", "URL", "UPTIME", "FNDBAN", "FNDPRES", "RETCODE"}) +
                      probeSection("footer_template", {"GROUP"}));
  instance_.write("vytpl/admin_error.htm", probeSection("header_template", common({"GROUP"})) +
                                               probeSection("footer_template", {"GROUP"}));
}

void ConsoleTest::makeWorking() {
  get("");  // the first request installs the data directory
  ASSERT_EQ(writePasswordFile("admin", kPassword, instance_.path("vydata/admin.pwd")),
            ErrAction::kOk);
  ASSERT_EQ(saveSettings(defaultSettings("console.test"), instance_.path("vydata/vyvars.dat")),
            ErrAction::kOk);
}

}  // namespace vy::test
