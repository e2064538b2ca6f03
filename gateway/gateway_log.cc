#include "gateway/gateway_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr mode_t kLogFileMode = 0640;

// Writes all length bytes; the error number, or 0.
int WriteAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    text += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

GatewayLog::~GatewayLog() {
  sync();
  CloseFile();
}

bool GatewayLog::Open(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                kLogFileMode);
  if (fd < 0) return false;
  sync();
  CloseFile();
  fd_ = fd;
  ownsFd_ = true;
  path_ = path;
  return true;
}

bool GatewayLog::Reopen() {
  if (path_.empty()) return true;
  std::string path = path_;
  return Open(path);
}

void GatewayLog::UseDescriptors(int logFd, int errorFd) {
  sync();
  CloseFile();
  fd_ = logFd;
  errorFd_ = errorFd;
}

void GatewayLog::CloseFile() {
  if (ownsFd_) close(fd_);
  ownsFd_ = false;
}

void GatewayLog::Append(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  if (c == '\n' || (byte >= 0x20 && byte <= 0x7E)) {
    pending_ += c;
  } else {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    pending_ += escaped;
  }
}

int GatewayLog::overflow(int c) {
  if (c != traits_type::eof()) Append(static_cast<char>(c));
  return traits_type::not_eof(c);
}

std::streamsize GatewayLog::xsputn(const char* text, std::streamsize length) {
  std::streamsize plain = 0;
  for (std::streamsize i = 0; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte == '\n' || (byte >= 0x20 && byte <= 0x7E)) continue;
    pending_.append(text + plain, static_cast<size_t>(i - plain));
    Append(text[i]);
    plain = i + 1;
  }
  pending_.append(text + plain, static_cast<size_t>(length - plain));
  return length;
}

int GatewayLog::sync() {
  if (pending_.empty()) return 0;
  int error = WriteAll(fd_, pending_.data(), pending_.size());
  pending_.clear();
  if (error == 0) {
    failing_ = false;
  } else if (!failing_) {
    failing_ = true;
    char message[200];
    std::snprintf(message, sizeof message,
                  "TARPON SERVER E0008 : cannot write the log (%s); trying "
                  "again at the next session.\n",
                  std::strerror(error));
    WriteAll(errorFd_, message, std::strlen(message));
  }
  // Never report the failure to the stream: a stream gone bad would drop
  // every later line without a word.
  return 0;
}

std::string GatewayTimeStamp() {
  // Formatted once a second: a busy gateway stamps many lines a second.
  static std::time_t last = -1;
  static char text[64];
  std::time_t now = std::time(nullptr);
  if (now != last) {
    std::tm local = {};
    localtime_r(&now, &local);
    // The asctime layout, e.g. "Tue Dec  8 00:36:21 2026", and " : ".
    std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y : ", &local);
    last = now;
  }
  return text;
}
