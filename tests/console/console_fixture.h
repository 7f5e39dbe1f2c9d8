// Tests of the console: requests as a web server makes them, on fresh instances. A request is
// served in the test's own process with the instance as the working directory, or, for what
// needs the program itself (its exit status, umask, standard input and limits), by the installed
// program.
//
// Pages are rendered from probe templates that print every variable of a section as one line
// "@section NAME=value<US>NAME=value...", so that a test reads what the program set, whatever
// the real templates make of it; the real templates are checked separately with tidy.
#ifndef VANTRY_TESTS_CONSOLE_CONSOLE_FIXTURE_H_
#define VANTRY_TESTS_CONSOLE_CONSOLE_FIXTURE_H_

#include <ctime>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "store/settings.h"
#include "tests/support/instance_test.h"
#include "tests/support/validators.h"

namespace vy::test {

using Env = std::map<std::string, std::string>;
using Fields = std::vector<std::pair<std::string, std::string>>;
using Values = std::map<std::string, std::string>;  // one probe line

// A form body: names and values URL-encoded, in order.
std::string formBody(const Fields& fields);

// What a probe page printed: its lines by section, in order.
struct ProbePage {
  std::vector<std::pair<std::string, Values>> lines;
  // The lines of one section; empty when it was not rendered.
  std::vector<Values> section(const std::string& name) const;
  // The one line of a section (the test fails when it was rendered another number of times).
  Values line(const std::string& section) const;
  // The value of a variable in the one line of a section ("" when unset).
  std::string value(const std::string& section, const std::string& name) const;
  bool has(const std::string& section) const { return !this->section(section).empty(); }
  // One variable of every line of a section, in order.
  std::vector<std::string> column(const std::string& section, const std::string& name) const;
  // The message in the header.
  std::string message() const { return value("header_template", "MSG"); }
};
// The named values of a probe line, joined by the separator (a missing name fails the test).
std::string joined(const Values& line, std::initializer_list<const char*> names,
                   const std::string& separator = " ");
ProbePage parseProbePage(const std::string& text);

// What the form of a real page that holds a button labelled `button` sends when it is pressed:
// its hidden fields in order, then the button's own name and value when it has a name (the test
// fails when there is no such form).
Fields hiddenFields(const std::string& html, const std::string& button);

class ConsoleTest : public InstanceTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  static constexpr const char* kScriptName = "/vy/vyconsole.cgi";
  static constexpr const char* kPassword = "s3cret";

  // A GET with the query, or a POST with the body, as a web server runs the console; the extra
  // variables are added last.
  RunResult get(const std::string& query, const Env& extra = {}) {
    return request({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}}, extra, "");
  }
  RunResult post(const std::string& body, const Env& extra = {}) {
    Env env = {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", std::to_string(body.size())}};
    return request(env, extra, body);
  }
  RunResult request(Env env, const Env& extra, const std::string& body);
  // Requests from now on are served in this process: a page written as the program writes it,
  // without starting it.
  void serveInProcess() { inProcess_ = true; }
  // Requests from now on go to the installed program.
  void serveByProgram() { inProcess_ = false; }
  // In-process requests from now on are served at this time (0: the clock's).
  void serveAt(std::time_t now) { now_ = now; }
  // A POST of the fields with the administrator's session added, as a page of the console sends
  // them.
  RunResult submit(Fields fields, const Env& extra = {});
  // The session submit sends: one started in the store at its first use.
  const std::string& session();

  // The page without its CGI header (the test fails when the header is missing).
  static std::string body(const RunResult& result);
  ProbePage probe(const RunResult& result) { return parseProbePage(body(result)); }
  // Expects tidy to accept the page; name says which page failed.
  void expectValid(const std::string& name, const RunResult& result) {
    std::string report;
    EXPECT_TRUE(tidyAccepts(body(result), &report)) << name << "\n" << report;
  }
  void expectValid(const std::string& name, Fields fields) {
    expectValid(name, submit(std::move(fields)));
  }
  // The probe page of a submit.
  ProbePage ask(Fields fields, const Env& extra = {}) {
    return probe(submit(std::move(fields), extra));
  }

  // The stored settings, and a store of changed ones.
  Settings storedSettings();
  void storeSettings(const Settings& settings);
  // A save of the settings page: the fields, then the page's own (the first of a name counts).
  static Fields settingsForm(Fields fields) {
    fields.insert(fields.end(), {{"fnct", "setup_save"}, {"TZ", "41;UTC;0;UTC;(UTC)"}});
    return fields;
  }

  // The probe templates in place of the real ones.
  void installProbeTemplates();
  // An installed console: data directory, administrator, settings.
  void makeWorking();

 private:
  RunResult serve(const Env& env, const std::string& body);
  bool inProcess_ = false;
  std::time_t now_ = 0;
  std::string previousDir_;
  std::string session_;
};

// An installed console rendering the real templates, served in process.
class RealConsoleTest : public ConsoleTest {
 protected:
  void SetUp() override {
    ConsoleTest::SetUp();
    serveInProcess();
    makeWorking();
  }
};

// An installed console rendering the probe templates, served in process.
class WorkingConsoleTest : public ConsoleTest {
 protected:
  void SetUp() override {
    ConsoleTest::SetUp();
    serveInProcess();
    installProbeTemplates();
    makeWorking();
  }
};

}  // namespace vy::test

#endif  // VANTRY_TESTS_CONSOLE_CONSOLE_FIXTURE_H_
