#include "comm/net_block.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsSeparator(char c) { return c == ',' || IsBlank(c); }

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0,    0,
                                       0, 0, 0, 0, 0xFF, 0xFF};

// The family and bytes of an address, an IPv4-mapped IPv6 one as IPv4;
// false for another family.
bool Normalize(const sockaddr_storage& address, int* family,
               uint8_t bytes[16]) {
  std::memset(bytes, 0, 16);
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    std::memcpy(bytes, &in.sin_addr, 4);
    *family = AF_INET;
    return true;
  }
  if (address.ss_family != AF_INET6) return false;
  const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(&in6.sin6_addr);
  if (std::memcmp(raw, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    std::memcpy(bytes, raw + 12, 4);
    *family = AF_INET;
  } else {
    std::memcpy(bytes, raw, 16);
    *family = AF_INET6;
  }
  return true;
}

// Whether the first "bits" bits of a and b agree.
bool SamePrefix(const uint8_t* a, const uint8_t* b, int bits) {
  int whole = bits / 8;
  if (std::memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
  int rest = bits % 8;
  if (rest == 0) return true;
  uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

// Clears every bit after the first "bits".
void CutToPrefix(uint8_t bytes[16], int bits) {
  for (int i = 0; i < 16; ++i) {
    int keep = bits - 8 * i;
    if (keep >= 8) continue;
    bytes[i] &= keep <= 0 ? 0 : static_cast<uint8_t>(0xFF << (8 - keep));
  }
}

bool ParsePrefixLength(const std::string& text, int most, int* length) {
  if (text.empty() || text.size() > 3 || (text[0] == '0' && text.size() > 1)) {
    return false;
  }
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > most) return false;
  *length = value;
  return true;
}

}  // namespace

bool NetBlockList::ParseEntry(const std::string& entry, Block* block,
                              std::string* error) {
  size_t slash = entry.find('/');
  std::string address = entry.substr(0, slash);
  sockaddr_storage parsed = {};
  void* target = nullptr;
  if (address.find(':') == std::string::npos) {
    parsed.ss_family = AF_INET;
    target = &reinterpret_cast<sockaddr_in&>(parsed).sin_addr;
  } else {
    parsed.ss_family = AF_INET6;
    target = &reinterpret_cast<sockaddr_in6&>(parsed).sin6_addr;
  }
  if (inet_pton(parsed.ss_family, address.c_str(), target) != 1) {
    *error = "bad address \"" + entry + "\"";
    return false;
  }
  Normalize(parsed, &block->family, block->bytes);
  bool mapped = parsed.ss_family == AF_INET6 && block->family == AF_INET;
  int most = parsed.ss_family == AF_INET ? 32 : 128;
  int length = most;
  if (slash != std::string::npos &&
      !ParsePrefixLength(entry.substr(slash + 1), most, &length)) {
    *error = "bad prefix length \"" + entry + "\"";
    return false;
  }
  if (mapped) {
    // ::ffff:0:0/96 and longer are IPv4 blocks; shorter ones would reach
    // beyond the mapped range.
    if (length < 96) {
      *error = "bad prefix length \"" + entry + "\"";
      return false;
    }
    length -= 96;
  }
  block->prefixLength = length;
  uint8_t cut[16];
  std::memcpy(cut, block->bytes, sizeof cut);
  CutToPrefix(cut, length);
  if (std::memcmp(cut, block->bytes, sizeof cut) != 0) {
    *error = "bits set beyond the prefix \"" + entry + "\"";
    return false;
  }
  return true;
}

bool NetBlockList::Parse(const std::string& text, std::string* error) {
  std::vector<Block> blocks;
  size_t at = 0;
  bool afterComma = false;
  while (at < text.size()) {
    char c = text[at];
    if (IsBlank(c)) {
      ++at;
      continue;
    }
    if (c == ',') {
      if (blocks.empty() || afterComma) {
        *error = "empty entry";
        return false;
      }
      afterComma = true;
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    Block block;
    if (!ParseEntry(text.substr(at, end - at), &block, error)) return false;
    blocks.push_back(block);
    afterComma = false;
    at = end;
  }
  if (afterComma) {
    *error = "empty entry";
    return false;
  }
  blocks_ = std::move(blocks);
  return true;
}

bool NetBlockList::Contains(const sockaddr_storage& address) const {
  int family = 0;
  uint8_t bytes[16];
  if (!Normalize(address, &family, bytes)) return false;
  for (const Block& block : blocks_) {
    if (block.family == family &&
        SamePrefix(block.bytes, bytes, block.prefixLength)) {
      return true;
    }
  }
  return false;
}

std::string SourcePrefixKey(const sockaddr_storage& address,
                            int ipv6PrefixLength) {
  int family = 0;
  uint8_t bytes[16];
  if (!Normalize(address, &family, bytes)) return std::string();
  char text[INET6_ADDRSTRLEN + 4];
  if (family == AF_INET) {
    inet_ntop(AF_INET, bytes, text, sizeof text);
    return text;
  }
  int bits = ipv6PrefixLength < 0     ? 0
             : ipv6PrefixLength > 128 ? 128
                                      : ipv6PrefixLength;
  CutToPrefix(bytes, bits);
  inet_ntop(AF_INET6, bytes, text, sizeof text);
  return std::string(text) + "/" + std::to_string(bits);
}
