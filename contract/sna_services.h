// The SNA services the engine calls and never implements: the CPI-C calls
// (X/Open C binding), the APPC verb entry and the common service verb entry.
// The engine includes this header alone; any library that defines these
// functions with these layouts can serve it (in this project the emulated
// SNA node in sna/).
//
// Every call blocks until it completes. None is thread-safe.
#ifndef TARPON_CONTRACT_SNA_SERVICES_H_
#define TARPON_CONTRACT_SNA_SERVICES_H_

#include <cstdint>

extern "C" {

// ---------------------------------------------------------------- CPI-C

typedef int32_t CM_INT32;

// Start-up data: the version (low byte major, high byte minor) and a
// NUL-terminated description, 130 bytes in all.
#pragma pack(push, 1)
typedef struct {
  uint16_t wVersion;
  char szDescription[128];
} WCPICDATA;
#pragma pack(pop)
static_assert(sizeof(WCPICDATA) == 130, "start-up data is 130 bytes");

// Returns 0 when the library is ready, else one of the WCPIC codes below.
int WinCPICStartup(uint16_t version_required, WCPICDATA* data);
int WinCPICCleanup(void);

constexpr int WCPICINVALID = 0xF001;
constexpr int WCPICSYSNOTREADY = 0xF003;
constexpr int WCPICVERNOTSUPPORTED = 0xF004;

// Conversation IDs are 8 bytes. Names are counted, not NUL-terminated.
void cminit(unsigned char* conversation_ID, unsigned char* sym_dest_name,
            CM_INT32* return_code);
void cmallc(unsigned char* conversation_ID, CM_INT32* return_code);
void cmsend(unsigned char* conversation_ID, unsigned char* buffer,
            CM_INT32* send_length, CM_INT32* request_to_send_received,
            CM_INT32* return_code);
void cmrcv(unsigned char* conversation_ID, unsigned char* buffer,
           CM_INT32* requested_length, CM_INT32* data_received,
           CM_INT32* received_length, CM_INT32* status_received,
           CM_INT32* request_to_send_received, CM_INT32* return_code);
void cmepln(unsigned char* conversation_ID, unsigned char* partner_LU_name,
            CM_INT32* partner_LU_name_length, CM_INT32* return_code);
void cmemn(unsigned char* conversation_ID, unsigned char* mode_name,
           CM_INT32* mode_name_length, CM_INT32* return_code);
void cmsct(unsigned char* conversation_ID, CM_INT32* conversation_type,
           CM_INT32* return_code);
void cmssl(unsigned char* conversation_ID, CM_INT32* sync_level,
           CM_INT32* return_code);
void cmsrc(unsigned char* conversation_ID, CM_INT32* return_control,
           CM_INT32* return_code);
void cmsst(unsigned char* conversation_ID, CM_INT32* send_type,
           CM_INT32* return_code);
void cmsptr(unsigned char* conversation_ID, CM_INT32* prepare_to_receive_type,
            CM_INT32* return_code);
void cmsrt(unsigned char* conversation_ID, CM_INT32* receive_type,
           CM_INT32* return_code);
void cmsf(unsigned char* conversation_ID, CM_INT32* fill,
          CM_INT32* return_code);
void cmsmn(unsigned char* conversation_ID, unsigned char* mode_name,
           CM_INT32* mode_name_length, CM_INT32* return_code);
void cmspln(unsigned char* conversation_ID, unsigned char* partner_LU_name,
            CM_INT32* partner_LU_name_length, CM_INT32* return_code);
void cmsdt(unsigned char* conversation_ID, CM_INT32* deallocate_type,
           CM_INT32* return_code);
void cmdeal(unsigned char* conversation_ID, CM_INT32* return_code);

// Return codes.
constexpr CM_INT32 CM_OK = 0;
constexpr CM_INT32 CM_ALLOCATE_FAILURE_NO_RETRY = 1;
constexpr CM_INT32 CM_ALLOCATE_FAILURE_RETRY = 2;
constexpr CM_INT32 CM_CONVERSATION_TYPE_MISMATCH = 3;
constexpr CM_INT32 CM_PIP_NOT_SPECIFIED_CORRECTLY = 5;
constexpr CM_INT32 CM_SECURITY_NOT_VALID = 6;
constexpr CM_INT32 CM_SYNC_LVL_NOT_SUPPORTED_LU = 7;
constexpr CM_INT32 CM_SYNC_LVL_NOT_SUPPORTED_PGM = 8;
constexpr CM_INT32 CM_TPN_NOT_RECOGNIZED = 9;
constexpr CM_INT32 CM_TP_NOT_AVAILABLE_NO_RETRY = 10;
constexpr CM_INT32 CM_TP_NOT_AVAILABLE_RETRY = 11;
constexpr CM_INT32 CM_DEALLOCATED_ABEND = 17;
constexpr CM_INT32 CM_DEALLOCATED_NORMAL = 18;
constexpr CM_INT32 CM_PARAMETER_ERROR = 19;
constexpr CM_INT32 CM_PRODUCT_SPECIFIC_ERROR = 20;
constexpr CM_INT32 CM_PROGRAM_ERROR_NO_TRUNC = 21;
constexpr CM_INT32 CM_PROGRAM_ERROR_PURGING = 22;
constexpr CM_INT32 CM_PROGRAM_ERROR_TRUNC = 23;
constexpr CM_INT32 CM_PROGRAM_PARAMETER_CHECK = 24;
constexpr CM_INT32 CM_PROGRAM_STATE_CHECK = 25;
constexpr CM_INT32 CM_RESOURCE_FAILURE_NO_RETRY = 26;
constexpr CM_INT32 CM_RESOURCE_FAILURE_RETRY = 27;
constexpr CM_INT32 CM_UNSUCCESSFUL = 28;

// Characteristic values.
constexpr CM_INT32 CM_BASIC_CONVERSATION = 0;
constexpr CM_INT32 CM_MAPPED_CONVERSATION = 1;
constexpr CM_INT32 CM_NONE = 0;  // sync level
constexpr CM_INT32 CM_CONFIRM = 1;
constexpr CM_INT32 CM_WHEN_SESSION_ALLOCATED = 0;
constexpr CM_INT32 CM_BUFFER_DATA = 0;  // send types
constexpr CM_INT32 CM_SEND_AND_FLUSH = 1;
constexpr CM_INT32 CM_SEND_AND_CONFIRM = 2;
constexpr CM_INT32 CM_SEND_AND_PREP_TO_RECEIVE = 3;
constexpr CM_INT32 CM_SEND_AND_DEALLOCATE = 4;
constexpr CM_INT32 CM_PREP_TO_RECEIVE_SYNC_LEVEL = 0;
constexpr CM_INT32 CM_PREP_TO_RECEIVE_FLUSH = 1;
constexpr CM_INT32 CM_PREP_TO_RECEIVE_CONFIRM = 2;
constexpr CM_INT32 CM_RECEIVE_AND_WAIT = 0;
constexpr CM_INT32 CM_RECEIVE_IMMEDIATE = 1;
constexpr CM_INT32 CM_FILL_LL = 0;
constexpr CM_INT32 CM_FILL_BUFFER = 1;
constexpr CM_INT32 CM_DEALLOCATE_SYNC_LEVEL = 0;
constexpr CM_INT32 CM_DEALLOCATE_FLUSH = 1;
constexpr CM_INT32 CM_DEALLOCATE_CONFIRM = 2;
constexpr CM_INT32 CM_DEALLOCATE_ABEND = 3;

// cmrcv indications.
constexpr CM_INT32 CM_NO_DATA_RECEIVED = 0;
constexpr CM_INT32 CM_DATA_RECEIVED = 1;
constexpr CM_INT32 CM_COMPLETE_DATA_RECEIVED = 2;
constexpr CM_INT32 CM_INCOMPLETE_DATA_RECEIVED = 3;
constexpr CM_INT32 CM_NO_STATUS_RECEIVED = 0;
constexpr CM_INT32 CM_SEND_RECEIVED = 1;
constexpr CM_INT32 CM_REQ_TO_SEND_NOT_RECEIVED = 0;
constexpr CM_INT32 CM_REQ_TO_SEND_RECEIVED = 1;

// ----------------------------------------------------------------- APPC
//
// One entry takes any verb control block; the block's first field is the
// verb code. The caller zeroes the block, sets the fields the verb takes and
// reads the return codes. Return codes are stored in architected (big-endian)
// byte order, so that on this little-endian machine they read as the "held"
// values below: AP_DEALLOC_NORMAL, architected X'0009', reads 0x0900.

void APPC(void* verb_control_block);

// Verb codes, stored as plain numbers.
constexpr uint16_t AP_B_ALLOCATE = 0x0001;
constexpr uint16_t AP_B_RECEIVE_AND_WAIT = 0x000B;
constexpr uint16_t AP_B_SEND_DATA = 0x000F;
constexpr uint16_t AP_TP_ENDED = 0x0013;
constexpr uint16_t AP_TP_STARTED = 0x0014;

#pragma pack(push, 1)
typedef struct {
  uint16_t opcode;
  uint8_t opext;  // 0: the basic-conversation form
  uint8_t reserv2;
  uint16_t primary_rc;
  uint32_t secondary_rc;
} AP_VERB_HEADER;

typedef struct {
  uint16_t opcode;
  uint8_t opext;
  uint8_t reserv2;
  uint16_t primary_rc;
  uint32_t secondary_rc;
  unsigned char lu_alias[8];  // ASCII, blank-padded; all zero: default LU
  unsigned char tp_id[8];     // returned
  unsigned char tp_name[64];  // ASCII, blank-padded
} TP_STARTED;

typedef struct {
  uint16_t opcode;
  uint8_t opext;
  uint8_t reserv2;
  uint16_t primary_rc;
  uint32_t secondary_rc;
  unsigned char tp_id[8];
  uint32_t conv_id;              // returned
  uint8_t conv_type;             // AP_BASIC_CONVERSATION
  uint8_t sync_level;            // AP_NONE
  uint8_t rtn_ctl;               // AP_WHEN_SESSION_ALLOCATED
  uint8_t security;              // AP_NONE
  unsigned char plu_alias[8];    // ASCII, blank-padded; or all zero
  unsigned char fqplu_name[17];  // EBCDIC, upper case, X'40'-padded
  unsigned char mode_name[8];    // EBCDIC, upper case, X'40'-padded
  unsigned char tp_name[64];     // EBCDIC, X'40'-padded
  uint16_t pip_dlen;
  unsigned char* pip_dptr;
} ALLOCATE;

typedef struct {
  uint16_t opcode;
  uint8_t opext;
  uint8_t reserv2;
  uint16_t primary_rc;
  uint32_t secondary_rc;
  unsigned char tp_id[8];
  uint32_t conv_id;
  uint8_t rts_rcvd;  // returned
  uint8_t type;      // AP_NONE: the data are buffered
  uint16_t dlen;
  unsigned char* dptr;
} SEND_DATA;

typedef struct {
  uint16_t opcode;
  uint8_t opext;
  uint8_t reserv2;
  uint16_t primary_rc;
  uint32_t secondary_rc;
  unsigned char tp_id[8];
  uint32_t conv_id;
  uint16_t what_rcvd;  // returned
  uint8_t rtn_status;
  uint8_t fill;      // AP_BUFFER
  uint8_t rts_rcvd;  // returned
  uint16_t max_len;
  uint16_t dlen;  // returned
  unsigned char* dptr;
} RECEIVE_AND_WAIT;

typedef struct {
  uint16_t opcode;
  uint8_t opext;
  uint8_t reserv2;
  uint16_t primary_rc;
  uint32_t secondary_rc;
  unsigned char tp_id[8];
  uint8_t type;  // AP_SOFT
} TP_ENDED;
#pragma pack(pop)

// Field values.
constexpr uint8_t AP_BASIC_CONVERSATION = 0;
constexpr uint8_t AP_NONE = 0;
constexpr uint8_t AP_WHEN_SESSION_ALLOCATED = 0;
constexpr uint8_t AP_BUFFER = 0;
constexpr uint8_t AP_SOFT = 0;
constexpr uint16_t AP_DATA_COMPLETE = 0x0001;  // what_rcvd
constexpr uint16_t AP_DATA_INCOMPLETE = 0x0002;

// Primary return codes as held.
constexpr uint16_t AP_OK = 0x0000;
constexpr uint16_t AP_PARAMETER_CHECK = 0x0100;
constexpr uint16_t AP_STATE_CHECK = 0x0200;
constexpr uint16_t AP_ALLOCATION_ERROR = 0x0300;
constexpr uint16_t AP_DEALLOC_ABEND = 0x0500;
constexpr uint16_t AP_DEALLOC_NORMAL = 0x0900;
constexpr uint16_t AP_CONV_FAILURE_NO_RETRY = 0x1000;
constexpr uint16_t AP_UNSUCCESSFUL = 0x1400;
constexpr uint16_t AP_COMM_SUBSYSTEM_ABENDED = 0x03F0;
constexpr uint16_t AP_COMM_SUBSYSTEM_NOT_LOADED = 0x04F0;
constexpr uint16_t AP_INVALID_VERB = 0xFFFF;

// Secondary return codes as held.
constexpr uint32_t AP_BAD_TP_ID = 0x01000000;
constexpr uint32_t AP_BAD_CONV_ID = 0x02000000;
constexpr uint32_t AP_BAD_LU_ALIAS = 0x03000000;
constexpr uint32_t AP_ALLOCATION_FAILURE_NO_RETRY = 0x04000000;
constexpr uint32_t AP_BAD_CONV_TYPE = 0x11000000;
constexpr uint32_t AP_BAD_SYNC_LEVEL = 0x12000000;
constexpr uint32_t AP_BAD_SECURITY = 0x13000000;
constexpr uint32_t AP_BAD_RETURN_CONTROL = 0x14000000;
constexpr uint32_t AP_UNKNOWN_PARTNER_MODE = 0x18000000;
constexpr uint32_t AP_BAD_PARTNER_LU_ALIAS = 0x5B010000;
constexpr uint32_t AP_RCV_AND_WAIT_BAD_STATE = 0xB1000000;
constexpr uint32_t AP_SEND_DATA_NOT_SEND_STATE = 0xF2000000;
constexpr uint32_t AP_TP_NAME_NOT_RECOGNIZED = 0x21600810;
constexpr uint32_t AP_SECURITY_NOT_VALID = 0x51600F08;
constexpr uint32_t AP_SYNC_LEVEL_NOT_SUPPORTED = 0x41600810;
constexpr uint32_t AP_CONVERSATION_TYPE_MISMATCH = 0x34600810;

// ------------------------------------------------- common service verb

void ACSSVC(void* verb_control_block);

constexpr uint16_t SV_CONVERT = 0x001A;
constexpr uint8_t SV_ASCII_TO_EBCDIC = 0;
constexpr uint8_t SV_EBCDIC_TO_ASCII = 1;
// Character set: the standard table (code page 037).
constexpr uint8_t SV_AE = 0;

// Return codes are plain numbers.
constexpr uint16_t SV_OK = 0x0000;
constexpr uint16_t SV_PARAMETER_CHECK = 0x0001;
constexpr uint16_t SV_COMM_SUBSYSTEM_NOT_LOADED = 0xF004;

#pragma pack(push, 1)
typedef struct {
  uint16_t opcode;  // SV_CONVERT
  uint8_t opext;
  uint8_t reserv2;
  uint16_t primary_rc;
  uint32_t secondary_rc;
  uint8_t direction;
  uint8_t char_set;
  uint16_t len;
  unsigned char* source;  // may equal target
  unsigned char* target;
} CONVERT;
#pragma pack(pop)

}  // extern "C"

#endif  // TARPON_CONTRACT_SNA_SERVICES_H_
