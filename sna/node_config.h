// The emulated node's configuration: local LUs, partner LUs, modes, CPI-C
// side information, the hosts that serve the password TP, and faults to
// inject. Read from the INI file named by TARPON_SNA_NODE.
#ifndef TARPON_SNA_NODE_CONFIG_H_
#define TARPON_SNA_NODE_CONFIG_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sna {

enum class Security { kNone, kSame, kProgram };

struct SideInfo {
  std::string partner_lu;  // a qualified name (upper-cased) or an alias
  std::string mode;        // upper-cased
  std::string tp_name;     // EBCDIC bytes
  Security security = Security::kNone;
};

struct HostConfig {
  std::string users;  // path of the user database
  bool mixed_case_passwords = false;
  int password_history = 0;
  int min_password_length = 1;
  bool persistent_signon = true;
  int revoke_after = 0;
  // How long the host takes to answer each request, in milliseconds.
  int answer_delay_ms = 0;
};

// One injected failure: a CPI-C return code, a WinCPICStartup code, or an
// APPC or ACSSVC primary and secondary return code (architected values).
struct Fault {
  uint32_t primary = 0;
  uint32_t secondary = 0;
};

struct NodeConfig {
  std::vector<std::string> modes;  // upper-cased
  std::string default_local_lu;    // empty: the built-in default LU
  std::map<std::string, std::string> local_lus;    // alias -> name
  std::map<std::string, std::string> partner_lus;  // alias -> name
  std::map<std::string, SideInfo> side_info;       // symbolic destination
  std::map<std::string, HostConfig> hosts;         // qualified name
  std::map<std::string, Fault> faults;             // call or verb name
  bool has_reply_fault = false;
  std::string reply_fault;  // bytes the host answers instead

  // The fault configured for "call", or null.
  const Fault* FindFault(const char* call) const;
  bool KnowsMode(const std::string& mode) const;  // compared upper-cased
};

// Parses the text of a configuration file. "file" names the file in error
// messages; relative user database paths are taken against "folder".
// Returns true on success; otherwise false with "*error" set to one line,
// "<file>:<line>: <fault>", without a line end. Lines may hold 1023 bytes.
// Safe to call from several threads: parses take turns on the INI
// library, whose settings are process-wide.
bool ParseNodeConfig(const std::string& text, const std::string& file,
                     const std::string& folder, NodeConfig* config,
                     std::string* error);

// Reads and parses the file named by the environment variable
// TARPON_SNA_NODE (a regular file of at most 1 MiB; a FIFO or a device is
// refused at once). On failure "*error" describes the fault in one line.
bool LoadNodeConfig(NodeConfig* config, std::string* error);

// As LoadNodeConfig, but the result is shared: the file is read whole at
// every call, and when its path and bytes are those of the last successful
// parse, that parse is returned again instead of parsing the same text
// once more. A file that fails to parse is parsed, and its fault reported,
// every time. Null on failure. Safe to call from several threads (shown
// by a test that scripts/tsan.sh runs under ThreadSanitizer).
std::shared_ptr<const NodeConfig> LoadSharedNodeConfig(std::string* error);

// How many times this process has parsed a configuration file's bytes in
// LoadNodeConfig or LoadSharedNodeConfig.
uint64_t NodeConfigParseCount();

// Parses "x'..'" hexadecimal (blanks allowed between digits) into bytes.
bool ParseHexValue(const std::string& value, std::string* bytes);

// The text upper-cased (ASCII letters only).
std::string UpperCase(const std::string& text);

}  // namespace sna

#endif  // TARPON_SNA_NODE_CONFIG_H_
