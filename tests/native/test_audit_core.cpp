// The audit cores: the ring buffer (head, total, wrap-around, capacity 0) and the saturating
// per-key failure counters.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "audit/failure_counts.hpp"
#include "audit/ring_buffer.hpp"

using morva::FailureCounts;
using morva::RingBuffer;

TEST(AuditRing, FillsInOrderThenOverwritesTheOldest) {
  RingBuffer<int> ring(3);
  for (int i = 1; i <= 2; ++i) ring.push(i);
  EXPECT_EQ(ring.snapshot(), (std::vector<int>{1, 2}));
  for (int i = 3; i <= 7; ++i) ring.push(i);
  EXPECT_EQ(ring.snapshot(), (std::vector<int>{5, 6, 7}));
  EXPECT_EQ(ring.size(), 3u);
  EXPECT_EQ(ring.total(), 7u);
  // Every position of the head yields the same oldest-first order.
  for (int i = 8; i <= 10; ++i) {
    ring.push(i);
    EXPECT_EQ(ring.snapshot(), (std::vector<int>{i - 2, i - 1, i}));
  }
}

TEST(AuditRing, CapacityZeroAndOne) {
  RingBuffer<std::string> none(0);
  none.push("a");
  none.push("b");
  EXPECT_TRUE(none.snapshot().empty());
  EXPECT_EQ(none.size(), 0u);
  EXPECT_EQ(none.total(), 2u);
  RingBuffer<std::string> one(1);
  one.push("a");
  one.push("b");
  EXPECT_EQ(one.snapshot(), (std::vector<std::string>{"b"}));
  EXPECT_EQ(one.total(), 2u);
}

TEST(AuditRing, HugeCapacityFailsWithBadAlloc) {
  EXPECT_THROW(RingBuffer<std::string>(UINT64_MAX), std::bad_alloc);
}

TEST(AuditRing, ConcurrentWritersLoseNothingFromTheCount) {
  RingBuffer<std::pair<int, int>> ring(64);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&ring, t] {
      for (int i = 0; i < 5000; ++i) ring.push({t, i});
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(ring.total(), 20000u);
  auto snap = ring.snapshot();
  ASSERT_EQ(snap.size(), 64u);
  int last[4] = {-1, -1, -1, -1};
  for (auto [t, i] : snap) {
    EXPECT_GT(i, last[t]);  // each writer's entries stay in its own order
    last[t] = i;
  }
}

TEST(FailureCounts, CountsPerKeyAndResets) {
  FailureCounts counts;
  EXPECT_EQ(counts.get("a"), 0u);
  EXPECT_EQ(counts.add_failure("a"), 1u);
  EXPECT_EQ(counts.add_failure("a"), 2u);
  EXPECT_EQ(counts.add_failure(std::string("b\0c", 3)), 1u);
  EXPECT_EQ(counts.get("b"), 0u);  // keys are compared byte for byte
  counts.set("a", 0);
  EXPECT_EQ(counts.get("a"), 0u);
  EXPECT_EQ(counts.add_failure("a"), 1u);
}

TEST(FailureCounts, SaturatesInsteadOfWrapping) {
  FailureCounts counts;
  counts.set("k", FailureCounts::kMax - 1);
  EXPECT_EQ(counts.add_failure("k"), FailureCounts::kMax);
  EXPECT_EQ(counts.add_failure("k"), FailureCounts::kMax);
  EXPECT_EQ(counts.get("k"), 4294967295u);
}
