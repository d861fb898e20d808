// qyn-test-labels: net
// Destruction of the UDP client component: prompt in every state, from its own handlers on the
// read thread, the timer thread and the main thread, and without threads left behind. Another
// client component serves as the sending peer.
#include <gtest/gtest.h>


#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "qyn_test_wait.h"
#include "qynUDP_Client.h"

namespace {

TqynBytes Bytes(const std::string& aText) { return TqynBytes(aText.begin(), aText.end()); }

// The project's own threads (a sanitizer's background thread is not one of them).
int ThreadCount() { return TIdThread::RunningCount(); }

TIdPort PortOf(TqynUDPCLient_Base* aClient) {
  EXPECT_TRUE(WaitUntil([&] {
    TIdSocketHandle* h = aClient->UDPClient()->Handle();
    return h != nullptr && h->Port() != 0;
  }));
  return aClient->UDPClient()->Handle()->Port();
}

class udp_client_lifecycle : public ::testing::Test {
protected:
  void SetUp() override {
    TqynMainThread::SetMainThread();
    while (CheckSynchronize(0)) {
    }
    Sender = std::make_unique<TqynUDPCLient_Base>();
    Sender->SetNotifyEvents(neNoSync);
    PortOf(Sender.get());
    TIdThread::JoinFreedThreads();
    Threads = ThreadCount();
  }
  void TearDown() override {
    while (CheckSynchronize(0)) {
    }
    TIdThread::JoinFreedThreads();
    // Every thread a test made has ended.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= Threads; }, 5s)) << ThreadCount() << " > " << Threads;
    Sender.reset();
  }
  void SendTo(TqynUDPCLient_Base* aClient, const std::string& aText) {
    Sender->WriteData("127.0.0.1", PortOf(aClient), Bytes(aText));
  }

  std::unique_ptr<TqynUDPCLient_Base> Sender;
  int Threads = 0;
};

} // namespace

// Destruction waits neither for a datagram, nor for a timeout, nor for a due resend.
TEST_F(udp_client_lifecycle, PromptDestructionInEveryState) {
  struct TCase {
    const char* Name;
    std::function<void(TqynUDPCLient_Base*)> Prepare;
  };
  const std::vector<TCase> cases = {
      {"just created", [](TqynUDPCLient_Base*) {}},
      {"idle and bound", [](TqynUDPCLient_Base* c) { PortOf(c); }},
      {"engine with queued items",
       [](TqynUDPCLient_Base* c) {
         TqynUDPRetransmissionClient_Options o;
         o.Enabled = true;
         o.RTO = 60000;
         c->SetRetransmissionOptions(o);
         for (int i = 0; i < 100; ++i) c->Retransmissions()->AddItem(std::to_string(i), Bytes("x"));
       }},
      {"engine stopped", [](TqynUDPCLient_Base* c) { c->Retransmissions()->SetEnabled(false); }},
      {"command mode with commands",
       [](TqynUDPCLient_Base* c) {
         c->SetHost("::1"); // every command fails
         c->SetUDPMode(udpmCommands);
         for (int i = 0; i < 50; ++i) c->AddBytes(Bytes("x"));
       }},
      {"IPv6 socket", [](TqynUDPCLient_Base* c) { c->SetIPVersion(Id_IPv6); }},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.Name);
    auto client = std::make_unique<TqynUDPCLient_Base>();
    client->SetNotifyEvents(neNoSync);
    tc.Prepare(client.get());
    std::this_thread::sleep_for(50ms);
    const auto start = TClock::now();
    client.reset();
    EXPECT_LT(TClock::now() - start, 3s);
  }
}

// With neNoSync a handler may destroy the component on the read thread: the read thread is left
// to end by itself and touches nothing of the component afterwards.
TEST_F(udp_client_lifecycle, DestroyedFromOnUDPReadOnTheReadThread) {
  auto* client = new TqynUDPCLient_Base();
  client->SetNotifyEvents(neNoSync);
  std::atomic<bool> destroyed{false};
  TqynUDPRetransmissionClient_Options o;
  o.Enabled = true;
  o.RTO = 10;
  client->SetRetransmissionOptions(o);
  client->SetPort(9);
  client->Retransmissions()->AddItem("pending", Bytes("pending"));
  client->OnUDPRead = [&](TqynComponent_Base* aSender, TqynUDPSocket* Socket, const TqynBytes&) {
    EXPECT_EQ(Socket->Port(), PortOf(Sender.get()));
    delete static_cast<TqynUDPCLient_Base*>(aSender);
    destroyed = true;
  };
  const TIdPort port = PortOf(client);
  Sender->WriteData("127.0.0.1", port, Bytes("bye"));
  Sender->WriteData("127.0.0.1", port, Bytes("never read"));
  ASSERT_TRUE(WaitUntil([&] { return destroyed.load(); }));
}

// A handler running on the read thread while the main thread destroys the component: the
// destruction waits for the handler, which may still use the component.
TEST_F(udp_client_lifecycle, DestroyedWhileAHandlerRunsOnTheReadThread) {
  auto client = std::make_unique<TqynUDPCLient_Base>();
  client->SetNotifyEvents(neNoSync);
  std::atomic<bool> inHandler{false};
  std::atomic<bool> handlerDone{false};
  client->OnUDPRead = [&](TqynComponent_Base* aSender, TqynUDPSocket* Socket, const TqynBytes&) {
    inHandler = true;
    std::this_thread::sleep_for(300ms);
    auto* c = static_cast<TqynUDPCLient_Base*>(aSender);
    EXPECT_EQ(c->Host(), "127.0.0.1");
    Socket->WriteData(Bytes("answer")); // to Host:Port, port 80: goes nowhere, fails nothing
    handlerDone = true;
  };
  SendTo(client.get(), "slow");
  ASSERT_TRUE(WaitUntil([&] { return inHandler.load(); }));
  client.reset();
  EXPECT_TRUE(handlerDone.load());
}

// With neAsynchronous the handler runs in a drain on the main thread; destroying the component
// there drops the records still pending.
TEST_F(udp_client_lifecycle, DestroyedFromAQueuedHandler) {
  auto* client = new TqynUDPCLient_Base();
  client->SetNotifyEvents(neAsynchronous);
  std::atomic<int> reads{0};
  client->OnUDPRead = [&](TqynComponent_Base* aSender, TqynUDPSocket*, const TqynBytes&) {
    ++reads;
    delete static_cast<TqynUDPCLient_Base*>(aSender);
  };
  const TIdPort port = PortOf(client);
  Sender->WriteData("127.0.0.1", port, Bytes("1"));
  Sender->WriteData("127.0.0.1", port, Bytes("2"));
  Sender->WriteData("127.0.0.1", port, Bytes("3"));
  // All three are queued before the first drain runs, so two are still pending when the handler
  // destroys the component.
  ASSERT_TRUE(WaitUntil([&] { return client->PendingCount(TqynUDPComponent::nkRead) == 3; }));
  ASSERT_TRUE(DrainUntil([&] { return reads.load() == 1; }));
  // The component and its read thread are gone: every call still queued for the main thread has
  // run once this loop ends, and none of them delivered another record.
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(TqynMainThread::PendingCount(), 0u);
  EXPECT_EQ(reads.load(), 1);
}

// With neSynchronous the read thread waits for the main thread; destroying the component on the
// main thread without draining withdraws that wait instead of deadlocking.
TEST_F(udp_client_lifecycle, DestroyedWhileTheReadThreadWaitsForTheMainThread) {
  auto client = std::make_unique<TqynUDPCLient_Base>();
  client->SetNotifyEvents(neSynchronous);
  std::atomic<int> reads{0};
  client->OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes&) { ++reads; };
  SendTo(client.get(), "waits");
  // The read thread has queued its record and waits for the main thread to drain it.
  ASSERT_TRUE(WaitUntil([&] { return client->PendingCount(TqynUDPComponent::nkRead) == 1 && TqynMainThread::PendingCount() > 0; }));
  const auto start = TClock::now();
  client.reset();
  EXPECT_LT(TClock::now() - start, 3s);
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(reads.load(), 0);
}

// A failed resend reported with neNoSync runs OnUDPException on the engine's timer thread; the
// handler may destroy the component there.
TEST_F(udp_client_lifecycle, DestroyedFromTheTimerThread) {
  auto* client = new TqynUDPCLient_Base();
  client->SetNotifyEvents(neNoSync);
  std::atomic<bool> destroyed{false};
  std::atomic<bool> onReadThread{false};
  TqynUDPRetransmissionClient_Options o;
  o.Enabled = true;
  o.RTO = 10;
  client->SetRetransmissionOptions(o);
  client->OnUDPException = [&](TqynComponent_Base* aSender, TqynUDPSocket*, const Exception&) {
    auto* c = static_cast<TqynUDPCLient_Base*>(aSender);
    onReadThread = c->UDPClient()->IsReadThread();
    delete c;
    destroyed = true;
  };
  client->Retransmissions()->AddItem("a", Bytes("a"), "::1", 9);
  client->Retransmissions()->AddItem("b", Bytes("b"), "::1", 9);
  ASSERT_TRUE(WaitUntil([&] { return destroyed.load(); }));
  EXPECT_FALSE(onReadThread.load());
}

// Changing the family replaces the socket: reads and writes go on in the new family.
TEST_F(udp_client_lifecycle, IPVersionChangeMakesANewSocket) {
  if (!GStack().SupportsIPv6()) GTEST_SKIP() << "no IPv6 here";
  auto client = std::make_unique<TqynUDPCLient_Base>();
  client->SetNotifyEvents(neNoSync);
  std::atomic<int> reads{0};
  client->OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes&) { ++reads; };
  PortOf(client.get());
  client->SetIPVersion(Id_IPv6);
  ASSERT_TRUE(WaitUntil([&] { return client->UDPClient()->Handle()->IPVersion() == Id_IPv6; }));
  client->SetIPVersion(Id_IPv4);
  ASSERT_TRUE(WaitUntil([&] {
    TIdSocketHandle* h = client->UDPClient()->Handle();
    return h->IPVersion() == Id_IPv4 && h->HandleAllocated() && h->Port() != 0;
  }));
  SendTo(client.get(), "v4 again");
  ASSERT_TRUE(WaitUntil([&] { return reads.load() == 1; }));
}
