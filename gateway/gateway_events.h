// What the gateway tells its event sink (events/event_sink.h) about one
// run of the engine: a change the host answered, a hold that the run's
// notes say began or a change ended, and, for a change made, the sync
// event with the new password the engine's parse kept. Safe from any thread;
// never waits (the sink only queues).
#ifndef TARPON_GATEWAY_GATEWAY_EVENTS_H_
#define TARPON_GATEWAY_GATEWAY_EVENTS_H_

#include <string>

#include "contract/secret.h"
#include "events/event_sink.h"
#include "gateway/engine_runner.h"

// Whether rc is a host's answer to a change: made (0), or refused by the
// host (its status, or a request it found badly formatted).
bool IsHostAnswer(int rc);

// Reads a hold note of the account guard ("TARPON SERVER hold for user U
// at D after failed sign-ons: changes held back for N seconds", or "...
// held back until a success or a release", which gives -1); false when
// note is not one.
bool ReadHoldNote(const std::string& note, std::string* user,
                  std::string* destination, int* seconds);

// Reads the account guard's note of a hold a change ended ("TARPON SERVER
// hold for user U at D released by a change"); false when note is not one.
bool ReadReleaseNote(const std::string& note, std::string* user,
                     std::string* destination);

// What a conversation's job found before it ran, for its events: read
// once, by the engine's parse of the request.
struct EngineRunReport {
  std::string user;         // the user ID, upper-cased
  std::string destination;  // the destination as the request named it
  std::string source;       // the client's address
  std::string operation;    // the session's (GatewaySession::GetOperation)
  int parts = 0;            // the operation's requests, when several
  Secret newPassword;       // for the sync hooks only; empty without them
};

// Reports run: a change a host answered, the holds and releases its notes
// tell, and, for a change made, the sync event, which takes the new
// password (wiped with the report otherwise).
void ReportEngineRun(EventSink* sink, EngineRunReport* report,
                     const EngineRun& run);

// tarpons -release, which runs beside the gateway: the release of name
// ("USER@HOST", or "#" and a key for a user ID the host never recognised)
// by the administrator as an event in the spool that the gateway delivers,
// when events are wanted there (-on-event named, or the spool folder made
// by a gateway that has hooks). False with the reason in *error when it
// was wanted and not written.
bool SpoolReleaseEvent(const EventSettings& settings, const std::string& name,
                       std::string* error);

#endif  // TARPON_GATEWAY_GATEWAY_EVENTS_H_
