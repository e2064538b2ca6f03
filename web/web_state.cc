#include "web/web_state.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <boost/asio/post.hpp>

#include "gateway_client/gateway_exchange.h"

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
  readinessPool_.join();
}

void WebState::AskReadiness(std::function<void(const ReadyVerdict&)> reply) {
  LoopState& loop = Loop();
  const auto now = std::chrono::steady_clock::now();
  if (!loop.probing && loop.readyAt.time_since_epoch().count() != 0 &&
      now - loop.readyAt < std::chrono::seconds(1)) {
    return reply(loop.ready);
  }
  loop.readyWaiting.push_back(std::move(reply));
  if (loop.probing) return;
  loop.probing = true;
  // The answers go back to the loop, which the work guard keeps running.
  boost::asio::post(
      readinessPool_, [this, work = boost::asio::make_work_guard(loop.io)]() {
        const WebSettings& settings = config_.settings;
        GatewayRequest request = NoOpRequest(
            settings, config_.gatewayTls.get(),
            std::min(settings.timeoutSeconds, kReadinessDeadlineSeconds));
        GatewayAnswer answer;
        int code = ExchangeWithGateway(request, &answer);
        ReadyVerdict verdict = JudgeNoOpAnswer(answer, code);
        boost::asio::post(work.get_executor(), [this, verdict] {
          LoopState& back = Loop();
          back.probing = false;
          back.ready = verdict;
          back.readyAt = std::chrono::steady_clock::now();
          std::vector<std::function<void(const ReadyVerdict&)>> waiting;
          waiting.swap(back.readyWaiting);
          for (auto& waiter : waiting) waiter(verdict);
        });
      });
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
