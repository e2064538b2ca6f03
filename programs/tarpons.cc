// tarpons: the TCP/IP gateway to the password-change engine.
#include "gateway/gateway_server.h"
#include "trace/standard_streams.h"
#include "version.h"

int main(int argc, char** argv) {
  if (IsVersionRequest(argc, argv)) return PrintVersion("tarpons");
  PrepareStandardStreams();
  return GatewayServerMain(argc, argv);
}
