// The signal channel: ring size, lag and its count, closure, wake-ups, and concurrent
// receivers on separate and on shared cursors.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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

TEST(Channel, PublishWithoutReceiversIsDroppedAndLaterReceiversStartAfterIt) {
  Hub hub;
  EXPECT_EQ(hub.sender->publish("lost"), 0u);
  auto r = hub.subscribe();
  EXPECT_EQ(r->try_recv().kind, Kind::kEmpty);
  EXPECT_EQ(hub.sender->publish("seen"), 1u);
  EXPECT_EQ(expect_message(*r), "seen");
}

TEST(Channel, EveryReceiverGetsEachMessageOnce) {
  Hub hub;
  auto a = hub.subscribe();
  auto b = hub.subscribe();
  EXPECT_EQ(hub.sender->publish("m1"), 2u);
  EXPECT_EQ(hub.sender->publish(std::string(1000, 'x')), 2u);
  EXPECT_EQ(expect_message(*a), "m1");
  EXPECT_EQ(expect_message(*b), "m1");
  EXPECT_EQ(expect_message(*b), std::string(1000, 'x'));
  EXPECT_EQ(expect_message(*a), std::string(1000, 'x'));
  EXPECT_EQ(a->try_recv().kind, Kind::kEmpty);
  EXPECT_EQ(b->try_recv().kind, Kind::kEmpty);
}

TEST(Channel, ExactlyTheRingIsDeliveredInOrder) {
  Hub hub;
  auto r = hub.subscribe();
  for (int i = 0; i < 128; ++i) hub.sender->publish(std::to_string(i));
  for (int i = 0; i < 128; ++i) EXPECT_EQ(expect_message(*r), std::to_string(i));
}

TEST(Channel, LagReportsTheMissedCountThenResumesAtTheOldest) {
  Hub hub;
  auto r = hub.subscribe();
  auto fresh = hub.subscribe();
  for (int i = 0; i < 130; ++i) hub.sender->publish(std::to_string(i));
  RecvResult lag = r->recv();
  EXPECT_EQ(lag.kind, Kind::kLagged);
  EXPECT_EQ(lag.missed, 2u);
  EXPECT_EQ(expect_message(*r), "2");
  EXPECT_EQ(expect_message(*r), "3");
  // A much larger gap reports the whole of it.
  for (int i = 0; i < 1000; ++i) hub.sender->publish("n" + std::to_string(i));
  lag = fresh->recv();
  EXPECT_EQ(lag.kind, Kind::kLagged);
  EXPECT_EQ(lag.missed, 1130u - 128u);
  EXPECT_EQ(expect_message(*fresh), "n872");
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

TEST(Channel, DroppingAReceiverLowersTheCount) {
  Hub hub;
  auto a = hub.subscribe();
  auto b = hub.subscribe();
  hub.sender->publish("x");
  b.reset();
  EXPECT_EQ(hub.channel->receiver_count(), 1u);
  EXPECT_EQ(hub.sender->publish("y"), 1u);
  EXPECT_EQ(expect_message(*a), "x");
  EXPECT_EQ(expect_message(*a), "y");
}

TEST(Channel, BlockedReceiverWakesForPublicationAndForClosure) {
  Hub hub;
  auto r = hub.subscribe();
  std::atomic<int> stage{0};
  std::thread t([&] {
    EXPECT_EQ(expect_message(*r), "wake");
    stage = 1;
    EXPECT_EQ(r->recv().kind, Kind::kClosed);
    stage = 2;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(stage.load(), 0);
  hub.sender->publish("wake");
  while (stage.load() < 1) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(stage.load(), 1);
  hub.sender.reset();
  t.join();
  EXPECT_EQ(stage.load(), 2);
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
