// The list file's bounds and the check against a small list built here.
#include "blocklist/blocklist.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "blocklist/blocklist_tool.h"

namespace {

class BlocklistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarpon-blocklist-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(0, std::system(command.c_str()));
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // A list of the passwords and breach lines of source, built by the tool.
  std::string Build(const std::string& source, const char* minCount = "1") {
    Write("source.txt", source);
    const std::string list = Path("list.tbl");
    const std::string input = Path("source.txt");
    std::vector<std::string> words = {"tarpon-blocklist", "build",  "-o", list,
                                      "-min-count",       minCount, input};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(BLOCKLIST_EXIT_OK,
              BlocklistToolMain(static_cast<int>(argv.size()), argv.data(), in,
                                out, err))
        << err.str();
    return list;
  }

  std::string dir_;
};

// The SHA-1 of "Hunter2" and of "TR0UB4DO", as breach downloads write them.
const char kHunter2Hash[] = "a8a00adebf1411b8baf07bdc688ce3889e8f7cb2";
const char kTroubadorHash[] = "83894931C4AACB6C3DB445D930C987BCED33DAB6";

TEST_F(BlocklistTest, ChecksAgainstTheListTheContextAndSequences) {
  const std::string source = std::string("password\nmonkey\r\nsunshine  \n") +
                             kHunter2Hash + ":12\n" + kTroubadorHash +
                             ":3\nnot a host password\n";
  std::string error;
  auto list = BlocklistFile::Open(Build(source, "10"), &error);
  ASSERT_NE(nullptr, list) << error;
  EXPECT_EQ(4u, list->GetCount());
  PasswordChecker checker({list}, {"korvid"});
  const std::vector<ContextWord> context = {
      {"ALICE", "the user ID"}, {"HOSTA", "the destination's name"}};
  const struct {
    const char* password;
    Refusal refusal;
    const char* why;
  } cases[] = {
      {"PASSWORD", Refusal::kCommon, "the list of common passwords"},
      {"p@ssw0rd", Refusal::kCommon, "the list of common passwords"},
      {"MONKEY12", Refusal::kCommon, "the list of common passwords"},
      {"5UN5H1NE", Refusal::kCommon, "the list of common passwords"},
      {"Hunter2", Refusal::kCommon, "the list of common passwords"},
      {"HUNTER2", Refusal::kCommon, "the list of common passwords"},
      {"hunter2", Refusal::kCommon, "the list of common passwords"},
      {"ALICE1", Refusal::kContext, "the user ID"},
      {"1ECILA", Refusal::kContext, "the user ID"},
      {"X@L1CEZ", Refusal::kContext, "the user ID"},
      {"H0STA#9", Refusal::kContext, "the destination's name"},
      {"KORVID7", Refusal::kContext, "a word this site does not allow"},
      {"QWERTYUI", Refusal::kSequence, "a sequence of letters, digits or keys"},
      {"ABCDEF99", Refusal::kSequence, "a sequence of letters, digits or keys"},
      {"ZZZZZZZZ", Refusal::kSequence, "a run of one or two characters"},
      {"XK7QZ9W2", Refusal::kNone, ""},
      {"MONKEYZ", Refusal::kNone, ""},
      {"TR0UB4DO", Refusal::kNone, ""},  // its count was under 10
  };
  for (const auto& c : cases) {
    CheckResult result = checker.Check(c.password, context);
    EXPECT_EQ(c.refusal, result.refusal) << c.password;
    EXPECT_EQ(c.why, result.why) << c.password;
  }
}

TEST_F(BlocklistTest, RefusesAFileThatIsNotWholeWithAClearError) {
  Build("password\nmonkey\ndragon\n");
  const std::string good = Read("list.tbl");
  ASSERT_EQ(80u + 3 * 8, good.size());
  std::string wrongVersion = good;
  wrongVersion[8] = 2;
  std::string wrongChecksum = good;
  wrongChecksum[good.size() - 1] ^= 1;
  std::string wrongMagic = good;
  wrongMagic[0] = 'X';
  const struct {
    const char* what;
    std::string bytes;
    const char* error;
  } cases[] = {
      {"empty", "", "truncated header"},
      {"a header cut short", good.substr(0, 40), "truncated header"},
      {"an entry cut short", good.substr(0, good.size() - 3),
       "truncated or too long for its count of 3"},
      {"bytes after the entries", good + "x",
       "truncated or too long for its count of 3"},
      {"another version", wrongVersion, "version 2, this build reads 1"},
      {"a changed entry", wrongChecksum, "wrong checksum"},
      {"another file", wrongMagic, "not a password list"},
  };
  for (const auto& c : cases) {
    Write("bad.tbl", c.bytes);
    std::string error;
    EXPECT_EQ(nullptr, BlocklistFile::Open(Path("bad.tbl"), &error)) << c.what;
    EXPECT_EQ(Path("bad.tbl") + ": " + c.error, error) << c.what;
  }
  std::string error;
  EXPECT_EQ(nullptr, BlocklistFile::Open(Path("missing.tbl"), &error));
  EXPECT_EQ(Path("missing.tbl") + ": No such file or directory", error);
}

TEST_F(BlocklistTest, FindsEveryEntryOfALargeList) {
  std::vector<uint64_t> entries;
  for (int i = 0; i < 20000; ++i) entries.push_back(EntryOf(std::to_string(i)));
  std::string error;
  ASSERT_TRUE(WriteBlocklist(Path("large.tbl"), entries, 0, false, &error))
      << error;
  auto list = BlocklistFile::Open(Path("large.tbl"), &error);
  ASSERT_NE(nullptr, list) << error;
  int found = 0;
  int strays = 0;
  for (int i = 0; i < 20000; ++i) {
    found += list->Contains(EntryOf(std::to_string(i)));
    strays += list->Contains(EntryOf("x" + std::to_string(i)));
  }
  EXPECT_EQ(20000, found);
  EXPECT_EQ(0, strays);
  EXPECT_FALSE(list->Contains(0));
  EXPECT_FALSE(list->Contains(~uint64_t{0}));
}

}  // namespace
