// qyn-test-labels: unit
// The retransmission engine on its own: schedule, drop, cancel, enable, re-entrant handlers,
// exceptions and destruction. Times are taken on the timer thread itself in OnRetry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qyn_test_wait.h"
#include "qynClock.h"
#include "qynUDP_Client.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

struct TRetry {
  std::string Text; // the bytes as text
  std::string IPAddress;
  TIdPort Port;
  uint64_t At; // QynTickCount64 on the timer thread
};

TqynBytes Bytes(const std::string& aText) { return TqynBytes(aText.begin(), aText.end()); }

class udp_client_retransmission : public ::testing::Test {
protected:
  void SetUp() override {
    QynClockReset();
    Engine = std::make_unique<TqynUDPRetransmissions>();
    Engine->OnRetry = [this](TqynUDPRetransmissions* Sender, const TqynBytes& B, const std::string& aIP, TIdPort aPort) {
      EXPECT_EQ(Sender, Engine.get());
      std::lock_guard<std::mutex> lock(M);
      Retries.push_back({std::string(B.begin(), B.end()), aIP, aPort, QynTickCount64()});
    };
  }
  void TearDown() override {
    Engine.reset();
    QynClockReset();
  }
  std::vector<TRetry> RetriesOf(const std::string& aText) {
    std::lock_guard<std::mutex> lock(M);
    std::vector<TRetry> out;
    for (const auto& r : Retries)
      if (r.Text == aText) out.push_back(r);
    return out;
  }
  size_t RetryCount() {
    std::lock_guard<std::mutex> lock(M);
    return Retries.size();
  }

  std::unique_ptr<TqynUDPRetransmissions> Engine;
  std::mutex M;
  std::vector<TRetry> Retries;
};

} // namespace

TEST(udp_client_retransmission_records, Defaults) {
  TqynUDPRetransmissionClient_Options options;
  EXPECT_FALSE(options.Enabled);
  EXPECT_EQ(options.MaxRetries, 7);
  EXPECT_EQ(options.RTO, 500);
  TqynUDPRetransmission_Options other;
  other.Enabled = true;
  other.MaxRetries = 3;
  other.RTO = 250;
  options.Assign(other);
  EXPECT_TRUE(options.Enabled);
  EXPECT_EQ(options.MaxRetries, 3);
  EXPECT_EQ(options.RTO, 250);

  TqynUDPRetransmissionItem item;
  EXPECT_EQ(item.ID(), "");
  EXPECT_TRUE(item.Bytes.empty());
  EXPECT_EQ(item.IPAddress, "");
  EXPECT_EQ(item.Port, 0);
  EXPECT_EQ(item.MaxRetries, 7);
  EXPECT_EQ(item.Retries, 0);
  EXPECT_EQ(item.RTO, 0);
  EXPECT_EQ(item.NextRetry, 0u);

  TqynUDPRetransmissions engine;
  EXPECT_EQ(engine.MaxRetries(), 7);
  EXPECT_EQ(engine.RTO(), 500);
  EXPECT_FALSE(engine.Enabled());
  EXPECT_EQ(engine.Count(), 0);
  TqynTimer* timer = engine.Timer();
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(timer->Interval(), 10);
  EXPECT_EQ(timer->NotifyEvents(), neNoSync);
  EXPECT_FALSE(timer->Enabled());
  EXPECT_EQ(engine.Timer(), timer); // made once
}

TEST_F(udp_client_retransmission, AddItemTakesTheEngineSettings) {
  Engine->SetRTO(300);
  Engine->SetMaxRetries(5);
  auto item = std::make_shared<TqynUDPRetransmissionItem>();
  item->SetID("abc");
  item->Bytes = Bytes("x");
  item->MaxRetries = 99;
  const uint64_t before = QynTickCount64();
  Engine->AddItem(item);
  const uint64_t after = QynTickCount64();
  EXPECT_EQ(item->RTO, 300);
  EXPECT_EQ(item->MaxRetries, 5);
  EXPECT_GE(item->NextRetry, before + 300);
  EXPECT_LE(item->NextRetry, after + 300);
  EXPECT_EQ(Engine->Count(), 1);
  EXPECT_EQ(Engine->Queue()->GetItem("abc"), item);

  // Later settings apply to later items only.
  Engine->SetRTO(700);
  auto second = Engine->AddItem("def", Bytes("y"), "127.0.0.2", 4000);
  EXPECT_EQ(second->RTO, 700);
  EXPECT_EQ(second->IPAddress, "127.0.0.2");
  EXPECT_EQ(second->Port, 4000);
  EXPECT_EQ(item->RTO, 300);

  Engine->AddItem(nullptr); // ignored
  Engine->AddItem(item);    // the same object is not queued twice
  EXPECT_EQ(Engine->Count(), 2);
}

// RTO 100, MaxRetries 4: the caller's send plus three resends after about 100, 300 and 700 ms,
// then the item is dropped at about 1500 ms without a fourth resend.
TEST_F(udp_client_retransmission, ScheduleDoublesAndDropsAfterMaxRetries) {
  Engine->SetRTO(100);
  Engine->SetMaxRetries(4);
  Engine->SetEnabled(true);
  EXPECT_TRUE(Engine->Enabled());
  const uint64_t start = QynTickCount64();
  Engine->AddItem("t1", Bytes("one"), "192.0.2.9", 3478);
  ASSERT_TRUE(WaitUntil([&] { return Engine->Count() == 0; }));
  std::this_thread::sleep_for(1500ms); // the next due time would have come long ago
  const auto retries = RetriesOf("one");
  ASSERT_EQ(retries.size(), 3u);
  for (const auto& r : retries) {
    EXPECT_EQ(r.IPAddress, "192.0.2.9");
    EXPECT_EQ(r.Port, 3478);
  }
  // Lower bounds only: each wait is at least the doubled timeout (ticks may come late, never early).
  EXPECT_GE(retries[0].At - start, 100u);
  EXPECT_GE(retries[1].At - retries[0].At, 200u);
  EXPECT_GE(retries[2].At - retries[1].At, 400u);
}

TEST_F(udp_client_retransmission, FewMaxRetriesDropWithoutResend) {
  for (const int maxRetries : {1, 0, -3}) {
    SCOPED_TRACE(maxRetries);
    Engine->SetRTO(50);
    Engine->SetMaxRetries(maxRetries);
    Engine->SetEnabled(true);
    Engine->AddItem("x", Bytes("drop"));
    ASSERT_TRUE(WaitUntil([&] { return Engine->Count() == 0; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(RetryCount(), 0u);
  }
}

TEST_F(udp_client_retransmission, DisabledEngineResendsNothingAndKeepsItems) {
  Engine->SetRTO(50);
  Engine->AddItem("a", Bytes("a"));
  Engine->AddItem("b", Bytes("b"));
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(RetryCount(), 0u);
  EXPECT_EQ(Engine->Count(), 2);
  EXPECT_FALSE(Engine->DeleteItem("nope"));
  EXPECT_TRUE(Engine->DeleteItem("a"));
  EXPECT_FALSE(Engine->DeleteItem("a"));
  EXPECT_EQ(Engine->Count(), 1);

  // Disabling a running engine stops the resends; enabling it again resumes them.
  Engine->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return RetryCount() >= 1; }));
  Engine->SetEnabled(false);
  EXPECT_FALSE(Engine->Enabled());
  std::this_thread::sleep_for(150ms); // a tick in progress may still end
  const size_t stopped = RetryCount();
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(RetryCount(), stopped);
  Engine->SetEnabled(true);
  EXPECT_TRUE(Engine->Enabled());
  ASSERT_TRUE(WaitUntil([&] { return RetryCount() > stopped; }));
}

TEST_F(udp_client_retransmission, DeleteItemCancels) {
  Engine->SetRTO(300);
  Engine->SetMaxRetries(7);
  Engine->SetEnabled(true);
  // Cancelled before its first due time: never resent.
  Engine->AddItem("early", Bytes("early"));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(Engine->DeleteItem("early"));
  // Cancelled after its first resend: no further one.
  Engine->AddItem("late", Bytes("late"));
  ASSERT_TRUE(WaitUntil([&] { return RetriesOf("late").size() == 1; }));
  EXPECT_TRUE(Engine->DeleteItem("late"));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(RetriesOf("early").size(), 0u);
  EXPECT_EQ(RetriesOf("late").size(), 1u);
  EXPECT_EQ(Engine->Count(), 0);
}

TEST_F(udp_client_retransmission, DeleteItemRemovesOnlyTheFirstMatch) {
  Engine->AddItem("same", Bytes("1"));
  auto second = Engine->AddItem("same", Bytes("2"));
  EXPECT_TRUE(Engine->DeleteItem("same"));
  EXPECT_EQ(Engine->Count(), 1);
  EXPECT_EQ(Engine->Queue()->GetItem("same"), second);
  EXPECT_FALSE(Engine->DeleteItem("SAME")); // case-sensitive
}

TEST_F(udp_client_retransmission, TwoItemsAreIndependent) {
  Engine->SetRTO(100);
  Engine->SetMaxRetries(4);
  Engine->SetEnabled(true);
  Engine->AddItem("a", Bytes("a"));
  Engine->AddItem("b", Bytes("b"), "198.51.100.1", 9);
  ASSERT_TRUE(WaitUntil([&] { return RetriesOf("a").size() == 1; }));
  EXPECT_TRUE(Engine->DeleteItem("a"));
  ASSERT_TRUE(WaitUntil([&] { return Engine->Count() == 0; }));
  std::this_thread::sleep_for(1000ms);
  EXPECT_EQ(RetriesOf("a").size(), 1u);
  const auto b = RetriesOf("b");
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(b[0].IPAddress, "198.51.100.1");
  EXPECT_EQ(RetriesOf("a")[0].IPAddress, "");
}

// Due times run on the monotonic clock: moving the wall clock neither floods nor stalls resends.
TEST_F(udp_client_retransmission, WallClockJumpsDoNotMatter) {
  Engine->SetRTO(100);
  Engine->SetMaxRetries(4);
  Engine->SetEnabled(true);
  const uint64_t start = QynTickCount64();
  Engine->AddItem("j", Bytes("jump"));
  QynClockShift(-3600 * 1000); // an hour back: nothing may stall
  ASSERT_TRUE(WaitUntil([&] { return RetriesOf("jump").size() >= 1; }, 5s));
  QynClockShift(2 * 3600 * 1000); // an hour ahead: nothing may come early
  ASSERT_TRUE(WaitUntil([&] { return Engine->Count() == 0; }));
  const auto retries = RetriesOf("jump");
  ASSERT_EQ(retries.size(), 3u);
  EXPECT_GE(retries[0].At - start, 100u);
  EXPECT_GE(retries[1].At - retries[0].At, 200u);
  EXPECT_GE(retries[2].At - retries[1].At, 400u);
}

// Handlers run on the timer thread under the queue's (re-entrant) lock and may change the queue.
TEST_F(udp_client_retransmission, RetryHandlerMayChangeTheQueue) {
  std::atomic<int> calls{0};
  Engine->OnRetry = [&](TqynUDPRetransmissions* Sender, const TqynBytes& B, const std::string&, TIdPort) {
    ++calls;
    const std::string text(B.begin(), B.end());
    if (text == "self") {
      EXPECT_TRUE(Sender->DeleteItem("self"));
      Sender->AddItem("added", Bytes("added"));
    }
    if (text == "added") Sender->Queue()->Clear();
  };
  Engine->SetRTO(50);
  Engine->SetMaxRetries(10);
  Engine->AddItem("keep", Bytes("keep"));
  Engine->AddItem("self", Bytes("self"));
  Engine->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return Engine->Count() == 0; }));
  EXPECT_GE(calls.load(), 3);
}

// A failing retry goes to OnException after the queue's lock was released (another thread can
// use the queue meanwhile), and the other items of the tick are still resent.
TEST_F(udp_client_retransmission, RetryExceptionsAreReportedWithoutTheLock) {
  std::atomic<int> fine{0};
  std::atomic<int> reported{0};
  std::atomic<bool> otherThreadGotLock{false};
  Engine->OnRetry = [&](TqynUDPRetransmissions*, const TqynBytes& B, const std::string&, TIdPort) {
    if (std::string(B.begin(), B.end()) == "bad") throw Exception("resend failed");
    ++fine;
  };
  Engine->OnException = [&](TqynUDPRetransmissions* Sender, const Exception& E) {
    EXPECT_EQ(E.Message(), "resend failed");
    auto other = std::async(std::launch::async, [Sender] { return Sender->DeleteItem("nothing"); });
    otherThreadGotLock = other.wait_for(5s) == std::future_status::ready;
    other.wait();
    ++reported;
  };
  Engine->SetRTO(50);
  Engine->SetMaxRetries(3);
  Engine->AddItem("good", Bytes("good"));
  Engine->AddItem("bad", Bytes("bad"));
  Engine->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return Engine->Count() == 0; }));
  EXPECT_EQ(reported.load(), 2);
  EXPECT_EQ(fine.load(), 2);
  EXPECT_TRUE(otherThreadGotLock.load());
}

TEST_F(udp_client_retransmission, DestroyedPromptlyWithItemsQueued) {
  Engine->SetRTO(100000);
  Engine->SetEnabled(true);
  for (int i = 0; i < 100; ++i) Engine->AddItem(std::to_string(i), Bytes("q"));
  std::this_thread::sleep_for(150ms);
  const auto start = TClock::now();
  Engine.reset();
  EXPECT_LT(TClock::now() - start, 3s);
}

// The engine destroyed by its own retry handler on the timer thread: the tick stops touching it.
TEST_F(udp_client_retransmission, DestroyedFromItsOwnTick) {
  std::atomic<bool> done{false};
  Engine->OnRetry = [&](TqynUDPRetransmissions*, const TqynBytes&, const std::string&, TIdPort) {
    Engine.reset();
    done = true;
  };
  Engine->SetRTO(10);
  Engine->AddItem("a", Bytes("a"));
  Engine->AddItem("b", Bytes("b"));
  Engine->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
  TIdThread::JoinFreedThreads();
}
