// One HTTPS connection of tarpon-web (a Beast session): the PROXY header
// of a balancer, the handshake, then requests one after another, each
// answered from the route table (the page, the change, the API, the
// static files, /healthz, the well-known change-password path). A change
// goes to the ChangeService in the destination's exchange pool, and its
// answer comes back to the loop.
//
// Deadlines from WebLimits: the handshake, a request from its first byte,
// the idle wait between requests, the linger after a 413 or 431.
//
// Threads: the event loop's, but for the change itself.
#ifndef TARPON_WEB_WEB_SESSION_H_
#define TARPON_WEB_WEB_SESSION_H_

#include <boost/asio/ip/tcp.hpp>
#include <string>

class ChangeService;
class WebState;

// Starts a connection counted under source ("" until a PROXY header names
// the client, when proxied). state and service outlive it.
void StartWebSession(boost::asio::ip::tcp::socket socket, WebState* state,
                     const ChangeService* service, const std::string& source,
                     bool proxied);

#endif  // TARPON_WEB_WEB_SESSION_H_
