// The emulated node's state, shared by the CPI-C calls, the APPC verbs and
// the common service verb: the configuration in effect, the conversations
// and the transaction programs. Each thread of the process is a program of
// its own to the node, with a state of its own: conversations run at once
// in several threads never see each other, and a thread's WinCPICCleanup
// ends only its own.
#ifndef TARPON_SNA_NODE_H_
#define TARPON_SNA_NODE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sna/node_config.h"

namespace sna {

// Why the host refused to start the service for a conversation; reported
// at the first receive.
enum class AttachError {
  kNone,
  kTpNotRecognized,
  kConversationTypeMismatch,
  kSyncLevelNotSupported,
  kSecurityNotValid,
};

enum class ConversationState { kInitialize, kSend, kReceive };

// One conversation between a local program and the host. Both interfaces
// keep it in this form; an ended conversation is removed.
struct Conversation {
  ConversationState state = ConversationState::kInitialize;
  // Characteristics.
  std::string partner_lu;  // a qualified name (with a period) or an alias
  std::string mode;
  std::string tp_name;  // EBCDIC
  Security security = Security::kNone;
  bool mapped = false;
  bool sync_confirm = false;
  int32_t send_type = 0;
  int32_t fill = 0;
  int32_t deallocate_type = 0;
  // Set at allocation.
  HostConfig host;
  // The request on its way to the host; bytes beyond kMaxOutbound are
  // counted, not kept.
  std::string outbound;
  bool outbound_overflow = false;
  // The host's answer.
  AttachError attach_error = AttachError::kNone;
  std::string inbound;
  size_t inbound_taken = 0;
  bool deallocated = false;  // the host has ended the conversation
  int receives = 0;
};

constexpr size_t kMaxOutbound = 4096;

// Appends data the local program sends.
void Buffer(Conversation* conversation, const unsigned char* data,
            size_t length);

// Turns the conversation around: the host gets the buffered request and
// answers it (or refuses the attach); the conversation enters receive state.
void Exchange(Conversation* conversation);

// Copies up to "room" bytes of the host's answer that are still due into
// "buffer" and returns their count.
size_t TakeInbound(Conversation* conversation, unsigned char* buffer,
                   size_t room);
inline size_t InboundLeft(const Conversation& conversation) {
  return conversation.inbound.size() - conversation.inbound_taken;
}

// Resolves a partner LU name or alias to a host at allocation.
enum class AllocateResult { kOk, kBadPartnerAlias, kBadMode, kNotAHost };
AllocateResult Allocate(const NodeConfig& config, Conversation* conversation);

using CpicId = std::array<unsigned char, 8>;

struct TransactionProgram {
  std::map<uint32_t, Conversation> conversations;
};

struct NodeState {
  // Null: no usable configuration. Shared with the parse kept for the
  // next read of an unchanged file; never modified.
  std::shared_ptr<const NodeConfig> config;
  int startups = 0;  // WinCPICStartup calls not cleaned up
  std::map<CpicId, Conversation> cpic;
  std::map<uint64_t, TransactionProgram> tps;
  uint64_t next_cpic_id = 1;
  uint64_t next_tp_id = 1;
  uint32_t next_conversation_id = 1;
};

// This thread's state.
NodeState& Node();

// Reads the configuration again; on a fault writes one line to standard
// error and leaves no configuration in effect. Returns true when usable.
bool ReloadConfig();

// The configuration for an APPC or ACSSVC verb. Without a WinCPICStartup in
// effect it is read again for a verb that begins a piece of work
// ("begins_work": TP_STARTED, or ACSSVC while no transaction program
// runs) and for any verb while none is usable. Null when there is none.
const NodeConfig* ConfigForVerb(bool begins_work);

// The fault configured for "call" in the configuration in effect, or null.
const Fault* FaultFor(const char* call);

}  // namespace sna

#endif  // TARPON_SNA_NODE_H_
