// The user database parser on fuzzed text. A database that is accepted
// must survive the host's rewrite: formatting every record anew and parsing
// the result gives the same users.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "sna/user_db.h"

namespace {

bool ValidPassword(const std::string& password) {
  if (password.empty() || password.size() > sna::kMaxPasswordLength) {
    return false;
  }
  for (char c : password) {
    if (c <= ' ' || c > '~' || c == ',') return false;
  }
  return true;
}

bool SameUsers(const sna::UserDatabase& a, const sna::UserDatabase& b) {
  if (a.users.size() != b.users.size()) return false;
  for (size_t i = 0; i < a.users.size(); ++i) {
    const sna::UserRecord& x = a.users[i];
    const sna::UserRecord& y = b.users[i];
    if (x.user != y.user || x.password != y.password ||
        x.expired != y.expired || x.revoked != y.revoked ||
        x.history != y.history || x.failures != y.failures ||
        x.line_index != y.line_index) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  sna::UserDatabase database;
  int line = 0;
  std::string error;
  if (!sna::ParseUserDatabase(text, &database, &line, &error)) {
    FUZZ_CHECK(line >= 1 &&
               static_cast<size_t>(line) <= database.lines.size() + 1);
    FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
    return 0;
  }

  for (sna::UserRecord& record : database.users) {
    FUZZ_CHECK(!record.user.empty() &&
               record.user.size() <= sna::kMaxUserLength);
    FUZZ_CHECK(ValidPassword(record.password));
    for (const std::string& old : record.history) {
      FUZZ_CHECK(ValidPassword(old));
    }
    FUZZ_CHECK(record.failures >= 0 && record.failures <= sna::kMaxFailures);
    FUZZ_CHECK(database.Find(record.user) == &record);
    FUZZ_CHECK(record.line_index < database.lines.size());
  }

  // Unchanged, the file is written back as it was read (line ends aside).
  sna::UserDatabase again;
  FUZZ_CHECK(sna::ParseUserDatabase(sna::FormatUserDatabase(database), &again,
                                    &line, &error));
  FUZZ_CHECK(SameUsers(database, again));

  // Every record rewritten.
  for (sna::UserRecord& record : database.users) record.changed = true;
  sna::UserDatabase rewritten;
  FUZZ_CHECK(sna::ParseUserDatabase(sna::FormatUserDatabase(database),
                                    &rewritten, &line, &error));
  FUZZ_CHECK(SameUsers(database, rewritten));
  return 0;
}
