// The gateway as a systemd service: notifications to the service manager
// (Type=notify) and the priority prefixes of lines sent to the journal.
//
// The notifications go to the socket named by NOTIFY_SOCKET, which systemd
// sets for the service's main process; without it each call does nothing.
// A notification that cannot be sent is dropped: the service goes on as it
// would without systemd. Safe to call from any thread.
#ifndef TARPON_GATEWAY_SERVICE_NOTIFY_H_
#define TARPON_GATEWAY_SERVICE_NOTIFY_H_

#include <string>

// Start-up is complete (the listener listens) or a reload has ended:
// READY=1, with status as the text `systemctl status` shows.
void NotifyReady(const std::string& status);
// A reload (SIGHUP) has begun: RELOADING=1 with the monotonic time; call
// NotifyReady when it has ended, whether or not it succeeded.
void NotifyReloading();
// What else the gateway reads again on SIGHUP: NotifyReloading calls hook
// (nullptr: none) on its own thread first, with or without systemd.
void SetReloadHook(void (*hook)());

// The service is shutting down (SIGTERM, SIGINT): STOPPING=1.
void NotifyStopping();

// True when descriptor fd is the stream that systemd connected to the
// journal: JOURNAL_STREAM names its device and inode ("<dev>:<inode>").
// A descriptor redirected elsewhere by a child's shell no longer matches.
bool IsJournalStream(int fd);

// "<3>" (error) and "<4>" (warning) when standard error goes to the
// journal, which then files the line under that priority; "" otherwise, so
// that a line reads the same byte for byte outside systemd. Decided once,
// at the first call.
const char* ErrorPrefix();
const char* WarningPrefix();

#endif  // TARPON_GATEWAY_SERVICE_NOTIFY_H_
