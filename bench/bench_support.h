// Support shared by the benchmark programs: an emulated SNA node with one
// password host in a temporary folder, and a user database of a realistic
// size that the host reads for every request; a gateway on a port of its
// own; the clock and the median; the "--name value" options every
// benchmark takes.
#ifndef TARPON_BENCH_BENCH_SUPPORT_H_
#define TARPON_BENCH_BENCH_SUPPORT_H_

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sna/regular_file.h"
#include "tests/support/e2e_support.h"
#include "tests/support/gateway_support.h"

namespace bench {

// The password history is off, so that a benchmark can change a password
// back and forth between two values for as long as it runs.
// The folder this program was started from.
inline std::string OwnFolder() {
  char path[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string text(path, static_cast<size_t>(n));
  return text.substr(0, text.rfind('/'));
}

inline const char kNodeConfig[] =
    "[node]\n"
    "modes = #BATCH\n"
    "[partner_lu hosta]\n"
    "name = NETA.KSVHOST\n"
    "[host NETA.KSVHOST]\n"
    "users = users.db\n"
    "password_history = 0\n";

// The users the host knows: ALICE (password SECRET1) first, then
// users - 1 others, so that every request parses a database of that size.
inline std::string UserDatabase(int users) {
  std::string text = "# user    password  attributes\nALICE     SECRET1\n";
  for (int i = 1; i < users; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "USER%04d  PW%04d\n", i % 10000,
                  i % 10000);
    text += line;
  }
  return text;
}

// The number of users in every benchmark's database.
constexpr int kUsers = 100;

// Writes the node's configuration and a database of "users" users into
// box; returns the path for TARPON_SNA_NODE.
inline std::string WriteNode(const e2e::Sandbox& box, int users = kUsers) {
  box.Write("sna-node.conf", kNodeConfig);
  box.Write("users.db", UserDatabase(users));
  return box.Path("sna-node.conf");
}

// A tarpons from the folder programs on a free loopback port of its own,
// named to it through <name>.services in box, its log and output in box
// under name, started with args and env added to this environment: the
// node of WriteNode unless env names one (TARPON_SNA_NODE=...).
class Gateway {
 public:
  Gateway(const e2e::Sandbox& box, const std::string& programs,
          const std::string& name, std::vector<std::string> env = {},
          const std::vector<std::string>& args = {})
      : port_(e2e::FreeLoopbackPort()) {
    if (port_ <= 0) return;
    box.Write(name + ".services",
              "tarponGateway " + std::to_string(port_) + "/tcp\n");
    bool node = std::any_of(env.begin(), env.end(), [](const std::string& e) {
      return e.rfind("TARPON_SNA_NODE=", 0) == 0;
    });
    if (!node) env.push_back("TARPON_SNA_NODE=" + WriteNode(box));
    env.push_back("TARPON_SERVICES=" + box.Path(name + ".services"));
    // The throughput benchmarks send one user ID's changes from many
    // clients at once, which the limit per account takes one at a time
    // (account_bench measures what the limit costs); args may say
    // otherwise, the last -accountlimit counting.
    std::vector<std::string> all = {"-accountlimit", "off"};
    all.insert(all.end(), args.begin(), args.end());
    process_ = e2e::StartGateway(programs + "/tarpons", box, name, env, all);
  }
  // False when it did not start: its standard error is in <name>.err.
  bool Started() const { return process_ != nullptr; }
  int Port() const { return port_; }
  pid_t Pid() const { return process_->pid(); }
  e2e::Background& Process() { return *process_; }

 private:
  int port_;
  std::unique_ptr<e2e::Background> process_;
};

// VmRSS of a process in kB, or -1.
inline long ResidentKb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

// Waits until the node's files have been left alone for longer than the
// node's settle time, so that it knows them again by their status alone,
// as a running gateway finds its files nearly always. Until then the node
// reads them whole for every request.
inline void WaitForNodeToSettle() {
  std::this_thread::sleep_for(std::chrono::seconds(sna::kSettleSeconds + 1));
}

// A refused change: the host reads the database, finds ALICE, accepts her
// current password and refuses the new one, which equals it (status X'04',
// engine code 2004). The database is read and not written.
inline const char kRefusedChange[] = "-u ALICE -p SECRET1 -np SECRET1 -s hosta";
constexpr int kRefusedCode = 2004;
// A wrong current password is refused too (status X'02', engine code 2002),
// but the host counts the failure and so rewrites the database.
inline const char kBadPassword[] = "-u ALICE -p WRONGPW -np NEWPW1 -s hosta";
constexpr int kBadPasswordCode = 2002;
// The help text: the engine answers it without the node.
inline const char kHelpRequest[] = "-?";

// The steady clock in seconds.
inline double Seconds() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The value below which share (0 to 1) of values lie: the nearest rank.
inline double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(share * (values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One "--name value" option: a text, or a whole number from min to max.
struct Option {
  const char* name;
  std::function<bool(const char* value)> take;
};

inline Option Text(const char* name, std::string* text) {
  return {name, [text](const char* value) {
            *text = value;
            return true;
          }};
}

template <typename Number>
Option Whole(const char* name, Number* number, long min, long max) {
  return {name, [number, min, max](const char* value) {
            char* end = nullptr;
            long parsed = std::strtol(value, &end, 10);
            if (end == value || *end != '\0' || parsed < min || parsed > max) {
              return false;
            }
            *number = static_cast<Number>(parsed);
            return true;
          }};
}

// Takes argv's "--name value" pairs; false (the caller prints its usage)
// for an unknown name, a value out of range or a name without a value.
inline bool ParseOptions(int argc, char** argv,
                         std::initializer_list<Option> options) {
  if (argc % 2 == 0) return false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const Option* found = nullptr;
    for (const Option& option : options) {
      if (std::string(argv[i]) == option.name) found = &option;
    }
    if (found == nullptr || !found->take(argv[i + 1])) return false;
  }
  return true;
}

}  // namespace bench

#endif  // TARPON_BENCH_BENCH_SUPPORT_H_
