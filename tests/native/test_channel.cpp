// The signal channel: ring size, lag and its count, closure, wake-ups, and concurrent
// receivers on separate and on shared cursors.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "signals/channel.hpp"

using morva::RecvResult;
using morva::SignalChannel;
using morva::SignalCursor;
using morva::SignalSender;
using Kind = RecvResult::Kind;

namespace {

struct Hub {
  std::shared_ptr<SignalChannel> channel = std::make_shared<SignalChannel>(100);
  std::unique_ptr<SignalSender> sender = std::make_unique<SignalSender>(channel);
  std::unique_ptr<SignalCursor> subscribe() { return std::make_unique<SignalCursor>(channel); }
};

std::string expect_message(SignalCursor& c) {
  RecvResult r = c.recv();
  EXPECT_EQ(r.kind, Kind::kMessage);
  return r.message;
}

TEST(Channel, RingIsRequestedRoomRoundedUpToAPowerOfTwo) {
  EXPECT_EQ(SignalChannel(100).capacity(), 128u);
  EXPECT_EQ(SignalChannel(128).capacity(), 128u);
  EXPECT_EQ(SignalChannel(129).capacity(), 256u);
  EXPECT_EQ(SignalChannel(0).capacity(), 1u);
}

TEST(Channel, LagReportsTheMissedCountThenResumesAtTheOldest) {
  Hub hub;
  EXPECT_EQ(hub.sender->publish("before anyone listens"), 0u);
  auto r = hub.subscribe();
  auto fresh = hub.subscribe();
  for (int i = 0; i < 130; ++i) EXPECT_EQ(hub.sender->publish(std::to_string(i)), 2u);
  RecvResult lag = r->recv();
  EXPECT_EQ(lag.kind, Kind::kLagged);
  EXPECT_EQ(lag.missed, 2u);
  for (int i = 2; i < 130; ++i) EXPECT_EQ(expect_message(*r), std::to_string(i));
  // A much larger gap reports the whole of it.
  for (int i = 0; i < 1000; ++i) hub.sender->publish("n" + std::to_string(i));
  lag = fresh->recv();
  EXPECT_EQ(lag.kind, Kind::kLagged);
  EXPECT_EQ(lag.missed, 1130u - 128u);
  EXPECT_EQ(expect_message(*fresh), "n872");
  fresh.reset();  // gives up its claims: the count drops
  EXPECT_EQ(hub.channel->receiver_count(), 1u);
}

TEST(Channel, ClosureAfterTheLastSenderDrainsThenKeepsReportingClosed) {
  Hub hub;
  auto second = std::make_unique<SignalSender>(hub.channel);
  auto r = hub.subscribe();
  hub.sender->publish("a");
  second->publish("b");
  hub.sender.reset();
  EXPECT_FALSE(hub.channel->closed());  // one publishing end is left
  second.reset();
  EXPECT_TRUE(hub.channel->closed());
  EXPECT_EQ(expect_message(*r), "a");
  EXPECT_EQ(expect_message(*r), "b");
  EXPECT_EQ(r->recv().kind, Kind::kClosed);
  EXPECT_EQ(r->recv().kind, Kind::kClosed);
  EXPECT_EQ(r->try_recv().kind, Kind::kClosed);
}

TEST(Channel, RecvForGivesUpEmptyHandedAndLosesNothing) {
  Hub hub;
  auto r = hub.subscribe();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(r->recv_for(std::chrono::milliseconds(30)).kind, Kind::kEmpty);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  hub.sender->publish("after");
  EXPECT_EQ(r->recv_for(std::chrono::milliseconds(30)).message, "after");
  hub.sender.reset();
  EXPECT_EQ(r->recv_for(std::chrono::hours(1)).kind, Kind::kClosed);
}

TEST(Channel, TryRecvNeverWaitsBehindARunningRecv) {
  Hub hub;
  auto r = hub.subscribe();
  std::thread t([&] { EXPECT_EQ(expect_message(*r), "one"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(r->try_recv().kind, Kind::kEmpty);  // the blocked recv holds the cursor
  hub.sender->publish("one");
  t.join();
}

// Each receiver sees an increasing run of positions; what it did not see it was told about.
TEST(Channel, ConcurrentReceiversSeeEverythingOrAreToldWhatTheyMissed) {
  constexpr int kMessages = 20000;
  constexpr int kReceivers = 4;
  Hub hub;
  std::vector<std::unique_ptr<SignalCursor>> cursors;
  for (int i = 0; i < kReceivers; ++i) cursors.push_back(hub.subscribe());
  std::vector<std::thread> threads;
  std::vector<uint64_t> seen(kReceivers), missed(kReceivers);
  for (int i = 0; i < kReceivers; ++i) {
    threads.emplace_back([&, i] {
      long last = -1;
      for (;;) {
        RecvResult r = cursors[i]->recv();
        if (r.kind == Kind::kClosed) break;
        if (r.kind == Kind::kLagged) {
          missed[i] += r.missed;
          continue;
        }
        long pos = std::stol(r.message);
        EXPECT_GT(pos, last);
        last = pos;
        ++seen[i];
      }
    });
  }
  for (int i = 0; i < kMessages; ++i) hub.sender->publish(std::to_string(i));
  hub.sender.reset();
  for (auto& t : threads) t.join();
  for (int i = 0; i < kReceivers; ++i) EXPECT_EQ(seen[i] + missed[i], uint64_t{kMessages}) << i;
}

// Two threads on one cursor: every message goes to exactly one of them.
TEST(Channel, ConcurrentRecvsOnOneCursorSplitTheMessages) {
  constexpr int kMessages = 20000;
  Hub hub;
  auto cursor = hub.subscribe();
  std::vector<long> got[2];
  uint64_t missed[2] = {0, 0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      for (;;) {
        RecvResult r = cursor->recv();
        if (r.kind == Kind::kClosed) break;
        if (r.kind == Kind::kLagged) {
          missed[i] += r.missed;
        } else {
          got[i].push_back(std::stol(r.message));
        }
      }
    });
  }
  for (int i = 0; i < kMessages; ++i) {
    hub.sender->publish(std::to_string(i));
    if (i % 64 == 0) std::this_thread::yield();
  }
  hub.sender.reset();
  for (auto& t : threads) t.join();
  std::set<long> all(got[0].begin(), got[0].end());
  for (long p : got[1]) EXPECT_TRUE(all.insert(p).second) << "delivered twice: " << p;
  EXPECT_EQ(all.size() + missed[0] + missed[1], std::size_t{kMessages});
}

}  // namespace
