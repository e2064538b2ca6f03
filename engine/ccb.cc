#include "engine/ccb.h"

#include <cstring>

#include "contract/secret.h"
#include "trace/trace.h"

CommunicationsControlBlock::CommunicationsControlBlock() {
  TraceScope scope("CommunicationsControlBlock::CommunicationsControlBlock()",
                   TRACE_OFF);
  std::memset(cpicConversationId, 0, sizeof cpicConversationId);
  std::memset(appcTpId, 0, sizeof appcTpId);
  appcConversationId = 0;
  std::memset(user, 0, sizeof user);
  std::memset(oldPassword, 0, sizeof oldPassword);
  std::memset(newPassword, 0, sizeof newPassword);
  requestLength = 0;
  replyLength = 0;
  requestBufferSize = 0;
  replyBufferSize = 0;
  requestBuffer = nullptr;
  replyBuffer = nullptr;
  partnerLuFromSideInfo = 0;
  traceSwitchGiven = 0;
  verbose = 0;
  conversationInitialized = 0;
  logRequested = 0;
  localChange = 0;
  cpicUsed = 0;
  savedTraceFlags = TRACE_OFF;
  appcSupported = 1;
  std::memset(cpicVersion, 0, sizeof cpicVersion);
  std::memset(cpicDescription, 0, sizeof cpicDescription);

  localTpName.set(LOCAL_TP_NAME, CCB_TP_NAME_LENGTH);

  requestBuffer = allocate_shared_memory(GDS_REQUEST_BUFFER_SIZE);
  if (requestBuffer != nullptr) {
    requestBufferSize = GDS_REQUEST_BUFFER_SIZE;
    replyBuffer = allocate_shared_memory(GDS_REPLY_BUFFER_SIZE);
    if (replyBuffer != nullptr) replyBufferSize = GDS_REPLY_BUFFER_SIZE;
  }
  constructed = (requestBuffer != nullptr && replyBuffer != nullptr) ? 1 : 0;
}

CommunicationsControlBlock::~CommunicationsControlBlock() {
  TraceScope scope("CommunicationsControlBlock::~CommunicationsControlBlock()",
                   TRACE_OFF);
  // The passwords, and the request that carries them, leave no copy.
  WipeBytes(oldPassword, sizeof oldPassword);
  WipeBytes(newPassword, sizeof newPassword);
  if (requestBuffer != nullptr) {
    WipeBytes(requestBuffer, static_cast<size_t>(requestBufferSize));
    free_shared_memory(requestBuffer);
  }
  if (replyBuffer != nullptr) free_shared_memory(replyBuffer);
  requestBuffer = nullptr;
  replyBuffer = nullptr;
}
