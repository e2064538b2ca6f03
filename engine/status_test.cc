#include "engine/status.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "tests/support/expected_texts.h"

namespace {

using expected::ErrorPrefix;

// Captures standard output for one test.
class StatusTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = std::cout.rdbuf(out_.rdbuf()); }
  void TearDown() override { std::cout.rdbuf(saved_); }

  // Reports and returns what was written.
  template <typename... Values>
  std::string Report(const char* caller, const char* subject, uint8_t type,
                     Values... values) {
    out_.str("");
    report_status(caller, subject, type, values...);
    return out_.str();
  }

  // Formats straight into a buffer, as report_status does.
  static void Build(char* buffer, const char* caller, const char* subject,
                    uint8_t type, ...) {
    va_list values;
    va_start(values, type);
    build_status_string(buffer, caller, subject, type, values);
    va_end(values);
  }

  std::ostringstream out_;
  std::streambuf* saved_ = nullptr;
};

TEST_F(StatusTest, InformationTexts) {
  EXPECT_EQ(
      "\nINFORMATION 0.\n\n"
      "You are experiencing one of two possible\n"
      "error situations:\n\n"
      "1 - If NET.HOSTLU is exactly the same as the lu name \n"
      "    you entered in the side information\n"
      "    profile SYMD, then you are using\n"
      "    an invalid value. Please contact you\n"
      "    network/system administrator for\n"
      "     a valid value and correct SYMD.\n\n"
      "2 - If NET.HOSTLU is not exactly the same as the value \n"
      "    in the side information \n"
      "    profile SYMD, then please contact\n"
      "    your network/system \n"
      "    administrator. Run the command\n"
      "    again and include the \"-v\" option \n"
      "    to get more information for your\n"
      "    administator to work with, and pipe \n"
      "    the output to a file.\n\n"
      "You can easily work around the\n"
      "second problem for now, by either:\n\n"
      "a - adding \"-plu qualified_partner_lu_name\"\n"
      "    to the command you used. This will \n"
      "    force the value to be what you originally\n"
      "    specified in the symbolic destination SYMD.\n\n"
      "b - changing the side information profile SYMD \n"
      "    to name an alias for the partner lu instead.\n",
      Report("connect()", "cmallc()", STATUS_INFO_PARTNER_LU, "SYMD",
             "NET.HOSTLU"));
  EXPECT_EQ(expected::kInfoTpNotRecognized,
            Report("", "", STATUS_INFO_TP_NOT_RECOGNIZED));
  EXPECT_EQ(expected::kProductInfo, Report("", "", STATUS_INFO_SNA_PRODUCT,
                                           "Tarpon emulated SNA node"));
}

TEST_F(StatusTest, CpicCallTexts) {
  EXPECT_EQ(ErrorPrefix(3) +
                "Api .................................. cminit()\n"
                "Symbolic destination name ............ SYMD\n"
                "Return code .......................... 0 (0)\n"
                "Return code text ..................... CM_OK  \n",
            Report("c", "cminit()", STATUS_CPIC_CMINIT, "SYMD", 0));
  for (int type = STATUS_CPIC_CMALLC; type <= STATUS_CPIC_CMRCV; ++type) {
    EXPECT_EQ(ErrorPrefix(type) +
                  "Api .................................. cmallc()\n"
                  "Return code .......................... 20 (0x14)\n"
                  "Return code text ..................... "
                  "CM_PRODUCT_SPECIFIC_ERROR  \n",
              Report("c", "cmallc()", type, 20));
  }
  EXPECT_EQ(ErrorPrefix(19) +
                "Api .................................. cmrcv()\n"
                "Return code .......................... 4 (0x4)\n"
                "Return code text ..................... --- text not "
                "available ---\n",
            Report("c", "cmrcv()", STATUS_CPIC_CMRCV, 4));
}

TEST_F(StatusTest, AppcVerbTextsPrintArchitectedCodes) {
  const uint8_t types[] = {STATUS_APPC_TP_STARTED, STATUS_APPC_ALLOCATE,
                           STATUS_APPC_SEND_DATA, STATUS_APPC_RECEIVE_AND_WAIT,
                           STATUS_APPC_TP_ENDED};
  for (uint8_t type : types) {
    EXPECT_EQ(ErrorPrefix(type) +
                  "Api .................................. APPC(ALLOCATE)\n"
                  "Primary APPC return code ............. 0003\n"
                  "Return code text ..................... "
                  "AP_ALLOCATION_ERROR\n"
                  "Secondary APPC return code ........... 10086021\n"
                  "Return code text ..................... "
                  "AP_TP_NAME_NOT_RECOGNIZED\n",
              Report("c", "APPC(ALLOCATE)", type, 0x0300u, 0x21600810u));
  }
  EXPECT_EQ(ErrorPrefix(31) +
                "Api .................................. APPC(TP_ENDED)\n"
                "Primary APPC return code ............. 0000\n"
                "Return code text ..................... --- text not "
                "available ---\n"
                "Secondary APPC return code ........... 00000000\n"
                "Return code text ..................... --- text not "
                "available ---\n",
            Report("c", "APPC(TP_ENDED)", STATUS_APPC_TP_ENDED, 0u, 0u));
}

TEST_F(StatusTest, OptionTexts) {
  EXPECT_EQ(ErrorPrefix(32) +
                "Error reported from .................. set_value()\n"
                "Api .................................. malloc()\n",
            Report("set_value()", "malloc()", STATUS_ERROR_REPORTED));
  EXPECT_EQ(ErrorPrefix(33) +
                "Api .................................. ACSSVC( "
                "ASCII_TO_EBCDIC )\n"
                "Return code .......................... 3 \n",
            Report("c", "ACSSVC( ASCII_TO_EBCDIC )", STATUS_SERVICE_VERB, 3));
  EXPECT_EQ(ErrorPrefix(34) +
                "Unknown / conflicting / invalid \n"
                "option on command line ............. -zz extra \n",
            Report("c", "", STATUS_BAD_OPTION, "-zz extra "));
  EXPECT_EQ(ErrorPrefix(35) + "Required parameter missing ........... -u\n",
            Report("c", "", STATUS_MISSING_PARAMETER, "-u"));
  EXPECT_EQ(ErrorPrefix(36) +
                "Required parameter missing ........... -sd\n"
                "A Side Information profile is mandatory for this version\n"
                "of the utility program (only the CPIC API is active in the \n"
                "implementation of the utility). Please name a valid profile\n"
                "on one of the identified missing options.\n",
            Report("c", "", STATUS_MISSING_SIDE_INFO, "-sd"));
  EXPECT_EQ(ErrorPrefix(37) +
                "Bad program input. Check option ...... -u\n"
                "Return code .......................... 8\n"
                "Return code text ..................... ARGUMENT_RC_NO_VALUE\n",
            Report("c", "Argument()", STATUS_BAD_PROGRAM_INPUT, "-u", 8));
  EXPECT_EQ(
      ErrorPrefix(38) + "Mutually exclusive parameters ........ -sd -plu\n",
      Report("c", "", STATUS_MUTUALLY_EXCLUSIVE, "-sd -plu"));
  EXPECT_EQ(
      ErrorPrefix(44) +
          "No terminal attached, prompting disabled for options \n"
          "-p and -np. These options must be specified as input to the "
          "program.\n"
          "The tarpon service is either running\n"
          "on a server remote from your workstation, or in the background \n"
          "without a terminal. \n",
      Report("c", "", STATUS_NO_TERMINAL, "-p", "-np"));
  EXPECT_EQ(ErrorPrefix(50) +
                "Unfortunately, there is no password prompt mechanism in this\n"
                "utility on your platform.\n"
                "Please rerun the program, specifying the old_password and "
                "new_password \n"
                "fields with the -p and -np switches (or /p and /np)\n",
            Report("c", "", STATUS_NO_PASSWORD_PROMPT));
}

TEST_F(StatusTest, ServerOptionTexts) {
  // Type 39 ends without a line end: what follows continues the line.
  EXPECT_EQ(
      ErrorPrefix(39) +
          "The server option has been interpreted to be a symbolic "
          "destination name,\n"
          "and is mutually exclusive with the symdest option used for that "
          "value.\n"
          "If you meant the server option to be a partner lu name, you have "
          "misspelled\n"
          "it, or there is a collision in the name spaces (you have a symdest "
          "name\n"
          "by the same name as a partner lu alias name). Either correct the \n"
          "spelling or use the explicit options.",
      Report("c", "", STATUS_SERVER_IS_SYMDEST));
  EXPECT_EQ(
      ErrorPrefix(40) +
          "The server option has been interpreted to be a partner lu name,\n"
          "and is mutually exclusive with the explicit option used for that "
          "value.\n"
          "If you meant the server option to be interpreted as a symbolic \n"
          "destination name, then you have either \n"
          "misspelled it or the SNA communications server servicing tarpon\n"
          "has not been started, causing a misinterpretation (rerun using "
          "explicit .\n"
          "symdest option to test for this case).\n"
          "If you did mean to specify partner lu use the server option.\n"
          "or the plu option, but not both.\n",
      Report("c", "", STATUS_SERVER_IS_PLU));
  EXPECT_EQ(ErrorPrefix(41) +
                "The server option parameter has been interpreted to be a plu "
                "\nrepresenting a partner lu alias. However the value is too "
                "large for that\nfield type. Please reenter.\n",
            Report("c", "", STATUS_SERVER_PLU_ALIAS_TOO_LONG));
  EXPECT_EQ(ErrorPrefix(42) +
                "The server option parameter has been interpreted to be a plu "
                "\nrepresenting a qualified partner lu. However the value is "
                "too large for that\nfield type. Please reenter.\n",
            Report("c", "", STATUS_SERVER_QUALIFIED_PLU_TOO_LONG));
  EXPECT_EQ(ErrorPrefix(43) +
                "The plu option parameter contains no \".\" and has been "
                "interpreted to be\na partner lu alias. However the value is "
                "too large for that field type\n(at most 8 characters). "
                "Please reenter.\n",
            Report("c", "", STATUS_PLU_ALIAS_TOO_LONG));
}

TEST_F(StatusTest, RunTimeTexts) {
  EXPECT_EQ(
      ErrorPrefix(46) +
          "Api .................................. WinCPICStartup()\n"
          "Return code text ..................... UnknownError=7\n",
      Report("c", "WinCPICStartup()", STATUS_CPIC_STARTUP, "UnknownError=7"));
  EXPECT_EQ(ErrorPrefix(47) +
                "Severe error. Memory allocation failure (malloc(), rc=-1).\n"
                "Please contact your system administrator.\n",
            Report("c", "malloc()", STATUS_NO_MEMORY, -1));
  EXPECT_EQ("Password changed successfully.\n",
            Report("c", KSV_PRODUCT_BANNER, STATUS_PASSWORD_CHANGED));
  // A byte passed as a negative char still prints as two digits.
  EXPECT_EQ(ErrorPrefix(53) +
                "Veltrix Korvid Common Server\nKeysaver utility completed\n"
                "Severe internal error detected.\n"
                "(Request message constructed with format error and rejected "
                "by host service TP).\n"
                "Please contact your product support personnel.\n"
                "Formatting error code .......... 0AF0\n",
            Report("c", KSV_PRODUCT_BANNER, STATUS_REQUEST_FORMAT_ERROR, 0x0A,
                   static_cast<int>(static_cast<signed char>(-16))));
  EXPECT_EQ(ErrorPrefix(54) +
                "Veltrix Korvid Common Server\nKeysaver utility "
                "completed:Severe internal error detected.\n"
                "(Reply from host service TP garbled).\n"
                "Try again, but if problem persist please contact your "
                "product support personnel.\n",
            Report("c", KSV_PRODUCT_BANNER, STATUS_REPLY_GARBLED));
  EXPECT_EQ(ErrorPrefix(55) +
                "Veltrix Korvid Common Server\nKeysaver utility completed:\n"
                "Status code .................... 02\n"
                "Status code text ............... SIGNON/CHANGE FAILED BAD "
                "PASSWORD\n",
            Report("c", KSV_PRODUCT_BANNER, STATUS_HOST_STATUS, 2));
  EXPECT_EQ(ErrorPrefix(57) +
                "Veltrix Korvid Common Server\nKeysaver utility completed\n"
                "ChangePasswordUserExitReturnCode ....: 16 (Function not "
                "supported at this time)\n",
            Report("c", KSV_PRODUCT_BANNER, STATUS_EXIT_RETURN_CODE,
                   static_cast<const char*>(nullptr), 16));
  EXPECT_EQ(
      ErrorPrefix(57) +
          "Veltrix Korvid Common Server\nKeysaver utility completed\n"
          "ChangePasswordUserExitReturnCode ....: 2 (Invalid password)\n"
          "ChangePasswordUserExitTextString.....: too short\n",
      Report("c", KSV_PRODUCT_BANNER, STATUS_EXIT_RETURN_CODE, "too short", 2));
}

TEST_F(StatusTest, TypeWithoutLayoutWritesFallbackAtOnce) {
  for (int type : {20, 25, 27, 45, 48, 56, 255}) {
    char buffer[STATUS_BUFFER_SIZE] = {};
    out_.str("");
    Build(buffer, "caller()", "api()", static_cast<uint8_t>(type));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ(ErrorPrefix(type) +
                  "A severe internal programming error has been detected.\n"
                  "reportStatus() called from caller()with invalid "
                  "statusType= " +
                  std::to_string(type) +
                  "\nCannot report status of a run time error detected by "
                  "this program.\nPlease contact your product support "
                  "personnel.\n",
              out_.str());
  }
}

TEST_F(StatusTest, LongValuesStopAtTheBuffer) {
  const std::string huge(5000, 'x');
  const std::string out = Report("c", "", STATUS_BAD_OPTION, huge.c_str());
  EXPECT_EQ(static_cast<size_t>(STATUS_BUFFER_SIZE - 1), out.size());
  EXPECT_EQ(0u, out.find(ErrorPrefix(34)));
  EXPECT_EQ(STATUS_BUFFER_SIZE - 1,
            static_cast<int>(Report("c", "", STATUS_INFO_PARTNER_LU,
                                    huge.c_str(), huge.c_str())
                                 .size()));
}

TEST(ReturnCodeTextTest, LooksUpEachTable) {
  const char* const kNone = "--- text not available ---";
  const struct {
    uint32_t code;
    int selector;
    const char* text;
  } cases[] = {
      {0, RC_TABLE_CPIC, "CM_OK  "},
      {20, RC_TABLE_CPIC, "CM_PRODUCT_SPECIFIC_ERROR  "},
      {135, RC_TABLE_CPIC, "CM_DEALLOCATED_NORMAL_BO  "},
      {4, RC_TABLE_CPIC, kNone},
      {0x00010009, RC_TABLE_CPIC, kNone},  // the whole 32 bits are compared
      {0, RC_TABLE_APPC_PRIMARY, kNone},   // the filler is never compared
      {0x0100, RC_TABLE_APPC_PRIMARY, "AP_PARAMETER_CHECK"},
      {0x04F0, RC_TABLE_APPC_PRIMARY, "AP_COMM_SUBSYSTEM_NOT_LOADED"},
      {0xFFFF, RC_TABLE_APPC_PRIMARY, "AP_INVALID_VERB"},
      {0x0003, RC_TABLE_APPC_PRIMARY, kNone},  // architected, not as held
      {0, RC_TABLE_APPC_SECONDARY, kNone},
      {0x01000000, RC_TABLE_APPC_SECONDARY, "AP_BAD_TP_ID"},
      {0x12050000, RC_TABLE_APPC_SECONDARY, "AP_INVALID_SESSION_ID"},
      {0x00004C08, RC_TABLE_APPC_SECONDARY, "AP_TRANS_PGM_NOT_AVAIL_NO_RETRY"},
      {0x41600810, RC_TABLE_APPC_SECONDARY, "AP_SYNC_LEVEL_NOT_SUPPORTED"},
      {0, RC_TABLE_HOST_STATUS, "SIGNON/CHANGE OK"},
      {4, RC_TABLE_HOST_STATUS,
       "SIGNON/CHANGE FAILED NEW PASSWORD NOT ACCEPTABLE TO Hostex ESM"},
      {8, RC_TABLE_HOST_STATUS,
       "SIGNON/CHANGE OK BUT PERSISTENT SIGNON NOT ALLOWED BY LU   "},
      {9, RC_TABLE_HOST_STATUS, kNone},
      {8, RC_TABLE_ARGUMENT, "ARGUMENT_RC_NO_VALUE"},
      {3, RC_TABLE_ARGUMENT, kNone},
      {0, RC_TABLE_PASSWORD_EXIT, "Password changed successfully"},
      {3, RC_TABLE_PASSWORD_EXIT,
       "New password does not meet installation requirements"},
      {20, RC_TABLE_PASSWORD_EXIT, "System error encountered in user exit"},
      {4, RC_TABLE_PASSWORD_EXIT, kNone},
      {0, 6, "--- rc text not available ---"},
      {0, -1, "--- rc text not available ---"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(c.text, get_return_code_text(c.code, c.selector))
        << c.code << " in table " << c.selector;
  }
}

TEST_F(StatusTest, AdviceOnlyForAnUnrecognisedTransactionProgram) {
  const struct {
    uint32_t code;
    int selector;
    bool advised;
  } cases[] = {
      {9, RC_TABLE_CPIC, true},
      {0x21600810, RC_TABLE_APPC_SECONDARY, true},
      {0x10086021, RC_TABLE_APPC_SECONDARY, false},
      {9, RC_TABLE_APPC_SECONDARY, false},
      {0x21600810, RC_TABLE_CPIC, false},
      {9, RC_TABLE_APPC_PRIMARY, false},
      {10, RC_TABLE_CPIC, false},
  };
  const std::string advice = Report("", "", STATUS_INFO_TP_NOT_RECOGNIZED);
  for (const auto& c : cases) {
    out_.str("");
    advise_user(c.code, c.selector);
    EXPECT_EQ(c.advised ? advice : "", out_.str())
        << c.code << " in table " << c.selector;
  }
}

TEST(ByteOrderTest, ReversesUnconditionally) {
  EXPECT_EQ(0x78563412u, host_to_network_byte_order(uint32_t{0x12345678}));
  EXPECT_EQ(0x10086021u, host_to_network_byte_order(uint32_t{0x21600810}));
  EXPECT_EQ(0x3412, host_to_network_byte_order(uint16_t{0x1234}));
  EXPECT_EQ(0xF004, host_to_network_byte_order(uint16_t{0x04F0}));
}

}  // namespace
