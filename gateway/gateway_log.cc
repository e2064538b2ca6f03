#include "gateway/gateway_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "contract/error_text.h"
#include "gateway/service_notify.h"

namespace {

constexpr mode_t kLogFileMode = 0640;

// The lines of text from from on; text after the last line end, a session
// line that the next one continues, counts as one.
uint64_t CountLines(const std::string& text, size_t from) {
  uint64_t lines = 0;
  for (size_t i = from; i < text.size(); ++i) lines += text[i] == '\n';
  if (from < text.size() && text.back() != '\n') ++lines;
  return lines;
}

}  // namespace

GatewayLog::GatewayLog(int logFd, int errorFd)
    : borrowedFd_(logFd), errorFd_(errorFd) {}

GatewayLog::~GatewayLog() { sync(); }

void GatewayLog::CheckOwner() const { owner_.Check(); }

bool GatewayLog::Open(const std::string& path) {
  CheckOwner();
  Fd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
             kLogFileMode));
  if (!fd) return false;
  Leave();
  file_ = std::move(fd);
  path_ = path;
  return true;
}

bool GatewayLog::Reopen() {
  CheckOwner();
  if (path_.empty()) return true;
  std::string path = path_;
  return Open(path);
}

void GatewayLog::Leave() {
  sync();
  // The start of the line stays where it was; the new descriptor begins
  // with a whole line.
  if (!torn_.empty()) {
    torn_.clear();
    ++lost_;
  }
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
  CheckOwner();
  if (c != traits_type::eof()) Append(static_cast<char>(c));
  return traits_type::not_eof(c);
}

std::streamsize GatewayLog::xsputn(const char* text, std::streamsize length) {
  CheckOwner();
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
  CheckOwner();
  std::string lines;
  lines.swap(pending_);
  if (lines.empty() && torn_.empty()) return 0;
  int error = 0;
  if (!torn_.empty()) {
    std::string rest;
    rest.swap(torn_);
    error = WriteLines(rest, true);
  }
  if (error == 0 && lost_ > 0) error = WriteLostLine();
  if (error == 0) {
    error = WriteLines(lines);
  } else {
    lost_ += CountLines(lines, 0);
  }
  if (error == 0) {
    failing_ = false;
  } else {
    ReportFailure(error);
  }
  // Never report the failure to the stream: a stream gone bad would drop
  // every later line without a word.
  return 0;
}

int GatewayLog::WriteLines(const std::string& text, bool continuesLine) {
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = write(LogFd(), text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      size_t next = written;
      const bool midLine =
          written > 0 ? text[written - 1] != '\n' : continuesLine;
      if (midLine) {
        next = text.find('\n', written);
        next = next == std::string::npos ? text.size() : next + 1;
        torn_ = text.substr(written, next - written);
      }
      lost_ += CountLines(text, next);
      return error;
    }
    written += static_cast<size_t>(n);
  }
  return 0;
}

int GatewayLog::WriteLostLine() {
  const uint64_t lost = lost_;
  lost_ = 0;
  const std::string line = std::string(GatewayTimeStamp()) + "TARPON SERVER " +
                           std::to_string(lost) + " log lines lost (" +
                           ErrorText(lostError_) + ")\n";
  const int error = WriteLines(line);
  // Not written at all: it is still to be said, and not a lost line itself.
  if (error != 0 && torn_.empty()) lost_ = lost;
  return error;
}

void GatewayLog::ReportFailure(int error) {
  if (failing_) return;
  failing_ = true;
  lostError_ = error;
  char message[200];
  std::snprintf(message, sizeof message,
                "%sTARPON SERVER E0008 : cannot write the log (%s); trying "
                "again at the next session.\n",
                errorFd_ == 2 ? ErrorPrefix() : "", ErrorText(error).c_str());
  const size_t length = std::strlen(message);
  size_t written = 0;
  while (written < length) {
    ssize_t n = write(errorFd_, message + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
}

const char* GatewayTimeStamp() {
  // Formatted once a second on each thread: a busy gateway stamps many
  // lines a second, from the loop and the TLS threads.
  thread_local std::time_t last = -1;
  thread_local char text[64];
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
