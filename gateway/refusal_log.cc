#include "gateway/refusal_log.h"

#include <iterator>
#include <limits>

namespace {

constexpr int64_t kShortestIntervalMs = 1000;

}  // namespace

RefusalLog::RefusalLog(int64_t intervalMs, size_t maxSources)
    : intervalMs_(intervalMs < kShortestIntervalMs ? kShortestIntervalMs
                                                   : intervalMs),
      maxSources_(maxSources < 1 ? 1 : maxSources) {}

std::vector<std::string> RefusalLog::Refuse(const std::string& address,
                                            RefusalKind kind,
                                            const std::string& reason,
                                            int64_t nowMs) {
  ++counts_[static_cast<int>(kind)];
  std::vector<std::string> lines = TakeDue(nowMs);
  auto found = byAddress_.find(address);
  if (found != byAddress_.end()) {
    ++found->second->unwritten;
  } else if (byAddress_.size() < maxSources_) {
    sources_.push_back(Source{address, nowMs, 0});
    byAddress_.emplace(address, std::prev(sources_.end()));
    lines.push_back("TARPON SERVER refused IP(" + address + "): " + reason);
  } else {
    if (others_ == 0) othersSinceMs_ = nowMs;
    ++others_;
  }
  return lines;
}

std::vector<std::string> RefusalLog::TakeDue(int64_t nowMs) {
  std::vector<std::string> lines;
  Take(nowMs - intervalMs_, nowMs, &lines);
  if (others_ > 0 && othersSinceMs_ <= nowMs - intervalMs_) {
    TakeOthers(nowMs, &lines);
  }
  return lines;
}

std::vector<std::string> RefusalLog::TakeAll(int64_t nowMs) {
  std::vector<std::string> lines;
  for (const Source& source : sources_) {
    if (source.unwritten > 0) {
      lines.push_back(
          Summary(source.address, source.unwritten, source.sinceMs, nowMs));
    }
  }
  sources_.clear();
  byAddress_.clear();
  if (others_ > 0) TakeOthers(nowMs, &lines);
  return lines;
}

int64_t RefusalLog::NextDueMs() const {
  int64_t due = std::numeric_limits<int64_t>::max();
  if (!sources_.empty()) due = sources_.front().sinceMs + intervalMs_;
  if (others_ > 0 && othersSinceMs_ + intervalMs_ < due) {
    due = othersSinceMs_ + intervalMs_;
  }
  return due;
}

uint64_t RefusalLog::GetTotal() const {
  uint64_t total = 0;
  for (uint64_t count : counts_) total += count;
  return total;
}

void RefusalLog::Take(int64_t untilMs, int64_t nowMs,
                      std::vector<std::string>* lines) {
  // A summarised source starts a new interval at nowMs, behind every other.
  while (!sources_.empty() && sources_.front().sinceMs <= untilMs) {
    Source& source = sources_.front();
    if (source.unwritten == 0) {
      byAddress_.erase(source.address);
      sources_.pop_front();
      continue;
    }
    lines->push_back(
        Summary(source.address, source.unwritten, source.sinceMs, nowMs));
    source.unwritten = 0;
    source.sinceMs = nowMs;
    sources_.splice(sources_.end(), sources_, sources_.begin());
  }
}

void RefusalLog::TakeOthers(int64_t nowMs, std::vector<std::string>* lines) {
  lines->push_back(Summary("other addresses", others_, othersSinceMs_, nowMs));
  others_ = 0;
}

std::string RefusalLog::Summary(const std::string& from, uint64_t count,
                                int64_t sinceMs, int64_t nowMs) const {
  return "TARPON SERVER refused " + std::to_string(count) + " connection" +
         (count == 1 ? "" : "s") + " from " + from + " in the last " +
         std::to_string((nowMs - sinceMs) / 1000) + " seconds";
}
