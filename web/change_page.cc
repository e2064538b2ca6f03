#include "web/change_page.h"

#include <openssl/rand.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "web/host_table.h"
#include "web/page_template.h"

namespace {

bool ReadFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

// The keys of the page's own texts, passed to the template as they are.
const char* const kPageKeys[] = {
    "title",
    "intro",
    "rulesTitle",
    "labelUser",
    "labelCurrent",
    "labelNew",
    "labelConfirm",
    "submit",
    "problemTooLong",
    "problemCharacters",
    "problemMismatch",
    "problemNoUser",
    "problemNoCurrent",
    "problemNoNew",
    "problemTooShort",
    "problemMissingClass",
    "problemMissingDigit",
    "showPassword",
    "hidePassword",
    "busy",
    "problemNoHost",
};

// text with each "{name}" of values replaced by its value.
std::string Fill(
    std::string text,
    const std::vector<std::pair<const char*, std::string>>& values) {
  for (const auto& [name, value] : values) {
    std::string mark = std::string("{") + name + "}";
    for (size_t at = text.find(mark); at != std::string::npos;
         at = text.find(mark, at + value.size())) {
      text.replace(at, mark.size(), value);
    }
  }
  return text;
}

// The classes as a person reads them: "capital letters A to Z, @ # $".
std::string DescribeClasses(const Texts& texts,
                            const std::vector<CharacterClass>& classes) {
  std::string text;
  for (const CharacterClass& one : classes) {
    std::string part;
    if (one.token == "upper") {
      part = Text(texts, "classUpper");
    } else if (one.token == "lower") {
      part = Text(texts, "classLower");
    } else if (one.token == "digit") {
      part = Text(texts, "classDigit");
    } else {
      for (char c : one.characters) {
        part += (part.empty() ? "" : " ") + std::string(1, c);
      }
    }
    text += (text.empty() ? "" : ", ") + part;
  }
  return text;
}

nlohmann::json RulesJson(const PasswordRules& rules) {
  nlohmann::json required = nlohmann::json::array();
  for (const auto& entry : rules.required) {
    std::string characters;
    for (const CharacterClass& one : entry) characters += one.characters;
    required.push_back(characters);
  }
  return {{"minLength", rules.minLength},
          {"maxLength", rules.maxLength},
          {"allowedCharacters", rules.AllowedCharacters()},
          {"requiredCharacters", required},
          {"passwordRules", rules.Text()},
          {"note", rules.note}};
}

}  // namespace

bool ChangePage::Load(const std::string& assets, const WebSettings& settings,
                      std::string* error) {
  hosts_.clear();
  nlohmann::json destinations = nlohmann::json::array();
  for (const auto& [name, label] : settings.destinations) {
    hosts_.push_back({name, label, settings.RulesFor(name)});
    destinations.push_back({{"name", name},
                            {"label", label},
                            {"default", hosts_.size() == 1},
                            {"rules", RulesJson(hosts_.back().rules)}});
  }
  nlohmann::json all = {
      {"hostField", RulesJson(PasswordRules::HostField())},
      {"destinations", destinations},
  };
  destinationsJson_ =
      all.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  // The same JSON in the page, safe inside a script element.
  pageData_.clear();
  for (char c : destinationsJson_) {
    pageData_ += c == '<'   ? "\\u003c"
                 : c == '>' ? "\\u003e"
                 : c == '&' ? "\\u0026"
                            : std::string(1, c);
  }
  return ReadFile(assets + "/page.html", &template_, error) &&
         catalogue_.Load(assets + "/i18n", settings.language, error);
}

std::string ChangePage::ResultBlock(const Texts& texts,
                                    const PageResult& result) const {
  if (!result.shown) return "";
  bool good = result.outcome == Outcome::kChanged;
  const bool partly = !result.hosts.empty() &&
                      OverallOf(result.hosts) == Overall::kPartlyChanged;
  std::string block =
      std::string("<div id=\"result\" class=\"result ") +
      (good ? "good" : "bad") + "\" role=\"alert\" tabindex=\"-1\">\n<h2>" +
      EscapeHtml(Text(texts, partly ? "headingPartly"
                             : good ? "headingChanged"
                                    : "headingNotChanged")) +
      "</h2>\n<p>" + EscapeHtml(Text(texts, result.messageKey)) + "</p>\n<p>" +
      EscapeHtml(Text(texts, result.messageKey + "Next")) + "</p>\n";
  if (!result.hosts.empty()) {
    block += HostTable(texts, result.hosts, [this](const std::string& name) {
      return LabelOf(name);
    });
  }
  // The plain verdict first; the host's own words, in its language, only
  // on request.
  if (!result.hostText.empty()) {
    block += "<details><summary>" + EscapeHtml(Text(texts, "hostSays")) +
             "</summary>\n<samp>" + EscapeHtml(result.hostText) +
             "</samp></details>\n";
  }
  return block + "</div>\n";
}

std::string ChangePage::LabelOf(const std::string& name) const {
  for (const Destination& host : hosts_) {
    if (host.name == name) return host.label;
  }
  return name;
}

// With several destinations, a box to tick for each: all ticked at first,
// the ones of ticked (or selected) when the page comes back. The blank
// before them tells the server the boxes were there, ticked or not.
std::string ChangePage::DestinationField(const Texts& texts,
                                         const std::string& selected,
                                         const PageResult& result) const {
  if (hosts_.size() < 2) return "";
  const bool fault = result.shown && result.field == "destinations";
  std::string field =
      "<fieldset class=\"field hosts\" id=\"destinations\" "
      "aria-describedby=\"destinations-message\"><legend>" +
      EscapeHtml(Text(texts, "labelHosts")) +
      "</legend>\n<input type=\"hidden\" name=\"destinations\" value=\"\">\n";
  int number = 0;
  for (const Destination& host : hosts_) {
    const auto& ticked = result.ticked;
    const bool on = !ticked.empty() ? std::find(ticked.begin(), ticked.end(),
                                                host.name) != ticked.end()
                                    : selected.empty() || host.name == selected;
    const std::string id = "host-" + std::to_string(++number);
    field += "<div class=\"host\"><input type=\"checkbox\" id=\"" + id +
             "\" name=\"destinations\" value=\"" + EscapeHtml(host.name) +
             "\"" + (on ? " checked" : "") + "><label for=\"" + id + "\">" +
             EscapeHtml(host.label) + "</label></div>\n";
  }
  return field +
         "<p id=\"destinations-message\" class=\"message\" "
         "aria-live=\"polite\">" +
         (fault ? EscapeHtml(Text(texts, result.messageKey)) : "") +
         "</p></fieldset>\n";
}

// The rules of the user ID and the current password, then each
// destination's for a new password (under its label when there are
// several; the script shows only the chosen one's).
std::string ChangePage::RuleList(const Texts& texts) const {
  std::string list =
      "<ul>\n<li>" +
      EscapeHtml(Fill(Text(texts, "ruleFields"),
                      {{"max", std::to_string(kHostFieldLength)}})) +
      "</li>\n</ul>\n";
  for (const Destination& host : hosts_) {
    const PasswordRules& rules = host.rules;
    list += "<div class=\"rule-set\" data-destination=\"" +
            EscapeHtml(host.name) + "\">\n";
    if (hosts_.size() > 1) {
      list +=
          "<h3>" +
          EscapeHtml(Fill(Text(texts, "ruleFor"), {{"label", host.label}})) +
          "</h3>\n";
    }
    list += "<ul>\n<li>" +
            EscapeHtml(Fill(Text(texts, rules.minLength == rules.maxLength
                                            ? "ruleNewLengthExact"
                                            : "ruleNewLength"),
                            {{"min", std::to_string(rules.minLength)},
                             {"max", std::to_string(rules.maxLength)}})) +
            "</li>\n";
    if (!rules.allowed.empty()) {
      list += "<li>" +
              EscapeHtml(
                  Fill(Text(texts, "ruleAllowed"),
                       {{"classes", DescribeClasses(texts, rules.allowed)}})) +
              "</li>\n";
    }
    for (const auto& entry : rules.required) {
      list += "<li>" +
              EscapeHtml(Fill(Text(texts, "ruleRequired"),
                              {{"classes", DescribeClasses(texts, entry)}})) +
              "</li>\n";
    }
    if (!rules.note.empty())
      list += "<li>" + EscapeHtml(rules.note) + "</li>\n";
    list +=
        "<li>" + EscapeHtml(Text(texts, "ruleNew")) + "</li>\n</ul>\n</div>\n";
  }
  return list;
}

// The new password's bounds and hint for the chosen destination. With
// several, the bounds are the widest of all, so that a browser without
// the script refuses nothing another destination takes; the script
// narrows them to the chosen one's, and the server checks exactly.
void ChangePage::FieldBounds(const std::string& selected,
                             TemplateValues* values) const {
  size_t least = kHostFieldLength, most = 1;
  const PasswordRules* chosen = nullptr;
  for (const Destination& host : hosts_) {
    least = std::min(least, host.rules.minLength);
    most = std::max(most, host.rules.maxLength);
    if (chosen == nullptr || host.name == selected) chosen = &host.rules;
  }
  if (chosen == nullptr) {
    least = 1;
    most = kHostFieldLength;
  }
  (*values)["newMinLength"] = std::to_string(least);
  (*values)["newMaxLength"] = std::to_string(most);
  (*values)["passwordRules"] = chosen != nullptr ? chosen->Text() : "";
}

std::string ChangePage::Render(const std::string& tag, const std::string& user,
                               const std::string& destination,
                               const PageResult& result) const {
  const Texts& texts = catalogue_.TextsOf(tag);
  TemplateValues values;
  for (const char* key : kPageKeys) values[key] = Text(texts, key);
  values["lang"] = tag;
  values["user"] = user;
  values["result"] = ResultBlock(texts, result);
  values["destinationField"] = DestinationField(texts, destination, result);
  // A fresh key for each page: posting it twice (a retry after a lost
  // answer) gets the first answer again.
  unsigned char random[16];
  std::string key;
  if (RAND_bytes(random, sizeof random) == 1) {
    for (unsigned char byte : random) {
      key += "0123456789abcdef"[byte >> 4];
      key += "0123456789abcdef"[byte & 15];
    }
  }
  values["idempotencyKey"] = key;
  values["rules"] = RuleList(texts);
  // Without the script, the server's verdict on a field is its message.
  for (const char* id :
       {"user", "currentPassword", "newPassword", "confirmation"}) {
    bool fault = result.shown && result.field == id;
    values[std::string(id) + "Message"] =
        fault ? Text(texts, result.messageKey) : "";
    values[std::string(id) + "Invalid"] = fault ? "true" : "false";
  }
  values["fieldMaxLength"] = std::to_string(kHostFieldLength);
  FieldBounds(destination, &values);
  values["rulesData"] = pageData_;
  return FillTemplate(template_, values);
}

std::string ChangePage::ApiAnswer(const std::string& tag, bool changed,
                                  int code, const std::string& hostText,
                                  const std::string& messageKey) const {
  const Texts& texts = catalogue_.TextsOf(tag);
  nlohmann::json answer = {
      {"changed", changed},
      {"code", code},
      {"hostText", hostText},
      {"message",
       Text(texts, messageKey) + " " + Text(texts, messageKey + "Next")},
  };
  return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
