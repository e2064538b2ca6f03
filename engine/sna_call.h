// What the CPI-C and APPC bindings do when an SNA call fails: report it once,
// in the failed call's status layout, and hand the engine's code back for the
// caller to pass up. "caller" is the label of the calling driver operation,
// "subject" the failed call's label, as report_status takes them.
#ifndef TARPON_ENGINE_SNA_CALL_H_
#define TARPON_ENGINE_SNA_CALL_H_

#include <cstdint>

#include "engine/ccb.h"

// Reports a CPI-C call that returned rc (statusType one of STATUS_CPIC_*)
// and returns TARPON_RC_SNA_CALL_FAILED.
int cpic_call_failed(const char* caller, const char* subject,
                     uint8_t statusType, int32_t rc);

// Reports an APPC verb's primary and secondary return codes, as held
// (statusType one of STATUS_APPC_*), and returns TARPON_RC_SNA_CALL_FAILED.
int appc_verb_failed(const char* caller, const char* subject,
                     uint8_t statusType, uint16_t primary, uint32_t secondary);

// After an allocation that could not reach its partner: names the symbolic
// destination and the partner LU its side information gave
// (STATUS_INFO_PARTNER_LU).
void report_side_info_partner(const char* caller, const CCB_PTR ccb);

#endif  // TARPON_ENGINE_SNA_CALL_H_
