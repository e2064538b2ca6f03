#include "sna/node_config.h"

#include <fcntl.h>
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

namespace sna {

namespace {

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
  if (name.empty() || name.size() > 8) return false;
  for (char c : name) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

// NETID.LUNAME, each part 1 to 8 letters, digits, @, # or $.
bool ValidQualifiedName(const std::string& name) {
  size_t period = name.find('.');
  if (period == std::string::npos || period == 0 || period > 8) return false;
  std::string lu = name.substr(period + 1);
  if (lu.empty() || lu.size() > 8) return false;
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
  for (const Section& earlier : sections) {
    if (earlier.kind == section.kind && earlier.name == section.name) {
      FailAt(header_line, "duplicate section " + section.label);
      return nullptr;
    }
  }
  sections.push_back(section);
  return &sections.back();
}

bool Parser::Key(const char* section_text, const char* name_text,
                 const char* value_text) {
  Section* section = Enter(section_text);
  if (section == nullptr) return false;
  const std::string name = name_text;
  const std::string value = value_text;
  const std::string& label = section->label;
  if (!section->keys.insert(name).second) {
    Fail("duplicate key \"" + name + "\" in " + label);
    return false;
  }
  auto bad = [&](const char* expected) {
    Fail("bad value \"" + value + "\" for \"" + name + "\" in " + label + " (" +
         expected + ")");
    return false;
  };
  auto unknown = [&]() {
    Fail("unknown key \"" + name + "\" in " + label);
    return false;
  };
  const std::string& kind = section->kind;
  if (kind == "node") {
    if (name == "modes") {
      std::vector<std::string> modes = SplitBlanks(value);
      if (modes.empty()) return bad("mode names");
      for (const std::string& mode : modes) {
        if (!ValidShortName(mode)) return bad("mode names of 1-8 characters");
        std::string upper = UpperCase(mode);
        if (config->KnowsMode(upper)) return bad("a mode given twice");
        config->modes.push_back(upper);
      }
    } else if (name == "default_local_lu") {
      if (!ValidShortName(value)) return bad("an LU alias of 1-8 characters");
      config->default_local_lu = value;
      default_local_lu_line = line;
    } else {
      return unknown();
    }
  } else if (kind == "local_lu" || kind == "partner_lu") {
    if (name != "name") return unknown();
    if (!ValidQualifiedName(value)) return bad("NETID.LUNAME");
    auto& map = kind == "local_lu" ? config->local_lus : config->partner_lus;
    map[section->name] = UpperCase(value);
  } else if (kind == "side_info") {
    SideInfo& info = config->side_info[section->name];
    if (name == "partner_lu") {
      bool qualified = value.find('.') != std::string::npos;
      if (qualified ? !ValidQualifiedName(value) : !ValidShortName(value)) {
        return bad("NETID.LUNAME or a partner LU alias");
      }
      info.partner_lu = qualified ? UpperCase(value) : value;
    } else if (name == "mode") {
      if (!ValidShortName(value)) return bad("a mode name of 1-8 characters");
      info.mode = UpperCase(value);
    } else if (name == "tp_name") {
      std::string bytes;
      if (value.size() >= 2 && (value[0] == 'x' || value[0] == 'X') &&
          value[1] == '\'') {
        if (!ParseHexValue(value, &bytes)) return bad("x'hex digits'");
      } else {
        bytes = value;
        AsciiToEbcdic(reinterpret_cast<const unsigned char*>(value.data()),
                      reinterpret_cast<unsigned char*>(&bytes[0]),
                      bytes.size());
      }
      if (bytes.empty() || bytes.size() > 64) return bad("1-64 bytes");
      info.tp_name = bytes;
    } else if (name == "security") {
      if (value == "none") {
        info.security = Security::kNone;
      } else if (value == "same") {
        info.security = Security::kSame;
      } else if (value == "program") {
        info.security = Security::kProgram;
      } else {
        return bad("none, same or program");
      }
    } else {
      return unknown();
    }
  } else if (kind == "host") {
    HostConfig& host = config->hosts[section->name];
    if (name == "users") {
      if (value.empty()) return bad("a file name");
      host.users = value[0] == '/' ? value : folder + "/" + value;
    } else if (name == "mixed_case_passwords") {
      if (!ParseYesNo(value, &host.mixed_case_passwords)) {
        return bad("yes or no");
      }
    } else if (name == "persistent_signon") {
      if (!ParseYesNo(value, &host.persistent_signon)) return bad("yes or no");
    } else if (name == "password_history") {
      if (!ParseInt(value, 64, &host.password_history)) return bad("0-64");
    } else if (name == "min_password_length") {
      if (!ParseInt(value, 8, &host.min_password_length)) return bad("0-8");
    } else if (name == "revoke_after") {
      if (!ParseInt(value, 255, &host.revoke_after)) return bad("0-255");
    } else {
      return unknown();
    }
  } else {  // faults
    if (name == "reply") {
      if (!ParseHexValue(value, &config->reply_fault) ||
          config->reply_fault.size() > 256) {
        return bad("x'hex digits', at most 256 bytes");
      }
      config->has_reply_fault = true;
      return true;
    }
    bool cpic = false;
    for (const char* call : kCpicCalls) cpic = cpic || name == call;
    bool verb = false;
    for (const char* call : kVerbs) verb = verb || name == call;
    if (!cpic && !verb) return unknown();
    std::vector<std::string> words = SplitBlanks(value);
    Fault fault;
    if (cpic) {
      if (words.size() != 1 ||
          !ParseNumber(words[0], 0x7FFFFFFF, &fault.primary)) {
        return bad("one return code");
      }
    } else if (words.empty() || words.size() > 2 ||
               !ParseNumber(words[0], 0xFFFF, &fault.primary) ||
               (words.size() == 2 &&
                !ParseNumber(words[1], 0xFFFFFFFF, &fault.secondary))) {
      return bad("a primary and a secondary return code");
    }
    config->faults[name] = fault;
  }
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
  // Indented lines are ordinary lines here, never continuations.
  ini_allow_multiline = false;
  int syntax_line = ini_parse_stream(Read, &parser, Handle, &parser);
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

// Reads the file at "path" whole into "*text"; on failure returns false
// with "*error" set.
bool ReadConfigFile(const char* path, std::string* text, std::string* error) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::string(path) + ": cannot open: " + std::strerror(errno);
    return false;
  }
  text->clear();
  char buffer[4096];
  bool failed = false;
  while (true) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      failed = true;
      break;
    }
    if (got == 0) break;
    text->append(buffer, static_cast<size_t>(got));
    if (text->size() > kMaxConfigBytes) {
      *error = std::string(path) + ": larger than 1 MiB";
      close(fd);
      return false;
    }
  }
  close(fd);
  if (failed) {
    *error = std::string(path) + ": cannot read";
    return false;
  }
  return true;
}

// The last configuration parsed successfully, with the path and the bytes
// it was parsed from. The node reads its configuration at every
// WinCPICStartup so that a running program sees edits; only the bytes tell
// whether the file changed (time stamps are too coarse for that).
struct ParsedConfig {
  std::mutex mutex;
  std::string path;
  std::string text;
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
  // Kept from call to call so that reading allocates nothing once the
  // buffer has grown to the file's size.
  thread_local std::string text;
  if (!ReadConfigFile(path, &text, error)) return nullptr;
  ParsedConfig& last = LastParse();
  {
    std::lock_guard<std::mutex> hold(last.mutex);
    if (last.config != nullptr && last.path == path && last.text == text) {
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
