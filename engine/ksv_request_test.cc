#include "engine/ksv_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "trace/program_output.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Builds into a buffer of exactly the request buffer's size, so that the
// sanitizer build catches any write past it.
class BuildRequestTest : public ::testing::Test {
 protected:
  BuildRequestTest() : buffer_(new unsigned char[GDS_REQUEST_BUFFER_SIZE]) {
    std::memset(buffer_.get(), 0xAA, GDS_REQUEST_BUFFER_SIZE);
  }
  int Build(const char* user, const char* oldPassword,
            const char* newPassword) {
    return build_request(user, oldPassword, newPassword, buffer_.get(),
                         &length_);
  }
  Bytes Buffer(size_t count) const {
    return Bytes(buffer_.get(), buffer_.get() + count);
  }

  std::unique_ptr<unsigned char[]> buffer_;
  uint32_t length_ = 0xFFFF;
};

TEST_F(BuildRequestTest, GoldenRequest) {
  ASSERT_EQ(0, Build("SEC2R01", "DRTNNOM", "HURSLEY"));
  const Bytes expected = {0x00, 0x23, 0x12, 0x21, 0x00, 0x1F, 0xFF, 0x01, 0x09,
                          0x01, 0xE2, 0xC5, 0xC3, 0xF2, 0xD9, 0xF0, 0xF1, 0x09,
                          0x02, 0xC4, 0xD9, 0xE3, 0xD5, 0xD5, 0xD6, 0xD4, 0x09,
                          0x06, 0xC8, 0xE4, 0xD9, 0xE2, 0xD3, 0xC5, 0xE8};
  EXPECT_EQ(35u, length_);
  EXPECT_EQ(expected, Buffer(35));
  // Nothing is written past the request.
  EXPECT_EQ(Bytes(3, 0xAA), Bytes(buffer_.get() + 35, buffer_.get() + 38));
}

TEST_F(BuildRequestTest, LongestRequestFillsTheBuffer) {
  ASSERT_EQ(0, Build("ABCDEFGH", "12345678", "NEWPASS1"));
  EXPECT_EQ(38u, length_);
  const Bytes expected = {0x00, 0x26, 0x12, 0x21, 0x00, 0x22, 0xFF, 0x01,
                          0x0A, 0x01, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6,
                          0xC7, 0xC8, 0x0A, 0x02, 0xF1, 0xF2, 0xF3, 0xF4,
                          0xF5, 0xF6, 0xF7, 0xF8, 0x0A, 0x06, 0xD5, 0xC5,
                          0xE6, 0xD7, 0xC1, 0xE2, 0xE2, 0xF1};
  EXPECT_EQ(expected, Buffer(38));
}

TEST_F(BuildRequestTest, EmptyValuesGiveTwoByteSubfields) {
  ASSERT_EQ(0, Build("", "", ""));
  EXPECT_EQ(14u, length_);
  const Bytes expected = {0x00, 0x0E, 0x12, 0x21, 0x00, 0x0A, 0xFF,
                          0x01, 0x02, 0x01, 0x02, 0x02, 0x02, 0x06};
  EXPECT_EQ(expected, Buffer(14));
}

TEST_F(BuildRequestTest, LengthsFollowEachValueAndCaseIsKept) {
  ASSERT_EQ(0, Build("user", "secret", "Passw0r"));
  EXPECT_EQ(31u, length_);
  const Bytes expected = {0x00, 0x1F, 0x12, 0x21, 0x00, 0x1B, 0xFF, 0x01,
                          0x06, 0x01, 0xA4, 0xA2, 0x85, 0x99, 0x08, 0x02,
                          0xA2, 0x85, 0x83, 0x99, 0x85, 0xA3, 0x09, 0x06,
                          0xD7, 0x81, 0xA2, 0xA2, 0xA6, 0xF0, 0x99};
  EXPECT_EQ(expected, Buffer(31));
}

TEST_F(BuildRequestTest, ValueLongerThanEightIsRefusedUntouched) {
  OutputCapture out;
  EXPECT_EQ(14, Build("SEC2R01", "DRTNNOM", "TOOLONGPW"));
  EXPECT_EQ(0u, length_);
  EXPECT_EQ(Bytes(38, 0xAA), Buffer(38));
  EXPECT_EQ(
      "ERROR 32. Korvid Common Server KSV client version 02.00\n"
      "Error reported from .................. build_request()\n"
      "Api .................................. strlen()\n",
      out.Text());
}

// A control block whose reply buffer holds the given bytes.
class ProcessReplyTest : public ::testing::Test {
 protected:
  int Process(const Bytes& reply, int32_t replyLength) {
    std::memset(ccb_.replyBuffer, 0, GDS_REPLY_BUFFER_SIZE);
    std::memcpy(ccb_.replyBuffer, reply.data(),
                std::min<size_t>(reply.size(), GDS_REPLY_BUFFER_SIZE));
    ccb_.replyLength = replyLength;
    OutputCapture out;
    int rc = process_reply(&ccb_);
    text_ = out.Text();
    return rc;
  }

  CCB ccb_;
  std::string text_;
};

const char kGarbled[] =
    "ERROR 54. Korvid Common Server KSV client version 02.00\n"
    "Veltrix Korvid Common Server\n"
    "Keysaver utility completed:Severe internal error detected.\n"
    "(Reply from host service TP garbled).\n"
    "Try again, but if problem persist please contact your product support "
    "personnel.\n";

std::string HostStatusText(const char* code, const char* text) {
  return std::string(
             "ERROR 55. Korvid Common Server KSV client version 02.00\n"
             "Veltrix Korvid Common Server\n"
             "Keysaver utility completed:\n"
             "Status code .................... ") +
         code + "\nStatus code text ............... " + text + "\n";
}

Bytes Reply(unsigned char status) {
  return {0x00, 0x0B, 0x12, 0x21, 0x00, 0x07, 0xFF, 0x02, 0x03, 0x00, status};
}

TEST_F(ProcessReplyTest, HostStatusesBecomeReturnCodes) {
  struct Case {
    unsigned char status;
    int rc;
    std::string text;
  } cases[] = {
      {0x00, 0, "Password changed successfully.\n"},
      {0x08, 0, "Password changed successfully.\n"},
      {0x01, 2001, HostStatusText("01", "SIGNON/CHANGE FAILED BAD USER")},
      {0x02, 2002, HostStatusText("02", "SIGNON/CHANGE FAILED BAD PASSWORD")},
      {0x03, 2003,
       HostStatusText("03", "SIGNON/CHANGE FAILED PASSWORD EXPIRED")},
      {0x04, 2004,
       HostStatusText("04",
                      "SIGNON/CHANGE FAILED NEW PASSWORD NOT ACCEPTABLE "
                      "TO Hostex ESM")},
      {0x05, 2005,
       HostStatusText("05",
                      "SIGNON/CHANGE FAILED PERSISTENT SIGNON NOT "
                      "ALLOWED BY LU")},
      {0x07, 2007,
       HostStatusText("07", "SIGNON/CHANGE FAILED GENERAL SECURITY FAILURE")},
      {0x09, 2009, HostStatusText("09", "--- text not available ---")},
      {0xFF, 2255, HostStatusText("FF", "--- text not available ---")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status));
    EXPECT_EQ(c.rc, Process(Reply(c.status), 11));
    EXPECT_EQ(c.text, text_);
  }
}

TEST_F(ProcessReplyTest, FormatErrorShowsItsCode) {
  Bytes reply = {0x00, 0x0F, 0x12, 0x21, 0x00, 0x0B, 0xFF, 0x02,
                 0x03, 0x00, 0x06, 0x04, 0x01, 0x00, 0x2A};
  EXPECT_EQ(1020, Process(reply, 15));
  EXPECT_EQ(
      "ERROR 53. Korvid Common Server KSV client version 02.00\n"
      "Veltrix Korvid Common Server\n"
      "Keysaver utility completed\n"
      "Severe internal error detected.\n"
      "(Request message constructed with format error and rejected by host "
      "service TP).\n"
      "Please contact your product support personnel.\n"
      "Formatting error code .......... 002A\n",
      text_);
}

TEST_F(ProcessReplyTest, UnusableRepliesAreGarbled) {
  const Bytes formatError = {0x00, 0x0F, 0x12, 0x21, 0x00, 0x0B, 0xFF, 0x02,
                             0x03, 0x00, 0x06, 0x04, 0x01, 0x00, 0x2A};
  Bytes echoed = Reply(0x00);
  echoed[7] = 0x01;
  Bytes wrongId = Reply(0x00);
  wrongId[3] = 0x22;
  struct Case {
    const char* name;
    Bytes reply;
    int32_t length;
  } cases[] = {
      {"nothing received", Reply(0x00), 0},
      {"negative count", Reply(0x00), -1},
      {"echoed request", echoed, 11},
      {"wrong GDS id", wrongId, 11},
      {"no status byte", Reply(0x00), 10},
      {"only the header", Reply(0x00), 8},
      {"format error without its code", formatError, 13},
      {"count beyond the buffer", Reply(0x00), 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(1024, Process(c.reply, c.length));
    EXPECT_EQ(kGarbled, text_);
  }
}

TEST_F(ProcessReplyTest, LongerReplyWithGoodStatusSucceeds) {
  Bytes reply = Reply(0x00);
  reply.resize(15, 0x00);
  EXPECT_EQ(0, Process(reply, 15));
  EXPECT_EQ("Password changed successfully.\n", text_);
}

}  // namespace
