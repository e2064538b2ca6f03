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

namespace {

// text with each "{{#name}}" and "{{^name}}" part kept or left out, the
// parts within a kept one too; an opening mark without its close is left
// as it is.
std::string KeepParts(const std::string& text, const TemplateValues& values) {
  std::string out;
  size_t at = 0;
  while (true) {
    size_t open = text.find("{{", at);
    if (open == std::string::npos || open + 2 >= text.size()) break;
    char kind = text[open + 2];
    size_t close = text.find("}}", open);
    if ((kind != '#' && kind != '^') || close == std::string::npos) {
      out.append(text, at, open + 2 - at);
      at = open + 2;
      continue;
    }
    std::string name = text.substr(open + 3, close - open - 3);
    std::string end = "{{/" + name + "}}";
    size_t last = text.find(end, close);
    if (last == std::string::npos) {
      out.append(text, at, close + 2 - at);
      at = close + 2;
      continue;
    }
    auto found = values.find(name);
    bool given = found != values.end() && !found->second.empty();
    out.append(text, at, open - at);
    if (given == (kind == '#')) {
      out += KeepParts(text.substr(close + 2, last - close - 2), values);
    }
    at = last + end.size();
  }
  out.append(text, at, std::string::npos);
  return out;
}

}  // namespace

std::string FillTemplate(const std::string& whole,
                         const TemplateValues& values) {
  const std::string text = KeepParts(whole, values);
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
