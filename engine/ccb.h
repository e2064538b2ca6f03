// The engine's per-request record: created by mainline, passed by pointer to
// every stage, destroyed at the end of the request.
#ifndef TARPON_ENGINE_CCB_H_
#define TARPON_ENGINE_CCB_H_

#include <cstdint>

#include "contract/host_field.h"
#include "engine/lu62_field.h"

// The longest user, password, alias, mode or profile name, and the longest
// network-qualified LU name (NETID.LUNAME).
constexpr unsigned int CCB_NAME_LENGTH = 8;
// The user and password fields hold what the host takes.
static_assert(CCB_NAME_LENGTH == kHostFieldLength,
              "the user and password fields differ from the host's");
constexpr unsigned int CCB_QUALIFIED_NAME_LENGTH = 17;
// The longest transaction program name.
constexpr unsigned int CCB_TP_NAME_LENGTH = 64;

constexpr int32_t GDS_REQUEST_BUFFER_SIZE = 38;
constexpr int32_t GDS_REPLY_BUFFER_SIZE = 15;
extern const char* const LOCAL_TP_NAME;  // "Korvid_KSV_client"

class CommunicationsControlBlock {
 public:
  // Obtains both GDS buffers; constructed is 1 only when both were had.
  CommunicationsControlBlock();
  ~CommunicationsControlBlock();
  CommunicationsControlBlock(const CommunicationsControlBlock&) = delete;
  CommunicationsControlBlock& operator=(const CommunicationsControlBlock&) =
      delete;

  unsigned char cpicConversationId[8];
  unsigned char appcTpId[8];
  uint32_t appcConversationId;
  Lu62Field databaseName;            // max 8
  Lu62Field symbolicDestination;     // max 8
  Lu62Field serverName;              // max 17
  Lu62Field localTpName;             // max 64
  Lu62Field localLuAlias;            // max 8
  Lu62Field partnerLuAlias;          // max 8
  Lu62Field qualifiedPartnerLuName;  // max 17
  Lu62Field modeName;                // max 8
  char user[CCB_NAME_LENGTH + 1];
  char oldPassword[CCB_NAME_LENGTH + 1];
  char newPassword[CCB_NAME_LENGTH + 1];
  int32_t requestLength;
  int32_t requestBufferSize;
  unsigned char* requestBuffer;
  int32_t replyLength;
  int32_t replyBufferSize;
  unsigned char* replyBuffer;
  int16_t verbose;
  int16_t cpicUsed;
  int16_t appcSupported;
  int16_t conversationInitialized;
  int16_t logRequested;
  int16_t constructed;
  uint8_t localChange;
  uint8_t savedTraceFlags;
  uint8_t traceSwitchGiven;
  unsigned char cpicVersion[2];  // version byte, release byte
  char cpicDescription[128];
  int16_t partnerLuFromSideInfo;
};

typedef CommunicationsControlBlock CCB;
typedef CommunicationsControlBlock* CCB_PTR;

#endif  // TARPON_ENGINE_CCB_H_
