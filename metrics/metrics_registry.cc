#include "metrics/metrics_registry.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

Histogram::Histogram(std::vector<double> upperBounds)
    : upperBounds_(std::move(upperBounds)),
      buckets_(new std::atomic<uint64_t>[upperBounds_.size() + 1]) {
  for (size_t i = 0; i <= upperBounds_.size(); ++i) buckets_[i] = 0;
}

void Histogram::Observe(double value) {
  // A bucket holds the values up to and including its bound.
  size_t i = std::lower_bound(upperBounds_.begin(), upperBounds_.end(), value) -
             upperBounds_.begin();
  buckets_[i].fetch_add(1, std::memory_order_relaxed);
  // No fetch_add for a double before C++20; this loop retries only when
  // another thread added in between.
  double sum = sum_.load(std::memory_order_relaxed);
  while (!sum_.compare_exchange_weak(sum, sum + value,
                                     std::memory_order_relaxed)) {
  }
}

CounterFamily::CounterFamily(std::string label,
                             const std::vector<std::string>& values)
    : label_(std::move(label)),
      values_(values),
      counters_(new Counter[values.size()]) {}

Counter* CounterFamily::Get(const std::string& value) {
  for (size_t i = 0; i < values_.size(); ++i) {
    if (values_[i] == value) return &counters_[i];
  }
  return nullptr;
}

struct MetricsRegistry::Entry {
  enum Kind { kCounter, kFamily, kGauge, kHistogram, kInfo, kReading };
  Kind kind;
  std::string name;
  std::string help;
  std::unique_ptr<Counter> counter;
  std::unique_ptr<CounterFamily> family;
  std::unique_ptr<Gauge> gauge;
  std::unique_ptr<Histogram> histogram;
  std::string infoLabel;
  std::string infoValue;
  bool readingIsCounter = false;
  std::function<double()> read;
};

MetricsRegistry::MetricsRegistry() = default;
MetricsRegistry::~MetricsRegistry() = default;

namespace {

// Help texts escape the backslash and the line end; label values the
// double quote as well.
std::string Escape(const std::string& text, bool quote) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quote) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

// The shortest decimal that reads back as the same double, without an
// exponent: bucket bounds read as written ("0.0005", "10").
std::string FormatDouble(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[400];
  auto result =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  return std::string(text, result.ptr);
}

void AppendHeader(const std::string& name, const std::string& help,
                  const char* type, std::string* out) {
  *out += "# HELP " + name + " " + Escape(help, false) + "\n";
  *out += "# TYPE " + name + " " + type + "\n";
}

std::string Label(const std::string& label, const std::string& value) {
  return "{" + label + "=\"" + Escape(value, true) + "\"}";
}

void AppendHistogram(const std::string& name, const Histogram& histogram,
                     std::string* out) {
  const std::vector<double>& bounds = histogram.upperBounds();
  uint64_t cumulative = 0;
  for (size_t i = 0; i <= bounds.size(); ++i) {
    cumulative += histogram.BucketCount(i);
    std::string le = i < bounds.size() ? FormatDouble(bounds[i]) : "+Inf";
    *out += name + "_bucket" + Label("le", le) + " " +
            std::to_string(cumulative) + "\n";
  }
  // _count is the +Inf bucket as read above, so the two always agree.
  *out += name + "_sum " + FormatDouble(histogram.Sum()) + "\n";
  *out += name + "_count " + std::to_string(cumulative) + "\n";
}

}  // namespace

MetricsRegistry::Entry* MetricsRegistry::Add(int kind, const std::string& name,
                                             const std::string& help) {
  entries_.push_back(std::make_unique<Entry>());
  Entry* entry = entries_.back().get();
  entry->kind = static_cast<Entry::Kind>(kind);
  entry->name = name;
  entry->help = help;
  return entry;
}

Counter* MetricsRegistry::AddCounter(const std::string& name,
                                     const std::string& help) {
  Entry* entry = Add(Entry::kCounter, name, help);
  entry->counter = std::make_unique<Counter>();
  return entry->counter.get();
}

CounterFamily* MetricsRegistry::AddCounterFamily(
    const std::string& name, const std::string& help, const std::string& label,
    const std::vector<std::string>& values) {
  Entry* entry = Add(Entry::kFamily, name, help);
  entry->family = std::make_unique<CounterFamily>(label, values);
  return entry->family.get();
}

Gauge* MetricsRegistry::AddGauge(const std::string& name,
                                 const std::string& help) {
  Entry* entry = Add(Entry::kGauge, name, help);
  entry->gauge = std::make_unique<Gauge>();
  return entry->gauge.get();
}

Histogram* MetricsRegistry::AddHistogram(const std::string& name,
                                         const std::string& help,
                                         std::vector<double> upperBounds) {
  Entry* entry = Add(Entry::kHistogram, name, help);
  entry->histogram = std::make_unique<Histogram>(std::move(upperBounds));
  return entry->histogram.get();
}

void MetricsRegistry::AddInfo(const std::string& name, const std::string& help,
                              const std::string& label,
                              const std::string& value) {
  Entry* entry = Add(Entry::kInfo, name, help);
  entry->infoLabel = label;
  entry->infoValue = value;
}

void MetricsRegistry::AddReading(const std::string& name,
                                 const std::string& help, bool counter,
                                 std::function<double()> read) {
  Entry* entry = Add(Entry::kReading, name, help);
  entry->readingIsCounter = counter;
  entry->read = std::move(read);
}

std::string MetricsRegistry::Render() const {
  std::string out;
  for (const std::unique_ptr<Entry>& e : entries_) {
    const std::string& name = e->name;
    switch (e->kind) {
      case Entry::kCounter:
        AppendHeader(name, e->help, "counter", &out);
        out += name + " " + std::to_string(e->counter->Value()) + "\n";
        break;
      case Entry::kFamily:
        AppendHeader(name, e->help, "counter", &out);
        for (size_t i = 0; i < e->family->size(); ++i) {
          out += name + Label(e->family->label(), e->family->value(i)) + " " +
                 std::to_string(e->family->counter(i).Value()) + "\n";
        }
        break;
      case Entry::kGauge:
        AppendHeader(name, e->help, "gauge", &out);
        out += name + " " + std::to_string(e->gauge->Value()) + "\n";
        break;
      case Entry::kHistogram:
        AppendHeader(name, e->help, "histogram", &out);
        AppendHistogram(name, *e->histogram, &out);
        break;
      case Entry::kInfo:
        AppendHeader(name, e->help, "gauge", &out);
        out += name + Label(e->infoLabel, e->infoValue) + " 1\n";
        break;
      case Entry::kReading:
        AppendHeader(name, e->help, e->readingIsCounter ? "counter" : "gauge",
                     &out);
        out += name + " " + FormatDouble(e->read()) + "\n";
        break;
    }
  }
  return out;
}
