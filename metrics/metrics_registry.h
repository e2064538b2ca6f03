// Counters, gauges and histograms that many threads update without a lock,
// kept in a registry that renders them in the Prometheus text exposition
// format (version 0.0.4).
//
// Threading: metrics are registered first, from one thread, before any
// thread updates or renders them; from then on Increment, Set, Observe and
// Render may be called from any thread at any time. An update is one or two
// relaxed atomic operations and never blocks. Render reads each value once,
// so a scrape taken during updates shows each value as it was at some
// moment of the scrape, not all of them at one moment.
#ifndef TARPON_METRICS_METRICS_REGISTRY_H_
#define TARPON_METRICS_METRICS_REGISTRY_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A count that only goes up.
class Counter {
 public:
  void Increment(uint64_t n = 1) {
    value_.fetch_add(n, std::memory_order_relaxed);
  }
  uint64_t Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// A level that goes up and down.
class Gauge {
 public:
  void Set(int64_t value) { value_.store(value, std::memory_order_relaxed); }
  void Add(int64_t n) { value_.fetch_add(n, std::memory_order_relaxed); }
  void Increment() { Add(1); }
  void Decrement() { Add(-1); }
  int64_t Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> value_{0};
};

// Observations counted into fixed buckets, each bucket holding the values
// up to and including its upper bound, plus the sum of all values.
class Histogram {
 public:
  // upperBounds: ascending and finite; the bucket "+Inf" is added.
  explicit Histogram(std::vector<double> upperBounds);

  void Observe(double value);

  const std::vector<double>& upperBounds() const { return upperBounds_; }
  // The observations in bucket i alone (not cumulative); the last bucket,
  // at upperBounds().size(), holds those above every bound.
  uint64_t BucketCount(size_t i) const {
    return buckets_[i].load(std::memory_order_relaxed);
  }
  double Sum() const { return sum_.load(std::memory_order_relaxed); }

 private:
  std::vector<double> upperBounds_;
  std::unique_ptr<std::atomic<uint64_t>[]> buckets_;
  std::atomic<double> sum_{0};
};

// Counters that differ in the value of one label, the values fixed when the
// family is registered (so an update finds its counter without a lookup).
class CounterFamily {
 public:
  CounterFamily(std::string label, const std::vector<std::string>& values);

  // The counter for a label value given at registration; nullptr for any
  // other value. Meant for set-up: look up once, then keep the pointer.
  Counter* Get(const std::string& value);

  const std::string& label() const { return label_; }
  size_t size() const { return values_.size(); }
  const std::string& value(size_t i) const { return values_[i]; }
  const Counter& counter(size_t i) const { return counters_[i]; }

 private:
  std::string label_;
  std::vector<std::string> values_;
  std::unique_ptr<Counter[]> counters_;
};

class MetricsRegistry {
 public:
  MetricsRegistry();
  ~MetricsRegistry();
  MetricsRegistry(const MetricsRegistry&) = delete;
  MetricsRegistry& operator=(const MetricsRegistry&) = delete;

  // Each call registers a metric named name (Prometheus naming: [a-zA-Z_:]
  // then [a-zA-Z0-9_:], counters ending in _total) with a line of help, and
  // returns it; the registry owns it and it lives as long as the registry.
  // Names are not checked: registering one name twice renders it twice.
  Counter* AddCounter(const std::string& name, const std::string& help);
  CounterFamily* AddCounterFamily(const std::string& name,
                                  const std::string& help,
                                  const std::string& label,
                                  const std::vector<std::string>& values);
  Gauge* AddGauge(const std::string& name, const std::string& help);
  Histogram* AddHistogram(const std::string& name, const std::string& help,
                          std::vector<double> upperBounds);
  // A gauge fixed at 1 whose one label carries the information, such as
  // tarpons_build_info{version="2.0"} 1.
  void AddInfo(const std::string& name, const std::string& help,
               const std::string& label, const std::string& value);
  // A value read when the registry renders (on the rendering thread), as
  // a gauge or, with counter, a counter: what the process measures of
  // itself.
  void AddReading(const std::string& name, const std::string& help,
                  bool counter, std::function<double()> read);

  // Every metric in the order of registration, as the text exposition
  // format has it: "# HELP", "# TYPE" and the samples, each line ending in
  // "\n". Label values and help texts are escaped.
  std::string Render() const;

 private:
  struct Entry;
  Entry* Add(int kind, const std::string& name, const std::string& help);

  std::vector<std::unique_ptr<Entry>> entries_;
};

#endif  // TARPON_METRICS_METRICS_REGISTRY_H_
