#include "engine/options.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "engine/argument.h"
#include "engine/cpic_binding.h"
#include "engine/help.h"
#include "engine/status.h"
#include "engine/tarpon.h"
#include "prompt/password_prompt.h"
#include "trace/trace.h"

namespace {

const char* const kReporter = "process_input_parameters()";
const char* const kDefaultMode = "#BATCH";
const char* const kSnaProduct = "Tarpon emulated SNA node";
constexpr unsigned int kShortValue = CCB_NAME_LENGTH;  // user, passwords
static_assert(kShortValue == PASSWORD_PROMPT_HOST_LENGTH,
              "the prompt refuses what the request cannot hold");
constexpr unsigned int kLongValue = CCB_QUALIFIED_NAME_LENGTH;  // "-s", "-plu"

// Which options the command line holds, learnt before anything is taken.
struct Presence {
  int d, sd, plu, m, lu, s, u, p, np;
  int cpic, log, comapi, ftrace, v, help, manual, noterm, local;
};

// The argument vector as the steps consume it, and the return code so far.
struct Scan {
  unsigned int count;
  char** argv;
  int rc;
};

// Takes the value of a separate-style option into value (size + 1 bytes).
// A refusal is reported and makes the return code TARPON_RC_BAD_OPTION;
// returns whether the value came.
bool take_value(Scan* scan, const char* key, char* value, unsigned int size) {
  int code = Argument(&scan->count, scan->argv, key, ARGUMENT_STYLE_SEPARATE,
                      ARGUMENT_DELETE, value, size);
  if (code == ARGUMENT_RC_OK) return true;
  report_status(kReporter, "Argument()", STATUS_BAD_PROGRAM_INPUT, key, code);
  scan->rc = TARPON_RC_BAD_OPTION;
  return false;
}

void refuse(Scan* scan, int statusType, const char* text = "") {
  report_status(kReporter, "", statusType, text);
  scan->rc = TARPON_RC_BAD_OPTION;
}

// Joins argv[1..count-1], each followed by one blank, into area. Arguments
// that no longer fit are left out as a whole and "..." marks the cut.
void join_leftovers(unsigned int count, char** argv, char* area, size_t size) {
  static const char kCut[] = "...";
  size_t used = 0;
  area[0] = '\0';
  for (unsigned int i = 1; i < count; ++i) {
    size_t length = std::strlen(argv[i]);
    bool last = i + 1 == count;
    // Room for this argument and its blank, and for the cut mark unless this
    // is the last argument.
    size_t need = length + 1 + (last ? 0 : sizeof kCut - 1);
    if (used + need >= size) {
      std::snprintf(area + used, size - used, "%s", kCut);
      return;
    }
    std::snprintf(area + used, size - used, "%s ", argv[i]);
    used += length + 1;
  }
}

// The options find_options looks for: value options stay in the vector for
// their own step, flags are taken out at once.
struct KnownOption {
  const char* name;  // after the leading "-" or "/"
  int Presence::*field;
  bool remove;
};
constexpr KnownOption kKnownOptions[] = {
    {"d", &Presence::d, false},          {"sd", &Presence::sd, false},
    {"plu", &Presence::plu, false},      {"m", &Presence::m, false},
    {"lu", &Presence::lu, false},        {"s", &Presence::s, false},
    {"u", &Presence::u, false},          {"p", &Presence::p, false},
    {"np", &Presence::np, false},        {"cpic", &Presence::cpic, true},
    {"log", &Presence::log, true},       {"comapi", &Presence::comapi, true},
    {"ftrace", &Presence::ftrace, true}, {"v", &Presence::v, true},
    {"?", &Presence::help, true},        {"M", &Presence::manual, true},
    {"noterm", &Presence::noterm, true}, {"local", &Presence::local, true},
};
constexpr size_t kKnownOptionCount =
    sizeof kKnownOptions / sizeof *kKnownOptions;

// Learns which options are present in one pass over the vector: a switch
// entry (after "-" or "/") that equals an option's name marks it present,
// and the first entry of each flag is deleted, as Argument() does for one
// key at a time.
Presence find_options(Scan* scan) {
  Presence is = {};
  bool removed[kKnownOptionCount] = {};
  for (unsigned int index = 1; index < scan->count;) {
    const char* entry = scan->argv[index];
    bool deleted = false;
    if (entry != nullptr && (entry[0] == '-' || entry[0] == '/')) {
      const char* name = entry + 1;
      for (size_t k = 0; k < kKnownOptionCount; ++k) {
        const KnownOption& option = kKnownOptions[k];
        if (option.name[0] != name[0] || std::strcmp(option.name, name) != 0) {
          continue;
        }
        is.*option.field = 1;
        if (option.remove && !removed[k]) {
          removed[k] = true;
          ArgumentDelete(&scan->count, scan->argv, index);
          deleted = true;
        }
        break;
      }
    }
    if (!deleted) ++index;
  }
  return is;
}

// Refuses the combinations of destination options that cannot go together.
// Returns whether "-lu" is to be ignored (CPI-C takes the local LU from the
// environment).
bool check_destination_options(Scan* scan, const Presence& is) {
  bool ignoreLu = false;
  if (is.cpic) {
    if (!is.sd && !is.d && !is.s) {
      refuse(scan, STATUS_MISSING_PARAMETER, "-d -sd -s ");
    } else {
      ignoreLu = true;
    }
  }
  if (is.s && is.sd && is.plu) {
    refuse(scan, STATUS_MUTUALLY_EXCLUSIVE,
           "SERVER_SWITCH SYMDEST_SWITCH PLU_SWITCH ");
  }
  if (is.d && is.sd) {
    refuse(scan, STATUS_MUTUALLY_EXCLUSIVE, "SYMDEST_SWITCH DATABASE_SWITCH ");
  }
  return ignoreLu;
}

// Takes "-d", "-sd" and "-s" and resolves what "-s" names.
void take_destination(Scan* scan, const Presence& is, bool cpic, CCB_PTR ccb) {
  char value[kLongValue + 1];
  if (is.d && take_value(scan, "-d", value, kShortValue)) {
    ccb->databaseName.set(value, kShortValue);
  }
  if (is.sd && take_value(scan, "-sd", value, kShortValue)) {
    ccb->symbolicDestination.set(value, kShortValue);
  }
  if (is.s && take_value(scan, "-s", value, kLongValue)) {
    if (cpic) {
      // A value too long for a profile name leaves the symbolic
      // destination unset, which the next check reports.
      ccb->symbolicDestination.set(value, kShortValue);
    } else {
      ccb->serverName.set(value, kLongValue);
      if (process_input_parameters_server(value, is.sd, is.plu, ccb) != 0) {
        scan->rc = TARPON_RC_BAD_OPTION;
      }
    }
  }
  if (cpic && ccb->symbolicDestination.isNotSet()) {
    refuse(scan, STATUS_MISSING_SIDE_INFO, "-sd -s ");
  }
}

// Takes "-plu", "-m" (or its default) and "-lu".
void take_partner_and_mode(Scan* scan, const Presence& is, bool ignoreLu,
                           CCB_PTR ccb) {
  char value[kLongValue + 1];
  if (is.plu && take_value(scan, "-plu", value, kLongValue)) {
    if (std::strchr(value, '.') != nullptr) {
      ccb->qualifiedPartnerLuName.set(value, kLongValue);
    } else if (std::strlen(value) <= kShortValue) {
      ccb->partnerLuAlias.set(value, kShortValue);
    } else {
      refuse(scan, STATUS_PLU_ALIAS_TOO_LONG);
    }
  }
  if (is.m) {
    // A missing or overlong mode is refused like any other value: left
    // unset, it would reach the SNA product as no mode at all.
    if (take_value(scan, "-m", value, kShortValue)) {
      ccb->modeName.set(value, kShortValue);
    }
  } else if (!is.sd && !(ccb->conversationInitialized == 1 && is.s)) {
    ccb->modeName.set(kDefaultMode, kShortValue);
  }
  if (is.lu && !ignoreLu && take_value(scan, "-lu", value, kShortValue)) {
    ccb->localLuAlias.set(value, kShortValue);
  }
}

// Takes the user and the passwords given, and the flags kept in the block.
// A missing password is left for the prompt.
void take_credentials(Scan* scan, const Presence& is, CCB_PTR ccb) {
  if (is.u) {
    take_value(scan, "-u", ccb->user, kShortValue);
  } else {
    refuse(scan, STATUS_MISSING_PARAMETER, "-u");
  }
  if (is.p) take_value(scan, "-p", ccb->oldPassword, kShortValue);
  if (is.np) take_value(scan, "-np", ccb->newPassword, kShortValue);
  if (is.v) ccb->verbose = 1;
  if (is.cpic) ccb->cpicUsed = 1;
  if (is.log) ccb->logRequested = 1;
}

// Reports arguments that no step took; they make a help request. Returns
// whether there were any.
bool report_leftovers(const Scan& scan) {
  if (scan.count <= 1) return false;
  char leftovers[LEFTOVER_AREA_SIZE];
  join_leftovers(scan.count, scan.argv, leftovers, sizeof leftovers);
  report_status(kReporter, "", STATUS_BAD_OPTION, leftovers);
  return true;
}

// Asks on the terminal for the passwords the command line left out: only
// for a request that is otherwise complete and goes to a host, so that
// nothing is asked for that would not be sent.
void prompt_for_passwords(Scan* scan, const Presence& is, CCB_PTR ccb) {
  if (is.noterm || ccb->localChange == 1) return;
  if (!is.p && scan->rc == TARPON_RC_OK &&
      get_password_safely(ccb->oldPassword, kShortValue, PASSWORD_PROMPT_OLD,
                          nullptr) != 0) {
    scan->rc = TARPON_RC_NO_PASSWORD;
  }
  if (!is.np && scan->rc == TARPON_RC_OK &&
      get_password_safely(ccb->newPassword, kShortValue, PASSWORD_PROMPT_NEW,
                          PASSWORD_PROMPT_VERIFY) != 0) {
    scan->rc = TARPON_RC_NO_PASSWORD;
  }
}

// Reads the request's options: the destination on the host path, then the
// user and the passwords. Returns whether arguments were left over.
bool read_request(Scan* scan, Presence* is, CCB_PTR ccb) {
  if (!is->d && !is->sd && !is->s && !is->plu) is->local = 1;
  if (is->noterm && (!is->p || !is->np)) {
    report_status(kReporter, "", STATUS_NO_TERMINAL, "-p", "-np");
    scan->rc = TARPON_RC_BAD_OPTION;
  }
  if (is->local) ccb->localChange = 1;
  if (ccb->localChange == 0) {
    bool ignoreLu = check_destination_options(scan, *is);
    take_destination(scan, *is, is->cpic || ccb->cpicUsed, ccb);
    take_partner_and_mode(scan, *is, ignoreLu, ccb);
  }
  take_credentials(scan, *is, ccb);
  if (scan->rc == TARPON_RC_OK && report_leftovers(*scan)) return true;
  prompt_for_passwords(scan, *is, ccb);
  return false;
}

// Prints the help and the product information asked for.
void answer_help(Scan* scan, const Presence& is) {
  if (is.help) {
    print_program_man_page(is.manual ? 0 : 1);
    scan->rc = TARPON_RC_INFORMATION;
  } else if (is.manual) {
    print_program_man_page(0);
    scan->rc = TARPON_RC_INFORMATION;
  }
  if (is.comapi) {
    report_status(kReporter, "", STATUS_INFO_SNA_PRODUCT, kSnaProduct);
    scan->rc = TARPON_RC_INFORMATION;
  }
}

}  // namespace

int process_input_parameters(int argc, char** argv, CCB_PTR ccb) {
  int rc = TARPON_RC_OK;
  TraceScope scope("process_input_parameters(argc,argv,ccbPtr)", &rc,
                   TRACE_OFF);
  Scan scan = {argc > 0 ? static_cast<unsigned int>(argc) : 0, argv,
               TARPON_RC_OK};
  Presence is = find_options(&scan);
  if (is.ftrace) {
    ccb->traceSwitchGiven = 1;
    ccb->savedTraceFlags = set_trace_flags(TRACE_ON);
  }
  if (scan.count <= 1) is.help = 1;
  if (!is.help && !is.manual && !is.comapi && read_request(&scan, &is, ccb)) {
    is.help = 1;
  }
  answer_help(&scan, is);
  rc = scan.rc;
  return rc;
}

bool take_out_flags(unsigned int* count, char** argv) {
  Scan scan = {*count, argv, TARPON_RC_OK};
  Presence is = find_options(&scan);
  *count = scan.count;
  return is.local != 0;
}

int process_input_parameters_server(const char* server, int symdestGiven,
                                    int pluGiven, CCB_PTR ccb) {
  int rc = 0;
  TraceScope scope("process_input_parameters_server()", &rc, TRACE_OFF);
  const char* reporter = "process_input_parameter_server()";

  // Only a name that fits a profile name is probed; the probe is silent.
  if (ccb->serverName.isSet() && ccb->serverName.length() <= kShortValue &&
      cminit_internal(ccb->cpicConversationId, ccb->serverName.getPadUpper(),
                      nullptr) == 0) {
    if (!symdestGiven) {
      ccb->symbolicDestination.set(server, kShortValue);
      ccb->conversationInitialized = 1;
    } else {
      report_status(reporter, "", STATUS_SERVER_IS_SYMDEST);
      rc = TARPON_RC_BAD_OPTION;
    }
  }

  if (rc == 0 && ccb->symbolicDestination.isNotSet()) {
    if (pluGiven) {
      report_status(reporter, "", STATUS_SERVER_IS_PLU);
      rc = TARPON_RC_BAD_OPTION;
    } else if (std::strchr(server, '.') != nullptr) {
      if (ccb->qualifiedPartnerLuName.set(server, kLongValue) != 0) {
        report_status(reporter, "", STATUS_SERVER_QUALIFIED_PLU_TOO_LONG);
        rc = TARPON_RC_BAD_OPTION;
      }
    } else if (ccb->partnerLuAlias.set(server, kShortValue) != 0) {
      report_status(reporter, "", STATUS_SERVER_PLU_ALIAS_TOO_LONG);
      rc = TARPON_RC_BAD_OPTION;
    }
  }
  return rc;
}

int process_input_files(CCB_PTR ccb) {
  int rc = 0;
  TraceScope scope("process_input_files()", &rc, TRACE_OFF);
  const char* reporter = "process_input_files()";

  if (ccb->databaseName.isSet()) {
    char symdest[kShortValue + 1] = "";
    if (get_symdest_from_database(symdest, ccb->databaseName.get()) == 0) {
      ccb->symbolicDestination.set(symdest, kShortValue);
    }
  }

  if (ccb->symbolicDestination.isSet()) {
    if (ccb->conversationInitialized == 0) {
      rc = cminit_internal(ccb->cpicConversationId,
                           ccb->symbolicDestination.getPadUpper(), reporter);
      ccb->conversationInitialized = 1;
    }
    char qualified[CPIC_PARTNER_LU_NAME_SIZE] = "";
    char alias[CPIC_PARTNER_LU_ALIAS_SIZE] = "";
    char mode[CPIC_MODE_NAME_SIZE] = "";
    if (rc == 0) {
      rc = cmepln_internal(ccb->cpicConversationId, qualified, alias, reporter);
    }
    if (rc == 0) rc = cmemn_internal(ccb->cpicConversationId, mode, reporter);
    if (rc == 0) {
      if (ccb->qualifiedPartnerLuName.isNotSet() &&
          ccb->partnerLuAlias.isNotSet()) {
        if (qualified[0] != '\0') {
          ccb->qualifiedPartnerLuName.set(qualified, kLongValue);
          ccb->partnerLuFromSideInfo = 1;
        } else if (alias[0] != '\0') {
          ccb->partnerLuAlias.set(alias, kShortValue);
        }
      }
      if (ccb->modeName.isNotSet() && mode[0] != '\0') {
        ccb->modeName.set(mode, kShortValue);
      }
    }
  }
  return rc;
}

int get_symdest_from_database(char*, const char*) {
  int rc = SYMDEST_DATABASE_NOT_DEVELOPED;
  TraceScope scope("get_symdest_from_database()", &rc, TRACE_OFF);
  std::cerr << "get_symdest_from_database()"
            << " : code not developed"
            << "\n"
            << std::flush;
  return rc;
}

int get_password_safely(char* destination, int maxLength, const char* prompt,
                        const char* verificationPrompt) {
  int rc = PASSWORD_NOT_READ;
  TraceScope scope("get_password_safely()", &rc, TRACE_OFF);
  const char* reporter = "get_password_safely()";
  if (destination == nullptr || maxLength <= 0 || !isatty(STDIN_FILENO)) {
    report_status(reporter, "", STATUS_NO_PASSWORD_PROMPT);
    return rc;
  }
  int result = prompt_password_on_terminal(destination, maxLength, prompt,
                                           verificationPrompt);
  if (result == PASSWORD_PROMPT_OK) {
    rc = 0;
  } else if (result == PASSWORD_PROMPT_NO_TERMINAL) {
    report_status(reporter, "", STATUS_NO_PASSWORD_PROMPT);
  }
  return rc;
}
