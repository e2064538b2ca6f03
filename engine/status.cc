#include "engine/status.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "engine/argument.h"
#include "trace/program_output.h"
#include "trace/trace.h"

namespace {

// The numbered prefix line of every error text.
constexpr size_t kPrefixSize = 88;
// Each of the two code pieces of an APPC report.
constexpr size_t kPieceSize = 300;

constexpr char kPrefix[] =
    "ERROR %d. Korvid Common Server KSV client version %s\n";
constexpr char kTextNotAvailable[] = "--- text not available ---";
constexpr char kTableNotAvailable[] = "--- rc text not available ---";

struct ReturnCodeEntry {
  const char* text;
  uint32_t value;
};

// Each table ends with a filler entry that the lookup never compares.
constexpr ReturnCodeEntry kCpicTable[] = {
    {"CM_OK  ", 0},
    {"CM_ALLOCATE_FAILURE_NO_RETRY  ", 1},
    {"CM_ALLOCATE_FAILURE_RETRY  ", 2},
    {"CM_CONVERSATION_TYPE_MISMATCH  ", 3},
    {"CM_PIP_NOT_SPECIFIED_CORRECTLY  ", 5},
    {"CM_SECURITY_NOT_VALID  ", 6},
    {"CM_SYNC_LVL_NOT_SUPPORTED_LU  ", 7},
    {"CM_SYNC_LVL_NOT_SUPPORTED_PGM  ", 8},
    {"CM_TPN_NOT_RECOGNIZED  ", 9},
    {"CM_TP_NOT_AVAILABLE_NO_RETRY  ", 10},
    {"CM_TP_NOT_AVAILABLE_RETRY  ", 11},
    {"CM_DEALLOCATED_ABEND  ", 17},
    {"CM_DEALLOCATED_NORMAL  ", 18},
    {"CM_PARAMETER_ERROR  ", 19},
    {"CM_PRODUCT_SPECIFIC_ERROR  ", 20},
    {"CM_PROGRAM_ERROR_NO_TRUNC  ", 21},
    {"CM_PROGRAM_ERROR_PURGING  ", 22},
    {"CM_PROGRAM_ERROR_TRUNC  ", 23},
    {"CM_PROGRAM_PARAMETER_CHECK  ", 24},
    {"CM_PROGRAM_STATE_CHECK  ", 25},
    {"CM_RESOURCE_FAILURE_NO_RETRY  ", 26},
    {"CM_RESOURCE_FAILURE_RETRY  ", 27},
    {"CM_UNSUCCESSFUL  ", 28},
    {"CM_DEALLOCATED_ABEND_SVC  ", 30},
    {"CM_DEALLOCATED_ABEND_TIMER  ", 31},
    {"CM_SVC_ERROR_NO_TRUNC  ", 32},
    {"CM_SVC_ERROR_PURGING  ", 33},
    {"CM_SVC_ERROR_TRUNC  ", 34},
    {"CM_TAKE_BACKOUT  ", 100},
    {"CM_DEALLOCATED_ABEND_BO  ", 130},
    {"CM_DEALLOCATED_ABEND_SVC_BO  ", 131},
    {"CM_DEALLOCATED_ABEND_TIMER_BO  ", 132},
    {"CM_RESOURCE_FAIL_NO_RETRY_BO  ", 133},
    {"CM_RESOURCE_FAILURE_RETRY_BO  ", 134},
    {"CM_DEALLOCATED_NORMAL_BO  ", 135},
    {"** dummy **", 0},
};

// APPC codes are held with their bytes reversed from the architected form.
constexpr ReturnCodeEntry kAppcPrimaryTable[] = {
    {"AP_PARAMETER_CHECK", 0x0100},
    {"AP_STATE_CHECK", 0x0200},
    {"AP_ALLOCATION_ERROR", 0x0300},
    {"AP_DEALLOC_ABEND", 0x0500},
    {"AP_DEALLOC_ABEND_PROG", 0x0600},
    {"AP_DEALLOC_ABEND_SVC", 0x0700},
    {"AP_DEALLOC_ABEND_TIMER", 0x0800},
    {"AP_DEALLOC_NORMAL", 0x0900},
    {"AP_PROG_ERROR_NO_TRUNC", 0x0C00},
    {"AP_PROG_ERROR_TRUNC", 0x0D00},
    {"AP_PROG_ERROR_PURGING", 0x0E00},
    {"AP_CONV_FAILURE_RETRY", 0x0F00},
    {"AP_CONV_FAILURE_NO_RETRY", 0x1000},
    {"AP_SVC_ERROR_NO_TRUNC", 0x1100},
    {"AP_SVC_ERROR_TRUNC", 0x1200},
    {"AP_SVC_ERROR_PURGING", 0x1300},
    {"AP_UNSUCCESSFUL", 0x1400},
    {"AP_CONVERSATION_TYPE_MIXED", 0x1900},
    {"AP_CANCELLED", 0x2100},
    {"AP_TP_BUSY", 0x02F0},
    {"AP_COMM_SUBSYSTEM_ABENDED", 0x03F0},
    {"AP_COMM_SUBSYSTEM_NOT_LOADED", 0x04F0},
    {"AP_CONV_BUSY", 0x05F0},
    {"AP_THREAD_BLOCKING", 0x06F0},
    {"AP_INVALID_VERB_SEGMENT", 0x08F0},
    {"AP_UNEXPECTED_DOS_ERROR", 0x11F0},
    {"AP_STACK_TOO_SMALL", 0x15F0},
    {"AP_INVALID_VERB", 0xFFFF},
    {"**dummy**", 0x0000},
};

constexpr ReturnCodeEntry kAppcSecondaryTable[] = {
    {"AP_BAD_TP_ID", 0x01000000},
    {"AP_BAD_CONV_ID", 0x02000000},
    {"AP_BAD_LU_ALIAS", 0x03000000},
    {"AP_INVALID_DATA_SEGMENT", 0x06000000},
    {"AP_BAD_CONV_TYPE", 0x11000000},
    {"AP_BAD_SYNC_LEVEL", 0x12000000},
    {"AP_BAD_SECURITY", 0x13000000},
    {"AP_BAD_RETURN_CONTROL", 0x14000000},
    {"AP_PIP_LEN_INCORRECT", 0x16000000},
    {"AP_NO_USE_OF_SNASVCMG", 0x17000000},
    {"AP_UNKNOWN_PARTNER_MODE", 0x18000000},
    {"AP_CONFIRM_ON_SYNC_LEVEL_NONE", 0x31000000},
    {"AP_DEALLOC_BAD_TYPE", 0x51000000},
    {"AP_DEALLOC_LOG_LL_WRONG", 0x57000000},
    {"AP_P_TO_R_INVALID_TYPE", 0xA1000000},
    {"AP_RCV_AND_WAIT_BAD_FILL", 0xB5000000},
    {"AP_RCV_IMMD_BAD_FILL", 0xC4000000},
    {"AP_RCV_AND_POST_BAD_FILL", 0xD5000000},
    {"AP_INVALID_SEMAPHORE_HANDLE", 0xD6000000},
    {"AP_INVALID_SESSION_ID", 0x12050000},
    {"AP_SEND_DATA_CONFIRM_SYNC_NONE", 0xF5000000},
    {"AP_BAD_PARTNER_LU_ALIAS", 0x5B010000},
    {"AP_BAD_RETURN_STATUS_WITH_DATA", 0xD7000000},
    {"AP_BAD_ERROR_DIRECTION", 0x05010000},
    {"AP_BAD_TYPE", 0x50020000},
    {"AP_SEND_DATA_NOT_LL_BDY", 0xF6000000},
    {"AP_BAD_LL", 0xF1000000},
    {"AP_SEND_DATA_INVALID_TYPE", 0xF4000000},
    {"AP_SEND_ERROR_LOG_LL_WRONG", 0x02010000},
    {"AP_SEND_ERROR_BAD_TYPE", 0x03010000},
    {"AP_TOO_MANY_TPS", 0x43020000},
    {"AP_UNDEFINED_TP_NAME", 0x06050000},
    {"AP_CONFIRM_BAD_STATE", 0x32000000},
    {"AP_CONFIRM_NOT_LL_BDY", 0x33000000},
    {"AP_CONFIRMED_BAD_STATE", 0x41000000},
    {"AP_DEALLOC_FLUSH_BAD_STATE", 0x52000000},
    {"AP_DEALLOC_CONFIRM_BAD_STATE", 0x53000000},
    {"AP_DEALLOC_NOT_LL_BDY", 0x55000000},
    {"AP_FLUSH_NOT_SEND_STATE", 0x61000000},
    {"AP_P_TO_R_NOT_LL_BDY", 0xA2000000},
    {"AP_P_TO_R_NOT_SEND_STATE", 0xA3000000},
    {"AP_RCV_AND_WAIT_BAD_STATE", 0xB1000000},
    {"AP_RCV_AND_WAIT_NOT_LL_BDY", 0xB2000000},
    {"AP_RCV_IMMD_BAD_STATE", 0xC1000000},
    {"AP_RCV_AND_POST_BAD_STATE", 0xD1000000},
    {"AP_RCV_AND_POST_NOT_LL_BDY", 0xD2000000},
    {"AP_R_T_S_BAD_STATE", 0xE1000000},
    {"AP_SEND_DATA_NOT_SEND_STATE", 0xF2000000},
    {"AP_ATTACH_MANAGER_INACTIVE", 0x08050000},
    {"AP_ALLOCATE_NOT_PENDING", 0x09050000},
    {"AP_INVALID_PROCESS", 0x25050000},
    {"AP_ALLOCATION_FAILURE_NO_RETRY", 0x04000000},
    {"AP_ALLOCATION_FAILURE_RETRY", 0x05000000},
    {"AP_SECURITY_NOT_VALID", 0x51600F08},
    {"AP_TRANS_PGM_NOT_AVAIL_RETRY", 0x31604B08},
    {"AP_TRANS_PGM_NOT_AVAIL_NO_RETRY", 0x00004C08},
    {"AP_TP_NAME_NOT_RECOGNIZED", 0x21600810},
    {"AP_PIP_NOT_ALLOWED", 0x31600810},
    {"AP_PIP_NOT_SPECIFIED_CORRECTLY", 0x32600810},
    {"AP_CONVERSATION_TYPE_MISMATCH", 0x34600810},
    {"AP_SYNC_LEVEL_NOT_SUPPORTED", 0x41600810},
    {"** dummy **                           ", 0x00000000},
};

// The host password service's verdict byte.
constexpr ReturnCodeEntry kHostStatusTable[] = {
    {"SIGNON/CHANGE OK", 0},
    {"SIGNON/CHANGE FAILED BAD USER", 1},
    {"SIGNON/CHANGE FAILED BAD PASSWORD", 2},
    {"SIGNON/CHANGE FAILED PASSWORD EXPIRED", 3},
    {"SIGNON/CHANGE FAILED NEW PASSWORD NOT ACCEPTABLE TO Hostex ESM", 4},
    {"SIGNON/CHANGE FAILED PERSISTENT SIGNON NOT ALLOWED BY LU", 5},
    {"SIGNON/CHANGE FAILED REQUEST FORMAT ERROR", 6},
    {"SIGNON/CHANGE FAILED GENERAL SECURITY FAILURE", 7},
    {"SIGNON/CHANGE OK BUT PERSISTENT SIGNON NOT ALLOWED BY LU   ", 8},
    {"** dummy **", 0},
};

// The local password exit program's return codes.
constexpr ReturnCodeEntry kPasswordExitTable[] = {
    {"Password changed successfully", 0},
    {"User not found", 1},
    {"Invalid password", 2},
    {"New password does not meet installation requirements", 3},
    {"Function not supported at this time", 16},
    {"System error encountered in user exit", 20},
    {"** dummy **", 0},
};

// The layouts, one a status type; those that begin with %s receive the
// numbered prefix line there.
// clang-format off
constexpr char kInfoPartnerLu[] =
    "\n"
    "INFORMATION %d.\n"
    "\n"
    "You are experiencing one of two possible\n"
    "error situations:\n"
    "\n"
    "1 - If %s is exactly the same as the lu name \n"
    "    you entered in the side information\n"
    "    profile %s, then you are using\n"
    "    an invalid value. Please contact you\n"
    "    network/system administrator for\n"
    "     a valid value and correct %s.\n"
    "\n"
    "2 - If %s is not exactly the same as the value \n"
    "    in the side information \n"
    "    profile %s, then please contact\n"
    "    your network/system \n"
    "    administrator. Run the command\n"
    "    again and include the \"-v\" option \n"
    "    to get more information for your\n"
    "    administator to work with, and pipe \n"
    "    the output to a file.\n"
    "\n"
    "You can easily work around the\n"
    "second problem for now, by either:\n"
    "\n"
    "a - adding \"-plu qualified_partner_lu_name\"\n"
    "    to the command you used. This will \n"
    "    force the value to be what you originally\n"
    "    specified in the symbolic destination %s.\n"
    "\n"
    "b - changing the side information profile %s \n"
    "    to name an alias for the partner lu instead.\n";
constexpr char kInfoTpNotRecognized[] =
    "\n"
    "INFORMATION %d.\n"
    "\n"
    "The partner lu is rejecting the transaction name\n"
    "it received in the request.\n"
    "You have successfuly established a session with\n"
    "the partner lu, but the partner lu does not provide\n"
    "the KSV service. There are a couple of specific  \n"
    "reasons why you might receive this error:\n"
    "\n"
    "1 - You are specifying the same partner lu as\n"
    "    you use for Linkway connections to Korvid Hostex.\n"
    "    The host database system does not provide a KSV server.\n"
    "    The host's APPC subsystem or the host transaction monitor\n"
    "    (at the two levels that support it) is required for a KSV server.\n"
    "\n"
    "2 - The side information profile does not\n"
    "    have the correct service transaction \n"
    "    x'06'F3F0F1 (x'06'301) entered. NOTE: This will\n"
    "    ONLY be the case if CPIC protocols were chosen \n"
    "    for this transmission instance. Issue the command \n"
    "    again, but with the \"-v\" option added. Look for \n"
    "    \"CPIC protocol used for this session ...... n\" \n"
    "    If n is 1, then this is definitely at least part of your\n"
    "    problem. Change the side information profile, and\n"
    "    run again. \n"
    "\n"
    "Please read the readme file, and/or issue a\n"
    "\"tarpon -M | more\" command for more information. \n"
    "on both these items.\n";
constexpr char kInfoSnaProduct[] =
    "\n"
    "INFORMATION %d.\n"
    "Sna product .....: %s (CPIC api used) (CPIC and APPC apis used) \n";
constexpr char kCminit[] =
    "%sApi .................................. %s\n"
    "Symbolic destination name ............ %s\n"
    "Return code .......................... %d (%#x)\n"
    "Return code text ..................... %s\n";
constexpr char kCpicCall[] =
    "%sApi .................................. %s\n"
    "Return code .......................... %d (%#x)\n"
    "Return code text ..................... %s\n";
constexpr char kAppcCodes[] =
    "Primary APPC return code ............. %4.4x\n"
    "Return code text ..................... %s\n"
    "Secondary APPC return code ........... %8.8x\n";
constexpr char kAppcSecondaryText[] =
    "Return code text ..................... %s\n";
constexpr char kAppcVerb[] =
    "%sApi .................................. %s\n"
    "%s%s";
constexpr char kErrorReported[] =
    "%sError reported from .................. %s\n"
    "Api .................................. %s\n";
constexpr char kServiceVerb[] =
    "%sApi .................................. %s\n"
    "Return code .......................... %d \n";
constexpr char kBadOption[] =
    "%sUnknown / conflicting / invalid \n"
    "option on command line ............. %s\n";
constexpr char kMissingParameter[] =
    "%sRequired parameter missing ........... %s\n";
constexpr char kMissingSideInfo[] =
    "%sRequired parameter missing ........... %s\n"
    "A Side Information profile is mandatory for this version\n"
    "of the utility program (only the CPIC API is active in the \n"
    "implementation of the utility). Please name a valid profile\n"
    "on one of the identified missing options.\n";
constexpr char kBadProgramInput[] =
    "%sBad program input. Check option ...... %s\n"
    "Return code .......................... %d\n"
    "Return code text ..................... %s\n";
constexpr char kMutuallyExclusive[] =
    "%sMutually exclusive parameters ........ %s\n";
constexpr char kServerIsSymdest[] =
    "%sThe server option has been interpreted to be a symbolic destination name,\n"
    "and is mutually exclusive with the symdest option used for that value.\n"
    "If you meant the server option to be a partner lu name, you have misspelled\n"
    "it, or there is a collision in the name spaces (you have a symdest name\n"
    "by the same name as a partner lu alias name). Either correct the \n"
    "spelling or use the explicit options.";
constexpr char kServerIsPlu[] =
    "%sThe server option has been interpreted to be a partner lu name,\n"
    "and is mutually exclusive with the explicit option used for that value.\n"
    "If you meant the server option to be interpreted as a symbolic \n"
    "destination name, then you have either \n"
    "misspelled it or the SNA communications server servicing tarpon\n"
    "has not been started, causing a misinterpretation (rerun using explicit .\n"
    "symdest option to test for this case).\n"
    "If you did mean to specify partner lu use the server option.\n"
    "or the plu option, but not both.\n";
constexpr char kServerPluAliasTooLong[] =
    "%sThe server option parameter has been interpreted to be a plu \n"
    "representing a partner lu alias. However the value is too large for that\n"
    "field type. Please reenter.\n";
constexpr char kPluAliasTooLong[] =
    "%sThe plu option parameter contains no \".\" and has been interpreted to be\n"
    "a partner lu alias. However the value is too large for that field type\n"
    "(at most 8 characters). Please reenter.\n";
constexpr char kServerQualifiedPluTooLong[] =
    "%sThe server option parameter has been interpreted to be a plu \n"
    "representing a qualified partner lu. However the value is too large for that\n"
    "field type. Please reenter.\n";
constexpr char kNoTerminal[] =
    "%sNo terminal attached, prompting disabled for options \n"
    "%s and %s. These options must be specified as input to the program.\n"
    "The tarpon service is either running\n"
    "on a server remote from your workstation, or in the background \n"
    "without a terminal. \n";
constexpr char kCpicStartup[] =
    "%sApi .................................. %s\n"
    "Return code text ..................... %s\n";
constexpr char kNoMemory[] =
    "%sSevere error. Memory allocation failure (%s, rc=%d).\n"
    "Please contact your system administrator.\n";
constexpr char kNoPasswordPrompt[] =
    "%sUnfortunately, there is no password prompt mechanism in this\n"
    "utility on your platform.\n"
    "Please rerun the program, specifying the old_password and new_password \n"
    "fields with the -p and -np switches (or /p and /np)\n";
constexpr char kPasswordChanged[] =
    "Password changed successfully.\n";
constexpr char kRequestFormatError[] =
    "%s%s\n"
    "Severe internal error detected.\n"
    "(Request message constructed with format error and rejected by host service TP).\n"
    "Please contact your product support personnel.\n"
    "Formatting error code .......... %2.2X%2.2X\n";
constexpr char kReplyGarbled[] =
    "%s%s:Severe internal error detected.\n"
    "(Reply from host service TP garbled).\n"
    "Try again, but if problem persist please contact your product support personnel.\n";
constexpr char kHostStatus[] =
    "%s%s:\n"
    "Status code .................... %2.2X\n"
    "Status code text ............... %s\n";
constexpr char kExitWithText[] =
    "%s%s\n"
    "ChangePasswordUserExitReturnCode ....: %d (%s)\n"
    "ChangePasswordUserExitTextString.....: %s\n";
constexpr char kExitWithoutText[] =
    "%s%s\n"
    "ChangePasswordUserExitReturnCode ....: %d (%s)\n";
// clang-format on

template <size_t N>
const char* Lookup(const ReturnCodeEntry (&table)[N], uint32_t code) {
  for (size_t i = 0; i + 1 < N; ++i) {
    if (table[i].value == code) return table[i].text;
  }
  return kTextNotAvailable;
}

// A missing text prints as nothing rather than reaching the formatter.
const char* Text(const char* text) { return text != nullptr ? text : ""; }

// What every formatter needs besides the status's own values.
struct Message {
  char* buffer;  // STATUS_BUFFER_SIZE bytes
  const char* prefix;
  const char* caller;
  const char* subject;
  int type;
};

// Each formatter below handles one family of status types: it formats the
// message and returns true, or returns false without touching values.

// The informational texts, which carry no error prefix.
bool FormatInformation(const Message& m, va_list values) {
  const size_t size = STATUS_BUFFER_SIZE;
  switch (m.type) {
    case STATUS_INFO_PARTNER_LU: {
      const char* symdest = Text(va_arg(values, const char*));
      const char* qplu = Text(va_arg(values, const char*));
      snprintf(m.buffer, size, kInfoPartnerLu, m.type, qplu, symdest, symdest,
               qplu, symdest, symdest, symdest);
      return true;
    }
    case STATUS_INFO_TP_NOT_RECOGNIZED:
      snprintf(m.buffer, size, kInfoTpNotRecognized, m.type);
      return true;
    case STATUS_INFO_SNA_PRODUCT:
      snprintf(m.buffer, size, kInfoSnaProduct, m.type,
               Text(va_arg(values, const char*)));
      return true;
    default:
      return false;
  }
}

// A failed CPI-C call: the call, its code and the code's name.
bool FormatCpic(const Message& m, va_list values) {
  if (m.type == STATUS_CPIC_CMINIT) {
    const char* symdest = Text(va_arg(values, const char*));
    const int rc = va_arg(values, int);
    snprintf(m.buffer, STATUS_BUFFER_SIZE, kCminit, m.prefix, m.subject,
             symdest, rc, static_cast<unsigned int>(rc),
             get_return_code_text(rc, RC_TABLE_CPIC));
    return true;
  }
  if (m.type < STATUS_CPIC_CMALLC || m.type > STATUS_CPIC_CMRCV) return false;
  const int rc = va_arg(values, int);
  snprintf(m.buffer, STATUS_BUFFER_SIZE, kCpicCall, m.prefix, m.subject, rc,
           static_cast<unsigned int>(rc),
           get_return_code_text(rc, RC_TABLE_CPIC));
  return true;
}

// A failed APPC verb: the verb and both its codes with their names. The
// codes print in their architected byte order, while the tables hold them
// as the verb interface does.
bool FormatAppc(const Message& m, va_list values) {
  switch (m.type) {
    case STATUS_APPC_TP_STARTED:
    case STATUS_APPC_ALLOCATE:
    case STATUS_APPC_SEND_DATA:
    case STATUS_APPC_RECEIVE_AND_WAIT:
    case STATUS_APPC_TP_ENDED:
      break;
    default:
      return false;
  }
  const uint16_t primary = static_cast<uint16_t>(va_arg(values, unsigned int));
  const uint32_t secondary = va_arg(values, unsigned int);
  char codes[kPieceSize];
  char secondary_text[kPieceSize];
  snprintf(codes, sizeof codes, kAppcCodes,
           static_cast<unsigned int>(host_to_network_byte_order(primary)),
           get_return_code_text(primary, RC_TABLE_APPC_PRIMARY),
           static_cast<unsigned int>(host_to_network_byte_order(secondary)));
  snprintf(secondary_text, sizeof secondary_text, kAppcSecondaryText,
           get_return_code_text(secondary, RC_TABLE_APPC_SECONDARY));
  snprintf(m.buffer, STATUS_BUFFER_SIZE, kAppcVerb, m.prefix, m.subject, codes,
           secondary_text);
  return true;
}

// The command line's problems that show one text from the caller.
bool FormatOptionText(const Message& m, va_list values) {
  const char* layout = nullptr;
  switch (m.type) {
    case STATUS_BAD_OPTION:
      layout = kBadOption;
      break;
    case STATUS_MISSING_PARAMETER:
      layout = kMissingParameter;
      break;
    case STATUS_MISSING_SIDE_INFO:
      layout = kMissingSideInfo;
      break;
    case STATUS_MUTUALLY_EXCLUSIVE:
      layout = kMutuallyExclusive;
      break;
    default:
      return false;
  }
  snprintf(m.buffer, STATUS_BUFFER_SIZE, layout, m.prefix,
           Text(va_arg(values, const char*)));
  return true;
}

// The command line's other problems: a refused value, a destination that
// cannot be resolved, passwords that cannot be asked for.
bool FormatOptionProblem(const Message& m, va_list values) {
  const size_t size = STATUS_BUFFER_SIZE;
  const char* fixed = nullptr;
  switch (m.type) {
    case STATUS_BAD_PROGRAM_INPUT: {
      const char* option = Text(va_arg(values, const char*));
      const int rc = va_arg(values, int);
      snprintf(m.buffer, size, kBadProgramInput, m.prefix, option, rc,
               get_return_code_text(rc, RC_TABLE_ARGUMENT));
      return true;
    }
    case STATUS_NO_TERMINAL: {
      const char* first = Text(va_arg(values, const char*));
      const char* second = Text(va_arg(values, const char*));
      snprintf(m.buffer, size, kNoTerminal, m.prefix, first, second);
      return true;
    }
    case STATUS_SERVER_IS_SYMDEST:
      fixed = kServerIsSymdest;
      break;
    case STATUS_SERVER_IS_PLU:
      fixed = kServerIsPlu;
      break;
    case STATUS_SERVER_PLU_ALIAS_TOO_LONG:
      fixed = kServerPluAliasTooLong;
      break;
    case STATUS_SERVER_QUALIFIED_PLU_TOO_LONG:
      fixed = kServerQualifiedPluTooLong;
      break;
    case STATUS_PLU_ALIAS_TOO_LONG:
      fixed = kPluAliasTooLong;
      break;
    case STATUS_NO_PASSWORD_PROMPT:
      fixed = kNoPasswordPrompt;
      break;
    default:
      return false;
  }
  snprintf(m.buffer, size, fixed, m.prefix);
  return true;
}

// Failures inside the engine and its platform services.
bool FormatEngineFailure(const Message& m, va_list values) {
  const size_t size = STATUS_BUFFER_SIZE;
  switch (m.type) {
    case STATUS_ERROR_REPORTED:
      snprintf(m.buffer, size, kErrorReported, m.prefix, m.caller, m.subject);
      return true;
    case STATUS_SERVICE_VERB:
      snprintf(m.buffer, size, kServiceVerb, m.prefix, m.subject,
               va_arg(values, int));
      return true;
    case STATUS_CPIC_STARTUP:
      snprintf(m.buffer, size, kCpicStartup, m.prefix, m.subject,
               Text(va_arg(values, const char*)));
      return true;
    case STATUS_NO_MEMORY:
      snprintf(m.buffer, size, kNoMemory, m.prefix, m.subject,
               va_arg(values, int));
      return true;
    default:
      return false;
  }
}

// The host's verdict, and the local change's.
bool FormatOutcome(const Message& m, va_list values) {
  const size_t size = STATUS_BUFFER_SIZE;
  switch (m.type) {
    case STATUS_PASSWORD_CHANGED:
      snprintf(m.buffer, size, "%s", kPasswordChanged);
      return true;
    case STATUS_REQUEST_FORMAT_ERROR: {
      // Each value is one byte of the code; a sign-extended char must not
      // print as eight digits.
      const unsigned int first = va_arg(values, int) & 0xFF;
      const unsigned int second = va_arg(values, int) & 0xFF;
      snprintf(m.buffer, size, kRequestFormatError, m.prefix, m.subject, first,
               second);
      return true;
    }
    case STATUS_REPLY_GARBLED:
      snprintf(m.buffer, size, kReplyGarbled, m.prefix, m.subject);
      return true;
    case STATUS_HOST_STATUS: {
      const unsigned int status = va_arg(values, int) & 0xFF;
      snprintf(m.buffer, size, kHostStatus, m.prefix, m.subject, status,
               get_return_code_text(status, RC_TABLE_HOST_STATUS));
      return true;
    }
    case STATUS_EXIT_RETURN_CODE: {
      const char* text = va_arg(values, const char*);
      const int rc = va_arg(values, int);
      const char* rc_text = get_return_code_text(rc, RC_TABLE_PASSWORD_EXIT);
      if (text != nullptr) {
        snprintf(m.buffer, size, kExitWithText, m.prefix, m.subject, rc,
                 rc_text, text);
      } else {
        snprintf(m.buffer, size, kExitWithoutText, m.prefix, m.subject, rc,
                 rc_text);
      }
      return true;
    }
    default:
      return false;
  }
}

void WriteFallback(const char* prefix, const char* caller, uint8_t statusType) {
  program_output()
      << prefix << "A severe internal programming error has been detected.\n"
      << "reportStatus() called from " << caller
      << "with invalid statusType= " << static_cast<int>(statusType) << "\n"
      << "Cannot report status of a run time error detected by this "
         "program.\nPlease contact your product support personnel."
      << "\n"
      << std::flush;
}

}  // namespace

void report_status(const char* caller, const char* subject, int statusType,
                   ...) {
  TraceScope scope("report_status()", TRACE_OFF);
  char buffer[STATUS_BUFFER_SIZE];
  memset(buffer, 0, sizeof buffer);
  va_list values;
  va_start(values, statusType);
  build_status_string(buffer, caller, subject, statusType, values);
  va_end(values);
  program_output() << buffer << std::flush;
}

void build_status_string(char* buffer, const char* caller, const char* subject,
                         uint8_t statusType, va_list values) {
  TraceScope scope("build_status_string()", TRACE_OFF);
  // A request reports few types, mostly one: the last prefix is kept.
  thread_local int lastType = -1;
  thread_local char prefix[kPrefixSize];
  if (lastType != statusType) {
    snprintf(prefix, sizeof prefix, kPrefix, static_cast<int>(statusType),
             KSV_VERSION_TEXT);
    lastType = statusType;
  }
  const Message m = {buffer, prefix, Text(caller), Text(subject), statusType};
  // At most one formatter takes the values; the others leave them alone.
  if (FormatInformation(m, values) || FormatCpic(m, values) ||
      FormatAppc(m, values) || FormatOptionText(m, values) ||
      FormatOptionProblem(m, values) || FormatEngineFailure(m, values) ||
      FormatOutcome(m, values)) {
    return;
  }
  WriteFallback(prefix, m.caller, statusType);
}

const char* get_return_code_text(uint32_t code, int selector) {
  TraceScope scope("get_return_code_text()", TRACE_OFF);
  switch (selector) {
    case RC_TABLE_CPIC:
      return Lookup(kCpicTable, code);
    case RC_TABLE_APPC_PRIMARY:
      return Lookup(kAppcPrimaryTable, code);
    case RC_TABLE_APPC_SECONDARY:
      return Lookup(kAppcSecondaryTable, code);
    case RC_TABLE_HOST_STATUS:
      return Lookup(kHostStatusTable, code);
    case RC_TABLE_ARGUMENT:
      return ArgumentGetReturnCodeText(static_cast<int>(code));
    case RC_TABLE_PASSWORD_EXIT:
      return Lookup(kPasswordExitTable, code);
    default:
      return kTableNotAvailable;
  }
}

void advise_user(uint32_t code, int selector) {
  TraceScope scope("advise_user()", TRACE_OFF);
  constexpr uint32_t kCpicTpnNotRecognized = 9;
  constexpr uint32_t kAppcTpNameNotRecognized = 0x21600810;
  if ((selector == RC_TABLE_CPIC && code == kCpicTpnNotRecognized) ||
      (selector == RC_TABLE_APPC_SECONDARY &&
       code == kAppcTpNameNotRecognized)) {
    report_status("advise_user()", "", STATUS_INFO_TP_NOT_RECOGNIZED);
  }
}

uint32_t host_to_network_byte_order(uint32_t value) {
  TraceScope scope("host_to_network_byte_order(unsigned long)", TRACE_OFF);
  return ((value & 0x000000FFu) << 24) | ((value & 0x0000FF00u) << 8) |
         ((value & 0x00FF0000u) >> 8) | ((value & 0xFF000000u) >> 24);
}

uint16_t host_to_network_byte_order(uint16_t value) {
  TraceScope scope("host_to_network_byte_order(unsigned short)", TRACE_OFF);
  return static_cast<uint16_t>(((value & 0x00FFu) << 8) |
                               ((value & 0xFF00u) >> 8));
}
