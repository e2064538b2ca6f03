#include "events/event_sink.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

#include "comm/signal_block.h"

namespace {

using Clock = std::chrono::steady_clock;

// Log lines kept while no log is set.
constexpr size_t kKeptLines = 1000;
// For this long after an event was queued the writer looks for more every
// kLazyWrite instead of waiting to be woken.
constexpr auto kAwakeWindow = std::chrono::seconds(1);
constexpr auto kLazyWrite = std::chrono::milliseconds(5);
// The most events written before the folder is synced for them.
constexpr size_t kWriteBatch = 64;
// The longest verdict an event keeps.
constexpr size_t kVerdictLength = 200;
// How often the writer looks for events other processes wrote (an
// administrator's release), and every how many looks it lists a folder
// whose time has not changed.
constexpr auto kSpoolScan = std::chrono::seconds(1);
constexpr int kFullScanEvery = 10;

// A hook's words: the program and any arguments, split at white space.
std::vector<std::string> Words(const std::string& command) {
  std::istringstream in(command);
  std::vector<std::string> words;
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

// text with every copy of secret in it replaced by "****".
std::string Masked(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (size_t at = text.find(secret); at != std::string::npos;
       at = text.find(secret, at)) {
    text.replace(at, secret.size(), "****");
  }
  return text;
}

// The sink's threads, and the hooks they start, yield the cores to the
// answers: on a busy machine an event waits, never a change. Linux keeps a
// nice value for each thread, and a child starts with its thread's.
constexpr int kNiceness = 10;
void YieldToAnswers() {
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kNiceness);
}

void Add(Counter* counter) {
  if (counter != nullptr) counter->Increment();
}

}  // namespace

// One delivery: a spooled event (id) or a sync event (its fields).
struct EventSink::Job {
  bool sync = false;
  std::string id;    // the spool's id, or a sync event's own
  std::string what;  // for the log: "change ALICE" or "user ALICE at HOSTA"
  std::string user, destination, operation;
  Secret password;
  int attempt = 0;
  std::vector<bool> done;  // per hook
  Clock::time_point due;
  uint64_t order = 0;
  // A part of an operation of several (EventGroup); once others are taken
  // into it, the spool's ids of them all, its own first.
  EventGroup group;
  std::vector<std::string> parts;

  std::vector<std::string> Ids() const {
    return parts.empty() ? std::vector<std::string>{id} : parts;
  }
};

EventSink::EventSink(EventSettings settings, EventMetrics metrics)
    : settings_(std::move(settings)),
      metrics_(metrics),
      spool_(settings_.spoolFolder, settings_.spoolLimits) {}

EventSink::~EventSink() { Stop(); }

bool EventSink::Start(std::string* error) {
  std::vector<std::unique_ptr<Job>> waiting;
  if (HasEventHooks()) {
    if (!spool_.Open(error)) return false;
    for (const std::string& id : spool_.List()) {
      waiting.push_back(SpooledJob(id));
    }
    if (!waiting.empty()) {
      Log("TARPON SERVER " + std::to_string(waiting.size()) +
          " events wait in the spool " + spool_.GetFolder());
    }
    UpdateDepth();
  }
  nextScan_ = Clock::now() + kSpoolScan;
  MutexLock lock(&mutex_);
  for (auto& job : waiting) Queue(std::move(job));
  started_ = true;
  // Signals are the gateway loop's: no thread of the sink takes one.
  SignalBlock blocked;
  writer_ = std::thread([this] {
    YieldToAnswers();
    WriteEvents();
  });
  for (int i = 0; i < std::max(1, settings_.concurrency); ++i) {
    deliverers_.emplace_back([this] {
      YieldToAnswers();
      Deliver();
    });
  }
  return true;
}

void EventSink::Stop() {
  {
    MutexLock lock(&mutex_);
    if (!started_ || stopping_) return;
    stopping_ = true;
  }
  changed_.notify_all();
  intakeReady_.notify_all();
  // The writer writes every event accepted before it ends.
  writer_.join();
  {
    MutexLock lock(&mutex_);
    const auto until = Clock::now() + settings_.stopGrace;
    while (running_ != 0 &&
           idle_.wait_until(lock.Unique(), until) != std::cv_status::timeout) {
    }
  }
  cancel_ = true;
  changed_.notify_all();
  for (std::thread& thread : deliverers_) thread.join();
  deliverers_.clear();
  size_t spooled = 0;
  MutexLock lock(&mutex_);
  for (auto& job : jobs_) {
    if (!job->sync) {
      spooled += job->Ids().size();
      continue;
    }
    Log("TARPON SERVER stopping: sync event for " + job->what +
        (job->operation.empty() ? "" : " (operation " + job->operation + ")") +
        " not delivered");
  }
  jobs_.clear();
  if (spooled > 0) {
    Log("TARPON SERVER stopping: " + std::to_string(spooled) +
        " events left in the spool " + spool_.GetFolder() +
        " for the next start");
  }
}

void EventSink::SetLog(LogFunction log) {
  MutexLock lock(&logMutex_);
  log_ = std::move(log);
  if (!log_) return;
  for (const std::string& line : keptLines_) log_(line);
  keptLines_.clear();
}

std::vector<std::string> EventSink::TakeLogLines() {
  MutexLock lock(&logMutex_);
  std::vector<std::string> lines(keptLines_.begin(), keptLines_.end());
  keptLines_.clear();
  return lines;
}

void EventSink::Log(const std::string& line) {
  MutexLock lock(&logMutex_);
  if (log_) {
    log_(line);
    return;
  }
  if (keptLines_.size() >= kKeptLines) keptLines_.pop_front();
  keptLines_.push_back(line);
}

void EventSink::OnChange(const std::string& user,
                         const std::string& destination, int returnCode,
                         const std::string& verdict, const std::string& source,
                         const std::string& operationId, int parts) {
  Event event;
  event.type = "change";
  event.user = user;
  EventDestination reached;
  reached.name = destination;
  reached.outcome = returnCode == 0 ? "changed" : "refused";
  reached.returnCode = returnCode;
  reached.verdict = OneLine(verdict, kVerdictLength);
  event.destinations.push_back(reached);
  event.source = source;
  event.operation = operationId;
  event.parts = operationId.empty() || parts < 2 ? 0 : parts;
  Submit(std::move(event));
}

void EventSink::OnHold(const std::string& user, const std::string& host,
                       int seconds, const std::string& source,
                       const std::string& operationId) {
  Event event;
  event.type = "hold";
  event.user = user;
  EventDestination held;
  held.name = host;
  held.outcome = "held";
  held.seconds = seconds;
  event.destinations.push_back(held);
  event.source = source;
  event.operation = operationId;
  Submit(std::move(event));
}

void EventSink::OnRelease(const std::string& user, const std::string& host,
                          const std::string& by,
                          const std::string& operationId) {
  Event event = ReleaseEvent(user, host, by);
  event.operation = operationId;
  Submit(std::move(event));
}

void EventSink::Submit(Event event) {
  if (!HasEventHooks()) return;
  if (event.time == std::chrono::system_clock::time_point()) {
    event.time = std::chrono::system_clock::now();
  }
  if (event.id.empty()) event.id = NewEventId(event.time);
  {
    MutexLock lock(&mutex_);
    if (!stopping_ && intake_.size() < settings_.maxQueued) {
      intake_.push_back(std::move(event));
      lastIntake_ = Clock::now();
      // A writer that looks again soon is not woken: the wake would cost
      // the change's thread more than the answer it is about to send.
      if (writerAsleep_) intakeReady_.notify_one();
      return;
    }
  }
  Add(metrics_.dropped);
  Log("TARPON SERVER event " + event.id + " (" + event.type + " " + event.user +
      ") not written: " + std::to_string(settings_.maxQueued) +
      " events wait to be written");
}

void EventSink::OnSync(const std::string& user, const std::string& destination,
                       Secret newPassword, const std::string& operationId) {
  if (!HasSyncHooks()) return;
  auto job = std::make_unique<Job>();
  job->sync = true;
  job->what = "user " + user + " at " + destination;
  job->user = user;
  job->destination = destination;
  job->password = std::move(newPassword);
  job->operation = operationId;
  job->done.assign(settings_.syncHooks.size(), false);
  job->due = Clock::now();
  MutexLock lock(&mutex_);
  const bool stopping = stopping_;
  if (!stopping && syncWaiting_ < settings_.maxQueued) {
    job->order = nextOrder_++;
    job->id = "sync-" + std::to_string(job->order);
    ++syncWaiting_;
    jobs_.push_back(std::move(job));
    changed_.notify_one();
    return;
  }
  lock.Unlock();
  Log("TARPON SERVER sync event for " + job->what + " (operation " +
      operationId + ") not delivered: " +
      (stopping ? std::string("the gateway is stopping")
                : std::to_string(settings_.maxQueued) + " sync events wait"));
}

void EventSink::WriteEvents() {
  for (;;) {
    std::vector<Event> batch;
    {
      MutexLock lock(&mutex_);
      // One wait at most: the loop comes round again.
      if (stopping_ || !intake_.empty()) {
      } else if (Clock::now() - lastIntake_ < kAwakeWindow) {
        intakeReady_.wait_for(lock.Unique(), kLazyWrite);
      } else {
        writerAsleep_ = true;
        // Awake at least once a scan, for what other processes write.
        if (HasEventHooks()) {
          intakeReady_.wait_until(lock.Unique(), nextScan_);
        } else {
          intakeReady_.wait(lock.Unique());
        }
        writerAsleep_ = false;
      }
      if (stopping_ && intake_.empty()) return;
      // What waits is written together, the folder synced once for all.
      while (!intake_.empty() && batch.size() < kWriteBatch) {
        batch.push_back(std::move(intake_.front()));
        intake_.pop_front();
      }
    }
    if (!batch.empty()) WriteBatch(batch);
    if (HasEventHooks() && Clock::now() >= nextScan_) ScanSpool();
  }
}

void EventSink::WriteBatch(const std::vector<Event>& batch) {
  std::vector<std::unique_ptr<Job>> written;
  for (const Event& event : batch) {
    if (WriteEvent(event)) written.push_back(JobOf(event));
  }
  std::string error;
  if (!written.empty() && !spool_.SyncFolder(&error)) {
    Log("TARPON SERVER event spool " + spool_.GetFolder() +
        " not synced: " + error);
  }
  UpdateDepth();
  MutexLock lock(&mutex_);
  for (auto& job : written) Queue(std::move(job));
}

void EventSink::Queue(std::unique_ptr<Job> job) {
  job->order = nextOrder_++;
  if (!job->sync) spooled_.insert(job->id);
  jobs_.push_back(std::move(job));
  if (!jobs_.back()->group.key.empty()) Gather(*jobs_.back());
  changed_.notify_one();
}

void EventSink::Gather(const Job& job) {
  std::vector<Job*> waiting;
  size_t count = 0;
  for (auto& other : jobs_) {
    if (other->group.key != job.group.key) continue;
    waiting.push_back(other.get());
    count += other->Ids().size();
  }
  const bool whole = count >= static_cast<size_t>(job.group.parts) ||
                     (count == 1 && job.group.sparesTheRest);
  const Clock::time_point due =
      whole ? Clock::now() : Clock::now() + settings_.gatherWindow;
  for (Job* part : waiting) {
    if (part->attempt == 0) part->due = due;  // a retry keeps its delay
  }
}

void EventSink::TakeParts(Job* job) {
  std::vector<std::unique_ptr<Job>> others;
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    if ((*it)->group.key == job->group.key) {
      others.push_back(std::move(*it));
      it = jobs_.erase(it);
    } else {
      ++it;
    }
  }
  if (others.empty()) return;
  std::sort(others.begin(), others.end(),
            [](const auto& a, const auto& b) { return a->order < b->order; });
  std::vector<std::string> ids = job->Ids();
  for (auto& other : others) {
    for (const std::string& id : other->Ids()) ids.push_back(id);
    job->attempt = std::max(job->attempt, other->attempt);
    for (size_t i = 0; i < job->done.size(); ++i) {
      job->done[i] = job->done[i] && other->done[i];
    }
  }
  job->parts = std::move(ids);
  job->what = "event " + job->id + " (change " +
              job->group.key.substr(job->group.key.find('\n') + 1) + ", " +
              std::to_string(job->parts.size()) + " parts)";
}

// On the writer's thread, which alone adds the events it writes: a file
// not among the events known is another process's.
void EventSink::ScanSpool() {
  nextScan_ = Clock::now() + kSpoolScan;
  struct stat status;
  if (stat(spool_.GetFolder().c_str(), &status) != 0) return;
  // A folder unchanged since the last look is listed again only now and
  // then, in case its time did not move (a coarse clock).
  const bool changed = status.st_mtim.tv_sec != folderTime_.tv_sec ||
                       status.st_mtim.tv_nsec != folderTime_.tv_nsec;
  if (!changed && ++quietScans_ < kFullScanEvery) return;
  quietScans_ = 0;
  folderTime_ = status.st_mtim;
  std::vector<std::string> ids = spool_.List();
  spool_.Recount();
  UpdateDepth();
  size_t found = 0;
  {
    MutexLock lock(&mutex_);
    for (const std::string& id : ids) {
      if (spooled_.count(id) != 0) continue;
      Queue(SpooledJob(id));
      ++found;
    }
  }
  if (found > 0) {
    Log("TARPON SERVER " + std::to_string(found) +
        " events came into the spool " + spool_.GetFolder());
  }
}

std::unique_ptr<EventSink::Job> EventSink::SpooledJob(
    const std::string& id) const {
  auto job = std::make_unique<Job>();
  job->id = id;
  job->what = "event " + id;
  job->done.assign(settings_.eventHooks.size(), false);
  job->due = Clock::now();
  std::string text;
  if (spool_.Read(id, &text)) job->group = GroupOf(text);
  return job;
}

bool EventSink::WriteEvent(const Event& event) {
  std::string error;
  Spool::WriteResult result =
      spool_.Write(event.id, EventJson(event), &error, false);
  if (result == Spool::WriteResult::kWritten) {
    Add(metrics_.written);
    return true;
  }
  Add(metrics_.dropped);
  Log("TARPON SERVER event " + event.id + " (" + event.type + " " + event.user +
      ") not written: " +
      (result == Spool::WriteResult::kFull
           ? "the spool " + spool_.GetFolder() + " is full (" +
                 std::to_string(spool_.GetDepth()) + " events)"
           : error));
  return false;
}

std::unique_ptr<EventSink::Job> EventSink::JobOf(const Event& event) const {
  auto job = std::make_unique<Job>();
  job->id = event.id;
  job->what = "event " + event.id + " (" + event.type + " " + event.user + ")";
  job->done.assign(settings_.eventHooks.size(), false);
  job->due = Clock::now();
  if (event.parts > 1 && event.type == "change") {
    job->group = GroupOf(EventJson(event));
  }
  return job;
}

void EventSink::Deliver() {
  for (;;) {
    MutexLock lock(&mutex_);
    std::unique_ptr<Job> job;
    while (!job) {
      if (stopping_) return;
      auto next = std::min_element(
          jobs_.begin(), jobs_.end(), [](const auto& a, const auto& b) {
            return a->due != b->due ? a->due < b->due : a->order < b->order;
          });
      if (next == jobs_.end()) {
        changed_.wait(lock.Unique());
      } else if ((*next)->due > Clock::now()) {
        changed_.wait_until(lock.Unique(), (*next)->due);
      } else {
        job = std::move(*next);
        jobs_.erase(next);
        if (!job->group.key.empty()) TakeParts(job.get());
      }
    }
    ++running_;
    lock.Unlock();
    bool delivered = RunHooks(job.get());
    Finish(std::move(job), delivered);
    lock.Lock();
    --running_;
    idle_.notify_all();
  }
}

bool EventSink::RunHooks(Job* job) {
  const std::vector<std::string>& hooks =
      job->sync ? settings_.syncHooks : settings_.eventHooks;
  Secret input;
  if (!ReadInput(job, &input)) {
    Log("TARPON SERVER " + job->what + " is no longer in the spool");
    return true;
  }
  bool all = true;
  for (size_t i = 0; i < hooks.size(); ++i) {
    if (job->done[i]) continue;
    if (cancel_) {
      all = false;
      break;
    }
    HookResult result = RunHook(Words(hooks[i]), input.Text(),
                                settings_.hookDeadline, &cancel_);
    if (metrics_.hookSeconds != nullptr && result.started) {
      metrics_.hookSeconds->Observe(result.seconds);
    }
    job->done[i] = result.Succeeded();
    all = all && job->done[i];
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", result.seconds);
    std::string output = Masked(result.output, job->password.Text());
    Log(std::string("TARPON SERVER ") + (job->sync ? "sync hook " : "hook ") +
        hooks[i] + ", " + job->what +
        (job->sync && !job->operation.empty()
             ? " (operation " + job->operation + ")"
             : "") +
        ": " + result.Describe() + " in " + seconds + " s" +
        (output.empty() ? "" : ": " + output));
  }
  return all;
}

bool EventSink::ReadInput(Job* job, Secret* input) {
  std::string& text = *input->Writable();
  if (job->sync) {
    text.reserve(job->user.size() + job->destination.size() +
                 job->password.size() + 3);
    text.append(job->user).append("\n").append(job->destination);
    text.append("\n").append(job->password.Text()).append("\n");
    return true;
  }
  if (job->parts.empty()) {
    if (!spool_.Read(job->id, &text)) return false;
  } else {
    std::vector<std::string> events;
    for (const std::string& id : job->parts) {
      std::string one;
      if (spool_.Read(id, &one)) events.push_back(std::move(one));
    }
    text = MergedEvent(events);
    if (text.empty()) return false;
  }
  text.push_back('\n');
  return true;
}

void EventSink::Finish(std::unique_ptr<Job> job, bool delivered) {
  if (delivered) {
    if (job->sync) {
      MutexLock lock(&mutex_);
      --syncWaiting_;
    } else {
      for (const std::string& id : job->Ids()) {
        spool_.Remove(id);
        Forget(id);
        Add(metrics_.delivered);
      }
      UpdateDepth();
    }
    return;
  }
  // Killed by a stop: the try does not count, and the event stays.
  if (!cancel_) ++job->attempt;
  if (job->attempt >= settings_.maxAttempts) {
    Log("TARPON SERVER " + job->what + " given up after " +
        std::to_string(job->attempt) + " tries" +
        (job->sync ? std::string() : ", kept in " + spool_.FailedFolder()));
    if (job->sync) {
      MutexLock lock(&mutex_);
      --syncWaiting_;
    } else {
      for (const std::string& id : job->Ids()) {
        spool_.GiveUp(id);
        Forget(id);
      }
      UpdateDepth();
    }
    Add(metrics_.givenUp);
    return;
  }
  if (!cancel_) Add(metrics_.retried);
  job->due = Clock::now() + RetryDelay(job->attempt);
  MutexLock lock(&mutex_);
  jobs_.push_back(std::move(job));
  changed_.notify_one();
}

// After the file went: a scan that finds it no more adds nothing.
void EventSink::Forget(const std::string& id) {
  MutexLock lock(&mutex_);
  spooled_.erase(id);
}

std::chrono::milliseconds EventSink::RetryDelay(int attempt) const {
  std::chrono::milliseconds delay = settings_.firstRetry;
  for (int i = 1; i < attempt && delay < settings_.longestRetry; ++i) {
    delay *= 2;
  }
  return std::min(delay, settings_.longestRetry);
}

void EventSink::UpdateDepth() {
  if (metrics_.spoolDepth != nullptr) {
    metrics_.spoolDepth->Set(static_cast<int64_t>(spool_.GetDepth()));
  }
}

bool SpoolEventBeside(const std::string& folder, const SpoolLimits& limits,
                      Event event, std::string* error) {
  Spool spool(folder, limits);
  if (!spool.Join(error)) return false;
  event.time = std::chrono::system_clock::now();
  event.id = NewEventId(event.time);
  switch (spool.Write(event.id, EventJson(event), error)) {
    case Spool::WriteResult::kWritten:
      return true;
    case Spool::WriteResult::kFull:
      *error = "the spool " + folder + " is full (" +
               std::to_string(spool.GetDepth()) + " events)";
      return false;
    case Spool::WriteResult::kFailed:
      break;
  }
  return false;
}
