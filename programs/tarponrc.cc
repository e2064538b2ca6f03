// tarponrc: changes a host password through a tarpons gateway.
#include "gateway_client/gateway_client.h"
#include "trace/standard_streams.h"
#include "trace/trace.h"
#include "version.h"

int main(int argc, char** argv) {
  if (IsVersionRequest(argc, argv)) return PrintVersion("tarponrc");
  PrepareStandardStreams();
  int rc = 0;
  TraceScope scope("main(argv,argc)", &rc, TRACE_OFF);
  rc = GatewayClientCommandline(argc, argv);
  return rc;
}
