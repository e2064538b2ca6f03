#include "web/page_template.h"

std::string EscapeHtml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string FillTemplate(const std::string& text,
                         const TemplateValues& values) {
  std::string out;
  size_t at = 0;
  while (true) {
    size_t open = text.find("{{", at);
    size_t close = open == std::string::npos ? open : text.find("}}", open);
    if (close == std::string::npos) break;
    out.append(text, at, open - at);
    std::string name = text.substr(open + 2, close - open - 2);
    bool raw = !name.empty() && name[0] == '&';
    auto found = values.find(raw ? name.substr(1) : name);
    if (found != values.end()) {
      out += raw ? found->second : EscapeHtml(found->second);
    }
    at = close + 2;
  }
  out.append(text, at, std::string::npos);
  return out;
}
