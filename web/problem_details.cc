#include "web/problem_details.h"

#include <cassert>
#include <nlohmann/json.hpp>

#include "web/outcome.h"

const std::vector<std::string>& AllReasons() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> names;
    for (const ProblemRow& row : kProblems) names.push_back(row.reason);
    return names;
  }();
  return all;
}

ProblemKind ProblemOf(const std::string& messageKeyOrReason) {
  for (const ProblemRow& row : kProblems) {
    if (messageKeyOrReason == row.reason) return {row.reason, row.title};
    for (const char* key : row.keys) {
      if (key != nullptr && messageKeyOrReason == key) {
        return {row.reason, row.title};
      }
    }
  }
  assert(!"a message key or reason with no row in web/outcome.h");
  return {reason::kRequestRefused, "The request was refused"};
}

std::string ProblemJson(const ProblemKind& kind, int status,
                        const std::string& detail, int code,
                        const std::string& hostText) {
  nlohmann::json problem = {
      {"type", std::string(kProblemTypePrefix) + kind.reason},
      {"title", kind.title},
      {"status", status},
      {"detail", detail},
      {"reason", kind.reason},
  };
  if (code >= 0) problem["code"] = code;
  if (!hostText.empty()) problem["hostText"] = hostText;
  return problem.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
