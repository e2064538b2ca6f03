// tarpons: the TCP/IP gateway to the password-change engine.
#include "gateway/gateway_server.h"

int main(int argc, char** argv) { return GatewayServerMain(argc, argv); }
