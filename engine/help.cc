#include "engine/help.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "engine/status.h"
#include "trace/hex_dump.h"
#include "trace/program_output.h"
#include "trace/trace.h"

namespace {

// Every dump label is this wide, so that values and dump rows line up.
constexpr int32_t kLabelWidth = 55;

const char* const kShortUsage[] = {
    "\nVeltrix Korvid Common Server utility program.\n",
    "Keysaver (KSV) Client V",
    nullptr,  // the version text
    "\nCommand syntax:\n\n"
    "tarpon  -u user  -p old_password  -np new_password    \\ \n"
    "        -s service_location_name              \\ \n"
    "        -sd sym_dest_name                      \\ \n"
    "        -plu partner_luname_or_alias              \\ \n"
    "        -m modename -lu local_lu_name_or_alias -v  -M  -? -comapi  \n\n",
    "Options may be entered in any order on the command line.\n",
    "Enter \"tarpon -M | more \" on the command line \n",
    "for details on above options.\n",
    "Briefest command possible, if your environment is setup:\n",
    "tarpon -u user -p password -np newpassword -s service_location_name  \n",
    "tarpon -u user -p password -np newpassword -plu partner_luname_or_alias  "
    "\n",
    "tarpon -u user -p password -np newpassword -sd side_information_profile  "
    "\n",
};

// The blocks of the full page, each written after an empty line.
const char* const kFullPage[] = {
    // Switch syntax.
    "A forward slash \"/\" may replace the minus sign of any switch,\n"
    "for example \"/v\" for \"-v\". The value of a switch that takes one\n"
    "must be separated from the switch by at least one blank,\n"
    "for example \"-u username\".\n",

    "-u  user ; mandatory\n"
    "    The logon id at the host whose password is to be maintained.\n",

    "-p  old_password\n"
    "-np new_password.\n"
    "    These values are obviously mandatory.  \n"
    "    Some platforms prompt for them securely when they are omitted;\n"
    "    others answer with an error that asks for them on the command "
    "line.\n",

    "-s  KSV service_location_name \n"
    "    A generic way to name the host service. The value may stand for\n"
    "    a -sd or a -plu value: the program decides which by searching the\n"
    "    partner lu profiles and the symbolic destination profiles (CPI-C\n"
    "    side information), and then uses it exactly as it would use the\n"
    "    option it inferred.\n",

    "-sd symbolic_destination_name \n"
    "    A CPI-C symbolic destination, naming a side information profile.\n"
    "    Optional field."
    "    Information in this entry is used to :\n"
    "      - supply the partner lu name,\n"
    "      - supply the mode name,\n"
    "      - set the conversation security, which MUST be set to NONE,\n"
    "      - supply the TP name, which must be the KSV service TP\n"
    "        x'06F3F0F1' (or x'06'301).\n",

    "-plu partner_lu_name \n"
    "    Either a fully qualified name, NETWORKID.APPLID, or an alias known\n"
    "    locally. In most SNA implementations the ALIAS is case sensitive.\n"
    "    An alias needs a partner lu profile in the local communications\n"
    "    manager; a profile may be needed anyway when the link to the host\n"
    "    is not to an APPN network.\n"
    "    The partner lu is the APPC lu of one of the host subsystems that\n"
    "    support the transaction: the host's APPC subsystem, or the host\n"
    "    transaction monitor at either of the two levels that support it.\n"
    "    Obtain it from your system or network administrator.\n",

    "-local \n"
    "    Requests the password maintenance on the machine that serves the\n"
    "    request (the local client or the gateway) through a local password\n"
    "    exit program, instead of the host service. It is assumed when\n"
    "    -s, -sd and -plu are all omitted.\n"
    "    It may cause error messages when used with -s, -sd, -plu,\n"
    "    -lu, -m, -cpic."
    "    Mutually exclusive with these parameters.\n ",

    "-lu local_lu_alias\n"
    "    This option can usually be ignored.\n"
    "    It overrides the default local lu where the platform allows it.\n"
    "    How each platform overrides the local lu:\n"
    "    Emulated SNA node appc : -lu lu_name         \n"
    "                      cpic : environment var APPCLLU \n"
    "    Naming the local lu may fail where the communications api does\n"
    "    not support it.\n"
    "    Note: the default local lu (the control point name on some nodes)\n"
    "    can make the allocation fail when it equals the PU name of the\n"
    "    node. This needs a different control point name and changes to\n"
    "    the host network access method (Netvox).\n",

    "-m  mode-name  \n"
    "    This option can usually be ignored.\n"
    "    Names the logmode for the session. It overrides the mode of the\n"
    "    symbolic destination entry.\n"
    "    This value is defaulted to \"#BATCH\"  \n"
    "    if no sym_dest is not used.",

    "-v  Produces diagnostic information, which may be piped to a file.\n"
    "    This information is useful for your system/network administrators\n"
    "    or Veltrix support personnel.\n",

    "-?  Print a command syntax summary to stdout.\n",

    "-comapi  Print the SNA product name \n"
    "    and the communications apis used in this version. It also tells\n"
    "    whether a CPI-C side information entry is required (when only the\n"
    "    CPI-C api is active) or optional.\n",

    "-M  Print a full command syntax and usage to stdout.\n",

    "Usage notes: \n\n"
    " 1 - A host operating system or transaction monitor level that\n"
    "     provides the KSV service.\n"
    " 2 - The host security manager at the required level, or a security\n"
    "     manager that complies with the KSV service's published definition.\n"
    " 3 - An installed and configured SNA product. \n"
    "     See the readme file for a list.\n"
    "     On a configured \"Linkway\" workstation point 3 is already met.\n"
    "     The service TP is well known and documented elsewhere.\n",

    "   A footnote on the discussion of APPC vs CPIC api:\n"
    "   The program uses the APPC api where possible, because it needs less\n"
    "   configuration and gives more detailed error codes. Side information\n"
    "   profiles are supported for the APPC versions too. The CPI-C api is\n"
    "   more portable, and may be the only one on some platforms. The -v\n"
    "   output and the communications error messages show which api is in\n"
    "   use.\n",
};

// The bytes as two lower-case hexadecimal digits each, no separators.
std::string HexBytes(const unsigned char* bytes, size_t count) {
  std::string text;
  char scratch[3];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(scratch, sizeof scratch, "%02x", bytes[i]);
    text += scratch;
  }
  return text;
}

// Text of a fixed array that may lack its terminator.
std::string BoundedText(const char* text, size_t size) {
  const void* end = std::memchr(text, '\0', size);
  size_t length =
      end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - text)
                     : size;
  return std::string(text, length);
}

void DumpBuffer(std::ostream& out, const char* label,
                const unsigned char* buffer, int32_t size) {
  out << label;
  // print_hex writes to the same stream; hand it what is pending first.
  out.flush();
  print_hex(buffer, buffer != nullptr ? size : 0, kLabelWidth);
  out << "\n";
}

}  // namespace

void print_program_man_page(uint8_t shortOnly) {
  TraceScope scope("print_program_man_page()", TRACE_OFF);
  // The texts never change, so each is put together once and written whole.
  static const std::string kUsage = [] {
    std::string text;
    for (const char* piece : kShortUsage) {
      text += piece != nullptr ? piece : KSV_VERSION_TEXT;
    }
    return text;
  }();
  static const std::string kPage = [] {
    std::string text;
    for (const char* block : kFullPage) (text += "\n") += block;
    return text;
  }();
  std::ostream& out = program_output();
  out.write(kUsage.data(), static_cast<std::streamsize>(kUsage.size()));
  if (shortOnly != 1) {
    out.write(kPage.data(), static_cast<std::streamsize>(kPage.size()));
  }
  out.flush();
}

namespace {

// What --help adds after the short usage: the switches the usage does not
// show, the environment, and when the SNA node is needed.
const char kBeyondUsage[] =
    "\nFurther options:\n"
    "  -d name      the database whose catalogue names the symbolic "
    "destination\n"
    "  -local       the change on this machine (not available)\n"
    "  -cpic        reach the host through CPI-C instead of APPC\n"
    "  -noterm      never prompt for a password\n"
    "  -log         a log fragment naming the user and the host on "
    "standard error\n"
    "  -ftrace      trace every function entered on standard error\n"
    "  --version    print the version; --help this text (exit status 0)\n"
    "\n"
    "-?, -M and -comapi start the SNA node first, as every request does:\n"
    "without it (TARPON_SNA_NODE names the emulated node's "
    "configuration)\n"
    "they end with ERROR 46 and exit status 8. --help and --version need no "
    "node.\n"
    "See tarpon(1).\n";

}  // namespace

int print_help_without_node() {
  print_program_man_page(1);
  std::ostream& out = program_output();
  out << kBeyondUsage << std::flush;
  return out ? 0 : 1;
}

namespace {

// The control block's names and conversation, up to the buffers.
void PrintConversation(std::ostream& out, CCB_PTR ccb) {
  char scratch[16];
  out << "\n";
  out << "Symbolic destination name ............................ "
      << ccb->symbolicDestination.print() << "\n";
  out << "Local lu alias ....................................... "
      << ccb->localLuAlias.print() << "\n";
  out << "Partner Lu alias ..................................... "
      << ccb->partnerLuAlias.print() << "\n";
  out << "Qualified partner lu name ............................ "
      << ccb->qualifiedPartnerLuName.print() << "\n";
  out << "Mode name ............................................ "
      << ccb->modeName.print() << "\n";
  out << "User ................................................. "
      << BoundedText(ccb->user, sizeof ccb->user) << "\n";
  out << "CPIC protocol used for this session? ................. "
      << ccb->cpicUsed << "\n";
  out << "CPIC conversation Id ................................. "
      << HexBytes(ccb->cpicConversationId, sizeof ccb->cpicConversationId)
      << "\n";
  out << "APPC supported on this platform? ..................... "
      << ccb->appcSupported << "\n";
  std::snprintf(scratch, sizeof scratch, "%08x",
                static_cast<unsigned>(
                    host_to_network_byte_order(ccb->appcConversationId)));
  out << "APPC conversation ID ................................. " << scratch
      << "\n";
  out << "APPC TPID ............................................ "
      << HexBytes(ccb->appcTpId, sizeof ccb->appcTpId) << "\n";
  // With CPI-C the TP name comes from the side information profile.
  out << "Remote TP name (EBCDIC) .............................. "
      << (ccb->cpicUsed == 0 ? "06f3f0f1" : "00000000") << "\n";
}

}  // namespace

void print_CCB(CCB_PTR ccb) {
  TraceScope scope("print_CCB()", TRACE_OFF);
  if (ccb == nullptr || ccb->verbose == 0) return;
  std::ostream& out = program_output();
  PrintConversation(out, ccb);
  out << "Gds request data length (sent) ....................... "
      << ccb->requestLength << "\n";
  out << "Gds request buffer size .............................. "
      << ccb->requestBufferSize << "\n";
  out << "Gds reply data length (received) ..................... "
      << ccb->replyLength << "\n";
  out << "Gds reply buffer size ................................ "
      << ccb->replyBufferSize << "\n";
  out.flush();

  DumpBuffer(out, "Gds request buffer in dump format .................... ",
             ccb->requestBuffer, ccb->requestBufferSize);
  DumpBuffer(out, "Gds reply buffer in dump format ...................... ",
             ccb->replyBuffer, ccb->replyBufferSize);

  char version[16];
  std::snprintf(version, sizeof version, "v%2xr%2x",
                static_cast<unsigned>(ccb->cpicVersion[0]),
                static_cast<unsigned>(ccb->cpicVersion[1]));
  out << "CPIC api version ..................................... " << version
      << "\n";
  out << "CPIC api description ................................. "
      << BoundedText(ccb->cpicDescription, sizeof ccb->cpicDescription) << "\n";
  out << "\n";
  out.flush();
}

void write_log_record(CCB_PTR ccb) {
  TraceScope scope("write_log_record()", TRACE_OFF);
  if (ccb == nullptr || ccb->logRequested == 0) return;
  const char* host = "";
  if (ccb->localChange == 1) {
    host = "local";
  } else if (ccb->qualifiedPartnerLuName.isSet()) {
    host = ccb->qualifiedPartnerLuName.print();
  } else if (ccb->partnerLuAlias.isSet()) {
    host = ccb->partnerLuAlias.print();
  }
  std::ostream& log = trace_log();
  log << "user(";
  log.write(ccb->user,
            static_cast<std::streamsize>(strnlen(ccb->user, sizeof ccb->user)));
  log << ") @host(";
  log.write(host, static_cast<std::streamsize>(
                      strnlen(host, CCB_QUALIFIED_NAME_LENGTH)));
  log << ") ";
}
