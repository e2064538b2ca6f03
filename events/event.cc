#include "events/event.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "contract/tarpon_rc.h"

namespace {

std::tm UtcOf(std::chrono::system_clock::time_point time) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc = {};
  gmtime_r(&seconds, &utc);
  return utc;
}

// The microseconds past the whole second of time (0 to 999999).
long MicrosecondsOf(std::chrono::system_clock::time_point time) {
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                    time.time_since_epoch())
                    .count() %
                1000000;
  return static_cast<long>(micros < 0 ? micros + 1000000 : micros);
}

nlohmann::ordered_json DestinationJson(const std::string& type,
                                       const EventDestination& destination) {
  nlohmann::ordered_json entry = {{"destination", destination.name},
                                  {"outcome", destination.outcome}};
  if (type == "change") {
    entry["returnCode"] = destination.returnCode;
    entry["verdict"] = destination.verdict;
  } else if (type == "hold") {
    entry["seconds"] = destination.seconds;
  }
  return entry;
}

}  // namespace

Event ReleaseEvent(const std::string& user, const std::string& host,
                   const std::string& by) {
  Event event;
  event.type = "release";
  event.user = user;
  EventDestination released;
  released.name = host;
  released.outcome = "released";
  event.destinations.push_back(released);
  event.by = by;
  return event;
}

std::string EventJson(const Event& event) {
  nlohmann::ordered_json destinations = nlohmann::ordered_json::array();
  for (const EventDestination& destination : event.destinations) {
    destinations.push_back(DestinationJson(event.type, destination));
  }
  nlohmann::ordered_json json = {
      {"version", 1},       {"id", event.id},
      {"type", event.type}, {"time", UtcTimeText(event.time)},
      {"user", event.user}, {"destinations", destinations}};
  if (!event.source.empty()) json["source"] = event.source;
  if (!event.operation.empty()) json["operation"] = event.operation;
  if (!event.by.empty()) json["by"] = event.by;
  if (event.parts > 1) json["parts"] = event.parts;
  // Bytes a client sent that are not UTF-8 are replaced, never refused.
  return json.dump(-1, ' ', false,
                   nlohmann::ordered_json::error_handler_t::replace);
}

EventGroup GroupOf(const std::string& json) {
  EventGroup group;
  const nlohmann::json event = nlohmann::json::parse(json, nullptr, false);
  if (!event.is_object() || event.value("type", "") != "change") return group;
  const auto parts = event.find("parts");
  const auto operation = event.find("operation");
  const auto user = event.find("user");
  if (parts == event.end() || !parts->is_number_integer() || *parts < 2 ||
      operation == event.end() || !operation->is_string() ||
      user == event.end() || !user->is_string()) {
    return group;
  }
  group.key = operation->get<std::string>() + "\n" + user->get<std::string>();
  group.parts = parts->get<int>();
  const auto& destinations = event.find("destinations");
  if (destinations != event.end() && destinations->is_array() &&
      destinations->size() == 1) {
    const int code = (*destinations)[0].value("returnCode", 0);
    group.sparesTheRest = code == TARPON_RC_HOST_STATUS_BASE + 1 ||
                          code == TARPON_RC_HOST_STATUS_BASE + 2;
  }
  return group;
}

std::string MergedEvent(const std::vector<std::string>& jsons) {
  nlohmann::ordered_json merged;
  for (const std::string& text : jsons) {
    nlohmann::ordered_json event =
        nlohmann::ordered_json::parse(text, nullptr, false);
    if (!event.is_object() || !event["destinations"].is_array()) continue;
    if (merged.is_null()) {
      merged = std::move(event);
      continue;
    }
    for (auto& destination : event["destinations"]) {
      merged["destinations"].push_back(std::move(destination));
    }
  }
  if (merged.is_null()) return std::string();
  return merged.dump(-1, ' ', false,
                     nlohmann::ordered_json::error_handler_t::replace);
}

std::string NewEventId(std::chrono::system_clock::time_point time) {
  static std::atomic<unsigned long> counter{0};
  std::tm utc = UtcOf(time);
  char text[80];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d.%06ldZ-%ld-%lu",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                utc.tm_min, utc.tm_sec, MicrosecondsOf(time),
                static_cast<long>(getpid()), ++counter);
  return text;
}

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
  std::tm utc = UtcOf(time);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                utc.tm_min, utc.tm_sec, MicrosecondsOf(time) / 1000);
  return text;
}

std::string OneLine(const std::string& text, size_t maxLength) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t first = text.find_first_not_of(" \t\r", start);
    if (first != std::string::npos && first < end) {
      size_t last = text.find_last_not_of(" \t\r", end - 1);
      std::string line = text.substr(first, last + 1 - first);
      if (line.size() > maxLength) line.resize(maxLength);
      return line;
    }
    start = end + 1;
  }
  return std::string();
}
