// What a daemon measures of itself, in the names Prometheus's client
// libraries use, so that the usual dashboards read them:
//
//   process_cpu_seconds_total       user and system CPU time (counter)
//   process_resident_memory_bytes   resident set size
//   process_open_fds                descriptors open now
//   process_max_fds                 the descriptor limit
//   process_start_time_seconds      the start, in seconds since the epoch
//
// Each is read from the system (getrusage, /proc/self) when the registry
// renders. The start is the time this library was loaded, which is the
// process's own start to within its static set-up.
#ifndef TARPON_METRICS_PROCESS_METRICS_H_
#define TARPON_METRICS_PROCESS_METRICS_H_

class MetricsRegistry;

void AddProcessMetrics(MetricsRegistry* registry);

// The readings themselves; -1 when the system does not tell.
double ProcessCpuSeconds();
double ProcessResidentBytes();
double ProcessOpenDescriptors();
double ProcessMaxDescriptors();
double ProcessStartTime();

#endif  // TARPON_METRICS_PROCESS_METRICS_H_
