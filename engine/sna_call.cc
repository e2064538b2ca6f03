#include "engine/sna_call.h"

#include <cstdio>

#include "engine/status.h"
#include "engine/tarpon.h"

int cpic_call_failed(const char* caller, const char* subject,
                     uint8_t statusType, int32_t rc) {
  report_status(caller, subject, statusType, static_cast<int>(rc));
  return TARPON_RC_SNA_CALL_FAILED;
}

int appc_verb_failed(const char* caller, const char* subject,
                     uint8_t statusType, uint16_t primary, uint32_t secondary) {
  report_status(caller, subject, statusType, static_cast<unsigned int>(primary),
                static_cast<unsigned int>(secondary));
  return TARPON_RC_SNA_CALL_FAILED;
}

void report_side_info_partner(const char* caller, const CCB_PTR ccb) {
  char symdest[CCB_NAME_LENGTH + 1];
  char qualified[CCB_QUALIFIED_NAME_LENGTH + 1];
  std::snprintf(symdest, sizeof symdest, "%s",
                ccb->symbolicDestination.getPadUpper());
  std::snprintf(qualified, sizeof qualified, "%s",
                ccb->qualifiedPartnerLuName.get());
  report_status(caller, "", STATUS_INFO_PARTNER_LU, symdest, qualified);
}
