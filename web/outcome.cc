#include "web/outcome.h"

const char* OutcomeName(Outcome outcome) {
  size_t index = static_cast<size_t>(outcome);
  return index < kOutcomeCount ? kOutcomes[index].label : "unknown";
}

int OutcomeStatus(Outcome outcome) {
  size_t index = static_cast<size_t>(outcome);
  return index < kOutcomeCount ? kOutcomes[index].status : 500;
}
