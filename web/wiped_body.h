// The body of a request to tarpon-web, which may carry passwords: Beast's
// string body kept in a WipedString, so that every buffer the parser fills
// is wiped when freed and the body's bytes when the request goes, on every
// path (answered, refused as too large, or dropped with the connection).
#ifndef TARPON_WEB_WIPED_BODY_H_
#define TARPON_WEB_WIPED_BODY_H_

#include <boost/beast/http/string_body.hpp>
#include <cstdint>

#include "contract/secret.h"

struct WipedBody {
  using value_type = WipedString;
  using Plain =
      boost::beast::http::basic_string_body<char, std::char_traits<char>,
                                            WipingAllocator<char>>;
  // Plain's reader and writer take the WipedString as the string it is.
  using reader = Plain::reader;
  using writer = Plain::writer;
  static std::uint64_t size(const value_type& body) { return body.size(); }
};

#endif  // TARPON_WEB_WIPED_BODY_H_
