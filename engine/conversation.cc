#include "engine/conversation.h"

#include <cstdio>
#include <cstring>

#include "contract/sna_services.h"
#include "engine/appc_binding.h"
#include "engine/cpic_binding.h"
#include "engine/ksv_request.h"
#include "engine/status.h"
#include "engine/tarpon.h"
#include "trace/trace.h"

namespace {

// CPI-C 1.0: major version in the low byte, minor in the high byte.
constexpr uint16_t kCpicVersion = 0x0001;

}  // namespace

int initialize(CCB_PTR ccb) {
  int result = 0;
  TraceScope scope("initialize()", &result, TRACE_OFF);
  WCPICDATA data;
  std::memset(&data, 0, sizeof data);
  int rc = WinCPICStartup(kCpicVersion, &data);
  if (rc == 0) {
    ccb->cpicVersion[0] = static_cast<unsigned char>(data.wVersion & 0xFF);
    ccb->cpicVersion[1] = static_cast<unsigned char>(data.wVersion >> 8);
    std::memcpy(ccb->cpicDescription, data.szDescription,
                sizeof ccb->cpicDescription);
    // The dump prints the description as a string.
    ccb->cpicDescription[sizeof ccb->cpicDescription - 1] = '\0';
    return result;
  }
  char text[40];
  switch (rc) {
    case WCPICSYSNOTREADY:
      std::snprintf(text, sizeof text, "WCPICSYSNOTREADY");
      break;
    case WCPICVERNOTSUPPORTED:
      std::snprintf(text, sizeof text, "WCPICVERNOTSUPPORTED");
      break;
    case WCPICINVALID:
      std::snprintf(text, sizeof text, "WCPICINVALID");
      break;
    default:
      std::snprintf(text, sizeof text, "UnknownError=%d", rc);
      break;
  }
  report_status("initialize()", "WinCPICStartup()", STATUS_CPIC_STARTUP, text);
  WinCPICCleanup();
  result = TARPON_RC_NODE_NOT_STARTED;
  return result;
}

int cleanup(CCB_PTR) {
  int result = 0;
  TraceScope scope("cleanup()", &result, TRACE_OFF);
  WinCPICCleanup();
  return result;
}

int connect(CCB_PTR ccb) {
  int result = 0;
  TraceScope scope("connect()", &result, TRACE_OFF);
  if (ccb->cpicUsed) {
    result = set_ksv_cpic_conversation_metrics(ccb, "connect()");
    if (result == 0) {
      result = cmallc_internal(ccb->cpicConversationId, ccb, "connect()");
    }
  } else {
    result = TP_STARTED_internal(ccb, "connect()");
    if (result == 0) result = ALLOCATE_internal(ccb, "connect()");
  }
  return result;
}

int conduct_conversation(CCB_PTR ccb) {
  int result = 0;
  TraceScope scope("conduct_conversation()", &result, TRACE_OFF);
  uint32_t length = 0;
  result = build_request(ccb->user, ccb->oldPassword, ccb->newPassword,
                         ccb->requestBuffer, &length);
  ccb->requestLength = static_cast<int32_t>(length);
  if (result == 0) result = send_request(ccb);
  if (result == 0) result = receive_reply(ccb);
  if (result == 0) result = process_reply(ccb);
  return result;
}

int send_request(CCB_PTR ccb) {
  int result = 0;
  TraceScope scope("send_request()", &result, TRACE_OFF);
  if (ccb->cpicUsed) {
    result = cmsend_internal(ccb->cpicConversationId, ccb->requestLength,
                             ccb->requestBuffer, "send_request()");
  } else {
    result = SEND_DATA_internal(ccb, ccb->requestLength, ccb->requestBuffer,
                                "send_request()");
  }
  return result;
}

int receive_reply(CCB_PTR ccb) {
  int result = 0;
  TraceScope scope("receive_reply()", &result, TRACE_OFF);
  if (ccb->cpicUsed) {
    result = cmrcv_internal(ccb->cpicConversationId, &ccb->replyLength,
                            ccb->replyBufferSize, ccb->replyBuffer,
                            "receive_reply()");
  } else {
    result =
        RECEIVE_AND_WAIT_internal(ccb, &ccb->replyLength, ccb->replyBufferSize,
                                  ccb->replyBuffer, "receive_reply()");
  }
  return result;
}

int disconnect(CCB_PTR ccb) {
  int result = 0;
  TraceScope scope("disconnect()", &result, TRACE_OFF);
  if (!ccb->cpicUsed) result = TP_ENDED_internal(ccb, "disconnect()");
  return result;
}
