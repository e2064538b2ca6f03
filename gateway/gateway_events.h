// What the gateway tells its event sink (events/event_sink.h) about one
// run of the engine: a change the host answered, a hold that the run's
// notes say began, and, for a change made, the sync event with the new
// password read from the request's options. Safe from any thread; never
// waits (the sink only queues).
#ifndef TARPON_GATEWAY_GATEWAY_EVENTS_H_
#define TARPON_GATEWAY_GATEWAY_EVENTS_H_

#include <string>

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

// Reports run, made from options (a request's text, which holds its
// passwords: only the new one is taken, and handed on to the sink's sync
// hooks) for the client at source in the session sessionId.
void ReportEngineRun(EventSink* sink, const std::string& options,
                     const EngineRun& run, const std::string& source,
                     int sessionId);

#endif  // TARPON_GATEWAY_GATEWAY_EVENTS_H_
