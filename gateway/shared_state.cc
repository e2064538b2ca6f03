#include "gateway/shared_state.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <cstdlib>
#include <fstream>

namespace {

constexpr int kRetryMs = 1000;

// The hold rule of gateway/hold_policy.h and the account step of
// gateway/account_limit.h, function for function: one call, atomic.
// KEYS[1] the record; ARGV: op, then the policy (count, window, hold, max
// in seconds, the owner's tries), the gateway's wall clock in ms (the
// gateways' clocks agree to well within a second), then the op's own:
// "reserve" source tag, owner device (0/1), weight, lease ms, the
// least count (what this gateway counted while the store was away): {held
// ms, token, failures, seconds of a hold an earlier try's lapsed lease
// started}; "settle" token, outcome (failed, changed, neutral),
// label, source tag: {hold started, released (0/1), failures, strangers'
// hold started in ms (0: none)}; "release": {1, 0, 0};
// "held": {held ms, failures, label}; for a source's penalty, "sfail"
// counts a failure: {hold started, 0, failures}; "peek" {seconds left}.
const char kScript[] = R"(
local K = 9007199254740992
local key, op = KEYS[1], ARGV[1]
local p = {count = tonumber(ARGV[2]), window = tonumber(ARGV[3]) * 1000,
  hold = tonumber(ARGV[4]), max = tonumber(ARGV[5]), owner = tonumber(ARGV[6])}
local now = tonumber(ARGV[7])
local names = {'f', 'of', 'lf', 'he', 'lhs', 'lhe', 'pu', 'pw', 'po'}
local r = redis.call('HMGET', key, 'f', 'of', 'lf', 'he', 'lhs', 'lhe', 'pu',
  'pw', 'po', 'label', 'owner')
local s = {}
for i, name in ipairs(names) do s[name] = tonumber(r[i]) or 0 end
local label, owner = r[10] or '', r[11] or ''
local function start_hold()
  if p.hold == 0 then s.he = K return -1 end
  local seconds = p.hold
  if s.lhs > 0 and now - s.lhe < p.max * 1000 then
    seconds = math.min(s.lhs * 2, p.max)
  end
  s.lhs = seconds s.he = now + seconds * 1000 s.lhe = s.he
  return seconds
end
local function count_failure(is_owner, weight)
  if p.count == 0 then return 0 end
  if p.window > 0 and s.he == 0 and now - s.lf >= p.window then
    s.f = 0 s.of = 0
  end
  s.f = s.f + weight
  if is_owner then s.of = s.of + weight end
  s.lf = now
  if s.he ~= 0 or s.f < p.count then return 0 end
  return start_hold()
end
-- A timed hold that ended, and a count the window forgot, are cleared.
local function expire()
  if s.he ~= 0 and s.he ~= K and now >= s.he then s.he = 0 s.f = 0 s.of = 0 end
  if p.window > 0 and s.he == 0 and s.f > 0 and now - s.lf >= p.window then
    s.f = 0 s.of = 0
  end
end
local lapsed = 0
local function advance()
  if s.pu ~= 0 and now >= s.pu then
    local o, w = s.po == 1, math.max(s.pw, 1)
    s.pu = 0 s.pw = 0 s.po = 0
    lapsed = count_failure(o, w)
  end
  expire()
end
local function fits(is_owner, weight)
  if s.f + weight > p.count then return false end
  if is_owner then return true end
  return s.f - s.of + weight <= p.count - p.owner
end
local function held_for(is_owner)
  if s.he == K then return K end
  if s.he > now then return s.he - now end
  if not fits(is_owner, 1) then
    if p.window > 0 then return s.lf + p.window - now end
    return K
  end
  if s.pu > now then return s.pu - now end
  return 0
end
-- How long strangers' tries are held back, the try in flight aside: on a
-- copy advanced to now, as a reserve would find it.
local function strangers_held()
  local saved, tries = {}, p.owner
  for _, name in ipairs(names) do saved[name] = s[name] end
  if owner == '' then p.owner = 0 end
  s.pu = 0
  expire()
  local held = 0
  if s.f > 0 then held = held_for(false) end
  for _, name in ipairs(names) do s[name] = saved[name] end
  p.owner = tries
  return held
end
local function clear()
  s.f = 0 s.of = 0 s.lf = 0 s.he = 0 s.lhs = 0 s.lhe = 0
end
local function forgotten()
  if s.pu ~= 0 or s.he > now then return false end
  if s.f > 0 and (p.window == 0 or now - s.lf < p.window) then return false end
  return s.lhs == 0 or now - s.lhe >= p.max * 1000
end
local function save()
  if forgotten() and owner == '' then redis.call('DEL', key) return end
  local args = {}
  for _, name in ipairs(names) do
    args[#args + 1] = name args[#args + 1] = string.format('%d', s[name])
  end
  redis.call('HSET', key, 'label', label, 'owner', owner, unpack(args))
  if p.hold > 0 and s.pu == 0 and owner == '' then
    redis.call('PEXPIREAT', key,
      math.max(s.lf + p.window, s.lhe + p.max * 1000, s.he, now + 1))
  else
    redis.call('PERSIST', key)
  end
end
local answer = 0
if op == 'peek' then
  if now >= s.he then return {0} end
  return {math.floor((s.he - now + 999) / 1000)}
elseif op == 'held' then
  advance()
  return {held_for(false), s.f, label}
elseif op == 'release' then
  if redis.call('EXISTS', key) == 0 then return {0, 0, 0} end
  clear() save() return {1, 0, 0}
elseif op == 'sfail' then
  advance()
  answer = count_failure(false, 1)
elseif op == 'reserve' then
  if owner == '' then p.owner = 0 end
  advance()
  local floor = tonumber(ARGV[12]) or 0
  if floor > s.f then s.f = floor s.lf = now end
  local is_owner = ARGV[9] == '1' or (owner ~= '' and owner == ARGV[8])
  local weight, lease = tonumber(ARGV[10]), math.max(tonumber(ARGV[11]), 1)
  local held = held_for(is_owner)
  if held == 0 and not fits(is_owner, weight) then
    if p.window > 0 then held = p.window else held = K end
  end
  local token = 0
  if held == 0 then
    s.pu = now + lease s.pw = weight token = s.pu
    if is_owner then s.po = 1 else s.po = 0 end
  end
  save()
  return {held, token, s.f, lapsed}
elseif op == 'settle' then
  local token, outcome = tonumber(ARGV[8]), ARGV[9]
  local before = strangers_held()
  if ARGV[10] ~= '' then label = ARGV[10] end
  if outcome == 'changed' and ARGV[11] ~= '' then owner = ARGV[11] end
  local current = token ~= 0 and s.pu == token
  local o, w = s.po == 1, math.max(s.pw, 1)
  if current then s.pu = 0 s.pw = 0 s.po = 0 end
  if outcome == 'changed' then clear()
  elseif outcome == 'failed' and current then answer = count_failure(o, w) end
  local released, strangers = 0, 0
  if outcome == 'changed' and before ~= 0 then released = 1 end
  if outcome == 'failed' and answer == 0 and before == 0 then
    strangers = strangers_held()
  end
  save()
  return {answer, released, s.f, strangers}
end
save()
return {answer, 0, s.f}
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

namespace {

const char* OutcomeName(TryOutcome outcome) {
  switch (outcome) {
    case TryOutcome::kFailed:
      return "failed";
    case TryOutcome::kChanged:
      return "changed";
    case TryOutcome::kNeutral:
      break;
  }
  return "neutral";
}

}  // namespace

SharedAccountStore::SharedAccountStore(const SharedStateAddress& address,
                                       const AccountLimits& limits,
                                       const HoldPolicy& penalties,
                                       AccountStore& local, int gateways,
                                       const Clock& clock)
    : address_(address),
      policy_(limits.policy),
      penalties_(penalties),
      local_(local),
      gateways_(gateways < 1 ? 1 : gateways),
      clock_(clock) {}

SharedAccountStore::~SharedAccountStore() {
  MutexLock lock(&mutex_);
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
                     "): counting in this gateway's own store until it "
                     "answers");
  }
}

bool SharedAccountStore::Script(const std::string& key,
                                const HoldPolicy& policy,
                                const std::vector<std::string>& args,
                                redisReply** reply) {
  if (context_ == nullptr) {
    if (clock_.NowMs() < nextTryMs_) return false;
    std::string why;
    if (!Connect(&why)) {
      Drop(why);
      return false;
    }
  }
  std::vector<std::string> words = {"EVALSHA",
                                    sha_,
                                    "1",
                                    address_.prefix + key,
                                    args[0],
                                    std::to_string(policy.count),
                                    std::to_string(policy.windowSeconds),
                                    std::to_string(policy.holdSeconds),
                                    std::to_string(policy.maxHoldSeconds),
                                    std::to_string(policy.ownerTries),
                                    std::to_string(clock_.NowMs())};
  words.insert(words.end(), args.begin() + 1, args.end());
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  for (const std::string& word : words) {
    argv.push_back(word.data());
    lengths.push_back(word.size());
  }
  void* answer = redisCommandArgv(context_, static_cast<int>(argv.size()),
                                  argv.data(), lengths.data());
  redisReply* r = static_cast<redisReply*>(answer);
  if (r == nullptr || r->type != REDIS_REPLY_ARRAY) {
    Drop(r != nullptr && r->str != nullptr ? r->str : context_->errstr);
    if (r != nullptr) freeReplyObject(r);
    return false;
  }
  if (down_) {
    down_ = false;
    notes_.push_back("TARPON SERVER shared state redis://" + address_.host +
                     ":" + std::to_string(address_.port) +
                     " answers again: counting there");
  }
  *reply = r;
  return true;
}

bool SharedAccountStore::Numbers(const std::string& key,
                                 const HoldPolicy& policy,
                                 const std::vector<std::string>& args,
                                 std::vector<long long>* numbers) {
  redisReply* raw = nullptr;
  if (!Script(key, policy, args, &raw)) return false;
  Reply reply(raw);
  for (size_t i = 0; i < raw->elements; ++i) {
    if (raw->element[i]->type != REDIS_REPLY_INTEGER) {
      Drop("an answer that is not a number");
      return false;
    }
    numbers->push_back(raw->element[i]->integer);
  }
  if (numbers->size() < 3 && args[0] != "peek") {
    Drop("a short answer");
    return false;
  }
  return !numbers->empty();
}

AccountStore::Answer SharedAccountStore::Reserve(const AccountTry& attempt) {
  MutexLock lock(&mutex_);
  auto owed = owed_.find(attempt.key);
  const int least = owed == owed_.end() ? 0 : owed->second;
  std::vector<long long> n;
  if (Numbers("account:" + attempt.key, policy_,
              {"reserve", attempt.sourceTag, attempt.ownerDevice ? "1" : "0",
               std::to_string(attempt.weight), std::to_string(attempt.leaseMs),
               std::to_string(least)},
              &n)) {
    Answer answer;
    answer.heldMs = n[0];
    answer.token = n[1];
    answer.failures = static_cast<int>(n[2]);
    if (n.size() > 3) answer.holdStarted = static_cast<int>(n[3]);
    if (owed != owed_.end()) owed_.erase(owed);
    local_.Mirror(attempt.key, answer.failures);
    return answer;
  }
  AccountTry weighed = attempt;
  weighed.weight = attempt.weight * gateways_;
  Answer answer = local_.Reserve(weighed);
  answer.token = -answer.token;
  return answer;
}

AccountStore::Answer SharedAccountStore::Settle(const std::string& key,
                                                int64_t token,
                                                TryOutcome outcome,
                                                const std::string& label,
                                                const std::string& sourceTag) {
  MutexLock lock(&mutex_);
  if (token < 0) {
    Answer local = local_.Settle(key, -token, outcome, label, sourceTag);
    // Redis takes what was counted here back when it answers again.
    if (outcome == TryOutcome::kChanged) {
      owed_.erase(key);
    } else if (outcome == TryOutcome::kFailed) {
      owed_[key] = local.failures;
    }
    return local;
  }
  std::vector<long long> n;
  Answer answer;
  if (Numbers("account:" + key, policy_,
              {"settle", std::to_string(token), OutcomeName(outcome), label,
               sourceTag},
              &n)) {
    answer.holdStarted = static_cast<int>(n[0]);
    answer.released = n[1] == 1;
    answer.failures = static_cast<int>(n[2]);
    if (n.size() > 3 && n[3] != 0) answer.strangersHeld = HeldSeconds(n[3]);
    if (outcome == TryOutcome::kChanged) {
      local_.Release(key);
    } else {
      local_.Mirror(key, answer.failures);
    }
    return answer;
  }
  // Lost on the way: the local store counts what Redis could not.
  if (outcome == TryOutcome::kFailed) {
    const int failures = local_.CountOf(key) + gateways_;
    local_.Mirror(key, failures);
    owed_[key] = failures;
  }
  answer.failed = true;
  return answer;
}

std::vector<std::string> SharedAccountStore::Keys() {
  std::vector<std::string> keys;
  const std::string pattern = address_.prefix + "account:*";
  const size_t skip = address_.prefix.size() + 8;
  std::string cursor = "0";
  // Bounded: a store of a million accounts takes at most this many pages.
  for (int page = 0; page < 100000 && context_ != nullptr; ++page) {
    Reply reply(redisCommand(context_, "SCAN %s MATCH %s COUNT 1000",
                             cursor.c_str(), pattern.c_str()));
    if (reply.IsError() || reply.r->type != REDIS_REPLY_ARRAY ||
        reply.r->elements != 2) {
      break;
    }
    cursor = reply.r->element[0]->str;
    const redisReply* found = reply.r->element[1];
    for (size_t i = 0; i < found->elements; ++i) {
      std::string key = found->element[i]->str;
      if (key.size() > skip) keys.push_back(key.substr(skip));
    }
    if (cursor == "0") break;
  }
  return keys;
}

std::vector<HeldAccount> SharedAccountStore::ListHeld() {
  MutexLock lock(&mutex_);
  std::vector<HeldAccount> held;
  redisReply* probe = nullptr;
  if (!Script("account:", policy_, {"peek"}, &probe)) return held;
  freeReplyObject(probe);
  for (const std::string& key : Keys()) {
    redisReply* raw = nullptr;
    if (!Script("account:" + key, policy_, {"held"}, &raw)) break;
    Reply reply(raw);
    if (raw->elements != 3 || raw->element[0]->type != REDIS_REPLY_INTEGER ||
        raw->element[0]->integer == 0 || raw->element[1]->integer == 0) {
      continue;
    }
    std::string label =
        raw->element[2]->type == REDIS_REPLY_STRING ? raw->element[2]->str : "";
    held.push_back({label.empty() ? key : label, raw->element[0]->integer,
                    static_cast<int>(raw->element[1]->integer)});
  }
  return held;
}

bool SharedAccountStore::Release(const std::string& name) {
  MutexLock lock(&mutex_);
  bool released = local_.Release(name);
  redisReply* probe = nullptr;
  if (!Script("account:", policy_, {"peek"}, &probe)) return released;
  freeReplyObject(probe);
  for (const std::string& key : Keys()) {
    Reply label(redisCommand(context_, "HGET %saccount:%s label",
                             address_.prefix.c_str(), key.c_str()));
    const bool named = key == name || (label.r != nullptr &&
                                       label.r->type == REDIS_REPLY_STRING &&
                                       name == label.r->str);
    if (!named) continue;
    std::vector<long long> n;
    released = Numbers("account:" + key, policy_, {"release"}, &n) || released;
    local_.Release(key);
  }
  return released;
}

int SharedAccountStore::SourcePenalty(const std::string& source) {
  if (!penalties_.IsOn() || source.empty()) return 0;
  MutexLock lock(&mutex_);
  std::vector<long long> n;
  if (!Numbers("source:" + source, penalties_, {"peek"}, &n)) return 0;
  return n[0] > 0 ? static_cast<int>(n[0]) : 0;
}

int SharedAccountStore::RecordSourceFailure(const std::string& source) {
  if (!penalties_.IsOn() || source.empty()) return 0;
  MutexLock lock(&mutex_);
  std::vector<long long> n;
  if (!Numbers("source:" + source, penalties_, {"sfail"}, &n)) return 0;
  return n[0] > 0 ? static_cast<int>(n[0]) : 0;
}

std::vector<std::string> SharedAccountStore::TakeNotes() {
  MutexLock lock(&mutex_);
  std::vector<std::string> notes;
  notes.swap(notes_);
  return notes;
}

uint64_t SharedAccountStore::GetFallbacks() {
  MutexLock lock(&mutex_);
  return fallbacks_;
}

bool SharedAccountStore::IsUsingStore() {
  MutexLock lock(&mutex_);
  return context_ != nullptr;
}

bool ShareAccountKey(const SharedStateAddress& address, std::string* key,
                     std::string* why) {
  AccountLimits limits;
  MemoryAccountStore none(limits, Clock::Steady());
  SharedAccountStore store(address, limits, HoldPolicy(), none, 1,
                           Clock::Steady());
  return store.ShareKey(key, why);
}

bool SharedAccountStore::ShareKey(std::string* key, std::string* why) {
  MutexLock lock(&mutex_);
  if (context_ == nullptr && !Connect(why)) return false;
  const std::string name = address_.prefix + "hashkey";
  Reply set(redisCommand(context_, "SET %b %b NX", name.data(), name.size(),
                         key->data(), key->size()));
  Reply get(redisCommand(context_, "GET %b", name.data(), name.size()));
  if (get.IsError() || get.r->type != REDIS_REPLY_STRING ||
      get.r->len != key->size()) {
    *why = get.r != nullptr && get.r->str != nullptr ? get.r->str
                                                     : "no key in the store";
    return false;
  }
  key->assign(get.r->str, get.r->len);
  return true;
}
