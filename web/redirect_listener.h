// The plain HTTP port of tarpon-web (-http): one request a connection,
// answered with a redirect to the same path over HTTPS at the host the
// request named (RedirectToHttps, http_rules.h), then closed.
//
// Threads: the event loop's.
#ifndef TARPON_WEB_REDIRECT_LISTENER_H_
#define TARPON_WEB_REDIRECT_LISTENER_H_

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <string>

class WebState;

// Starts a connection counted under source; its answer names httpsPort.
void StartRedirect(boost::asio::ip::tcp::socket socket, WebState* state,
                   const std::string& source, uint16_t httpsPort);

#endif  // TARPON_WEB_REDIRECT_LISTENER_H_
