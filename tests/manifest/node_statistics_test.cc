#include "manifest/node_statistics.h"

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/delta_counter.h"
#include "manifest/normal_node_statistics.h"
#include "start_gate.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

struct Sample {
  std::uint64_t bytes;
  std::uint32_t timeMs;
  bool failed;
};

ptree Written(const NodeStatistics& statistics) {
  ptree tree;
  statistics.Write(tree);
  return tree;
}

TEST(DeltaCounterTest, TakeDeltaReturnsWhatAccumulatedSinceTheLastTake) {
  DeltaCounter<std::uint64_t> counter;
  counter.Add(700);
  counter.Add(300);
  EXPECT_EQ(counter.PeekDelta(), 1000u);
  EXPECT_EQ(counter.TakeDelta(), 1000u);
  EXPECT_EQ(counter.TakeDelta(), 0u);
  counter.Add(5);
  EXPECT_EQ(counter.PeekDelta(), 5u);
  EXPECT_EQ(counter.PeekDelta(), 5u);
  EXPECT_EQ(counter.TakeDelta(), 5u);
  EXPECT_EQ(counter.Load(), 1005u);
}

TEST(DeltaCounterTest, DeltaIsTakenModuloTheWidthWhenTheValueWraps) {
  DeltaCounter<std::uint32_t> counter;
  counter.Add(0xFFFFFFF0u);
  EXPECT_EQ(counter.TakeDelta(), 0xFFFFFFF0u);
  counter.Add(0x20);
  EXPECT_EQ(counter.Load(), 0x10u);
  EXPECT_EQ(counter.TakeDelta(), 0x20u);

  DeltaCounter<std::uint64_t> wide;
  wide.Add(std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(wide.TakeDelta(), std::numeric_limits<std::uint64_t>::max());
  wide.Add(3);
  EXPECT_EQ(wide.TakeDelta(), 3u);
}

TEST(NodeStatisticsTest, WritesTheCountersOfItsSamples) {
  struct Case {
    const char* name;
    std::vector<Sample> samples;
    std::uint32_t requests;
    std::uint32_t errors;
    std::uint64_t bytes;
    std::uint64_t averageSpeed;
    std::uint32_t totalTimeMs;
  };
  const Case cases[] = {
      {"fresh", {}, 0, 0, 0, 0, 0},
      // A request that took no measurable time counts as 1 ms.
      {"instant", {{1000000, 0, false}}, 1, 0, 1000000, 1000000000, 1},
      // Failed bytes count as received, not towards the speed.
      {"failed", {{500, 40, true}}, 1, 1, 500, 0, 40},
      {"mixed",
       {{3000, 1000, false}, {500, 1000, true}, {1000, 1000, false}},
       3,
       1,
       4500,
       1333,
       3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NodeStatistics statistics;
    for (const Sample& s : c.samples) statistics.AddSample(s.bytes, s.timeMs, s.failed);
    const ptree tree = Written(statistics);
    EXPECT_EQ(tree.get<std::string>("Requests"), std::to_string(c.requests));
    EXPECT_EQ(tree.get<std::string>("Errors"), std::to_string(c.errors));
    EXPECT_EQ(tree.get<std::string>("Bytes"), std::to_string(c.bytes));
    EXPECT_EQ(tree.get<std::string>("Average Request Speed"), std::to_string(c.averageSpeed));
    EXPECT_EQ(statistics.totalTimeMs.Load(), c.totalTimeMs);
    EXPECT_FALSE(tree.get_child_optional("Standard Deviation"));
  }
}

TEST(NodeStatisticsTest, WriteReplacesValuesAlreadyInTheTreeAndKeepsOthers) {
  ptree tree;
  tree.put("Node", "n1.example:8080");
  tree.put("Requests", 99);
  NodeStatistics statistics;
  statistics.AddSample(10, 10, false);
  statistics.Write(tree);
  EXPECT_EQ(tree.get<std::string>("Node"), "n1.example:8080");
  EXPECT_EQ(tree.get<std::string>("Requests"), "1");
  EXPECT_EQ(tree.count("Requests"), 1u);
}

TEST(NodeStatisticsTest, AnAverageTooLargeForSixtyFourBitsSaturates) {
  NodeStatistics statistics;
  statistics.AddSample(std::numeric_limits<std::uint64_t>::max(), 1, false);
  EXPECT_EQ(Written(statistics).get<std::string>("Average Request Speed"),
            std::to_string(std::numeric_limits<std::uint64_t>::max()));
}

TEST(NormalNodeStatisticsTest, KeepsTheRunningMeanAndVarianceOfTheSpeed) {
  struct Case {
    const char* name;
    std::vector<Sample> samples;
    std::uint32_t count;
    double mean;
    double variance;
  };
  const Case cases[] = {
      {"none", {}, 0, 0.0, 1.0},
      {"one sample has variance 1", {{1000, 1000, false}}, 1, 1000.0, 1.0},
      {"three", {{1000, 1000, false}, {2000, 1000, false}, {3000, 1000, false}}, 3, 2000.0, 1e6},
      // A failure is speed 0; before ten samples it counts once.
      {"failure once", {{4000, 1000, false}, {0, 5, true}}, 2, 2000.0, 8e6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NormalNodeStatistics statistics;
    for (const Sample& s : c.samples) statistics.AddSample(s.bytes, s.timeMs, s.failed);
    const auto [mean, variance] = statistics.GetMeanAndVariance();
    EXPECT_EQ(statistics.GetCount(), c.count);
    EXPECT_DOUBLE_EQ(mean, c.mean);
    EXPECT_DOUBLE_EQ(variance, c.variance);
  }
}

TEST(NormalNodeStatisticsTest, AFailureWeighsMoreTheLongerTheNodeWasObserved) {
  NormalNodeStatistics statistics;
  for (int i = 0; i < 25; ++i) statistics.AddSample(1000, 1000, false);
  statistics.AddSample(0, 100, true);  // 25 / 10 + 1 = 3 repetitions
  EXPECT_EQ(statistics.GetCount(), 28u);
  EXPECT_DOUBLE_EQ(statistics.GetMeanAndVariance().first, 1000.0 * 25 / 28);
  // The counters see one request either way.
  EXPECT_EQ(statistics.errors.Load(), 1u);
  EXPECT_EQ(statistics.successes.Load(), 25u);
}

TEST(ExponentialNormalNodeStatisticsTest, WeighsTheNewestSampleWithTheSmoothing) {
  const ExponentialNormalNodeStatistics prototype(0.3);
  ExponentialNormalNodeStatistics statistics(prototype);
  struct Step {
    Sample sample;
    double mean;
    double variance;
  };
  const Step steps[] = {
      {{1000, 1000, false}, 300.0, 210000.0},
      {{4000, 2000, false}, 810.0, 753900.0},
  };
  for (const Step& step : steps) {
    statistics.AddSample(step.sample.bytes, step.sample.timeMs, step.sample.failed);
    const auto [mean, variance] = statistics.GetMeanAndVariance();
    EXPECT_DOUBLE_EQ(mean, step.mean);
    EXPECT_DOUBLE_EQ(variance, step.variance);
  }
  const ptree tree = Written(statistics);
  EXPECT_EQ(tree.get<std::string>("Average Request Speed"), "810");
  EXPECT_EQ(tree.get<std::string>("Standard Deviation"), "868");
  EXPECT_EQ(tree.get<std::string>("Requests"), "2");
  EXPECT_EQ(tree.get<std::string>("Bytes"), "5000");
}

TEST(ExponentialNormalNodeStatisticsTest, AFailureCountsOnceAndPullsTheMeanTowardsZero) {
  ExponentialNormalNodeStatistics statistics(0.5);
  for (int i = 0; i < 30; ++i) statistics.AddSample(2000, 1000, false);
  const double before = statistics.GetMeanAndVariance().first;
  statistics.AddSample(1000, 1000, true);
  EXPECT_EQ(statistics.GetCount(), 31u);
  EXPECT_DOUBLE_EQ(statistics.GetMeanAndVariance().first, before * 0.5);
}

TEST(ExponentialNormalNodeStatisticsTest, AFreshObjectWritesZeros) {
  const ExponentialNormalNodeStatistics statistics(0.3);
  const ptree tree = Written(statistics);
  for (const char* key :
       {"Requests", "Errors", "Bytes", "Average Request Speed", "Standard Deviation"}) {
    EXPECT_EQ(tree.get<std::string>(key), "0") << key;
  }
  EXPECT_EQ(statistics.GetMeanAndVariance(), std::make_pair(0.0, 0.0));
}

TEST(ExponentialNormalNodeStatisticsTest, ACopyTakesTheDistributionButNotTheCounters) {
  ExponentialNormalNodeStatistics original(0.3);
  original.AddSample(1000, 1000, false);
  original.AddSample(2000, 1000, false);
  ExponentialNormalNodeStatistics copy(original);
  EXPECT_EQ(copy.GetCount(), 2u);
  EXPECT_EQ(copy.GetMeanAndVariance(), original.GetMeanAndVariance());
  EXPECT_EQ(copy.successes.Load(), 0u);
  EXPECT_EQ(copy.totalBytes.Load(), 0u);
  // Same smoothing: the next sample moves both alike.
  original.AddSample(500, 1000, false);
  copy.AddSample(500, 1000, false);
  EXPECT_EQ(copy.GetMeanAndVariance(), original.GetMeanAndVariance());
}

TEST(NodeStatisticsConcurrencyTest, NoSampleIsLostWhileReadersTakeDeltas) {
  constexpr int kWriters = 6;
  constexpr int kSamplesEach = 2000;
  ExponentialNormalNodeStatistics statistics(0.3);
  test::StartGate gate;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      gate.Wait();
      for (int i = 0; i < kSamplesEach; ++i) {
        statistics.AddSample(static_cast<std::uint64_t>(w + 1), 2, i % 4 == 0);
      }
    });
  }
  std::uint64_t takenBytes = 0;
  std::uint32_t takenTime = 0;
  std::thread reader([&] {
    gate.Wait();
    for (int i = 0; i < 500; ++i) {
      takenBytes += statistics.totalBytes.TakeDelta();
      takenTime += statistics.totalTimeMs.TakeDelta();
      ptree tree;
      statistics.Write(tree);
      (void)statistics.GetMeanAndVariance();
    }
  });
  gate.Open();
  for (auto& writer : writers) writer.join();
  reader.join();
  takenBytes += statistics.totalBytes.TakeDelta();
  takenTime += statistics.totalTimeMs.TakeDelta();

  constexpr std::uint64_t kBytes = kSamplesEach * (kWriters * (kWriters + 1) / 2);
  EXPECT_EQ(takenBytes, kBytes);
  EXPECT_EQ(takenTime, 2u * kWriters * kSamplesEach);
  EXPECT_EQ(statistics.GetCount(), static_cast<std::uint32_t>(kWriters * kSamplesEach));
  EXPECT_EQ(statistics.successes.Load() + statistics.errors.Load(),
            static_cast<std::uint32_t>(kWriters * kSamplesEach));
  EXPECT_EQ(statistics.errors.Load(), static_cast<std::uint32_t>(kWriters * kSamplesEach / 4));
}

}  // namespace
}  // namespace halv
