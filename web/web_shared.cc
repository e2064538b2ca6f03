#include "web/web_shared.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include "metrics/process_metrics.h"
#include "web/change_rules.h"

#ifndef TARPON_VERSION
#error "TARPON_VERSION is not defined"
#endif

const char kNotAUserId[] = "(not-a-user-id)";

namespace {

// The time now, UTC, as 2026-01-31T12:00:00Z.
std::string UtcNow() {
  std::time_t now = std::time(nullptr);
  std::tm parts;
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace

std::string ReadAsset(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return "";
  }
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

WebMetrics::WebMetrics(MetricsRegistry* registry) {
  std::vector<std::string> outcomes;
  for (const OutcomeRow& row : kOutcomes) outcomes.push_back(row.label);
  CounterFamily* family = registry->AddCounterFamily(
      "tarpon_web_changes_total", "Password change attempts by outcome.",
      "outcome", outcomes);
  for (size_t i = 0; i < changes.size(); ++i) {
    changes[i] = family->Get(outcomes[i]);
  }
  const char* causes[] = {"unreachable", "closed", "timeout", "tls"};
  family = registry->AddCounterFamily(
      "tarpon_web_gateway_errors_total",
      "Exchanges with the gateway that brought no answer, by cause.", "cause",
      {causes, causes + 4});
  for (size_t i = 1; i < gatewayErrors.size(); ++i) {
    gatewayErrors[i] = family->Get(causes[i - 1]);
  }
  const char* overall[] = {"all_changed", "partly_changed", "none_changed"};
  family = registry->AddCounterFamily(
      "tarpon_web_multi_changes_total",
      "Changes to several destinations in one request, by how many took "
      "the new password: all, some, none.",
      "result", {overall, overall + 3});
  for (size_t i = 0; i < multiChanges.size(); ++i) {
    multiChanges[i] = family->Get(overall[i]);
  }
  latency = registry->AddHistogram(
      "tarpon_web_change_seconds",
      "Time from a change's request to its answer, gateway included.",
      {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30});
  connections = registry->AddGauge("tarpon_web_connections",
                                   "HTTPS and redirect connections open now.");
  refusedConnections = registry->AddCounter(
      "tarpon_web_connections_refused_total",
      "Connections closed at once: the overall or the per-source cap was "
      "reached.");
  registry->AddInfo("tarpon_web_build_info", "tarpon-web's version; always 1.",
                    "version", TARPON_VERSION);
  AddProcessMetrics(registry);
}

namespace {

// A user ID as the audit writes it: a hidden one ("#...") as it is, any
// other that could not be one as kNotAUserId.
std::string AuditName(const std::string& user) {
  if (!user.empty() && user[0] == '#') return user;
  return PassesUserIdCheck(user) ? user : kNotAUserId;
}

// An audit line's JSON with the fields every audit line has.
JsonLogLine AuditJson(const char* event, const std::string& operation,
                      const std::string& client, const std::string& user,
                      const std::string& destination) {
  JsonLogLine line(IsoUtcTime(std::chrono::system_clock::now()), "tarpon-web",
                   event);
  line.Add("operation", operation)
      .Add("client", client)
      .Add("user", AuditName(user))
      .Add("destination", destination);
  return line;
}

}  // namespace

void AuditLog::Change(const std::string& operation, const std::string& client,
                      const std::string& user, const std::string& destination,
                      Outcome outcome, int code) {
  if (format_ == LogFormat::kJson) {
    Write(AuditJson("change", operation, client, user, destination)
              .Add("outcome", OutcomeName(outcome))
              .AddNumber("code", code)
              .Text());
    return;
  }
  Write(UtcNow() + " change client=" + client + " user=" + AuditName(user) +
        " destination=" + destination + " outcome=" + OutcomeName(outcome) +
        " code=" + std::to_string(code) +
        (operation.empty() ? std::string() : " operation=" + operation) + "\n");
}

void AuditLog::Replay(const std::string& operation, const std::string& client,
                      const std::string& user, const std::string& destination,
                      int status) {
  if (format_ == LogFormat::kJson) {
    Write(AuditJson("replay", operation, client, user, destination)
              .AddNumber("status", status)
              .Text());
    return;
  }
  Write(UtcNow() + " replay client=" + client + " user=" + AuditName(user) +
        " destination=" + destination + " status=" + std::to_string(status) +
        "\n");
}

void AuditLog::Write(const std::string& line) {
  MutexLock hold(&lock_);
  *out_ << line << std::flush;
}

namespace {

std::atomic<LogFormat> webLogFormat{LogFormat::kText};

}  // namespace

void SetWebLogFormat(LogFormat format) { webLogFormat = format; }

void WebNotice(const std::string& text) {
  // One write a line: lines from the pools' threads never interleave.
  const std::string line =
      webLogFormat == LogFormat::kJson
          ? JsonLogLine(IsoUtcTime(std::chrono::system_clock::now()),
                        "tarpon-web", "notice")
                .Add("message", text)
                .Text()
          : "tarpon-web: " + text + "\n";
  std::cerr << line << std::flush;
}

std::string NewOperationId() {
  static const uint64_t process = [] {
    std::random_device random;
    return (static_cast<uint64_t>(random()) << 32) ^ random();
  }();
  static std::atomic<uint64_t> count{0};
  char text[40];
  std::snprintf(text, sizeof text, "%016llx-%06llu",
                static_cast<unsigned long long>(process),
                static_cast<unsigned long long>(++count));
  return text;
}

bool WebConfig::LoadAssets(std::string* error) {
  const std::string& folder = settings.assets;
  if (!page.Load(folder, settings, error)) return false;
  destinations = page.DestinationsJson();
  script = ReadAsset(folder + "/static/tarpon-web.js", error);
  icon = ReadAsset(folder + "/static/favicon.svg", error);
  style = ReadAsset(folder + "/static/tarpon-web.css", error);
  openapi = ReadAsset(folder + "/openapi.json", error);
  if (error->empty() && !settings.logo.empty()) {
    logo = ReadAsset(settings.logo, error);
    bool svg = settings.logo.size() > 4 &&
               settings.logo.compare(settings.logo.size() - 4, 4, ".svg") == 0;
    logoType = svg ? "image/svg+xml" : "image/png";
  }
  return error->empty();
}

const std::string& WebConfig::DestinationOf(const std::string& named) const {
  return named.empty() ? settings.destinations.front().first : named;
}
