// Console process-test helpers; see console_fixture.h.
#include "tests/console/console_fixture.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "common/cgi.h"
#include "common/credentials.h"
#include "common/errors.h"
#include "common/files.h"
#include "common/process.h"
#include "console/console.h"
#include "store/data_directory.h"
#include "store/sessions.h"
#include "store/settings.h"
#include "tests/support/child.h"

namespace vy::test {
namespace {

constexpr char kFieldSeparator = '\x1f';

// The probe of a real template: each of its sections becomes one line
// "@section NAME=[#NAME#]<US>NAME=[#NAME#]..." naming the variables the section uses, each once;
// a template without sections is the one line "@page".
std::string probeOf(const std::string& real) {
  static const std::regex kTag("<([a-z0-9_]+_template)>"), kMarker("\\[#([A-Za-z0-9_]+)#\\]");
  auto line = [](const std::string& name, const std::string& text) {
    std::string probe = "@" + name;
    std::set<std::string> seen;
    for (std::sregex_iterator it(text.begin(), text.end(), kMarker), end; it != end; ++it) {
      const std::string variable = (*it)[1];
      if (!seen.insert(variable).second) continue;
      probe += (seen.size() == 1 ? ' ' : kFieldSeparator) + variable + "=[#" + variable + "#]";
    }
    return probe + "\n";
  };
  std::string probe;
  for (std::sregex_iterator it(real.begin(), real.end(), kTag), end; it != end; ++it) {
    const std::string name = (*it)[1];
    const size_t start = static_cast<size_t>(it->position() + it->length());
    const std::string text = real.substr(start, real.find("</" + name + ">", start) - start);
    probe += "<" + name + ">\n" + line(name, text) + "</" + name + ">\n";
  }
  return probe.empty() ? line("page", real) : probe;
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

std::vector<std::string> ProbePage::column(const std::string& sectionName,
                                           const std::string& name) const {
  std::vector<std::string> values;
  for (const Values& line : section(sectionName)) values.push_back(line.at(name));
  return values;
}

Values ProbePage::line(const std::string& sectionName) const {
  std::vector<Values> found = section(sectionName);
  if (found.size() == 1) return found[0];
  ADD_FAILURE() << sectionName << " rendered " << found.size() << " times";
  return {};
}

std::string ProbePage::value(const std::string& sectionName, const std::string& name) const {
  const Values found = line(sectionName);
  auto at = found.find(name);
  return at == found.end() ? "" : at->second;
}

std::string joined(const Values& line, std::initializer_list<const char*> names,
                   const std::string& separator) {
  std::string text;
  for (const char* name : names) {
    if (name != *names.begin()) text += separator;
    text += line.at(name);
  }
  return text;
}

// A probe line runs to the next line that begins with "@": values may hold line breaks.
ProbePage parseProbePage(const std::string& text) {
  ProbePage page;
  const std::string lines = "\n" + text;
  for (size_t at = lines.find("\n@"), next; at != std::string::npos; at = next) {
    next = lines.find("\n@", at + 1);
    std::string line = lines.substr(at + 2, next - at - 2);  // to the end when there is no next
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const size_t space = line.find(' ');
    Values& values = page.lines.emplace_back(line.substr(0, space), Values()).second;
    std::istringstream fields(space == std::string::npos ? "" : line.substr(space + 1));
    for (std::string field; std::getline(fields, field, kFieldSeparator);) {
      const size_t equals = field.find('=');
      values[field.substr(0, equals)] = equals == std::string::npos ? "" : field.substr(equals + 1);
    }
  }
  return page;
}

Fields hiddenFields(const std::string& html, const std::string& button) {
  static const std::regex kHidden("<input type=\"hidden\" name=\"([^\"]*)\" value=\"([^\"]*)\">"),
      kButton("<button([^>]*)>\\s*([^<]*?)\\s*</button>"),
      kName("name=\"([^\"]*)\" value=\"([^\"]*)\""),
      kSubmit("<input type=\"submit\" name=\"([^\"]*)\" value=\"\\s*([^\"]*?)\\s*\">");
  const std::sregex_iterator end;
  for (size_t start = html.find("<form"); start != std::string::npos;
       start = html.find("<form", start + 1)) {
    const std::string inner = html.substr(start, html.find("</form>", start) - start);
    Fields fields;
    for (std::sregex_iterator h(inner.begin(), inner.end(), kHidden); h != end; ++h) {
      fields.emplace_back((*h)[1], (*h)[2]);
    }
    for (std::sregex_iterator it(inner.begin(), inner.end(), kButton); it != end; ++it) {
      if ((*it)[2] != button) continue;
      std::smatch named;
      const std::string attributes = (*it)[1];
      if (std::regex_search(attributes, named, kName)) fields.emplace_back(named[1], named[2]);
      return fields;
    }
    for (std::sregex_iterator it(inner.begin(), inner.end(), kSubmit); it != end; ++it) {
      if ((*it)[2] != button) continue;
      fields.emplace_back((*it)[1], button);
      return fields;
    }
  }
  ADD_FAILURE() << "no form with the button " << button;
  return {};
}

void ConsoleTest::SetUp() {
  previousDir_ = std::filesystem::current_path();
  std::filesystem::current_path(instance_.dir());
  setUnitName(kConsoleUnit);
}

void ConsoleTest::TearDown() { std::filesystem::current_path(previousDir_); }

RunResult ConsoleTest::request(Env env, const Env& extra, const std::string& body) {
  env.insert(
      {{"SCRIPT_NAME", kScriptName}, {"HTTP_HOST", "console.test"}, {"REMOTE_ADDR", "127.0.0.1"}});
  for (const auto& [name, value] : extra) env[name] = value;
  if (inProcess_) return serve(env, body);
  return instance_.run("vyconsole.cgi", {{}, env, body, 60});
}

// As the program serves a request, from the data directory on; a request whose page would end
// the program (a fatal report) ends the test as well.
RunResult ConsoleTest::serve(const Env& env, const std::string& body) {
  ConsoleRequest request;
  request.now = now_ != 0 ? now_ : std::time(nullptr);
  request.cgi = readCgiEnvironment([&](const char* name) {
    auto found = env.find(name);
    return found == env.end() ? std::string() : found->second;
  });
  const std::string text = request.cgi.method == "POST" ? body : request.cgi.queryString;
  request.tooLarge = parseForm(text, request.form) == RequestRead::kTooLarge;
  prepareDataDirectory();
  char* bytes = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&bytes, &size);
  Page page(out);
  serveRequest(request, page);
  std::fclose(out);
  RunResult result{0, std::string(bytes, size), ""};
  std::free(bytes);
  return result;
}

RunResult ConsoleTest::submit(Fields fields, const Env& extra) {
  fields.insert(fields.begin(), {"apwd", session()});
  return post(formBody(fields), extra);
}

const std::string& ConsoleTest::session() {
  if (session_.empty()) {
    EXPECT_TRUE(
        createSession(instance_.path("vydata/sessions"), std::time(nullptr), session_).ok());
  }
  return session_;
}

std::string ConsoleTest::body(const RunResult& result) {
  const std::string header = std::string(kPageHeaders) + "Content-type: text/html\n\n";
  EXPECT_EQ(result.out.substr(0, header.size()), header) << result.out.substr(0, 200);
  return result.out.substr(std::min(header.size(), result.out.size()));
}

void ConsoleTest::installProbeTemplates() {
  for (const char* name : {"admin_login.htm", "admin_groups.htm", "admin_group.htm",
                           "admin_edtgrp.htm", "admin_setup.htm", "admin_chpass.htm",
                           "admin_checklog.htm", "admin_error.htm", "admin_url.htm"}) {
    const std::string path = std::string("vytpl/") + name;
    instance_.write(path, probeOf(instance_.read(path)));
  }
  instance_.write("vytpl/admin_style.css", "");  // probe lines hold no style
}

Settings ConsoleTest::storedSettings() {
  Settings settings;
  EXPECT_EQ(loadSettings(settings, instance_.path("vydata/vyvars.dat")), StoreCode::kOk);
  return settings;
}

void ConsoleTest::storeSettings(const Settings& settings) {
  ASSERT_EQ(saveSettings(settings, instance_.path("vydata/vyvars.dat")), StoreCode::kOk);
}

void ConsoleTest::makeWorking() {
  get("");  // the first request installs the data directory
  ASSERT_TRUE(
      writePasswordFile("admin", kPassword, instance_.path("vydata/admin.pwd"), kLowestBcryptCost)
          .ok());
  storeSettings(defaultSettings("console.test"));
}

}  // namespace vy::test
