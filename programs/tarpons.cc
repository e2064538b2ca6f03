// tarpons: the TCP/IP gateway to the password-change engine.
#include "gateway/gateway_server.h"
#include "trace/standard_streams.h"

int main(int argc, char** argv) {
  PrepareStandardStreams();
  return GatewayServerMain(argc, argv);
}
