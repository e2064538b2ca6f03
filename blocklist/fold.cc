#include "blocklist/fold.h"

#include <cstring>
#include <string>

namespace {

char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char LookAlike(char c) {
  switch (c) {
    case '0':
      return 'O';
    case '1':
    case 'L':
      return 'I';
    case '3':
      return 'E';
    case '4':
    case '@':
      return 'A';
    case '5':
    case '$':
      return 'S';
    case '7':
      return 'T';
    default:
      return c;
  }
}

// Stretches that people type as one: the alphabet, the digits, the
// keyboard's rows; each forwards and backwards.
const char* const kStretches[] = {"ABCDEFGHIJKLMNOPQRSTUVWXYZ",
                                  "ZYXWVUTSRQPONMLKJIHGFEDCBA",
                                  "0123456789",
                                  "9876543210",
                                  "1234567890",
                                  "0987654321",
                                  "QWERTYUIOP",
                                  "POIUYTREWQ",
                                  "ASDFGHJKL",
                                  "LKJHGFDSA",
                                  "ZXCVBNM",
                                  "MNBVCXZ"};

bool InStretch(const std::string& upper) {
  for (const char* stretch : kStretches) {
    if (std::strstr(stretch, upper.c_str()) != nullptr) return true;
  }
  return false;
}

// True when upper is its first period characters over and over, the last
// repetition perhaps cut short.
bool IsRepeatedBlock(const std::string& upper) {
  for (size_t period = 1; period * 2 <= upper.size(); ++period) {
    bool repeats = true;
    for (size_t i = period; i < upper.size() && repeats; ++i) {
      repeats = upper[i] == upper[i - period];
    }
    if (repeats) return true;
  }
  return false;
}

}  // namespace

std::string Substitute(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = LookAlike(UpperAscii(c));
  return out;
}

std::string DropTrailingNumber(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && IsDigit(text[end - 1])) --end;
  return text.substr(0, end < kMinFoldedStem ? text.size() : end);
}

std::string Fold(const std::string& text) {
  return Substitute(DropTrailingNumber(text));
}

bool FitsHostField(const std::string& text) {
  if (text.empty() || text.size() > kHostFieldLength) return false;
  for (char c : text) {
    if (!IsHostCharacter(c)) return false;
  }
  return true;
}

const char* RunOrSequence(const std::string& password) {
  std::string upper(password);
  for (char& c : upper) c = UpperAscii(c);
  size_t different = 0;
  for (size_t i = 0; i < upper.size() && different < 3; ++i) {
    if (upper.find(upper[i]) == i) ++different;
  }
  if (different < 3) return "a run of one or two characters";
  if (IsRepeatedBlock(upper)) return "a block of characters repeated";
  if (InStretch(upper)) return "a sequence of letters, digits or keys";
  return nullptr;
}
