#include "gateway/gateway_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "contract/error_text.h"
#include "gateway/service_notify.h"

namespace {

constexpr mode_t kLogFileMode = 0640;

// Set by the first log put in kJson: the time stamps are ISO 8601 UTC.
std::atomic<bool> jsonTimeStamps{false};

// The marks that say, within the pending text, where a session's lines
// begin and end; the text's own control bytes are escaped, so no client
// can forge one.
constexpr char kMarkBegin = '\x01';
constexpr char kMarkSeparator = '\x1f';
constexpr char kMarkEnd = '\x02';

// Printable ASCII alone: a mark's contents.
std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c >= 0x20 && c <= 0x7E) out += c;
  }
  return out;
}

// A message without the line ends that close it; its blanks stay, as the
// text format has them.
std::string Trimmed(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

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

GatewayLog::~GatewayLog() {
  sync();
  if (format_ == LogFormat::kJson) jsonTimeStamps = false;
}

void GatewayLog::SetFormat(LogFormat format) {
  CheckOwner();
  sync();
  format_ = format;
  jsonTimeStamps = format == LogFormat::kJson;
}

void GatewayLog::BeginOperation(const std::string& operation,
                                const std::string& client) {
  CheckOwner();
  if (format_ != LogFormat::kJson) return;
  pending_ += kMarkBegin;
  pending_ += Printable(operation);
  pending_ += kMarkSeparator;
  pending_ += Printable(client);
  pending_ += kMarkEnd;
}

void GatewayLog::EndOperation() {
  CheckOwner();
  if (format_ != LogFormat::kJson) return;
  pending_ += kMarkBegin;
  pending_ += kMarkEnd;
}

std::string GatewayLog::Render(const std::string& text) {
  if (format_ != LogFormat::kJson) return text;
  std::string out;
  std::string time;
  std::string message;
  bool open = false;
  auto finish = [&] {
    if (!open) return;
    out +=
        JsonLogLine(time, "tarpons", operation_.empty() ? "server" : "session")
            .Add("operation", operation_)
            .Add("client", client_)
            .Add("message", Trimmed(message))
            .Text();
    open = false;
  };
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == kMarkBegin) {
      finish();
      const size_t end = text.find(kMarkEnd, i);
      if (end == std::string::npos) break;
      const std::string mark = text.substr(i + 1, end - i - 1);
      const size_t separator = mark.find(kMarkSeparator);
      operation_ =
          separator == std::string::npos ? "" : mark.substr(0, separator);
      client_ =
          separator == std::string::npos ? "" : mark.substr(separator + 1);
      i = end + 1;
      continue;
    }
    const size_t stop = text.find_first_of(std::string("\n") + kMarkBegin, i);
    const size_t lineEnd = stop == std::string::npos ? text.size() : stop;
    const std::string line = text.substr(i, lineEnd - i);
    i = stop != std::string::npos && text[stop] == '\n' ? stop + 1 : lineEnd;
    if (BeginsWithIsoUtcTime(line) &&
        line.compare(kIsoUtcTimeLength, 3, " : ") == 0) {
      finish();
      open = true;
      time = line.substr(0, kIsoUtcTimeLength);
      message = line.substr(kIsoUtcTimeLength + 3);
    } else if (open) {
      message += "\n" + line;
    } else if (!line.empty()) {
      open = true;
      time = IsoUtcTime(std::chrono::system_clock::now());
      message = line;
    }
  }
  finish();
  return out;
}

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
    error = WriteLines(Render(lines));
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
  const int error = WriteLines(Render(line));
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
  if (jsonTimeStamps) {
    thread_local char iso[64];
    std::snprintf(iso, sizeof iso, "%s : ",
                  IsoUtcTime(std::chrono::system_clock::now()).c_str());
    return iso;
  }
  thread_local char text[64];
  // Formatted once a second on each thread: a busy gateway stamps many
  // lines a second, from the loop and the TLS threads.
  thread_local std::time_t last = -1;
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
