// The installed status program on fresh instances: only public groups ever show, addresses only
// as the group allows and never with their query, every stored text escaped, the JSON and the
// badges agreeing with the page, and a data directory it cannot change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "common/files.h"
#include "common/process.h"
#include "store/history.h"
#include "store/history_digest.h"
#include "store/public_title.h"
#include "tests/support/child.h"
#include "tests/support/instance_test.h"
#include "tests/support/validators.h"

namespace vy::test {
namespace {

namespace fs = std::filesystem;

struct Reply {
  int exitCode = -1;
  std::string header;
  std::string body;
  std::string err;
};

class StatusTest : public InstanceTest {
 protected:
  void SetUp() override { instance_.makeDataDirs(); }

  Reply get(const std::string& query) {
    const std::map<std::string, std::string> env = {{"REQUEST_METHOD", "GET"},
                                                    {"QUERY_STRING", query},
                                                    {"GATEWAY_INTERFACE", "CGI/1.1"},
                                                    {"REMOTE_ADDR", "127.0.0.1"}};
    const RunResult run = instance_.run("vystatus.cgi", {{}, env, "", 30});
    Reply reply{run.exitCode, "", run.out, run.err};
    const size_t end = run.out.find("\n\n");
    if (end != std::string::npos) {
      reply.header = run.out.substr(0, end + 1);
      reply.body = run.out.substr(end + 2);
    }
    return reply;
  }

  // A group of URLs with their stored results, public as the flags say.
  void storeShown(const std::string& name, uint8_t publicFlags,
                  const std::vector<std::pair<std::string, bool>>& urls) {
    GroupConfig group = groupOf({});
    group.publicFlags = publicFlags;
    for (const auto& [url, up] : urls) {
      addUrl(group, url, up ? kUrlUp : 0, static_cast<uint32_t>(now_ - 630), up ? 200 : 500, 40);
    }
    storeGroup(name, group);
  }

  // Checks of url at the given ages in days, each up or not, with its response time.
  void writeChecks(const std::string& group, const std::vector<std::string>& groupUrls,
                   const std::string& url,
                   const std::vector<std::tuple<double, bool, uint32_t>>& checks) {
    std::vector<KeyedCheck> records;
    for (const auto& [ageDays, up, ms] : checks) {
      const auto time = static_cast<uint32_t>(now_ - static_cast<std::time_t>(ageDays * 86400));
      records.push_back({historyUrlKey(url),
                         {time, static_cast<uint8_t>(up ? kStateUp : 0),
                          static_cast<int16_t>(up ? 200 : 500), ms}});
    }
    std::vector<std::string_view> views(groupUrls.begin(), groupUrls.end());
    const HistoryWrite written =
        inInstance([&] { return appendHistoryChecks(group, views, records, now_); });
    ASSERT_EQ(written.status, StoreCode::kOk);
  }

  std::time_t now_ = std::time(nullptr);
};

// Parses the JSON with Python and gives back one line per URL,
// "group|url|state|uptime30|uptime90|failed days", and a first line "minutesAgo|overall".
std::string jsonSummary(const std::string& json) {
  TempDir dir;
  const std::string out = dir.file("summary");
  const char* script =
      "import json,sys\n"
      "d=json.loads(sys.stdin.read())\n"
      "f=lambda v:'-' if v is None else '%.2f %%'%v\n"
      "s=['%d|%s'%(d['minutesAgo'],d['overall'])]\n"
      "for g in d['groups']:\n"
      "  for u in g['urls']:\n"
      "    s.append('|'.join([g['title'],u['url'],u['state'],f(u['uptime30']),f(u['uptime90']),"
      "str(sum(1 for x in u['days'] if x is not None and x<99))]))\n"
      "open(sys.argv[1],'w').write('\\n'.join(s))\n";
  if (!runProgramWithInput({"python3", "-c", script, out}, json).succeeded()) return "unparsed";
  return readWholeFile(out);
}

// The same lines taken from the page.
std::string pageSummary(const std::string& html) {
  std::string lines;
  const std::regex updated("Updated (\\d+) minutes? ago");
  const std::regex banner("<div class=\"banner (\\w+)\" role=\"status\">");
  std::smatch m;
  std::regex_search(html, m, updated);
  lines = m[1].str() + "|";
  std::regex_search(html, m, banner);
  lines += m[1].str();
  const std::regex group("<h2>([^<]*)</h2>(.*?)</section>");
  const std::regex url(
      "<span class=\"addr\">([^<]*)</span><span class=\"state \\w+\">(\\w+)</span><span "
      "class=\"uptime\">30 days: ([^<]*) · 90 days: ([^<]*)</span>(.*?)</li>");
  for (std::sregex_iterator g(html.begin(), html.end(), group), end; g != end; ++g) {
    const std::string inner = (*g)[2];
    for (std::sregex_iterator u(inner.begin(), inner.end(), url); u != end; ++u) {
      const std::string bar = (*u)[5];
      size_t failed = 0;
      for (size_t at = bar.find("class=\"f\""); at != std::string::npos;
           at = bar.find("class=\"f\"", at + 1)) {
        ++failed;
      }
      lines += "\n" + (*g)[1].str() + "|" + (*u)[1].str() + "|" + (*u)[2].str() + "|" +
               (*u)[3].str() + "|" + (*u)[4].str() + "|" + std::to_string(failed);
    }
  }
  return lines;
}

TEST_F(StatusTest, APrivateGroupNeverShowsAndItsNameGetsTheMissingGroupAnswer) {
  storeShown("shop", kPublicShown, {{"http://www.shop.example/", true}});
  storeShown("secret", 0, {{"http://intranet.secret.example/", false}});
  for (const std::string query : {"", "format=json"}) {
    const Reply all = get(query);
    ASSERT_EQ(all.exitCode, 0) << all.err;
    EXPECT_NE(all.body.find("shop"), std::string::npos) << query;
    EXPECT_EQ(all.body.find("secret"), std::string::npos) << query;
  }
  for (const std::string kind : {"", "format=json&", "badge=status&", "badge=uptime&",
                                 "badge=response&", "badge=status&url=intranet.secret.example&"}) {
    const Reply guessed = get(kind + "group=secret");
    const Reply missing = get(kind + "group=nosuch");
    EXPECT_EQ(guessed.header + guessed.body, missing.header + missing.body) << kind;
    EXPECT_NE(guessed.header.find("Status: 404"), std::string::npos) << kind;
    EXPECT_EQ(guessed.body.find("secret"), std::string::npos) << kind;
  }
}

TEST_F(StatusTest, AddressesShowOnlyWhenTheGroupAllowsAndNeverWithTheirQuery) {
  storeShown("open", kPublicShown | kPublicAddresses,
             {{"https://user:pw@www.example.com:8443/path/x?token=abc#frag", true}});
  storeShown("hosts", kPublicShown, {{"http://app.example.org:81/private/path?k=v", true}});
  for (const std::string query : {"", "format=json"}) {
    const Reply reply = get(query);
    EXPECT_NE(reply.body.find("https://www.example.com:8443/path/x"), std::string::npos) << query;
    EXPECT_NE(reply.body.find("app.example.org"), std::string::npos) << query;
    for (const char* hidden : {"token", "abc", "frag", "pw@", "user", "/private", "k=v", ":81"}) {
      EXPECT_EQ(reply.body.find(hidden), std::string::npos) << query << " shows " << hidden;
    }
  }
}

TEST_F(StatusTest, EveryStoredTextIsEscapedOnThePageAndInTheJson) {
  storeShown("shop", kPublicShown | kPublicAddresses, {{"http://a.example/<b>\"x'", true}});
  const std::string title = "<script>alert(\"t\")</script> & 'co'";
  ASSERT_EQ(inInstance([&] { return storePublicTitle("shop", title); }), StoreCode::kOk);
  fs::create_directories(instance_.path("vydata/vypublic"));
  instance_.write("vydata/vypublic/notice.txt", "<i>Maintenance</i> & more\n");
  const Reply page = get("");
  for (const char* raw : {"<script", "<b>", "<i>", "\"x'", "& more"}) {
    EXPECT_EQ(page.body.find(raw), std::string::npos) << raw;
  }
  EXPECT_NE(page.body.find("&lt;script&gt;alert(&quot;t&quot;)&lt;/script&gt; &amp; &#39;co&#39;"),
            std::string::npos);
  EXPECT_NE(page.body.find("&lt;i&gt;Maintenance&lt;/i&gt; &amp; more"), std::string::npos);
  EXPECT_TRUE(test::tidyAccepts(page.body)) << page.body;

  const Reply json = get("format=json");
  EXPECT_EQ(json.body.find('<'), std::string::npos);
  EXPECT_NE(jsonSummary(json.body).find(title + "|http://a.example/<b>\"x'|up"), std::string::npos);
}

TEST_F(StatusTest, TheJsonParsesAndCarriesThePagesFigures) {
  const std::vector<std::string> urls = {"http://a.example/", "http://b.example/"};
  storeShown("shop", kPublicShown | kPublicAddresses, {{urls[0], true}, {urls[1], false}});
  std::vector<std::tuple<double, bool, uint32_t>> checks;
  for (int i = 0; i < 30; ++i) checks.emplace_back(0.3 + i * 0.3, i % 10 != 0, 100);  // 27 of 30
  for (int i = 0; i < 20; ++i) checks.emplace_back(50.5 + i * 0.5, true, 100);
  writeChecks("shop", urls, urls[0], checks);
  writeChecks("shop", urls, urls[1], {{0.5, false, 10}});
  const Reply page = get("");
  ASSERT_EQ(page.exitCode, 0) << page.err;
  EXPECT_NE(page.header.find("Cache-Control: max-age=30\n"), std::string::npos);
  EXPECT_NE(page.body.find("name=\"viewport\""), std::string::npos);
  const std::string fromPage = pageSummary(page.body);
  EXPECT_EQ(fromPage,
            "10|some\nshop|http://a.example/|up|90.00 %|94.00 %|3\n"
            "shop|http://b.example/|down|0.00 %|0.00 %|1");
  EXPECT_EQ(jsonSummary(get("format=json").body), fromPage);
}

// The worker's day digest gives the figures the history gives, and is what the page reads: with
// the history gone they stay.
TEST_F(StatusTest, TheDayDigestGivesTheFiguresOfTheHistoryItWasFoldedFrom) {
  const std::vector<std::string> urls = {"http://a.example/", "http://b.example/"};
  storeShown("shop", kPublicShown | kPublicAddresses, {{urls[0], true}, {urls[1], false}});
  writeChecks("shop", urls, urls[0], {{0.2, true, 1}, {1.5, false, 1}, {45, false, 1}});
  writeChecks("shop", urls, urls[1], {{0.5, false, 10}, {88, true, 1}});
  const std::string fromHistory = jsonSummary(get("format=json").body);
  EXPECT_EQ(fromHistory,
            "10|some\nshop|http://a.example/|up|50.00 %|33.33 %|2\n"
            "shop|http://b.example/|down|0.00 %|50.00 %|1");
  const std::vector<std::string_view> views(urls.begin(), urls.end());
  ASSERT_EQ(inInstance([&] { return writeHistoryDigest("shop", views, now_); }), StoreCode::kOk);
  fs::remove(instance_.path("vydata/vyhist/shop.dat"));
  EXPECT_EQ(jsonSummary(get("format=json").body), fromHistory);
  EXPECT_EQ(pageSummary(get("").body), fromHistory);

  // A digest of days ago (no run since) gives what its days hold at the page's time.
  storeShown("old", kPublicShown | kPublicAddresses, {{urls[0], true}});
  writeChecks("old", {urls[0]}, urls[0], {{5, false, 1}, {29.5, false, 1}, {40, true, 1}});
  const std::string oldFromHistory = jsonSummary(get("format=json&group=old").body);
  const std::vector<std::string_view> old = {urls[0]};
  ASSERT_EQ(inInstance([&] { return writeHistoryDigest("old", old, now_ - 3 * 86400); }),
            StoreCode::kOk);
  fs::remove(instance_.path("vydata/vyhist/old.dat"));
  EXPECT_EQ(jsonSummary(get("format=json&group=old").body), oldFromHistory);
}

TEST_F(StatusTest, EachBadgeKindIsValidSvgWithItsText) {
  const std::vector<std::string> urls = {"http://a.example/x?q=1", "http://b.example/"};
  storeShown("shop", kPublicShown | kPublicAddresses, {{urls[0], true}, {urls[1], false}});
  ASSERT_EQ(inInstance([&] { return storePublicTitle("shop", "Shop & Co"); }), StoreCode::kOk);
  writeChecks("shop", urls, urls[0], {{0.1, true, 100}, {0.2, true, 300}, {3, false, 50}});
  writeChecks("shop", urls, urls[1], {{0.1, false, 20}});
  const std::map<std::string, std::string> expected = {
      {"badge=status&group=shop", "<title>Shop &amp; Co: degraded</title>"},
      {"badge=status&group=shop&url=http%3A%2F%2Fa.example%2Fx",
       "<title>Shop &amp; Co: up</title>"},
      {"badge=uptime&group=shop&window=30d", "<title>uptime 30d: 50.00 %</title>"},
      {"badge=uptime&group=shop&window=1d&url=http%3A%2F%2Fa.example%2Fx",
       "<title>uptime 1d: 100.00 %</title>"},
      {"badge=response&group=shop&window=1d", "<title>response 1d: 140 ms</title>"},
      {"badge=response&group=shop&url=http%3A%2F%2Fa.example%2Fx",
       "<title>response 1d: 200 ms</title>"}};
  for (const auto& [query, title] : expected) {
    const Reply badge = get(query);
    EXPECT_NE(badge.header.find("Content-Type: image/svg+xml\n"), std::string::npos) << query;
    EXPECT_NE(badge.header.find("Cache-Control: max-age=60\n"), std::string::npos) << query;
    EXPECT_TRUE(test::xmlAccepts(badge.body)) << badge.body;
    EXPECT_NE(badge.body.find(title), std::string::npos) << query << "\n" << badge.body;
  }
  // The full URL with its query is not how a badge names a URL.
  EXPECT_NE(
      get("badge=status&group=shop&url=http%3A%2F%2Fa.example%2Fx%3Fq%3D1").header.find("404"),
      std::string::npos);
  EXPECT_NE(get("badge=uptime&group=shop&window=0d").header.find("Status: 400"), std::string::npos);
}

// Every file of a tree: its modification time and content.
std::map<std::string, std::pair<int64_t, std::string>> snapshot(const std::string& root) {
  std::map<std::string, std::pair<int64_t, std::string>> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    const int64_t mtime = int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
    files[entry.path()] = {mtime, entry.is_regular_file() ? readWholeFile(entry.path()) : ""};
  }
  return files;
}

// The data directory mounted read-only onto itself for the scope (root), or made unwritable
// (another user, for whom permissions hold); neither possible: not active.
class ReadOnlyData {
 public:
  explicit ReadOnlyData(std::string dir) : dir_(std::move(dir)) {
    if (::geteuid() != 0) {
      active_ = runProgramWithInput({"chmod", "-R", "a-w", dir_}, "").succeeded();
      return;
    }
    mounted_ = runProgramWithInput({"mount", "--bind", "-o", "ro", dir_, dir_}, "").succeeded();
    active_ = mounted_ && ::access((dir_ + "/vydb").c_str(), W_OK) != 0;
  }
  ~ReadOnlyData() {
    if (mounted_) (void)runProgramWithInput({"umount", dir_}, "");
    if (::geteuid() != 0) (void)runProgramWithInput({"chmod", "-R", "u+w", dir_}, "");
  }
  bool active() const { return active_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  bool active_ = false;
};

TEST_F(StatusTest, ItServesFromAReadOnlyDataDirectoryAndChangesNoFile) {
  const std::vector<std::string> urls = {"http://a.example/"};
  storeShown("shop", kPublicShown, {{urls[0], true}});
  ASSERT_EQ(inInstance([&] { return storePublicTitle("shop", "Shop"); }), StoreCode::kOk);
  writeChecks("shop", urls, urls[0], {{0.1, true, 100}, {40, true, 90}});
  storeShown("secret", 0, {{"http://b.example/", true}});
  const auto before = snapshot(instance_.path("vydata"));
  {
    ReadOnlyData readOnly(instance_.path("vydata"));
    if (!readOnly.active()) GTEST_SKIP() << "the data directory cannot be made read-only here";
    const std::map<std::string, std::string> answers = {
        {"", "Shop"},
        {"format=json", "\"title\":\"Shop\""},
        {"group=shop", "Shop"},
        {"badge=status&group=shop", "<title>Shop: up</title>"},
        {"badge=uptime&group=shop&window=90d", "<title>uptime 90d: 100.00 %</title>"},
        {"badge=response&group=shop", "<title>response 1d: 100 ms</title>"},
        {"group=secret", "There is no such status page."}};
    for (const auto& [query, shown] : answers) {
      const Reply reply = get(query);
      EXPECT_EQ(reply.exitCode, 0) << query << reply.err;
      EXPECT_EQ(reply.err, "") << query;
      EXPECT_NE(reply.body.find(shown), std::string::npos) << query << "\n" << reply.body;
    }
  }
  EXPECT_EQ(snapshot(instance_.path("vydata")), before);
}

}  // namespace
}  // namespace vy::test
