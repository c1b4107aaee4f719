#pragma once
// What the benchmarks measure besides their own figures: wall-clock and
// processor time, the memory high-water mark and the machine's load.

#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <string>

namespace vistarium::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Processor time of the whole process (all threads), in seconds.
inline double ProcessorSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Resident high-water mark of this process, in megabytes.
inline double PeakMegabytes() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// Starts a new resident high-water mark at the present resident size, with
// the memory the allocator holds free given back first, so that a phase's
// own peak can be read after the phases before it (Linux 4.0 and later).
inline void ResetPeakMemory() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}

// The resident high-water mark since the last ResetPeakMemory (or since
// the start), in megabytes; 0 where the system does not say.
inline double PeakMegabytesSinceReset() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmHWM:") {
      double kb = 0.0;
      in >> kb;
      return kb / 1024.0;
    }
    in.ignore(1 << 20, '\n');
  }
  return 0.0;
}

// The load average of the last minute: other work on the machine inflates
// the times.
inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  if (!(in >> one)) return "?";
  return one;
}

}  // namespace vistarium::bench
