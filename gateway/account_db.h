// The limit per account's counts in a state file of this gateway's own, an
// SQLite database, so that a restart or a crash forgets nothing: each call
// is one transaction (the write-ahead log, synced at checkpoints: a killed
// process loses nothing; a power failure at most the last moments). Times
// are the wall clock's, which a restart keeps. Several processes may open
// one file (an administrator's -held and -release beside the gateway);
// several gateways should each name their own.
#ifndef TARPON_GATEWAY_ACCOUNT_DB_H_
#define TARPON_GATEWAY_ACCOUNT_DB_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm/clock.h"
#include "contract/thread_annotations.h"
#include "gateway/account_limit.h"

struct sqlite3;
struct sqlite3_stmt;

class FileAccountStore : public AccountStore {
 public:
  // Opens (or makes, mode 0600) the file at path; null with the reason in
  // *why when it cannot be used. clock must outlive the store.
  static std::unique_ptr<FileAccountStore> Open(const std::string& path,
                                                const AccountLimits& limits,
                                                const Clock& clock,
                                                std::string* why);
  ~FileAccountStore() override;
  FileAccountStore(const FileAccountStore&) = delete;
  FileAccountStore& operator=(const FileAccountStore&) = delete;

  Answer Reserve(const AccountTry& attempt) override;
  Answer Settle(const std::string& key, int64_t token, TryOutcome outcome,
                const std::string& label,
                const std::string& sourceTag) override;
  std::vector<HeldAccount> ListHeld() override;
  bool Release(const std::string& name) override;
  int CountOf(const std::string& key) override;
  bool Mirror(const std::string& key, int failures) override;

 private:
  FileAccountStore(sqlite3* db, const AccountLimits& limits,
                   const Clock& clock);
  bool Prepare(std::string* why) TARPON_REQUIRES(mutex_);
  bool Load(const std::string& key, AccountRecord* record)
      TARPON_REQUIRES(mutex_);
  bool Save(const std::string& key, const AccountRecord& record)
      TARPON_REQUIRES(mutex_);
  bool Begin() TARPON_REQUIRES(mutex_);
  bool Commit(bool ok) TARPON_REQUIRES(mutex_);

  Mutex mutex_;
  sqlite3* db_ TARPON_PT_GUARDED_BY(mutex_);
  HoldPolicy policy_;
  const Clock& clock_;
  sqlite3_stmt* select_ TARPON_GUARDED_BY(mutex_) = nullptr;
  sqlite3_stmt* upsert_ TARPON_GUARDED_BY(mutex_) = nullptr;
  sqlite3_stmt* erase_ TARPON_GUARDED_BY(mutex_) = nullptr;
  sqlite3_stmt* begin_ TARPON_GUARDED_BY(mutex_) = nullptr;
  sqlite3_stmt* commit_ TARPON_GUARDED_BY(mutex_) = nullptr;
  sqlite3_stmt* rollback_ TARPON_GUARDED_BY(mutex_) = nullptr;
};

#endif  // TARPON_GATEWAY_ACCOUNT_DB_H_
