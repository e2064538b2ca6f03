// The engine's option line, as every caller builds it and as the engine
// splits it into words: " -u USER -p OLD -np NEW [-s SERVER] [OPTIONS]",
// words separated by white space. The local client, the gateway, the
// remote client and the web front end all build and split it here, so
// that a word one of them sees is the word the engine sees.
#ifndef TARPON_CONTRACT_OPTION_LINE_H_
#define TARPON_CONTRACT_OPTION_LINE_H_

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "contract/secret.h"

namespace option_line {

// The engine's command line holds at most kLineSize - 1 characters, and
// at most kMaxWords words after the program name.
constexpr size_t kLineSize = 200;
constexpr size_t kMaxWords = 49;

// The options the gateway appends to every request it runs.
constexpr char kGatewayOptions[] = " -log -noterm";
constexpr size_t kGatewayOptionsLength = sizeof kGatewayOptions - 1;

// White space as std::isspace sees it, the six ASCII blanks without a
// call into the library.
inline bool IsBlank(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  if (byte < 0x80) return byte == ' ' || (byte >= '\t' && byte <= '\r');
  return std::isspace(byte) != 0;
}

// The request's line. A missing user or password leaves its switch without
// a value, which the engine refuses; " -s server" is left out when server
// is null or options contain "-local".
inline std::string Request(const char* user, const char* oldPassword,
                           const char* newPassword, const char* server,
                           const char* options) {
  bool local = options != nullptr && std::strstr(options, "-local") != nullptr;
  auto length = [](const char* text) {
    return text != nullptr ? std::strlen(text) : 0;
  };
  // Reserved at once: a string that grows would leave copies of the
  // passwords in the memory it lets go.
  std::string line;
  line.reserve(18 + length(user) + length(oldPassword) + length(newPassword) +
               length(server) + length(options));
  line = " -u ";
  line += user != nullptr ? user : "";
  line += " -p ";
  line += oldPassword != nullptr ? oldPassword : "";
  line += " -np ";
  line += newPassword != nullptr ? newPassword : "";
  if (server != nullptr && !local) {
    line += " -s ";
    line += server;
  }
  if (options != nullptr) {
    line += ' ';
    line += options;
  }
  return line;
}

// A line's words: each may be a password, and is wiped by its type.
using Words = std::vector<Secret>;

// The line's words, split at white space.
inline Words Split(const char* line) {
  Words words;
  const char* p = line != nullptr ? line : "";
  // Counted first: a vector that grows would leave copies of the words,
  // passwords among them, in the memory it lets go.
  size_t count = 0;
  for (const char* q = p; *q != '\0'; ++q) {
    if (!IsBlank(*q) && (q == p || IsBlank(q[-1]))) ++count;
  }
  words.reserve(count);
  while (*p != '\0') {
    while (*p != '\0' && IsBlank(*p)) ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != '\0' && !IsBlank(*p)) ++p;
    words.emplace_back(start, p - start);
  }
  return words;
}

// Splits *line where Split does, in place: its blanks become NULs and the
// words' starts are appended to *words, for a reader of char* words that
// needs no copy of each (the engine's own argument reader only reads
// them). The words live as long as *line, unchanged.
inline void SplitInPlace(std::string* line, std::vector<char*>* words) {
  char* p = &(*line)[0];
  while (*p != '\0') {
    while (*p != '\0' && IsBlank(*p)) *p++ = '\0';
    if (*p == '\0') break;
    words->push_back(p);
    while (*p != '\0' && !IsBlank(*p)) ++p;
  }
}

// True when word is the switch "-name" or "/name", exactly as the engine
// recognises its switches.
inline bool IsSwitchWord(const std::string& word, const char* name) {
  return !word.empty() && (word[0] == '-' || word[0] == '/') &&
         word.compare(1, std::string::npos, name) == 0;
}

// Removes every word that is the switch name; the words moved are wiped
// where they were.
inline void RemoveSwitch(Words* words, const char* name) {
  auto kept = std::remove_if(
      words->begin(), words->end(),
      [name](const Secret& word) { return IsSwitchWord(word.Text(), name); });
  words->erase(kept, words->end());
}

}  // namespace option_line

#endif  // TARPON_CONTRACT_OPTION_LINE_H_
