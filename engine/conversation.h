// The conversation driver: runs the host path of a request over CPI-C
// (ccb->cpicUsed 1) or APPC (0). Each operation returns 0 or the failing
// step's code after that step has reported it; the driver keeps no state
// outside the control block.
//
// Order: initialize; option processing; connect; when that returned 0,
// conduct_conversation and then disconnect; cleanup whenever initialize
// succeeded.
#ifndef TARPON_ENGINE_CONVERSATION_H_
#define TARPON_ENGINE_CONVERSATION_H_

#include "engine/ccb.h"

// Starts the CPI-C library (version 1.0) and keeps its version and
// description in the block. Returns 0, or 8 after reporting the failure and
// stopping the library again.
int initialize(CCB_PTR ccb);

// Sets the CPI-C characteristics and allocates, or starts the APPC TP and
// allocates. Returns TARPON_RC_OK or TARPON_RC_SNA_CALL_FAILED.
int connect(CCB_PTR ccb);

// Builds and sends the request, receives the reply and processes it.
// Returns TARPON_RC_OK, TARPON_RC_SNA_CALL_FAILED or one of process_reply's
// codes.
int conduct_conversation(CCB_PTR ccb);

int send_request(CCB_PTR ccb);
int receive_reply(CCB_PTR ccb);

// Ends the APPC TP; nothing for CPI-C, whose conversation the host ends.
// Returns TARPON_RC_OK or TARPON_RC_SNA_CALL_FAILED; the caller keeps the
// request's own code.
int disconnect(CCB_PTR ccb);

// Stops the CPI-C library. Returns 0.
int cleanup(CCB_PTR ccb);

#endif  // TARPON_ENGINE_CONVERSATION_H_
