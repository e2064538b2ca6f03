#include "web/change_page.h"

#include <openssl/rand.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

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
    "ruleLength",
    "ruleCharacters",
    "ruleNew",
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
    "busy",
};

}  // namespace

bool ChangePage::Load(
    const std::string& assets, const std::string& language,
    const std::vector<std::pair<std::string, std::string>>& hosts,
    std::string* error) {
  hosts_ = hosts;
  return ReadFile(assets + "/page.html", &template_, error) &&
         catalogue_.Load(assets + "/i18n", language, error);
}

std::string ChangePage::ResultBlock(const Texts& texts,
                                    const PageResult& result) const {
  if (!result.shown) return "";
  bool good = result.outcome == Outcome::kChanged;
  std::string block =
      std::string("<div id=\"result\" class=\"result ") +
      (good ? "good" : "bad") + "\" role=\"alert\" tabindex=\"-1\">\n<h2>" +
      EscapeHtml(Text(texts, good ? "headingChanged" : "headingNotChanged")) +
      "</h2>\n<p>" + EscapeHtml(Text(texts, result.messageKey)) + "</p>\n<p>" +
      EscapeHtml(Text(texts, result.messageKey + "Next")) + "</p>\n";
  if (!result.hostText.empty()) {
    block += "<p>" + EscapeHtml(Text(texts, "hostSays")) + " <samp>" +
             EscapeHtml(result.hostText) + "</samp></p>\n";
  }
  return block + "</div>\n";
}

std::string ChangePage::DestinationField(const Texts& texts,
                                         const std::string& selected) const {
  if (hosts_.size() < 2) return "";
  std::string field = "<div class=\"field\"><label for=\"destination\">" +
                      EscapeHtml(Text(texts, "labelHost")) +
                      "</label>\n<select id=\"destination\" "
                      "name=\"destination\">\n";
  for (const auto& [name, label] : hosts_) {
    field += "<option value=\"" + EscapeHtml(name) + "\"" +
             (name == selected ? " selected" : "") + ">" + EscapeHtml(label) +
             "</option>\n";
  }
  return field + "</select></div>\n";
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
  values["destinationField"] = DestinationField(texts, destination);
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
