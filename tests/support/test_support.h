// Helpers shared by the comm tests: a free loopback port, a services file in
// a temporary folder named by TARPON_SERVICES, and capture of the trace.
#ifndef TARPON_TESTS_SUPPORT_TEST_SUPPORT_H_
#define TARPON_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "trace/trace.h"

namespace comm_test {

// A record header built by hand, as an independent check on the framing:
// the length field, the type, the version; the user data (or the status
// byte of a status record) and the reserved bytes zero.
inline std::string RecordHeader(uint32_t recordLength, char type,
                                const char* version = "01.0", char status = 0) {
  std::string header(44, '\0');
  header[0] = static_cast<char>(recordLength >> 8);
  header[1] = static_cast<char>(recordLength & 0xFF);
  header[2] = type;
  header.replace(4, 4, version, 4);
  if (type == 'S') header[8] = status;
  return header;
}

// A port nothing listens on at the moment: bind port 0 on 127.0.0.1, read
// the port the system chose, close. 0 if that failed.
inline uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// Writes a services file into a fresh temporary folder and points
// TARPON_SERVICES at it for the object's life.
class ServicesFile {
 public:
  explicit ServicesFile(const std::string& content) {
    char pattern[] = "/tmp/tarpon-comm-XXXXXX";
    if (mkdtemp(pattern) != nullptr) folder_ = pattern;
    path_ = folder_ + "/services";
    std::ofstream(path_) << content;
    setenv("TARPON_SERVICES", path_.c_str(), 1);
  }
  ~ServicesFile() {
    unsetenv("TARPON_SERVICES");
    std::remove(path_.c_str());
    if (!folder_.empty()) rmdir(folder_.c_str());
  }
  ServicesFile(const ServicesFile&) = delete;
  ServicesFile& operator=(const ServicesFile&) = delete;

 private:
  std::string folder_;
  std::string path_;
};

// Captures the standard log stream with the trace on, for one scope.
class TraceCapture {
 public:
  TraceCapture() {
    saved_ = trace_log().rdbuf(log_.rdbuf());
    set_trace_flags(TRACE_ON);
  }
  ~TraceCapture() {
    set_trace_flags(TRACE_OFF);
    trace_log().rdbuf(saved_);
  }
  std::string Text() const { return log_.str(); }

 private:
  std::ostringstream log_;
  std::streambuf* saved_;
};

// The dump of an object as text.
template <typename T>
std::string Dump(const T& object) {
  std::ostringstream out;
  out << object;
  return out.str();
}

}  // namespace comm_test

#endif  // TARPON_TESTS_SUPPORT_TEST_SUPPORT_H_
