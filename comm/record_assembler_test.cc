// The record assembler against the framing rules of ReceiveRecord, fed
// whole and a byte at a time, with bytes of a next record behind each one
// that it must leave alone.
#include "comm/record_assembler.h"

#include <gtest/gtest.h>

#include <string>

#include "comm/record_format.h"
#include "tests/support/test_support.h"

namespace {

// A header with the user data "0042".
std::string Header(uint32_t recordLength, char type, char status = 0,
                   const char* version = "01.0") {
  std::string header =
      comm_test::RecordHeader(recordLength, type, version, status);
  if (type != 'S') header.replace(8, 4, "0042");
  return header;
}

struct Outcome {
  long result;
  uint32_t dataLength;
  bool endOfConnection;
  std::string data;
  size_t taken;
};

// Feeds bytes in pieces of at most step bytes until the record is done.
Outcome Assemble(const std::string& bytes, size_t step) {
  RecordAssembler assembler(8);
  size_t taken = 0;
  while (!assembler.IsDone() && taken < bytes.size()) {
    size_t piece = std::min(step, bytes.size() - taken);
    taken += assembler.Take(bytes.data() + taken, piece);
  }
  return {assembler.GetResult(), assembler.GetDataLength(),
          assembler.IsEndOfConnection(),
          assembler.IsDone() ? assembler.GetData() : "<not done>", taken};
}

TEST(RecordAssemblerTest, AppliesTheFramingRules) {
  const std::string next = "NEXT RECORD";
  struct Case {
    const char* name;
    std::string record;
    long result;
    uint32_t dataLength;
    bool endOfConnection;
    const char* data;
  };
  const Case cases[] = {
      {"data record", Header(44 + 5, 'D') + "-u ab", 0, 5, false, "-u ab"},
      {"data at the limit", Header(44 + 8, 'D') + "12345678", 0, 8, false,
       "12345678"},
      {"data record without data", Header(44, 'D'), 0, 0, false, ""},
      {"one byte too many", Header(44 + 9, 'D'), 12, 9, false, ""},
      {"record length below 44", Header(43, 'D'), 12, 0, false, ""},
      {"bad version", Header(50, 'D', 0, "01.1"), 8, 0, false, ""},
      {"unknown type", Header(50, 'E'), 8, 0, false, ""},
      {"status 0", Header(44, 'S', 0), 0, 0, true, ""},
      {"other status", Header(44, 'S', 5), 8, 0, false, ""},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{1}, size_t{1000}}) {
      SCOPED_TRACE(std::string(c.name) + ", step " + std::to_string(step));
      Outcome outcome = Assemble(c.record + next, step);
      EXPECT_EQ(c.result, outcome.result);
      EXPECT_EQ(c.dataLength, outcome.dataLength);
      EXPECT_EQ(c.endOfConnection, outcome.endOfConnection);
      EXPECT_EQ(c.data, outcome.data);
      // A refused record's data stay unread, as with ReceiveRecord.
      EXPECT_EQ(c.result == 0 ? c.record.size() : 44, outcome.taken);
    }
  }
}

TEST(RecordAssemblerTest, BuildsWhatItAssembles) {
  char userData[record_format::kUserDataLength] = "2002";
  std::string record =
      record_format::EncodeDataRecord(userData, "reply text", 10);
  RecordAssembler assembler(100);
  size_t taken = assembler.Take(record.data(), record.size());
  EXPECT_EQ(44u, taken);
  EXPECT_EQ(10u, assembler.Take(record.data() + taken, 100));
  EXPECT_TRUE(assembler.IsDone());
  EXPECT_STREQ("reply text", assembler.GetData());
  EXPECT_STREQ("2002", assembler.GetUserData());
  EXPECT_EQ("", record_format::EncodeDataRecord(userData, "", 0));
}

}  // namespace
