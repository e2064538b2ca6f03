#include "engine/cpic_binding.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "contract/sna_services.h"
#include "engine/sna_call.h"
#include "engine/status.h"
#include "engine/tarpon.h"
#include "trace/program_output.h"
#include "trace/trace.h"

namespace {

// Output buffers handed to the SNA product for names it returns.
constexpr size_t kNameRoom = 64;

// Copies at most size - 1 characters of text into buffer and terminates it.
void copy_bounded(char* buffer, size_t size, const char* text, size_t length) {
  if (length > size - 1) length = size - 1;
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
}

// One characteristic call of the password conversation.
typedef void (*SetCall)(unsigned char*, CM_INT32*, CM_INT32*);

int set_value(unsigned char* conversationId, SetCall call, CM_INT32 value,
              const char* caller, const char* subject, uint8_t statusType) {
  CM_INT32 rc = CM_OK;
  call(conversationId, &value, &rc);
  if (rc == CM_OK) return 0;
  return cpic_call_failed(caller, subject, statusType, rc);
}

int set_name(unsigned char* conversationId,
             void (*call)(unsigned char*, unsigned char*, CM_INT32*, CM_INT32*),
             const char* name, const char* caller, const char* subject,
             uint8_t statusType) {
  // The call takes a counted name; a private copy keeps the field's view
  // out of the SNA product's hands.
  char buffer[CPIC_PARTNER_LU_NAME_SIZE];
  copy_bounded(buffer, sizeof buffer, name, std::strlen(name));
  CM_INT32 length = static_cast<CM_INT32>(std::strlen(buffer));
  CM_INT32 rc = CM_OK;
  call(conversationId, reinterpret_cast<unsigned char*>(buffer), &length, &rc);
  if (rc == CM_OK) return 0;
  return cpic_call_failed(caller, subject, statusType, rc);
}

}  // namespace

int cminit_internal(unsigned char* conversationId,
                    const char* symbolicDestination, const char* caller) {
  int result = 0;
  TraceScope scope("cminit_internal()", &result, TRACE_OFF);
  // cminit reads exactly 8 characters.
  char name[CCB_NAME_LENGTH + 1];
  std::snprintf(name, sizeof name, "%-8.8s", symbolicDestination);
  CM_INT32 rc = CM_OK;
  cminit(conversationId, reinterpret_cast<unsigned char*>(name), &rc);
  if (rc != CM_OK) {
    if (caller != nullptr) {
      report_status(caller, "cminit()", STATUS_CPIC_CMINIT, name,
                    static_cast<int>(rc));
    }
    result = TARPON_RC_SNA_CALL_FAILED;
  }
  return result;
}

int cmallc_internal(unsigned char* conversationId, CCB_PTR ccb,
                    const char* caller) {
  int result = 0;
  TraceScope scope("cmallc_internal()", &result, TRACE_OFF);
  CM_INT32 rc = CM_OK;
  cmallc(conversationId, &rc);
  if (rc != CM_OK) {
    result = cpic_call_failed(caller, "cmallc()", STATUS_CPIC_CMALLC, rc);
    if (rc == CM_PRODUCT_SPECIFIC_ERROR && ccb->partnerLuFromSideInfo == 1) {
      report_side_info_partner(caller, ccb);
    }
  }
  return result;
}

int set_ksv_cpic_conversation_metrics(CCB_PTR ccb, const char* caller) {
  int result = 0;
  TraceScope scope("set_ksv_cpic_conversation_metrics()", &result, TRACE_OFF);
  unsigned char* id = ccb->cpicConversationId;

  // The mode and partner LU names are taken first: each view overwrites its
  // field's work buffer, so each is copied before the next is asked for.
  char mode[CPIC_MODE_NAME_SIZE] = "";
  if (ccb->modeName.isSet()) {
    copy_bounded(mode, sizeof mode, ccb->modeName.getUpper(),
                 ccb->modeName.length());
  }
  char partner[CPIC_PARTNER_LU_NAME_SIZE] = "";
  if (ccb->partnerLuAlias.isSet()) {
    copy_bounded(partner, sizeof partner, ccb->partnerLuAlias.get(),
                 ccb->partnerLuAlias.length());
  } else if (ccb->qualifiedPartnerLuName.isSet()) {
    copy_bounded(partner, sizeof partner,
                 ccb->qualifiedPartnerLuName.getUpper(),
                 ccb->qualifiedPartnerLuName.length());
  }

  result = set_value(id, cmsct, CM_BASIC_CONVERSATION, caller, "cmsct()",
                     STATUS_CPIC_CMSCT);
  if (result == 0) {
    result = set_name(id, cmsmn, mode, caller, "cmsmn()", STATUS_CPIC_CMSMN);
  }
  if (result == 0) {
    result =
        set_value(id, cmssl, CM_NONE, caller, "cmssl()", STATUS_CPIC_CMSSL);
  }
  if (result == 0) {
    result = set_value(id, cmsrc, CM_WHEN_SESSION_ALLOCATED, caller, "cmsrc()",
                       STATUS_CPIC_CMSRC);
  }
  if (result == 0) {
    result =
        set_name(id, cmspln, partner, caller, "cmspln()", STATUS_CPIC_CMSPLN);
  }
  if (result == 0) {
    result = set_value(id, cmsst, CM_SEND_AND_PREP_TO_RECEIVE, caller,
                       "cmsst()", STATUS_CPIC_CMSST);
  }
  if (result == 0) {
    result = set_value(id, cmsptr, CM_PREP_TO_RECEIVE_SYNC_LEVEL, caller,
                       "cmsptr", STATUS_CPIC_CMSPTR);
  }
  if (result == 0) {
    result = set_value(id, cmsrt, CM_RECEIVE_AND_WAIT, caller, "cmsrt()",
                       STATUS_CPIC_CMSRT);
  }
  if (result == 0) {
    result =
        set_value(id, cmsf, CM_FILL_BUFFER, caller, "cmsf()", STATUS_CPIC_CMSF);
  }
  return result;
}

int cmsend_internal(unsigned char* conversationId, int32_t length,
                    unsigned char* data, const char* caller) {
  int result = 0;
  TraceScope scope("cmsend_internal()", &result, TRACE_OFF);
  CM_INT32 sendLength = length;
  CM_INT32 requestToSend = 0;
  CM_INT32 rc = CM_OK;
  cmsend(conversationId, data, &sendLength, &requestToSend, &rc);
  if (rc != CM_OK) {
    result = cpic_call_failed(caller, "cmsend()", STATUS_CPIC_CMSEND, rc);
  }
  return result;
}

int cmrcv_internal(unsigned char* conversationId, int32_t* receivedLength,
                   int32_t requestedLength, unsigned char* buffer,
                   const char* caller) {
  int result = 0;
  TraceScope scope("cmrcv_internal()", &result, TRACE_OFF);
  CM_INT32 requested = requestedLength;
  CM_INT32 dataReceived = 0;
  CM_INT32 received = 0;
  CM_INT32 statusReceived = 0;
  CM_INT32 requestToSend = 0;
  CM_INT32 rc = CM_OK;
  cmrcv(conversationId, buffer, &requested, &dataReceived, &received,
        &statusReceived, &requestToSend, &rc);
  *receivedLength = received;
  if (rc != CM_OK && rc != CM_DEALLOCATED_NORMAL) {
    result = cpic_call_failed(caller, "cmrcv()", STATUS_CPIC_CMRCV, rc);
  }
  return result;
}

int cmepln_internal(unsigned char* conversationId, char* partnerLuName,
                    char* alias, const char* caller) {
  int result = 0;
  TraceScope scope("cmepln_internal()", &result, TRACE_OFF);
  partnerLuName[0] = '\0';
  alias[0] = '\0';
  // Room beyond the architected 17 characters, so that an overlong name from
  // the profile is seen whole and refused rather than cut.
  unsigned char name[kNameRoom] = {0};
  CM_INT32 length = 0;
  CM_INT32 rc = CM_OK;
  cmepln(conversationId, name, &length, &rc);
  if (rc != CM_OK) {
    result = cpic_call_failed(caller, "cmepln()", STATUS_CPIC_CMEPLN, rc);
    return result;
  }
  if (length < 0) length = 0;
  char text[kNameRoom];
  copy_bounded(text, sizeof text, reinterpret_cast<char*>(name),
               static_cast<size_t>(length));
  size_t textLength = std::strlen(text);
  bool qualified = std::strchr(text, '.') != nullptr;
  if (qualified && textLength < CPIC_PARTNER_LU_NAME_SIZE) {
    std::snprintf(partnerLuName, CPIC_PARTNER_LU_NAME_SIZE, "%s", text);
  } else if (!qualified && textLength < CPIC_PARTNER_LU_ALIAS_SIZE) {
    std::snprintf(alias, CPIC_PARTNER_LU_ALIAS_SIZE, "%s", text);
  } else {
    // Cutting the name would address some other partner: refuse it.
    char message[600];
    std::snprintf(
        message, sizeof message,
        "ERROR %d. Korvid Common Server KSV client version %s\n"
        "Api .................................. cmepln()\n"
        "Partner lu name ...................... %s\n"
        "The side information profile names a partner lu that is too long\n"
        "for %s.\n"
        "Please correct the partner lu name of the profile.\n",
        STATUS_CPIC_CMEPLN, KSV_VERSION_TEXT, text,
        qualified ? "a qualified partner lu name (at most 17 characters)"
                  : "a partner lu alias (at most 8 characters)");
    program_output() << message << std::flush;
    result = TARPON_RC_SNA_CALL_FAILED;
  }
  return result;
}

int cmemn_internal(unsigned char* conversationId, char* modeName,
                   const char* caller) {
  int result = 0;
  TraceScope scope("cmemn_internal()", &result, TRACE_OFF);
  modeName[0] = '\0';
  unsigned char name[kNameRoom] = {0};
  CM_INT32 length = 0;
  CM_INT32 rc = CM_OK;
  cmemn(conversationId, name, &length, &rc);
  if (rc != CM_OK) {
    result = cpic_call_failed(caller, "cmemn()", STATUS_CPIC_CMEMN, rc);
    return result;
  }
  if (length < 0) length = 0;
  copy_bounded(modeName, CPIC_MODE_NAME_SIZE, reinterpret_cast<char*>(name),
               static_cast<size_t>(length));
  return result;
}

int cmdeal_internal(unsigned char* conversationId, int32_t deallocateType,
                    const char* caller) {
  int result = 0;
  TraceScope scope("cmdeal_internal()", &result, TRACE_OFF);
  CM_INT32 type = deallocateType;
  CM_INT32 rc = CM_OK;
  cmsdt(conversationId, &type, &rc);
  if (rc != CM_OK) {
    result = cpic_call_failed(caller, "cmsdt()", STATUS_CPIC_CMSDT, rc);
    return result;
  }
  cmdeal(conversationId, &rc);
  if (rc != CM_OK) {
    result = cpic_call_failed(caller, "cmdeal()", STATUS_CPIC_CMDEAL, rc);
  }
  return result;
}
