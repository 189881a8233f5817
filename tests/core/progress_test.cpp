#include "core/progress.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tide {
namespace {

using Clock = ProgressRate::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Rates {
  bool m_have = false;
  double m_files = 0;
  double m_bytes = 0;
};

Rates RatesOf(const ProgressRate& rate) {
  Rates rates;
  rates.m_have = rate.Rate(&rates.m_files, &rates.m_bytes);
  return rates;
}

// Feeds one sample a second at `files_per_second` and `bytes_per_second`
// from `*files`, `*bytes` on, for `count` seconds after `*now`.
void Feed(ProgressRate* rate, Clock::time_point* now, uint64_t* files, uint64_t* bytes, int count,
         uint64_t files_per_second, uint64_t bytes_per_second) {
  for (int i = 0; i < count; ++i) {
    *now += seconds(1);
    *files += files_per_second;
    *bytes += bytes_per_second;
    rate->Add(*now, *files, *bytes);
  }
}

TEST(ProgressRate, SteadyWorkGivesItsRateAfterTheFirstSpan) {
  ProgressRate rate;
  Clock::time_point now{};
  uint64_t files = 0, bytes = 0;
  rate.Add(now, files, bytes);
  Feed(&rate, &now, &files, &bytes, 2, 10, 1000);
  EXPECT_FALSE(RatesOf(rate).m_have);  // two seconds say too little
  Feed(&rate, &now, &files, &bytes, 1, 10, 1000);
  Rates rates = RatesOf(rate);
  ASSERT_TRUE(rates.m_have);
  EXPECT_DOUBLE_EQ(10, rates.m_files);
  EXPECT_DOUBLE_EQ(1000, rates.m_bytes);
  // Samples closer than the minimum step are taken with the next one.
  for (int i = 1; i <= 4; ++i) rate.Add(now + milliseconds(100 * i), files + 1, bytes + 100);
  now += seconds(1);
  files += 10;
  bytes += 1000;
  rate.Add(now, files, bytes);
  EXPECT_NEAR(10, RatesOf(rate).m_files, 1e-9);
  EXPECT_NEAR(1000, RatesOf(rate).m_bytes, 1e-6);
}

TEST(ProgressRate, BurstsAndStallsMoveTheRateGently) {
  ProgressRate rate;
  Clock::time_point now{};
  uint64_t files = 0, bytes = 0;
  rate.Add(now, files, bytes);
  Feed(&rate, &now, &files, &bytes, 30, 10, 1 << 20);
  ASSERT_NEAR(10, RatesOf(rate).m_files, 1e-9);

  // One large file finished: a second of 50 MiB lifts the byte rate by a
  // tenth of the burst or so, not to 50 MiB/s.
  Feed(&rate, &now, &files, &bytes, 1, 10, 50u << 20);
  double lifted = RatesOf(rate).m_bytes;
  EXPECT_GT(lifted, 4.0 * (1 << 20));
  EXPECT_LT(lifted, 7.0 * (1 << 20));

  // A stall: the rate sinks by about e each time constant, and a sample
  // after a long gap (a slow control connection) weighs for its length.
  Feed(&rate, &now, &files, &bytes, 10, 0, 0);
  EXPECT_NEAR(10 * std::exp(-1.0), RatesOf(rate).m_files, 0.01);
  now += seconds(10);
  rate.Add(now, files, bytes);
  EXPECT_NEAR(10 * std::exp(-2.0), RatesOf(rate).m_files, 0.01);
  EXPECT_TRUE(RatesOf(rate).m_have);
}

TEST(ProgressRate, CountersGoingBackStartAfresh) {
  ProgressRate rate;
  Clock::time_point now{};
  uint64_t files = 100, bytes = 5000;
  rate.Add(now, files, bytes);
  Feed(&rate, &now, &files, &bytes, 5, 10, 1000);
  ASSERT_TRUE(RatesOf(rate).m_have);
  // The view went idle and began again: its counters restarted from 0.
  rate.Add(now + seconds(1), 2, 10);
  EXPECT_FALSE(RatesOf(rate).m_have);
  rate.Add(now + seconds(2), 4, 20);
  rate.Add(now + seconds(4), 8, 40);
  EXPECT_NEAR(2, RatesOf(rate).m_files, 1e-9);
  // So does a clock that went back.
  rate.Add(now, 9, 50);
  EXPECT_FALSE(RatesOf(rate).m_have);
  rate.Reset();
  EXPECT_FALSE(RatesOf(rate).m_have);
}

TEST(Progress, EstimateTakesBytesFirstThenFiles) {
  struct Case {
    const char* m_name;
    uint64_t m_files_done, m_files_found, m_bytes_done, m_bytes_found;
    double m_files_rate, m_bytes_rate;
    int64_t m_expected;
  } cases[] = {
      {"bytes left at the byte rate", 10, 110, 1000, 61000, 100, 1000, 60},
      {"a partial second rounds up", 0, 10, 0, 1500, 1, 1000, 2},
      {"no bytes left (sizes unknown): files", 10, 110, 0, 0, 5, 0, 20},
      {"bytes not moving (folders first): files", 10, 110, 0, 500, 5, 0, 20},
      {"nothing left", 10, 10, 500, 500, 0, 0, 0},
      {"no rate", 0, 10, 0, 100, 0, 0, -1},
      {"a rate that has all but stopped", 0, 10, 0, 0, 1e-12, 0, -1},
      {"done above found (counted meanwhile) is nothing left", 12, 10, 0, 0, 1, 1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.m_expected, EstimateSecondsLeft(c.m_files_done, c.m_files_found, c.m_bytes_done, c.m_bytes_found,
                                                c.m_files_rate, c.m_bytes_rate))
        << c.m_name;
  }
}

TEST(Progress, HumanUnits) {
  EXPECT_EQ("0 B", FormatBytes(0));
  EXPECT_EQ("1023 B", FormatBytes(1023));
  EXPECT_EQ("1.0 KiB", FormatBytes(1024));
  EXPECT_EQ("1.5 KiB", FormatBytes(1536));
  EXPECT_EQ("1.0 MiB", FormatBytes((1u << 20) - 1));  // not "1024.0 KiB"
  EXPECT_EQ("12.3 MiB", FormatBytes(static_cast<uint64_t>(12.3 * (1 << 20))));
  EXPECT_EQ("3.4 GiB", FormatBytes(static_cast<uint64_t>(3.4 * (1u << 30))));
  EXPECT_EQ("16.0 EiB", FormatBytes(UINT64_MAX));

  EXPECT_EQ("85", FormatCount(85.4));
  EXPECT_EQ("10", FormatCount(9.96));
  EXPECT_EQ("2.5", FormatCount(2.5));
  EXPECT_EQ("0.04", FormatCount(0.04));
  EXPECT_EQ("0.00", FormatCount(-1));

  EXPECT_EQ("0 s", FormatDuration(-5));
  EXPECT_EQ("59 s", FormatDuration(59));
  EXPECT_EQ("1 min", FormatDuration(60));
  EXPECT_EQ("3 min", FormatDuration(185));
  EXPECT_EQ("1 h", FormatDuration(3599));
  EXPECT_EQ("2 h 10 min", FormatDuration(2 * 3600 + 600));
  EXPECT_EQ("2 days", FormatDuration(2 * 86400 + 3600));
}

}  // namespace
}  // namespace tide
