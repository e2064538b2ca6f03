#include "blocklist/blocklist_tool.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "blocklist/blocklist.h"

namespace {

void Usage(std::ostream& err) {
  err << "usage: tarpon-blocklist build [-min-count N] -o FILE SOURCE...\n"
         "       tarpon-blocklist check [-u USER] FILE PASSWORD\n"
         "       tarpon-blocklist info FILE\n";
}

// --help: the usage, then what each command and option does.
void Help(std::ostream& out) {
  Usage(out);
  out << "       tarpon-blocklist --version | --help\n"
         "\n"
         "  build        write the list of SOURCE files' passwords (or "
         "SHA-1s) to FILE\n"
         "  -min-count N keep a SHA-1 line whose count is at least N "
         "(default 1)\n"
         "  -o FILE      the list to write\n"
         "  check        whether the gateway would refuse PASSWORD (\"-\": "
         "read it\n"
         "               from standard input), and why\n"
         "  -u USER      a user ID the password must not contain\n"
         "  info         the list's entries, build date and false-positive "
         "rate\n"
         "\n"
         "Exit status: 0 done or not refused, 1 refused, 2 a bad command "
         "line or file.\n"
         "See tarpon-blocklist(1).\n";
}

// The build time: SOURCE_DATE_EPOCH when it is set, so that a package
// build gives the same file twice; the clock otherwise.
int64_t BuildTime() {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && *epoch != '\0')
    return std::strtoll(epoch, nullptr, 10);
  return static_cast<int64_t>(std::time(nullptr));
}

int Build(const std::vector<std::string>& args, std::ostream& out,
          std::ostream& err) {
  std::string output;
  uint64_t minCount = 1;
  std::vector<std::string> sources;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" && i + 1 < args.size()) {
      output = args[++i];
    } else if (args[i] == "-min-count" && i + 1 < args.size()) {
      minCount = std::strtoull(args[++i].c_str(), nullptr, 10);
    } else {
      sources.push_back(args[i]);
    }
  }
  if (output.empty() || sources.empty() || minCount == 0) {
    Usage(err);
    return BLOCKLIST_EXIT_ERROR;
  }
  std::vector<uint64_t> entries;
  SourceCounts counts;
  std::string error;
  for (const std::string& source : sources) {
    if (!ReadSource(source, minCount, &entries, &counts, &error)) {
      err << "tarpon-blocklist: " << error << "\n";
      return BLOCKLIST_EXIT_ERROR;
    }
  }
  if (!WriteBlocklist(output, entries, BuildTime(), counts.hashes > 0,
                      &error)) {
    err << "tarpon-blocklist: " << error << "\n";
    return BLOCKLIST_EXIT_ERROR;
  }
  auto file = BlocklistFile::Open(output, &error);
  if (file == nullptr) {
    err << "tarpon-blocklist: " << error << "\n";
    return BLOCKLIST_EXIT_ERROR;
  }
  out << output << ": " << DescribeBlocklist(*file) << " (from " << counts.lines
      << " lines of " << sources.size() << " sources)\n";
  return BLOCKLIST_EXIT_OK;
}

int Check(const std::vector<std::string>& args, std::istream& in,
          std::ostream& out, std::ostream& err) {
  std::vector<ContextWord> context;
  size_t at = 0;
  if (args.size() >= 2 && args[0] == "-u") {
    context.push_back({args[1], "the user ID"});
    at = 2;
  }
  if (args.size() != at + 2) {
    Usage(err);
    return BLOCKLIST_EXIT_ERROR;
  }
  std::string error;
  auto file = BlocklistFile::Open(args[at], &error);
  if (file == nullptr) {
    err << "tarpon-blocklist: " << error << "\n";
    return BLOCKLIST_EXIT_ERROR;
  }
  std::string password = args[at + 1];
  if (password == "-" && !std::getline(in, password)) password.clear();
  PasswordChecker checker({file}, {});
  CheckResult result = checker.Check(password, context);
  if (result.refusal == Refusal::kNone) {
    out << "not refused\n";
    return BLOCKLIST_EXIT_OK;
  }
  out << "refused: " << result.why << "\n";
  return BLOCKLIST_EXIT_REFUSED;
}

}  // namespace

std::string DescribeBlocklist(const BlocklistFile& file) {
  std::time_t built = static_cast<std::time_t>(file.GetBuildTime());
  std::tm utc = {};
  char date[32] = "?";
  if (gmtime_r(&built, &utc) != nullptr) {
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &utc);
  }
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.1e", file.FalsePositiveRate());
  return std::to_string(file.GetCount()) + " entries, built " + date +
         ", false-positive rate " + rate + " a password";
}

int BlocklistToolMain(int argc, char** argv, std::istream& in,
                      std::ostream& out, std::ostream& err) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (const std::string& arg : args) {
    if (arg != "--help") continue;
    Help(out);
    return BLOCKLIST_EXIT_OK;
  }
  if (args.empty()) {
    Usage(err);
    return BLOCKLIST_EXIT_ERROR;
  }
  std::string command = args[0];
  args.erase(args.begin());
  if (command == "build") return Build(args, out, err);
  if (command == "check") return Check(args, in, out, err);
  if (command == "info" && args.size() == 1) {
    std::string error;
    auto file = BlocklistFile::Open(args[0], &error);
    if (file == nullptr) {
      err << "tarpon-blocklist: " << error << "\n";
      return BLOCKLIST_EXIT_ERROR;
    }
    out << args[0] << ": " << DescribeBlocklist(*file) << "\n";
    return BLOCKLIST_EXIT_OK;
  }
  Usage(err);
  return BLOCKLIST_EXIT_ERROR;
}
