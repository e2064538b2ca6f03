#include "web/web_settings.h"

#include <algorithm>
#include <sstream>

#include "comm/gateway_protocol.h"
#include "comm/listen_address.h"

namespace {

bool ParseDestinations(const std::string& text, WebSettings* settings) {
  settings->destinations.clear();
  std::stringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    size_t equals = item.find('=');
    std::string name = item.substr(0, equals);
    if (name.empty() || name.size() > 17) return false;
    for (char c : name) {
      bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                (c >= '0' && c <= '9') || c == '.' || c == '@' || c == '#' ||
                c == '$';
      if (!ok) return false;
    }
    std::string label =
        equals == std::string::npos ? name : item.substr(equals + 1);
    settings->destinations.emplace_back(name, label.empty() ? name : label);
  }
  return !settings->destinations.empty();
}

// "HOST", "HOST:SERVICE", "[IPv6]" or "[IPv6]:SERVICE", the service a
// name or a port number; a bare IPv6 address has more than one colon and
// no service.
void ParseGateway(const std::string& text, WebSettings* settings) {
  size_t colon = text.rfind(':');
  bool bracketed = !text.empty() && text[0] == '[';
  if (bracketed) {
    size_t close = text.find(']');
    settings->gatewayHost = text.substr(1, close - 1);
    if (close != std::string::npos && close + 1 < text.size()) {
      settings->gatewayService = text.substr(close + 2);
    }
  } else if (colon != std::string::npos && text.find(':') == colon) {
    settings->gatewayHost = text.substr(0, colon);
    settings->gatewayService = text.substr(colon + 1);
  } else {
    settings->gatewayHost = text;
  }
}

// "NAME=RULES": the rules of one destination; a later one for the same
// name replaces it.
bool ParseRules(const std::string& text, WebSettings* settings,
                std::string* error) {
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    *error = "-rules needs NAME=RULES: " + text;
    return false;
  }
  std::string name = text.substr(0, equals);
  PasswordRules rules;
  if (!ParsePasswordRules(text.substr(equals + 1), &rules, error)) {
    *error = "-rules for " + name + ": " + *error;
    return false;
  }
  settings->rules[name] = rules;
  return true;
}

// "NAME:LANG=TEXT": a destination's note in one language.
bool ParseRulesNote(const std::string& text, WebSettings* settings,
                    std::string* error) {
  size_t colon = text.find(':');
  size_t equals = text.find('=');
  std::string language =
      colon < equals ? text.substr(colon + 1, equals - colon - 1) : "";
  bool tag = !language.empty() && language.size() <= 8 &&
             language.find_first_not_of("abcdefghijklmnopqrstuvwxyz") ==
                 std::string::npos;
  if (colon == 0 || equals == std::string::npos || !tag) {
    *error = "-rules-note needs NAME:LANG=TEXT, LANG in small letters: " + text;
    return false;
  }
  settings->ruleNotes[text.substr(0, colon)][language] =
      text.substr(equals + 1);
  return true;
}

// An address people are sent to: https://, http:// or one of this site's
// own paths; nothing a browser would run.
bool ParseLink(const std::string& value, std::string* to) {
  *to = value;
  bool ok = value.rfind("https://", 0) == 0 || value.rfind("http://", 0) == 0 ||
            value.rfind("mailto:", 0) == 0 || value.rfind("tel:", 0) == 0 ||
            (value.size() > 1 && value[0] == '/' && value[1] != '/');
  for (char c : value) {
    ok = ok && static_cast<unsigned char>(c) > 0x20 && c != 0x7F && c != '"' &&
         c != '<' && c != '>';
  }
  return ok;
}

bool ParseText(const std::string& value, size_t most, std::string* to) {
  *to = value;
  for (char c : value) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return !value.empty() && value.size() <= most;
}

bool ParseCount(const std::string& text, int most, int* value) {
  if (text.empty() || text.size() > 6 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *value = std::stoi(text);
  return *value >= 1 && *value <= most;
}

bool ParseListen(const std::string& value, std::string* to) {
  ListenAddress address;
  *to = value;
  return ParseListenAddress(value, &address);
}

// An option with a value: what it sets; false for a bad value (with
// *error set when the option says more than "bad value").
struct WebOption {
  const char* name;
  bool (*apply)(const std::string& value, WebSettings* settings,
                std::string* error);
};

const WebOption kWebOptions[] = {
    {"-listen",
     [](const std::string& v, WebSettings* s, std::string*) {
       s->listen.emplace_back();
       return ParseListen(v, &s->listen.back());
     }},
    {"-http", [](const std::string& v, WebSettings* s,
                 std::string*) { return ParseListen(v, &s->redirectListen); }},
    {"-cert",
     [](const std::string& v, WebSettings* s, std::string*) {
       s->certificate = v;
       return true;
     }},
    {"-key",
     [](const std::string& v, WebSettings* s, std::string*) {
       s->key = v;
       return true;
     }},
    {"-gateway",
     [](const std::string& v, WebSettings* s, std::string*) {
       ParseGateway(v, s);
       return !s->gatewayHost.empty();
     }},
    {"-destinations", [](const std::string& v, WebSettings* s,
                         std::string*) { return ParseDestinations(v, s); }},
    {"-rules", ParseRules},
    {"-lang",
     [](const std::string& v, WebSettings* s, std::string*) {
       s->language = v;
       return true;
     }},
    {"-assets",
     [](const std::string& v, WebSettings* s, std::string*) {
       s->assets = v;
       return true;
     }},
    {"-proxy-header",
     [](const std::string& v, WebSettings* s, std::string*) {
       s->proxyHeader = v == "on";
       return v == "on" || v == "off";
     }},
    {"-device-key",
     [](const std::string& v, WebSettings* s, std::string*) {
       s->deviceKey = v;
       return !v.empty();
     }},
    {"-device-days",
     [](const std::string& v, WebSettings* s, std::string*) {
       return ParseCount(v, 3650, &s->deviceDays);
     }},
    {"-timeout",
     [](const std::string& v, WebSettings* s, std::string*) {
       return ParseCount(v, GATEWAY_MAX_TIMEOUT, &s->timeoutSeconds);
     }},
    {"-max-connections",
     [](const std::string& v, WebSettings* s, std::string*) {
       return ParseCount(v, 100000, &s->limits.maxConnections);
     }},
    {"-per-source",
     [](const std::string& v, WebSettings* s, std::string*) {
       return ParseCount(v, 100000, &s->limits.perSource);
     }},
    {"-proxy-from",
     [](const std::string& v, WebSettings* s, std::string*) {
       std::string why;
       return s->proxyFrom.Parse(v, &why);
     }},
    {"-metrics",
     [](const std::string& v, WebSettings* s, std::string*) {
       return ParseListen(v, &s->metricsListen);
     }},
    {"-rules-note", ParseRulesNote},
    {"-sign-on-url", [](const std::string& v, WebSettings* s,
                        std::string*) { return ParseLink(v, &s->signOnUrl); }},
    {"-help-desk",
     [](const std::string& v, WebSettings* s, std::string*) {
       return ParseText(v, 200, &s->helpDesk);
     }},
    {"-help-desk-url",
     [](const std::string& v, WebSettings* s, std::string*) {
       return ParseLink(v, &s->helpDeskUrl);
     }},
    {"-organisation",
     [](const std::string& v, WebSettings* s, std::string*) {
       return ParseText(v, 100, &s->organisation);
     }},
    {"-logo",
     [](const std::string& v, WebSettings* s, std::string*) {
       s->logo = v;
       size_t dot = v.rfind('.');
       std::string type = dot == std::string::npos ? "" : v.substr(dot);
       return type == ".svg" || type == ".png";
     }},
    {"-log-format",
     [](const std::string& v, WebSettings* s, std::string*) {
       return ParseLogFormat(v, &s->logFormat);
     }},
};

// The settings every start needs, and rules only for destinations
// offered; the gateway's default service when none was named.
bool CheckWebSettings(WebSettings* settings, std::string* error) {
  const char* missing = settings->listen.empty()         ? "-listen"
                        : settings->certificate.empty()  ? "-cert"
                        : settings->key.empty()          ? "-key"
                        : settings->destinations.empty() ? "-destinations"
                                                         : nullptr;
  if (missing != nullptr) {
    *error = std::string(missing) + " is required";
    return false;
  }
  auto offered = [settings](const std::string& destination) {
    for (const auto& [name, label] : settings->destinations) {
      if (name == destination) return true;
    }
    return false;
  };
  for (const auto& [destination, rules] : settings->rules) {
    if (!offered(destination)) {
      *error = "-rules names " + destination + ", which -destinations lacks";
      return false;
    }
  }
  for (const auto& [destination, notes] : settings->ruleNotes) {
    if (!offered(destination)) {
      *error =
          "-rules-note names " + destination + ", which -destinations lacks";
      return false;
    }
  }
  if (settings->gatewayService.empty()) {
    settings->gatewayService = GATEWAY_DEFAULT_SERVICE;
  }
  return true;
}

}  // namespace

bool ParseWebArguments(const std::vector<std::string>& args,
                       WebSettings* settings, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "-check") {
      settings->check = true;
      continue;
    }
    const WebOption* option = nullptr;
    for (const WebOption& known : kWebOptions) {
      if (name == known.name) option = &known;
    }
    if (i + 1 >= args.size()) {
      *error = name + " needs a value (or is unknown)";
      return false;
    }
    if (option == nullptr) {
      *error = "unknown option " + name;
      return false;
    }
    const std::string& value = args[++i];
    error->clear();
    if (!option->apply(value, settings, error)) {
      if (error->empty()) *error = "bad value for " + name + ": " + value;
      return false;
    }
  }
  return CheckWebSettings(settings, error);
}

const PasswordRules& WebSettings::RulesFor(
    const std::string& destination) const {
  static const PasswordRules hostField = PasswordRules::HostField();
  auto found = rules.find(destination);
  return found == rules.end() ? hostField : found->second;
}

std::string FitWebLimits(uint64_t descriptors, WebLimits* limits) {
  constexpr uint64_t kReserved = 32;
  uint64_t spare = descriptors > kReserved + 2 ? descriptors - kReserved : 2;
  uint64_t most = spare / 2;
  if (static_cast<uint64_t>(limits->maxConnections) <= most) return "";
  limits->maxConnections = static_cast<int>(most);
  if (limits->perSource > limits->maxConnections / 4) {
    limits->perSource = std::max(1, limits->maxConnections / 4);
  }
  return "at most " + std::to_string(limits->maxConnections) +
         " connections, " + std::to_string(limits->perSource) +
         " from one source, within the limit of " +
         std::to_string(descriptors) + " descriptors";
}

// Words separated by blanks; a part in single or double quotes keeps its
// blanks ("-destinations 'hosta=Host A'").
std::vector<std::string> WebArguments(const char* environment, int argc,
                                      char** argv) {
  std::vector<std::string> args;
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (const char* p = environment != nullptr ? environment : ""; *p; ++p) {
    char c = *p;
    if (quote != 0 && c == quote) {
      quote = 0;
    } else if (quote == 0 && (c == '\'' || c == '"')) {
      quote = c;
      inWord = true;
    } else if (quote == 0 && (c == ' ' || c == '\t' || c == '\n')) {
      if (inWord) args.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) args.push_back(word);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  return args;
}
