// The option line's splitter and switch test, which the gateway uses to take
// the trace switch out of a request, against the engine's own reading of
// the same line: the words the engine runs and the switches it finds.
#include "engine/option_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "contract/secret.h"
#include "engine/argument.h"

namespace {

std::vector<std::string> Texts(const option_line::Words& words) {
  std::vector<std::string> texts;
  for (const Secret& word : words) texts.push_back(word.Text());
  return texts;
}

// Whether the engine's argument scanner finds the flag name among words.
bool EngineFindsFlag(std::vector<std::string> words, const char* name) {
  static char program[] = "tarpon";
  std::vector<char*> argv = {program};
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  unsigned int argc = static_cast<unsigned int>(argv.size() - 1);
  std::string key = std::string("-") + name;
  return Argument(&argc, argv.data(), key.c_str(), ARGUMENT_STYLE_FLAG,
                  ARGUMENT_KEEP) == 1;
}

TEST(OptionLineTest, SplitsAndFindsSwitchesAsTheEngineDoes) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
    bool ftrace;  // the engine would switch its trace on
  } cases[] = {
      {"", {}, false},
      {" \t\n\v\f\r ", {}, false},
      {" -u A\t-p  B\n-np\vC\f-s\rD ",
       {"-u", "A", "-p", "B", "-np", "C", "-s", "D"},
       false},
      {"-u A -ftrace", {"-u", "A", "-ftrace"}, true},
      {"/ftrace", {"/ftrace"}, true},
      {"-u\t-ftrace\t-v", {"-u", "-ftrace", "-v"}, true},
      {"-ftracex -FTRACE ftrace --ftrace -ftrac",
       {"-ftracex", "-FTRACE", "ftrace", "--ftrace", "-ftrac"},
       false},
  };
  for (const Case& c : cases) {
    option_line::Words words = option_line::Split(c.line);
    EXPECT_EQ(c.words, Texts(words)) << c.line;
    EXPECT_EQ(c.ftrace, EngineFindsFlag(Texts(words), "ftrace")) << c.line;
    option_line::RemoveSwitch(&words, "ftrace");
    EXPECT_FALSE(EngineFindsFlag(Texts(words), "ftrace")) << c.line;
    EXPECT_EQ(c.words.size() - (c.ftrace ? 1 : 0), words.size()) << c.line;
  }
}

TEST(OptionLineTest, BuildsTheRequestLine) {
  EXPECT_EQ(" -u U -p P -np N -s S -v",
            option_line::Request("U", "P", "N", "S", "-v"));
  EXPECT_EQ(" -u U -p P -np N -local",
            option_line::Request("U", "P", "N", "S", "-local"));
  EXPECT_EQ(" -u  -p  -np ",
            option_line::Request(nullptr, nullptr, nullptr, nullptr, nullptr));
}

}  // namespace

// A move takes a secret's bytes and leaves none in the source: a short text
// lives inside the object and is copied, so the source's own buffer is
// wiped, for a Secret and for a WipedString alike.
TEST(SecretTest, AMoveLeavesNoBytesInTheSource) {
  auto allZero = [](const char* bytes, size_t size) {
    return std::all_of(bytes, bytes + size, [](char c) { return c == 0; });
  };
  for (const std::string& text :
       {std::string("Pw0rd1"), std::string(100, 'x')}) {
    SCOPED_TRACE(text.size());
    Secret secret(text.data(), text.size());
    Secret taken(std::move(secret));
    EXPECT_EQ(text, taken.Text());
    EXPECT_TRUE(allZero(secret.Text().data(), secret.Text().capacity()));
    WipedString wiped(text.data(), text.size());
    WipedString moved(std::move(wiped));
    EXPECT_EQ(text, std::string(moved.data(), moved.size()));
    EXPECT_TRUE(allZero(wiped.data(), wiped.capacity()));
    WipedString assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(allZero(moved.data(), moved.capacity()));
  }
}
