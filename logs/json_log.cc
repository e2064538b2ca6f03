#include "logs/json_log.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

bool ParseLogFormat(const std::string& text, LogFormat* format) {
  if (text == "text") {
    *format = LogFormat::kText;
  } else if (text == "json") {
    *format = LogFormat::kJson;
  } else {
    return false;
  }
  return true;
}

std::string IsoUtcTime(std::chrono::system_clock::time_point when) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const auto since = duration_cast<milliseconds>(when.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(since.count() / 1000);
  const int millis = static_cast<int>(since.count() % 1000);
  std::tm utc = {};
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ",
                millis < 0 ? 0 : millis);
  return text;
}

bool BeginsWithIsoUtcTime(const std::string& text, size_t at) {
  if (text.size() < at + kIsoUtcTimeLength) return false;
  static const char kShape[] = "dddd-dd-ddTdd:dd:dd.dddZ";
  for (size_t i = 0; i < kIsoUtcTimeLength; ++i) {
    const char c = text[at + i];
    const bool digit = c >= '0' && c <= '9';
    if (kShape[i] == 'd' ? !digit : c != kShape[i]) return false;
  }
  return true;
}

JsonLogLine::JsonLogLine(const std::string& time, const std::string& program,
                         const std::string& event) {
  Add("time", time);
  Add("program", program);
  Add("event", event);
}

JsonLogLine& JsonLogLine::Add(const std::string& name,
                              const std::string& value) {
  if (!value.empty()) fields_.push_back({name, value, 0, false});
  return *this;
}

JsonLogLine& JsonLogLine::AddNumber(const std::string& name, int64_t value) {
  fields_.push_back({name, std::string(), value, true});
  return *this;
}

std::string JsonLogLine::Text() const {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const Field& field : fields_) {
    if (field.isNumber) {
      object[field.name] = field.number;
    } else {
      object[field.name] = field.text;
    }
  }
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
         "\n";
}
