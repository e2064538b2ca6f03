// A destination's rules for a new password, written as browsers' password
// managers read them ("minlength: 6; maxlength: 8; required: upper;
// required: digit; allowed: upper, lower, digit, [@#$];") plus a free note.
// The host's field rule (contract/host_field.h) is the default and the
// bound: rules may narrow it, never widen it. The server, the page and its
// script all take the rules from here. No I/O.
#ifndef TARPON_WEB_PASSWORD_RULES_H_
#define TARPON_WEB_PASSWORD_RULES_H_

#include <cstddef>
#include <string>
#include <vector>

#include "contract/host_field.h"

// One class of characters: "upper", "lower", "digit", or a set of its own
// written "[@#$]"; characters holds every character it stands for.
struct CharacterClass {
  std::string token;
  std::string characters;
};

struct PasswordRules {
  size_t minLength = 1;
  size_t maxLength = kHostFieldLength;
  // Every character allowed is in one of these (or in a required class).
  std::vector<CharacterClass> allowed;
  // Each entry: at least one character from the union of its classes.
  std::vector<std::vector<CharacterClass>> required;
  std::string note;  // shown as written, after the rules
  // "case: ignored": the host takes every small letter as its capital, so
  // a value is checked upper-cased.
  bool ignoresCase = false;

  // The host's field rule: 1 to 8 letters, digits, @ # $.
  static PasswordRules HostField();

  // Every character allowed, in the order of the classes, each once.
  std::string AllowedCharacters() const;
  // The rules in the password managers' syntax, the note left out.
  std::string Text() const;
};

// Which rule a value broke; a program is told it by name.
enum class RuleFailure {
  kNone,
  kMissing,       // empty
  kTooShort,      // fewer characters than minLength
  kTooLong,       // more than maxLength
  kBadCharacter,  // a character no class allows
  kMissingClass,  // none from a required entry
  kMissingDigit,  // none from a required entry of the digits alone
};

// *missingEntry (when given) is set to the index of the required entry a
// kMissingClass or kMissingDigit names.
RuleFailure CheckAgainstRules(const PasswordRules& rules,
                              const std::string& value,
                              size_t* missingEntry = nullptr);

// Reads text into *rules: properties separated by ";", each "name: value";
// the names minlength, maxlength, allowed and required as the password
// managers read them, "case: ignored" (or "case: kept", the default), and
// "note:", which takes the rest of the text (it may hold ";"). A property left
// out keeps the host's field rule. False with a one-line reason for anything
// beyond the host's field rule, an unknown property or class, or rules no
// password could meet.
bool ParsePasswordRules(const std::string& text, PasswordRules* rules,
                        std::string* error);

#endif  // TARPON_WEB_PASSWORD_RULES_H_
