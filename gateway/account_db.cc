#include "gateway/account_db.h"

#include <sqlite3.h>
#include <sys/stat.h>

namespace {

constexpr char kSchema[] =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS accounts("
    " key TEXT PRIMARY KEY, label TEXT NOT NULL, owner TEXT NOT NULL,"
    " failures INTEGER NOT NULL, owner_failures INTEGER NOT NULL,"
    " last_failure_ms INTEGER NOT NULL, hold_end_ms INTEGER NOT NULL,"
    " last_hold_seconds INTEGER NOT NULL, last_hold_end_ms INTEGER NOT NULL,"
    " pending_until_ms INTEGER NOT NULL, pending_weight INTEGER NOT NULL,"
    " pending_owner INTEGER NOT NULL) WITHOUT ROWID;"
    "PRAGMA user_version=1;";
constexpr char kSelect[] =
    "SELECT label, owner, failures, owner_failures, last_failure_ms,"
    " hold_end_ms, last_hold_seconds, last_hold_end_ms, pending_until_ms,"
    " pending_weight, pending_owner FROM accounts WHERE key = ?1";
constexpr char kUpsert[] =
    "INSERT OR REPLACE INTO accounts VALUES"
    " (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";
constexpr char kErase[] = "DELETE FROM accounts WHERE key = ?1";
constexpr int kBusyMs = 2000;

std::string Column(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text == nullptr ? std::string() : reinterpret_cast<const char*>(text);
}

void BindText(sqlite3_stmt* statement, int at, const std::string& text) {
  sqlite3_bind_text(statement, at, text.data(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
}

}  // namespace

std::unique_ptr<FileAccountStore> FileAccountStore::Open(
    const std::string& path, const AccountLimits& limits, const Clock& clock,
    std::string* why) {
  sqlite3* db = nullptr;
  const mode_t mask = umask(077);
  const int opened = sqlite3_open_v2(
      path.c_str(), &db,
      // The store's own mutex orders every call.
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
      nullptr);
  umask(mask);
  if (opened != SQLITE_OK) {
    *why = path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "no memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyMs);
  std::unique_ptr<FileAccountStore> store(
      new FileAccountStore(db, limits, clock));
  MutexLock lock(&store->mutex_);
  if (!store->Prepare(why)) {
    *why = path + ": " + *why;
    return nullptr;
  }
  return store;
}

FileAccountStore::FileAccountStore(sqlite3* db, const AccountLimits& limits,
                                   const Clock& clock)
    : db_(db), policy_(limits.policy), clock_(clock) {}

FileAccountStore::~FileAccountStore() {
  MutexLock lock(&mutex_);
  sqlite3_finalize(select_);
  sqlite3_finalize(upsert_);
  sqlite3_finalize(erase_);
  sqlite3_finalize(begin_);
  sqlite3_finalize(commit_);
  sqlite3_finalize(rollback_);
  sqlite3_close(db_);
}

bool FileAccountStore::Prepare(std::string* why) {
  char* error = nullptr;
  if (sqlite3_exec(db_, kSchema, nullptr, nullptr, &error) != SQLITE_OK) {
    *why = error != nullptr ? error : "cannot make its table";
    sqlite3_free(error);
    return false;
  }
  if (sqlite3_prepare_v2(db_, kSelect, -1, &select_, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db_, kUpsert, -1, &upsert_, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db_, kErase, -1, &erase_, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db_, "BEGIN IMMEDIATE", -1, &begin_, nullptr) !=
          SQLITE_OK ||
      sqlite3_prepare_v2(db_, "COMMIT", -1, &commit_, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db_, "ROLLBACK", -1, &rollback_, nullptr) !=
          SQLITE_OK) {
    *why = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

bool FileAccountStore::Begin() {
  sqlite3_reset(begin_);
  return sqlite3_step(begin_) == SQLITE_DONE;
}

bool FileAccountStore::Commit(bool ok) {
  if (ok) {
    sqlite3_reset(commit_);
    if (sqlite3_step(commit_) == SQLITE_DONE) return true;
  }
  sqlite3_reset(rollback_);
  sqlite3_step(rollback_);
  return false;
}

bool FileAccountStore::Load(const std::string& key, AccountRecord* record) {
  sqlite3_reset(select_);
  BindText(select_, 1, key);
  const int step = sqlite3_step(select_);
  if (step != SQLITE_ROW) {
    sqlite3_reset(select_);
    return step == SQLITE_DONE;
  }
  record->label = Column(select_, 0);
  record->owner = Column(select_, 1);
  HoldState& h = record->hold;
  h.failures = sqlite3_column_int(select_, 2);
  h.ownerFailures = sqlite3_column_int(select_, 3);
  h.lastFailureMs = sqlite3_column_int64(select_, 4);
  h.holdEndMs = sqlite3_column_int64(select_, 5);
  h.lastHoldSeconds = sqlite3_column_int(select_, 6);
  h.lastHoldEndMs = sqlite3_column_int64(select_, 7);
  h.pendingUntilMs = sqlite3_column_int64(select_, 8);
  h.pendingWeight = sqlite3_column_int(select_, 9);
  h.pendingOwner = sqlite3_column_int(select_, 10) != 0;
  sqlite3_reset(select_);
  return true;
}

bool FileAccountStore::Save(const std::string& key,
                            const AccountRecord& record) {
  if (IsForgotten(policy_, record.hold, clock_.NowMs()) &&
      record.owner.empty()) {
    sqlite3_reset(erase_);
    BindText(erase_, 1, key);
    return sqlite3_step(erase_) == SQLITE_DONE;
  }
  const HoldState& h = record.hold;
  sqlite3_reset(upsert_);
  BindText(upsert_, 1, key);
  BindText(upsert_, 2, record.label);
  BindText(upsert_, 3, record.owner);
  const int64_t numbers[] = {
      h.failures,       h.ownerFailures,   h.lastFailureMs,
      h.holdEndMs,      h.lastHoldSeconds, h.lastHoldEndMs,
      h.pendingUntilMs, h.pendingWeight,   h.pendingOwner ? 1 : 0};
  for (int i = 0; i < 9; ++i) sqlite3_bind_int64(upsert_, 4 + i, numbers[i]);
  return sqlite3_step(upsert_) == SQLITE_DONE;
}

AccountStore::Answer FileAccountStore::Reserve(const AccountTry& attempt) {
  MutexLock lock(&mutex_);
  Answer answer;
  AccountRecord record;
  bool ok = Begin() && Load(attempt.key, &record);
  if (ok) {
    answer.heldMs = ReserveAccountTry(policy_, &record, attempt, clock_.NowMs(),
                                      &answer.holdStarted);
    answer.token = answer.heldMs == 0 ? record.hold.pendingUntilMs : 0;
    answer.failures = record.hold.failures;
    ok = Save(attempt.key, record);
  }
  answer.failed = !Commit(ok);
  return answer;
}

AccountStore::Answer FileAccountStore::Settle(const std::string& key,
                                              int64_t token, TryOutcome outcome,
                                              const std::string& label,
                                              const std::string& sourceTag) {
  MutexLock lock(&mutex_);
  Answer answer;
  AccountRecord record;
  bool ok = Begin() && Load(key, &record);
  if (ok) {
    StrangersHold held;
    answer.holdStarted =
        SettleAccountTry(policy_, &record, token, outcome, label, sourceTag,
                         clock_.NowMs(), &held);
    answer.released = held.released;
    answer.strangersHeld = held.started;
    answer.failures = record.hold.failures;
    ok = Save(key, record);
  }
  answer.failed = !Commit(ok);
  return answer;
}

int FileAccountStore::CountOf(const std::string& key) {
  MutexLock lock(&mutex_);
  AccountRecord record;
  return Load(key, &record) ? record.hold.failures : 0;
}

bool FileAccountStore::Mirror(const std::string& key, int failures) {
  MutexLock lock(&mutex_);
  AccountRecord record;
  bool ok = Begin() && Load(key, &record);
  if (ok && record.hold.failures != failures) {
    HoldState& hold = record.hold;
    hold.failures = failures;
    if (hold.ownerFailures > failures) hold.ownerFailures = failures;
    hold.lastFailureMs = clock_.NowMs();
    ok = Save(key, record);
  }
  return Commit(ok);
}

std::vector<HeldAccount> FileAccountStore::ListHeld() {
  MutexLock lock(&mutex_);
  std::vector<HeldAccount> held;
  sqlite3_stmt* all = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT key FROM accounts", -1, &all, nullptr) !=
      SQLITE_OK) {
    return held;
  }
  std::vector<std::string> keys;
  while (sqlite3_step(all) == SQLITE_ROW) keys.push_back(Column(all, 0));
  sqlite3_finalize(all);
  const int64_t now = clock_.NowMs();
  for (const std::string& key : keys) {
    AccountRecord record;
    if (Load(key, &record)) AddIfHeld(policy_, key, &record, now, &held);
  }
  return held;
}

bool FileAccountStore::Release(const std::string& name) {
  MutexLock lock(&mutex_);
  sqlite3_stmt* find = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "SELECT key FROM accounts WHERE key = ?1 OR "
                         "label = ?1",
                         -1, &find, nullptr) != SQLITE_OK) {
    return false;
  }
  BindText(find, 1, name);
  std::vector<std::string> keys;
  while (sqlite3_step(find) == SQLITE_ROW) keys.push_back(Column(find, 0));
  sqlite3_finalize(find);
  bool ok = !keys.empty() && Begin();
  for (const std::string& key : keys) {
    AccountRecord record;
    ok = ok && Load(key, &record);
    ClearHold(&record.hold);
    ok = ok && Save(key, record);
  }
  return !keys.empty() && Commit(ok);
}
