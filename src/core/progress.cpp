#include "core/progress.h"

#include <cmath>
#include <cstdio>

namespace tide {

namespace {

double Seconds(ProgressRate::Clock::duration span) { return std::chrono::duration<double>(span).count(); }

}  // namespace

void ProgressRate::Add(Clock::time_point now, uint64_t files_done, uint64_t bytes_done) {
  bool restart = !m_started || now < m_last || files_done < m_last_files || bytes_done < m_last_bytes;
  if (restart) {
    *this = ProgressRate();
    m_started = true;
    m_start = m_last = now;
    m_start_files = m_last_files = files_done;
    m_start_bytes = m_last_bytes = bytes_done;
    return;
  }
  Clock::duration step = now - m_last;
  if (step < MIN_STEP) return;
  if (!m_have_rate) {
    Clock::duration span = now - m_start;
    if (span >= FIRST_SPAN) {
      // The plain average of the first span seeds the smoothing: starting
      // it from 0 would show a rate far too low for a long while.
      double seconds = Seconds(span);
      m_files_per_second = static_cast<double>(files_done - m_start_files) / seconds;
      m_bytes_per_second = static_cast<double>(bytes_done - m_start_bytes) / seconds;
      m_have_rate = true;
    }
  } else {
    // Weighted by the time each sample covers, so that irregular sampling
    // (a long control connection delays the next one) weighs right.
    double seconds = Seconds(step);
    double weight = 1.0 - std::exp(-seconds / Seconds(RATE_TIME_CONSTANT));
    m_files_per_second += weight * (static_cast<double>(files_done - m_last_files) / seconds - m_files_per_second);
    m_bytes_per_second += weight * (static_cast<double>(bytes_done - m_last_bytes) / seconds - m_bytes_per_second);
  }
  m_last = now;
  m_last_files = files_done;
  m_last_bytes = bytes_done;
}

bool ProgressRate::Rate(double* files_per_second, double* bytes_per_second) const {
  if (!m_have_rate) return false;
  *files_per_second = m_files_per_second;
  *bytes_per_second = m_bytes_per_second;
  return true;
}

int64_t EstimateSecondsLeft(uint64_t files_done, uint64_t files_found, uint64_t bytes_done, uint64_t bytes_found,
                            double files_per_second, double bytes_per_second) {
  uint64_t files_left = files_found > files_done ? files_found - files_done : 0;
  uint64_t bytes_left = bytes_found > bytes_done ? bytes_found - bytes_done : 0;
  if (files_left == 0 && bytes_left == 0) return 0;
  double seconds;
  if (bytes_left > 0 && bytes_per_second > 0) {
    seconds = static_cast<double>(bytes_left) / bytes_per_second;
  } else if (files_left > 0 && files_per_second > 0) {
    seconds = static_cast<double>(files_left) / files_per_second;
  } else {
    return -1;
  }
  // A rate that has all but stopped gives no useful figure either.
  constexpr double LONGEST = 100.0 * 365 * 24 * 3600;
  if (!(seconds < LONGEST)) return -1;
  return static_cast<int64_t>(std::ceil(seconds));
}

std::string FormatBytes(uint64_t bytes) {
  static const char* const UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  // Rounded to one decimal, 1023.96 KiB would read "1024.0 KiB".
  while (value >= 1023.95 && unit + 1 < sizeof(UNITS) / sizeof(UNITS[0])) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, "%.1f %s", value, UNITS[unit]);
  return text;
}

std::string FormatCount(double value) {
  char text[32];
  if (!(value >= 0)) value = 0;
  if (value >= 9.95) {
    snprintf(text, sizeof text, "%.0f", value);
  } else if (value >= 0.995) {
    snprintf(text, sizeof text, "%.1f", value);
  } else {
    snprintf(text, sizeof text, "%.2f", value);
  }
  return text;
}

std::string FormatDuration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 60) return std::to_string(seconds) + " s";
  int64_t minutes = (seconds + 30) / 60;
  if (minutes < 60) return std::to_string(minutes) + " min";
  if (minutes < 48 * 60) {
    int64_t hours = minutes / 60;
    int64_t rest = minutes % 60;
    return std::to_string(hours) + " h" + (rest != 0 ? " " + std::to_string(rest) + " min" : "");
  }
  return std::to_string((minutes + 12 * 60) / (24 * 60)) + " days";
}

}  // namespace tide
