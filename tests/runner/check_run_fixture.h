// Check runs against one slow site: groups of URLs with given ages, the paths the site was
// asked for, notifying groups and a fake mail program.
#ifndef VANTRY_TESTS_RUNNER_CHECK_RUN_FIXTURE_H_
#define VANTRY_TESTS_RUNNER_CHECK_RUN_FIXTURE_H_

#include <algorithm>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy::test {

class CheckRunTest : public WorkerTest {
 public:
  using Paths = std::vector<std::string>;

  // A group checked every 5 minutes that notifies with `type` at `inform`.
  static GroupConfig notifying(int type, const std::string& inform,
                               const std::vector<std::string>& urls, bool oneShot = false) {
    GroupConfig group = groupOf(urls, 5);
    group.setInfType(type);
    group.inform = inform;
    group.setMoreOption(kMoreDeleteAfterCheck, oneShot);
    return group;
  }
  // An entry last checked long ago, when the page was up with status 200.
  static void wasUp(UrlStatus& entry) {
    entry.lastCheck = static_cast<uint32_t>(std::time(nullptr) - 1000);
    entry.resultCode = 200;
    entry.flags = kUrlUp | kUrlPresOk;
  }

 protected:
  // Each answer takes 0.2 s, so that runs and threads overlap.
  CheckRunTest() : site_(test::answerAfter(0.2, httpReplyText("200 OK", "ok"))) {}

  // URLs /<name>/<i> checked every 5 minutes, last ages[i] seconds ago (0: never).
  void makeGroup(const std::string& name, std::vector<long> ages, uint8_t options = 0,
                 uint8_t moreOptions = 0) {
    GroupConfig group = groupOf({}, 5);
    group.options = options;
    group.moreOptions = moreOptions;
    for (size_t i = 0; i < ages.size(); ++i) {
      group.addUrl(site_.url("/" + name + "/" + std::to_string(i))).lastCheck =
          ages[i] == 0 ? 0 : static_cast<uint32_t>(std::time(nullptr) - ages[i]);
    }
    storeGroup(name, group);
  }
  // The paths requested from the site, sorted, each as often as it was requested.
  Paths requested() {
    site_.connectionCount();  // lets every connection land first
    Paths paths;
    for (const std::string& received : site_.received()) {
      std::istringstream request(received);
      paths.emplace_back();
      request >> paths.back() >> paths.back();
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  // A fake mail program as the mail transport: it records its arguments, one a line, and
  // appends the mail.
  void useFakeMail(const std::string& transport) {
    instance_.writeScript("fakemail.sh",
                          "printf '%s\\n' \"$0\" \"$@\" >> mailargs.txt\ncat >> mail.txt\n");
    settings_.mailTransport = transport;
  }

  FakeServer site_;
};

}  // namespace vy::test

#endif  // VANTRY_TESTS_RUNNER_CHECK_RUN_FIXTURE_H_
