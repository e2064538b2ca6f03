#include "sna/password_request.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_node.h"

namespace {

using sna_test::Ebcdic;
using sna_test::Field;
using sna_test::Gds;

uint16_t Parse(const std::string& bytes, sna::PasswordRequest* request) {
  return sna::ParsePasswordRequest(
      reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
      request);
}

TEST(PasswordRequestTest, TakesTheFieldsInAnyOrder) {
  sna::PasswordRequest request;
  std::string fields = Field(6, Ebcdic("new#1")) + Field(1, Ebcdic("alice")) +
                       Field(2, Ebcdic("Secret1"));
  ASSERT_EQ(sna::kFormatOk, Parse(Gds(0xFF01, fields), &request));
  EXPECT_EQ(sna::kSignOnAndChange, request.request_id);
  EXPECT_EQ("alice", request.user);
  EXPECT_EQ("Secret1", request.current_password);
  EXPECT_EQ("new#1", request.new_password);
  EXPECT_TRUE(request.has_new_password);

  ASSERT_EQ(sna::kFormatOk,
            Parse(sna_test::SignOn("BOB", "PASSW0RD"), &request));
  EXPECT_EQ(sna::kSignOnOnly, request.request_id);
  EXPECT_FALSE(request.has_new_password);
}

TEST(PasswordRequestTest, FormattingErrorsFirstFaultWins) {
  const std::string user = Field(1, Ebcdic("ALICE"));
  const std::string old = Field(2, Ebcdic("SECRET1"));
  const std::string fresh = Field(6, Ebcdic("NEW1"));
  const std::string good = Gds(0xFF01, user + old + fresh);
  std::string long_total = good;
  long_total[1] = static_cast<char>(long_total[1] + 1);
  std::string bad_inner = good;
  bad_inner[5] = static_cast<char>(bad_inner[5] - 1);
  std::string past_end = Gds(0xFF01, user + old + fresh);
  past_end[past_end.size() - 6] = 0x09;  // the new password's length
  std::string bad_id_and_length = good;
  bad_id_and_length[2] = 0x13;
  bad_id_and_length[1] = 0x7F;
  std::string bad_gds = good;
  bad_gds[3] = 0x22;
  struct Case {
    const char* name;
    std::string bytes;
    uint16_t code;
  } cases[] = {
      {"empty", "", 0x0007},
      {"header cut short", good.substr(0, 7), 0x0007},
      {"total longer than received", long_total, 0x0007},
      {"received more than total", good + "X", 0x0007},
      {"inner length", bad_inner, 0x0007},
      {"subfield past the end", past_end, 0x0007},
      {"subfield length 1", Gds(0xFF01, user + old + fresh + "\x01"), 0x0007},
      {"length beats identifier", bad_id_and_length, 0x0007},
      {"GDS identifier", bad_gds, 0x0005},
      {"unknown subfield type", Gds(0xFF01, user + old + fresh + Field(3, "A")),
       0x0005},
      {"unknown type beats request id", Gds(0xFF02, user + Field(4, "")),
       0x0005},
      {"request identifier", Gds(0xFF02, user + old + fresh), 0x000F},
      {"subfield twice", Gds(0xFF01, user + old + fresh + old), 0x0003},
      {"twice beats not allowed", Gds(0xFF00, user + old + fresh + fresh),
       0x0003},
      {"new password with sign on only", Gds(0xFF00, user + old + fresh),
       0x0002},
      {"no user", Gds(0xFF01, old + fresh), 0x0001},
      {"no current password", Gds(0xFF00, user), 0x0001},
      {"no new password with change", Gds(0xFF01, user + old), 0x0001},
      {"missing beats empty", Gds(0xFF01, Field(1, "") + old), 0x0001},
      {"empty user", Gds(0xFF01, Field(1, "") + old + fresh), 0x0006},
      {"nine-byte password",
       Gds(0xFF01, user + Field(2, Ebcdic("123456789")) + fresh), 0x0006},
      {"empty new password", Gds(0xFF01, user + old + Field(6, "")), 0x0006},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sna::PasswordRequest request;
    EXPECT_EQ(c.code, Parse(c.bytes, &request));
  }
  sna::PasswordRequest request;
  EXPECT_EQ(sna::kFormatOk, Parse(good, &request));
}

TEST(PasswordRequestTest, RepliesHaveTheHostLayout) {
  unsigned char reply[sna::kMaxReplyLength];
  size_t length = sna::BuildPasswordReply(0x08, 0, reply);
  EXPECT_EQ("000B12210007FF02030008",
            sna_test::Hex(std::string(reinterpret_cast<char*>(reply), length)));
  length = sna::BuildPasswordReply(sna::kStatusFormatError, 0x000F, reply);
  EXPECT_EQ("000F1221000BFF020300060401000F",
            sna_test::Hex(std::string(reinterpret_cast<char*>(reply), length)));
}

}  // namespace
