// The APPC binding: one routine per APPC verb of the password conversation.
// Each fills a fresh, zeroed verb control block from the control block,
// issues the verb, copies back what the engine keeps and, on failure,
// reports the verb's primary and secondary return codes once and returns
// TARPON_RC_SNA_CALL_FAILED.
// "caller" is the label of the calling driver operation.
#ifndef TARPON_ENGINE_APPC_BINDING_H_
#define TARPON_ENGINE_APPC_BINDING_H_

#include <cstdint>

#include "engine/ccb.h"

// Starts the local TP under ccb->localTpName, on ccb->localLuAlias or, when
// that is not set, the node's default local LU; keeps the TP id.
int TP_STARTED_internal(CCB_PTR ccb, const char* caller);

// Allocates a basic conversation to the host password service TP
// X'06'F3F0F1 on the partner LU alias (preferred) or the qualified partner
// LU name and the mode name; keeps the conversation id.
int ALLOCATE_internal(CCB_PTR ccb, const char* caller);

// Buffers length bytes of data for sending.
int SEND_DATA_internal(CCB_PTR ccb, int32_t length, unsigned char* data,
                       const char* caller);

// Receives the reply (at most maxLength bytes into buffer, its length into
// *receivedLength), then waits for the partner's normal deallocation;
// anything else on the second receive is a failure.
int RECEIVE_AND_WAIT_internal(CCB_PTR ccb, int32_t* receivedLength,
                              int32_t maxLength, unsigned char* buffer,
                              const char* caller);

// Ends the TP.
int TP_ENDED_internal(CCB_PTR ccb, const char* caller);

#endif  // TARPON_ENGINE_APPC_BINDING_H_
