#include "blocklist/blocklist.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "blocklist/fold.h"

namespace bf = blocklist_format;

namespace {

uint64_t ReadLittle(const unsigned char* bytes, size_t size) {
  uint64_t value = 0;
  for (size_t i = size; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

void WriteLittle(uint64_t value, size_t size, unsigned char* bytes) {
  for (size_t i = 0; i < size; ++i) bytes[i] = (value >> (8 * i)) & 0xFF;
}

uint64_t ReadBig(const unsigned char* bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value = (value << 8) | bytes[i];
  return value;
}

// A digest context for this thread, made once and used for every digest.
class Digester {
 public:
  Digester() : context_(EVP_MD_CTX_new()) {}
  ~Digester() { EVP_MD_CTX_free(context_); }
  Digester(const Digester&) = delete;
  Digester& operator=(const Digester&) = delete;
  // False when the digest could not be made.
  bool Digest(const EVP_MD* md, const void* data, size_t size,
              unsigned char* out) {
    unsigned int length = 0;
    return context_ != nullptr && EVP_DigestInit_ex(context_, md, nullptr) &&
           EVP_DigestUpdate(context_, data, size) &&
           EVP_DigestFinal_ex(context_, out, &length);
  }

 private:
  EVP_MD_CTX* context_;
};

Digester& ThreadDigester() {
  thread_local Digester digester;
  return digester;
}

// The digests fetched once: OpenSSL looks up a digest named by EVP_sha1()
// anew at each use, which costs more than hashing eight bytes.
const EVP_MD* FetchedDigest(const char* name) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  return md;
}

const EVP_MD* Sha1() {
  static const EVP_MD* const md = FetchedDigest("SHA1");
  return md;
}

bool Checksum(const unsigned char* data, size_t size, unsigned char* out) {
  static const EVP_MD* const md = FetchedDigest("SHA256");
  return md != nullptr && ThreadDigester().Digest(md, data, size, out);
}

std::string ErrnoText(int error) { return std::strerror(error); }

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

}  // namespace

uint64_t EntryOf(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  if (Sha1() != nullptr) {
    ThreadDigester().Digest(Sha1(), text.data(), text.size(), digest);
  }
  return ReadBig(digest);
}

bool EntryOfSha1Hex(const std::string& hex, uint64_t* entry) {
  if (hex.size() != 40) return false;
  for (char c : hex) {
    if (!IsHex(c)) return false;
  }
  *entry = std::stoull(hex.substr(0, 16), nullptr, 16);
  return true;
}

// The header and the body, checked in the order a reader would trip on
// them, so that the message names the first fault.
static std::string HeaderFault(const unsigned char* map, size_t size) {
  if (size < bf::kHeaderSize) return "truncated header";
  if (std::memcmp(map, bf::kMagic, 8) != 0) return "not a password list";
  uint64_t version = ReadLittle(map + bf::kVersionOffset, 4);
  if (version != bf::kVersion) {
    return "version " + std::to_string(version) + ", this build reads " +
           std::to_string(bf::kVersion);
  }
  if (ReadLittle(map + bf::kHeaderSizeOffset, 4) != bf::kHeaderSize) {
    return "wrong header size";
  }
  uint64_t count = ReadLittle(map + bf::kCountOffset, 8);
  if (count > (size - bf::kHeaderSize) / bf::kEntrySize ||
      bf::kHeaderSize + count * bf::kEntrySize != size) {
    return "truncated or too long for its count of " + std::to_string(count);
  }
  unsigned char sum[EVP_MAX_MD_SIZE] = {};
  if (!Checksum(map + bf::kHeaderSize, size - bf::kHeaderSize, sum) ||
      std::memcmp(sum, map + bf::kChecksumOffset, bf::kChecksumSize) != 0) {
    return "wrong checksum";
  }
  const unsigned char* entries = map + bf::kHeaderSize;
  for (uint64_t i = 1; i < count; ++i) {
    if (ReadBig(entries + (i - 1) * 8) >= ReadBig(entries + i * 8)) {
      return "entries out of order";
    }
  }
  return "";
}

// The file's bytes in memory of their own, read-only. A mapping of the file
// itself would change under the gateway when the file is written in place
// (cp over it), and fault (SIGBUS) once the file is cut short; the copy
// is checked once and stays what was checked. nullptr with errno set.
static const unsigned char* MapCopy(int fd, size_t size) {
  void* file = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (file == MAP_FAILED) return nullptr;
  void* copy = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (copy != MAP_FAILED) {
    std::memcpy(copy, file, size);
    if (mprotect(copy, size, PROT_READ) != 0) {
      munmap(copy, size);
      copy = MAP_FAILED;
    }
  }
  int error = errno;
  munmap(file, size);
  errno = error;
  return copy == MAP_FAILED ? nullptr : static_cast<unsigned char*>(copy);
}

std::shared_ptr<const BlocklistFile> BlocklistFile::Open(
    const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + ErrnoText(errno);
    return nullptr;
  }
  struct stat status = {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = path + ": not a regular file";
    close(fd);
    return nullptr;
  }
  std::shared_ptr<BlocklistFile> file(new BlocklistFile());
  file->path_ = path;
  file->mapSize_ = static_cast<size_t>(status.st_size);
  if (file->mapSize_ > 0) {
    file->map_ = MapCopy(fd, file->mapSize_);
    if (file->map_ == nullptr) {
      *error = path + ": " + ErrnoText(errno);
      close(fd);
      return nullptr;
    }
  }
  close(fd);
  std::string fault = HeaderFault(file->map_, file->mapSize_);
  if (!fault.empty()) {
    *error = path + ": " + fault;
    return nullptr;
  }
  file->entries_ = file->map_ + bf::kHeaderSize;
  file->count_ = ReadLittle(file->map_ + bf::kCountOffset, 8);
  file->buildTime_ =
      static_cast<int64_t>(ReadLittle(file->map_ + bf::kBuildTimeOffset, 8));
  file->breachHashes_ =
      (ReadLittle(file->map_ + bf::kFlagsOffset, 4) & bf::kBreachHashes) != 0;
  return file;
}

BlocklistFile::~BlocklistFile() {
  if (map_ != nullptr) {
    munmap(const_cast<unsigned char*>(map_), mapSize_);
  }
}

// The entries are even spread over 64 bits: a guess from the value's place
// between the ends lands within a few entries, and a binary search
// finishes there.
bool BlocklistFile::Contains(uint64_t entry) const {
  if (count_ == 0) return false;
  uint64_t low = 0;
  uint64_t high = count_ - 1;
  uint64_t lowValue = ReadBig(entries_);
  uint64_t highValue = ReadBig(entries_ + high * 8);
  if (entry < lowValue || entry > highValue) return false;
  for (int guesses = 0; guesses < 3 && high > low + 8; ++guesses) {
    unsigned __int128 span =
        static_cast<unsigned __int128>(entry - lowValue) * (high - low);
    uint64_t at = low + static_cast<uint64_t>(span / (highValue - lowValue));
    uint64_t value = ReadBig(entries_ + at * 8);
    if (value == entry) return true;
    if (value < entry) {
      low = at + 1;
      lowValue = ReadBig(entries_ + low * 8);
    } else {
      high = at;
      highValue = value;
    }
    if (entry < lowValue || entry > highValue) return false;
  }
  while (low <= high) {
    uint64_t middle = low + (high - low) / 2;
    uint64_t value = ReadBig(entries_ + middle * 8);
    if (value == entry) return true;
    if (value < entry) {
      low = middle + 1;
    } else if (middle == 0) {
      return false;
    } else {
      high = middle - 1;
    }
  }
  return false;
}

double BlocklistFile::FalsePositiveRate() const {
  return static_cast<double>(count_) / std::ldexp(1.0, 64);
}

bool WriteBlocklist(const std::string& path, std::vector<uint64_t> entries,
                    int64_t buildTime, bool breachHashes, std::string* error) {
  std::sort(entries.begin(), entries.end());
  entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
  std::vector<unsigned char> bytes(bf::kHeaderSize +
                                   entries.size() * bf::kEntrySize);
  std::memcpy(bytes.data(), bf::kMagic, 8);
  WriteLittle(bf::kVersion, 4, &bytes[bf::kVersionOffset]);
  WriteLittle(bf::kHeaderSize, 4, &bytes[bf::kHeaderSizeOffset]);
  WriteLittle(entries.size(), 8, &bytes[bf::kCountOffset]);
  WriteLittle(static_cast<uint64_t>(buildTime), 8,
              &bytes[bf::kBuildTimeOffset]);
  WriteLittle(breachHashes ? bf::kBreachHashes : 0, 4,
              &bytes[bf::kFlagsOffset]);
  unsigned char* body = bytes.data() + bf::kHeaderSize;
  for (size_t i = 0; i < entries.size(); ++i) {
    for (size_t b = 0; b < 8; ++b) {
      body[i * 8 + b] = (entries[i] >> (56 - 8 * b)) & 0xFF;
    }
  }
  unsigned char sum[EVP_MAX_MD_SIZE] = {};
  if (!Checksum(body, bytes.size() - bf::kHeaderSize, sum)) {
    *error = path + ": the checksum could not be made";
    return false;
  }
  std::memcpy(&bytes[bf::kChecksumOffset], sum, bf::kChecksumSize);
  std::string temporary = path + ".new";
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out || std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = path + ": " + ErrnoText(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

namespace {

// A breach download's line: HASH or HASH:COUNT; false for anything else.
bool HashLine(const std::string& line, uint64_t* entry, uint64_t* count) {
  if (line.size() < 40 || !EntryOfSha1Hex(line.substr(0, 40), entry)) {
    return false;
  }
  *count = 1;
  if (line.size() == 40) return true;
  if (line[40] != ':' || line.size() == 41 || line.size() > 41 + 19) {
    return false;
  }
  for (size_t i = 41; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
  }
  *count = std::stoull(line.substr(41));
  return true;
}

void TrimEnd(std::string* line) {
  size_t end = line->find_last_not_of(" \t\r\n");
  line->resize(end == std::string::npos ? 0 : end + 1);
}

}  // namespace

bool ReadSource(const std::string& path, uint64_t minCount,
                std::vector<uint64_t>* entries, SourceCounts* counts,
                std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": " + ErrnoText(errno);
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    ++counts->lines;
    TrimEnd(&line);
    uint64_t entry = 0;
    uint64_t count = 0;
    if (HashLine(line, &entry, &count)) {
      if (count < minCount) continue;
      ++counts->hashes;
    } else {
      std::string folded = Fold(line);
      if (!FitsHostField(folded)) continue;
      entry = EntryOf(folded);
    }
    entries->push_back(entry);
    ++counts->kept;
  }
  if (in.bad()) {
    *error = path + ": " + ErrnoText(errno);
    return false;
  }
  return true;
}

bool ReadWords(const std::string& path, std::vector<std::string>* words,
               std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": " + ErrnoText(errno);
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    TrimEnd(&line);
    size_t begin = line.find_first_not_of(" \t");
    if (begin == std::string::npos || line[begin] == '#') continue;
    words->push_back(line.substr(begin));
  }
  if (in.bad()) {
    *error = path + ": " + ErrnoText(errno);
    return false;
  }
  return true;
}

PasswordChecker::PasswordChecker(
    std::vector<std::shared_ptr<const BlocklistFile>> lists,
    std::vector<std::string> siteWords)
    : lists_(std::move(lists)) {
  for (const auto& list : lists_) {
    anyBreachHashes_ = anyBreachHashes_ || list->HasBreachHashes();
  }
  for (const std::string& word : siteWords) {
    if (word.size() >= kMinContextWord) siteWords_.push_back(Substitute(word));
  }
}

namespace {

bool HoldsWord(const std::string& substituted, const std::string& backwards,
               const std::string& word) {
  return word.size() >= kMinContextWord &&
         (substituted.find(word) != std::string::npos ||
          backwards.find(word) != std::string::npos);
}

std::string Lower(const std::string& text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string Upper(const std::string& text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

}  // namespace

CheckResult PasswordChecker::Check(
    const std::string& password,
    const std::vector<ContextWord>& context) const {
  const std::string substituted = Substitute(password);
  const std::string backwards(substituted.rbegin(), substituted.rend());
  for (const ContextWord& word : context) {
    if (HoldsWord(substituted, backwards, Substitute(word.text))) {
      return {Refusal::kContext, word.what};
    }
  }
  for (const std::string& word : siteWords_) {
    if (HoldsWord(substituted, backwards, word)) {
      return {Refusal::kContext, "a word this site does not allow"};
    }
  }
  const char* sequence = RunOrSequence(password);
  if (sequence == nullptr)
    sequence = RunOrSequence(DropTrailingNumber(password));
  if (sequence != nullptr) return {Refusal::kSequence, sequence};
  if (lists_.empty()) return {};
  const uint64_t folded = EntryOf(Fold(password));
  for (const auto& list : lists_) {
    if (list->Contains(folded)) {
      return {Refusal::kCommon, "the list of common passwords"};
    }
  }
  if (!anyBreachHashes_) return {};
  // A breach download's hashes are of passwords as typed: the host's
  // spelling (upper case), lower case, capitalised, and as given.
  std::string capitalised = Lower(password);
  if (!capitalised.empty()) capitalised[0] = Upper(password)[0];
  const std::string forms[] = {Upper(password), Lower(password), capitalised,
                               password};
  const size_t kForms = sizeof forms / sizeof forms[0];
  for (size_t i = 0; i < kForms; ++i) {
    bool seen = false;
    for (size_t j = 0; j < i; ++j) seen = seen || forms[j] == forms[i];
    if (seen || forms[i].empty()) continue;
    const uint64_t entry = EntryOf(forms[i]);
    for (const auto& list : lists_) {
      if (list->HasBreachHashes() && list->Contains(entry)) {
        return {Refusal::kCommon, "the list of common passwords"};
      }
    }
  }
  return {};
}
