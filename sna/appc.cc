// The APPC verb entry of the emulated node: TP_STARTED, ALLOCATE,
// SEND_DATA, RECEIVE_AND_WAIT and TP_ENDED in their basic-conversation
// forms. Return codes are stored in architected (big-endian) byte order.
#include <cstring>
#include <string>

#include "contract/sna_services.h"
#include "sna/code_page.h"
#include "sna/node.h"

using sna::Conversation;
using sna::ConversationState;
using sna::Node;

namespace {

// Architected return codes.
constexpr uint16_t kOk = 0x0000;
constexpr uint16_t kParameterCheck = 0x0001;
constexpr uint16_t kStateCheck = 0x0002;
constexpr uint16_t kAllocationError = 0x0003;
constexpr uint16_t kDeallocNormal = 0x0009;
constexpr uint16_t kCommSubsystemNotLoaded = 0xF004;
constexpr uint16_t kInvalidVerb = 0xFFFF;

constexpr uint32_t kBadTpId = 0x00000001;
constexpr uint32_t kBadConvId = 0x00000002;
constexpr uint32_t kBadLuAlias = 0x00000003;
constexpr uint32_t kAllocationFailureNoRetry = 0x00000004;
constexpr uint32_t kBadConvType = 0x00000011;
constexpr uint32_t kBadSyncLevel = 0x00000012;
constexpr uint32_t kBadSecurity = 0x00000013;
constexpr uint32_t kBadReturnControl = 0x00000014;
constexpr uint32_t kUnknownPartnerMode = 0x00000018;
constexpr uint32_t kBadPartnerLuAlias = 0x0000015B;
constexpr uint32_t kReceiveBadState = 0x000000B1;
constexpr uint32_t kSendNotSendState = 0x000000F2;
constexpr uint32_t kTpNameNotRecognized = 0x10086021;
constexpr uint32_t kSecurityNotValid = 0x080F6051;
constexpr uint32_t kSyncLevelNotSupported = 0x10086041;
constexpr uint32_t kConversationTypeMismatch = 0x10086034;

// Field values beyond the ones the header names.
constexpr uint8_t kConfirmSyncLevel = 1;
constexpr uint8_t kImmediate = 1;
constexpr uint8_t kSecurityProgram = 2;
constexpr uint8_t kFillLl = 1;
constexpr uint8_t kHard = 1;

constexpr unsigned char kEbcdicBlank = 0x40;
constexpr size_t kPrimaryBytes = sizeof(uint16_t);
constexpr size_t kSecondaryBytes = sizeof(uint32_t);
constexpr size_t kTpIdBytes = 8;

void SetRc(void* block, uint16_t primary, uint32_t secondary) {
  AP_VERB_HEADER* header = static_cast<AP_VERB_HEADER*>(block);
  unsigned char bytes[kPrimaryBytes + kSecondaryBytes] = {
      static_cast<unsigned char>(primary >> 8),
      static_cast<unsigned char>(primary),
      static_cast<unsigned char>(secondary >> 24),
      static_cast<unsigned char>(secondary >> 16),
      static_cast<unsigned char>(secondary >> 8),
      static_cast<unsigned char>(secondary)};
  static_assert(sizeof header->primary_rc == kPrimaryBytes &&
                    sizeof header->secondary_rc == kSecondaryBytes,
                "the verb header's return code fields");
  std::memcpy(&header->primary_rc, bytes, kPrimaryBytes);
  std::memcpy(&header->secondary_rc, bytes + kPrimaryBytes, kSecondaryBytes);
}

uint64_t TpNumber(const unsigned char* tp_id) {
  uint64_t number = 0;
  for (size_t i = 0; i < kTpIdBytes; ++i) number = (number << 8) | tp_id[i];
  return number;
}

// A blank- or zero-padded text field, without its padding.
std::string Unpad(const unsigned char* field, size_t size,
                  unsigned char blank) {
  while (size > 0 && (field[size - 1] == blank || field[size - 1] == 0)) {
    --size;
  }
  return std::string(reinterpret_cast<const char*>(field), size);
}

bool AllZero(const unsigned char* field, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (field[i] != 0) return false;
  }
  return true;
}

// Returns false, with the return codes set, when a fault is configured.
bool NoFault(void* block, const char* verb) {
  if (const sna::Fault* fault = sna::FaultFor(verb)) {
    SetRc(block, static_cast<uint16_t>(fault->primary), fault->secondary);
    return false;
  }
  return true;
}

sna::TransactionProgram* FindTp(void* block, const unsigned char* tp_id) {
  auto found = Node().tps.find(TpNumber(tp_id));
  if (found == Node().tps.end()) {
    SetRc(block, kParameterCheck, kBadTpId);
    return nullptr;
  }
  return &found->second;
}

Conversation* FindConversation(void* block, sna::TransactionProgram* tp,
                               uint32_t conv_id) {
  auto found = tp->conversations.find(conv_id);
  if (found == tp->conversations.end()) {
    SetRc(block, kParameterCheck, kBadConvId);
    return nullptr;
  }
  return &found->second;
}

void TpStarted(TP_STARTED* block) {
  if (!NoFault(block, "TP_STARTED")) return;
  const sna::NodeConfig& config = *Node().config;
  std::string alias = Unpad(block->lu_alias, sizeof block->lu_alias, ' ');
  if (alias.empty()) alias = config.default_local_lu;
  if (!alias.empty() && config.local_lus.count(alias) == 0) {
    SetRc(block, kParameterCheck, kBadLuAlias);
    return;
  }
  uint64_t number = Node().next_tp_id++;
  Node().tps[number];
  static_assert(sizeof block->tp_id == kTpIdBytes, "TP id size");
  for (size_t i = 0; i < kTpIdBytes; ++i) {
    block->tp_id[kTpIdBytes - 1 - i] =
        static_cast<unsigned char>(number >> (8 * i));
  }
  SetRc(block, kOk, 0);
}

// ALLOCATE's own parameters, before anything is looked up: false, the
// return codes set, when one is out of range.
bool AllocateParametersValid(ALLOCATE* block) {
  if (block->conv_type != AP_BASIC_CONVERSATION) {
    SetRc(block, kParameterCheck, kBadConvType);
    return false;
  }
  if (block->sync_level != AP_NONE && block->sync_level != kConfirmSyncLevel) {
    SetRc(block, kParameterCheck, kBadSyncLevel);
    return false;
  }
  if (block->rtn_ctl != AP_WHEN_SESSION_ALLOCATED &&
      block->rtn_ctl != kImmediate) {
    SetRc(block, kParameterCheck, kBadReturnControl);
    return false;
  }
  if (block->security > kSecurityProgram) {
    SetRc(block, kParameterCheck, kBadSecurity);
    return false;
  }
  return true;
}

// The partner LU the block names, by its alias or its qualified name, in
// conversation->partner_lu; false, the return codes set, when neither is
// usable.
bool AllocatePartner(ALLOCATE* block, Conversation* conversation) {
  if (!AllZero(block->plu_alias, sizeof block->plu_alias)) {
    conversation->partner_lu =
        Unpad(block->plu_alias, sizeof block->plu_alias, ' ');
    // An alias never holds a period; one that does is no alias at all.
    if (conversation->partner_lu.empty() ||
        conversation->partner_lu.find('.') != std::string::npos) {
      SetRc(block, kParameterCheck, kBadPartnerLuAlias);
      return false;
    }
    return true;
  }
  unsigned char name[sizeof block->fqplu_name];
  sna::EbcdicToAscii(block->fqplu_name, name, sizeof name);
  conversation->partner_lu = Unpad(name, sizeof name, ' ');
  if (conversation->partner_lu.find('.') == std::string::npos) {
    SetRc(block, kParameterCheck, kBadPartnerLuAlias);
    return false;
  }
  return true;
}

// The node's verdict on the conversation; false, the return codes set,
// when it refuses it.
bool AllocateAtNode(ALLOCATE* block, Conversation* conversation) {
  switch (sna::Allocate(*Node().config, conversation)) {
    case sna::AllocateResult::kOk:
      return true;
    case sna::AllocateResult::kBadPartnerAlias:
      SetRc(block, kParameterCheck, kBadPartnerLuAlias);
      return false;
    case sna::AllocateResult::kBadMode:
      SetRc(block, kParameterCheck, kUnknownPartnerMode);
      return false;
    case sna::AllocateResult::kNotAHost:
      SetRc(block, kAllocationError, kAllocationFailureNoRetry);
      return false;
  }
  return false;
}

void Allocate(ALLOCATE* block) {
  if (!NoFault(block, "ALLOCATE")) return;
  sna::TransactionProgram* tp = FindTp(block, block->tp_id);
  if (tp == nullptr || !AllocateParametersValid(block)) return;
  Conversation conversation;
  if (!AllocatePartner(block, &conversation)) return;
  unsigned char mode[sizeof block->mode_name];
  sna::EbcdicToAscii(block->mode_name, mode, sizeof mode);
  conversation.mode = Unpad(mode, sizeof mode, ' ');
  conversation.tp_name =
      Unpad(block->tp_name, sizeof block->tp_name, kEbcdicBlank);
  conversation.sync_confirm = block->sync_level == kConfirmSyncLevel;
  conversation.security =
      block->security == AP_NONE ? sna::Security::kNone : sna::Security::kSame;
  if (!AllocateAtNode(block, &conversation)) return;
  uint32_t id = Node().next_conversation_id++;
  if (id == 0) id = Node().next_conversation_id++;
  tp->conversations[id] = conversation;
  block->conv_id = id;
  SetRc(block, kOk, 0);
}

void SendData(SEND_DATA* block) {
  if (!NoFault(block, "SEND_DATA")) return;
  sna::TransactionProgram* tp = FindTp(block, block->tp_id);
  if (tp == nullptr) return;
  Conversation* c = FindConversation(block, tp, block->conv_id);
  if (c == nullptr) return;
  if (block->type != AP_NONE || (block->dlen > 0 && block->dptr == nullptr)) {
    SetRc(block, kParameterCheck, 0);
    return;
  }
  if (c->state != ConversationState::kSend) {
    SetRc(block, kStateCheck, kSendNotSendState);
    return;
  }
  sna::Buffer(c, block->dptr, block->dlen);
  block->rts_rcvd = 0;
  SetRc(block, kOk, 0);
}

uint32_t AttachSecondary(sna::AttachError error) {
  switch (error) {
    case sna::AttachError::kTpNotRecognized:
      return kTpNameNotRecognized;
    case sna::AttachError::kConversationTypeMismatch:
      return kConversationTypeMismatch;
    case sna::AttachError::kSyncLevelNotSupported:
      return kSyncLevelNotSupported;
    case sna::AttachError::kSecurityNotValid:
      return kSecurityNotValid;
    case sna::AttachError::kNone:
      break;
  }
  return 0;
}

void ReceiveAndWait(RECEIVE_AND_WAIT* block) {
  block->dlen = 0;
  block->what_rcvd = 0;
  block->rts_rcvd = 0;
  // The block is packed: copy the id rather than bind to it.
  const uint32_t conv_id = block->conv_id;
  sna::TransactionProgram* tp = nullptr;
  Conversation* c = nullptr;
  auto found = Node().tps.find(TpNumber(block->tp_id));
  if (found != Node().tps.end()) {
    tp = &found->second;
    auto conversation = tp->conversations.find(conv_id);
    if (conversation != tp->conversations.end()) c = &conversation->second;
  }
  // The receive after the reply is the one that should see the end.
  bool later = c != nullptr && c->receives > 0;
  if (c != nullptr) ++c->receives;
  if (!NoFault(block,
               later ? "RECEIVE_AND_WAIT.deallocate" : "RECEIVE_AND_WAIT")) {
    return;
  }
  if (tp == nullptr) {
    SetRc(block, kParameterCheck, kBadTpId);
    return;
  }
  if (c == nullptr) {
    SetRc(block, kParameterCheck, kBadConvId);
    return;
  }
  if ((block->fill != AP_BUFFER && block->fill != kFillLl) ||
      (block->max_len > 0 && block->dptr == nullptr)) {
    SetRc(block, kParameterCheck, 0);
    return;
  }
  if (c->state == ConversationState::kInitialize) {
    SetRc(block, kStateCheck, kReceiveBadState);
    return;
  }
  if (c->state == ConversationState::kSend) sna::Exchange(c);
  if (c->attach_error != sna::AttachError::kNone) {
    SetRc(block, kAllocationError, AttachSecondary(c->attach_error));
    tp->conversations.erase(conv_id);
    return;
  }
  if (sna::InboundLeft(*c) == 0 && c->deallocated) {
    SetRc(block, kDeallocNormal, 0);
    tp->conversations.erase(conv_id);
    return;
  }
  block->dlen =
      static_cast<uint16_t>(sna::TakeInbound(c, block->dptr, block->max_len));
  block->what_rcvd =
      sna::InboundLeft(*c) == 0 ? AP_DATA_COMPLETE : AP_DATA_INCOMPLETE;
  SetRc(block, kOk, 0);
}

void TpEnded(TP_ENDED* block) {
  if (!NoFault(block, "TP_ENDED")) return;
  if (FindTp(block, block->tp_id) == nullptr) return;
  if (block->type != AP_SOFT && block->type != kHard) {
    SetRc(block, kParameterCheck, 0);
    return;
  }
  // Conversations still open end with the program.
  Node().tps.erase(TpNumber(block->tp_id));
  SetRc(block, kOk, 0);
}

}  // namespace

extern "C" void APPC(void* verb_control_block) {
  if (verb_control_block == nullptr) return;
  AP_VERB_HEADER* header = static_cast<AP_VERB_HEADER*>(verb_control_block);
  if (sna::ConfigForVerb(header->opcode == AP_TP_STARTED) == nullptr) {
    SetRc(verb_control_block, kCommSubsystemNotLoaded, 0);
    return;
  }
  if (header->opext != 0) {
    SetRc(verb_control_block, kInvalidVerb, 0);
    return;
  }
  switch (header->opcode) {
    case AP_TP_STARTED:
      TpStarted(static_cast<TP_STARTED*>(verb_control_block));
      break;
    case AP_B_ALLOCATE:
      Allocate(static_cast<ALLOCATE*>(verb_control_block));
      break;
    case AP_B_SEND_DATA:
      SendData(static_cast<SEND_DATA*>(verb_control_block));
      break;
    case AP_B_RECEIVE_AND_WAIT:
      ReceiveAndWait(static_cast<RECEIVE_AND_WAIT*>(verb_control_block));
      break;
    case AP_TP_ENDED:
      TpEnded(static_cast<TP_ENDED*>(verb_control_block));
      break;
    default:
      SetRc(verb_control_block, kInvalidVerb, 0);
      break;
  }
}
