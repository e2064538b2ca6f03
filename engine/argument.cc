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

}  // namespace

int Argument(unsigned int* argc, char** argv, const char* key, uint8_t style,
             uint8_t removal, char* value, unsigned int size) {
  int result = ARGUMENT_RC_NOT_FOUND;
  TraceScope scope("Argument()", &result, TRACE_OFF);

  int rc = ARGUMENT_RC_NOT_FOUND;
  const bool remove = removal == ARGUMENT_DELETE;
  if (key == nullptr) key = "";
  // The key's name is everything after its leading "-" or "/".
  const char* key_name = key[0] != '\0' ? key + 1 : key;
  const size_t key_length = strlen(key);
  const size_t key_name_length = strlen(key_name);

  if (style == ARGUMENT_STYLE_BOOLEAN && value != nullptr) {
    value[0] = '0';
    if (size >= 1) value[1] = '\0';
  }

  long wanted = 0;
  if (style == ARGUMENT_STYLE_POSITIONAL) {
    wanted = PositionFromKey(key);
    if (wanted < 1 || static_cast<unsigned long>(wanted) > *argc) {
      rc = ARGUMENT_RC_POSITIONAL_OUT_OF_RANGE;
    }
  }

  char work_area[kWorkAreaSize];
  size_t work_length = 0;
  work_area[0] = '\0';
  bool positional_seen = false;
  long positional_count = 0;

  if (rc != ARGUMENT_RC_POSITIONAL_OUT_OF_RANGE) {
    for (unsigned int index = 1; index < *argc; ++index) {
      const char* entry = argv[index];
      if (entry == nullptr) continue;

      if (!IsSwitch(entry)) {
        if (style != ARGUMENT_STYLE_POSITIONAL &&
            style != ARGUMENT_STYLE_FIRST_POSITIONAL) {
          continue;
        }
        ++positional_count;
        if (style == ARGUMENT_STYLE_POSITIONAL) {
          if (positional_count == wanted) {
            rc = CopyValue(entry, value, size);
            if (rc == ARGUMENT_RC_OK && remove) {
              ArgumentDelete(argc, argv, index);
            }
          }
        } else {
          // A refused entry stays in the vector and the scan moves on to the
          // next positional entry; only an accepted one is deleted.
          positional_seen = true;
          size_t length = strlen(entry);
          if (value == nullptr || length + 1 > size ||
              work_length + length + 2 > sizeof(work_area)) {
            rc = ARGUMENT_RC_BUFFER_OVERFLOW;
          } else {
            memcpy(work_area + work_length, entry, length);
            work_length += length;
            work_area[work_length++] = ' ';
            work_area[work_length] = '\0';
            rc = ARGUMENT_RC_OK;
            if (remove) ArgumentDelete(argc, argv, index);
          }
        }
        if (rc == ARGUMENT_RC_OK) break;
        continue;
      }

      // Positional styles look for no switch, so a switch entry never fails
      // their search.
      if (style == ARGUMENT_STYLE_POSITIONAL ||
          style == ARGUMENT_STYLE_FIRST_POSITIONAL) {
        continue;
      }

      const char* name = entry + 1;
      if (strncmp(name, key_name, key_name_length) != 0) continue;
      const bool exact = name[key_name_length] == '\0';
      if ((style == ARGUMENT_STYLE_SEPARATE ||
           style == ARGUMENT_STYLE_BOOLEAN || style == ARGUMENT_STYLE_FLAG) &&
          !exact) {
        continue;
      }

      switch (style) {
        case ARGUMENT_STYLE_BOOLEAN:
        case ARGUMENT_STYLE_FLAG:
          if (style == ARGUMENT_STYLE_BOOLEAN && value != nullptr) {
            value[0] = '1';
          }
          if (remove) ArgumentDelete(argc, argv, index);
          rc = ARGUMENT_RC_OK;
          break;
        case ARGUMENT_STYLE_ATTACHED:
        case ARGUMENT_STYLE_EITHER:
          if (strlen(entry) > key_length) {
            rc = CopyValue(entry + key_length, value, size);
            if (rc == ARGUMENT_RC_OK && remove) {
              ArgumentDelete(argc, argv, index);
            }
          } else {
            rc = ARGUMENT_RC_NO_VALUE;
          }
          if (style == ARGUMENT_STYLE_ATTACHED || rc == ARGUMENT_RC_OK) break;
          // Without a usable attached value the entry, and every later one,
          // is handled as a switch with a separate value.
          style = ARGUMENT_STYLE_SEPARATE;
          [[fallthrough]];
        case ARGUMENT_STYLE_SEPARATE:
          if (index + 1 >= *argc || argv[index + 1] == nullptr ||
              IsSwitch(argv[index + 1])) {
            rc = ARGUMENT_RC_NO_VALUE;
          } else {
            rc = CopyValue(argv[index + 1], value, size);
            if (rc == ARGUMENT_RC_OK && remove) {
              ArgumentDelete(argc, argv, index);
              ArgumentDelete(argc, argv, index);
            }
          }
          break;
        default:
          rc = ARGUMENT_RC_INVALID_STYLE;
          break;
      }
      if (rc == ARGUMENT_RC_OK) break;
    }
  }

  if (style == ARGUMENT_STYLE_FIRST_POSITIONAL && rc == ARGUMENT_RC_OK) {
    if (positional_seen) {
      rc = CopyValue(work_area, value, size);
    } else {
      rc = ARGUMENT_RC_NOT_FOUND;
    }
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
