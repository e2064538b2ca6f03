#include "metrics/process_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "metrics/metrics_registry.h"

namespace {

const double kStartTime =
    std::chrono::duration<double>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();

}  // namespace

double ProcessCpuSeconds() {
  rusage usage = {};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double ProcessResidentBytes() {
  // The second field of statm: resident pages.
  FILE* statm = std::fopen("/proc/self/statm", "re");
  if (statm == nullptr) return -1;
  unsigned long size = 0;
  unsigned long resident = 0;
  const int read = std::fscanf(statm, "%lu %lu", &size, &resident);
  std::fclose(statm);
  if (read != 2) return -1;
  return static_cast<double>(resident) *
         static_cast<double>(sysconf(_SC_PAGESIZE));
}

double ProcessOpenDescriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  double count = 0;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(folder);
  // Less the one that reads the folder.
  return count - 1;
}

double ProcessMaxDescriptors() {
  rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  return static_cast<double>(limit.rlim_cur);
}

double ProcessStartTime() { return kStartTime; }

void AddProcessMetrics(MetricsRegistry* registry) {
  registry->AddReading("process_cpu_seconds_total",
                       "User and system CPU time spent, in seconds.", true,
                       ProcessCpuSeconds);
  registry->AddReading("process_resident_memory_bytes",
                       "Resident memory size in bytes.", false,
                       ProcessResidentBytes);
  registry->AddReading("process_open_fds", "Open file descriptors.", false,
                       ProcessOpenDescriptors);
  registry->AddReading("process_max_fds",
                       "The most file descriptors the process may open.", false,
                       ProcessMaxDescriptors);
  registry->AddReading("process_start_time_seconds",
                       "Start time of the process, in seconds since the "
                       "epoch.",
                       false, ProcessStartTime);
}
