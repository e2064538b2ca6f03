#include "gateway/shared_state.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <cstdlib>
#include <fstream>

namespace {

constexpr int kRetryMs = 1000;

// The rule of account_limit.h, on the server's clock. KEYS[1] the account;
// ARGV op ("check", "fail", "ok"), count, window, hold, max hold (seconds).
// For a source's penalty, the rule of gateway_limits.h: "peek" answers the
// seconds left without a change, "sfail" counts a failed sign-on and starts
// a penalty at count, doubling when it follows another within max.
const char kScript[] = R"(
local key = KEYS[1]
local op = ARGV[1]
if op == 'ok' then redis.call('DEL', key) return 0 end
local count = tonumber(ARGV[2])
local window = tonumber(ARGV[3]) * 1000
local base = tonumber(ARGV[4])
local max = tonumber(ARGV[5])
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local r = redis.call('HMGET', key, 'n', 'first', 'end', 'hold')
local n = tonumber(r[1]) or 0
local first = tonumber(r[2]) or 0
local hend = tonumber(r[3]) or 0
local hold = tonumber(r[4]) or 0
local seconds = 0
if op == 'peek' then
  if now >= hend then return 0 end
  return math.floor((hend - now + 999) / 1000)
elseif op == 'sfail' then
  if now < hend then return 0 end
  if n == 0 or now - first > window then n = 0 first = now end
  n = n + 1
  if n >= count then
    if hold > 0 and now - hend < max * 1000 then
      seconds = math.min(hold * 2, max)
    else
      seconds = base
    end
    n = 0 hold = seconds hend = now + seconds * 1000
  end
elseif op == 'check' then
  if now >= hend then return 0 end
  hold = math.min(hold * 2, max)
  hend = math.max(hend, now + hold * 1000)
  seconds = math.floor((hend - now + 999) / 1000)
elseif now < hend then
  return 0
else
  if hold > 0 then
    seconds = math.min(hold * 2, max)
  else
    if n == 0 or now - first > window then n = 0 first = now end
    n = n + 1
    if n >= count then seconds = base end
  end
  if seconds > 0 then n = 0 hold = seconds hend = now + seconds * 1000 end
end
local forget = 0
if n > 0 then forget = first + window end
if hold > 0 then forget = math.max(forget, hend + max * 1000) end
redis.call('HSET', key, 'n', n, 'first', first, 'end', hend, 'hold', hold)
redis.call('PEXPIREAT', key, forget)
return seconds
)";

timeval Deadline(int ms) {
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

// Frees a reply when it goes out of scope.
struct Reply {
  explicit Reply(void* reply) : r(static_cast<redisReply*>(reply)) {}
  ~Reply() {
    if (r != nullptr) freeReplyObject(r);
  }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  bool IsError() const { return r == nullptr || r->type == REDIS_REPLY_ERROR; }
  redisReply* r;
};

bool ParsePositive(const std::string& text, int largest, int* value) {
  if (text.empty() || text.size() > 6 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  int n = std::atoi(text.c_str());
  if (n > largest) return false;
  *value = n;
  return true;
}

}  // namespace

bool ParseSharedStateUrl(const std::string& text, SharedStateAddress* address) {
  static const char kScheme[] = "redis://";
  if (text.compare(0, sizeof kScheme - 1, kScheme) != 0) return false;
  std::string rest = text.substr(sizeof kScheme - 1);
  SharedStateAddress parsed = *address;
  size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    if (!ParsePositive(rest.substr(slash + 1), 15, &parsed.database)) {
      return false;
    }
    rest.resize(slash);
  }
  std::string port;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string::npos) return false;
    parsed.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return false;
      port = rest.substr(close + 2);
      if (port.empty()) return false;
    }
  } else {
    size_t colon = rest.find(':');
    parsed.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port = rest.substr(colon + 1);
      if (port.empty()) return false;
    }
  }
  if (parsed.host.empty() ||
      parsed.host.find_first_of(" \t@/[]") != std::string::npos) {
    return false;
  }
  if (!port.empty() &&
      (!ParsePositive(port, 65535, &parsed.port) || parsed.port == 0)) {
    return false;
  }
  *address = parsed;
  return true;
}

bool ReadSharedStatePassword(const std::string& path,
                             SharedStateAddress* address, std::string* why) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) {
    *why = "cannot read " + path;
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    *why = path + " holds no password on its first line";
    return false;
  }
  address->password = line;
  return true;
}

SharedAccountStore::SharedAccountStore(const SharedStateAddress& address,
                                       const AccountLimits& limits,
                                       const AccountLimits& penalties,
                                       const Clock& clock)
    : address_(address),
      limits_(limits),
      penalties_(penalties),
      clock_(clock),
      memory_(limits, clock) {}

SharedAccountStore::~SharedAccountStore() {
  if (context_ != nullptr) redisFree(context_);
}

bool SharedAccountStore::Connect(std::string* why) {
  context_ = redisConnectWithTimeout(address_.host.c_str(), address_.port,
                                     Deadline(address_.deadlineMs));
  if (context_ == nullptr || context_->err != 0) {
    *why = context_ != nullptr ? context_->errstr : "out of memory";
    return false;
  }
  redisSetTimeout(context_, Deadline(address_.deadlineMs));
  if (!address_.password.empty()) {
    Reply auth(redisCommand(context_, "AUTH %s", address_.password.c_str()));
    if (auth.IsError()) {
      *why = auth.r != nullptr ? std::string("AUTH: ") + auth.r->str
                               : context_->errstr;
      return false;
    }
  }
  if (address_.database != 0) {
    Reply select(redisCommand(context_, "SELECT %d", address_.database));
    if (select.IsError()) {
      *why = select.r != nullptr ? std::string("SELECT: ") + select.r->str
                                 : context_->errstr;
      return false;
    }
  }
  Reply load(redisCommand(context_, "SCRIPT LOAD %s", kScript));
  if (load.IsError() || load.r->type != REDIS_REPLY_STRING) {
    *why = load.r != nullptr && load.r->str != nullptr
               ? std::string("SCRIPT LOAD: ") + load.r->str
               : context_->errstr;
    return false;
  }
  sha_ = load.r->str;
  return true;
}

void SharedAccountStore::Drop(const std::string& why) {
  if (context_ != nullptr) redisFree(context_);
  context_ = nullptr;
  nextTryMs_ = clock_.NowMs() + kRetryMs;
  if (!down_) {
    down_ = true;
    ++fallbacks_;
    notes_.push_back("TARPON SERVER shared state redis://" + address_.host +
                     ":" + std::to_string(address_.port) + " failed (" + why +
                     "): counting in memory until it answers");
  }
}

long long SharedAccountStore::Script(const char* op, const std::string& key,
                                     const AccountLimits& limits) {
  if (context_ == nullptr) {
    if (clock_.NowMs() < nextTryMs_) return -1;
    std::string why;
    if (!Connect(&why)) {
      Drop(why);
      return -1;
    }
  }
  const std::string fullKey = address_.prefix + key;
  const std::string count = std::to_string(limits.count);
  const std::string window = std::to_string(limits.windowSeconds);
  const std::string hold = std::to_string(limits.holdSeconds);
  const std::string max = std::to_string(limits.maxHoldSeconds);
  const char* argv[] = {"EVALSHA",       sha_.c_str(), "1",
                        fullKey.c_str(), op,           count.c_str(),
                        window.c_str(),  hold.c_str(), max.c_str()};
  Reply reply(redisCommandArgv(context_, 9, argv, nullptr));
  if (reply.r == nullptr || reply.r->type != REDIS_REPLY_INTEGER) {
    Drop(reply.r != nullptr && reply.r->str != nullptr ? reply.r->str
                                                       : context_->errstr);
    return -1;
  }
  if (down_) {
    down_ = false;
    notes_.push_back("TARPON SERVER shared state redis://" + address_.host +
                     ":" + std::to_string(address_.port) +
                     " answers again: counting there");
  }
  return reply.r->integer;
}

int SharedAccountStore::Check(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  long long seconds = Script("check", "account:" + key, limits_);
  // Memory may hold a hold from a spell without the store.
  if (seconds > 0) return static_cast<int>(seconds);
  return memory_.Check(key);
}

int SharedAccountStore::RecordFailure(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  long long seconds = Script("fail", "account:" + key, limits_);
  return seconds >= 0 ? static_cast<int>(seconds) : memory_.RecordFailure(key);
}

bool SharedAccountStore::RecordSuccess(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Memory may hold counts from a spell without the store.
  memory_.RecordSuccess(key);
  return Script("ok", "account:" + key, limits_) >= 0;
}

int SharedAccountStore::SourcePenalty(const std::string& source) {
  if (!penalties_.IsOn() || source.empty()) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  long long seconds = Script("peek", "source:" + source, penalties_);
  return seconds > 0 ? static_cast<int>(seconds) : 0;
}

int SharedAccountStore::RecordSourceFailure(const std::string& source) {
  if (!penalties_.IsOn() || source.empty()) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  long long seconds = Script("sfail", "source:" + source, penalties_);
  return seconds > 0 ? static_cast<int>(seconds) : 0;
}

std::vector<std::string> SharedAccountStore::TakeNotes() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> notes;
  notes.swap(notes_);
  return notes;
}

uint64_t SharedAccountStore::GetFallbacks() {
  std::lock_guard<std::mutex> lock(mutex_);
  return fallbacks_;
}

bool SharedAccountStore::IsUsingStore() {
  std::lock_guard<std::mutex> lock(mutex_);
  return context_ != nullptr;
}
