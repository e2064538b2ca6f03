#include "engine/request_account.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "contract/option_line.h"
#include "contract/secret.h"
#include "engine/argument.h"
#include "engine/ccb.h"
#include "engine/options.h"

namespace {

std::string Upper(const char* text) {
  std::string result(text);
  for (char& c : result) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return result;
}

// True when an entry of argv[1..count-1] is the switch key ("-key" or
// "/key"). Taking options only deletes entries, so a switch not there at
// first never comes, and Argument would find nothing for it.
bool Names(const std::vector<char*>& argv, unsigned int count,
           const char* key) {
  for (unsigned int i = 1; i < count; ++i) {
    const char* entry = argv[i];
    if (entry != nullptr && (entry[0] == '-' || entry[0] == '/') &&
        std::strcmp(entry + 1, key + 1) == 0) {
      return true;
    }
  }
  return false;
}

// Takes a separate-style option and its value out of argv[1..*count-1], as
// the engine takes it; its value upper-cased, or "" when it is missing or
// longer than size.
std::string Take(std::vector<char*>* argv, unsigned int* count, const char* key,
                 unsigned int size) {
  if (!Names(*argv, *count, key)) return std::string();
  char value[CCB_QUALIFIED_NAME_LENGTH + 1] = "";
  int rc = Argument(count, argv->data(), key, ARGUMENT_STYLE_SEPARATE,
                    ARGUMENT_DELETE, value, size);
  return rc == ARGUMENT_RC_OK ? Upper(value) : std::string();
}

// The same for a password: its value as given, the buffer wiped.
std::string TakeSecret(std::vector<char*>* argv, unsigned int* count,
                       const char* key) {
  if (!Names(*argv, *count, key)) return std::string();
  char value[CCB_NAME_LENGTH + 1] = "";
  int rc = Argument(count, argv->data(), key, ARGUMENT_STYLE_SEPARATE,
                    ARGUMENT_DELETE, value, CCB_NAME_LENGTH);
  std::string result = rc == ARGUMENT_RC_OK ? value : "";
  WipeBytes(value, sizeof value);
  return result;
}

// Reads the account and, unless newPassword is null, the new password.
bool ReadAccount(const char* commandLine, RequestAccount* account,
                 std::string* newPassword) {
  // Split at white space as run_command_line does, on one copy of the
  // line, which holds the passwords: wiped however this ends.
  std::string line = commandLine;
  struct Wiper {
    std::string* line;
    ~Wiper() { WipeSecret(line); }
  } wiper{&line};
  static char programName[] = "tarponApi";
  std::vector<char*> argv;
  argv.reserve(option_line::kMaxWords + 1);
  argv.push_back(programName);
  option_line::SplitInPlace(&line, &argv);
  // The engine takes its flags out first: "-u -v ALICE" names ALICE.
  unsigned int count = static_cast<unsigned int>(argv.size());
  if (take_out_flags(&count, argv.data())) return false;
  // The engine takes the options one after another, each with its value,
  // in this order: "-s -d DB HOSTA" names HOSTA.
  Take(&argv, &count, "-d", CCB_NAME_LENGTH);
  std::string symbolic = Take(&argv, &count, "-sd", CCB_NAME_LENGTH);
  std::string server = Take(&argv, &count, "-s", CCB_QUALIFIED_NAME_LENGTH);
  std::string partner = Take(&argv, &count, "-plu", CCB_QUALIFIED_NAME_LENGTH);
  Take(&argv, &count, "-m", CCB_NAME_LENGTH);
  Take(&argv, &count, "-lu", CCB_NAME_LENGTH);
  account->user = Take(&argv, &count, "-u", CCB_NAME_LENGTH);
  if (newPassword != nullptr) {
    std::string old = TakeSecret(&argv, &count, "-p");
    WipeSecret(&old);
    *newPassword = TakeSecret(&argv, &count, "-np");
  }
  account->destination = !server.empty()     ? server
                         : !symbolic.empty() ? symbolic
                                             : partner;
  return !account->user.empty() && !account->destination.empty();
}

}  // namespace

bool read_request_account(const char* commandLine, RequestAccount* account) {
  return ReadAccount(commandLine, account, nullptr);
}

bool read_request_new_password(const char* commandLine, RequestAccount* account,
                               std::string* newPassword) {
  if (ReadAccount(commandLine, account, newPassword) && !newPassword->empty()) {
    return true;
  }
  WipeSecret(newPassword);
  return false;
}
