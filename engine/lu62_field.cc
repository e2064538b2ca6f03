#include "engine/lu62_field.h"

#include <cstdlib>
#include <cstring>

#include "contract/sna_services.h"
#include "engine/status.h"
#include "engine/tarpon.h"
#include "trace/trace.h"

Lu62Field::Lu62Field()
    : value(nullptr),
      convertedValue(nullptr),
      padCharacter(' '),
      valueSet(0),
      maxLength(0),
      convertedLength(0),
      empty{} {
  TraceScope scope("Lu62Field::Lu62Field()", TRACE_OFF);
}

Lu62Field::~Lu62Field() {
  TraceScope scope("Lu62Field::~Lu62Field()", TRACE_OFF);
  Release();
}

void Lu62Field::Release() {
  std::free(value);
  std::free(convertedValue);
  value = nullptr;
  convertedValue = nullptr;
  valueSet = 0;
}

int Lu62Field::set(const char* newValue, uint32_t newMaxLength) {
  int rc = 0;
  TraceScope scope("Lu62Field::set()", &rc, TRACE_OFF);
  // The new buffers are filled before the old ones go, so that a value taken
  // from this field's own view survives its replacement.
  char* newBuffer = nullptr;
  char* newWork = nullptr;
  size_t size = static_cast<size_t>(newMaxLength) + 1;
  if (size > newMaxLength) {  // a maximum of UINT32_MAX would wrap to 0
    newBuffer = static_cast<char*>(std::malloc(size));
    newWork = static_cast<char*>(std::malloc(size));
  }
  const char* text = newValue != nullptr ? newValue : "";
  size_t length = std::strlen(text);
  if (newBuffer != nullptr && newWork != nullptr && length <= newMaxLength) {
    std::memcpy(newBuffer, text, length + 1);
  }
  Release();
  if (newBuffer == nullptr || newWork == nullptr) {
    std::free(newBuffer);
    std::free(newWork);
    report_status("Lu62Field::set(char*,int)", "malloc()",
                  STATUS_ERROR_REPORTED);
    rc = TARPON_RC_BAD_OPTION;
    return rc;
  }
  if (length > newMaxLength) {
    // Keeping the unfilled buffers would let length() read uninitialised
    // bytes, so a refused field goes back to holding none.
    std::free(newBuffer);
    std::free(newWork);
    rc = TARPON_RC_BAD_OPTION;
    return rc;
  }
  value = newBuffer;
  convertedValue = newWork;
  valueSet = 1;
  maxLength = newMaxLength;
  return rc;
}

void Lu62Field::set(const char* newValue) {
  TraceScope scope("Lu62Field::set()", TRACE_OFF);
  const char* text = newValue != nullptr ? newValue : "";
  size_t length = std::strlen(text);
  if (value == nullptr || length > maxLength) {
    // Without buffers there is nothing to copy into: take new ones, under
    // the larger of the current maximum and the value's length.
    uint32_t grown =
        length > maxLength ? static_cast<uint32_t>(length) : maxLength;
    set(text, grown);
    return;
  }
  std::memcpy(value, text, length + 1);
}

void Lu62Field::setPadCharacter(char c) {
  TraceScope scope("Lu62Field::setPadCharacter()", TRACE_OFF);
  padCharacter = c;
}

uint32_t Lu62Field::length() const {
  TraceScope scope("Lu62Field::length()", TRACE_OFF);
  if (value == nullptr) return 0;
  return static_cast<uint32_t>(std::strlen(value));
}

uint32_t Lu62Field::getMaxLength() const {
  TraceScope scope("Lu62Field::getMaxLength()", TRACE_OFF);
  return maxLength;
}

uint32_t Lu62Field::getConvertedLength() const {
  TraceScope scope("Lu62Field::getConvertedLength()", TRACE_OFF);
  return maxLength;
}

int32_t Lu62Field::isSet() const {
  TraceScope scope("Lu62Field::isSet()", TRACE_OFF);
  return valueSet;
}

int32_t Lu62Field::isNotSet() const {
  TraceScope scope("Lu62Field::isNotSet()", TRACE_OFF);
  return valueSet == 0 ? 1 : 0;
}

const char* Lu62Field::print() {
  TraceScope scope("Lu62Field::print()", TRACE_OFF);
  if (valueSet != 1 || value == nullptr) return "";
  std::memcpy(convertedValue, value, std::strlen(value) + 1);
  return convertedValue;
}

// Every view copies the value into the work buffer and then, in this order,
// upper-cases the value's own characters, pads to the maximum length and
// converts to EBCDIC whatever the earlier steps covered.
char* Lu62Field::View(bool upper, bool pad, bool ebcdic) {
  if (valueSet != 1 || value == nullptr) {
    // The field's own empty text, which the caller may copy like any other
    // result (a text shared by every field would be shared by every run).
    empty[0] = '\0';
    return empty;
  }
  uint32_t len = static_cast<uint32_t>(std::strlen(value));
  std::memcpy(convertedValue, value, len + 1);
  convertedLength = len;
  if (upper) toupper_internal(convertedValue, static_cast<uint16_t>(len));
  if (pad) {
    pad_field(convertedValue, static_cast<uint16_t>(len),
              static_cast<int32_t>(maxLength), padCharacter, 1);
    convertedLength = maxLength;
  }
  if (ebcdic) {
    ascii_to_ebcdic(convertedValue, convertedValue,
                    static_cast<uint16_t>(convertedLength));
  }
  return convertedValue;
}

char* Lu62Field::get() {
  TraceScope scope("Lu62Field::get()", TRACE_OFF);
  return View(false, false, false);
}

char* Lu62Field::getEbcdic() {
  TraceScope scope("Lu62Field::getEbcdic()", TRACE_OFF);
  return View(false, false, true);
}

char* Lu62Field::getUpper() {
  TraceScope scope("Lu62Field::getUpper()", TRACE_OFF);
  return View(true, false, false);
}

char* Lu62Field::getPad() {
  TraceScope scope("Lu62Field::getPad()", TRACE_OFF);
  return View(false, true, false);
}

char* Lu62Field::getPadUpper() {
  TraceScope scope("Lu62Field::getPadUpper()", TRACE_OFF);
  return View(true, true, false);
}

char* Lu62Field::getUpperEbcdic() {
  TraceScope scope("Lu62Field::getUpperEbcdic()", TRACE_OFF);
  return View(true, false, true);
}

char* Lu62Field::getPadUpperEbcdic() {
  TraceScope scope("Lu62Field::getPadUpperEbcdic()", TRACE_OFF);
  return View(true, true, true);
}

void pad_field(char* buffer, uint16_t from, int32_t to, char pad,
               uint8_t terminate) {
  TraceScope scope("pad_field()", TRACE_OFF);
  for (int32_t i = from; i < to; ++i) buffer[i] = pad;
  if (terminate == 1) buffer[from < to ? to : from] = '\0';
}

void toupper_internal(char* buffer, uint16_t length) {
  TraceScope scope("toupper_internal()", TRACE_OFF);
  // The "C" locale's rule, whatever locale the process runs under.
  for (uint16_t i = 0; i < length; ++i) {
    if (buffer[i] >= 'a' && buffer[i] <= 'z') buffer[i] -= 'a' - 'A';
  }
}

int ascii_to_ebcdic(char* target, const char* source, uint16_t length) {
  int rc = 0;
  TraceScope scope("ascii_to_ebcdic()", &rc, TRACE_OFF);
  CONVERT vcb;
  std::memset(&vcb, 0, sizeof vcb);
  vcb.opcode = SV_CONVERT;
  vcb.direction = SV_ASCII_TO_EBCDIC;
  vcb.char_set = SV_AE;
  vcb.len = length;
  vcb.source = reinterpret_cast<unsigned char*>(const_cast<char*>(source));
  vcb.target = reinterpret_cast<unsigned char*>(target);
  ACSSVC(&vcb);
  if (vcb.primary_rc != SV_OK) {
    report_status("ascii_to_ebcdic()", "ACSSVC( ASCII_TO_EBCDIC )",
                  STATUS_SERVICE_VERB, static_cast<int>(vcb.primary_rc));
    rc = TARPON_RC_CONVERSION_FAILED;
  }
  return rc;
}

unsigned char* allocate_shared_memory(uint32_t size) {
  int rc = 0;
  TraceScope scope("allocate_shared_memory()", &rc, TRACE_OFF);
  // Zeroed, so that a dump of a buffer never shows leftover heap bytes.
  void* block = std::calloc(size > 0 ? size : 1, 1);
  if (block == nullptr) {
    report_status("allocate_shared_memory()", "malloc()", STATUS_NO_MEMORY, -1);
    rc = -1;
    return nullptr;
  }
  return static_cast<unsigned char*>(block);
}

void free_shared_memory(unsigned char* block) {
  int rc = 0;
  TraceScope scope("free_shared_memory()", &rc, TRACE_OFF);
  std::free(block);
}
