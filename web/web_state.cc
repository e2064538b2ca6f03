#include "web/web_state.h"

#include <openssl/ssl.h>

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
