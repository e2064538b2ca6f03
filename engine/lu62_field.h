// A bounded SNA name or text field (LU alias, mode name, symbolic
// destination, TP name...) with views that hand the value out as typed,
// upper-cased, padded to the maximum length, in EBCDIC, or combined.
#ifndef TARPON_ENGINE_LU62_FIELD_H_
#define TARPON_ENGINE_LU62_FIELD_H_

#include <cstdint>

class Lu62Field {
 public:
  Lu62Field();
  ~Lu62Field();
  Lu62Field(const Lu62Field&) = delete;
  Lu62Field& operator=(const Lu62Field&) = delete;

  // Stores value under a new maximum. Returns 0, or TARPON_RC_BAD_OPTION
  // when value is longer than maxLength (not reported) or memory ran out
  // (reported); after a refusal the field holds no value.
  int set(const char* value, uint32_t maxLength);
  // Stores value under the current maximum, growing it when value is longer.
  void set(const char* value);
  void setPadCharacter(char c);

  uint32_t length() const;
  uint32_t getMaxLength() const;
  uint32_t getConvertedLength() const;
  int32_t isSet() const;
  int32_t isNotSet() const;

  // The value for display, or "" when not set. Owned by the field.
  const char* print();

  // Views of a set field. Each returns the field's one work buffer, which
  // the next view of this field overwrites: copy the result first.
  char* get();
  char* getEbcdic();
  char* getUpper();
  char* getPad();
  char* getPadUpper();
  char* getUpperEbcdic();
  char* getPadUpperEbcdic();

 private:
  void Release();
  // The view with the steps asked for, or an empty text when not set.
  char* View(bool upper, bool pad, bool ebcdic);

  char* value;
  char* convertedValue;
  char padCharacter;
  int32_t valueSet;
  uint32_t maxLength;
  uint32_t convertedLength;
  char empty[1];
};

// Fills buffer[from..to-1] with pad; with terminate == 1 stores a NUL where
// the filling stopped (buffer[to], or buffer[from] when from >= to).
void pad_field(char* buffer, uint16_t from, int32_t to, char pad,
               uint8_t terminate);
// Upper-cases the first length bytes ("C" locale).
void toupper_internal(char* buffer, uint16_t length);
// Converts length bytes to EBCDIC through the common service verb; target
// and source may be the same. Returns 0, or TARPON_RC_CONVERSION_FAILED after
// reporting a failure.
int ascii_to_ebcdic(char* target, const char* source, uint16_t length);

// A zero-filled heap block of size bytes, or null after reporting
// STATUS_NO_MEMORY. Release it with free_shared_memory.
unsigned char* allocate_shared_memory(uint32_t size);
void free_shared_memory(unsigned char* block);

#endif  // TARPON_ENGINE_LU62_FIELD_H_
