// Status reporting: every outcome the engine shows its user is one numbered
// status type formatted into a fixed-layout text on standard output, with
// CPI-C, APPC, host status, argument scanner and exit program return codes
// shown by name.
#ifndef TARPON_ENGINE_STATUS_H_
#define TARPON_ENGINE_STATUS_H_

#include <cstdarg>
#include <cstdint>

// Status types. The values each type takes follow statusType in
// report_status, in this order:
enum StatusType : uint8_t {
  STATUS_INFO_PARTNER_LU = 0,         // const char* symdest, const char* qplu
  STATUS_INFO_TP_NOT_RECOGNIZED = 1,  // none
  STATUS_INFO_SNA_PRODUCT = 2,        // const char* product description
  STATUS_CPIC_CMINIT = 3,             // const char* symdest, int cpic rc
  STATUS_CPIC_CMALLC = 4,             // types 4 to 19: int cpic rc
  STATUS_CPIC_CMEPLN = 5,
  STATUS_CPIC_CMEMN = 6,
  STATUS_CPIC_CMSDT = 7,
  STATUS_CPIC_CMSCT = 8,
  STATUS_CPIC_CMSPLN = 9,
  STATUS_CPIC_CMSPTR = 10,
  STATUS_CPIC_CMSSL = 11,
  STATUS_CPIC_CMSST = 12,
  STATUS_CPIC_CMSF = 13,
  STATUS_CPIC_CMSRC = 14,
  STATUS_CPIC_CMSRT = 15,
  STATUS_CPIC_CMSMN = 16,
  STATUS_CPIC_CMDEAL = 17,
  STATUS_CPIC_CMSEND = 18,
  STATUS_CPIC_CMRCV = 19,
  // Types 26, 28 to 31: unsigned int primary (16-bit as held, widened),
  // unsigned int secondary (32-bit as held).
  STATUS_APPC_TP_STARTED = 26,
  STATUS_APPC_ALLOCATE = 28,
  STATUS_APPC_SEND_DATA = 29,
  STATUS_APPC_RECEIVE_AND_WAIT = 30,
  STATUS_APPC_TP_ENDED = 31,
  STATUS_ERROR_REPORTED = 32,                 // none
  STATUS_SERVICE_VERB = 33,                   // int primary rc
  STATUS_BAD_OPTION = 34,                     // const char* leftovers
  STATUS_MISSING_PARAMETER = 35,              // const char* text
  STATUS_MISSING_SIDE_INFO = 36,              // const char* text
  STATUS_BAD_PROGRAM_INPUT = 37,              // const char* option, int rc
  STATUS_MUTUALLY_EXCLUSIVE = 38,             // const char* text
  STATUS_SERVER_IS_SYMDEST = 39,              // none
  STATUS_SERVER_IS_PLU = 40,                  // none
  STATUS_SERVER_PLU_ALIAS_TOO_LONG = 41,      // none
  STATUS_SERVER_QUALIFIED_PLU_TOO_LONG = 42,  // none
  STATUS_PLU_ALIAS_TOO_LONG = 43,             // none
  STATUS_NO_TERMINAL = 44,           // const char* opt1, const char* opt2
  STATUS_CPIC_STARTUP = 46,          // const char* failure text
  STATUS_NO_MEMORY = 47,             // int failure code
  STATUS_NO_PASSWORD_PROMPT = 50,    // none
  STATUS_PASSWORD_CHANGED = 52,      // none
  STATUS_REQUEST_FORMAT_ERROR = 53,  // int byte1, int byte2
  STATUS_REPLY_GARBLED = 54,         // none
  STATUS_HOST_STATUS = 55,           // int status byte
  STATUS_EXIT_RETURN_CODE = 57,      // const char* text or null, int rc
};

// Return-code table selectors for get_return_code_text and advise_user.
enum RcTable : int {
  RC_TABLE_CPIC = 0,
  RC_TABLE_APPC_PRIMARY = 1,
  RC_TABLE_APPC_SECONDARY = 2,
  RC_TABLE_HOST_STATUS = 3,
  RC_TABLE_ARGUMENT = 4,
  RC_TABLE_PASSWORD_EXIT = 5,
};

constexpr int STATUS_BUFFER_SIZE = 2000;
extern const char* const KSV_VERSION_TEXT;    // "02.00"
extern const char* const KSV_PRODUCT_BANNER;  // the product banner subject

// Formats the status and writes it to standard output, flushed. caller is
// the reporting operation's label, subject the failed call's label (either
// may be empty, neither null). Never fails. statusType is a StatusType;
// it is an int so that the variable arguments that follow it are well
// defined.
void report_status(const char* caller, const char* subject, int statusType,
                   ...);

// Formats into buffer, which holds STATUS_BUFFER_SIZE bytes and is zeroed by
// the caller; the text never runs past it. A type without a layout leaves
// the buffer empty and writes the fallback text straight to standard output.
void build_status_string(char* buffer, const char* caller, const char* subject,
                         uint8_t statusType, va_list values);

// The constant text for code in the selected table, "--- text not available
// ---" when absent, "--- rc text not available ---" for an unknown selector.
const char* get_return_code_text(uint32_t code, int selector);

// Reports STATUS_INFO_TP_NOT_RECOGNIZED when code means the partner did not
// recognise the TP name (CPI-C 9, or APPC secondary 0x21600810 as held).
void advise_user(uint32_t code, int selector);

// The value with its bytes reversed, whatever the machine's byte order.
uint32_t host_to_network_byte_order(uint32_t value);
uint16_t host_to_network_byte_order(uint16_t value);

#endif  // TARPON_ENGINE_STATUS_H_
