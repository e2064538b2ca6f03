#include "gateway_client/gateway_exchange.h"

#include <string.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "comm/address.h"
#include "comm/client.h"
#include "comm/gateway_protocol.h"
#include "comm/tls.h"
#include "gateway_client/gateway_client.h"
#include "gateway_client/tarpon_gateway.h"

namespace {

// The gateway's return code: decimal digits up to the first zero byte of
// the user data; false for anything else.
bool ReturnCode(const char* userData, std::string* text, int* code) {
  size_t length = strnlen(userData, Connection::USER_DATA_LENGTH);
  if (length == 0) return false;
  long value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (userData[i] < '0' || userData[i] > '9') return false;
    if (value < 100000000) value = value * 10 + (userData[i] - '0');
  }
  text->assign(userData, length);
  *code = static_cast<int>(value);
  return true;
}

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

int ExchangeWithGateway(const GatewayRequest& request, GatewayAnswer* answer) {
  *answer = GatewayAnswer();
  std::string error;
  int reason = Address::REASON_OK;
  std::vector<Address> servers = Address::Resolve(
      request.service.c_str(), request.host.c_str(), &error, &reason);
  if (servers.empty()) {
    answer->detail = error;
    return TARPON_GATEWAY_NO_ANSWER;
  }
  auto client = std::make_unique<Client>(servers, request.timeoutSeconds);
  if (client->IsGood() && !request.prelude.empty() &&
      !SendAll(client.get(), request.prelude)) {
    answer->failure = Classify(*client);
    answer->detail = "sending the PROXY header failed";
    return TARPON_GATEWAY_NO_ANSWER;
  }
  if (request.tls != nullptr && client->IsGood()) {
    client->StartTls(*request.tls, request.host.c_str());
  }
  std::vector<char> reply(GATEWAY_CLIENT_REPLY_SIZE, '\0');
  long received = Connection::COMM_FAILED;
  uint32_t length = 0;
  if (client->IsGood() &&
      client->SendRecord(request.options.c_str()) == Connection::COMM_OK &&
      client->IsGood()) {
    received = client->ReceiveRecord(reply.data(),
                                     GATEWAY_CLIENT_REPLY_SIZE - 1, &length);
  }
  if (client->IsGood() && received == Connection::COMM_OK &&
      ReturnCode(client->GetUserData(), &answer->codeText, &answer->code)) {
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
