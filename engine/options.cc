#include "engine/options.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "engine/argument.h"
#include "engine/cpic_binding.h"
#include "engine/help.h"
#include "engine/password_prompt.h"
#include "engine/status.h"
#include "engine/tarpon.h"
#include "trace/trace.h"

namespace {

const char* const kReporter = "process_input_parameters()";
const char* const kDefaultMode = "#BATCH";
const char* const kSnaProduct = "Tarpon emulated SNA node";
const char* const kOldPasswordPrompt =
    "Old password please ..................:";
const char* const kNewPasswordPrompt =
    "New password please ..................:";
const char* const kVerifyPrompt = "New password again for verification...:";

constexpr unsigned int kShortValue = CCB_NAME_LENGTH;  // user, passwords
constexpr unsigned int kLongValue = CCB_QUALIFIED_NAME_LENGTH;  // "-s", "-plu"

// Which options the command line holds, learnt before anything is taken.
struct Presence {
  int d, sd, plu, m, lu, s, u, p, np;
  int cpic, log, comapi, ftrace, v, help, manual, noterm, local;
};

int present(unsigned int* count, char** argv, const char* key,
            uint8_t removal) {
  return Argument(count, argv, key, ARGUMENT_STYLE_FLAG, removal);
}

// Takes the value of a separate-style option into value (size + 1 bytes).
// A refusal is reported and makes *rc TARPON_RC_BAD_OPTION; returns whether the
// value came.
bool take_value(unsigned int* count, char** argv, const char* key, char* value,
                unsigned int size, int* rc) {
  int code = Argument(count, argv, key, ARGUMENT_STYLE_SEPARATE,
                      ARGUMENT_DELETE, value, size);
  if (code == ARGUMENT_RC_OK) return true;
  report_status(kReporter, "Argument()", STATUS_BAD_PROGRAM_INPUT, key, code);
  *rc = TARPON_RC_BAD_OPTION;
  return false;
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

}  // namespace

int process_input_parameters(int argc, char** argv, CCB_PTR ccb) {
  int rc = 0;
  TraceScope scope("process_input_parameters(argc,argv,ccbPtr)", &rc,
                   TRACE_OFF);
  unsigned int count = argc > 0 ? static_cast<unsigned int>(argc) : 0;

  // Presence pass: value options stay, flags are taken out at once.
  Presence is;
  is.d = present(&count, argv, "-d", ARGUMENT_KEEP);
  is.sd = present(&count, argv, "-sd", ARGUMENT_KEEP);
  is.plu = present(&count, argv, "-plu", ARGUMENT_KEEP);
  is.m = present(&count, argv, "-m", ARGUMENT_KEEP);
  is.lu = present(&count, argv, "-lu", ARGUMENT_KEEP);
  is.s = present(&count, argv, "-s", ARGUMENT_KEEP);
  is.u = present(&count, argv, "-u", ARGUMENT_KEEP);
  is.p = present(&count, argv, "-p", ARGUMENT_KEEP);
  is.np = present(&count, argv, "-np", ARGUMENT_KEEP);
  is.cpic = present(&count, argv, "-cpic", ARGUMENT_DELETE);
  is.log = present(&count, argv, "-log", ARGUMENT_DELETE);
  is.comapi = present(&count, argv, "-comapi", ARGUMENT_DELETE);
  is.ftrace = present(&count, argv, "-ftrace", ARGUMENT_DELETE);
  is.v = present(&count, argv, "-v", ARGUMENT_DELETE);
  is.help = present(&count, argv, "-?", ARGUMENT_DELETE);
  is.manual = present(&count, argv, "-M", ARGUMENT_DELETE);
  is.noterm = present(&count, argv, "-noterm", ARGUMENT_DELETE);
  is.local = present(&count, argv, "-local", ARGUMENT_DELETE);

  bool hostPath = ccb->localChange == 0;

  if (is.ftrace) {
    ccb->traceSwitchGiven = 1;
    ccb->savedTraceFlags = set_trace_flags(TRACE_ON);
  }

  if (count <= 1) is.help = 1;

  if (!is.help && !is.manual && !is.comapi) {
    if (!is.d && !is.sd && !is.s && !is.plu) is.local = 1;

    if (is.noterm && (!is.p || !is.np)) {
      report_status(kReporter, "", STATUS_NO_TERMINAL, "-p", "-np");
      rc = TARPON_RC_BAD_OPTION;
    }

    if (is.local) {
      ccb->localChange = 1;
      hostPath = false;
    }

    if (hostPath) {
      bool cpic = is.cpic || ccb->cpicUsed;
      bool ignoreLu = false;
      if (is.cpic) {
        if (!is.sd && !is.d && !is.s) {
          report_status(kReporter, "", STATUS_MISSING_PARAMETER, "-d -sd -s ");
          rc = TARPON_RC_BAD_OPTION;
        } else {
          ignoreLu = true;
        }
      }
      if (is.s && is.sd && is.plu) {
        report_status(kReporter, "", STATUS_MUTUALLY_EXCLUSIVE,
                      "SERVER_SWITCH SYMDEST_SWITCH PLU_SWITCH ");
        rc = TARPON_RC_BAD_OPTION;
      }
      if (is.d && is.sd) {
        report_status(kReporter, "", STATUS_MUTUALLY_EXCLUSIVE,
                      "SYMDEST_SWITCH DATABASE_SWITCH ");
        rc = TARPON_RC_BAD_OPTION;
      }

      char value[kLongValue + 1];
      if (is.d && take_value(&count, argv, "-d", value, kShortValue, &rc)) {
        ccb->databaseName.set(value, kShortValue);
      }
      if (is.sd && take_value(&count, argv, "-sd", value, kShortValue, &rc)) {
        ccb->symbolicDestination.set(value, kShortValue);
      }
      if (is.s && take_value(&count, argv, "-s", value, kLongValue, &rc)) {
        if (cpic) {
          // A value too long for a profile name leaves the symbolic
          // destination unset, which the next check reports.
          ccb->symbolicDestination.set(value, kShortValue);
        } else {
          ccb->serverName.set(value, kLongValue);
          if (process_input_parameters_server(value, is.sd, is.plu, ccb) != 0) {
            rc = TARPON_RC_BAD_OPTION;
          }
        }
      }
      if (cpic && ccb->symbolicDestination.isNotSet()) {
        report_status(kReporter, "", STATUS_MISSING_SIDE_INFO, "-sd -s ");
        rc = TARPON_RC_BAD_OPTION;
      }
      if (is.plu && take_value(&count, argv, "-plu", value, kLongValue, &rc)) {
        if (std::strchr(value, '.') != nullptr) {
          ccb->qualifiedPartnerLuName.set(value, kLongValue);
        } else if (std::strlen(value) <= kShortValue) {
          ccb->partnerLuAlias.set(value, kShortValue);
        } else {
          report_status(kReporter, "", STATUS_PLU_ALIAS_TOO_LONG);
          rc = TARPON_RC_BAD_OPTION;
        }
      }
      if (is.m) {
        // A missing or overlong mode is refused like any other value: left
        // unset, it would reach the SNA product as no mode at all.
        if (take_value(&count, argv, "-m", value, kShortValue, &rc)) {
          ccb->modeName.set(value, kShortValue);
        }
      } else if (!is.sd && !(ccb->conversationInitialized == 1 && is.s)) {
        ccb->modeName.set(kDefaultMode, kShortValue);
      }
      if (is.lu && !ignoreLu &&
          take_value(&count, argv, "-lu", value, kShortValue, &rc)) {
        ccb->localLuAlias.set(value, kShortValue);
      }
    }

    if (is.u) {
      take_value(&count, argv, "-u", ccb->user, kShortValue, &rc);
    } else {
      report_status(kReporter, "", STATUS_MISSING_PARAMETER, "-u");
      rc = TARPON_RC_BAD_OPTION;
    }
    if (is.p) {
      take_value(&count, argv, "-p", ccb->oldPassword, kShortValue, &rc);
    } else if (rc == 0 && !is.noterm) {
      if (get_password_safely(ccb->oldPassword, kShortValue, kOldPasswordPrompt,
                              nullptr) != 0) {
        rc = TARPON_RC_NO_PASSWORD;
      }
    }
    if (is.np) {
      take_value(&count, argv, "-np", ccb->newPassword, kShortValue, &rc);
    } else if (rc == 0 && !is.noterm) {
      if (get_password_safely(ccb->newPassword, kShortValue, kNewPasswordPrompt,
                              kVerifyPrompt) != 0) {
        rc = TARPON_RC_NO_PASSWORD;
      }
    }
    if (is.v) ccb->verbose = 1;
    if (is.cpic) ccb->cpicUsed = 1;
    if (is.log) ccb->logRequested = 1;

    if (count > 1 && rc == 0) {
      char leftovers[LEFTOVER_AREA_SIZE];
      join_leftovers(count, argv, leftovers, sizeof leftovers);
      report_status(kReporter, "", STATUS_BAD_OPTION, leftovers);
      is.help = 1;
    }
  }

  if (is.help) {
    print_program_man_page(is.manual ? 0 : 1);
    rc = TARPON_RC_INFORMATION;
  } else if (is.manual) {
    print_program_man_page(0);
    rc = TARPON_RC_INFORMATION;
  }
  if (is.comapi) {
    report_status(kReporter, "", STATUS_INFO_SNA_PRODUCT, kSnaProduct);
    rc = TARPON_RC_INFORMATION;
  }
  return rc;
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
  // The prompt goes to the terminal the password comes from, even when
  // standard output is redirected; what the engine printed so far first.
  std::cout.flush();
  const char* terminalName = ttyname(STDIN_FILENO);
  int terminal = terminalName != nullptr
                     ? open(terminalName, O_WRONLY | O_NOCTTY | O_CLOEXEC)
                     : -1;
  int result = read_password_from_terminal(
      STDIN_FILENO, terminal >= 0 ? terminal : STDERR_FILENO, destination,
      maxLength, prompt, verificationPrompt);
  if (terminal >= 0) close(terminal);
  if (result == PASSWORD_PROMPT_OK) {
    rc = 0;
  } else if (result == PASSWORD_PROMPT_NO_TERMINAL) {
    report_status(reporter, "", STATUS_NO_PASSWORD_PROMPT);
  } else {
    char text[200];
    password_prompt_refusal_text(result, maxLength, text, sizeof text);
    std::cout << text << std::flush;
  }
  return rc;
}
