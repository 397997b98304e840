// The signal channel: ring size, lag and its count, closure, waits that give up, and
// concurrent receivers on separate and on shared cursors (threads take the GIL, as in use).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
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
using std::chrono::milliseconds;

namespace {

struct Hub {
  std::shared_ptr<SignalChannel> channel = std::make_shared<SignalChannel>(100);
  std::unique_ptr<SignalSender> sender = std::make_unique<SignalSender>(channel);
  std::unique_ptr<SignalCursor> subscribe() { return std::make_unique<SignalCursor>(channel); }
  std::size_t publish(const std::string& text) { return sender->publish(std::string_view(text)); }
};

std::string text_of(const RecvResult& r) {
  return r.kind == Kind::kMessage ? PyUnicode_AsUTF8AndSize(r.message.get(), nullptr) : "";
}

// Waits as recv does, in steps, until something other than kEmpty.
RecvResult recv(SignalCursor& c) {
  for (;;) {
    RecvResult r = c.recv_for(milliseconds(100));
    if (r.kind != Kind::kEmpty) return r;
  }
}

std::string expect_message(SignalCursor& c) {
  RecvResult r = recv(c);
  EXPECT_EQ(r.kind, Kind::kMessage);
  return text_of(r);
}

// Runs `body` on `n` threads that hold the GIL except while they wait, then joins them.
template <typename F>
void on_threads(int n, F body, std::function<void()> meanwhile = [] {}) {
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      PyGILState_STATE g = PyGILState_Ensure();
      body(i);
      PyGILState_Release(g);
    });
  }
  meanwhile();
  PyThreadState* saved = PyEval_SaveThread();
  for (auto& t : threads) t.join();
  PyEval_RestoreThread(saved);
}

TEST(Channel, RingIsRequestedRoomRoundedUpToAPowerOfTwo) {
  EXPECT_EQ(SignalChannel(100).capacity(), 128u);
  EXPECT_EQ(SignalChannel(128).capacity(), 128u);
  EXPECT_EQ(SignalChannel(129).capacity(), 256u);
  EXPECT_EQ(SignalChannel(0).capacity(), 1u);
}

TEST(Channel, LagReportsTheMissedCountThenResumesAtTheOldest) {
  Hub hub;
  EXPECT_EQ(hub.publish("before anyone listens"), 0u);
  auto r = hub.subscribe();
  auto fresh = hub.subscribe();
  for (int i = 0; i < 130; ++i) EXPECT_EQ(hub.publish(std::to_string(i)), 2u);
  RecvResult lag = r->try_recv();
  EXPECT_EQ(lag.kind, Kind::kLagged);
  EXPECT_EQ(lag.missed, 2u);
  for (int i = 2; i < 130; ++i) EXPECT_EQ(expect_message(*r), std::to_string(i));
  // A much larger gap reports the whole of it.
  for (int i = 0; i < 1000; ++i) hub.publish("n" + std::to_string(i));
  lag = fresh->try_recv();
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
  hub.publish("a");
  second->publish(std::string_view("b"));
  hub.sender.reset();
  EXPECT_FALSE(hub.channel->closed());  // one publishing end is left
  second.reset();
  EXPECT_TRUE(hub.channel->closed());
  EXPECT_EQ(expect_message(*r), "a");
  EXPECT_EQ(expect_message(*r), "b");
  EXPECT_EQ(r->recv_for(milliseconds(1000)).kind, Kind::kClosed);
  EXPECT_EQ(r->try_recv().kind, Kind::kClosed);
}

TEST(Channel, RecvForGivesUpEmptyHandedAndLosesNothing) {
  Hub hub;
  auto r = hub.subscribe();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(r->recv_for(milliseconds(30)).kind, Kind::kEmpty);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(30));
  hub.publish("after");
  EXPECT_EQ(text_of(r->recv_for(milliseconds(30))), "after");
}

TEST(Channel, PublishOrClosureWakesAWaitingReceiver) {
  Hub hub;
  auto r = hub.subscribe();
  auto start = std::chrono::steady_clock::now();
  on_threads(1, [&](int) {
    EXPECT_EQ(text_of(r->recv_for(std::chrono::hours(1))), "one");
    EXPECT_EQ(r->recv_for(std::chrono::hours(1)).kind, Kind::kClosed);
  }, [&] {
    PyThreadState* saved = PyEval_SaveThread();
    std::this_thread::sleep_for(milliseconds(20));
    PyEval_RestoreThread(saved);
    hub.publish("one");
    saved = PyEval_SaveThread();
    std::this_thread::sleep_for(milliseconds(20));
    PyEval_RestoreThread(saved);
    hub.sender.reset();
  });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Each receiver sees an increasing run of positions; what it did not see it was told about.
// Two of them share one cursor: every message goes to exactly one of those two.
TEST(Channel, ConcurrentReceiversSeeEverythingOnceOrAreToldWhatTheyMissed) {
  constexpr int kMessages = 20000;
  Hub hub;
  std::vector<std::unique_ptr<SignalCursor>> cursors;
  for (int i = 0; i < 3; ++i) cursors.push_back(hub.subscribe());
  std::vector<std::vector<long>> got(4);
  std::vector<uint64_t> missed(4);
  on_threads(4, [&](int i) {
    SignalCursor& c = *cursors[i < 2 ? i : 2];  // threads 2 and 3 share a cursor
    for (;;) {
      RecvResult r = recv(c);
      if (r.kind == Kind::kClosed) break;
      if (r.kind == Kind::kLagged) {
        missed[i] += r.missed;
        continue;
      }
      long pos = std::stol(text_of(r));
      EXPECT_TRUE(got[i].empty() || pos > got[i].back());
      got[i].push_back(pos);
    }
  }, [&] {
    for (int i = 0; i < kMessages; ++i) {
      hub.publish(std::to_string(i));
      if (i % 64 == 0) {
        PyThreadState* saved = PyEval_SaveThread();
        std::this_thread::yield();
        PyEval_RestoreThread(saved);
      }
    }
    hub.sender.reset();
  });
  for (int i = 0; i < 2; ++i) EXPECT_EQ(got[i].size() + missed[i], std::size_t{kMessages}) << i;
  std::set<long> shared(got[2].begin(), got[2].end());
  for (long p : got[3]) EXPECT_TRUE(shared.insert(p).second) << "delivered twice: " << p;
  EXPECT_EQ(shared.size() + missed[2] + missed[3], std::size_t{kMessages});
}

}  // namespace
