// The CPI-C calls of the emulated node. A conversation is started from the
// side information, characterised, allocated to a host, and ends when the
// host's deallocation has been received.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "contract/sna_services.h"
#include "sna/node.h"

using sna::Conversation;
using sna::ConversationState;
using sna::CpicId;
using sna::Node;

namespace {

constexpr uint16_t kVersion10 = 0x0001;  // major 1, minor 0
constexpr CM_INT32 kMaxBufferLength = 32767;
constexpr size_t kSymDestLength = 8;
constexpr size_t kMaxPartnerLuLength = 17;  // NETID.LUNAME
constexpr size_t kMaxModeLength = 8;
const char kLocalLuVariable[] = "APPCLLU";
constexpr CM_INT32 kImmediate = 1;  // return control, after the header's 0

#ifndef TARPON_VERSION
#define TARPON_VERSION "2.0"
#endif

// The common prologue of every call: the library must be started, the call
// may be made to fail, and "return_code" must be there to be written.
// Returns false when the call is already answered.
bool Enter(const char* call, CM_INT32* return_code) {
  if (return_code == nullptr) return false;
  if (Node().startups == 0 || Node().config == nullptr) {
    *return_code = CM_PROGRAM_STATE_CHECK;
    return false;
  }
  if (const sna::Fault* fault = sna::FaultFor(call)) {
    *return_code = static_cast<CM_INT32>(fault->primary);
    return false;
  }
  return true;
}

// The conversation named by "id", or null after setting the return code.
Conversation* Find(const unsigned char* id, CM_INT32* return_code) {
  if (id == nullptr) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return nullptr;
  }
  CpicId key;
  std::memcpy(key.data(), id, key.size());
  auto found = Node().cpic.find(key);
  if (found == Node().cpic.end()) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return nullptr;
  }
  return &found->second;
}

void End(const unsigned char* id) {
  CpicId key;
  std::memcpy(key.data(), id, key.size());
  Node().cpic.erase(key);
}

// A characteristic that may only be set before the conversation is
// allocated, with a value between "low" and "high".
Conversation* StartSetting(const char* call, unsigned char* id,
                           const CM_INT32* value, CM_INT32 low, CM_INT32 high,
                           bool initialize_only, CM_INT32* return_code) {
  if (!Enter(call, return_code)) return nullptr;
  Conversation* conversation = Find(id, return_code);
  if (conversation == nullptr) return nullptr;
  if (initialize_only &&
      conversation->state != ConversationState::kInitialize) {
    *return_code = CM_PROGRAM_STATE_CHECK;
    return nullptr;
  }
  if (value == nullptr || *value < low || *value > high) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return nullptr;
  }
  *return_code = CM_OK;
  return conversation;
}

// Copies a name given with its length; false when the length is out of
// "low".."high" or the name missing.
bool TakeName(const unsigned char* name, const CM_INT32* length, CM_INT32 low,
              CM_INT32 high, std::string* out) {
  if (length == nullptr || *length < low || *length > high) return false;
  if (*length > 0 && name == nullptr) return false;
  out->assign(reinterpret_cast<const char*>(name),
              static_cast<size_t>(*length));
  while (!out->empty() && out->back() == ' ') out->pop_back();
  return true;
}

CM_INT32 AttachReturnCode(sna::AttachError error) {
  switch (error) {
    case sna::AttachError::kTpNotRecognized:
      return CM_TPN_NOT_RECOGNIZED;
    case sna::AttachError::kConversationTypeMismatch:
      return CM_CONVERSATION_TYPE_MISMATCH;
    case sna::AttachError::kSyncLevelNotSupported:
      return CM_SYNC_LVL_NOT_SUPPORTED_PGM;
    case sna::AttachError::kSecurityNotValid:
      return CM_SECURITY_NOT_VALID;
    case sna::AttachError::kNone:
      break;
  }
  return CM_OK;
}

}  // namespace

extern "C" {

int WinCPICStartup(uint16_t version_required, WCPICDATA* data) {
  if (data == nullptr) return WCPICINVALID;
  if (version_required != kVersion10) return WCPICVERNOTSUPPORTED;
  if (!sna::ReloadConfig()) return WCPICSYSNOTREADY;
  if (const sna::Fault* fault = sna::FaultFor("WinCPICStartup")) {
    return static_cast<int>(fault->primary);
  }
  std::memset(data, 0, sizeof *data);
  data->wVersion = kVersion10;
  static constexpr char kDescription[] =
      "Tarpon emulated SNA node " TARPON_VERSION;
  static_assert(sizeof kDescription <= sizeof data->szDescription,
                "the description fits its field");
  std::memcpy(data->szDescription, kDescription, sizeof kDescription);
  ++Node().startups;
  return 0;
}

int WinCPICCleanup(void) {
  sna::NodeState& node = Node();
  if (node.startups == 0) return WCPICINVALID;
  if (const sna::Fault* fault = sna::FaultFor("WinCPICCleanup")) {
    return static_cast<int>(fault->primary);
  }
  if (--node.startups == 0) {
    // The program is done with the node: what it left open ends here.
    node.cpic.clear();
    node.tps.clear();
  }
  return 0;
}

void cminit(unsigned char* conversation_ID, unsigned char* sym_dest_name,
            CM_INT32* return_code) {
  if (!Enter("cminit", return_code)) return;
  if (conversation_ID == nullptr || sym_dest_name == nullptr) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return;
  }
  std::string name(reinterpret_cast<const char*>(sym_dest_name),
                   kSymDestLength);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) {
    name.pop_back();
  }
  const sna::NodeConfig& config = *Node().config;
  // No CPI-C call names a local LU: a program picks one through the
  // environment, and an alias the node does not know fails as TP_STARTED
  // fails for it.
  const char* local_lu = std::getenv(kLocalLuVariable);
  if (local_lu != nullptr && *local_lu != '\0' &&
      config.local_lus.count(local_lu) == 0) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return;
  }
  auto info = config.side_info.find(name);
  if (info == config.side_info.end()) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return;
  }
  Conversation conversation;
  conversation.partner_lu = info->second.partner_lu;
  conversation.mode = info->second.mode;
  conversation.tp_name = info->second.tp_name;
  conversation.security = info->second.security;
  CpicId id;
  uint64_t number = Node().next_cpic_id++;
  for (size_t i = 0; i < id.size(); ++i) {
    id[id.size() - 1 - i] = static_cast<unsigned char>(number >> (8 * i));
  }
  Node().cpic[id] = conversation;
  std::memcpy(conversation_ID, id.data(), id.size());
  *return_code = CM_OK;
}

void cmsct(unsigned char* conversation_ID, CM_INT32* conversation_type,
           CM_INT32* return_code) {
  Conversation* c = StartSetting("cmsct", conversation_ID, conversation_type,
                                 CM_BASIC_CONVERSATION, CM_MAPPED_CONVERSATION,
                                 true, return_code);
  if (c != nullptr) c->mapped = *conversation_type == CM_MAPPED_CONVERSATION;
}

void cmssl(unsigned char* conversation_ID, CM_INT32* sync_level,
           CM_INT32* return_code) {
  Conversation* c = StartSetting("cmssl", conversation_ID, sync_level, CM_NONE,
                                 CM_CONFIRM, true, return_code);
  if (c != nullptr) c->sync_confirm = *sync_level == CM_CONFIRM;
}

void cmsrc(unsigned char* conversation_ID, CM_INT32* return_control,
           CM_INT32* return_code) {
  // Sessions are always free here: both ways of returning control agree.
  StartSetting("cmsrc", conversation_ID, return_control,
               CM_WHEN_SESSION_ALLOCATED, kImmediate, true, return_code);
}

void cmsst(unsigned char* conversation_ID, CM_INT32* send_type,
           CM_INT32* return_code) {
  Conversation* c =
      StartSetting("cmsst", conversation_ID, send_type, CM_BUFFER_DATA,
                   CM_SEND_AND_DEALLOCATE, false, return_code);
  if (c != nullptr) c->send_type = *send_type;
}

void cmsptr(unsigned char* conversation_ID, CM_INT32* prepare_to_receive_type,
            CM_INT32* return_code) {
  StartSetting("cmsptr", conversation_ID, prepare_to_receive_type,
               CM_PREP_TO_RECEIVE_SYNC_LEVEL, CM_PREP_TO_RECEIVE_CONFIRM, false,
               return_code);
}

void cmsrt(unsigned char* conversation_ID, CM_INT32* receive_type,
           CM_INT32* return_code) {
  // The host's answer is complete when it arrives: both receive types
  // behave alike.
  StartSetting("cmsrt", conversation_ID, receive_type, CM_RECEIVE_AND_WAIT,
               CM_RECEIVE_IMMEDIATE, false, return_code);
}

void cmsf(unsigned char* conversation_ID, CM_INT32* fill,
          CM_INT32* return_code) {
  Conversation* c = StartSetting("cmsf", conversation_ID, fill, CM_FILL_LL,
                                 CM_FILL_BUFFER, false, return_code);
  if (c != nullptr) c->fill = *fill;
}

void cmsdt(unsigned char* conversation_ID, CM_INT32* deallocate_type,
           CM_INT32* return_code) {
  Conversation* c = StartSetting("cmsdt", conversation_ID, deallocate_type,
                                 CM_DEALLOCATE_SYNC_LEVEL, CM_DEALLOCATE_ABEND,
                                 false, return_code);
  if (c != nullptr) c->deallocate_type = *deallocate_type;
}

void cmsmn(unsigned char* conversation_ID, unsigned char* mode_name,
           CM_INT32* mode_name_length, CM_INT32* return_code) {
  if (!Enter("cmsmn", return_code)) return;
  Conversation* c = Find(conversation_ID, return_code);
  if (c == nullptr) return;
  if (c->state != ConversationState::kInitialize) {
    *return_code = CM_PROGRAM_STATE_CHECK;
    return;
  }
  std::string mode;
  if (!TakeName(mode_name, mode_name_length, 0, kMaxModeLength, &mode)) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return;
  }
  c->mode = mode;
  *return_code = CM_OK;
}

void cmspln(unsigned char* conversation_ID, unsigned char* partner_LU_name,
            CM_INT32* partner_LU_name_length, CM_INT32* return_code) {
  if (!Enter("cmspln", return_code)) return;
  Conversation* c = Find(conversation_ID, return_code);
  if (c == nullptr) return;
  if (c->state != ConversationState::kInitialize) {
    *return_code = CM_PROGRAM_STATE_CHECK;
    return;
  }
  std::string name;
  if (!TakeName(partner_LU_name, partner_LU_name_length, 1, kMaxPartnerLuLength,
                &name) ||
      name.empty()) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return;
  }
  c->partner_lu = name;
  *return_code = CM_OK;
}

void cmepln(unsigned char* conversation_ID, unsigned char* partner_LU_name,
            CM_INT32* partner_LU_name_length, CM_INT32* return_code) {
  if (!Enter("cmepln", return_code)) return;
  Conversation* c = Find(conversation_ID, return_code);
  if (c == nullptr) return;
  if (partner_LU_name == nullptr || partner_LU_name_length == nullptr) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return;
  }
  // At most the architected room.
  size_t length = std::min(c->partner_lu.size(), kMaxPartnerLuLength);
  std::memcpy(partner_LU_name, c->partner_lu.data(), length);
  *partner_LU_name_length = static_cast<CM_INT32>(length);
  *return_code = CM_OK;
}

void cmemn(unsigned char* conversation_ID, unsigned char* mode_name,
           CM_INT32* mode_name_length, CM_INT32* return_code) {
  if (!Enter("cmemn", return_code)) return;
  Conversation* c = Find(conversation_ID, return_code);
  if (c == nullptr) return;
  if (mode_name == nullptr || mode_name_length == nullptr) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return;
  }
  size_t length = std::min(c->mode.size(), kMaxModeLength);
  std::memcpy(mode_name, c->mode.data(), length);
  *mode_name_length = static_cast<CM_INT32>(length);
  *return_code = CM_OK;
}

void cmallc(unsigned char* conversation_ID, CM_INT32* return_code) {
  if (!Enter("cmallc", return_code)) return;
  Conversation* c = Find(conversation_ID, return_code);
  if (c == nullptr) return;
  if (c->state != ConversationState::kInitialize) {
    *return_code = CM_PROGRAM_STATE_CHECK;
    return;
  }
  switch (sna::Allocate(*Node().config, c)) {
    case sna::AllocateResult::kOk:
      *return_code = CM_OK;
      break;
    case sna::AllocateResult::kBadPartnerAlias:
    case sna::AllocateResult::kBadMode:
      // The program may correct the name and allocate again.
      *return_code = CM_PARAMETER_ERROR;
      break;
    case sna::AllocateResult::kNotAHost:
      *return_code = CM_ALLOCATE_FAILURE_NO_RETRY;
      End(conversation_ID);
      break;
  }
}

void cmsend(unsigned char* conversation_ID, unsigned char* buffer,
            CM_INT32* send_length, CM_INT32* request_to_send_received,
            CM_INT32* return_code) {
  if (!Enter("cmsend", return_code)) return;
  Conversation* c = Find(conversation_ID, return_code);
  if (c == nullptr) return;
  if (c->state != ConversationState::kSend) {
    *return_code = CM_PROGRAM_STATE_CHECK;
    return;
  }
  if (send_length == nullptr || *send_length < 0 ||
      *send_length > kMaxBufferLength ||
      (*send_length > 0 && buffer == nullptr)) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return;
  }
  if (c->send_type == CM_SEND_AND_CONFIRM && !c->sync_confirm) {
    *return_code = CM_PROGRAM_STATE_CHECK;
    return;
  }
  if (request_to_send_received != nullptr) {
    *request_to_send_received = CM_REQ_TO_SEND_NOT_RECEIVED;
  }
  sna::Buffer(c, buffer, static_cast<size_t>(*send_length));
  *return_code = CM_OK;
  switch (c->send_type) {
    case CM_SEND_AND_CONFIRM:
    case CM_SEND_AND_PREP_TO_RECEIVE:
      sna::Exchange(c);
      break;
    case CM_SEND_AND_DEALLOCATE:
      // The host gets a request it can never answer: it is dropped unread,
      // so no password changes without a reply saying so.
      End(conversation_ID);
      break;
    default:
      break;
  }
}

void cmrcv(unsigned char* conversation_ID, unsigned char* buffer,
           CM_INT32* requested_length, CM_INT32* data_received,
           CM_INT32* received_length, CM_INT32* status_received,
           CM_INT32* request_to_send_received, CM_INT32* return_code) {
  if (data_received != nullptr) *data_received = CM_NO_DATA_RECEIVED;
  if (received_length != nullptr) *received_length = 0;
  if (status_received != nullptr) *status_received = CM_NO_STATUS_RECEIVED;
  if (request_to_send_received != nullptr) {
    *request_to_send_received = CM_REQ_TO_SEND_NOT_RECEIVED;
  }
  if (!Enter("cmrcv", return_code)) return;
  Conversation* c = Find(conversation_ID, return_code);
  if (c == nullptr) return;
  if (c->state == ConversationState::kInitialize) {
    *return_code = CM_PROGRAM_STATE_CHECK;
    return;
  }
  if (requested_length == nullptr || *requested_length < 0 ||
      *requested_length > kMaxBufferLength ||
      (*requested_length > 0 && buffer == nullptr) ||
      data_received == nullptr || received_length == nullptr ||
      status_received == nullptr || request_to_send_received == nullptr) {
    *return_code = CM_PROGRAM_PARAMETER_CHECK;
    return;
  }
  if (c->state == ConversationState::kSend) sna::Exchange(c);
  ++c->receives;
  if (c->attach_error != sna::AttachError::kNone) {
    *return_code = AttachReturnCode(c->attach_error);
    End(conversation_ID);
    return;
  }
  size_t waiting = sna::InboundLeft(*c);
  size_t taken =
      sna::TakeInbound(c, buffer, static_cast<size_t>(*requested_length));
  *received_length = static_cast<CM_INT32>(taken);
  if (waiting > 0 && taken > 0) {
    if (c->fill == CM_FILL_BUFFER) {
      *data_received = CM_DATA_RECEIVED;
    } else {
      *data_received = sna::InboundLeft(*c) == 0 ? CM_COMPLETE_DATA_RECEIVED
                                                 : CM_INCOMPLETE_DATA_RECEIVED;
    }
  }
  if (sna::InboundLeft(*c) == 0 && c->deallocated) {
    *return_code = CM_DEALLOCATED_NORMAL;
    End(conversation_ID);
    return;
  }
  *return_code = CM_OK;
}

void cmdeal(unsigned char* conversation_ID, CM_INT32* return_code) {
  if (!Enter("cmdeal", return_code)) return;
  Conversation* c = Find(conversation_ID, return_code);
  if (c == nullptr) return;
  bool abend = c->deallocate_type == CM_DEALLOCATE_ABEND;
  if ((c->state == ConversationState::kReceive && !abend) ||
      (c->deallocate_type == CM_DEALLOCATE_CONFIRM && !c->sync_confirm)) {
    // Only an abnormal end may be asked for while the host holds the right
    // to send.
    *return_code = CM_PROGRAM_STATE_CHECK;
    return;
  }
  // Buffered data would reach a host that could not answer: it is dropped
  // unread, as with send-and-deallocate.
  End(conversation_ID);
  *return_code = CM_OK;
}

}  // extern "C"
