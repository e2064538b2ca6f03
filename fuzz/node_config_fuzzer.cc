// The node configuration parser on fuzzed text, from memory and, through
// TARPON_SNA_NODE, from a temporary file: both must agree, and a
// configuration that is accepted must hold what the node relies on.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "sna/node_config.h"

namespace {

// A folder of its own for the file, removed when the fuzzer ends.
struct ConfigFile {
  std::string folder;
  std::string path;
  ConfigFile() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tarpon-fuzz-node-XXXXXX";
    char* made = mkdtemp(&pattern[0]);
    FUZZ_CHECK(made != nullptr);
    folder = made;
    path = folder + "/node.conf";
    setenv("TARPON_SNA_NODE", path.c_str(), 1);
  }
  ~ConfigFile() {
    std::remove(path.c_str());
    rmdir(folder.c_str());
  }
};

bool IsUpper(const std::string& text) { return sna::UpperCase(text) == text; }

// "<file>:<line>: <fault>" on one line.
void CheckError(const std::string& error, const std::string& file) {
  FUZZ_CHECK(error.compare(0, file.size() + 1, file + ":") == 0);
  size_t i = file.size() + 1;
  FUZZ_CHECK(i < error.size() &&
             std::isdigit(static_cast<unsigned char>(error[i])));
  while (i < error.size() && std::isdigit(static_cast<unsigned char>(error[i])))
    ++i;
  FUZZ_CHECK(error.compare(i, 2, ": ") == 0 && error.size() > i + 2);
  FUZZ_CHECK(error.find('\n') == std::string::npos);
}

void CheckConfig(const sna::NodeConfig& config, const std::string& folder) {
  FUZZ_CHECK(!config.modes.empty());
  for (const std::string& mode : config.modes) {
    FUZZ_CHECK(!mode.empty() && mode.size() <= 8 && IsUpper(mode));
  }
  FUZZ_CHECK(config.default_local_lu.empty() ||
             config.local_lus.count(config.default_local_lu) == 1);
  for (const auto& lu : config.local_lus) {
    FUZZ_CHECK(lu.first.size() <= 8 && lu.second.size() <= 17);
  }
  for (const auto& lu : config.partner_lus) {
    FUZZ_CHECK(lu.first.size() <= 8 && lu.second.size() <= 17);
  }
  for (const auto& entry : config.side_info) {
    const sna::SideInfo& info = entry.second;
    FUZZ_CHECK(!entry.first.empty() && entry.first.size() <= 8);
    FUZZ_CHECK(!info.partner_lu.empty() && info.partner_lu.size() <= 17);
    FUZZ_CHECK(!info.mode.empty() && info.mode.size() <= 8);
    FUZZ_CHECK(!info.tp_name.empty() && info.tp_name.size() <= 64);
  }
  for (const auto& entry : config.hosts) {
    const sna::HostConfig& host = entry.second;
    FUZZ_CHECK(entry.first.size() <= 17 && IsUpper(entry.first));
    FUZZ_CHECK(!host.users.empty());
    FUZZ_CHECK(host.users[0] == '/' ||
               host.users.compare(0, folder.size() + 1, folder + "/") == 0);
    FUZZ_CHECK(host.password_history >= 0 && host.password_history <= 64);
    FUZZ_CHECK(host.min_password_length >= 0 && host.min_password_length <= 8);
    FUZZ_CHECK(host.revoke_after >= 0 && host.revoke_after <= 255);
  }
  FUZZ_CHECK(config.reply_fault.size() <= 256);
  FUZZ_CHECK(config.has_reply_fault || config.reply_fault.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ConfigFile file;
  std::string text(reinterpret_cast<const char*>(data), size);

  sna::NodeConfig config;
  std::string error;
  bool ok = sna::ParseNodeConfig(text, "fuzz.conf", "/cfg", &config, &error);
  if (ok) {
    CheckConfig(config, "/cfg");
  } else {
    CheckError(error, "fuzz.conf");
  }

  FILE* out = std::fopen(file.path.c_str(), "wb");
  FUZZ_CHECK(out != nullptr);
  FUZZ_CHECK(std::fwrite(text.data(), 1, text.size(), out) == text.size());
  FUZZ_CHECK(std::fclose(out) == 0);
  sna::NodeConfig loaded;
  std::string loadError;
  bool loadedOk = sna::LoadNodeConfig(&loaded, &loadError);
  FUZZ_CHECK(loadedOk == ok);
  if (loadedOk) {
    CheckConfig(loaded, file.folder);
    FUZZ_CHECK(loaded.modes == config.modes);
    FUZZ_CHECK(loaded.side_info.size() == config.side_info.size());
    FUZZ_CHECK(loaded.hosts.size() == config.hosts.size());
    FUZZ_CHECK(loaded.reply_fault == config.reply_fault);
  } else {
    CheckError(loadError, file.path);
    // The same fault on the same line.
    FUZZ_CHECK(loadError.substr(file.path.size()) ==
               error.substr(std::string("fuzz.conf").size()));
  }
  return 0;
}
