// What the gateway tells its hooks: one event for each change a host
// answered, each account hold and each release, as one JSON object. An
// event never holds a password.
//
//   {"version":1,"id":"20261209T154512.123456Z-4242-7","type":"change",
//    "time":"2026-12-09T15:45:12.123Z","user":"ALICE",
//    "destinations":[{"destination":"HOSTA","outcome":"changed",
//                     "returnCode":0,"verdict":"Password changed
//                     successfully."}],
//    "source":"127.0.0.1","operation":"7"}
//
// "destinations" is a list: a change that reaches several hosts names each
// with its own outcome. A hold's destination has "seconds"; a release's
// event has "by" (who released it: "administrator" for tarpons -release,
// "change" for a change the host made while the account was held). "operation"
// is the session's id as the gateway's log names it ("Session id(7)"); "id" is
// the event's own, unique within the machine, so that a hook told twice can
// tell.
//
// A front end's change to several destinations is one operation of several
// requests, each answered by its host: its change events carry "parts" (how
// many requests the operation makes, 2 or more) and are handed on as one,
// which names every destination that answered (see EventSink), so that the
// owner hears of one change once.
#ifndef TARPON_EVENTS_EVENT_H_
#define TARPON_EVENTS_EVENT_H_

#include <chrono>
#include <string>
#include <vector>

// What happened at one destination.
struct EventDestination {
  std::string name;
  std::string outcome;  // "changed", "refused", "held", "released"
  int returnCode = 0;   // a change's engine return code
  std::string verdict;  // a change's text, one line
  int seconds = 0;      // a hold's length
};

struct Event {
  std::string id;
  std::string type;  // "change", "hold", "release"
  std::chrono::system_clock::time_point time;
  std::string user;
  std::vector<EventDestination> destinations;
  std::string source;     // the client's address; may be empty
  std::string operation;  // the session's id in the log; may be empty
  std::string by;         // a release's author; may be empty
  int parts = 0;          // a change's: its operation's requests, or 0
};

// What delivery needs to know of a spooled event's text: the group of a
// change that is one part of several ("" for any other event), the parts
// of its operation, and whether its verdict is one after which no other
// part is asked (the user ID or the current password not right: the front
// end then asks no other host).
struct EventGroup {
  std::string key;  // the operation and the user ID
  int parts = 0;
  bool sparesTheRest = false;
};
EventGroup GroupOf(const std::string& json);

// The texts of the change events of one operation as one event: the first
// one's, naming every destination of each in turn.
std::string MergedEvent(const std::vector<std::string>& jsons);

// Who released a hold, a release event's "by".
constexpr char kReleasedByAdministrator[] =
    "administrator";                            // tarpons -release
constexpr char kReleasedByChange[] = "change";  // a change the host made

// A release of user's hold at host by by (its time and id still unset).
Event ReleaseEvent(const std::string& user, const std::string& host,
                   const std::string& by);

// The event's JSON text, one line without a line end.
std::string EventJson(const Event& event);

// A fresh id: the time in UTC to the microsecond, the process id and a
// counter of the process, so that ids sort as the events were made. Safe
// from any thread.
std::string NewEventId(std::chrono::system_clock::time_point time);

// The time as "2026-12-09T15:45:12.123Z" (UTC, milliseconds).
std::string UtcTimeText(std::chrono::system_clock::time_point time);

// The first line of text that is not blank, trimmed, cut to at most
// maxLength bytes: what a verdict or a hook's output becomes in an event
// or the log.
std::string OneLine(const std::string& text, size_t maxLength);

#endif  // TARPON_EVENTS_EVENT_H_
