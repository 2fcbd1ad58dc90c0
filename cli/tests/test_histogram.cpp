#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Histogram.h"

using namespace Tavix::Cli;

namespace {

std::size_t TotalCount(const std::vector<HistogramBin>& bins) {
  std::size_t total = 0;
  for (const HistogramBin& bin : bins) total += bin.count;
  return total;
}

TEST(Histogram, EqualBinsUpToThe99thPercentileThenOneForTheRest) {
  std::vector<double> samples;
  for (int i = 0; i < 99; ++i) samples.push_back(100 + i % 10);  // 100 to 109
  samples.push_back(5000);
  const std::vector<HistogramBin> bins = MakeHistogram(samples, 3);
  ASSERT_EQ(bins.size(), 4u);
  EXPECT_EQ(bins[0].low, 100);
  EXPECT_EQ(bins[2].high, 109);
  EXPECT_EQ(bins[3].low, 109);
  EXPECT_EQ(bins[3].high, 5000);
  EXPECT_EQ(bins[3].count, 1u) << "only the outlier is above the 99th percentile";
  EXPECT_EQ(TotalCount(bins), samples.size());
}

TEST(Histogram, EqualSamplesMakeOneBin) {
  const std::vector<HistogramBin> bins = MakeHistogram({7, 7, 7}, 10);
  ASSERT_EQ(bins.size(), 1u);
  EXPECT_EQ(bins[0].count, 3u);
  EXPECT_TRUE(MakeHistogram({}, 10).empty());
}

TEST(Histogram, BarsAreScaledToTheFullestBinAndShowEverySample) {
  const std::string text = HistogramText({{0, 1, 100}, {1, 2, 1}, {2, 3, 0}}, "us", 10);
  EXPECT_NE(text.find("us  ##########  100\n"), std::string::npos) << text;
  EXPECT_NE(text.find("us  #           1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("us              0\n"), std::string::npos) << text;
}

}  // namespace
