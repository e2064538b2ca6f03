#include "sna/node_config.h"

#include <ini.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "sna/code_page.h"
#include "sna/regular_file.h"

namespace sna {

namespace {

// The longest line the reader hands the library, its end included.
constexpr int kMaxConfigLine = 1024;
constexpr size_t kMaxNameLength = 8;  // aliases, modes and name parts
constexpr size_t kMaxTpNameBytes = 64;
constexpr size_t kMaxReplyFaultBytes = 256;
constexpr int kMaxPasswordHistory = 64;
constexpr int kMaxMinPasswordLength = 8;
constexpr int kMaxRevokeAfter = 255;
constexpr int kMaxAnswerDelayMs = 600000;
constexpr uint32_t kMaxCpicReturnCode = 0x7FFFFFFF;
constexpr uint32_t kMaxPrimaryCode = 0xFFFF;
constexpr uint32_t kMaxSecondaryCode = 0xFFFFFFFF;

const char* const kCpicCalls[] = {
    "WinCPICStartup", "WinCPICCleanup", "cminit", "cmallc", "cmsend",
    "cmrcv",          "cmepln",         "cmemn",  "cmsct",  "cmssl",
    "cmsrc",          "cmsst",          "cmsptr", "cmsrt",  "cmsf",
    "cmsmn",          "cmspln",         "cmsdt",  "cmdeal"};
const char* const kVerbs[] = {"TP_STARTED",
                              "ALLOCATE",
                              "SEND_DATA",
                              "RECEIVE_AND_WAIT",
                              "RECEIVE_AND_WAIT.deallocate",
                              "TP_ENDED",
                              "ACSSVC"};

bool IsNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '@' || c == '#' || c == '$';
}

// An alias or mode: 1 to 8 printable characters, no blanks.
bool ValidShortName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (char c : name) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

// NETID.LUNAME, each part 1 to 8 letters, digits, @, # or $.
bool ValidQualifiedName(const std::string& name) {
  size_t period = name.find('.');
  if (period == std::string::npos || period == 0 || period > kMaxNameLength) {
    return false;
  }
  std::string lu = name.substr(period + 1);
  if (lu.empty() || lu.size() > kMaxNameLength) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (i != period && !IsNameCharacter(name[i])) return false;
  }
  return true;
}

std::vector<std::string> SplitBlanks(const std::string& text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

// Decimal, or hexadecimal after "0x".
bool ParseNumber(const std::string& text, uint32_t max, uint32_t* value) {
  if (text.empty()) return false;
  uint64_t result = 0;
  size_t i = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  for (; i < text.size(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    result = result * base + digit;
    if (result > max) return false;
  }
  *value = static_cast<uint32_t>(result);
  return true;
}

bool ParseInt(const std::string& text, int max, int* value) {
  uint32_t number = 0;
  if (text.empty() || (text[0] == '0' && text.size() > 1)) return false;
  if (!ParseNumber(text, static_cast<uint32_t>(max), &number)) return false;
  *value = static_cast<int>(number);
  return true;
}

bool ParseYesNo(const std::string& text, bool* value) {
  if (text == "yes") {
    *value = true;
    return true;
  }
  if (text == "no") {
    *value = false;
    return true;
  }
  return false;
}

struct Section {
  std::string kind;
  std::string name;
  std::string label;  // as shown in messages: "[kind name]"
  int line = 0;       // of the header
  std::set<std::string> keys;
};

struct Parser {
  // Input, read line by line by Read().
  const std::string* text = nullptr;
  size_t position = 0;
  int line = 0;
  int header_line = 0;
  int bad_line = 0;  // first line too long or holding a NUL byte
  const char* bad_line_fault = nullptr;

  std::string file;
  std::string folder;
  NodeConfig* config = nullptr;

  std::vector<Section> sections;
  std::set<std::pair<std::string, std::string>> section_names;  // kind, name
  int error_line = 0;
  std::string error;
  int default_local_lu_line = 0;

  void Fail(const std::string& fault) { FailAt(line, fault); }
  void FailAt(int at, const std::string& fault) {
    if (error_line == 0) {
      error_line = at;
      error = fault;
    }
  }
  bool Key(const char* section, const char* name, const char* value);
  Section* Enter(const std::string& section_text);

 private:
  // One key of a section, as the section's handler sees it.
  struct Entry {
    const Section& section;
    std::string name;
    std::string value;
  };
  bool Bad(const Entry& entry, const char* expected);
  bool Unknown(const Entry& entry);
  bool NodeKey(const Entry& entry);
  bool LuKey(const Entry& entry);
  bool SideInfoKey(const Entry& entry);
  bool HostKey(const Entry& entry);
  bool FaultKey(const Entry& entry);
};

char* Read(char* buffer, int size, void* stream) {
  Parser* parser = static_cast<Parser*>(stream);
  const std::string& text = *parser->text;
  if (parser->position >= text.size() || size < 3) return nullptr;
  size_t end = text.find('\n', parser->position);
  size_t next = end == std::string::npos ? text.size() : end + 1;
  size_t length = next - parser->position;
  ++parser->line;
  size_t room = static_cast<size_t>(size) - 1;
  if (length > room) {
    if (parser->bad_line == 0) {
      parser->bad_line = parser->line;
      parser->bad_line_fault = "line too long";
    }
    length = room;
  }
  std::memcpy(buffer, text.data() + parser->position, length);
  buffer[length] = '\0';
  if (std::strlen(buffer) != length && parser->bad_line == 0) {
    parser->bad_line = parser->line;
    parser->bad_line_fault = "NUL byte in the line";
  }
  parser->position = next;
  const char* start = buffer;
  while (*start == ' ' || *start == '\t') ++start;
  if (*start == '[') parser->header_line = parser->line;
  return buffer;
}

int Handle(void* user, const char* section, const char* name,
           const char* value) {
  Parser* parser = static_cast<Parser*>(user);
  if (parser->error_line != 0) return 0;
  return parser->Key(section, name, value) ? 1 : 0;
}

Section* Parser::Enter(const std::string& section_text) {
  if (!sections.empty() && sections.back().line == header_line &&
      header_line != 0) {
    return &sections.back();
  }
  std::vector<std::string> words = SplitBlanks(section_text);
  Section section;
  section.line = header_line;
  if (header_line == 0 || words.empty()) {
    Fail("key outside of a section");
    return nullptr;
  }
  section.kind = words[0];
  if (words.size() > 1) section.name = words[1];
  section.label = "[" + section.kind +
                  (section.name.empty() ? "" : " " + section.name) + "]";
  bool named = section.kind == "local_lu" || section.kind == "partner_lu" ||
               section.kind == "side_info" || section.kind == "host";
  bool unnamed = section.kind == "node" || section.kind == "faults";
  if (!named && !unnamed) {
    FailAt(header_line, "unknown section [" + section_text + "]");
    return nullptr;
  }
  if ((unnamed && words.size() != 1) || (named && words.size() != 2)) {
    FailAt(header_line, "bad section name [" + section_text + "]");
    return nullptr;
  }
  const std::string& n = section.name;
  if (section.kind == "local_lu" || section.kind == "partner_lu") {
    if (!ValidShortName(n)) {
      FailAt(header_line, "bad LU alias \"" + n + "\" in " + section.label);
      return nullptr;
    }
  } else if (section.kind == "side_info") {
    if (!ValidShortName(n) || UpperCase(n) != n) {
      FailAt(header_line, "bad symbolic destination \"" + n + "\" in " +
                              section.label + " (1-8 characters, upper-case)");
      return nullptr;
    }
  } else if (section.kind == "host") {
    if (!ValidQualifiedName(n)) {
      FailAt(header_line, "bad partner LU name \"" + n + "\" in " +
                              section.label + " (NETID.LUNAME)");
      return nullptr;
    }
    section.name = UpperCase(n);
  }
  if (!section_names.emplace(section.kind, section.name).second) {
    FailAt(header_line, "duplicate section " + section.label);
    return nullptr;
  }
  sections.push_back(section);
  return &sections.back();
}

bool Parser::Key(const char* section_text, const char* name_text,
                 const char* value_text) {
  Section* section = Enter(section_text);
  if (section == nullptr) return false;
  Entry entry{*section, name_text, value_text};
  if (!section->keys.insert(entry.name).second) {
    Fail("duplicate key \"" + entry.name + "\" in " + section->label);
    return false;
  }
  const std::string& kind = section->kind;
  if (kind == "node") return NodeKey(entry);
  if (kind == "local_lu" || kind == "partner_lu") return LuKey(entry);
  if (kind == "side_info") return SideInfoKey(entry);
  if (kind == "host") return HostKey(entry);
  return FaultKey(entry);
}

bool Parser::Bad(const Entry& entry, const char* expected) {
  Fail("bad value \"" + entry.value + "\" for \"" + entry.name + "\" in " +
       entry.section.label + " (" + expected + ")");
  return false;
}

bool Parser::Unknown(const Entry& entry) {
  Fail("unknown key \"" + entry.name + "\" in " + entry.section.label);
  return false;
}

bool Parser::NodeKey(const Entry& entry) {
  const std::string& value = entry.value;
  if (entry.name == "modes") {
    std::vector<std::string> modes = SplitBlanks(value);
    if (modes.empty()) return Bad(entry, "mode names");
    for (const std::string& mode : modes) {
      if (!ValidShortName(mode)) {
        return Bad(entry, "mode names of 1-8 characters");
      }
      std::string upper = UpperCase(mode);
      if (config->KnowsMode(upper)) return Bad(entry, "a mode given twice");
      config->modes.push_back(upper);
    }
  } else if (entry.name == "default_local_lu") {
    if (!ValidShortName(value)) {
      return Bad(entry, "an LU alias of 1-8 characters");
    }
    config->default_local_lu = value;
    default_local_lu_line = line;
  } else {
    return Unknown(entry);
  }
  return true;
}

bool Parser::LuKey(const Entry& entry) {
  if (entry.name != "name") return Unknown(entry);
  if (!ValidQualifiedName(entry.value)) return Bad(entry, "NETID.LUNAME");
  auto& map = entry.section.kind == "local_lu" ? config->local_lus
                                               : config->partner_lus;
  map[entry.section.name] = UpperCase(entry.value);
  return true;
}

bool Parser::SideInfoKey(const Entry& entry) {
  SideInfo& info = config->side_info[entry.section.name];
  const std::string& name = entry.name;
  const std::string& value = entry.value;
  if (name == "partner_lu") {
    bool qualified = value.find('.') != std::string::npos;
    if (qualified ? !ValidQualifiedName(value) : !ValidShortName(value)) {
      return Bad(entry, "NETID.LUNAME or a partner LU alias");
    }
    info.partner_lu = qualified ? UpperCase(value) : value;
  } else if (name == "mode") {
    if (!ValidShortName(value)) {
      return Bad(entry, "a mode name of 1-8 characters");
    }
    info.mode = UpperCase(value);
  } else if (name == "tp_name") {
    std::string bytes;
    if (value.size() >= 2 && (value[0] == 'x' || value[0] == 'X') &&
        value[1] == '\'') {
      if (!ParseHexValue(value, &bytes)) return Bad(entry, "x'hex digits'");
    } else {
      bytes = value;
      AsciiToEbcdic(reinterpret_cast<const unsigned char*>(value.data()),
                    reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size());
    }
    if (bytes.empty() || bytes.size() > kMaxTpNameBytes) {
      return Bad(entry, "1-64 bytes");
    }
    info.tp_name = bytes;
  } else if (name == "security") {
    if (value == "none") {
      info.security = Security::kNone;
    } else if (value == "same") {
      info.security = Security::kSame;
    } else if (value == "program") {
      info.security = Security::kProgram;
    } else {
      return Bad(entry, "none, same or program");
    }
  } else {
    return Unknown(entry);
  }
  return true;
}

bool Parser::HostKey(const Entry& entry) {
  HostConfig& host = config->hosts[entry.section.name];
  const std::string& name = entry.name;
  const std::string& value = entry.value;
  if (name == "users") {
    if (value.empty()) return Bad(entry, "a file name");
    host.users = value[0] == '/' ? value : folder + "/" + value;
  } else if (name == "mixed_case_passwords") {
    if (!ParseYesNo(value, &host.mixed_case_passwords)) {
      return Bad(entry, "yes or no");
    }
  } else if (name == "persistent_signon") {
    if (!ParseYesNo(value, &host.persistent_signon)) {
      return Bad(entry, "yes or no");
    }
  } else if (name == "password_history") {
    if (!ParseInt(value, kMaxPasswordHistory, &host.password_history)) {
      return Bad(entry, "0-64");
    }
  } else if (name == "min_password_length") {
    if (!ParseInt(value, kMaxMinPasswordLength, &host.min_password_length)) {
      return Bad(entry, "0-8");
    }
  } else if (name == "revoke_after") {
    if (!ParseInt(value, kMaxRevokeAfter, &host.revoke_after)) {
      return Bad(entry, "0-255");
    }
  } else if (name == "answer_delay_ms") {
    if (!ParseInt(value, kMaxAnswerDelayMs, &host.answer_delay_ms)) {
      return Bad(entry, "0-600000");
    }
  } else {
    return Unknown(entry);
  }
  return true;
}

bool Parser::FaultKey(const Entry& entry) {
  const std::string& name = entry.name;
  if (name == "reply") {
    if (!ParseHexValue(entry.value, &config->reply_fault) ||
        config->reply_fault.size() > kMaxReplyFaultBytes) {
      return Bad(entry, "x'hex digits', at most 256 bytes");
    }
    config->has_reply_fault = true;
    return true;
  }
  bool cpic = false;
  for (const char* call : kCpicCalls) cpic = cpic || name == call;
  bool verb = false;
  for (const char* call : kVerbs) verb = verb || name == call;
  if (!cpic && !verb) return Unknown(entry);
  std::vector<std::string> words = SplitBlanks(entry.value);
  Fault fault;
  if (cpic) {
    if (words.size() != 1 ||
        !ParseNumber(words[0], kMaxCpicReturnCode, &fault.primary)) {
      return Bad(entry, "one return code");
    }
  } else if (words.empty() || words.size() > 2 ||
             !ParseNumber(words[0], kMaxPrimaryCode, &fault.primary) ||
             (words.size() == 2 &&
              !ParseNumber(words[1], kMaxSecondaryCode, &fault.secondary))) {
    return Bad(entry, "a primary and a secondary return code");
  }
  config->faults[name] = fault;
  return true;
}

// Every section's required keys, in the order the messages name them.
bool CheckRequiredKeys(Parser* parser) {
  bool have_node = false;
  for (const Section& section : parser->sections) {
    const char* required[3] = {nullptr, nullptr, nullptr};
    if (section.kind == "node") {
      have_node = true;
      required[0] = "modes";
    } else if (section.kind == "local_lu" || section.kind == "partner_lu") {
      required[0] = "name";
    } else if (section.kind == "side_info") {
      required[0] = "partner_lu";
      required[1] = "mode";
      required[2] = "tp_name";
    } else if (section.kind == "host") {
      required[0] = "users";
    }
    for (const char* key : required) {
      if (key != nullptr && section.keys.count(key) == 0) {
        parser->error_line = section.line;
        parser->error =
            std::string("missing key \"") + key + "\" in " + section.label;
        return false;
      }
    }
  }
  if (!have_node) {
    parser->error_line = parser->line;
    parser->error = "missing section [node]";
    return false;
  }
  const std::string& lu = parser->config->default_local_lu;
  if (!lu.empty() && parser->config->local_lus.count(lu) == 0) {
    parser->error_line = parser->default_local_lu_line;
    parser->error = "default_local_lu \"" + lu + "\" names no [local_lu]";
    return false;
  }
  return true;
}

}  // namespace

const Fault* NodeConfig::FindFault(const char* call) const {
  if (faults.empty()) return nullptr;  // the usual case: no string is made
  auto found = faults.find(call);
  return found == faults.end() ? nullptr : &found->second;
}

bool NodeConfig::KnowsMode(const std::string& mode) const {
  std::string upper = UpperCase(mode);
  for (const std::string& known : modes) {
    if (known == upper) return true;
  }
  return false;
}

std::string UpperCase(const std::string& text) {
  std::string result = text;
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

bool ParseHexValue(const std::string& value, std::string* bytes) {
  bytes->clear();
  if (value.size() < 3 || (value[0] != 'x' && value[0] != 'X') ||
      value[1] != '\'' || value.back() != '\'') {
    return false;
  }
  int high = -1;
  for (size_t i = 2; i + 1 < value.size(); ++i) {
    char c = value[i];
    if (c == ' ') continue;
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes->push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  return high < 0;
}

bool ParseNodeConfig(const std::string& text, const std::string& file,
                     const std::string& folder, NodeConfig* config,
                     std::string* error) {
  *config = NodeConfig();
  Parser parser;
  parser.text = &text;
  parser.file = file;
  parser.folder = folder;
  parser.config = config;
  int syntax_line = 0;
  {
    // The library's settings are process-wide variables: set and used
    // under one lock, so that parses in several threads never race on
    // them.
    static std::mutex* library = new std::mutex();
    std::lock_guard<std::mutex> hold(*library);
    // Indented lines are ordinary lines here, never continuations.
    ini_allow_multiline = false;
    // Lines up to kMaxConfigLine bytes, room for a 256-byte reply fault.
    ini_use_stack = false;
    ini_allow_realloc = false;
    ini_initial_alloc = kMaxConfigLine;
    ini_max_line = kMaxConfigLine;
    syntax_line = ini_parse_stream(Read, &parser, Handle, &parser);
  }
  if (syntax_line < 0) {  // the library's line buffer could not be had
    *error = file + ": out of memory";
    return false;
  }
  // Take the first fault by line: a bad line seen by the reader, a fault of
  // a key, or a line the library could not parse.
  int line = 0;
  std::string fault;
  auto consider = [&](int at, const std::string& what) {
    if (at > 0 && (line == 0 || at < line)) {
      line = at;
      fault = what;
    }
  };
  consider(parser.bad_line, parser.bad_line_fault ? parser.bad_line_fault : "");
  consider(parser.error_line, parser.error);
  if (syntax_line > 0 && syntax_line != parser.error_line) {
    consider(syntax_line, "syntax error");
  }
  if (line == 0 && !CheckRequiredKeys(&parser)) {
    line = parser.error_line;
    fault = parser.error;
  }
  if (line == 0 && fault.empty()) return true;
  *error = file + ":" + std::to_string(line) + ": " + fault;
  return false;
}

namespace {

constexpr size_t kMaxConfigBytes = 1024 * 1024;

// Reads the file at "path" whole into "*text", with its status before the
// read in "*status"; on failure returns false with "*error" set.
bool ReadConfigFile(const char* path, std::string* text, struct stat* status,
                    std::string* error) {
  int fd = OpenRegularFile(path, status, error);
  if (fd < 0) return false;
  ReadToEndResult result = ReadToEnd(fd, kMaxConfigBytes, text);
  close(fd);
  if (result == ReadToEndResult::kTooLarge) {
    *error = std::string(path) + ": larger than 1 MiB";
  } else if (result == ReadToEndResult::kFailed) {
    *error = std::string(path) + ": cannot read";
  }
  return result == ReadToEndResult::kOk;
}

// The last configuration parsed successfully, with the path and the bytes
// it was parsed from, and the stamp of the file they were read from. The
// node looks at its configuration at every WinCPICStartup so that a running
// program sees edits: a settled stamp that the file still shows means the
// same bytes; otherwise the file is read, and the bytes decide.
struct ParsedConfig {
  std::mutex mutex;
  std::string path;
  std::string text;
  FileStamp stamp;
  std::shared_ptr<const NodeConfig> config;  // null: none yet
};

ParsedConfig& LastParse() {
  static ParsedConfig* last = new ParsedConfig();  // lives as long as the
  return *last;                                    // process
}

std::atomic<uint64_t> parse_count{0};

}  // namespace

std::shared_ptr<const NodeConfig> LoadSharedNodeConfig(std::string* error) {
  const char* path = std::getenv("TARPON_SNA_NODE");
  if (path == nullptr || *path == '\0') {
    *error = "TARPON_SNA_NODE is not set";
    return nullptr;
  }
  ParsedConfig& last = LastParse();
  struct stat status;
  if (stat(path, &status) == 0) {
    std::lock_guard<std::mutex> hold(last.mutex);
    if (last.config != nullptr && last.path == path &&
        SameVersion(last.stamp, status)) {
      return last.config;
    }
  }
  // Kept from call to call so that reading allocates nothing once the
  // buffer has grown to the file's size.
  thread_local std::string text;
  const struct timespec taken = StampClock();
  if (!ReadConfigFile(path, &text, &status, error)) return nullptr;
  {
    std::lock_guard<std::mutex> hold(last.mutex);
    if (last.config != nullptr && last.path == path && last.text == text) {
      last.stamp = StampOf(status, taken);
      return last.config;
    }
  }
  ++parse_count;
  std::string folder = path;
  size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : folder.substr(0, slash);
  if (folder.empty()) folder = "/";
  std::shared_ptr<NodeConfig> config = std::make_shared<NodeConfig>();
  if (!ParseNodeConfig(text, path, folder, config.get(), error)) {
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(last.mutex);
  last.path = path;
  last.text.swap(text);
  last.stamp = StampOf(status, taken);
  last.config = config;
  return config;
}

bool LoadNodeConfig(NodeConfig* config, std::string* error) {
  std::shared_ptr<const NodeConfig> shared = LoadSharedNodeConfig(error);
  if (shared == nullptr) return false;
  *config = *shared;
  return true;
}

uint64_t NodeConfigParseCount() { return parse_count.load(); }

}  // namespace sna
