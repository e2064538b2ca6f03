// minimal_server: the floor the gateway is measured against. It does what
// the gateway does for a session without running the engine: accepts a
// connection on 127.0.0.1, receives one record, sends one fixed record and
// closes, with the same comm objects and the same receive timeout.
//
//   minimal_server PORT MAX_SESSIONS
//
// Writes "started" on standard output once it listens, and ends after
// MAX_SESSIONS sessions or when an accept fails.
#include <netinet/in.h>

#include <cstdlib>
#include <iostream>

#include "comm/address.h"
#include "comm/export_client.h"
#include "comm/listener.h"
#include "comm/server.h"
#include "comm/wsa.h"

namespace {

// As large as the gateway's longest request buffer.
constexpr uint32_t kRequestSize = 100;
constexpr int kSessionTimeoutSeconds = 30;
constexpr long kSessionLimit = 10000000;
const char kReply[] = "\nminimal server reply.\n\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: minimal_server PORT MAX_SESSIONS\n";
    return 2;
  }
  long port = std::strtol(argv[1], nullptr, 10);
  long sessions = std::strtol(argv[2], nullptr, 10);
  if (port < 1 || port > 65535 || sessions < 1 || sessions > kSessionLimit) {
    std::cerr << "minimal_server: bad port or session count\n";
    return 2;
  }
  WSA wsa(1, 1);
  Listener listener(Address(static_cast<uint16_t>(port),
                            static_cast<uint32_t>(INADDR_LOOPBACK)),
                    5);
  if (!listener.IsGood()) {
    std::cerr << "minimal_server: cannot listen on port " << port << "\n";
    return 5;
  }
  std::cout << "started" << std::endl;
  char userData[Connection::USER_DATA_LENGTH] = "0000";
  ExportClient client = {};
  for (long served = 0;
       served < sessions && listener.GetNewClient(client) == Listener::COMM_OK;
       ++served) {
    Server server(client);
    if (!server.IsGood()) continue;
    server.SetReceiveTimeout(kSessionTimeoutSeconds);
    char request[kRequestSize];
    uint32_t length = 0;
    if (server.ReceiveRecord(request, kRequestSize - 1, &length) ==
            Server::COMM_OK &&
        server.IsGood()) {
      server.SetUserData(userData);
      server.SendRecord(kReply);
    }
  }
  return 0;
}
