#include "engine/argument.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "trace/trace.h"

namespace {

// An argument vector whose entry 0 is the program name, and a value buffer of
// exactly size + 1 bytes so that the sanitizer build catches any write past
// it.
class ArgumentScan {
 public:
  explicit ArgumentScan(std::vector<std::string> args)
      : storage_(std::move(args)) {
    storage_.insert(storage_.begin(), "prog");
    for (std::string& s : storage_) argv_.push_back(&s[0]);
    argv_.push_back(nullptr);
    argc_ = static_cast<unsigned int>(storage_.size());
  }

  int Run(const char* key, uint8_t style, uint8_t removal, unsigned int size) {
    buffer_.assign(size + 1, '\0');
    int rc = Argument(&argc_, argv_.data(), key, style, removal, buffer_.data(),
                      size);
    value_.assign(buffer_.data(), strnlen(buffer_.data(), buffer_.size()));
    return rc;
  }

  // The entries after the program name, joined by single blanks.
  std::string Rest() const {
    std::string rest;
    for (unsigned int i = 1; i < argc_; ++i) {
      if (i > 1) rest += " ";
      rest += argv_[i];
    }
    return rest;
  }

  const std::string& value() const { return value_; }
  unsigned int* argc() { return &argc_; }
  char** argv() { return argv_.data(); }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> argv_;
  unsigned int argc_;
  std::vector<char> buffer_;
  std::string value_;
};

// args holds the entries after the program name, separated by blanks.
struct ScanCase {
  const char* args;
  const char* key;
  uint8_t style;
  uint8_t removal;
  unsigned int size;
  int rc;
  const char* value;
  const char* rest;
};

std::vector<std::string> Split(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

constexpr uint8_t kAttached = ARGUMENT_STYLE_ATTACHED;
constexpr uint8_t kSeparate = ARGUMENT_STYLE_SEPARATE;
constexpr uint8_t kEither = ARGUMENT_STYLE_EITHER;
constexpr uint8_t kBoolean = ARGUMENT_STYLE_BOOLEAN;
constexpr uint8_t kPositional = ARGUMENT_STYLE_POSITIONAL;
constexpr uint8_t kFirst = ARGUMENT_STYLE_FIRST_POSITIONAL;
constexpr uint8_t kDel = ARGUMENT_DELETE;
constexpr uint8_t kKeep = ARGUMENT_KEEP;

TEST(ArgumentTest, ScansAsEachStyleRequires) {
  const ScanCase cases[] = {
      // A separate value needs an exact switch; attached ones a prefix.
      {"-sd x", "-s", kSeparate, kDel, 8, 4, "", "-sd x"},
      {"-sd", "-s", kAttached, kDel, 8, 0, "d", ""},
      {"-sd x", "-s", kEither, kDel, 8, 0, "d", "x"},
      {"-s val", "-s", kEither, kDel, 8, 0, "val", ""},
      // A too long attached value goes on as a separate one.
      {"-sabc v", "-s", kEither, kDel, 2, 0, "v", ""},
      {"-s", "-s", kAttached, kKeep, 8, 8, "", "-s"},
      // A separate value must exist and must not look like a switch.
      {"-u", "-u", kSeparate, kDel, 8, 8, "", "-u"},
      {"-u -p", "-u", kSeparate, kDel, 8, 8, "", "-u -p"},
      {"-u /p", "-u", kSeparate, kDel, 8, 8, "", "-u /p"},
      {"a -u NAME b", "-u", kSeparate, kDel, 8, 0, "NAME", "a b"},
      {"-u NAME", "-u", kSeparate, kKeep, 8, 0, "NAME", "-u NAME"},
      {"-u NAME", "/u", kSeparate, kDel, 8, 0, "NAME", ""},
      {"-U x", "-u", kSeparate, kDel, 8, 4, "", "-U x"},
      // size is the longest value accepted.
      {"-u nnnnnnnnn", "-u", kSeparate, kDel, 8, 20, "", "-u nnnnnnnnn"},
      {"-u eeeeeeee", "-u", kSeparate, kDel, 8, 0, "eeeeeeee", ""},
      // The first success wins; a later success replaces a failure, and the
      // last failure remains when nothing succeeds.
      {"-u A -u B", "-u", kSeparate, kDel, 8, 0, "A", "-u B"},
      {"-u -p x -u N", "-u", kSeparate, kDel, 8, 0, "N", "-u -p x"},
      {"-u -u nnnnnnnnn", "-u", kSeparate, kDel, 8, 20, "", "-u -u nnnnnnnnn"},
      {"-b", "-b", kBoolean, kDel, 1, 0, "1", ""},
      {"-bx", "-b", kBoolean, kDel, 1, 4, "0", "-bx"},
      {"-x", "-x", 9, kDel, 8, 12, "", "-x"},
      {"-y", "-x", 0, kDel, 8, 4, "", "-y"},
      // Positions count positional entries only.
      {"a", "0", kPositional, kDel, 8, 16, "", "a"},
      {"a b", "4", kPositional, kDel, 8, 16, "", "a b"},
      {"-x a b", "2", kPositional, kDel, 8, 0, "b", "-x a"},
      {"a -x", "2", kPositional, kDel, 8, 4, "", "a -x"},
      {"abc", "1", kPositional, kDel, 2, 20, "", "abc"},
      // The first positional entry that fits, with its blank; a refused one
      // stays in place and is examined once.
      {"-x one two", "1", kFirst, kKeep, 8, 0, "one ", "-x one two"},
      {"-x one two", "1", kFirst, kDel, 8, 0, "one ", "-x two"},
      {"four", "1", kFirst, kKeep, 4, 20, "", "four"},
      {"toolong ok", "1", kFirst, kKeep, 4, 0, "ok ", "toolong ok"},
      {"toolong ok", "1", kFirst, kDel, 4, 0, "ok ", "toolong"},
      {"-x /y", "1", kFirst, kDel, 8, 4, "", "-x /y"},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(std::string(c.args) + " key " + c.key + " style " +
                 std::to_string(c.style));
    ArgumentScan scan(Split(c.args));
    EXPECT_EQ(c.rc, scan.Run(c.key, c.style, c.removal, c.size));
    EXPECT_EQ(c.value, scan.value());
    EXPECT_EQ(c.rest, scan.Rest());
  }
}

TEST(ArgumentTest, FlagReportsPresenceOnly) {
  struct {
    const char* args;
    uint8_t removal;
    int result;
    const char* rest;
  } cases[] = {
      {"/v", kDel, 1, ""},   {"-v x", kKeep, 1, "-v x"},
      {"-V", kDel, 0, "-V"}, {"-verbose", kDel, 0, "-verbose"},
      {"", kDel, 0, ""},
  };
  for (auto& c : cases) {
    ArgumentScan scan(Split(c.args));
    EXPECT_EQ(c.result, Argument(scan.argc(), scan.argv(), "-v",
                                 ARGUMENT_STYLE_FLAG, c.removal));
    EXPECT_EQ(c.rest, scan.Rest());
  }
}

TEST(ArgumentTest, NeverExaminesTheProgramName) {
  ArgumentScan scan({});
  scan.argv()[0] = const_cast<char*>("-v");
  EXPECT_EQ(0, Argument(scan.argc(), scan.argv(), "-v", ARGUMENT_STYLE_FLAG,
                        ARGUMENT_DELETE));
  EXPECT_EQ(1u, *scan.argc());
}

// The work area holds an entry, its blank and the NUL: 2048 bytes in all,
// whatever size the caller claims.
TEST(ArgumentTest, FirstPositionalIsBoundedByItsWorkArea) {
  const std::string fits(2046, 'f');
  const std::string too_long(2047, 't');
  ArgumentScan accepted({fits});
  EXPECT_EQ(0, accepted.Run("1", kFirst, kDel, 4000));
  EXPECT_EQ(fits + " ", accepted.value());
  EXPECT_EQ("", accepted.Rest());

  ArgumentScan refused({too_long, std::string(5000, 'x')});
  EXPECT_EQ(20, refused.Run("1", kFirst, kDel, 8000));
  EXPECT_EQ(3u, *refused.argc());
}

TEST(ArgumentTest, DeleteMovesLaterEntriesDown) {
  ArgumentScan scan({"a", "b", "c"});
  ArgumentDelete(scan.argc(), scan.argv(), 2);
  EXPECT_EQ("a c", scan.Rest());
  ArgumentDelete(scan.argc(), scan.argv(), 2);
  EXPECT_EQ("a", scan.Rest());
  ArgumentDelete(scan.argc(), scan.argv(), 5);  // beyond the count: no change
  EXPECT_EQ("a", scan.Rest());
  EXPECT_EQ(2u, *scan.argc());
}

TEST(ArgumentTest, ReturnCodeTexts) {
  const std::pair<int, const char*> cases[] = {
      {0, "ARGUMENT_RC_OK"},
      {4, "ARGUMENT_RC_NOT_FOUND"},
      {8, "ARGUMENT_RC_NO_VALUE"},
      {12, "ARGUMENT_RC_INVALID_STYLE"},
      {16, "ARGUMENT_RC_POSITIONAL_OUT_OF_RANGE"},
      {20, "ARGUMENT_RC_BUFFER_OVERFLOW"},
      {3, "--- text not available ---"},
      {-1, "--- text not available ---"},
      {24, "--- text not available ---"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(c.second, ArgumentGetReturnCodeText(c.first)) << c.first;
  }
}

TEST(ArgumentTest, TraceShowsTheResult) {
  std::ostringstream log;
  std::streambuf* saved = trace_log().rdbuf(log.rdbuf());
  uint8_t saved_flags = set_trace_flags(TRACE_ON);
  ArgumentScan scan({"-u"});
  scan.Run("-u", kSeparate, kDel, 8);
  set_trace_flags(saved_flags);
  trace_log().rdbuf(saved);
  EXPECT_EQ("Argument() called\nArgument() returned 8\n", log.str());
}

}  // namespace
