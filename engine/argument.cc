#include "engine/argument.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "trace/trace.h"

namespace {

// Style 7 collects the entry and its trailing blank here before handing it
// to the caller.
constexpr size_t kWorkAreaSize = 2048;

struct ReturnCodeText {
  int code;
  const char* text;
};

constexpr ReturnCodeText kReturnCodeTexts[] = {
    {ARGUMENT_RC_OK, "ARGUMENT_RC_OK"},
    {ARGUMENT_RC_NOT_FOUND, "ARGUMENT_RC_NOT_FOUND"},
    {ARGUMENT_RC_NO_VALUE, "ARGUMENT_RC_NO_VALUE"},
    {ARGUMENT_RC_INVALID_STYLE, "ARGUMENT_RC_INVALID_STYLE"},
    {ARGUMENT_RC_POSITIONAL_OUT_OF_RANGE,
     "ARGUMENT_RC_POSITIONAL_OUT_OF_RANGE"},
    {ARGUMENT_RC_BUFFER_OVERFLOW, "ARGUMENT_RC_BUFFER_OVERFLOW"},
};

bool IsSwitch(const char* entry) { return entry[0] == '-' || entry[0] == '/'; }

// Copies text (at most size characters, checked by the caller) with its NUL.
// A missing buffer has room for nothing.
int CopyValue(const char* text, char* value, unsigned int size) {
  size_t length = strlen(text);
  if (value == nullptr || length > size) return ARGUMENT_RC_BUFFER_OVERFLOW;
  memcpy(value, text, length + 1);
  return ARGUMENT_RC_OK;
}

// The position wanted by style 6, or 0 when the key is no number in range:
// an out-of-range conversion must not wrap into a valid position.
long PositionFromKey(const char* key) {
  errno = 0;
  long position = strtol(key, nullptr, 10);
  if (errno == ERANGE || position < 0 || position > INT_MAX) return 0;
  return position;
}

// The call's key, vector and value buffer, as every style reads them.
struct Request {
  unsigned int* argc;
  char** argv;
  const char* key;      // never null
  const char* keyName;  // the key after its leading "-" or "/"
  size_t keyLength;
  size_t keyNameLength;
  bool remove;
  char* value;
  unsigned int size;
};

// Style 6: the positional entry whose number the key gives.
int ScanPositional(const Request& r) {
  const long wanted = PositionFromKey(r.key);
  if (wanted < 1 || static_cast<unsigned long>(wanted) > *r.argc) {
    return ARGUMENT_RC_POSITIONAL_OUT_OF_RANGE;
  }
  int rc = ARGUMENT_RC_NOT_FOUND;
  long count = 0;
  for (unsigned int index = 1; index < *r.argc; ++index) {
    const char* entry = r.argv[index];
    if (entry == nullptr || IsSwitch(entry) || ++count != wanted) continue;
    rc = CopyValue(entry, r.value, r.size);
    if (rc == ARGUMENT_RC_OK) {
      if (r.remove) ArgumentDelete(r.argc, r.argv, index);
      break;
    }
  }
  return rc;
}

// Style 7: the first positional entry that fits, followed by one blank. A
// refused entry stays in the vector and the scan moves on to the next
// positional entry; only an accepted one is deleted.
int ScanFirstPositional(const Request& r) {
  char workArea[kWorkAreaSize];
  int rc = ARGUMENT_RC_NOT_FOUND;
  for (unsigned int index = 1; index < *r.argc; ++index) {
    const char* entry = r.argv[index];
    if (entry == nullptr || IsSwitch(entry)) continue;
    const size_t length = strlen(entry);
    if (r.value == nullptr || length + 1 > r.size ||
        length + 2 > sizeof workArea) {
      rc = ARGUMENT_RC_BUFFER_OVERFLOW;
      continue;
    }
    memcpy(workArea, entry, length);
    workArea[length] = ' ';
    workArea[length + 1] = '\0';
    if (r.remove) ArgumentDelete(r.argc, r.argv, index);
    return CopyValue(workArea, r.value, r.size);
  }
  return rc;
}

// Styles 4 and 5: the switch alone; style 4 marks it in the value buffer.
int TakeFlag(const Request& r, unsigned int index, uint8_t style) {
  if (style == ARGUMENT_STYLE_BOOLEAN && r.value != nullptr) r.value[0] = '1';
  if (r.remove) ArgumentDelete(r.argc, r.argv, index);
  return ARGUMENT_RC_OK;
}

// Style 1: the value is the rest of the switch's own entry.
int TakeAttached(const Request& r, unsigned int index) {
  const char* entry = r.argv[index];
  if (strlen(entry) <= r.keyLength) return ARGUMENT_RC_NO_VALUE;
  int rc = CopyValue(entry + r.keyLength, r.value, r.size);
  if (rc == ARGUMENT_RC_OK && r.remove) ArgumentDelete(r.argc, r.argv, index);
  return rc;
}

// Style 2: the value is the next entry, which must not be a switch.
int TakeSeparate(const Request& r, unsigned int index) {
  const unsigned int next = index + 1;
  if (next >= *r.argc || r.argv[next] == nullptr || IsSwitch(r.argv[next])) {
    return ARGUMENT_RC_NO_VALUE;
  }
  int rc = CopyValue(r.argv[next], r.value, r.size);
  if (rc == ARGUMENT_RC_OK && r.remove) {
    ArgumentDelete(r.argc, r.argv, index);
    ArgumentDelete(r.argc, r.argv, index);
  }
  return rc;
}

// Styles 1 to 5, and unknown styles, which match like style 1 and are
// refused: the first switch entry that matches and yields what the style
// takes. A later success replaces an earlier failure.
int ScanSwitches(const Request& r, uint8_t style) {
  int rc = ARGUMENT_RC_NOT_FOUND;
  for (unsigned int index = 1; index < *r.argc; ++index) {
    const char* entry = r.argv[index];
    if (entry == nullptr || !IsSwitch(entry)) continue;
    const char* name = entry + 1;
    // Most entries differ from the key in their first character.
    if (r.keyNameLength > 0 && name[0] != r.keyName[0]) continue;
    if (strncmp(name, r.keyName, r.keyNameLength) != 0) continue;
    const bool exact = name[r.keyNameLength] == '\0';
    const bool exactOnly = style == ARGUMENT_STYLE_SEPARATE ||
                           style == ARGUMENT_STYLE_BOOLEAN ||
                           style == ARGUMENT_STYLE_FLAG;
    if (exactOnly && !exact) continue;
    switch (style) {
      case ARGUMENT_STYLE_BOOLEAN:
      case ARGUMENT_STYLE_FLAG:
        rc = TakeFlag(r, index, style);
        break;
      case ARGUMENT_STYLE_ATTACHED:
        rc = TakeAttached(r, index);
        break;
      case ARGUMENT_STYLE_EITHER:
        rc = TakeAttached(r, index);
        if (rc == ARGUMENT_RC_OK) break;
        // Without a usable attached value the entry, and every later one,
        // is handled as a switch with a separate value.
        style = ARGUMENT_STYLE_SEPARATE;
        rc = TakeSeparate(r, index);
        break;
      case ARGUMENT_STYLE_SEPARATE:
        rc = TakeSeparate(r, index);
        break;
      default:
        rc = ARGUMENT_RC_INVALID_STYLE;
        break;
    }
    if (rc == ARGUMENT_RC_OK) break;
  }
  return rc;
}

}  // namespace

int Argument(unsigned int* argc, char** argv, const char* key, uint8_t style,
             uint8_t removal, char* value, unsigned int size) {
  int result = ARGUMENT_RC_NOT_FOUND;
  TraceScope scope("Argument()", &result, TRACE_OFF);
  if (key == nullptr) key = "";
  Request request;
  request.argc = argc;
  request.argv = argv;
  request.key = key;
  request.keyName = key[0] != '\0' ? key + 1 : key;
  request.keyLength = strlen(key);
  request.keyNameLength = strlen(request.keyName);
  request.remove = removal == ARGUMENT_DELETE;
  request.value = value;
  request.size = size;

  if (style == ARGUMENT_STYLE_BOOLEAN && value != nullptr) {
    value[0] = '0';
    if (size >= 1) value[1] = '\0';
  }
  int rc;
  if (style == ARGUMENT_STYLE_POSITIONAL) {
    rc = ScanPositional(request);
  } else if (style == ARGUMENT_STYLE_FIRST_POSITIONAL) {
    rc = ScanFirstPositional(request);
  } else {
    rc = ScanSwitches(request, style);
  }
  if (style == ARGUMENT_STYLE_FLAG) {
    result = rc == ARGUMENT_RC_OK ? 1 : 0;
  } else {
    result = rc;
  }
  return result;
}

void ArgumentDelete(unsigned int* argc, char** argv, unsigned int index) {
  TraceScope scope("ArgumentDelete()", TRACE_OFF);
  if (index >= *argc) return;
  for (unsigned int i = index; i + 1 < *argc; ++i) argv[i] = argv[i + 1];
  --*argc;
}

const char* ArgumentGetReturnCodeText(int code) {
  TraceScope scope("ArgumentGetReturnCodeText()", TRACE_OFF);
  for (const ReturnCodeText& entry : kReturnCodeTexts) {
    if (entry.code == code) return entry.text;
  }
  return "--- text not available ---";
}
