// Option processing and destination resolution: the stages of mainline that
// turn the command line into fields of the control block, resolve the
// destination (symbolic destination, partner LU alias or network-qualified
// partner LU name) and choose between the host path and the local path.
// Every problem found is reported once through report_status; a stage goes
// on after a report, so one run can show several messages.
#ifndef TARPON_ENGINE_OPTIONS_H_
#define TARPON_ENGINE_OPTIONS_H_

#include "engine/ccb.h"

// Size of the area that joins leftover arguments for the report. Longer
// leftovers are cut at a whole argument and marked with "...".
constexpr int LEFTOVER_AREA_SIZE = 1024;

// Reads every option of argv[1..argc-1] into the block; entries it consumes
// are deleted from argv, which must be the caller's own copy. Prints help,
// manual page or product information on request. Returns TARPON_RC_OK (go
// on), TARPON_RC_INFORMATION (help or information printed, or arguments left
// over), TARPON_RC_BAD_OPTION (bad, missing or conflicting option) or
// TARPON_RC_NO_PASSWORD (a password missing and no prompt possible).
int process_input_parameters(int argc, char** argv, CCB_PTR ccb);

// Takes out of argv[1..*count-1] the flags that process_input_parameters
// takes out before it reads any value (the first entry of each), lowering
// *count, so that a caller reads the values as the engine will. Returns
// whether "-local" was among them.
bool take_out_flags(unsigned int* count, char** argv);

// Decides what the "-s" value names: a side information profile (probed
// silently through CPI-C when at most 8 characters), a qualified partner LU
// name (with a period) or a partner LU alias. Returns TARPON_RC_OK or
// TARPON_RC_BAD_OPTION.
int process_input_parameters_server(const char* server, int symdestGiven,
                                    int pluGiven, CCB_PTR ccb);

// Completes the destination and the mode from the side information profile
// of ccb->symbolicDestination; names from the command line win. Returns
// TARPON_RC_OK or TARPON_RC_SNA_CALL_FAILED.
int process_input_files(CCB_PTR ccb);

// Results of get_symdest_from_database and get_password_safely, which their
// callers turn into engine return codes.
constexpr int SYMDEST_DATABASE_NOT_DEVELOPED = 16;
constexpr int PASSWORD_NOT_READ = 8;

// Would find the symbolic destination in a database catalog; not available:
// says so on standard error and returns SYMDEST_DATABASE_NOT_DEVELOPED,
// symdest untouched.
int get_symdest_from_database(char* symdest, const char* databaseName);

// Prompts for a password on the terminal of standard input without echo
// (destination holds maxLength + 1 bytes); with a verificationPrompt asks
// twice. Returns 0 when destination was filled, else PASSWORD_NOT_READ with
// destination
// untouched: without a terminal after status 50, and after a message on
// standard output when the entry is empty, longer than maxLength or its
// verification differs.
int get_password_safely(char* destination, int maxLength, const char* prompt,
                        const char* verificationPrompt);

#endif  // TARPON_ENGINE_OPTIONS_H_
