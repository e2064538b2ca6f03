// The list of common passwords at the size of the packaged one: what
// building it costs, the file's size, the time to load (open and check
// whole) it, the check of one new password with its folding, and the
// gateway's resident size with it loaded and without a list.
//   blocklist_bench SOURCE...   (default: the list the package is built of)
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "blocklist/blocklist.h"
#include "blocklist/blocklist_tool.h"

namespace {

// Passwords to check: every tenth line of the first source (on the list,
// mostly) and as many random host passwords (not on it, nearly all).
std::vector<std::string> Passwords(const std::string& source, size_t count) {
  std::vector<std::string> passwords;
  std::ifstream in(source);
  std::string line;
  for (size_t i = 0; std::getline(in, line) && passwords.size() < count / 2;
       ++i) {
    if (i % 10 == 0 && !line.empty() && line.size() <= 8) {
      passwords.push_back(line);
    }
  }
  std::mt19937 random(37);
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789@#$";
  while (passwords.size() < count) {
    std::string password;
    for (int i = 0; i < 8; ++i) password += alphabet[random() % 39];
    passwords.push_back(password);
  }
  return passwords;
}

long GatewayResidentKb(const e2e::Sandbox& box, const std::string& programs,
                       const std::string& name,
                       const std::vector<std::string>& args) {
  bench::Gateway gateway(box, programs, name, {}, args);
  if (!gateway.Started()) return -1;
  return bench::ResidentKb(gateway.Pid());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> sources(argv + 1, argv + argc);
  if (sources.empty()) {
    std::fprintf(stderr, "usage: blocklist_bench SOURCE...\n");
    return 2;
  }
  e2e::Sandbox box;
  const std::string list = box.Path("common.tbl");
  std::vector<std::string> words = {"tarpon-blocklist", "build", "-o", list};
  words.insert(words.end(), sources.begin(), sources.end());
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(&word[0]);
  std::istringstream in;
  std::ostringstream out, err;
  double start = bench::Seconds();
  if (BlocklistToolMain(static_cast<int>(args.size()), args.data(), in, out,
                        err) != 0) {
    std::fprintf(stderr, "%s", err.str().c_str());
    return 1;
  }
  double built = bench::Seconds() - start;
  std::printf("%s", out.str().c_str());
  std::printf("build: %.2f s\n", built);
  std::ifstream file(list, std::ios::binary | std::ios::ate);
  std::printf("file: %.2f MB\n", static_cast<double>(file.tellg()) / 1e6);
  std::vector<double> loads;
  std::shared_ptr<const BlocklistFile> loaded;
  for (int i = 0; i < 20; ++i) {
    std::string error;
    start = bench::Seconds();
    loaded = BlocklistFile::Open(list, &error);
    loads.push_back(bench::Seconds() - start);
  }
  std::printf("load: %.1f ms (median of 20)\n", bench::Median(loads) * 1e3);
  PasswordChecker checker({loaded}, {});
  const std::vector<ContextWord> context = {
      {"ALICE", "the user ID"}, {"HOSTA", "the destination's name"}};
  std::vector<std::string> passwords = Passwords(sources.front(), 200000);
  std::vector<double> rounds;
  size_t refused = 0;
  for (int round = 0; round < 5; ++round) {
    refused = 0;
    start = bench::Seconds();
    for (const std::string& password : passwords) {
      refused += checker.Check(password, context).refusal != Refusal::kNone;
    }
    rounds.push_back((bench::Seconds() - start) / passwords.size());
  }
  std::printf(
      "check: %.2f us a password, folding included (median of 5 "
      "rounds of %zu, %zu refused)\n",
      bench::Median(rounds) * 1e6, passwords.size(), refused);
  const std::string programs = bench::OwnFolder() + "/../programs";
  std::printf(
      "gateway VmRSS: %ld kB with the list, %ld kB without\n",
      GatewayResidentKb(box, programs, "with", {"-blocklist", list}),
      GatewayResidentKb(box, programs, "without", {"-blocklist", "off"}));
  return 0;
}
