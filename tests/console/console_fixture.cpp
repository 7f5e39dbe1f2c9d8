// Console process-test helpers; see console_fixture.h.
#include "tests/console/console_fixture.h"

#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
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

// The variables a template text uses, each once, in order.
std::vector<std::string> variablesIn(const std::string& text) {
  std::vector<std::string> names;
  static const std::regex kMarker("\\[#([A-Za-z0-9_]+)#\\]");
  for (std::sregex_iterator it(text.begin(), text.end(), kMarker), end; it != end; ++it) {
    if (std::find(names.begin(), names.end(), (*it)[1]) == names.end()) names.push_back((*it)[1]);
  }
  return names;
}

// The probe of a real template: each of its sections becomes a probe line naming the variables
// that section uses; a template without sections is the one line "@page".
std::string probeOf(const std::string& real) {
  static const std::regex kTag("<([a-z0-9_]+_template)>");
  std::string probe;
  for (std::sregex_iterator it(real.begin(), real.end(), kTag), end; it != end; ++it) {
    const std::string name = (*it)[1];
    const size_t start = static_cast<size_t>(it->position() + it->length());
    const std::string text = real.substr(start, real.find("</" + name + ">", start) - start);
    probe += "<" + name + ">\n" + probeLine(name, variablesIn(text)) + "</" + name + ">\n";
  }
  return probe.empty() ? probeLine("page", variablesIn(real)) : probe;
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

// A probe line runs to the next line that begins with "@": values may hold line breaks.
ProbePage parseProbePage(const std::string& text) {
  ProbePage page;
  for (size_t at = text.rfind('@', 0) == 0 ? 0 : text.find("\n@"); at != std::string::npos;) {
    if (text[at] == '\n') ++at;
    const size_t next = text.find("\n@", at);
    std::string line =
        text.substr(at + 1, (next == std::string::npos ? text.size() : next) - at - 1);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const size_t space = line.find(' ');
    Values values;
    for (size_t start = space; start != std::string::npos && start < line.size();) {
      const size_t end = std::min(line.find(kFieldSeparator, start + 1), line.size());
      const std::string field = line.substr(start + 1, end - start - 1);
      const size_t equals = field.find('=');
      values[field.substr(0, equals)] = equals == std::string::npos ? "" : field.substr(equals + 1);
      start = end < line.size() ? end : std::string::npos;
    }
    page.lines.emplace_back(line.substr(0, space), values);
    at = next;
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
  for (const char* name :
       {"admin_login.htm", "admin_groups.htm", "admin_group.htm", "admin_edtgrp.htm",
        "admin_setup.htm", "admin_chpass.htm", "admin_checklog.htm", "admin_error.htm"}) {
    const std::string path = std::string("vytpl/") + name;
    instance_.write(path, probeOf(instance_.read(path)));
  }
  instance_.write("vytpl/admin_style.css", "");  // probe lines hold no style
}

void ConsoleTest::makeWorking() {
  get("");  // the first request installs the data directory
  ASSERT_EQ(writePasswordFile("admin", kPassword, instance_.path("vydata/admin.pwd")),
            ErrAction::kOk);
  ASSERT_EQ(saveSettings(defaultSettings("console.test"), instance_.path("vydata/vyvars.dat")),
            ErrAction::kOk);
}

}  // namespace vy::test
