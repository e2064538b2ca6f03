// The engine's command line on fuzzed text, as the gateway hands it
// whatever a client sends. An emulated SNA node with one password host is
// configured in a temporary folder at start-up, so that command lines that
// name the host reach the conversation and the host's user database. A run
// that changes the database has it written back as it was, so that every
// input meets the same users.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "engine/tarpon.h"
#include "fuzz/fuzz_support.h"
#include "trace/trace.h"

namespace {

const char kNodeConfig[] =
    "[node]\n"
    "modes = #BATCH #INTER\n"
    "default_local_lu = WKSTN1\n"
    "[local_lu WKSTN1]\n"
    "name = NETA.WKSTN1\n"
    "[partner_lu hosta]\n"
    "name = NETA.KSVHOST\n"
    "[partner_lu plain]\n"
    "name = NETA.PLAIN\n"
    "[side_info KSVSYM]\n"
    "partner_lu = NETA.KSVHOST\n"
    "mode = #BATCH\n"
    "tp_name = x'06F3F0F1'\n"
    "[side_info ALIASSYM]\n"
    "partner_lu = hosta\n"
    "mode = #INTER\n"
    "tp_name = x'06F3F0F1'\n"
    "[side_info BADTP]\n"
    "partner_lu = hosta\n"
    "mode = #BATCH\n"
    "tp_name = OTHERTP\n"
    "[host NETA.KSVHOST]\n"
    "users = users.db\n"
    "password_history = 2\n"
    "revoke_after = 3\n";

const char kUsers[] =
    "# user    password  attributes\n"
    "ALICE     SECRET1\n"
    "BOB       PASSW0RD  expired\n"
    "CAROL     TOPSEC    revoked\n"
    "DAVE      NEWONE    history=OLDONE,OLDER failures=2\n";

std::string ReadFile(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, got);
  close(fd);
  return text;
}

void WriteFile(const std::string& path, const std::string& text) {
  FILE* out = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(out != nullptr);
  FUZZ_CHECK(std::fwrite(text.data(), 1, text.size(), out) == text.size());
  FUZZ_CHECK(std::fclose(out) == 0);
  FUZZ_CHECK(chmod(path.c_str(), 0600) == 0);  // as the host requires
}

// The node's folder (in memory where the machine offers it, so that the
// host's flush to disk costs little), removed when the fuzzer ends.
class Node {
 public:
  Node() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tarpon-fuzz-engine-XXXXXX";
    char* made = mkdtemp(&pattern[0]);
    FUZZ_CHECK(made != nullptr);
    folder_ = made;
    WriteFile(folder_ + "/node.conf", kNodeConfig);
    WriteFile(Users(), kUsers);
    setenv("TARPON_SNA_NODE", (folder_ + "/node.conf").c_str(), 1);
    // A command line without a password would prompt on a terminal and
    // wait for typing; the engine answers as it does for a remote client.
    int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(none >= 0 && dup2(none, STDIN_FILENO) == STDIN_FILENO);
    close(none);
  }
  ~Node() {
    std::remove((folder_ + "/node.conf").c_str());
    std::remove(Users().c_str());
    std::remove((Users() + ".lock").c_str());
    rmdir(folder_.c_str());
  }
  void RestoreUsers() {
    if (ReadFile(Users()) != kUsers) WriteFile(Users(), kUsers);
  }

 private:
  std::string Users() const { return folder_ + "/users.db"; }
  std::string folder_;
};

bool KnownReturnCode(int rc) {
  switch (rc) {
    case 0:
    case 4:
    case 8:
    case 14:
    case 15:
    case 17:
    case 18:
    case 19:
    case 21:
    case 1020:
    case 1024:
      return true;
    default:
      return rc >= 2000 && rc <= 2255;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Node node;
  // The engine takes a NUL-terminated text; bytes after a NUL never reach it.
  std::string commandLine(reinterpret_cast<const char*>(data), size);
  commandLine = commandLine.c_str();

  std::stringbuf captured;
  int rc;
  {
    fuzz::QuietStreams quiet(&captured);
    TarponRequest request;
    if (request.Begin(commandLine.c_str())) {
      // A request bound for a host names the account that the gateway's
      // limit per account counts and its events report. Its destination
      // may be none (only -d names a database): the conversation then
      // fails before any host, and the name is bounded all the same.
      FUZZ_CHECK(!request.GetUser().empty());
      FUZZ_CHECK(request.GetNamedDestination().size() <= 17);
      request.Finish();
    }
    rc = request.GetReturnCode();
  }
  node.RestoreUsers();

  FUZZ_CHECK(KnownReturnCode(rc));
  // The text a capturing caller gets begins with a line feed and ends with
  // a line feed and the NUL that terminates it.
  std::string out = captured.str();
  FUZZ_CHECK(out.size() >= 3 && out[0] == '\n');
  FUZZ_CHECK(out.compare(out.size() - 2, 2, std::string("\n\0", 2)) == 0);
  // A request leaves the process as it found it: the trace switched off
  // (the engine restores a switch it turned on) and every scope closed.
  FUZZ_CHECK(trace_flags == TRACE_OFF);
  FUZZ_CHECK(trace_depth == -3);
  return 0;
}
