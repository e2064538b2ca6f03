#include "gateway_client/gateway_exchange.h"

#include <cerrno>
#include <memory>
#include <vector>

#include "comm/address.h"
#include "comm/client.h"
#include "comm/gateway_protocol.h"
#include "comm/record_format.h"
#include "comm/tls.h"
#include "contract/secret.h"
#include "gateway_client/gateway_client.h"
#include "gateway_client/tarpon_gateway.h"

namespace {

GatewayFailure Classify(const Client& client) {
  if (client.GetReason() == Connection::REASON_TLS_FAILED) {
    return GatewayFailure::kTls;
  }
  if (client.GetReason() == Connection::REASON_RECEIVE_TIMED_OUT ||
      client.GetLastApiRc() == ETIMEDOUT) {
    return GatewayFailure::kTimeout;
  }
  if (client.GetReason() == Connection::REASON_CONNECT_FAILED ||
      client.GetReason() == Connection::REASON_SOCKET_FAILED) {
    return GatewayFailure::kUnreachable;
  }
  return GatewayFailure::kClosed;
}

bool SendAll(Client* client, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    uint32_t sent = 0;
    if (client->Send(bytes.data() + done,
                     static_cast<uint32_t>(bytes.size() - done),
                     &sent) != Connection::COMM_OK) {
      return false;
    }
    done += sent;
  }
  return true;
}

}  // namespace

GatewayExchangeRecord::GatewayExchangeRecord() = default;
GatewayExchangeRecord::~GatewayExchangeRecord() = default;

int ExchangeWithGateway(const GatewayRequest& request, GatewayAnswer* answer,
                        GatewayExchangeRecord* record) {
  *answer = GatewayAnswer();
  GatewayExchangeRecord own;
  if (record == nullptr) record = &own;
  std::vector<Address> servers =
      Address::Resolve(request.service.c_str(), request.host.c_str(),
                       &record->resolveError, &record->resolveReason);
  if (servers.empty()) {
    answer->detail = record->resolveError;
    record->unresolved = true;
    if (record == &own) return TARPON_GATEWAY_NO_ANSWER;
    servers.emplace_back(request.service.c_str(), request.host.c_str());
  }
  record->client = std::make_unique<Client>(servers, request.timeoutSeconds);
  Client* client = record->client.get();
  if (client->IsGood() && !request.prelude.empty() &&
      !SendAll(client, request.prelude)) {
    answer->failure = Classify(*client);
    answer->detail = "sending the PROXY header failed";
    return TARPON_GATEWAY_NO_ANSWER;
  }
  // Never clear text once TLS is asked for: a failed handshake ends here.
  if (request.tls != nullptr && client->IsGood()) {
    client->StartTls(*request.tls, request.host.c_str());
  }
  std::vector<char> reply(GATEWAY_CLIENT_REPLY_SIZE, '\0');
  record->received = Connection::COMM_FAILED;
  if (client->IsGood() &&
      client->SendRecord(request.options.c_str()) == Connection::COMM_OK &&
      client->IsGood()) {
    record->received = client->ReceiveRecord(
        reply.data(), GATEWAY_CLIENT_REPLY_SIZE - 1, &record->length);
  }
  if (record->unresolved) return TARPON_GATEWAY_NO_ANSWER;
  if (client->IsGood() && record->received == Connection::COMM_OK &&
      record_format::DecodeReturnCode(client->GetUserData(), &answer->code,
                                      &answer->codeText)) {
    answer->failure = GatewayFailure::kNone;
    answer->text = reply.data();
    return answer->code;
  }
  answer->failure =
      client->IsGood() ? GatewayFailure::kClosed : Classify(*client);
  answer->detail = client->GetReason() == Connection::REASON_TLS_FAILED
                       ? client->GetTlsFailure()
                       : client->GetReasonName();
  return TARPON_GATEWAY_NO_ANSWER;
}
