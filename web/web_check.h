// tarpon-web -check: what a start needs, tried as the start would, without
// serving: the addresses bind, the certificate and key load, the assets
// and catalogues read, the certificate is not within 30 days of its end
// (a warning) nor past it (a failure), the gateway answers a request that
// changes nothing (web/readiness.h) with the PROXY setting in force, and
// its SNA node knows each destination (a probe, without a conversation).
// One line a check on standard output: the verdict ("ok", "warning",
// "FAILED") padded to eight columns, then the text.
#ifndef TARPON_WEB_WEB_CHECK_H_
#define TARPON_WEB_WEB_CHECK_H_

#include "web/web_settings.h"

// Exit status 0 when every check passed, else 1.
int CheckWeb(const WebSettings& settings);

#endif  // TARPON_WEB_WEB_CHECK_H_
