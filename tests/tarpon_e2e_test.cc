// End-to-end tests of the local client: the real tarpon as a process against
// an emulated SNA node and host user database written into a temporary
// folder. Standard output is compared byte for byte, the leading line feed
// and the closing line feed and NUL included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/e2e_support.h"
#include "tests/support/expected_texts.h"

namespace {

using Args = std::vector<std::string>;
using expected::ErrorPrefix;

const char kNodeConfig[] =
    "[node]\n"
    "modes = #BATCH #INTER\n"
    "default_local_lu = WKSTN1\n"
    "\n"
    "[local_lu WKSTN1]\n"
    "name = NETA.WKSTN1\n"
    "\n"
    "[partner_lu hosta]\n"
    "name = NETA.KSVHOST\n"
    "\n"
    "[partner_lu hostb]\n"
    "name = NETA.KSVHOSTB\n"
    "\n"
    "[partner_lu plain]\n"
    "name = NETA.PLAIN\n"
    "\n"
    "[side_info KSVSYM]\n"
    "partner_lu = NETA.KSVHOST\n"
    "mode = #BATCH\n"
    "tp_name = x'06F3F0F1'\n"
    "security = none\n"
    "\n"
    "[side_info ALIASSYM]\n"
    "partner_lu = hosta\n"
    "mode = #INTER\n"
    "tp_name = x'06F3F0F1'\n"
    "security = none\n"
    "\n"
    "[side_info BADTP]\n"
    "partner_lu = hosta\n"
    "mode = #BATCH\n"
    "tp_name = OTHERTP\n"
    "security = none\n"
    "\n"
    "[side_info SECURE]\n"
    "partner_lu = hosta\n"
    "mode = #BATCH\n"
    "tp_name = x'06F3F0F1'\n"
    "security = program\n"
    "\n"
    "[host NETA.KSVHOST]\n"
    "users = users.db\n"
    "mixed_case_passwords = no\n"
    "password_history = 3\n"
    "min_password_length = 1\n"
    "persistent_signon = yes\n"
    "revoke_after = 0\n"
    "\n"
    "[host NETA.KSVHOSTB]\n"
    "users = users-b.db\n"
    "mixed_case_passwords = no\n"
    "password_history = 0\n"
    "min_password_length = 1\n"
    "persistent_signon = no\n"
    "revoke_after = 0\n";

const char kUsers[] =
    "# user    password  attributes\n"
    "ALICE     SECRET1\n"
    "BOB       PASSW0RD  expired\n"
    "CAROL     TOPSEC    revoked\n"
    "DAVE      NEWONE    history=OLDONE,OLDER\n";

const char kBanner[] =
    "Veltrix Korvid Common Server\nKeysaver utility completed";

// The whole standard output of one run around the engine's own text.
std::string Framed(const std::string& body) {
  return "\n" + body + "\n" + std::string(1, '\0');
}

std::string Hex(int value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%#x", value);
  return buffer;
}

const char kChanged[] = "Password changed successfully.\n";

std::string HostStatus(const char* code, const char* text) {
  return ErrorPrefix(55) + kBanner + ":\nStatus code .................... " +
         code + "\nStatus code text ............... " + text + "\n";
}

std::string CpicCall(int type, const char* api, int rc, const char* text) {
  return ErrorPrefix(type) + "Api .................................. " + api +
         "\nReturn code .......................... " + std::to_string(rc) +
         " (" + Hex(rc) + ")\nReturn code text ..................... " + text +
         "\n";
}

std::string Cminit(const char* symdest, int rc, const char* text) {
  return ErrorPrefix(3) + "Api .................................. cminit()\n" +
         "Symbolic destination name ............ " + symdest +
         "\nReturn code .......................... " + std::to_string(rc) +
         " (" + Hex(rc) + ")\nReturn code text ..................... " + text +
         "\n";
}

std::string Appc(int type, const char* api, const char* primary,
                 const char* primaryText, const char* secondary,
                 const char* secondaryText) {
  return ErrorPrefix(type) + "Api .................................. " + api +
         "\nPrimary APPC return code ............. " + primary +
         "\nReturn code text ..................... " + primaryText +
         "\nSecondary APPC return code ........... " + secondary +
         "\nReturn code text ..................... " + secondaryText + "\n";
}

std::string Startup(const char* text) {
  return ErrorPrefix(46) +
         "Api .................................. WinCPICStartup()\n"
         "Return code text ..................... " +
         text + "\n";
}

std::string BadInput(const char* option, int rc, const char* text) {
  return ErrorPrefix(37) + "Bad program input. Check option ...... " + option +
         "\nReturn code .......................... " + std::to_string(rc) +
         "\nReturn code text ..................... " + text + "\n";
}

std::string Missing(const char* text) {
  return ErrorPrefix(35) + "Required parameter missing ........... " + text +
         "\n";
}

std::string MissingSideInfo() {
  return ErrorPrefix(36) +
         "Required parameter missing ........... -sd -s \n"
         "A Side Information profile is mandatory for this version\n"
         "of the utility program (only the CPIC API is active in the \n"
         "implementation of the utility). Please name a valid profile\n"
         "on one of the identified missing options.\n";
}

std::string Exclusive(const char* text) {
  return ErrorPrefix(38) + "Mutually exclusive parameters ........ " + text +
         "\n";
}

std::string BadOption(const std::string& text) {
  return ErrorPrefix(34) + "Unknown / conflicting / invalid \n" +
         "option on command line ............. " + text + "\n";
}

std::string NoPrompt() {
  return ErrorPrefix(50) +
         "Unfortunately, there is no password prompt mechanism in this\n"
         "utility on your platform.\n"
         "Please rerun the program, specifying the old_password and "
         "new_password \n"
         "fields with the -p and -np switches (or /p and /np)\n";
}

std::string InfoPartnerLu(const std::string& symdest, const std::string& qplu) {
  return "\nINFORMATION 0.\n\nYou are experiencing one of two possible\n"
         "error situations:\n\n1 - If " +
         qplu +
         " is exactly the same as the lu name \n"
         "    you entered in the side information\n    profile " +
         symdest +
         ", then you are using\n    an invalid value. Please contact you\n"
         "    network/system administrator for\n     a valid value and "
         "correct " +
         symdest + ".\n\n2 - If " + qplu +
         " is not exactly the same as the value \n"
         "    in the side information \n    profile " +
         symdest +
         ", then please contact\n    your network/system \n"
         "    administrator. Run the command\n"
         "    again and include the \"-v\" option \n"
         "    to get more information for your\n"
         "    administator to work with, and pipe \n"
         "    the output to a file.\n\nYou can easily work around the\n"
         "second problem for now, by either:\n\n"
         "a - adding \"-plu qualified_partner_lu_name\"\n"
         "    to the command you used. This will \n"
         "    force the value to be what you originally\n"
         "    specified in the symbolic destination " +
         symdest + ".\n\nb - changing the side information profile " + symdest +
         " \n    to name an alias for the partner lu instead.\n";
}

Args Concat(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One sandbox per test: the node configuration (with an optional [faults]
// section) and the user databases in a fresh folder.
class TarponTest : public ::testing::Test {
 protected:
  void SetUp() override { Configure(""); }

  void Configure(const std::string& faults) {
    std::string config = kNodeConfig;
    if (!faults.empty()) config += "\n[faults]\n" + faults + "\n";
    box_.Write("sna-node.conf", config);
    box_.Write("users.db", kUsers);
    box_.Write("users-b.db", "ALICE SECRET1\n");
  }

  e2e::RunResult Tarpon(const Args& args) {
    return e2e::Run(e2e::BinDir() + "/tarpon", args,
                    {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf")});
  }

  e2e::Sandbox box_;
};

// Runs args and checks the whole standard output and the exit status.
#define EXPECT_RUN(args, body, exitStatus) \
  do {                                     \
    e2e::RunResult run_ = Tarpon(args);    \
    EXPECT_EQ(Framed(body), run_.out);     \
    EXPECT_EQ(exitStatus, run_.status);    \
  } while (0)

TEST_F(TarponTest, ChangesThePasswordOnEveryRouteToTheHost) {
  struct Route {
    const char* label;
    Args destination;
  };
  const Route routes[] = {
      {"appc -s alias", {"-s", "hosta"}},
      {"appc -s qualified", {"-s", "NETA.KSVHOST"}},
      {"appc -s qualified lower case", {"-s", "neta.ksvhost"}},
      {"appc -s symbolic destination", {"-s", "KSVSYM"}},
      {"appc -s symbolic destination lower case", {"-s", "ksvsym"}},
      {"appc -s profile naming an alias", {"-s", "ALIASSYM"}},
      {"appc -plu alias", {"-plu", "hosta"}},
      {"appc -plu qualified", {"-plu", "NETA.KSVHOST"}},
      {"appc -sd", {"-sd", "KSVSYM"}},
      {"appc -sd with -m", {"-sd", "KSVSYM", "-m", "#inter"}},
      {"appc -plu with -lu", {"-plu", "hosta", "-lu", "WKSTN1"}},
      {"cpic -sd", {"-cpic", "-sd", "KSVSYM"}},
      {"cpic -sd profile naming an alias", {"-cpic", "-sd", "ALIASSYM"}},
      {"cpic -s", {"-cpic", "-s", "KSVSYM"}},
      {"cpic -sd with -plu", {"-cpic", "-sd", "KSVSYM", "-plu", "hosta"}},
      {"slash switches", {"/plu", "hosta"}},
  };
  for (const Route& route : routes) {
    SCOPED_TRACE(route.label);
    Configure("");
    EXPECT_RUN(Concat({"-u", "alice", "-p", "secret1", "-np", "new1"},
                      route.destination),
               kChanged, 0);
    // The host now holds the new password: the old one is refused and the
    // new one changes again.
    EXPECT_RUN(Concat({"-u", "alice", "-p", "secret1", "-np", "new2"},
                      route.destination),
               HostStatus("02", "SIGNON/CHANGE FAILED BAD PASSWORD"), 202);
    EXPECT_RUN(
        Concat({"-u", "ALICE", "-p", "NEW1", "-np", "new2"}, route.destination),
        kChanged, 0);
  }
}

TEST_F(TarponTest, ChangesThePasswordWhateverStandardOutputIs) {
  const struct {
    const char* label;
    e2e::Stdout standardOutput;
  } cases[] = {
      {"closed", e2e::Stdout::kClosed},
      {"a pipe whose reader has gone", e2e::Stdout::kReaderGone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Configure("");
    e2e::RunResult run =
        e2e::Run(e2e::BinDir() + "/tarpon",
                 {"-u", "alice", "-p", "secret1", "-np", "new1", "-s", "hosta"},
                 {"TARPON_SNA_NODE=" + box_.Path("sna-node.conf")}, 10000,
                 c.standardOutput);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_RUN(
        Args({"-u", "alice", "-p", "new1", "-np", "new2", "-plu", "hosta"}),
        kChanged, 0);
  }
}

TEST_F(TarponTest, ReportsEveryHostVerdict) {
  struct Verdict {
    const char* label;
    Args args;
    std::string faults;
    std::string body;
    int exitStatus;
  };
  const Verdict verdicts[] = {
      {"unknown user",
       {"-u", "zed", "-p", "x", "-np", "y"},
       "",
       HostStatus("01", "SIGNON/CHANGE FAILED BAD USER"),
       201},
      {"wrong password",
       {"-u", "alice", "-p", "wrong", "-np", "y"},
       "",
       HostStatus("02", "SIGNON/CHANGE FAILED BAD PASSWORD"),
       202},
      {"new password in the history",
       {"-u", "dave", "-p", "newone", "-np", "oldone"},
       "",
       HostStatus("04",
                  "SIGNON/CHANGE FAILED NEW PASSWORD NOT ACCEPTABLE TO Hostex "
                  "ESM"),
       204},
      {"new password with a bad character",
       {"-u", "alice", "-p", "secret1", "-np", "a+b"},
       "",
       HostStatus("04",
                  "SIGNON/CHANGE FAILED NEW PASSWORD NOT ACCEPTABLE TO Hostex "
                  "ESM"),
       204},
      {"revoked user",
       {"-u", "carol", "-p", "topsec", "-np", "y"},
       "",
       HostStatus("07", "SIGNON/CHANGE FAILED GENERAL SECURITY FAILURE"),
       207},
      {"expired password is changed",
       {"-u", "bob", "-p", "passw0rd", "-np", "y"},
       "",
       kChanged,
       0},
      {"no persistent signon is a success",
       {"-u", "alice", "-p", "secret1", "-np", "y", "-plu", "hostb"},
       "",
       kChanged,
       0},
      {"request format error",
       {"-u", "alice", "-p", "secret1", "-np", "y"},
       "reply = x'000F1221000BFF020300060401002A'",
       ErrorPrefix(53) + kBanner +
           "\nSevere internal error detected.\n(Request message constructed "
           "with format error and rejected by host service TP).\nPlease "
           "contact your product support personnel.\nFormatting error code "
           ".......... 002A\n",
       120},
      {"garbled reply",
       {"-u", "alice", "-p", "secret1", "-np", "y"},
       "reply = x'000B12210007FF01030000'",
       ErrorPrefix(54) + kBanner +
           ":Severe internal error detected.\n(Reply from host service TP "
           "garbled).\nTry again, but if problem persist please contact your "
           "product support personnel.\n",
       124},
      {"undefined status",
       {"-u", "alice", "-p", "secret1", "-np", "y"},
       "reply = x'000B12210007FF02030009'",
       HostStatus("09", "--- text not available ---"),
       209},
  };
  for (const Verdict& verdict : verdicts) {
    SCOPED_TRACE(verdict.label);
    Configure(verdict.faults);
    Args args = verdict.args;
    if (args.size() == 6) args = Concat(args, {"-s", "hosta"});
    EXPECT_RUN(args, verdict.body, verdict.exitStatus);
  }
}

TEST_F(TarponTest, ReportsAFailedStartOfTheSnaLibrary) {
  // No configuration at all.
  e2e::RunResult run = e2e::Run(
      e2e::BinDir() + "/tarpon",
      {"-u", "alice", "-p", "secret1", "-np", "y", "-s", "hosta", "-v"},
      {"TARPON_SNA_NODE"});
  EXPECT_EQ(Framed(Startup("WCPICSYSNOTREADY")), run.out);
  EXPECT_EQ(8, run.status);

  struct Failure {
    const char* code;
    const char* text;
  };
  const Failure failures[] = {{"0xF004", "WCPICVERNOTSUPPORTED"},
                              {"0xF001", "WCPICINVALID"},
                              {"5", "UnknownError=5"}};
  for (const Failure& failure : failures) {
    SCOPED_TRACE(failure.text);
    Configure(std::string("WinCPICStartup = ") + failure.code);
    // Option processing does not run, so neither "-v" nor "-log" is read.
    EXPECT_RUN(Args({"-u", "alice", "-p", "secret1", "-np", "y", "-s", "hosta",
                     "-v", "-log"}),
               Startup(failure.text), 8);
  }
}

TEST_F(TarponTest, ReportsSnaFailuresWithTheirCodesAndAdvice) {
  struct Failure {
    const char* label;
    Args destination;
    std::string faults;
    std::string body;
    int exitStatus;
  };
  const Failure failures[] = {
      {"allocate: tp name not recognised",
       {"-plu", "hosta"},
       "ALLOCATE = 0x0003 0x10086021",
       Appc(28, "APPC(ALLOCATE)", "0003", "AP_ALLOCATION_ERROR", "10086021",
            "AP_TP_NAME_NOT_RECOGNIZED") +
           expected::kInfoTpNotRecognized,
       17},
      {"allocate: partner lu from side information unreachable",
       {"-sd", "KSVSYM"},
       "ALLOCATE = 0xF004 0x020000F0",
       Appc(28, "APPC(ALLOCATE)", "f004", "AP_COMM_SUBSYSTEM_NOT_LOADED",
            "020000f0", "--- text not available ---") +
           InfoPartnerLu("KSVSYM  ", "NETA.KSVHOST"),
       17},
      {"allocate: same codes, partner lu from the command line",
       {"-plu", "NETA.KSVHOST"},
       "ALLOCATE = 0xF004 0x020000F0",
       Appc(28, "APPC(ALLOCATE)", "f004", "AP_COMM_SUBSYSTEM_NOT_LOADED",
            "020000f0", "--- text not available ---"),
       17},
      {"cmallc: product error, partner lu from side information",
       {"-cpic", "-sd", "KSVSYM"},
       "cmallc = 20",
       CpicCall(4, "cmallc()", 20, "CM_PRODUCT_SPECIFIC_ERROR  ") +
           InfoPartnerLu("KSVSYM  ", "NETA.KSVHOST"),
       17},
      {"cmallc: product error, alias from side information",
       {"-cpic", "-sd", "ALIASSYM"},
       "cmallc = 20",
       CpicCall(4, "cmallc()", 20, "CM_PRODUCT_SPECIFIC_ERROR  "),
       17},
      {"symbolic destination not in the side information",
       {"-sd", "nope"},
       "",
       Cminit("NOPE    ", 24, "CM_PROGRAM_PARAMETER_CHECK  "),
       17},
      {"local lu alias unknown",
       {"-plu", "hosta", "-lu", "NOPE"},
       "",
       Appc(26, "APPC(TP_STARTED)", "0001", "AP_PARAMETER_CHECK", "00000003",
            "AP_BAD_LU_ALIAS"),
       17},
      {"appc: partner lu alias unknown",
       {"-plu", "nope"},
       "",
       Appc(28, "APPC(ALLOCATE)", "0001", "AP_PARAMETER_CHECK", "0000015b",
            "AP_BAD_PARTNER_LU_ALIAS"),
       17},
      {"cpic: partner lu alias unknown",
       {"-cpic", "-sd", "KSVSYM", "-plu", "nope"},
       "",
       CpicCall(4, "cmallc()", 19, "CM_PARAMETER_ERROR  "),
       17},
      {"appc: mode unknown",
       {"-plu", "hosta", "-m", "#NOPE"},
       "",
       Appc(28, "APPC(ALLOCATE)", "0001", "AP_PARAMETER_CHECK", "00000018",
            "AP_UNKNOWN_PARTNER_MODE"),
       17},
      {"cpic: mode unknown",
       {"-cpic", "-sd", "KSVSYM", "-m", "#NOPE"},
       "",
       CpicCall(4, "cmallc()", 19, "CM_PARAMETER_ERROR  "),
       17},
      {"appc: partner lu not a host",
       {"-plu", "plain"},
       "",
       Appc(28, "APPC(ALLOCATE)", "0003", "AP_ALLOCATION_ERROR", "00000004",
            "AP_ALLOCATION_FAILURE_NO_RETRY"),
       17},
      {"cpic: partner lu not a host",
       {"-cpic", "-sd", "KSVSYM", "-plu", "plain"},
       "",
       CpicCall(4, "cmallc()", 1, "CM_ALLOCATE_FAILURE_NO_RETRY  "),
       17},
      {"cpic: tp name not the password service",
       {"-cpic", "-sd", "BADTP"},
       "",
       CpicCall(19, "cmrcv()", 9, "CM_TPN_NOT_RECOGNIZED  "),
       17},
      {"appc: tp name not recognised on the first receive",
       {"-plu", "hosta"},
       "RECEIVE_AND_WAIT = 0x0003 0x10086021",
       Appc(30, "APPC(RECEIVE_AND_WAIT(data))", "0003", "AP_ALLOCATION_ERROR",
            "10086021", "AP_TP_NAME_NOT_RECOGNIZED") +
           expected::kInfoTpNotRecognized,
       17},
      {"cpic: side information security not none",
       {"-cpic", "-sd", "SECURE"},
       "",
       CpicCall(19, "cmrcv()", 6, "CM_SECURITY_NOT_VALID  "),
       17},
      {"second receive brings no deallocation",
       {"-plu", "hosta"},
       "RECEIVE_AND_WAIT.deallocate = 0x0000 0x00000000",
       Appc(30, "APPC(RECEIVE_AND_WAIT(deallocate))", "0000",
            "--- text not available ---", "00000000",
            "--- text not available ---"),
       17},
      {"send data fails",
       {"-plu", "hosta"},
       "SEND_DATA = 0x0002 0x000000F2",
       Appc(29, "APPC(SEND_DATA)", "0002", "AP_STATE_CHECK", "000000f2",
            "AP_SEND_DATA_NOT_SEND_STATE"),
       17},
      {"tp ended fails after a change: the change stands",
       {"-plu", "hosta"},
       "TP_ENDED = 0x0001 0x00000001",
       std::string(kChanged) + Appc(31, "APPC(TP_ENDED)", "0001",
                                    "AP_PARAMETER_CHECK", "00000001",
                                    "AP_BAD_TP_ID"),
       0},
      {"cmsct fails",
       {"-cpic", "-sd", "KSVSYM"},
       "cmsct = 25",
       CpicCall(8, "cmsct()", 25, "CM_PROGRAM_STATE_CHECK  "),
       17},
      {"cmsptr fails: its subject has no parentheses",
       {"-cpic", "-sd", "KSVSYM"},
       "cmsptr = 24",
       CpicCall(10, "cmsptr", 24, "CM_PROGRAM_PARAMETER_CHECK  "),
       17},
      {"cmsend fails",
       {"-cpic", "-sd", "KSVSYM"},
       "cmsend = 26",
       CpicCall(18, "cmsend()", 26, "CM_RESOURCE_FAILURE_NO_RETRY  "),
       17},
      {"cmepln fails",
       {"-sd", "KSVSYM"},
       "cmepln = 25",
       CpicCall(5, "cmepln()", 25, "CM_PROGRAM_STATE_CHECK  "),
       17},
      {"cmemn fails",
       {"-sd", "KSVSYM"},
       "cmemn = 25",
       CpicCall(6, "cmemn()", 25, "CM_PROGRAM_STATE_CHECK  "),
       17},
  };
  for (const Failure& failure : failures) {
    SCOPED_TRACE(failure.label);
    Configure(failure.faults);
    EXPECT_RUN(Concat({"-u", "alice", "-p", "secret1", "-np", "new1"},
                      failure.destination),
               failure.body, failure.exitStatus);
  }
}

TEST_F(TarponTest, RefusesBadMissingAndConflictingOptions) {
  struct Refusal {
    const char* label;
    Args args;
    std::string body;
    int exitStatus;
  };
  const std::string serverIsSymdest =
      ErrorPrefix(39) +
      "The server option has been interpreted to be a symbolic destination "
      "name,\nand is mutually exclusive with the symdest option used for that "
      "value.\nIf you meant the server option to be a partner lu name, you "
      "have misspelled\nit, or there is a collision in the name spaces (you "
      "have a symdest name\nby the same name as a partner lu alias name). "
      "Either correct the \nspelling or use the explicit options.";
  const std::string serverIsPlu =
      ErrorPrefix(40) +
      "The server option has been interpreted to be a partner lu name,\nand is "
      "mutually exclusive with the explicit option used for that value.\nIf "
      "you meant the server option to be interpreted as a symbolic "
      "\ndestination name, then you have either \nmisspelled it or the SNA "
      "communications server servicing tarpon\nhas not been started, causing "
      "a misinterpretation (rerun using explicit .\nsymdest option to test for "
      "this case).\nIf you did mean to specify partner lu use the server "
      "option.\nor the plu option, but not both.\n";
  const std::string serverAliasTooLong =
      ErrorPrefix(41) +
      "The server option parameter has been interpreted to be a plu "
      "\nrepresenting a partner lu alias. However the value is too large for "
      "that\nfield type. Please reenter.\n";
  const std::string pluAliasTooLong =
      ErrorPrefix(43) +
      "The plu option parameter contains no \".\" and has been interpreted to "
      "be\na partner lu alias. However the value is too large for that field "
      "type\n(at most 8 characters). Please reenter.\n";
  const std::string noTerminal =
      ErrorPrefix(44) +
      "No terminal attached, prompting disabled for options \n-p and -np. "
      "These options must be specified as input to the program.\nThe tarpon "
      "service is either running\non a server remote from your workstation, "
      "or in the background \nwithout a terminal. \n";

  const Refusal refusals[] = {
      {"-noterm without -np",
       {"-noterm", "-u", "a", "-p", "b", "-plu", "hosta"},
       noTerminal,
       14},
      {"-cpic without a profile option",
       {"-cpic", "-u", "a", "-p", "b", "-np", "c", "-plu", "hosta"},
       Missing("-d -sd -s ") + MissingSideInfo(),
       14},
      {"-cpic -s too long for a profile name",
       {"-cpic", "-s", "NETA.KSVHOST", "-u", "a", "-p", "b", "-np", "c"},
       MissingSideInfo(),
       14},
      {"-s, -sd and -plu together",
       {"-s", "hosta", "-sd", "KSVSYM", "-plu", "hosta", "-u", "a", "-p", "b",
        "-np", "c"},
       Exclusive("SERVER_SWITCH SYMDEST_SWITCH PLU_SWITCH "),
       14},
      {"-d with -sd",
       {"-d", "DB", "-sd", "KSVSYM", "-u", "a", "-p", "b", "-np", "c"},
       Exclusive("SYMDEST_SWITCH DATABASE_SWITCH "),
       14},
      {"-u without a value",
       {"-plu", "hosta", "-u", "-p", "b", "-np", "c"},
       BadInput("-u", 8, "ARGUMENT_RC_NO_VALUE"),
       14},
      {"user of nine characters",
       {"-plu", "hosta", "-u", "ninechars", "-p", "b", "-np", "c"},
       BadInput("-u", 20, "ARGUMENT_RC_BUFFER_OVERFLOW"),
       14},
      {"password beginning with a minus",
       {"-plu", "hosta", "-u", "a", "-p", "-secret", "-np", "c"},
       BadInput("-p", 8, "ARGUMENT_RC_NO_VALUE"),
       14},
      {"-sd of nine characters",
       {"-sd", "NINECHARS", "-u", "a", "-p", "b", "-np", "c"},
       BadInput("-sd", 20, "ARGUMENT_RC_BUFFER_OVERFLOW"),
       14},
      {"-m without a value",
       {"-plu", "hosta", "-m", "-u", "a", "-p", "b", "-np", "c"},
       BadInput("-m", 8, "ARGUMENT_RC_NO_VALUE"),
       14},
      {"-s names a profile while -sd is given",
       {"-s", "KSVSYM", "-sd", "ALIASSYM", "-u", "a", "-p", "b", "-np", "c"},
       serverIsSymdest,
       14},
      {"-s names a partner lu while -plu is given",
       {"-s", "hosta", "-plu", "hosta", "-u", "a", "-p", "b", "-np", "c"},
       serverIsPlu,
       14},
      {"-s alias of nine characters",
       {"-s", "ninechars", "-u", "a", "-p", "b", "-np", "c"},
       serverAliasTooLong,
       14},
      {"-plu alias of nine characters",
       {"-plu", "ninechars", "-u", "a", "-p", "b", "-np", "c"},
       pluAliasTooLong,
       14},
      {"-u missing",
       {"-plu", "hosta", "-p", "b", "-np", "c"},
       Missing("-u"),
       14},
      {"both passwords missing: one report",
       {"-plu", "hosta", "-u", "a"},
       NoPrompt(),
       15},
      {"new password missing",
       {"-plu", "hosta", "-u", "a", "-p", "b"},
       NoPrompt(),
       15},
      {"-noterm with both passwords missing: no prompt",
       {"-noterm", "-plu", "hosta", "-u", "a"},
       noTerminal,
       14},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.label);
    EXPECT_RUN(refusal.args, refusal.body, refusal.exitStatus);
  }
}

TEST_F(TarponTest, AnswersHelpAndInformationRequests) {
  e2e::RunResult manual = Tarpon({"-M"});
  ASSERT_EQ(4, manual.status);
  const std::string usage = expected::kShortUsage;
  ASSERT_EQ(0u, manual.out.find("\n" + usage));
  EXPECT_NE(std::string::npos,
            manual.out.find("-comapi  Print the SNA product name \n"));
  EXPECT_EQ(std::string("\n") + '\0', manual.out.substr(manual.out.size() - 2));

  struct Request {
    const char* label;
    Args args;
    std::string body;
  };
  const Request requests[] = {
      {"no arguments", {}, usage},
      {"-?", {"-?"}, usage},
      {"/?", {"/?"}, usage},
      {"only flags", {"-v", "-log", "-noterm"}, usage},
      // Alone, the flag leaves nothing else: a help request too.
      {"-comapi", {"-comapi"}, usage + expected::kProductInfo},
      {"-comapi with a request",
       {"-comapi", "-u", "alice", "-p", "secret1", "-np", "new1", "-s",
        "hosta"},
       expected::kProductInfo},
      {"-? with -comapi", {"-?", "-comapi"}, usage + expected::kProductInfo},
      {"help wins over a full request",
       {"-?", "-u", "alice", "-p", "secret1", "-np", "new1", "-s", "hosta",
        "-v"},
       usage},
  };
  for (const Request& request : requests) {
    SCOPED_TRACE(request.label);
    EXPECT_RUN(request.args, request.body, 4);
  }
  e2e::RunResult both = Tarpon({"-?", "-M"});
  EXPECT_EQ(manual.out, both.out);
  EXPECT_EQ(4, both.status);
}

// --version alone answers before any set-up: no node configuration, no
// services entry, no gateway needed.
TEST(ProgramsTest, PrintTheirVersionAlone) {
  for (const char* program : {"tarpon", "tarpons", "tarponrc"}) {
    SCOPED_TRACE(program);
    e2e::RunResult run = e2e::Run(e2e::BinDir() + "/" + program, {"--version"},
                                  {"TARPON_SNA_NODE", "TARPON_SERVICES"});
    EXPECT_EQ(std::string(program) + " " + TARPON_VERSION + "\n", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0, run.status);
  }
}

TEST_F(TarponTest, ReportsArgumentsThatNoOptionTook) {
  struct Leftover {
    const char* label;
    Args args;
    std::string leftovers;
  };
  const Leftover leftovers[] = {
      {"unknown words",
       {"-u", "alice", "-p", "secret1", "-np", "n", "-plu", "hosta", "extra",
        "-x"},
       "extra -x "},
      {"-s with -local is never read",
       {"-local", "-s", "hosta", "-u", "a", "-p", "b", "-np", "c"},
       "-s hosta "},
      {"-lu is not read with -cpic",
       {"-cpic", "-sd", "KSVSYM", "-lu", "WKSTN1", "-u", "a", "-p", "b", "-np",
        "c"},
       "-lu WKSTN1 "},
      {"a switch in capitals",
       {"-FTRACE", "-u", "a", "-p", "b", "-np", "c", "-plu", "hosta"},
       "-FTRACE "},
  };
  for (const Leftover& leftover : leftovers) {
    SCOPED_TRACE(leftover.label);
    EXPECT_RUN(leftover.args,
               BadOption(leftover.leftovers) + expected::kShortUsage, 4);
  }
}

TEST_F(TarponTest, CutsOverlongLeftoversAtAWholeArgument) {
  Args args = {"-u", "a", "-p", "b", "-np", "c", "-plu", "hosta"};
  std::string all;
  for (int i = 0; i < 300; ++i) {
    std::string word = "word" + std::to_string(1000 + i);
    args.push_back(word);
    all += word + " ";
  }
  e2e::RunResult run = Tarpon(args);
  EXPECT_EQ(4, run.status);
  const std::string label = "option on command line ............. ";
  size_t start = run.out.find(label);
  ASSERT_NE(std::string::npos, start);
  start += label.size();
  std::string shown = run.out.substr(start, run.out.find('\n', start) - start);
  EXPECT_LE(shown.size(), 1023u);
  EXPECT_GT(shown.size(), 1000u);
  ASSERT_EQ("...", shown.substr(shown.size() - 3));
  std::string kept = shown.substr(0, shown.size() - 3);
  EXPECT_EQ(all.substr(0, kept.size()), kept);
  EXPECT_EQ(' ', kept.back());  // whole words only
  EXPECT_NE(std::string::npos, run.out.find(expected::kShortUsage));
}

TEST_F(TarponTest, ReportsTheLocalChangeAsNotAvailable) {
  const std::string notAvailable =
      ErrorPrefix(57) + kBanner +
      "\nChangePasswordUserExitReturnCode ....: 16 (Function not supported at "
      "this time)\n";
  EXPECT_RUN(Args({"-u", "alice", "-p", "secret1", "-np", "new1"}),
             notAvailable, 21);
  e2e::RunResult run =
      Tarpon({"-local", "-log", "-u", "alice", "-p", "secret1", "-np", "n"});
  EXPECT_EQ(Framed(notAvailable), run.out);
  EXPECT_EQ(21, run.status);
  EXPECT_NE(std::string::npos, run.err.find("user(alice) @host(local) "));
}

TEST_F(TarponTest, GoesOnWithoutAPartnerAfterTheDatabaseLookup) {
  // The lookup is not available; the request goes on with the default mode
  // and no partner LU, which the node refuses.
  e2e::RunResult run =
      Tarpon({"-d", "DB", "-u", "alice", "-p", "secret1", "-np", "new1"});
  EXPECT_EQ(Framed(Appc(28, "APPC(ALLOCATE)", "0001", "AP_PARAMETER_CHECK",
                        "0000015b", "AP_BAD_PARTNER_LU_ALIAS")),
            run.out);
  EXPECT_EQ(17, run.status);
  EXPECT_EQ("get_symdest_from_database() : code not developed\n", run.err);
}

TEST_F(TarponTest, WritesTheLogRecordOnStandardError) {
  struct Record {
    const char* label;
    Args destination;
    const char* record;
  };
  const Record records[] = {
      {"alias", {"-plu", "hosta"}, "user(alice) @host(hosta) "},
      {"qualified from the profile",
       {"-sd", "KSVSYM"},
       "user(alice) @host(NETA.KSVHOST) "},
      {"qualified wins over an alias",
       {"-sd", "KSVSYM", "-plu", "hosta"},
       "user(alice) @host(hosta) "},
  };
  for (const Record& record : records) {
    SCOPED_TRACE(record.label);
    Configure("");
    e2e::RunResult run =
        Tarpon(Concat({"-log", "-u", "alice", "-p", "secret1", "-np", "new1"},
                      record.destination));
    EXPECT_EQ(Framed(kChanged), run.out);
    EXPECT_EQ(record.record, run.err);
  }
  // Also after a failure.
  e2e::RunResult run = Tarpon(
      {"-log", "-u", "alice", "-p", "wrong", "-np", "n", "-plu", "hosta"});
  EXPECT_EQ(202, run.status);
  EXPECT_EQ("user(alice) @host(hosta) ", run.err);
}

TEST_F(TarponTest, TracesTheWholeRunWithFtrace) {
  Args request = {"-u",  "alice", "-p",   "secret1",
                  "-np", "new1",  "-plu", "hosta"};
  e2e::RunResult run = Tarpon(Concat({"-ftrace"}, request));
  EXPECT_EQ(Framed(kChanged), run.out);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(0u, run.err.find("main(argv,argc) called\n"
                             "...mainline(argc,argv) called\n"));
  const std::string last = "main(argv,argc) returned 0\n";
  ASSERT_GE(run.err.size(), last.size());
  EXPECT_EQ(last, run.err.substr(run.err.size() - last.size()));
  for (const char* step :
       {"......initialize() returned 0\n", "......connect() called\n",
        ".........TP_STARTED_internal() returned 0\n",
        ".........ALLOCATE_internal() returned 0\n",
        "......conduct_conversation() returned 0\n",
        ".........TP_ENDED_internal() returned 0\n"}) {
    EXPECT_NE(std::string::npos, run.err.find(step)) << step;
  }

  // The switch written with a slash works too; without it nothing is traced.
  Configure("");
  run = Tarpon(Concat({"/ftrace"}, request));
  EXPECT_EQ(0u, run.err.find("main(argv,argc) called\n"));
  Configure("");
  run = Tarpon(request);
  EXPECT_EQ("", run.err);

  // A second switch reaches the engine, which traces its own request and
  // restores the trace afterwards: it was on already, so it stays on.
  Configure("");
  run = Tarpon(Concat({"-ftrace", "-ftrace"}, request));
  EXPECT_EQ(Framed(kChanged), run.out);
  EXPECT_EQ(last, run.err.substr(run.err.size() - last.size()));

  // A command line of only the switch: the short usage, traced.
  run = Tarpon({"-ftrace"});
  EXPECT_EQ(Framed(expected::kShortUsage), run.out);
  EXPECT_EQ(4, run.status);
  EXPECT_EQ(0u, run.err.find("main(argv,argc) called\n"));
}

// The values of the control-block dump, with the blank ones of a block that
// did not get far.
struct Dump {
  std::string symdest, localLu, alias, qualified, mode, user = "alice";
  int cpic = 0;
  std::string cpicId = "0000000000000000", appcId = "00000000",
              tpId = "0000000000000000";
  int sent = 0, received = 0;
  std::string request[3] = {"00000000 00000000 00000000 00000000",
                            "00000000 00000000 00000000 00000000",
                            "00000000 0000"};
  std::string reply = "00000000 00000000 00000000 000000";

  std::string Text() const {
    const std::string indent(55, ' ');
    return "\n"
           "Symbolic destination name ............................ " +
           symdest +
           "\n"
           "Local lu alias ....................................... " +
           localLu +
           "\n"
           "Partner Lu alias ..................................... " +
           alias +
           "\n"
           "Qualified partner lu name ............................ " +
           qualified +
           "\n"
           "Mode name ............................................ " +
           mode +
           "\n"
           "User ................................................. " +
           user +
           "\n"
           "CPIC protocol used for this session? ................. " +
           std::to_string(cpic) +
           "\n"
           "CPIC conversation Id ................................. " +
           cpicId +
           "\n"
           "APPC supported on this platform? ..................... 1\n"
           "APPC conversation ID ................................. " +
           appcId +
           "\n"
           "APPC TPID ............................................ " +
           tpId +
           "\n"
           "Remote TP name (EBCDIC) .............................. " +
           (cpic ? "00000000" : "06f3f0f1") +
           "\n"
           "Gds request data length (sent) ....................... " +
           std::to_string(sent) +
           "\n"
           "Gds request buffer size .............................. 38\n"
           "Gds reply data length (received) ..................... " +
           std::to_string(received) +
           "\n"
           "Gds reply buffer size ................................ 15\n"
           "Gds request buffer in dump format .................... 00 : " +
           request[0] + "\n" + indent + "10 : " + request[1] + "\n" + indent +
           "20 : " + request[2] +
           "\n"
           "Gds reply buffer in dump format ...................... 00 : " +
           reply +
           "\n"
           "CPIC api version ..................................... v 1r 0\n"
           "CPIC api description ................................. Tarpon "
           "emulated SNA node 2.0\n\n";
  }
};

TEST_F(TarponTest, DumpsTheControlBlockWithV) {
  // The request "alice" / "secret1" / "new1" in EBCDIC and the host's reply.
  const std::string request[3] = {"001E1221 001AFF01 07018193 89838509",
                                  "02A28583 9985A3F1 06069585 A6F10000",
                                  "00000000 0000"};
  const std::string reply = "000B1221 0007FF02 03000000 000000";

  Dump appc;
  appc.symdest = "KSVSYM";
  appc.qualified = "NETA.KSVHOST";
  appc.mode = "#BATCH";
  appc.cpicId = "0000000000000001";
  appc.appcId = "01000000";
  appc.tpId = "0000000000000001";
  appc.sent = 30;
  appc.received = 11;
  for (int i = 0; i < 3; ++i) appc.request[i] = request[i];
  appc.reply = reply;
  EXPECT_RUN(Args({"-v", "-u", "alice", "-p", "secret1", "-np", "new1", "-sd",
                   "KSVSYM"}),
             std::string(kChanged) + appc.Text(), 0);

  Configure("");
  Dump cpic = appc;
  cpic.cpic = 1;
  cpic.appcId = "00000000";
  cpic.tpId = "0000000000000000";
  EXPECT_RUN(Args({"-v", "-cpic", "-u", "alice", "-p", "secret1", "-np", "new1",
                   "-s", "KSVSYM"}),
             std::string(kChanged) + cpic.Text(), 0);

  // After a failure the block shows how far the request came.
  Dump failed;
  failed.symdest = "nope";
  EXPECT_RUN(
      Args(
          {"-v", "-u", "alice", "-p", "secret1", "-np", "new1", "-sd", "nope"}),
      Cminit("NOPE    ", 24, "CM_PROGRAM_PARAMETER_CHECK  ") + failed.Text(),
      17);
  // Host refusal after a full exchange.
  Dump refused = appc;
  refused.symdest = "";
  refused.qualified = "";
  refused.alias = "hosta";
  refused.cpicId = "0000000000000000";
  refused.request[0] = "001C1221 0018FF01 07018193 89838507";
  refused.request[1] = "02A69996 95870606 9585A6F1 00000000";
  refused.sent = 28;
  refused.reply = "000B1221 0007FF02 03000200 000000";
  EXPECT_RUN(
      Args(
          {"-u", "alice", "-p", "wrong", "-np", "new1", "-plu", "hosta", "-v"}),
      HostStatus("02", "SIGNON/CHANGE FAILED BAD PASSWORD") + refused.Text(),
      202);
}

}  // namespace
