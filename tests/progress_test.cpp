#include <gtest/gtest.h>

#include "capture.h"
#include "output/progress.h"

namespace {

const std::string SCALE = "--------20--------40--------60--------80-------100 [%]\n";

std::string marks(std::size_t count) { return std::string(count, '#'); }

TEST(ProgressBar, ScaleIsFiftyFiveBytes) {
  CapturedStream out;
  progress_start(out.stream, 117);
  EXPECT_EQ(SCALE.size(), 55u);
  EXPECT_EQ(out.bytes(), SCALE);
}

TEST(ProgressBar, EdgeValues) {
  {
    CapturedStream out;
    progress_start(out.stream, 117);
    progress_update(117);
    EXPECT_EQ(out.bytes(), SCALE + marks(50));
  }
  {
    CapturedStream out;
    progress_start(out.stream, 1);
    progress_update(1);
    EXPECT_EQ(out.bytes(), SCALE + marks(50));
  }
  {
    CapturedStream out;
    progress_start(out.stream, 10);
    progress_update(0);
    EXPECT_EQ(out.bytes(), SCALE);
  }
  {
    CapturedStream out;  // the product needs 64 bits
    progress_start(out.stream, 3000000000u);
    progress_update(1500000000u);
    EXPECT_EQ(out.bytes(), SCALE + marks(25));
    progress_update(0xFFFFFFFFu);  // beyond the total: still fifty
    EXPECT_EQ(out.bytes(), SCALE + marks(50));
  }
}

TEST(ProgressBar, MarksNeverGoBack) {
  CapturedStream out;
  progress_start(out.stream, 100);
  progress_update(60);
  progress_update(10);
  progress_update(61);
  EXPECT_EQ(out.bytes(), SCALE + marks(30));
}

TEST(ProgressBar, EveryValueDrawsFloorOfFiftyTimesValueOverTotal) {
  for (std::uint32_t total : {1u, 2u, 3u, 7u, 49u, 50u, 51u, 99u, 117u, 1001u, 4294967295u}) {
    CapturedStream out;
    progress_start(out.stream, total);
    std::uint32_t step = total > 5000 ? total / 3000 : 1;
    for (std::uint64_t value = 0; value <= total; value += step) {
      progress_update(static_cast<std::uint32_t>(value));
      std::size_t expected = static_cast<std::size_t>(value * 50 / total);
      ASSERT_EQ(out.bytes(), SCALE + marks(expected)) << total << " " << value;
    }
  }
}

}  // namespace
