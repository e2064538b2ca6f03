#include "engine/appc_binding.h"

#include <cstdio>
#include <cstring>

#include "contract/sna_services.h"
#include "engine/sna_call.h"
#include "engine/status.h"
#include "engine/tarpon.h"
#include "trace/trace.h"

namespace {

// The host password service TP, X'06'F3F0F1, in EBCDIC.
constexpr unsigned char kServiceTp[4] = {0x06, 0xF3, 0xF0, 0xF1};
constexpr unsigned char kEbcdicBlank = 0x40;

// The secondary return code, as held, that comes with
// AP_COMM_SUBSYSTEM_NOT_LOADED when the partner LU cannot be reached.
constexpr uint32_t kPartnerUnreachable = 0xF0000002;

// Copies a view into a fixed-width verb field, never past it. A view of
// maxLength characters fills the field exactly.
void fill(unsigned char* field, size_t size, const char* view,
          uint32_t length) {
  size_t n = length < size ? length : size;
  std::memcpy(field, view, n);
}

template <typename Block>
void start(Block* block, uint16_t opcode, const CCB_PTR ccb) {
  std::memset(block, 0, sizeof *block);
  block->opcode = opcode;
  std::memcpy(block->tp_id, ccb->appcTpId, sizeof block->tp_id);
}

}  // namespace

int TP_STARTED_internal(CCB_PTR ccb, const char* caller) {
  int result = 0;
  TraceScope scope("TP_STARTED_internal()", &result, TRACE_OFF);
  TP_STARTED block;
  std::memset(&block, 0, sizeof block);
  block.opcode = AP_TP_STARTED;
  if (ccb->localLuAlias.isSet()) {
    fill(block.lu_alias, sizeof block.lu_alias, ccb->localLuAlias.getPad(),
         ccb->localLuAlias.getMaxLength());
  }
  if (ccb->localTpName.isSet()) {
    fill(block.tp_name, sizeof block.tp_name, ccb->localTpName.getPad(),
         ccb->localTpName.getMaxLength());
  }
  APPC(&block);
  if (block.primary_rc == AP_OK) {
    std::memcpy(ccb->appcTpId, block.tp_id, sizeof ccb->appcTpId);
  } else {
    result =
        appc_verb_failed(caller, "APPC(TP_STARTED)", STATUS_APPC_TP_STARTED,
                         block.primary_rc, block.secondary_rc);
  }
  return result;
}

int ALLOCATE_internal(CCB_PTR ccb, const char* caller) {
  int result = 0;
  TraceScope scope("ALLOCATE_internal()", &result, TRACE_OFF);
  ALLOCATE block;
  start(&block, AP_B_ALLOCATE, ccb);
  block.conv_type = AP_BASIC_CONVERSATION;
  block.sync_level = AP_NONE;
  block.rtn_ctl = AP_WHEN_SESSION_ALLOCATED;
  block.security = AP_NONE;
  if (ccb->partnerLuAlias.isSet()) {
    fill(block.plu_alias, sizeof block.plu_alias, ccb->partnerLuAlias.getPad(),
         ccb->partnerLuAlias.getMaxLength());
  } else if (ccb->qualifiedPartnerLuName.isSet()) {
    fill(block.fqplu_name, sizeof block.fqplu_name,
         ccb->qualifiedPartnerLuName.getPadUpperEbcdic(),
         ccb->qualifiedPartnerLuName.getMaxLength());
  }
  if (ccb->modeName.isSet()) {
    fill(block.mode_name, sizeof block.mode_name,
         ccb->modeName.getPadUpperEbcdic(), ccb->modeName.getMaxLength());
  } else {
    std::memset(block.mode_name, kEbcdicBlank, sizeof block.mode_name);
  }
  std::memset(block.tp_name, kEbcdicBlank, sizeof block.tp_name);
  std::memcpy(block.tp_name, kServiceTp, sizeof kServiceTp);
  APPC(&block);
  if (block.primary_rc == AP_OK) {
    ccb->appcConversationId = block.conv_id;
    return result;
  }
  result = appc_verb_failed(caller, "APPC(ALLOCATE)", STATUS_APPC_ALLOCATE,
                            block.primary_rc, block.secondary_rc);
  if (block.primary_rc == AP_COMM_SUBSYSTEM_NOT_LOADED &&
      block.secondary_rc == kPartnerUnreachable && ccb->partnerLuFromSideInfo) {
    report_side_info_partner(caller, ccb);
  }
  advise_user(block.secondary_rc, RC_TABLE_APPC_SECONDARY);
  return result;
}

int SEND_DATA_internal(CCB_PTR ccb, int32_t length, unsigned char* data,
                       const char* caller) {
  int result = 0;
  TraceScope scope("SEND_DATA_internal()", &result, TRACE_OFF);
  SEND_DATA block;
  start(&block, AP_B_SEND_DATA, ccb);
  block.conv_id = ccb->appcConversationId;
  block.dlen = static_cast<uint16_t>(length);
  block.dptr = data;
  APPC(&block);
  if (block.primary_rc != AP_OK) {
    result = appc_verb_failed(caller, "APPC(SEND_DATA)", STATUS_APPC_SEND_DATA,
                              block.primary_rc, block.secondary_rc);
    advise_user(block.secondary_rc, RC_TABLE_APPC_SECONDARY);
  }
  return result;
}

int RECEIVE_AND_WAIT_internal(CCB_PTR ccb, int32_t* receivedLength,
                              int32_t maxLength, unsigned char* buffer,
                              const char* caller) {
  int result = 0;
  TraceScope scope("RECEIVE_AND_WAIT_internal()", &result, TRACE_OFF);
  RECEIVE_AND_WAIT block;
  start(&block, AP_B_RECEIVE_AND_WAIT, ccb);
  block.conv_id = ccb->appcConversationId;
  block.max_len = static_cast<uint16_t>(maxLength);
  block.dptr = buffer;
  APPC(&block);
  if (block.primary_rc != AP_OK) {
    result = appc_verb_failed(caller, "APPC(RECEIVE_AND_WAIT(data))",
                              STATUS_APPC_RECEIVE_AND_WAIT, block.primary_rc,
                              block.secondary_rc);
    advise_user(block.secondary_rc, RC_TABLE_APPC_SECONDARY);
    return result;
  }
  *receivedLength = block.dlen;

  // The partner ends the conversation after its reply; anything else, more
  // data included, means the exchange went wrong.
  start(&block, AP_B_RECEIVE_AND_WAIT, ccb);
  block.conv_id = ccb->appcConversationId;
  APPC(&block);
  if (block.primary_rc != AP_DEALLOC_NORMAL) {
    result = appc_verb_failed(caller, "APPC(RECEIVE_AND_WAIT(deallocate))",
                              STATUS_APPC_RECEIVE_AND_WAIT, block.primary_rc,
                              block.secondary_rc);
    advise_user(block.secondary_rc, RC_TABLE_APPC_SECONDARY);
  }
  return result;
}

int TP_ENDED_internal(CCB_PTR ccb, const char* caller) {
  int result = 0;
  TraceScope scope("TP_ENDED_internal()", &result, TRACE_OFF);
  TP_ENDED block;
  start(&block, AP_TP_ENDED, ccb);
  APPC(&block);
  if (block.primary_rc != AP_OK) {
    result = appc_verb_failed(caller, "APPC(TP_ENDED)", STATUS_APPC_TP_ENDED,
                              block.primary_rc, block.secondary_rc);
  }
  return result;
}
