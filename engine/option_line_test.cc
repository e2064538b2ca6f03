// The option line's splitter and switch test, which the gateway uses to take
// the trace switch out of a request, against the engine's own reading of
// the same line: the words the engine runs and the switches it finds.
#include "engine/option_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
