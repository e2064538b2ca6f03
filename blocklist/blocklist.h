// The list of passwords that a new password must not be, as one file that
// the gateway maps read-only, and the check of a new password against the
// lists, the words of its context, and runs and sequences.
//
// The file (docs/blocklist.md has the whole layout): an 80-byte header,
// then count entries of 8 bytes, each the first 8 bytes of the SHA-1 of a
// folded password (blocklist/fold.h) or of a password from a breach
// download, read as a big-endian number; ascending, each once.
//
//   0   8  magic "TARPONBL"
//   8   4  version (1), little-endian
//   12  4  header size (80), little-endian
//   16  8  count, little-endian
//   24  8  build time, seconds since 1970, little-endian
//   32  4  flags, little-endian: kBreachHashes when some entries came from
//          a breach download's hashes
//   36  4  zero
//   40 32  SHA-256 of the entries
//   72  8  zero
#ifndef TARPON_BLOCKLIST_BLOCKLIST_H_
#define TARPON_BLOCKLIST_BLOCKLIST_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace blocklist_format {
constexpr char kMagic[] = "TARPONBL";  // the first 8 bytes, no NUL
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 80;
constexpr size_t kEntrySize = 8;
constexpr size_t kVersionOffset = 8;
constexpr size_t kHeaderSizeOffset = 12;
constexpr size_t kCountOffset = 16;
constexpr size_t kBuildTimeOffset = 24;
constexpr size_t kFlagsOffset = 32;
constexpr size_t kChecksumOffset = 40;
constexpr size_t kChecksumSize = 32;
// The entries hold hashes of passwords as typed: a check looks the
// password up in its other spellings too.
constexpr uint32_t kBreachHashes = 1;
}  // namespace blocklist_format

// The entry for text: the first 8 bytes of its SHA-1, big-endian. Any
// thread.
uint64_t EntryOf(const std::string& text);
// The entry of a SHA-1 written as 40 hexadecimal digits (either case);
// false when hex is not one.
bool EntryOfSha1Hex(const std::string& hex, uint64_t* entry);

// One list file, its bytes copied into a read-only mapping of their own
// for as long as the object lives, so that the file may be replaced or
// written in place meanwhile. Once opened it is never changed: any thread
// may ask it at once.
class BlocklistFile {
 public:
  // Maps path and checks it whole: the magic, the version, the header
  // size, the file's length against the count, the checksum, the order.
  // nullptr with one line in *error ("PATH: wrong checksum") otherwise.
  static std::shared_ptr<const BlocklistFile> Open(const std::string& path,
                                                   std::string* error);
  ~BlocklistFile();
  BlocklistFile(const BlocklistFile&) = delete;
  BlocklistFile& operator=(const BlocklistFile&) = delete;

  bool Contains(uint64_t entry) const;
  const std::string& GetPath() const { return path_; }
  uint64_t GetCount() const { return count_; }
  int64_t GetBuildTime() const { return buildTime_; }
  // Some entries are a breach download's hashes.
  bool HasBreachHashes() const { return breachHashes_; }
  // The chance that one password not on the list matches an entry of it
  // all the same: count / 2^64.
  double FalsePositiveRate() const;

 private:
  BlocklistFile() = default;

  std::string path_;
  const unsigned char* map_ = nullptr;
  size_t mapSize_ = 0;
  const unsigned char* entries_ = nullptr;
  uint64_t count_ = 0;
  int64_t buildTime_ = 0;
  bool breachHashes_ = false;
};

// Writes entries, sorted and made unique here, as a list file built at
// buildTime, with breachHashes when some came from a breach download: to a
// temporary file beside path, renamed over path once whole. False with one
// line in *error.
bool WriteBlocklist(const std::string& path, std::vector<uint64_t> entries,
                    int64_t buildTime, bool breachHashes, std::string* error);

// What one source gave.
struct SourceCounts {
  uint64_t lines = 0;
  uint64_t kept = 0;    // entries added (not yet made unique)
  uint64_t hashes = 0;  // of them, a breach download's hashes
};

// Adds the entries of the source file at path to *entries. A line that is
// 40 hexadecimal digits, alone or followed by ":COUNT", is the SHA-1 of a
// password (a breach download), kept when its count is at least minCount
// (a line without one counts as 1). Any other line is a password: kept
// when its folded form fits the host's field. A line's end ("\r\n" too)
// and its trailing blanks are not part of it. False with one line in
// *error when the file cannot be read.
bool ReadSource(const std::string& path, uint64_t minCount,
                std::vector<uint64_t>* entries, SourceCounts* counts,
                std::string* error);

// One word the new password must not contain, and what it is ("the user
// ID", "the destination's name"), for the refusal's line.
struct ContextWord {
  std::string text;
  const char* what;
};

enum class Refusal {
  kNone,
  kCommon,    // on a list
  kSequence,  // a run or a sequence
  kContext,   // holds a word of its context
};

struct CheckResult {
  Refusal refusal = Refusal::kNone;
  // What refused it: "the list of common passwords", a ContextWord's what,
  // or RunOrSequence's reason (blocklist/fold.h).
  std::string why;
};

// Words shorter than this are not looked for inside a password.
constexpr size_t kMinContextWord = 3;

// The lists and the site's own words, fixed at construction: any thread
// may check at once.
class PasswordChecker {
 public:
  PasswordChecker(std::vector<std::shared_ptr<const BlocklistFile>> lists,
                  std::vector<std::string> siteWords);

  // The first rule that refuses password: the context (the words given and
  // the site's, each looked for in the password and in it backwards, both
  // with the look-alikes substituted), then the runs and sequences, then
  // the lists (the folded password, and in a list with a breach
  // download's hashes the password upper-cased, lower-cased, capitalised
  // and as given).
  CheckResult Check(const std::string& password,
                    const std::vector<ContextWord>& context) const;

  const std::vector<std::shared_ptr<const BlocklistFile>>& GetLists() const {
    return lists_;
  }
  size_t GetSiteWordCount() const { return siteWords_.size(); }

 private:
  std::vector<std::shared_ptr<const BlocklistFile>> lists_;
  std::vector<std::string> siteWords_;  // substituted
  bool anyBreachHashes_ = false;
};

// Reads a file of site words, one a line (blank lines and lines starting
// with "#" skipped), into *words. False with one line in *error.
bool ReadWords(const std::string& path, std::vector<std::string>* words,
               std::string* error);

#endif  // TARPON_BLOCKLIST_BLOCKLIST_H_
