#include "web/idempotency.h"

#include <openssl/evp.h>

#include <algorithm>

namespace {

// SHA-256 of the parts, each ended by a NUL so that no two lists of parts
// run together into the same bytes.
std::string Digest(std::initializer_list<const std::string*> parts) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
  for (const std::string* part : parts) {
    EVP_DigestUpdate(context, part->data(), part->size());
    EVP_DigestUpdate(context, "", 1);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context, digest, &length);
  EVP_MD_CTX_free(context);
  return std::string(reinterpret_cast<char*>(digest), length);
}

}  // namespace

bool IsIdempotencyKey(const std::string& key) {
  if (key.empty() || key.size() > 255) return false;
  for (char c : key) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

IdempotencyStore::Found IdempotencyStore::Begin(const std::string& key,
                                                const std::string& request,
                                                Clock::time_point now,
                                                std::string* slot,
                                                Answer* answer) {
  Prune(now);
  std::string digest = Digest({&key});
  std::string binding = Digest({&key, &request});
  auto found = entries_.find(digest);
  if (found != entries_.end()) {
    if (found->second.binding != binding) return Found::kReused;
    Entry& entry = found->second;
    if (!entry.done) return Found::kInFlight;
    *answer = entry.answer;
    if (!entry.answer.unfinished) return Found::kReplay;
    // Under way again, as its retry; the kept answer goes with it.
    entry.done = false;
    bytes_ -= entry.answer.body.size();
    entry.answer = Answer();
    *slot = std::to_string(entry.serial) + ":" + digest;
    return Found::kResume;
  }
  Entry& entry = entries_[digest];
  entry.binding = std::move(binding);
  entry.since = now;
  entry.serial = ++serial_;
  order_.emplace_back(entry.serial, digest);
  // The serial too: a key pushed out and begun again is another slot.
  *slot = std::to_string(entry.serial) + ":" + digest;
  Prune(now);
  return Found::kNew;
}

void IdempotencyStore::Finish(const std::string& slot, bool keep, Answer answer,
                              Clock::time_point now) {
  size_t colon = slot.find(':');
  if (colon == std::string::npos) return;
  auto found = entries_.find(slot.substr(colon + 1));
  if (found == entries_.end() || found->second.done ||
      std::to_string(found->second.serial) != slot.substr(0, colon)) {
    return;
  }
  if (!keep) return Erase(found);
  found->second.done = true;
  bytes_ += answer.body.size();
  found->second.answer = std::move(answer);
  Prune(now);
}

void IdempotencyStore::Erase(
    std::unordered_map<std::string, Entry>::iterator entry) {
  if (entry->second.done) bytes_ -= entry->second.answer.body.size();
  entries_.erase(entry);
}

// The oldest go first: past their age, or while the count or the bytes
// are over the limits. The queue's stale items (forgotten keys) go too,
// and all at once when they outnumber the entries.
void IdempotencyStore::Prune(Clock::time_point now) {
  if (order_.size() > 2 * entries_.size() + 64) {
    order_.erase(std::remove_if(order_.begin(), order_.end(),
                                [this](const auto& item) {
                                  auto found = entries_.find(item.second);
                                  return found == entries_.end() ||
                                         found->second.serial != item.first;
                                }),
                 order_.end());
  }
  while (!order_.empty()) {
    auto found = entries_.find(order_.front().second);
    bool stale =
        found == entries_.end() || found->second.serial != order_.front().first;
    bool over = entries_.size() > limits_.entries || bytes_ > limits_.bytes;
    if (!stale && !over && now - found->second.since < limits_.age) return;
    if (!stale) Erase(found);
    order_.pop_front();
  }
}
