// The argument scanner: finds one switch or positional entry in an argument
// vector, optionally takes its value, and optionally deletes what it
// consumed. Entry 0 is never examined. Switches begin with "-" or "/".
#ifndef TARPON_ENGINE_ARGUMENT_H_
#define TARPON_ENGINE_ARGUMENT_H_

#include <cstdint>

constexpr uint8_t ARGUMENT_STYLE_ATTACHED = 1;
constexpr uint8_t ARGUMENT_STYLE_SEPARATE = 2;
constexpr uint8_t ARGUMENT_STYLE_EITHER = 3;
constexpr uint8_t ARGUMENT_STYLE_BOOLEAN = 4;
constexpr uint8_t ARGUMENT_STYLE_FLAG = 5;
constexpr uint8_t ARGUMENT_STYLE_POSITIONAL = 6;
constexpr uint8_t ARGUMENT_STYLE_FIRST_POSITIONAL = 7;

constexpr uint8_t ARGUMENT_DELETE = 1;
constexpr uint8_t ARGUMENT_KEEP = 2;

constexpr int ARGUMENT_RC_OK = 0;
constexpr int ARGUMENT_RC_NOT_FOUND = 4;
constexpr int ARGUMENT_RC_NO_VALUE = 8;
constexpr int ARGUMENT_RC_INVALID_STYLE = 12;
constexpr int ARGUMENT_RC_POSITIONAL_OUT_OF_RANGE = 16;
constexpr int ARGUMENT_RC_BUFFER_OVERFLOW = 20;

// Looks for key in argv[1..*argc-1]. For every style but
// ARGUMENT_STYLE_FLAG, value must hold size + 1 bytes: a value of at most
// size characters is copied with its NUL. Under ARGUMENT_DELETE the consumed
// entries are removed and *argc lowered. Returns an ARGUMENT_RC_ code;
// ARGUMENT_STYLE_FLAG returns 1 (present) or 0.
int Argument(unsigned int* argc, char** argv, const char* key, uint8_t style,
             uint8_t removal, char* value = nullptr, unsigned int size = 0);

// Removes argv[index], moving the later entries down, and lowers *argc.
void ArgumentDelete(unsigned int* argc, char** argv, unsigned int index);

// "ARGUMENT_RC_OK" and the like, or "--- text not available ---".
const char* ArgumentGetReturnCodeText(int code);

#endif  // TARPON_ENGINE_ARGUMENT_H_
