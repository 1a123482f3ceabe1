#include <gtest/gtest.h>

#include "capture.h"
#include "output/elapsed.h"

namespace {

// Shift_JIS units: 日 (day), 時間 (hours), 分 (minutes), 秒 (seconds).
const std::string DAY = "\x93\xfa";
const std::string HOURS = "\x8e\x9e\x8a\xd4";
const std::string MINUTES = "\x95\xaa";
const std::string SECONDS =
    "\x95"
    "b";

std::string report(std::uint64_t ms) {
  CapturedStream out;
  report_elapsed(out.stream, ms, TimeUnits{DAY, HOURS, MINUTES, SECONDS});
  return out.bytes();
}

TEST(ElapsedReport, SecondsAlone) {
  EXPECT_EQ(report(0), "0" + SECONDS + "000\n");
  EXPECT_EQ(report(59999), "59" + SECONDS + "999\n");
  EXPECT_EQ(report(7), "0" + SECONDS + "007\n");
}

TEST(ElapsedReport, EachThresholdBringsEverySmallerUnit) {
  EXPECT_EQ(report(60000), "1" + MINUTES + "0" + SECONDS + "000\n");
  EXPECT_EQ(report(3600000), "1" + HOURS + "0" + MINUTES + "0" + SECONDS + "000\n");
  EXPECT_EQ(report(86400000), "1" + DAY + "0" + HOURS + "0" + MINUTES + "0" + SECONDS + "000\n");
  EXPECT_EQ(report(3723004), "1" + HOURS + "2" + MINUTES + "3" + SECONDS + "004\n");
  EXPECT_EQ(report(3 * 86400000ull + 23 * 3600000 + 59 * 60000 + 59999),
            "3" + DAY + "23" + HOURS + "59" + MINUTES + "59" + SECONDS + "999\n");
}

TEST(ElapsedReport, DaysBeyondThirtyTwoBits) {
  EXPECT_EQ(report(5000000000ull * 86400000ull),
            "5000000000" + DAY + "0" + HOURS + "0" + MINUTES + "0" + SECONDS + "000\n");
}

}  // namespace
