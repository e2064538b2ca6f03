#include "web/catalogue.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>
#include <vector>

namespace {

bool ReadTexts(const std::string& path, Texts* texts, std::string* error) {
  std::ifstream in(path);
  nlohmann::json document = nlohmann::json::parse(in, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    *error = path + " is not a JSON object";
    return false;
  }
  for (auto& [key, value] : document.items()) {
    if (!value.is_string()) {
      *error = path + ": " + key + " is not a string";
      return false;
    }
    (*texts)[key] = value.get<std::string>();
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

bool Catalogue::Load(const std::string& folder, const std::string& defaultTag,
                     std::string* error) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    *error = "cannot read the folder " + folder;
    return false;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) {
      names.push_back(name);
    }
  }
  closedir(dir);
  for (const std::string& name : names) {
    Texts texts;
    if (!ReadTexts(folder + "/" + name, &texts, error)) return false;
    languages_[Lower(name.substr(0, name.size() - 5))] = std::move(texts);
  }
  default_ = Lower(defaultTag);
  auto base = languages_.find(default_);
  if (base == languages_.end()) {
    *error = "no texts for the language " + defaultTag + " in " + folder;
    return false;
  }
  for (const auto& [tag, texts] : languages_) {
    for (const auto& [key, value] : base->second) {
      if (texts.count(key) == 0) {
        *error = folder + "/" + tag + ".json lacks " + key;
        return false;
      }
    }
  }
  return true;
}

const std::string& Catalogue::Choose(const std::string& acceptLanguage) const {
  // Each item "tag;q=0.8"; a missing q is 1, an unreadable one 0.
  std::vector<std::pair<double, std::string>> wanted;
  std::stringstream items(acceptLanguage);
  std::string item;
  while (std::getline(items, item, ',') && wanted.size() < 20) {
    std::string tag = Lower(Trim(item.substr(0, item.find(';'))));
    double q = 1;
    size_t at = item.find(";q=");
    if (at != std::string::npos) q = std::atof(item.c_str() + at + 3);
    if (q > 0) wanted.emplace_back(-q, tag.substr(0, tag.find('-')));
  }
  std::stable_sort(
      wanted.begin(), wanted.end(),
      [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [q, tag] : wanted) {
    auto found = languages_.find(tag);
    if (found != languages_.end()) return found->first;
  }
  return default_;
}

const Texts& Catalogue::TextsOf(const std::string& tag) const {
  auto found = languages_.find(tag);
  return found != languages_.end() ? found->second
                                   : languages_.find(default_)->second;
}

const std::string& Text(const Texts& texts, const std::string& key) {
  auto found = texts.find(key);
  return found != texts.end() ? found->second : key;
}
