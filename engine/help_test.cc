#include "engine/help.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "engine/ksv_request.h"
#include "tests/support/expected_texts.h"
#include "trace/trace.h"

namespace {

// Points a stream at a string for the life of the object.
class Capture {
 public:
  explicit Capture(std::ostream& stream)
      : stream_(stream), saved_(stream.rdbuf(text_.rdbuf())) {}
  ~Capture() { stream_.rdbuf(saved_); }
  std::string Text() const { return text_.str(); }

 private:
  std::ostream& stream_;
  std::ostringstream text_;
  std::streambuf* saved_;
};

using expected::kShortUsage;

TEST(ManPageTest, ShortUsageIsExact) {
  Capture out(std::cout);
  print_program_man_page(1);
  EXPECT_EQ(kShortUsage, out.Text());
}

TEST(ManPageTest, FullPageFollowsTheShortUsageWithEveryBlockInOrder) {
  Capture out(std::cout);
  print_program_man_page(0);
  std::string page = out.Text();
  ASSERT_EQ(0u, page.find(kShortUsage));
  const char* const pieces[] = {
      "-u  user ; mandatory\n",
      "-p  old_password\n",
      "-np new_password.\n",
      "    These values are obviously mandatory.  \n",
      "-s  KSV service_location_name \n",
      "-sd symbolic_destination_name \n",
      "    Optional field.    Information in this entry is used to :\n",
      "MUST be set to NONE",
      "x'06F3F0F1' (or x'06'301)",
      "-plu partner_lu_name \n",
      "NETWORKID.APPLID",
      "In most SNA implementations the ALIAS is case sensitive.",
      "-local \n",
      "    -lu, -m, -cpic.    Mutually exclusive with these parameters.\n \n",
      "-lu local_lu_alias\n    This option can usually be ignored.\n",
      "    Emulated SNA node appc : -lu lu_name         \n"
      "                      cpic : environment var APPCLLU \n",
      "Netvox",
      "-m  mode-name  \n    This option can usually be ignored.\n",
      "    This value is defaulted to \"#BATCH\"  \n"
      "    if no sym_dest is not used.\n"
      "-v  Produces diagnostic information, which may be piped to a file.\n",
      "    or Veltrix support personnel.\n",
      "\n-?  Print a command syntax summary to stdout.\n\n",
      "-comapi  Print the SNA product name \n",
      "\n-M  Print a full command syntax and usage to stdout.\n\n",
      "Usage notes: \n\n",
      " 3 - An installed and configured SNA product. \n",
      "Linkway",
      "\n   A footnote on the discussion of APPC vs CPIC api:\n",
  };
  size_t position = std::strlen(kShortUsage);
  EXPECT_EQ('\n', page[position]);  // the blocks start after an empty line
  for (const char* piece : pieces) {
    SCOPED_TRACE(piece);
    size_t found = page.find(piece, position);
    ASSERT_NE(std::string::npos, found);
    position = found + std::strlen(piece);
  }
  EXPECT_EQ('\n', page.back());
}

std::string Indent() { return std::string(55, ' '); }

// A block as it stands after a CPI-C or APPC conversation.
class PrintCcbTest : public ::testing::Test {
 protected:
  void FillSample(int16_t cpicUsed) {
    ccb_.verbose = 1;
    ccb_.cpicUsed = cpicUsed;
    ASSERT_EQ(0, ccb_.symbolicDestination.set("KSVSYM", 8));
    ASSERT_EQ(0, ccb_.partnerLuAlias.set("hosta", 8));
    ASSERT_EQ(0, ccb_.qualifiedPartnerLuName.set("NETA.KSVHOST", 17));
    ASSERT_EQ(0, ccb_.modeName.set("#BATCH", 8));
    std::memcpy(ccb_.user, "SEC2R01", 8);
    const unsigned char conversation[8] = {0x00, 0x01, 0x0a, 0xff,
                                           0x10, 0x20, 0x30, 0x40};
    std::memcpy(ccb_.cpicConversationId, conversation, 8);
    ccb_.appcConversationId = 0x0D0C0000;
    const unsigned char tp[8] = {0xde, 0xad, 0x00, 0x01,
                                 0x02, 0x03, 0x04, 0x05};
    std::memcpy(ccb_.appcTpId, tp, 8);
    uint32_t length = 0;
    ASSERT_EQ(0, build_request("SEC2R01", "DRTNNOM", "HURSLEY",
                               ccb_.requestBuffer, &length));
    ccb_.requestLength = static_cast<int32_t>(length);
    const unsigned char reply[11] = {0x00, 0x0B, 0x12, 0x21, 0x00, 0x07,
                                     0xFF, 0x02, 0x03, 0x00, 0x00};
    std::memcpy(ccb_.replyBuffer, reply, 11);
    ccb_.replyLength = 11;
    ccb_.cpicVersion[0] = 1;
    ccb_.cpicVersion[1] = 0;
    std::snprintf(ccb_.cpicDescription, sizeof ccb_.cpicDescription, "%s",
                  "Tarpon emulated SNA node 1.0");
  }
  std::string Dump() {
    Capture out(std::cout);
    print_CCB(&ccb_);
    return out.Text();
  }

  CCB ccb_;
};

TEST_F(PrintCcbTest, SampleBlockWithAndWithoutCpic) {
  struct Case {
    int16_t cpicUsed;
    const char* tpName;
  } cases[] = {{0, "06f3f0f1"}, {1, "00000000"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cpicUsed);
    FillSample(c.cpicUsed);
    std::string expected =
        std::string(
            "\n"
            "Symbolic destination name ............................ KSVSYM\n"
            "Local lu alias ....................................... \n"
            "Partner Lu alias ..................................... hosta\n"
            "Qualified partner lu name ............................ "
            "NETA.KSVHOST\n"
            "Mode name ............................................ #BATCH\n"
            "User ................................................. SEC2R01\n"
            "CPIC protocol used for this session? ................. ") +
        std::to_string(c.cpicUsed) +
        "\n"
        "CPIC conversation Id ................................. "
        "00010aff10203040\n"
        "APPC supported on this platform? ..................... 1\n"
        "APPC conversation ID ................................. 00000c0d\n"
        "APPC TPID ............................................ "
        "dead000102030405\n"
        "Remote TP name (EBCDIC) .............................. " +
        c.tpName +
        "\n"
        "Gds request data length (sent) ....................... 35\n"
        "Gds request buffer size .............................. 38\n"
        "Gds reply data length (received) ..................... 11\n"
        "Gds reply buffer size ................................ 15\n"
        "Gds request buffer in dump format .................... "
        "00 : 00231221 001FFF01 0901E2C5 C3F2D9F0\n" +
        Indent() + "10 : F10902C4 D9E3D5D5 D6D40906 C8E4D9E2\n" + Indent() +
        "20 : D3C5E800 0000\n"
        "Gds reply buffer in dump format ...................... "
        "00 : 000B1221 0007FF02 03000000 000000\n"
        "CPIC api version ..................................... v 1r 0\n"
        "CPIC api description ................................. "
        "Tarpon emulated SNA node 1.0\n"
        "\n";
    EXPECT_EQ(expected, Dump());
  }
}

TEST_F(PrintCcbTest, FreshBlockShowsItsInitialValuesAndZeroedBuffers) {
  EXPECT_EQ(1, ccb_.constructed);
  EXPECT_EQ(std::string("Korvid_KSV_client"), ccb_.localTpName.print());
  EXPECT_EQ(64u, ccb_.localTpName.getMaxLength());
  EXPECT_EQ(0, ccb_.modeName.isSet());
  ccb_.verbose = 1;
  std::string expected =
      "\n"
      "Symbolic destination name ............................ \n"
      "Local lu alias ....................................... \n"
      "Partner Lu alias ..................................... \n"
      "Qualified partner lu name ............................ \n"
      "Mode name ............................................ \n"
      "User ................................................. \n"
      "CPIC protocol used for this session? ................. 0\n"
      "CPIC conversation Id ................................. "
      "0000000000000000\n"
      "APPC supported on this platform? ..................... 1\n"
      "APPC conversation ID ................................. 00000000\n"
      "APPC TPID ............................................ "
      "0000000000000000\n"
      "Remote TP name (EBCDIC) .............................. 06f3f0f1\n"
      "Gds request data length (sent) ....................... 0\n"
      "Gds request buffer size .............................. 38\n"
      "Gds reply data length (received) ..................... 0\n"
      "Gds reply buffer size ................................ 15\n"
      "Gds request buffer in dump format .................... "
      "00 : 00000000 00000000 00000000 00000000\n" +
      Indent() + "10 : 00000000 00000000 00000000 00000000\n" + Indent() +
      "20 : 00000000 0000\n"
      "Gds reply buffer in dump format ...................... "
      "00 : 00000000 00000000 00000000 000000\n"
      "CPIC api version ..................................... v 0r 0\n"
      "CPIC api description ................................. \n"
      "\n";
  EXPECT_EQ(expected, Dump());
}

TEST_F(PrintCcbTest, NothingWithoutVerbose) {
  FillSample(0);
  ccb_.verbose = 0;
  EXPECT_EQ("", Dump());
}

TEST_F(PrintCcbTest, UnterminatedTextsStopAtTheirArrays) {
  FillSample(0);
  std::memset(ccb_.user, 'U', sizeof ccb_.user);
  std::memset(ccb_.cpicDescription, 'D', sizeof ccb_.cpicDescription);
  std::string dump = Dump();
  EXPECT_NE(std::string::npos, dump.find(" UUUUUUUUU\n"));
  EXPECT_NE(std::string::npos, dump.find(" " + std::string(128, 'D') + "\n"));
}

TEST(WriteLogRecordTest, HostIsLocalThenQualifiedNameThenAlias) {
  struct Case {
    const char* name;
    uint8_t localChange;
    const char* qualified;
    const char* alias;
    const char* expected;
  } cases[] = {
      {"local wins", 1, "NETA.KSVHOST", "hosta", "user(SEC2R01) @host(local) "},
      {"qualified over alias", 0, "NETA.KSVHOST", "hosta",
       "user(SEC2R01) @host(NETA.KSVHOST) "},
      {"alias alone", 0, nullptr, "hosta", "user(SEC2R01) @host(hosta) "},
      {"symbolic destination only", 0, nullptr, nullptr,
       "user(SEC2R01) @host() "},
      {"longest name", 0, "NETWORK1.APPLID12", nullptr,
       "user(SEC2R01) @host(NETWORK1.APPLID12) "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CCB ccb;
    ccb.logRequested = 1;
    ccb.localChange = c.localChange;
    std::memcpy(ccb.user, "SEC2R01", 8);
    ASSERT_EQ(0, ccb.symbolicDestination.set("KSVSYM", 8));
    if (c.qualified != nullptr) {
      ASSERT_EQ(0, ccb.qualifiedPartnerLuName.set(c.qualified, 17));
    }
    if (c.alias != nullptr) {
      ASSERT_EQ(0, ccb.partnerLuAlias.set(c.alias, 8));
    }
    Capture log(trace_log());
    Capture out(std::cout);
    write_log_record(&ccb);
    EXPECT_EQ(c.expected, log.Text());
    EXPECT_EQ("", out.Text());
  }
}

TEST(WriteLogRecordTest, NothingWithoutRequestOrBlock) {
  CCB ccb;
  std::memcpy(ccb.user, "SEC2R01", 8);
  Capture log(trace_log());
  write_log_record(&ccb);
  write_log_record(nullptr);
  EXPECT_EQ("", log.Text());
}

}  // namespace
