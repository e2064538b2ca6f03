#include "sna/node.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sna/host.h"

namespace sna {

namespace {

const char kServiceTp[] = "\x06\xF3\xF0\xF1";

}  // namespace

NodeState& Node() {
  thread_local NodeState state;
  return state;
}

bool ReloadConfig() {
  NodeState& node = Node();
  std::string error;
  std::shared_ptr<const NodeConfig> config = LoadSharedNodeConfig(&error);
  if (config == nullptr) {
    std::fprintf(stderr, "tarpon sna node: %s\n", error.c_str());
    std::fflush(stderr);
    node.config.reset();
    return false;
  }
  node.config = std::move(config);
  return true;
}

const NodeConfig* ConfigForVerb(bool begins_work) {
  NodeState& node = Node();
  if (node.startups == 0 && (begins_work || node.config == nullptr)) {
    ReloadConfig();
  }
  return node.config.get();
}

const Fault* FaultFor(const char* call) {
  const NodeConfig* config = Node().config.get();
  return config == nullptr ? nullptr : config->FindFault(call);
}

void Buffer(Conversation* conversation, const unsigned char* data,
            size_t length) {
  size_t room = kMaxOutbound - conversation->outbound.size();
  if (length > room) conversation->outbound_overflow = true;
  conversation->outbound.append(reinterpret_cast<const char*>(data),
                                std::min(length, room));
}

void Exchange(Conversation* conversation) {
  conversation->state = ConversationState::kReceive;
  const std::string& tp = conversation->tp_name;
  if (tp != std::string(kServiceTp, sizeof kServiceTp - 1)) {
    conversation->attach_error = AttachError::kTpNotRecognized;
  } else if (conversation->mapped) {
    conversation->attach_error = AttachError::kConversationTypeMismatch;
  } else if (conversation->sync_confirm) {
    conversation->attach_error = AttachError::kSyncLevelNotSupported;
  } else if (conversation->security != Security::kNone) {
    conversation->attach_error = AttachError::kSecurityNotValid;
  }
  if (conversation->attach_error != AttachError::kNone) return;
  // A slow host: the request waits here, in this conversation's thread
  // only, before the host decides it.
  if (conversation->host.answer_delay_ms > 0) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(conversation->host.answer_delay_ms));
  }
  const NodeConfig* config = Node().config.get();
  if (config != nullptr && config->has_reply_fault) {
    conversation->inbound = config->reply_fault;
  } else if (conversation->outbound_overflow) {
    // Longer than any request: the lengths cannot balance.
    std::string length_error =
        AnswerPasswordRequest(conversation->host, nullptr, 0);
    conversation->inbound = length_error;
  } else {
    conversation->inbound = AnswerPasswordRequest(
        conversation->host,
        reinterpret_cast<const unsigned char*>(conversation->outbound.data()),
        conversation->outbound.size());
  }
  conversation->deallocated = true;
}

size_t TakeInbound(Conversation* conversation, unsigned char* buffer,
                   size_t room) {
  size_t count = std::min(room, InboundLeft(*conversation));
  if (count > 0) {
    std::memcpy(buffer,
                conversation->inbound.data() + conversation->inbound_taken,
                count);
  }
  conversation->inbound_taken += count;
  return count;
}

AllocateResult Allocate(const NodeConfig& config, Conversation* conversation) {
  std::string qualified;
  if (conversation->partner_lu.find('.') != std::string::npos) {
    qualified = UpperCase(conversation->partner_lu);
  } else {
    auto alias = config.partner_lus.find(conversation->partner_lu);
    if (alias == config.partner_lus.end()) {
      return AllocateResult::kBadPartnerAlias;
    }
    qualified = alias->second;
  }
  if (!config.KnowsMode(conversation->mode)) return AllocateResult::kBadMode;
  auto host = config.hosts.find(qualified);
  if (host == config.hosts.end()) return AllocateResult::kNotAHost;
  conversation->host = host->second;
  conversation->state = ConversationState::kSend;
  return AllocateResult::kOk;
}

}  // namespace sna
