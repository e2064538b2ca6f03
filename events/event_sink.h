// Where the gateway's events go: each is written to the spool (synced)
// and then handed to every -on-event hook, removed once all of them took
// it. Successful changes are also handed, with the new password, to the
// -on-change-sync hooks, from memory only.
//
// Delivery is at least once: a hook that fails (an exit status other than
// 0, its deadline passed) is run again for that event after a delay that
// doubles from firstRetry up to longestRetry; after maxAttempts the event
// is given up on (moved to the spool's "failed" folder). A hook that
// succeeded for an event is not run again for it while the gateway runs;
// after a restart, every hook is run again for what the spool holds.
// Events are delivered oldest first, several hooks at once (concurrency),
// so a later event may reach a hook before an earlier one that is retried.
//
// The On* calls never wait for a disk or a hook: they queue the event in
// memory and return; within a second of the last event they do not even
// wake the writer, which then looks for events every 5 ms. A full queue or
// spool drops the event, logged and counted. Stop writes every event accepted
// so far to the spool, lets the hooks that run finish within stopGrace, kills
// the rest, and logs each sync event not delivered (without its password); the
// spool keeps what was not delivered for the next start.
//
// The change events of an operation of several parts (Event::parts) are
// handed on as one (MergedEvent): when every part is in the spool, or when
// the first is a verdict after which no other is asked, at once; otherwise
// gatherWindow after the latest part came. A part that comes after the
// others were handed on is handed on alone. Each part keeps its own file
// until the one event is delivered.
//
// Events other processes write into the spool (SpoolEventBeside: an
// administrator's release) are found by the writer, which looks at the
// folder once a second, and delivered as the sink's own.
//
// Threads: one writer and `concurrency` delivery threads of its own (at a
// nice value of 10, which the hooks inherit); the
// On* calls, SetLog and TakeLogLines are safe from any thread; Start and
// Stop from the owner's.
#ifndef TARPON_EVENTS_EVENT_SINK_H_
#define TARPON_EVENTS_EVENT_SINK_H_

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "contract/secret.h"
#include "contract/thread_annotations.h"
#include "events/event.h"
#include "events/hook_process.h"
#include "events/spool.h"
#include "metrics/metrics_registry.h"

// What the sink counts; any pointer may be null.
struct EventMetrics {
  Counter* written = nullptr;        // events written to the spool
  Counter* delivered = nullptr;      // events every hook took
  Counter* retried = nullptr;        // deliveries tried again
  Counter* givenUp = nullptr;        // events given up on
  Counter* dropped = nullptr;        // events not written: queue or spool full
  Gauge* spoolDepth = nullptr;       // events in the spool
  Histogram* hookSeconds = nullptr;  // each hook run, in seconds
};

struct EventSettings {
  std::string spoolFolder;
  SpoolLimits spoolLimits;
  std::vector<std::string> eventHooks;  // -on-event programs
  std::vector<std::string> syncHooks;   // -on-change-sync programs
  int concurrency = 4;
  std::chrono::milliseconds hookDeadline{30000};
  std::chrono::milliseconds firstRetry{1000};
  std::chrono::milliseconds longestRetry{300000};
  int maxAttempts = 10;
  // Events accepted and not yet written, and sync events waiting.
  size_t maxQueued = 1024;
  std::chrono::milliseconds stopGrace{2000};
  // How long the parts of an operation wait for the rest: longer than a
  // front end's exchange with the gateway.
  std::chrono::milliseconds gatherWindow{60000};
};

class EventSink {
 public:
  using LogFunction = std::function<void(const std::string&)>;

  EventSink(EventSettings settings, EventMetrics metrics);
  // Stops, if Start was called.
  ~EventSink();
  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;

  // Opens the spool (when there are -on-event hooks), queues what it holds
  // and starts the threads; false with the reason in *error when the spool
  // cannot be used (nothing is started then).
  bool Start(std::string* error);
  void Stop();

  // Where log lines go (each without time stamp or line end); the call is
  // made on the sink's threads and must not wait. Null: lines are kept
  // (the last 1000) until TakeLogLines, or until a log is set, which
  // gets them first.
  void SetLog(LogFunction log);
  std::vector<std::string> TakeLogLines();

  bool HasEventHooks() const { return !settings_.eventHooks.empty(); }
  bool HasSyncHooks() const { return !settings_.syncHooks.empty(); }

  // A change a host answered at destination: "changed" when returnCode is
  // 0, else "refused", with verdict (the engine's text; its first line is
  // kept). parts: how many requests the operation makes, when several (see
  // Event::parts).
  void OnChange(const std::string& user, const std::string& destination,
                int returnCode, const std::string& verdict,
                const std::string& source, const std::string& operationId,
                int parts = 0);
  // Changes of user at host held back for seconds (-1: until a success or
  // a release).
  void OnHold(const std::string& user, const std::string& host, int seconds,
              const std::string& source, const std::string& operationId);
  // A hold of user at host released by by (see ReleaseEvent).
  void OnRelease(const std::string& user, const std::string& host,
                 const std::string& by, const std::string& operationId = "");
  // Any event (id and time are set when empty).
  void Submit(Event event);
  // A successful change for the sync hooks; the new password is wiped with
  // its job, or at once when none takes it.
  void OnSync(const std::string& user, const std::string& destination,
              Secret newPassword, const std::string& operationId);

 private:
  struct Job;
  void WriteEvents();
  void WriteBatch(const std::vector<Event>& batch);
  // Takes a job into jobs_.
  void Queue(std::unique_ptr<Job> job) TARPON_REQUIRES(mutex_);
  // Sets when the parts of job's operation that wait are due.
  void Gather(const Job& job) TARPON_REQUIRES(mutex_);
  // Takes the other parts of job's operation that wait into job.
  void TakeParts(Job* job) TARPON_REQUIRES(mutex_);
  // The text a job hands its hooks; false when none of its events is left.
  bool ReadInput(Job* job, Secret* input);
  // Adds the spool's events that no job stands for: what another process
  // wrote there.
  void ScanSpool();
  std::unique_ptr<Job> SpooledJob(const std::string& id) const;
  void Forget(const std::string& id);
  // Writes one event of a batch (the folder not synced); false, logged
  // and counted, when it was not written.
  bool WriteEvent(const Event& event);
  std::unique_ptr<Job> JobOf(const Event& event) const;
  void Deliver();
  // Runs the hooks that have not yet taken job; true when all have.
  bool RunHooks(Job* job);
  void Finish(std::unique_ptr<Job> job, bool delivered);
  std::chrono::milliseconds RetryDelay(int attempt) const;
  void Log(const std::string& line);
  void UpdateDepth();

  const EventSettings settings_;
  const EventMetrics metrics_;
  Spool spool_;
  Mutex mutex_;
  // Each wakes only the threads that wait for it: a change's thread that
  // queues an event wakes the writer alone.
  std::condition_variable intakeReady_;  // the writer's: intake_
  std::condition_variable changed_;      // the deliverers': jobs_, stopping_
  std::condition_variable idle_;         // Stop's: running_
  // Accepted, not yet written.
  std::deque<Event> intake_ TARPON_GUARDED_BY(mutex_);
  // Waiting for their hooks.
  std::vector<std::unique_ptr<Job>> jobs_ TARPON_GUARDED_BY(mutex_);
  // The spool's events that have a job, waiting or running.
  std::set<std::string> spooled_ TARPON_GUARDED_BY(mutex_);
  size_t syncWaiting_ TARPON_GUARDED_BY(mutex_) = 0;
  // When the last event was queued, and whether the writer waits to be
  // woken (it does only once no event came for a while).
  std::chrono::steady_clock::time_point lastIntake_ TARPON_GUARDED_BY(mutex_);
  bool writerAsleep_ TARPON_GUARDED_BY(mutex_) = false;
  // The writer's own: when it next looks into the spool, and what it saw.
  std::chrono::steady_clock::time_point nextScan_;
  timespec folderTime_{};
  int quietScans_ = 0;
  uint64_t nextOrder_ TARPON_GUARDED_BY(mutex_) = 0;
  int running_ TARPON_GUARDED_BY(mutex_) = 0;  // jobs a delivery thread has
  bool started_ TARPON_GUARDED_BY(mutex_) = false;
  bool stopping_ TARPON_GUARDED_BY(mutex_) = false;
  std::atomic<bool> cancel_{false};
  std::thread writer_;
  std::vector<std::thread> deliverers_;
  Mutex logMutex_;
  LogFunction log_ TARPON_GUARDED_BY(logMutex_);
  std::deque<std::string> keptLines_ TARPON_GUARDED_BY(logMutex_);
};

// Writes event (its id and time set here) into the spool folder of a
// sink that runs in another process, or will at its next start: whole and
// synced, as the sink writes its own; the sink finds it within seconds
// (see EventSink). False with the reason in *error (the spool full, the
// folder not usable).
bool SpoolEventBeside(const std::string& folder, const SpoolLimits& limits,
                      Event event, std::string* error);

#endif  // TARPON_EVENTS_EVENT_SINK_H_
