// tarpon-web: a web page and a JSON API that change a host password
// through a tarpons gateway.
#include "version.h"
#include "web/web_server.h"

int main(int argc, char** argv) {
  if (IsVersionRequest(argc, argv)) return PrintVersion("tarpon-web");
  return WebMain(argc, argv);
}
