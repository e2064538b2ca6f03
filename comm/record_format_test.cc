// The return code in a reply's user data: what the gateway writes, what
// the clients read back, and what they refuse.
#include "comm/record_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The user data field as it arrives: text, then zero bytes to the end.
std::string Field(const std::string& text) {
  std::string field(record_format::kUserDataLength, '\0');
  field.replace(0, std::min(text.size(), field.size()), text);
  return field;
}

TEST(ReturnCodeTest, DecodesDigitsAndRefusesTheRest) {
  struct Case {
    std::string field;
    bool decoded;
    int code;
    const char* text;
  } cases[] = {
      {Field("0000"), true, 0, "0000"},
      {Field("0012"), true, 12, "0012"},
      {Field("999999999"), true, 999999999, "999999999"},
      // Past nine digits the value saturates instead of wrapping or
      // stopping part way.
      {Field("1000000000"), true, 999999999, "1000000000"},
      {Field("0000000000001"), true, 1, "0000000000001"},
      {std::string(16, '9'), true, 999999999, "9999999999999999"},
      {Field(""), false, 0, ""},
      {Field("12a"), false, 0, ""},
      {Field("-001"), false, 0, ""},
      {Field(" 12"), false, 0, ""},
  };
  for (const Case& c : cases) {
    int code = -1;
    std::string text;
    EXPECT_EQ(c.decoded,
              record_format::DecodeReturnCode(c.field.data(), &code, &text))
        << c.field;
    if (!c.decoded) continue;
    EXPECT_EQ(c.code, code) << c.field;
    EXPECT_EQ(c.text, text) << c.field;
  }
}

TEST(ReturnCodeTest, EncodesAtLeastFourDigitsThenZeros) {
  for (int code : {0, 12, 9999, 12345, 999999999}) {
    char field[record_format::kUserDataLength];
    std::memset(field, 'x', sizeof field);
    record_format::EncodeReturnCode(code, field);
    char expected[32];
    std::snprintf(expected, sizeof expected, "%04d", code);
    EXPECT_EQ(Field(expected), std::string(field, sizeof field));
    int decoded = -1;
    EXPECT_TRUE(record_format::DecodeReturnCode(field, &decoded));
    EXPECT_EQ(code, decoded);
  }
}

}  // namespace
