// How a password, a list entry and a context word are brought to one form
// before they are compared: the host ignores case, and people dress a
// common word up with a digit for a letter or a number at its end. Both
// the list's builder and the gateway's check fold alike, so that each
// form stands for every spelling that folds to it. No I/O, no state: safe
// on any thread.
#ifndef TARPON_BLOCKLIST_FOLD_H_
#define TARPON_BLOCKLIST_FOLD_H_

#include <string>

#include "contract/host_field.h"

// A number at the end is dropped only when what it follows has at least
// this many characters: "ALICE1" is ALICE, "AB123456" stays as it is.
constexpr size_t kMinFoldedStem = 4;

// Upper case, then the look-alikes: 0 as O, 1 and L as I, 3 as E, 4 and
// @ as A, 5 and $ as S, 7 as T. Other characters are kept.
std::string Substitute(const std::string& text);

// text without the run of digits at its end, when what is left has at
// least kMinFoldedStem characters; otherwise text as it is.
std::string DropTrailingNumber(const std::string& text);

// The form the list holds: DropTrailingNumber, then Substitute.
// "P@ssw0rd", "PASSWORD" and "password12" all fold to "PASSWORD"; "Alice1"
// folds to "AIICE". Empty when text is empty.
std::string Fold(const std::string& text);

// True when text could be a password the host takes: 1 to
// kHostFieldLength characters, each a host character.
bool FitsHostField(const std::string& text);

// Why a password is a run or a sequence, or nullptr when it is neither:
// fewer than three different characters ("AAAAAAAA", "ABABABAB"), a block
// repeated ("ABCABCAB"), or a stretch of the alphabet, the digits or a
// keyboard row, forwards or backwards ("ABCDEFGH", "87654321",
// "QWERTYUI"). Case is ignored.
const char* RunOrSequence(const std::string& password);

#endif  // TARPON_BLOCKLIST_FOLD_H_
