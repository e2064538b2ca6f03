// The CPI-C binding: one routine per CPI-C call the engine makes. Each issues
// its call, reports a failure once through report_status under the status
// type that names the call, and returns TARPON_RC_OK, or
// TARPON_RC_SNA_CALL_FAILED for any CPI-C failure.
// "caller" is the label of the calling operation; it becomes the reporter of
// the failure.
#ifndef TARPON_ENGINE_CPIC_BINDING_H_
#define TARPON_ENGINE_CPIC_BINDING_H_

#include <cstdint>

#include "engine/ccb.h"

// Size of the buffers cmepln_internal fills: a network-qualified partner LU
// name (NETID.LUNAME, 17 characters) and a partner LU alias (8), each with
// its NUL.
constexpr int CPIC_PARTNER_LU_NAME_SIZE = 18;
constexpr int CPIC_PARTNER_LU_ALIAS_SIZE = 9;
constexpr int CPIC_MODE_NAME_SIZE = 9;

// Initialises a conversation for the side information profile named by the
// first 8 characters of symbolicDestination (blank-padded, upper-case).
// With a null caller a failure is silent: option processing uses that to
// probe whether a name is a profile.
int cminit_internal(unsigned char* conversationId,
                    const char* symbolicDestination, const char* caller);

// Allocates the conversation. A CM_PRODUCT_SPECIFIC_ERROR while the
// qualified partner LU name came from side information adds the partner LU
// advice.
int cmallc_internal(unsigned char* conversationId, CCB_PTR ccb,
                    const char* caller);

// Sets the nine characteristics of the password conversation on
// ccb->cpicConversationId; stops at the first failure.
int set_ksv_cpic_conversation_metrics(CCB_PTR ccb, const char* caller);

int cmsend_internal(unsigned char* conversationId, int32_t length,
                    unsigned char* data, const char* caller);

// One receive of at most requestedLength bytes into buffer; the received
// length goes to *receivedLength. CM_DEALLOCATED_NORMAL counts as success.
int cmrcv_internal(unsigned char* conversationId, int32_t* receivedLength,
                   int32_t requestedLength, unsigned char* buffer,
                   const char* caller);

// Extracts the partner LU name of the profile. A name with a period lands in
// partnerLuName (CPIC_PARTNER_LU_NAME_SIZE bytes) with alias empty; any other
// name lands in alias (CPIC_PARTNER_LU_ALIAS_SIZE bytes) with partnerLuName
// empty. A name without a period that is too long for an alias is refused
// with a message and TARPON_RC_SNA_CALL_FAILED, never cut.
int cmepln_internal(unsigned char* conversationId, char* partnerLuName,
                    char* alias, const char* caller);

// Extracts the mode name of the profile into modeName (CPIC_MODE_NAME_SIZE
// bytes).
int cmemn_internal(unsigned char* conversationId, char* modeName,
                   const char* caller);

// Sets the deallocate type and deallocates. The engine does not use it: the
// host ends the conversation after its reply.
int cmdeal_internal(unsigned char* conversationId, int32_t deallocateType,
                    const char* caller);

#endif  // TARPON_ENGINE_CPIC_BINDING_H_
