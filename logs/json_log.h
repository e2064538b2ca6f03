// The daemons' logs for machines (-log-format json): one JSON object a
// line, with the same field names in tarpons and tarpon-web, in this
// order when present:
//
//   time         ISO 8601 UTC with milliseconds: "2026-12-09T18:40:00.123Z"
//   program      "tarpons" or "tarpon-web"
//   event        "session" (a gateway session's lines), "server" (the
//                gateway's other lines), "change" and "replay" (the web's
//                audit), "notice" (the web's other lines)
//   operation    the change the line belongs to: the gateway session's,
//                the web request's identifier
//   client       the client's address
//   user, destination, outcome, code   the web's audit fields
//   message      the line as the text format writes it, without its time
//                stamp
//
// The text format stays the default (kText); it is the only one the gateway
// wrote before.
#ifndef TARPON_LOGS_JSON_LOG_H_
#define TARPON_LOGS_JSON_LOG_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class LogFormat { kText, kJson };

// "text" or "json"; false for anything else, *format unchanged.
bool ParseLogFormat(const std::string& text, LogFormat* format);

// The time in ISO 8601, UTC, with milliseconds: 2026-12-09T18:40:00.123Z
// (24 characters).
std::string IsoUtcTime(std::chrono::system_clock::time_point when);
constexpr size_t kIsoUtcTimeLength = 24;
// True when text begins with such a time.
bool BeginsWithIsoUtcTime(const std::string& text, size_t at = 0);

// One line: fields in the order added (time and program first), then Text.
class JsonLogLine {
 public:
  JsonLogLine(const std::string& time, const std::string& program,
              const std::string& event);
  // A text field; an empty value is left out.
  JsonLogLine& Add(const std::string& name, const std::string& value);
  // A number field.
  JsonLogLine& AddNumber(const std::string& name, int64_t value);
  // The object and a line end. Bytes that are not UTF-8 are replaced.
  std::string Text() const;

 private:
  struct Field {
    std::string name;
    std::string text;
    int64_t number;
    bool isNumber;
  };
  std::vector<Field> fields_;
};

#endif  // TARPON_LOGS_JSON_LOG_H_
