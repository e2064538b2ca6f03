// The page's and the API's texts, one JSON file per language in the
// assets' i18n/ folder ("en.json", "de.json"), each an object of keys to
// strings. Read once at start; read-only afterwards, so any thread may ask.
#ifndef TARPON_WEB_CATALOGUE_H_
#define TARPON_WEB_CATALOGUE_H_

#include <map>
#include <string>

using Texts = std::map<std::string, std::string>;

class Catalogue {
 public:
  // Reads every "<tag>.json" of folder. False with the reason when a file
  // does not parse, holds anything but strings, lacks a key the default
  // language has, or defaultTag has no file.
  bool Load(const std::string& folder, const std::string& defaultTag,
            std::string* error);

  // The language for an Accept-Language value: the first tag, in the
  // order of its q values, whose primary subtag ("de" of "de-CH") has a
  // file; else the default.
  const std::string& Choose(const std::string& acceptLanguage) const;
  const Texts& TextsOf(const std::string& tag) const;
  bool Has(const std::string& tag) const { return languages_.count(tag) != 0; }

 private:
  std::map<std::string, Texts> languages_;
  std::string default_;
};

// The text of key; the key itself when missing, so that a gap shows.
const std::string& Text(const Texts& texts, const std::string& key);

#endif  // TARPON_WEB_CATALOGUE_H_
