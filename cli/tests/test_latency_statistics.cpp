#include <vector>

#include <gtest/gtest.h>

#include "LatencyStatistics.h"

using namespace Tavix::Cli;

namespace {

std::vector<double> OneTo(int n) {
  std::vector<double> samples;
  for (int i = n; i >= 1; --i) samples.push_back(i);  // unsorted on purpose
  return samples;
}

TEST(LatencyStatistics, PercentilesAreNearestRanks) {
  const LatencySummary summary = Summarize(OneTo(1000));
  EXPECT_EQ(summary.min, 1);
  EXPECT_EQ(summary.p50, 500);
  EXPECT_EQ(summary.p90, 900);
  EXPECT_EQ(summary.p99, 990);
  EXPECT_EQ(summary.p99_9, 999);
  EXPECT_EQ(summary.max, 1000);
}

TEST(LatencyStatistics, FewSamplesGiveTheirOwnValues) {
  const LatencySummary one = Summarize({42});
  EXPECT_EQ(one.min, 42);
  EXPECT_EQ(one.p99_9, 42);
  EXPECT_EQ(Summarize(OneTo(200)).p99_9, 200) << "the top rank of 200 samples is the maximum";
  EXPECT_EQ(Summarize({}).max, 0);
}

}  // namespace
