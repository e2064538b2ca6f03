// Running the engine on an option line already split into words
// (contract/option_line.h), for a caller that adjusts the words first.
#ifndef TARPON_ENGINE_OPTION_LINE_H_
#define TARPON_ENGINE_OPTION_LINE_H_

#include <string>
#include <vector>

#include "contract/option_line.h"

// Runs the engine on words (the program name not among them), as
// run_command_line runs a line: more than option_line::kMaxWords words are
// refused with a framed message. The words are wiped afterwards.
int run_option_words(option_line::Words* words);

#endif  // TARPON_ENGINE_OPTION_LINE_H_
