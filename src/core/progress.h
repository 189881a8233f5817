// The progress of a long synchronisation as a person reads it: how fast
// files and bytes are being finished, how long the rest will take, and
// the units to show them in. The daemon measures the rates (it alone sees
// the counters move); the control program estimates and prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tide {

// The finishing rate of one view's work, from its "done" counters sampled
// now and then (each status publication). Work finishes in bursts (a large
// file is counted when it is complete), so the rate is smoothed
// exponentially over about RATE_TIME_CONSTANT: a burst lifts it gently and
// a stall lets it sink gently instead of dropping to nothing at once.
class ProgressRate {
 public:
  using Clock = std::chrono::steady_clock;
  // No rate is told before the counters were watched this long: the first
  // seconds of a synchronisation say little.
  static constexpr std::chrono::milliseconds FIRST_SPAN{3000};
  static constexpr std::chrono::milliseconds RATE_TIME_CONSTANT{10000};
  // Samples closer than this to the previous one are left out (their
  // progress counts with the next one).
  static constexpr std::chrono::milliseconds MIN_STEP{500};

  // Notes the counters at `now`. Counters that went down (the view was idle
  // and began again) or a clock that went back start the measure afresh.
  void Add(Clock::time_point now, uint64_t files_done, uint64_t bytes_done);
  // True with the rates once FIRST_SPAN has been watched.
  bool Rate(double* files_per_second, double* bytes_per_second) const;
  void Reset() { *this = ProgressRate(); }

 private:
  bool m_started = false;
  bool m_have_rate = false;
  Clock::time_point m_start{};
  uint64_t m_start_files = 0;
  uint64_t m_start_bytes = 0;
  Clock::time_point m_last{};
  uint64_t m_last_files = 0;
  uint64_t m_last_bytes = 0;
  double m_files_per_second = 0;
  double m_bytes_per_second = 0;
};

// Seconds until found work is done at the given rates: from the bytes left
// at the byte rate when bytes are left and moving, else from the files left
// at the file rate. 0 when nothing is left; -1 when no rate allows a guess.
int64_t EstimateSecondsLeft(uint64_t files_done, uint64_t files_found, uint64_t bytes_done, uint64_t bytes_found,
                            double files_per_second, double bytes_per_second);

// "0 B", "900 B", "1.2 KiB", "12.3 MiB", "3.4 GiB" (binary units).
std::string FormatBytes(uint64_t bytes);
// "85", "2.5", "0.04": whole numbers from 10 on, else two significant
// digits at most.
std::string FormatCount(double value);
// "40 s", "3 min", "2 h 10 min", "3 days": rounded to what is worth saying.
std::string FormatDuration(int64_t seconds);

}  // namespace tide
