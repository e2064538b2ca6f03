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
    "ruleMet",
    "ruleOpen",
    "rulesStatus",
    "rulesAllMet",
    "problemNoHost",
};

// The verdicts whose next step sends people to the help desk: the
// administrator's contact follows them.
const char* const kHelpDeskKeys[] = {
    "accountHeld",        "expired",
    "hostRefused",        "hostUnavailable",
    "gatewayUnreachable", "serviceSetUp",
    "destinationUnknown",
};

// The node's words when it does not know the destination: no side
// information for the symbolic destination, no partner LU of that alias.
const char* const kUnknownDestination[] = {
    "CM_PROGRAM_PARAMETER_CHECK",
    "AP_BAD_PARTNER_LU_ALIAS",
};

// The host's own words worth showing: the status line of its verdict
// ("SIGNON/CHANGE FAILED GENERAL SECURITY FAILURE") rather than the whole
// report with its banner, else the text as it came.
std::string HostWords(const std::string& text) {
  const std::string mark = "Status code text ";
  size_t at = text.find(mark);
  if (at == std::string::npos) return text;
  size_t begin = text.find_first_not_of(". ", at + mark.size());
  if (begin == std::string::npos) return text;
  size_t end = text.find('\n', begin);
  std::string words = text.substr(
      begin, end == std::string::npos ? std::string::npos : end - begin);
  words.erase(words.find_last_not_of(' ') + 1);
  return words.empty() ? text : words;
}

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
    text += (text.empty() ? "" : Text(texts, "listSeparator")) + part;
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
    hosts_.push_back({name, label, settings.RulesFor(name), {}});
    auto notes = settings.ruleNotes.find(name);
    if (notes != settings.ruleNotes.end()) hosts_.back().notes = notes->second;
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
  signOnUrl_ = settings.signOnUrl;
  helpDesk_ = settings.helpDesk;
  helpDeskUrl_ = settings.helpDeskUrl;
  organisation_ = settings.organisation;
  logo_ = !settings.logo.empty();
  if (!ReadFile(assets + "/page.html", &template_, error) ||
      !catalogue_.Load(assets + "/i18n", settings.language, error)) {
    return false;
  }
  for (const Destination& host : hosts_) {
    for (const auto& [tag, note] : host.notes) {
      if (!catalogue_.Has(tag)) {
        *error = "-rules-note for " + host.name + ": no catalogue for " + tag;
        return false;
      }
    }
  }
  return true;
}

const ChangePage::Destination* ChangePage::Find(const std::string& name) const {
  for (const Destination& host : hosts_) {
    if (host.name == name) return &host;
  }
  return hosts_.empty() ? nullptr : &hosts_.front();
}

// The administrator's help desk as a line to follow a message, "" when
// none was set.
std::string ChangePage::HelpDesk(const Texts& texts) const {
  if (helpDesk_.empty() && helpDeskUrl_.empty()) return "";
  std::string contact =
      EscapeHtml(helpDesk_.empty() ? helpDeskUrl_ : helpDesk_);
  if (!helpDeskUrl_.empty()) {
    contact =
        "<a href=\"" + EscapeHtml(helpDeskUrl_) + "\">" + contact + "</a>";
  }
  std::string line = organisation_.empty()
                         ? EscapeHtml(Text(texts, "helpDesk"))
                         : EscapeHtml(Fill(Text(texts, "helpDeskOf"),
                                           {{"organisation", organisation_}}));
  return "<p class=\"help-desk\">" + Fill(line, {{"contact", contact}}) +
         "</p>\n";
}

namespace {

// What to do about a required entry: "Add a digit (0 to 9).".
std::string AddMessage(const Texts& texts,
                       const std::vector<CharacterClass>& entry) {
  if (entry.size() == 1 && entry.front().token == "upper") {
    return Text(texts, "problemAddUpper");
  }
  if (entry.size() == 1 && entry.front().token == "lower") {
    return Text(texts, "problemAddLower");
  }
  if (entry.size() == 1 && entry.front().token == "digit") {
    return Text(texts, "problemAddDigit");
  }
  return Fill(Text(texts, "problemAddOneOf"),
              {{"classes", DescribeClasses(texts, entry)}});
}

}  // namespace

// The message of a result as precise as the page can say it: the rule
// a new password broke and what to do about it.
std::string ChangePage::Message(const Texts& texts, const PageResult& result,
                                const std::string& destination) const {
  const Destination* host = Find(destination);
  if (host != nullptr && result.field == "newPassword") {
    const PasswordRules& rules = host->rules;
    if (result.messageKey == "problemTooShort") {
      return Fill(Text(texts, "problemAtLeast"),
                  {{"min", std::to_string(rules.minLength)}});
    }
    if (result.messageKey == "problemTooLong") {
      return Fill(Text(texts, "problemAtMost"),
                  {{"max", std::to_string(rules.maxLength)}});
    }
    size_t entry = static_cast<size_t>(result.missingEntry);
    if (result.missingEntry >= 0 && entry < rules.required.size()) {
      return AddMessage(texts, rules.required[entry]);
    }
  }
  return Text(texts, result.messageKey);
}

std::string ChangePage::ResultBlock(const Texts& texts,
                                    const PageResult& result,
                                    const std::string& destination) const {
  if (!result.shown) return "";
  PageResult shown = result;
  const bool partly = !result.hosts.empty() &&
                      OverallOf(result.hosts) == Overall::kPartlyChanged;
  // The node's report on a destination it does not know is said plainly;
  // no other report of the node's reaches a person.
  if (shown.messageKey == "hostUnavailable") {
    for (const char* words : kUnknownDestination) {
      if (shown.hostText.find(words) != std::string::npos) {
        shown.messageKey = "destinationUnknown";
      }
    }
  }
  if (shown.messageKey != "hostRefused") shown.hostText.clear();
  std::string block =
      "<div id=\"result\" class=\"result bad\" role=\"alert\" "
      "tabindex=\"-1\">\n<h2>" +
      EscapeHtml(Text(texts, partly ? "headingPartly" : "headingNotChanged")) +
      "</h2>\n<p>" + EscapeHtml(Message(texts, shown, destination)) +
      "</p>\n<p>" + EscapeHtml(Text(texts, shown.messageKey + "Next")) +
      "</p>\n";
  if (!result.hosts.empty()) {
    block += HostTable(texts, result.hosts, [this](const std::string& name) {
      return LabelOf(name);
    });
  }
  for (const char* key : kHelpDeskKeys) {
    if (shown.messageKey == key) block += HelpDesk(texts);
  }
  // The plain verdict first; the host's own words, in its language, only
  // on request, and only where the page cannot say what they mean.
  if (!shown.hostText.empty()) {
    block += "<details><summary>" + EscapeHtml(Text(texts, "hostSays")) +
             "</summary>\n<samp>" + EscapeHtml(HostWords(shown.hostText)) +
             "</samp></details>\n";
  }
  return block + "</div>\n";
}

// After a change made: which account at which host, what to do next, where
// to sign on, and the way back to the form.
std::string ChangePage::DoneBlock(const Texts& texts, const PageResult& result,
                                  const std::string& destination) const {
  // Every host of a change to several, else the one.
  std::string label = LabelOf(destination);
  if (!result.hosts.empty()) label.clear();
  for (const DestinationResult& one : result.hosts) {
    label += (label.empty() ? "" : ", ") + LabelOf(one.destination);
  }
  std::string block =
      "<div id=\"result\" class=\"result good done\" role=\"alert\" "
      "tabindex=\"-1\">\n<h2>" +
      EscapeHtml(Text(texts, "headingChanged")) + "</h2>\n<p>" +
      EscapeHtml(Text(texts, "changed")) + "</p>\n<dl class=\"facts\">\n" +
      "<div><dt>" + EscapeHtml(Text(texts, "labelUser")) + "</dt><dd>" +
      EscapeHtml(result.account) + "</dd></div>\n<div><dt>" +
      EscapeHtml(Text(texts, "labelHost")) + "</dt><dd>" + EscapeHtml(label) +
      "</dd></div>\n</dl>\n<p>" + EscapeHtml(Text(texts, "changedNext")) +
      "</p>\n<p>" + EscapeHtml(Text(texts, "doneNext")) + "</p>\n";
  if (!signOnUrl_.empty()) {
    block += "<p><a id=\"sign-on\" class=\"sign-on\" href=\"" +
             EscapeHtml(signOnUrl_) + "\">" +
             EscapeHtml(Fill(Text(texts, "signOn"), {{"host", label}})) +
             "</a></p>\n";
  }
  block += "<p><a id=\"again\" href=\"/\">" +
           EscapeHtml(Text(texts, "changeAnother")) + "</a></p>\n";
  if (!result.hostText.empty()) {
    block += "<details><summary>" + EscapeHtml(Text(texts, "hostSays")) +
             "</summary>\n<samp>" + EscapeHtml(HostWords(result.hostText)) +
             "</samp></details>\n";
  }
  return block + "</div>\n";
}

std::string ChangePage::LabelOf(const std::string& name) const {
  const Destination* host = Find(name);
  return host != nullptr ? host->label : name;
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

// One destination's rules for a new password as a checklist: each rule
// the script can tick carries what it checks and the message for it
// broken; the notes follow.
std::string ChangePage::RuleItems(const Texts& texts, const std::string& tag,
                                  const Destination& host) const {
  const PasswordRules& rules = host.rules;
  auto item = [](const std::string& attributes, const std::string& text) {
    return "<li" + attributes + ">" + EscapeHtml(text) + "</li>\n";
  };
  std::string min = std::to_string(rules.minLength);
  std::string max = std::to_string(rules.maxLength);
  std::string list = item(
      " data-rule=\"length\" data-min=\"" + min + "\" data-max=\"" + max +
          "\" data-short=\"" +
          EscapeHtml(Fill(Text(texts, "problemAtLeast"), {{"min", min}})) +
          "\" data-long=\"" +
          EscapeHtml(Fill(Text(texts, "problemAtMost"), {{"max", max}})) + "\"",
      Fill(Text(texts, rules.minLength == rules.maxLength ? "ruleNewLengthExact"
                                                          : "ruleNewLength"),
           {{"min", min}, {"max", max}}));
  if (!rules.allowed.empty()) {
    list += item(" data-rule=\"allowed\" data-characters=\"" +
                     EscapeHtml(rules.AllowedCharacters()) + "\"",
                 Fill(Text(texts, "ruleAllowed"),
                      {{"classes", DescribeClasses(texts, rules.allowed)}}));
  }
  for (const auto& entry : rules.required) {
    std::string characters;
    for (const CharacterClass& one : entry) characters += one.characters;
    list += item(" data-rule=\"required\" data-characters=\"" +
                     EscapeHtml(characters) + "\" data-message=\"" +
                     EscapeHtml(AddMessage(texts, entry)) + "\"",
                 Fill(Text(texts, "ruleRequired"),
                      {{"classes", DescribeClasses(texts, entry)}}));
  }
  if (rules.ignoresCase) {
    list += item(" class=\"note\"", Text(texts, "ruleCaseIgnored"));
  }
  auto note = host.notes.find(tag);
  const std::string& said =
      note != host.notes.end() ? note->second : rules.note;
  if (!said.empty()) list += item(" class=\"note\"", said);
  return list + item(" class=\"note\"", Text(texts, "ruleNew"));
}

// Each destination's rules for a new password (under its label when
// there are several; the script shows only the chosen one's).
std::string ChangePage::RuleList(const Texts& texts,
                                 const std::string& tag) const {
  std::string list;
  for (const Destination& host : hosts_) {
    list += "<div class=\"rule-set\" data-destination=\"" +
            EscapeHtml(host.name) + "\" data-case=\"" +
            (host.rules.ignoresCase ? "ignored" : "kept") + "\">\n";
    if (hosts_.size() > 1) {
      list +=
          "<h3>" +
          EscapeHtml(Fill(Text(texts, "ruleFor"), {{"label", host.label}})) +
          "</h3>\n";
    }
    list += "<ul class=\"checklist\">\n" + RuleItems(texts, tag, host) +
            "</ul>\n</div>\n";
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

// The organisation's name and logo above the page, when set.
void ChangePage::Brand(const Texts& texts, TemplateValues* values) const {
  std::string brand;
  if (logo_) {
    brand += "<img class=\"logo\" src=\"/static/logo\" alt=\"\">";
  }
  if (!organisation_.empty()) {
    brand +=
        "<span class=\"organisation\">" + EscapeHtml(organisation_) + "</span>";
  }
  (*values)["brand"] = brand;
  (*values)["pageTitle"] = organisation_.empty()
                               ? Text(texts, "title")
                               : organisation_ + ": " + Text(texts, "title");
}

std::string ChangePage::Render(const std::string& tag, const std::string& user,
                               const std::string& destination,
                               const PageResult& result) const {
  const Texts& texts = catalogue_.TextsOf(tag);
  TemplateValues values;
  for (const char* key : kPageKeys) values[key] = Text(texts, key);
  values["lang"] = tag;
  values["dir"] = Text(texts, "direction") == "rtl" ? "rtl" : "ltr";
  Brand(texts, &values);
  if (result.shown && result.outcome == Outcome::kChanged) {
    values["done"] = DoneBlock(texts, result, destination);
    return FillTemplate(template_, values);
  }
  values["user"] = user;
  values["result"] = ResultBlock(texts, result, destination);
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
  values["rules"] = RuleList(texts, tag);
  values["userRule"] = Fill(Text(texts, "ruleFields"),
                            {{"max", std::to_string(kHostFieldLength)}}) +
                       " " + Text(texts, "ruleUserCase");
  // Without the script, the server's verdict on a field is its message.
  for (const char* id :
       {"user", "currentPassword", "newPassword", "confirmation"}) {
    bool fault = result.shown && result.field == id;
    values[std::string(id) + "Message"] =
        fault ? Message(texts, result, destination) : "";
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
