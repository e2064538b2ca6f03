#include "web/password_rules.h"

#include <cctype>

namespace {

const char kUpper[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
const char kLower[] = "abcdefghijklmnopqrstuvwxyz";
const char kDigits[] = "0123456789";
const char kBeyond[] = "beyond the host's letters, digits and @ # $";

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

bool ParseClass(const std::string& word, CharacterClass* out,
                std::string* error) {
  std::string name = Lower(word);
  if (name == "upper" || name == "lower" || name == "digit") {
    *out = {name, name == "upper"   ? kUpper
                  : name == "lower" ? kLower
                                    : kDigits};
    return true;
  }
  if (name == "special" || name == "ascii-printable" || name == "unicode") {
    *error = "class " + word + " is " + kBeyond + ": name them, as [@#$]";
    return false;
  }
  if (word.size() < 3 || word.front() != '[' || word.back() != ']') {
    *error = "unknown class \"" + word + "\"";
    return false;
  }
  std::string characters;
  for (char c : word.substr(1, word.size() - 2)) {
    if (!IsHostCharacter(c)) {
      *error = "class " + word + " is " + kBeyond;
      return false;
    }
    if (characters.find(c) == std::string::npos) characters += c;
  }
  *out = {"[" + characters + "]", characters};
  return true;
}

bool ParseClasses(const std::string& value, std::vector<CharacterClass>* out,
                  std::string* error) {
  size_t at = 0;
  while (at <= value.size()) {
    size_t comma = value.find(',', at);
    if (comma == std::string::npos) comma = value.size();
    CharacterClass one;
    if (!ParseClass(Trim(value.substr(at, comma - at)), &one, error)) {
      return false;
    }
    out->push_back(one);
    at = comma + 1;
  }
  return true;
}

bool ParseLength(const std::string& name, const std::string& value, size_t* out,
                 std::string* error) {
  if (value.empty() || value.size() > 3 ||
      value.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(value) < 1 || std::stoul(value) > kHostFieldLength) {
    *error = name + " " + value + " is outside the host's 1 to " +
             std::to_string(kHostFieldLength) + " characters";
    return false;
  }
  *out = std::stoul(value);
  return true;
}

std::string Tokens(const std::vector<CharacterClass>& classes) {
  std::string text;
  for (const CharacterClass& one : classes) {
    text += (text.empty() ? "" : ", ") + one.token;
  }
  return text;
}

}  // namespace

PasswordRules PasswordRules::HostField() {
  PasswordRules rules;
  rules.allowed = {{"upper", kUpper},
                   {"lower", kLower},
                   {"digit", kDigits},
                   {"[@#$]", "@#$"}};
  return rules;
}

std::string PasswordRules::AllowedCharacters() const {
  std::string all;
  auto add = [&all](const CharacterClass& one) {
    for (char c : one.characters) {
      if (all.find(c) == std::string::npos) all += c;
    }
  };
  for (const CharacterClass& one : allowed) add(one);
  for (const auto& entry : required) {
    for (const CharacterClass& one : entry) add(one);
  }
  return all;
}

std::string PasswordRules::Text() const {
  std::string text = "minlength: " + std::to_string(minLength) +
                     "; maxlength: " + std::to_string(maxLength) + ";";
  for (const auto& entry : required)
    text += " required: " + Tokens(entry) + ";";
  if (!allowed.empty()) text += " allowed: " + Tokens(allowed) + ";";
  return text;
}

RuleFailure CheckAgainstRules(const PasswordRules& rules,
                              const std::string& typed, size_t* missingEntry) {
  std::string value = typed;
  if (rules.ignoresCase) {
    for (char& c : value) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  if (value.empty()) return RuleFailure::kMissing;
  if (value.size() > rules.maxLength) return RuleFailure::kTooLong;
  std::string allowed = rules.AllowedCharacters();
  for (char c : value) {
    // A NUL would end the value early on its way to the host.
    if (c == '\0' || allowed.find(c) == std::string::npos) {
      return RuleFailure::kBadCharacter;
    }
  }
  if (value.size() < rules.minLength) return RuleFailure::kTooShort;
  for (size_t index = 0; index < rules.required.size(); ++index) {
    const auto& entry = rules.required[index];
    bool found = false;
    for (const CharacterClass& one : entry) {
      found = found || value.find_first_of(one.characters) != std::string::npos;
    }
    if (found) continue;
    if (missingEntry != nullptr) *missingEntry = index;
    bool digits = entry.size() == 1 && entry.front().token == "digit";
    return digits ? RuleFailure::kMissingDigit : RuleFailure::kMissingClass;
  }
  return RuleFailure::kNone;
}

namespace {

// Whether the properties, each valid alone, can all be met at once.
bool RulesAgree(const PasswordRules& rules, std::string* error) {
  if (rules.minLength > rules.maxLength) {
    *error = "minlength " + std::to_string(rules.minLength) +
             " is above maxlength " + std::to_string(rules.maxLength);
    return false;
  }
  for (const auto& entry : rules.required) {
    if (rules.ignoresCase && entry.size() == 1 &&
        entry.front().token == "lower") {
      *error = "required: lower cannot be met when the case is ignored";
      return false;
    }
  }
  if (rules.required.size() > rules.maxLength) {
    *error = std::to_string(rules.required.size()) +
             " required classes do not fit in maxlength " +
             std::to_string(rules.maxLength);
    return false;
  }
  return true;
}

}  // namespace

bool ParsePasswordRules(const std::string& text, PasswordRules* rules,
                        std::string* error) {
  *rules = PasswordRules::HostField();
  bool allowedGiven = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(';', at);
    if (end == std::string::npos) end = text.size();
    std::string property = Trim(text.substr(at, end - at));
    size_t colon = property.find(':');
    std::string name = Lower(Trim(property.substr(0, colon)));
    std::string value =
        colon == std::string::npos ? "" : Trim(property.substr(colon + 1));
    if (name == "note" && colon != std::string::npos) {
      // The rest of the text, semicolons and all.
      rules->note = Trim(text.substr(text.find(':', at) + 1));
      break;
    }
    at = end + 1;
    if (property.empty()) continue;
    bool ok = colon != std::string::npos;
    if (!ok) {
      *error = "\"" + property + "\" is no \"name: value\"";
    } else if (name == "minlength") {
      ok = ParseLength(name, value, &rules->minLength, error);
    } else if (name == "maxlength") {
      ok = ParseLength(name, value, &rules->maxLength, error);
    } else if (name == "allowed") {
      if (!allowedGiven) rules->allowed.clear();
      allowedGiven = true;
      ok = ParseClasses(value, &rules->allowed, error);
    } else if (name == "case") {
      rules->ignoresCase = Lower(value) == "ignored";
      ok = rules->ignoresCase || Lower(value) == "kept";
      if (!ok) *error = "case is \"ignored\" or \"kept\", not " + value;
    } else if (name == "required") {
      rules->required.emplace_back();
      ok = ParseClasses(value, &rules->required.back(), error);
    } else {
      *error = "unknown property \"" + name + "\"";
      ok = false;
    }
    if (!ok) return false;
  }
  return RulesAgree(*rules, error);
}
