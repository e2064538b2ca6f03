// tarpon-web -check: what a start needs, tried as the start would, without
// serving: the addresses bind, the certificate and key load, the assets
// and catalogues read, and the gateway answers a request that changes
// nothing (an option the engine does not know, which it refuses before any
// host is asked) with the PROXY setting in force. One line a check on
// standard output: the verdict padded to eight columns, then the text.
#ifndef TARPON_WEB_WEB_CHECK_H_
#define TARPON_WEB_WEB_CHECK_H_

#include "web/web_settings.h"

// Exit status 0 when every check passed, else 1.
int CheckWeb(const WebSettings& settings);

#endif  // TARPON_WEB_WEB_CHECK_H_
