#include "gateway/service_notify.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <time.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace {

bool ManagerListens() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && *socket != '\0';
}

std::atomic<void (*)()> reloadHook{nullptr};

bool StandardErrorIsJournal() {
  static const bool journal = IsJournalStream(2);
  return journal;
}

}  // namespace

void NotifyReady(const std::string& status) {
  if (!ManagerListens()) return;
  std::string message = "READY=1\nSTATUS=" + status;
  sd_notify(0, message.c_str());
}

void SetReloadHook(void (*hook)()) { reloadHook.store(hook); }

void NotifyReloading() {
  void (*hook)() = reloadHook.load();
  if (hook != nullptr) hook();
  if (!ManagerListens()) return;
  // systemd matches the reload to its own request by this time stamp.
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t micros = static_cast<uint64_t>(now.tv_sec) * 1000000u +
                    static_cast<uint64_t>(now.tv_nsec) / 1000u;
  char message[64];
  std::snprintf(message, sizeof message, "RELOADING=1\nMONOTONIC_USEC=%" PRIu64,
                micros);
  sd_notify(0, message);
}

void NotifyStopping() {
  if (!ManagerListens()) return;
  sd_notify(0, "STOPPING=1");
}

bool IsJournalStream(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  char end = '\0';
  if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2) {
    return false;
  }
  struct stat status;
  if (fstat(fd, &status) != 0) return false;
  return static_cast<unsigned long long>(status.st_dev) == device &&
         static_cast<unsigned long long>(status.st_ino) == inode;
}

const char* ErrorPrefix() { return StandardErrorIsJournal() ? "<3>" : ""; }

const char* WarningPrefix() { return StandardErrorIsJournal() ? "<4>" : ""; }
