// The group store's operations on a real ./vydata: storing, listing, deleting, the status
// write-back, damaged files, names, and the locks between processes.
#include "store/group_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "common/fd.h"
#include "common/files.h"
#include "common/le.h"
#include "store/check_log.h"
#include "store/group_codec.h"
#include "store/group_name.h"
#include "tests/store/store_fixture.h"
#include "tests/support/printers.h"

namespace vy {
namespace {

using namespace std::string_literals;
using test::parsed;
using test::Texts;
namespace fs = std::filesystem;
using GroupStoreTest = test::DataDirTest;
using UrlOperation = StoreStatus (*)(const std::string&, const std::vector<UrlStatus>&);

const std::string kShop = "./vydata/vydb/shop.dat";
const char *const kA = "http://a/", *const kB = "http://b/", *const kC = "http://c/";
constexpr size_t kRecordABC = kUrlStatusSize + 10;  // status, "http://a/", NUL

GroupConfig groupWithUrls(std::initializer_list<const char*> urls, uint8_t flags = 0) {
  GroupConfig config;
  for (const char* url : urls) config.addUrl(url).flags = flags;
  return config;
}

GroupConfig readShop() {
  GroupRead read = readGroup("shop");
  EXPECT_EQ(read.status, StoreCode::kOk);
  return std::move(read.group);
}

// The stored URLs of the shop group with their last check times: "http://a/@1000 ...".
std::string stored() {
  std::string text;
  for (auto& e : readShop().urls)
    text += std::string(e.url) + '@' + std::to_string(e.lastCheck) + ' ';
  return text;
}

// Stores the URLs whole, the i-th checked at 1000 + i with code 200 in 321 ms.
void storeShop(std::initializer_list<const char*> urls) {
  GroupConfig config = groupWithUrls(urls, kUrlCheckBan | kUrlUp);
  uint32_t time = 1000;
  for (UrlStatus& url : config.urls)
    std::tie(url.lastCheck, url.resultCode, url.responseMs) = std::tuple(time++, 200, 321);
  ASSERT_EQ(writeGroup("shop", config), StoreCode::kOk);
}

// Applies an operation to the shop group with the given URLs; stored() after.
std::string apply(UrlOperation operation, std::initializer_list<const char*> urls,
                  uint8_t flags = 0) {
  EXPECT_EQ(operation("shop", groupWithUrls(urls, flags).urls), StoreCode::kOk);
  return stored();
}

std::string deleteFromShop(const std::vector<std::string_view>& urls) {
  EXPECT_EQ(deleteUrls("shop", urls), StoreCode::kOk);
  return stored();
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

TEST_F(GroupStoreTest, AddingKeepsStoredResultsTakesNewSwitchesAndMovesUrlsToTheEnd) {
  EXPECT_EQ(apply(addUrls, {kA, kB, kA}), "http://b/@0 http://a/@0 ");
  storeShop({kA, kB});
  EXPECT_EQ(apply(addUrls, {kB, kC}, kUrlCheckPres), "http://a/@1000 http://b/@1001 http://c/@0 ");
  GroupConfig read = readShop();
  EXPECT_EQ(std::pair(read.urls[1].responseMs, read.urls[1].flags),
            std::pair(321u, uint8_t{kUrlCheckPres | kUrlUp}));
  storeShop({kA, kB});
  EXPECT_EQ(apply(addUrls, {kA}), "http://b/@1001 http://a/@1000 ");
  const UrlListing listing = listUrls("shop");
  ASSERT_EQ(listing.status, StoreCode::kOk);
  EXPECT_EQ(joined(listing.lines), "http://b/ 0 p=0 c=200http://a/ 0 p=0 c=200");
  EXPECT_EQ(joined(listUrls("shop", kA).lines), "http://a/ 0 p=0 c=200");
}

TEST_F(GroupStoreTest, ReplaceTakesTheGivenStatusesAndRewriteKeepsStoredResults) {
  for (UrlOperation operation : {replaceUrls, rewriteUrls}) {
    storeShop({kA, kB, kC});
    GroupConfig given = groupWithUrls({kB, "http://new/"});
    given.urls[0].lastCheck = 7;
    ASSERT_EQ(operation("shop", given.urls), StoreCode::kOk);
    EXPECT_EQ(stored(), operation == replaceUrls ? "http://b/@7 http://new/@0 "
                                                 : "http://b/@1001 http://new/@0 ");
    EXPECT_EQ(readWholeFile(kShop).size(), kGroupHeaderSize + 2 * kRecordABC + 2);
  }
}

// The certificate state is a check result: kept by adding and rewriting, given by replacing.
TEST_F(GroupStoreTest, TheCertificateStateTravelsWithTheCheckResults) {
  const auto certificateState = [] {
    std::string text;
    for (const UrlStatus& e : readShop().urls) {
      text += std::string(e.url) + '@' + std::to_string(e.certExpiry) + '/' +
              std::to_string(e.certWarnedDays) + ' ';
    }
    return text;
  };
  const auto storeCertified = [] {
    GroupConfig config = groupWithUrls({kA, kB});
    std::tie(config.urls[0].certExpiry, config.urls[0].certWarnedDays) =
        std::tuple(2'000'000'000u, 14);
    ASSERT_EQ(writeGroup("shop", config), StoreCode::kOk);
  };
  storeCertified();
  EXPECT_EQ(certificateState(), "http://a/@2000000000/14 http://b/@0/0 ");
  ASSERT_EQ(addUrls("shop", groupWithUrls({kA, kC}).urls), StoreCode::kOk);
  EXPECT_EQ(certificateState(), "http://b/@0/0 http://a/@2000000000/14 http://c/@0/0 ");
  storeCertified();
  ASSERT_EQ(rewriteUrls("shop", groupWithUrls({kB, kA}).urls), StoreCode::kOk);
  EXPECT_EQ(certificateState(), "http://b/@0/0 http://a/@2000000000/14 ");
  ASSERT_EQ(replaceUrls("shop", groupWithUrls({kA}).urls), StoreCode::kOk);
  EXPECT_EQ(certificateState(), "http://a/@0/0 ");

  // The worker's write-back stores what the check left in the entry.
  GroupRead worker = readGroup("shop");
  ASSERT_EQ(worker.status, StoreCode::kOk);
  std::tie(worker.group.urls[0].certExpiry, worker.group.urls[0].certWarnedDays) =
      std::tuple(3u, 7);
  ASSERT_EQ(writeUrlStatus(worker.handle, worker.group.urls, 0), StoreCode::kOk);
  EXPECT_EQ(certificateState(), "http://a/@3/7 ");
}

// A URL whose text is "all" is just a URL; removing the group is an operation of its own.
TEST_F(GroupStoreTest, DeletingRemovesExactlyTheGivenUrlsAndOnlyRemovingDeletesTheGroup) {
  storeShop({kA, kB, kC});
  EXPECT_EQ(deleteFromShop({kB, "http://gone/"}), "http://a/@1000 http://c/@1002 ");
  EXPECT_EQ(readWholeFile(kShop).size(), kGroupHeaderSize + 2 * kRecordABC);
  storeShop({kA, "all", kC});
  EXPECT_EQ(deleteFromShop({"all", "http://gone/"}), "http://a/@1000 http://c/@1002 ");
  EXPECT_EQ(deleteFromShop({kA, kC}), "");
  EXPECT_TRUE(fs::exists(kShop));
  EXPECT_EQ(deleteUrls("nosuch", {"all"}), StoreCode::kNotFound);
  EXPECT_EQ(deleteUrls("../x", {kA}), StoreCode::kRefusedName);
  ASSERT_EQ(removeGroup("shop"), StoreCode::kOk);
  EXPECT_FALSE(fs::exists(kShop));
  EXPECT_EQ(removeGroup("shop"), StoreCode::kNotFound);
  EXPECT_EQ(removeGroup("../shop"), StoreCode::kRefusedName);
}

TEST_F(GroupStoreTest, StoringSettingsLowersContentsAndMovesUrlRecordsByteForByte) {
  storeShop({kA, kB});
  std::string before = readWholeFile(kShop);
  before[kGroupHeaderSize + 20] = '\x5a';  // a record's certificate state survives too
  std::ofstream(kShop) << before;
  const std::string records = before.substr(kGroupHeaderSize);
  GroupConfig settings = parsed(
      "checktime=30\ninform=ops@example.org\nwritelog=1\nsuspend=1\n"
      "bancontent=8\nSold OUT\nprescontent=11\nAdd To Cart\n");
  settings.moreOptions = 0xFF;  // run-time bits must not reach the file
  ASSERT_EQ(storeSettings("shop", settings), StoreCode::kOk);
  // interval 30, inform, options, moreOptions, URL/ban/pres counts 2 1 1, area sizes 9 12
  const std::string header = "\x1e\0\0\0ops@example.org"s + std::string(235, '\0') +
                             "\x81\x07\2\0\0\0\1\0\0\0\1\0\0\0\11\0\0\0\14\0\0\0"s +
                             std::string(12, '\0');
  EXPECT_EQ(readWholeFile(kShop), header + "sold out\0add to cart\0"s + records);
  ASSERT_EQ(storeSettings("shop", GroupConfig()), StoreCode::kOk);  // the records move back
  EXPECT_EQ(readWholeFile(kShop).substr(kGroupHeaderSize), records);
}

// An empty text would be found in every page: both storing operations leave out every content
// that is empty once cut at its first NUL, also one parsed from a service command's text.
TEST_F(GroupStoreTest, StoringLeavesOutContentsEmptyAfterTheirNul) {
  for (auto store : {storeSettings, writeGroup}) {
    GroupConfig config = parsed("bancontent=0\n\nbancontent=3\nOne\nurl=http://a/\n");
    config.addBanContent("\0two"s);
    config.addBanContent("Three\0x"s);
    config.addPresContent("\0"s);
    ASSERT_EQ(store("shop", config), StoreCode::kOk);
    const std::string bytes = readWholeFile(kShop);
    EXPECT_EQ(bytes.substr(kGroupBanCountOffset, 16), "\2\0\0\0\0\0\0\0\12\0\0\0\0\0\0\0"s);
    EXPECT_EQ(bytes.substr(kGroupHeaderSize, 10), "one\0three\0"s);
    EXPECT_EQ(std::pair(readShop().banContents, readShop().presCount()),
              std::pair(Texts{"one", "three"}, 0));
  }
}

TEST_F(GroupStoreTest, StatusWriteFollowsItsUrlAfterAnotherProcessDeletedSome) {
  storeShop({"http://aa/", kB, "http://cc/", "http://d/"});
  GroupRead worker = readGroup("shop");
  ASSERT_EQ(worker.status, StoreCode::kOk);
  std::vector<UrlStatus>& urls = worker.group.urls;
  deleteFromShop({"http://aa/"});  // cc's old offset now holds d
  urls[2].lastCheck = 9;
  ASSERT_EQ(writeUrlStatus(worker.handle, urls, 2), StoreCode::kOk);
  EXPECT_EQ(stored(), "http://b/@1001 http://cc/@9 http://d/@1003 ");
  deleteFromShop({kB, "http://cc/"});  // d's old offset is now past the end
  urls[3].lastCheck = 42;
  ASSERT_EQ(writeUrlStatus(worker.handle, urls, 3), StoreCode::kOk);
  EXPECT_EQ(stored(), "http://d/@42 ");
  const std::string before = readWholeFile(kShop);  // aa itself is gone: nothing is written
  urls[0].lastCheck = 5;
  EXPECT_EQ(writeUrlStatus(worker.handle, urls, 0), StoreCode::kOk);
  EXPECT_EQ(readWholeFile(kShop), before);
  EXPECT_EQ(writeUrlStatus(worker.handle, urls, 4), StoreCode::kNoSuchEntry);
}

// The console and the metrics read groups they may not write.
TEST_F(GroupStoreTest, ReadingAGroupNeedsNoWritePermission) {
  storeShop({kA});
  fs::permissions(kShop, fs::perms::owner_read | fs::perms::group_read);
  EXPECT_EQ(stored(), "http://a/@1000 ");
  EXPECT_EQ(listUrls("shop").lines.size(), 1u);
}

// Every operation, as a step that reports its status; a listing must also stay empty.
const std::pair<const char*, std::function<StoreStatus()>> kEveryOperation[] = {
    {"read", [] { return readGroup("shop").status; }},
    {"list",
     [] {
       UrlListing listing = listUrls("shop");
       EXPECT_TRUE(listing.lines.empty());
       return listing.status;
     }},
    {"add", [] { return addUrls("shop", groupWithUrls({"http://bb/"}).urls); }},
    {"replace", [] { return replaceUrls("shop", groupWithUrls({"http://bb/"}).urls); }},
    {"rewrite", [] { return rewriteUrls("shop", groupWithUrls({"http://bb/"}).urls); }},
    {"delete", [] { return deleteUrls("shop", {"http://bb/"}); }},
    {"settings", [] { return storeSettings("shop", GroupConfig()); }},
    {"status",
     [] {
       GroupHandle handle = GroupHandle::named("shop");
       GroupConfig group = groupWithUrls({"http://bb/"});
       return writeUrlStatus(handle, group.urls, 0);
     }},
};

TEST_F(GroupStoreTest, EveryOperationRefusesADamagedFileAndLeavesItAsItWas) {
  GroupConfig sound =
      parsed("bancontent=3\nban\nprescontent=4\npres\nurl=http://a/\nurl=http://bb/\n");
  ASSERT_EQ(writeGroup("shop", sound), StoreCode::kOk);
  const std::string good = readWholeFile(kShop);
  const auto rest = static_cast<int32_t>(good.size() - kGroupHeaderSize);
  std::vector<std::string> damaged;  // truncated, bad counts and area sizes, missing NULs
  for (size_t size = 1; size < good.size(); ++size) damaged.push_back(good.substr(0, size));
  for (size_t offset : {256, 260, 264, 268, 272}) {
    for (int32_t value : {-1, INT32_MIN, INT32_MAX, 3, rest}) {
      le::putI32(reinterpret_cast<uint8_t*>(damaged.emplace_back(good).data()) + offset, value);
    }
  }
  for (size_t nul : {kGroupHeaderSize + 3, kGroupHeaderSize + 8, good.size() - 1}) {
    damaged.emplace_back(good)[nul] = 'x';
  }
  for (const std::string& bytes : damaged) {
    std::ofstream(kShop) << bytes;
    for (const auto& [name, operation] : kEveryOperation) {
      EXPECT_EQ(operation(), StoreCode::kDamaged) << name << " " << bytes.size();
      EXPECT_EQ(readWholeFile(kShop), bytes) << name;
    }
  }
}

TEST_F(GroupStoreTest, TwoProcessesAddingToOneGroupLoseNoUrl) {
  for (int code : test::exitCodesOf(2, [](int p) {  // each adds 150 URLs one by one
         for (int i = 0; i < 150; ++i) {
           GroupConfig config;
           config.addUrl("http://" + std::to_string(p) + "/" + std::to_string(i));
           if (!addUrls("shop", config.urls).ok()) return 1;
         }
         return 0;
       })) {
    EXPECT_EQ(code, 0);
  }
  EXPECT_EQ(readShop().urlCount(), 300);
}

// A read shares the group's lock: another reader's lock does not hold it up, but a change waits.
TEST_F(GroupStoreTest, ReadersShareTheLockAndAChangeWaitsForThem) {
  storeShop({kA});
  UniqueFd reader = openFd(kShop.c_str(), O_RDONLY);
  ASSERT_TRUE(lockFileShared(reader.get()));
  auto finishes = [](const std::function<StoreStatus()>& operation, double seconds) {
    return test::runInChild([&] { _exit(operation().ok() ? 0 : 1); }, seconds).exitCode == 0;
  };
  EXPECT_TRUE(finishes([] { return readGroup("shop").status; }, 20));
  EXPECT_TRUE(finishes([] { return listUrls("shop").status; }, 20));
  // still waiting when its time is up
  EXPECT_FALSE(finishes([] { return addUrls("shop", groupWithUrls({kB}).urls); }, 1));
  reader.reset();
  EXPECT_EQ(stored(), "http://a/@1000 ");
}

// Bad names are refused without touching files; a directory or a pipe at a group's path reads as
// no group.
TEST_F(GroupStoreTest, OnlyARegularFileOfAValidNameIsAGroup) {
  EXPECT_TRUE(isValidGroupName("Shop-2.eu_x") && isValidGroupName(std::string(64, 'z')));
  const GroupConfig group = groupWithUrls({kA});  // owns the texts the entries view
  const std::vector<UrlStatus>& urls = group.urls;
  for (const std::string& name :
       {"../x"s, "a/b"s, ".hidden"s, ".."s, "a b"s, "x\"<"s, "caf\xc3\xa9"s, std::string(65, 'a'),
        "a\0b"s, ""s, "my.data"s, "x.dat"s}) {
    GroupHandle handle = GroupHandle::named(name);
    std::vector<UrlStatus> written = urls;
    EXPECT_EQ(writeUrlStatus(handle, written, 0), StoreCode::kRefusedNameToStore) << name;
    EXPECT_EQ(appendCheckLog(name, urls[0]), StoreCode::kCannotAppend) << name;
    if (name.empty()) continue;  // the general group for the operations by name
    for (UrlOperation store : {addUrls, replaceUrls, rewriteUrls}) {
      EXPECT_EQ(store(name, urls), StoreCode::kRefusedNameToStore) << name;
    }
    EXPECT_EQ(storeSettings(name, GroupConfig()), StoreCode::kRefusedNameToStore) << name;
    EXPECT_EQ(writeGroup(name, GroupConfig()), StoreCode::kRefusedNameToStore) << name;
    EXPECT_EQ(readGroup(name).status, StoreCode::kRefusedName) << name;
    EXPECT_EQ(listUrls(name).status, StoreCode::kRefusedName) << name;
    EXPECT_EQ(deleteUrls(name, {kA}), StoreCode::kRefusedName) << name;
  }
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator("."), {}), 3);
  fs::create_directory(groupFilePath("dir"));
  ASSERT_EQ(::mkfifo(groupFilePath("pipe").c_str(), 0666), 0);  // reading it would block
  for (const char* name : {"dir", "pipe", "missing"}) {
    EXPECT_EQ(readGroup(name).status, StoreCode::kNotFound) << name;
    EXPECT_EQ(listUrls(name).status, StoreCode::kNotFound) << name;
    EXPECT_EQ(deleteUrls(name, {"all"}), StoreCode::kNotFound) << name;
  }
  EXPECT_EQ(addUrls("pipe", urls), StoreCode::kCannotOpen);
  EXPECT_TRUE(fs::is_fifo(groupFilePath("pipe")) && fs::is_directory(groupFilePath("dir")));
}

}  // namespace
}  // namespace vy
