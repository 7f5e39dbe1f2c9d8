// Check runs, service commands and console requests on the same groups at once, for a bounded
// time, first undisturbed, then with writers killed at random moments or stopped half-way by a
// file-size limit. Afterwards every group file reads, holds what the writers' changes may have
// left, and every URL's status record is one a check of its site wrote.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "common/cgi.h"
#include "net/http.h"
#include "tests/runner/worker_fixture.h"
#include "tests/support/fake_server.h"

namespace vy {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Under a sanitizer every process starts several times slower: shorter runs at a slower pace.
#ifdef VY_SANITIZED
constexpr int kLoadSeconds = 10, kFaultSeconds = 10, kPaceMs = 250;
#else
constexpr int kLoadSeconds = 30, kFaultSeconds = 20, kPaceMs = 100;
#endif
// Every group file is larger than the limit (a long banned text), so that every limited change
// fails half-way, while the error log stays far below it.
constexpr long long kFileSizeLimit = 32 << 10;
const std::string kBallast(48000, 'z');
constexpr double kLimitedShare = 0.15, kKilledShare = 0.6;

// What befalls one writer under faults: a file-size limit, or SIGKILL at a random moment within
// the time a writer takes (killAt: that share of a writer's measured running time; -1: never).
// Measuring the time keeps kills happening on machines of any speed and under a sanitizer.
struct Fault {
  bool limited = false;
  double killAt = -1;
};
const std::map<std::string, std::string> kAdmin = {{"ADMIN_PWD", "secret"}};

struct Rng {
  std::mt19937 engine;
  int below(size_t n) { return std::uniform_int_distribution<int>(0, int(n) - 1)(engine); }
  bool chance(double p) { return std::uniform_real_distribution<double>()(engine) < p; }
};

// How a writer's change ended: stored, refused as a whole, or killed at some moment.
enum class Fate { kDone, kRefused, kKilled };

// What a writer's changes may have left of each of its URLs (group, URL): -1 absent, or present
// with these check switches. A killed change adds its outcome, a refused one changes nothing.
using Key = std::pair<std::string, std::string>;
using Fields = std::vector<std::pair<std::string, std::string>>;
using Outcomes = std::map<Key, std::set<int>>;
template <typename Map, typename Value>
void settle(Map& outcomes, const typename Map::key_type& key, Value outcome, Fate fate,
            Value before) {
  auto& possible = outcomes.try_emplace(key, std::set<Value>{before}).first->second;
  if (fate == Fate::kDone) possible = {outcome};
  if (fate == Fate::kKilled) possible.insert(outcome);
}

class LoadTest : public test::ServiceTest {
 protected:
  LoadTest()
      : up_(test::answerWith(test::httpReplyText("200 OK", "ok"))),
        missing_(test::answerWith(test::httpReplyText("404 Not Found", "no"))),
        slow_(test::answerAfter(0.8, test::httpReplyText("203 Non-Authoritative", "ok"))),
        down_(nullptr),
        sites_{{&up_, 200}, {&missing_, 404}, {&slow_, 203}, {&down_, 5}} {}

  void SetUp() override {
    ServiceTest::SetUp();
    settings_.maxCheckUrls = 500;
    settings_.maxCheckThreads = 8;
    saveSettings();
    for (const char* name : {"g1", "g2"}) {
      GroupConfig group = groupOf({}, 1);
      group.addBanContent(kBallast);
      storeGroup(name, group);
      groupSettings_[name] = {"1|"};
    }
    for (int i = 0; i < 2; ++i) {
      const char letter = "ab"[i];
      flipTexts_[i] = "checktime=" + std::to_string(i + 1) + "\ninform=flip-" + letter +
                      "\nbancontent=" + std::to_string(kBallast.size()) + "\n" +
                      std::string(kBallast.size(), letter) + "\nurl=" + down_.url("/shared") +
                      "\nchkban=1\nurl=" + sites_[i].first->url("/flip") + "\nchkpres=1\n";
      GroupConfig parsed;
      parseGroupConfig(parsed, flipTexts_[i]);
      flipCanonical_[i] = formatGroupConfig(parsed);
      if (i == 0) storeGroup("flip", parsed);
    }
    from_ = static_cast<uint32_t>(std::time(nullptr));
    const char* chosen = std::getenv("VY_LOAD_SEED");
    seed_ = chosen ? static_cast<unsigned>(std::stoul(chosen)) : std::random_device()();
  }
  void TearDown() override {
    if (HasFailure()) std::printf("seed %u (VY_LOAD_SEED repeats the choices)\n", seed_);
  }

  // Runs every writer and the check runs for `seconds`, then lets one undisturbed writer change
  // each group, and verifies the groups.
  void runLoadAndVerify(int seconds, bool faults) {
    faults_ = faults;
    deadline_ = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    threads.emplace_back([this] { checkRuns(); });
    threads.emplace_back([this] { writer({std::mt19937(seed_)}, &LoadTest::serviceStep); });
    threads.emplace_back([this] { writer({std::mt19937(seed_ + 1)}, &LoadTest::consoleStep); });
    threads.emplace_back([this] {
      for (Rng rng{std::mt19937(seed_ + 2)}; !stopping(); pause(rng)) flip(fault(rng));
    });
    for (std::thread& thread : threads) thread.join();
    std::printf("%d writers, %d refused, %d killed\n", writers_.load(), refused_.load(),
                killed_.load());
    faults_ = false;
    for (const char* group : {"g1", "g2"}) {
      const Key marker{group, down_.url("/" + std::string(group) + "/last")};
      settle(urls_, marker, 0, service("add", group, "url=" + marker.second + "\n", {}), -1);
    }
    flip({});
    verifyGroups();
  }

  // Every group reads and holds an outcome its writers' changes allow, with only records a check
  // wrote, and no temporary file is left.
  void verifyGroups() {
    EXPECT_EQ(hiddenGroupFiles(), std::vector<std::string>{});
    const auto to = static_cast<uint32_t>(std::time(nullptr));
    for (const char* name : {"g1", "g2"}) {
      GroupConfig group = readGroup(name);
      const std::string stored = std::to_string(group.checkInterval) + "|" + group.inform;
      EXPECT_EQ(groupSettings_[name].count(stored), 1u) << name << " has the settings " << stored;
      std::map<std::string, int> found;
      for (const UrlStatus& entry : group.urls) {
        EXPECT_TRUE(found.emplace(entry.url, entry.flags & 3).second) << "twice: " << entry.url;
        EXPECT_EQ(implausible(entry, to), "") << name << " " << entry.url;
      }
      for (const auto& [key, possible] : urls_) {
        if (key.first != name) continue;
        auto at = found.find(key.second);
        const int state = at == found.end() ? -1 : at->second;
        EXPECT_EQ(possible.count(state), 1u)
            << name << " " << key.second << " is " << state << ", not one of "
            << ::testing::PrintToString(possible);
        if (at != found.end()) found.erase(at);
      }
      EXPECT_EQ(found, (std::map<std::string, int>{})) << "URLs no writer added to " << name;
    }
    GroupConfig flipped = readGroup("flip");
    EXPECT_EQ(formatGroupConfig(flipped), flipCanonical_[flipStored_]);
    for (const UrlStatus& entry : flipped.urls) EXPECT_EQ(implausible(entry, to), "") << entry.url;
  }

  // Why a status record is none a check of its URL's site wrote between the set-up and `to` (""
  // when it is one). The groups have no required texts and no page holds a banned one.
  std::string implausible(const UrlStatus& s, uint32_t to) const {
    const uint8_t results = s.flags & (kUrlUp | kUrlBanFound | kUrlPresOk);
    const std::string record = "checked at " + std::to_string(s.lastCheck) + " code " +
                               std::to_string(s.resultCode) + " flags " + std::to_string(s.flags) +
                               " ms " + std::to_string(s.responseMs);
    if (s.flags & ~kUrlStoredFlagsMask || s.banIndex != 0 || s.presIndex != 0) return record;
    if (s.lastCheck == 0)
      return s.resultCode == 0 && results == 0 && s.responseMs == 0 ? "" : record;
    int code = -1;
    for (const auto& [site, siteCode] : sites_) {
      if (s.url.rfind(site->url(), 0) == 0) code = siteCode;
    }
    const bool up = isUpCode(code);
    const bool fits = s.lastCheck >= from_ && s.lastCheck <= to && s.resultCode == code &&
                      results == (up ? kUrlUp | kUrlPresOk : 0) && s.responseMs < 20000;
    return fits ? "" : record;
  }

  // ---- The load ----------------------------------------------------------------------------

  bool stopping() const { return Clock::now() >= deadline_; }
  static void pause(Rng& rng) { std::this_thread::sleep_for(milliseconds(rng.below(2 * kPaceMs))); }
  Fault fault(Rng& rng) const {
    if (!faults_) return {};
    if (rng.chance(kLimitedShare)) return {true, -1};
    return {false,
            rng.chance(kKilledShare) ? std::uniform_real_distribution<double>()(rng.engine) : -1};
  }

  // A check of all groups or of one group, started every second.
  void checkRuns() {
    auto next = Clock::now();
    for (int run = 0; !stopping(); ++run) {
      const std::vector<std::string> args =
          run % 3 == 2 ? std::vector<std::string>{"checkgroup", run % 2 ? "g1" : "g2"}
                       : std::vector<std::string>{"check"};
      EXPECT_EQ(instance_.runWorker(args, {}, "", 60).exitCode, 0) << args[0];
      next = std::max(next + std::chrono::seconds(1), Clock::now());
      std::this_thread::sleep_until(next);
    }
  }

  // Runs a writer, killed when its fault says so and it still runs then; one with a file-size
  // limit must be refused as a whole (exit status refusedExit, `reports` error-log lines).
  Fate write(const std::string& program, test::RunOptions options, Fault fault, int refusedExit,
             int reports) {
    if (fault.limited) options.fileSizeLimit = kFileSizeLimit;
    const auto started = Clock::now();
    test::BackgroundProcess process = instance_.start(program, options);
    const auto ended = [&] { return process.ended(); };
    if (fault.killAt >= 0) {
      std::this_thread::sleep_for(milliseconds(static_cast<int>(fault.killAt * writerMs_)));
      if (!ended()) process.signal(SIGKILL);  // not reaped yet, so the pid is still this writer's
    }
    EXPECT_TRUE(test::waitUntil(ended, 60));
    const test::RunResult result = process.wait(1);
    ++writers_;
    if (fault.limited) maxReports_ += reports;
    if (fault.killAt < 0 && !fault.limited) measureWriter(Clock::now() - started);
    if (fault.killAt >= 0 && result.exitCode < 0) {
      ++killed_;
      return Fate::kKilled;
    }
    EXPECT_EQ(result.exitCode, fault.limited ? refusedExit : 0) << options.stdinText.substr(0, 300);
    if (!fault.limited) return Fate::kDone;
    ++refused_;
    minReports_ += reports;
    return Fate::kRefused;
  }
  // A running average of how long an undisturbed writer takes (polling adds up to 20 ms).
  void measureWriter(Clock::duration took) {
    const int ms = static_cast<int>(std::chrono::duration_cast<milliseconds>(took).count());
    writerMs_ = (writerMs_.load() * 3 + ms) / 4;
  }
  Fate service(const std::string& command, const std::string& group, const std::string& text,
               Fault fault) {
    return write("vyrunner.cgi", {{command, group}, kAdmin, text, 60}, fault, 0, 1);
  }
  static test::RunOptions consoleForm(const Fields& fields) {
    std::string body = "apwd=secret";
    for (const auto& [name, value] : fields) body += "&" + urlEncode(name) + "=" + urlEncode(value);
    return {{}, test::apacheRequest("POST", "/vy/vyconsole.cgi", "", body.size()).env, body, 60};
  }

  // A new URL of the group on one of the sites.
  Key newUrl(Rng& rng, const std::string& group, const char* writer) {
    const std::string path = "/" + group + "/" + writer + std::to_string(named_++);
    return {group, sites_[rng.below(sites_.size())].first->url(path)};
  }
  // The writer's URLs of the group that may be present.
  static std::vector<Key> maybePresent(const Outcomes& mine, const std::string& group) {
    std::vector<Key> found;
    for (const auto& [key, possible] : mine) {
      if (key.first == group && *possible.rbegin() >= 0) found.push_back(key);
    }
    return found;
  }

  // Runs `step(rng, outcomes, group, its URLs that may be present)` on a random group until the
  // deadline, then adds the outcomes to urls_.
  using Step = void (LoadTest::*)(Rng&, Outcomes&, const std::string&, const std::vector<Key>&);
  void writer(Rng rng, Step step) {
    Outcomes mine;
    for (; !stopping(); pause(rng)) {
      const std::string group = rng.chance(0.5) ? "g1" : "g2";
      (this->*step)(rng, mine, group, maybePresent(mine, group));
    }
    std::lock_guard<std::mutex> lock(mergeLock_);
    urls_.merge(mine);
  }

  // add (new URLs, or new switches for present ones) and del.
  void serviceStep(Rng& rng, Outcomes& mine, const std::string& group,
                   const std::vector<Key>& present) {
    std::vector<std::pair<Key, int>> changes;
    std::string text;
    const bool deleting = !present.empty() && rng.chance(0.4);
    for (int i = rng.below(deleting ? 2 : 3); i >= 0; --i) {
      const int switches = deleting ? -1 : rng.below(4);
      const bool known = deleting || (!present.empty() && rng.chance(0.25));
      const Key key = known ? present[rng.below(present.size())] : newUrl(rng, group, "s");
      text += "url=" + key.second + "\n";
      if (!deleting) {
        text += "chkban=" + std::to_string(switches & 1) +
                "\nchkpres=" + std::to_string(switches >> 1) + "\n";
      }
      changes.emplace_back(key, switches);
    }
    const Fate fate = service(deleting ? "del" : "add", group, text, fault(rng));
    for (const auto& [key, outcome] : changes) settle(mine, key, outcome, fate, -1);
  }

  // The group page's actions (add, new switches, rename, delete, check now) and the settings.
  void consoleStep(Rng& rng, Outcomes& mine, const std::string& group,
                   const std::vector<Key>& present) {
    const Key chosen = present.empty() ? Key() : present[rng.below(present.size())];
    Fields form = {{"fnct", "view_group"}, {"group", group}};
    const double action = std::uniform_real_distribution<double>()(rng.engine);
    if (action < 0.1 && !present.empty()) {  // checks the URL now; changes no group
      form.insert(form.end(), {{"ACTION", "check"}, {"TSELURL", chosen.second}});
      EXPECT_EQ(instance_.run("vyconsole.cgi", consoleForm(form)).exitCode, 0);
    } else if (action < 0.3) {
      const std::string every = std::to_string(1 + rng.below(3));
      const std::string inform = "c" + std::to_string(named_++);
      form = {{"fnct", "update_group"}, {"group", group}, {"EVRCHK", every},
              {"TYPEINF", "0"},         {"SUSP", "0"},    {"UPDCMD", inform}};
      const Fate fate = write("vyconsole.cgi", consoleForm(form), fault(rng), 1, 1);
      settle(groupSettings_, group, every + "|" + inform, fate, std::string());
    } else if (action < 0.5 && !present.empty()) {
      form.insert(form.end(), {{"ACTION", "delete"}, {"TSELURL", chosen.second}});
      settle(mine, chosen, -1, write("vyconsole.cgi", consoleForm(form), fault(rng), 0, 1), -1);
    } else {  // a new URL, new switches for a present one, or a present one renamed
      const int switches = rng.below(4);
      const bool renaming = !present.empty() && rng.chance(0.3);
      const Key former = present.empty() || rng.chance(0.3) ? Key() : chosen;
      const Key key = former.first.empty() || renaming ? newUrl(rng, group, "c") : former;
      form.insert(form.end(), {{"ACTION", "update"},
                               {"URL", key.second},
                               {"TAEURL", former.second},
                               {"CHKBAN", std::to_string(switches & 1)},
                               {"CHKPRES", std::to_string(switches >> 1)}});
      const bool renamed = !former.first.empty() && key != former;
      const Fate fate = write("vyconsole.cgi", consoleForm(form), fault(rng), 0, renamed ? 2 : 1);
      settle(mine, key, switches, fate, -1);
      if (renamed) settle(mine, former, -1, fate, -1);
    }
  }

  // writegroup of the text not stored; the group holds one of the two whole texts after every
  // change, the new one when it was stored, the old one when it was refused.
  void flip(Fault fault) {
    const int next = 1 - flipStored_;
    const Fate fate = service("writegroup", "flip", flipTexts_[next], fault);
    const std::string stored = instance_.runWorker({"getsetup", "flip"}, kAdmin, "", 60).out;
    const int found = stored == flipCanonical_[0] ? 0 : stored == flipCanonical_[1] ? 1 : -1;
    EXPECT_NE(found, -1) << stored.substr(0, 200) << "..." << stored.substr(stored.size() / 2);
    EXPECT_TRUE(fate == Fate::kKilled || found == (fate == Fate::kDone ? next : flipStored_));
    if (found >= 0) flipStored_ = found;
  }

  test::FakeServer up_, missing_, slow_, down_;
  const std::vector<std::pair<test::FakeServer*, int>> sites_;  // with the code each gives
  unsigned seed_ = 0;
  uint32_t from_ = 0;
  bool faults_ = false;
  Clock::time_point deadline_;
  std::mutex mergeLock_;  // guards the merging into urls_
  std::atomic<int> named_{0}, writers_{0}, refused_{0}, killed_{0}, minReports_{0}, maxReports_{0};
  std::atomic<int> writerMs_{50};  // first guess, until writers have been measured
  Outcomes urls_;
  std::map<std::string, std::set<std::string>> groupSettings_;  // "interval|inform" it may hold
  std::string flipTexts_[2], flipCanonical_[2];
  int flipStored_ = 0;
  test::SchedulerPids leftovers_{instance_};  // a process left behind is killed by its pid
};

TEST_F(LoadTest, ConcurrentChecksServiceCommandsAndConsoleRequestsLoseAndTearNothing) {
  runLoadAndVerify(kLoadSeconds, false);
  EXPECT_EQ(test::loggedActions(instance_), test::LogLines{});
}

// Every refused change is reported once as a failed write (13); nothing reads a damaged file.
TEST_F(LoadTest, WritersKilledOrStoppedHalfWayLeaveTheOldOrTheNewGroup) {
  runLoadAndVerify(kFaultSeconds, true);
  const test::LogLines lines = test::loggedActions(instance_);
  for (const auto& line : lines) EXPECT_EQ(line.first, "13") << line.second;
  EXPECT_GE(static_cast<int>(lines.size()), minReports_.load());
  EXPECT_LE(static_cast<int>(lines.size()), maxReports_.load());
  EXPECT_GT(killed_.load(), 0);
  EXPECT_GT(refused_.load(), 0);
}

}  // namespace
}  // namespace vy
