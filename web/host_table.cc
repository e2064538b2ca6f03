#include "web/host_table.h"

#include "web/page_template.h"

namespace {

std::string Fill(std::string text, const std::string& mark,
                 const std::string& value) {
  const size_t at = text.find(mark);
  if (at != std::string::npos) text.replace(at, mark.size(), value);
  return text;
}

// The labels of the hosts that changed (or not), joined by ", ".
std::string Labels(const std::vector<DestinationResult>& results, bool changed,
                   const LabelOf& label) {
  std::string out;
  for (const DestinationResult& result : results) {
    if (result.Changed() != changed) continue;
    out += (out.empty() ? "" : ", ") + label(result.destination);
  }
  return out;
}

// A row's message key: its verdict's, or "notTried" when not asked.
std::string RowKey(const DestinationResult& result) {
  if (!result.asked && !result.earlier) return "notTried";
  return result.verdict.messageKey;
}

}  // namespace

std::string OverallKey(const std::vector<DestinationResult>& results) {
  switch (OverallOf(results)) {
    case Overall::kAllChanged:
      return "changed";
    case Overall::kPartlyChanged:
      return "partlyChanged";
    case Overall::kNoneChanged:
      break;
  }
  for (const DestinationResult& result : results) {
    if (result.asked) return result.verdict.messageKey;
  }
  return results.empty() ? "changed" : RowKey(results.front());
}

std::string HostTable(const Texts& texts,
                      const std::vector<DestinationResult>& results,
                      const LabelOf& label) {
  std::string table =
      "<table class=\"hosts\">\n<thead><tr><th scope=\"col\">" +
      EscapeHtml(Text(texts, "tableHost")) + "</th><th scope=\"col\">" +
      EscapeHtml(Text(texts, "tableOutcome")) + "</th><th scope=\"col\">" +
      EscapeHtml(Text(texts, "tableNext")) + "</th></tr></thead>\n<tbody>\n";
  for (const DestinationResult& result : results) {
    const std::string key = RowKey(result);
    table += std::string("<tr class=\"") + (result.Changed() ? "good" : "bad") +
             "\"><th scope=\"row\">" + EscapeHtml(label(result.destination)) +
             "</th><td>" + EscapeHtml(Text(texts, key)) + "</td><td>" +
             EscapeHtml(Text(texts, key + "Next")) + "</td></tr>\n";
  }
  table += "</tbody>\n</table>\n";
  if (OverallOf(results) != Overall::kPartlyChanged) return table;
  // Said plainly: which hosts take which password now.
  table += "<p>" +
           EscapeHtml(Fill(Text(texts, "newAt"), "{hosts}",
                           Labels(results, true, label))) +
           "</p>\n<p>" +
           EscapeHtml(Fill(Text(texts, "oldAt"), "{hosts}",
                           Labels(results, false, label))) +
           "</p>\n<p>" + EscapeHtml(Text(texts, "retryHosts")) + "</p>\n";
  return table;
}

std::vector<std::string> Unchanged(
    const std::vector<DestinationResult>& results) {
  std::vector<std::string> out;
  for (const DestinationResult& result : results) {
    if (!result.Changed()) out.push_back(result.destination);
  }
  return out;
}
