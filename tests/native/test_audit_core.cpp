// The audit cores: the ring buffer (head, total, wrap-around, concurrent writers) and the
// saturating per-key failure counters.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "audit/failure_counts.hpp"
#include "log/ring_buffer.hpp"

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

TEST(AuditRing, AFillThatThrowsWritesNothing) {
  // Both while the ring fills and once it is full: the failed write is neither counted nor
  // kept, and the next entry still evicts the oldest one.
  for (int before : {1, 3, 4}) {
    RingBuffer<std::string> ring(3);
    for (int i = 1; i <= before; ++i) ring.push(std::to_string(i));
    auto held = ring.snapshot();
    EXPECT_THROW(ring.write([](std::string& entry) {
      entry = "half";
      throw std::bad_alloc();
    }),
                 std::bad_alloc);
    EXPECT_EQ(ring.snapshot(), held);
    EXPECT_EQ(ring.total(), static_cast<uint64_t>(before));
    ring.push("next");
    held.push_back("next");
    if (held.size() > 3) held.erase(held.begin());
    EXPECT_EQ(ring.snapshot(), held);
  }
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

TEST(FailureCounts, SaturatesInsteadOfWrapping) {
  FailureCounts counts;
  counts.set("k", FailureCounts::kMax - 1);
  EXPECT_EQ(counts.add_failure("k"), FailureCounts::kMax);
  EXPECT_EQ(counts.add_failure("k"), FailureCounts::kMax);
  EXPECT_EQ(counts.get("k"), 4294967295u);
  EXPECT_EQ(counts.add_failure(std::string("k\0x", 3)), 1u);  // keys compare byte for byte
  counts.set("k", 0);
  EXPECT_EQ(counts.add_failure("k"), 1u);
}
