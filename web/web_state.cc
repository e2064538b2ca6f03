#include "web/web_state.h"

#include <openssl/ssl.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "web/change_rules.h"
#include "web/http_rules.h"

const char kNotAUserId[] = "(not-a-user-id)";

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

std::shared_ptr<boost::asio::ssl::context> LoadServerTls(
    const WebSettings& settings, std::string* error) {
  namespace ssl = boost::asio::ssl;
  const char* key = settings.key.c_str();
  if (!KeyFileIsPrivate(key, error)) return nullptr;
  auto tls = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX* native = tls->native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
  boost::system::error_code failed;
  tls->use_certificate_chain_file(settings.certificate, failed);
  if (!failed) tls->use_private_key_file(key, ssl::context::pem, failed);
  if (failed) {
    *error = "cannot load " + settings.certificate + " and " + settings.key +
             ": " + failed.message();
    return nullptr;
  }
  return tls;
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
}

void AuditLog::Change(const std::string& client, const std::string& user,
                      const std::string& destination, Outcome outcome,
                      int code) {
  Write(UtcNow() + " change client=" + client +
        " user=" + (PassesUserIdCheck(user) ? user : kNotAUserId) +
        " destination=" + destination + " outcome=" + OutcomeName(outcome) +
        " code=" + std::to_string(code));
}

void AuditLog::Replay(const std::string& client, const std::string& user,
                      const std::string& destination, int status) {
  Write(UtcNow() + " replay client=" + client +
        " user=" + (PassesUserIdCheck(user) ? user : kNotAUserId) +
        " destination=" + destination + " status=" + std::to_string(status));
}

void AuditLog::Write(const std::string& line) {
  MutexLock hold(&lock_);
  *out_ << line << std::endl;
}

bool WebConfig::LoadAssets(std::string* error) {
  const std::string& folder = settings.assets;
  if (!page.Load(folder, settings, error)) return false;
  destinations = page.DestinationsJson();
  script = ReadAsset(folder + "/static/tarpon-web.js", error);
  icon = ReadAsset(folder + "/static/favicon.svg", error);
  style = ReadAsset(folder + "/static/tarpon-web.css", error);
  openapi = ReadAsset(folder + "/openapi.json", error);
  return error->empty();
}

const std::string& WebConfig::DestinationOf(const std::string& named) const {
  return named.empty() ? settings.destinations.front().first : named;
}

WebState::WebState(WebSettings settings) : loop_(settings.limits) {
  config_.settings = std::move(settings);
  // Each destination has threads of its own: a slow host holds only its
  // own users' exchanges.
  const WebSettings& s = config_.settings;
  const size_t threads = static_cast<size_t>(s.limits.exchangeThreads);
  for (const auto& destination : s.destinations) {
    pools_.emplace(destination.first,
                   std::make_unique<boost::asio::thread_pool>(threads));
  }
  if (pools_.empty()) {
    pools_.emplace("", std::make_unique<boost::asio::thread_pool>(threads));
  }
}

boost::asio::thread_pool& WebState::PoolFor(const std::string& destination) {
  auto found = pools_.find(destination);
  if (found == pools_.end() && !config_.settings.destinations.empty()) {
    found = pools_.find(config_.settings.destinations.front().first);
  }
  return *(found != pools_.end() ? found : pools_.begin())->second;
}

void WebState::JoinPools() {
  for (auto& pool : pools_) pool.second->join();
}

Peer::Peer(WebState* state, const std::string& source) : state_(state) {
  LoopState& loop = state_->Loop();
  loop.admission.Add(this, source);
  loop.peers.insert(this);
  state_->shared().metrics.connections->Increment();
}

Peer::~Peer() {
  LoopState& loop = state_->Loop();
  loop.admission.Remove(this);
  loop.peers.erase(this);
  state_->shared().metrics.connections->Decrement();
  loop.PeerGone();
}
