// The meta log ring: eviction order, capacity 0 and 1, huge capacities, concurrent appends.
#include <gtest/gtest.h>

#include <new>
#include <thread>

#include "binding/text.hpp"
#include "structures/meta_log.hpp"

using morva::MetaLogBuffer;

static std::vector<std::string> keys_of(const MetaLogBuffer& log) {
  std::vector<std::string> out;
  for (const auto& r : log.snapshot()) out.push_back(r.key);
  return out;
}

TEST(MetaLog, EvictsOldestFirst) {
  MetaLogBuffer log(3);
  for (int i = 1; i <= 5; ++i) log.append("k" + std::to_string(i), "m");
  EXPECT_EQ(keys_of(log), (std::vector<std::string>{"k3", "k4", "k5"}));
  log.append("k6", "m");
  EXPECT_EQ(keys_of(log), (std::vector<std::string>{"k4", "k5", "k6"}));
}

TEST(MetaLog, CapacityZeroStaysEmptyAndOneReplaces) {
  MetaLogBuffer empty(0);
  empty.append("a", "b");
  EXPECT_TRUE(empty.snapshot().empty());
  MetaLogBuffer one(1);
  one.append("a", "1");
  one.append("b", "2");
  auto snap = one.snapshot();
  ASSERT_EQ(snap.size(), 1u);
  EXPECT_EQ(snap[0].key, "b");
  EXPECT_EQ(snap[0].message, "2");
}

TEST(MetaLog, StateUpdateEntriesReadAsTextAndSlotsAreReused) {
  MetaLogBuffer log(2);
  log.append_state_update(18446744073709551615u);
  log.append("k", "m");
  auto snap = log.snapshot();
  ASSERT_EQ(snap.size(), 2u);
  EXPECT_EQ(snap[0].key, "state_update");
  EXPECT_EQ(snap[0].message, "State updated to version 18446744073709551615");
  EXPECT_GT(snap[0].timestamp, 0.0);
  // A text entry written over an update entry's slot, and the other way round.
  log.append("a", "b");
  log.append_state_update(2);
  snap = log.snapshot();
  EXPECT_EQ(snap[0].key + "/" + snap[0].message, "a/b");
  EXPECT_EQ(snap[1].key + "/" + snap[1].message, "state_update/State updated to version 2");
}

TEST(MetaLog, SnapshotIsACopy) {
  MetaLogBuffer log(4);
  log.append("a", "x");
  auto before = log.snapshot();
  log.append("b", "y");
  EXPECT_EQ(before.size(), 1u);
  EXPECT_EQ(log.snapshot().size(), 2u);
}

TEST(MetaLog, HugeCapacityFailsWithBadAlloc) {
  EXPECT_THROW(MetaLogBuffer(UINT64_MAX), std::bad_alloc);
  EXPECT_THROW(MetaLogBuffer(uint64_t{1} << 44), std::bad_alloc);
}

TEST(MetaLog, TimestampsAreWallClockAndNonDecreasing) {
  MetaLogBuffer log(100);
  double before = morva::wall_clock_seconds();
  for (int i = 0; i < 50; ++i) log.append("k", "m");
  double after = morva::wall_clock_seconds();
  auto snap = log.snapshot();
  for (std::size_t i = 0; i < snap.size(); ++i) {
    EXPECT_GE(snap[i].timestamp, before);
    EXPECT_LE(snap[i].timestamp, after);
    if (i > 0) {
      EXPECT_GE(snap[i].timestamp, snap[i - 1].timestamp);
    }
  }
}

TEST(MetaLog, ConcurrentAppendsKeepTheNewestEntriesIntact) {
  MetaLogBuffer log(256);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 1000; ++i) log.append("t" + std::to_string(t), std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  auto snap = log.snapshot();
  ASSERT_EQ(snap.size(), 256u);
  // Each thread's entries appear in the order that thread appended them, none twice.
  int last[4] = {-1, -1, -1, -1};
  for (const auto& r : snap) {
    int t = r.key[1] - '0';
    int i = std::stoi(r.message);
    EXPECT_GT(i, last[t]);
    last[t] = i;
  }
  // The newest entry overall is some thread's final append.
  EXPECT_EQ(snap.back().message, "999");
}
