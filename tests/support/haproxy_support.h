// Support for running HAProxy in front of gateways on loopback, for the
// end-to-end tests and the benchmarks: where haproxy is, and the shipped
// dist/haproxy/tarpons.cfg made to run in the foreground on given ports.
#ifndef TARPON_TESTS_SUPPORT_HAPROXY_SUPPORT_H_
#define TARPON_TESTS_SUPPORT_HAPROXY_SUPPORT_H_

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace e2e {

// haproxy on the PATH or in /usr/sbin, or "" when it is not installed.
inline std::string FindHaproxy() {
  const char* path = std::getenv("PATH");
  std::istringstream folders(std::string(path ? path : "") +
                             ":/usr/sbin:/usr/local/sbin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    std::string program = folder + "/haproxy";
    if (!folder.empty() && access(program.c_str(), X_OK) == 0) return program;
  }
  return "";
}

// text with its one occurrence of from replaced by to; "" when from is not
// there exactly once (or text is ""), so that a reshaped configuration
// shows at once.
inline std::string ReplaceOnce(const std::string& text, const std::string& from,
                               const std::string& to) {
  size_t at = text.find(from);
  if (at == std::string::npos || text.find(from, at + 1) != std::string::npos) {
    return "";
  }
  return text.substr(0, at) + to + text.substr(at + from.size());
}

// The shipped configuration at path, for loopback: HAProxy in the
// foreground as the caller's user without a log (it still says on standard
// error when a gateway goes down or up), listening on 127.0.0.1:front,
// gateways on 127.0.0.1:gw1 and gw2 whose metrics listeners (which the
// health checks ask for /readyz) are on 127.0.0.1:metrics1 and metrics2,
// no tarpon-web part, and no edge rate limit, since one test or benchmark
// source opens hundreds of connections in seconds. "" when the file is
// missing or has changed its shape.
inline std::string LoopbackHaproxyConfig(const std::string& path, int front,
                                         int gw1, int gw2, int metrics1,
                                         int metrics2) {
  std::ifstream file(path);
  std::string text((std::istreambuf_iterator<char>(file)),
                   std::istreambuf_iterator<char>());
  const size_t web = text.find("\n# tarpon-web in front");
  if (web == std::string::npos) return "";
  text.resize(web + 1);
  text = ReplaceOnce(text, " port 9101\n",
                     " port " + std::to_string(metrics1) + "\n");
  text = ReplaceOnce(text, " port 9102\n",
                     " port " + std::to_string(metrics2) + "\n");
  for (const char* line :
       {"    log /dev/log local0\n", "    chroot /var/lib/haproxy\n",
        "    stats socket /run/haproxy/admin.sock mode 660 level admin\n",
        "    user haproxy\n", "    group haproxy\n", "    daemon\n",
        "    log global\n", "    option tcplog\n"}) {
    text = ReplaceOnce(text, line, "");
  }
  text = ReplaceOnce(text, "bind :5000",
                     "bind 127.0.0.1:" + std::to_string(front));
  text =
      ReplaceOnce(text, "127.0.0.1:5001", "127.0.0.1:" + std::to_string(gw1));
  text =
      ReplaceOnce(text, "127.0.0.1:5002", "127.0.0.1:" + std::to_string(gw2));
  return ReplaceOnce(text, "gt 50 }", "gt 1000000 }");
}

}  // namespace e2e

#endif  // TARPON_TESTS_SUPPORT_HAPROXY_SUPPORT_H_
