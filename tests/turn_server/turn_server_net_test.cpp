// qyn-test-labels: net
// qyn-test-libs: qyn_turn_server qyn_stun_server
//
// The TURN server component on loopback with real relay bindings: data relayed both ways as
// Send/Data indications and as ChannelData, a relay port held by another program, Refresh 0
// and expiry closing the relay binding, removal of a relay binding while queued notifications
// wait on the main thread, and destruction under traffic.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "qynBase_Sync.h"
#include "qynUDP_Server.h"
#include "qyn_test_udp.h"
#include "qyn_test_wait.h"
#include "turn_server/turn_server_test_util.h"

namespace {

struct TurnNet : ::testing::Test {
  TqynTURNServer Server;
  RawClient Client;
  RawClient Peer;
  TIdPort ServerPort = 0;
  std::atomic<int> Exceptions{0};
  int Tid = 1;

  void Start(TwsNotifyEvent aMode = neNoSync) {
    Server.TURNOptions().Authentication.Enabled = false;
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception&) { ++Exceptions; };
    Server.SetNotifyEvents(aMode);
    Server.SetHost("127.0.0.1");
    Server.SetPort(0);
    Server.SetActive(true);
    ASSERT_TRUE(Server.Active());
    ServerPort = Server.Bindings().Items(0)->Port();
    ASSERT_TRUE(Client.Ok());
    ASSERT_TRUE(Peer.Ok());
  }
  ~TurnNet() override {
    Server.SetActive(false);
    QynClockReset();
  }
  // Sends a request and waits for its answer (running queued main-thread work meanwhile).
  TqynSTUN_Message Ask(uint16_t aType, const std::function<void(TqynSTUN_Message&)>& aFill) {
    Client.Send(ServerPort, BuildMessage(aType, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++), aFill));
    return ReadAnswer();
  }
  TqynSTUN_Message ReadAnswer() {
    TqynSTUN_Message m;
    TqynBytes out;
    // Data for the client (Data indications, ChannelData) may come first: skipped.
    DrainUntil([&] {
      for (;;) {
        out = Client.Receive(1);
        if (out.empty()) return false;
        if ((out[0] & 0xC0) == 0 && TqynSTUN_Header::DecodeClass(TypeField(out)) != stmcIndication) return true;
      }
    }, 10s);
    if (!out.empty()) ReadResponse(out, m);
    return m;
  }
  TqynBytes ReceiveOn(RawClient& aSocket, uint16_t* aFrom = nullptr) {
    TqynBytes out;
    DrainUntil([&] { return !(out = aSocket.Receive(5, aFrom)).empty(); }, 10s);
    return out;
  }
  uint16_t AllocateRelay() {
    TqynSTUN_Message m = Ask(kAllocate, [](TqynSTUN_Message& r) { AddRequestedTransport(r); });
    const auto* relayed = m.Attributes().GetAttribute(stmaXOR_Relayed_Address);
    if (!relayed) return 0;
    EXPECT_EQ(relayed->Address(), "127.0.0.1");
    return relayed->Port();
  }
};

TEST_F(TurnNet, RelaysBothWaysAsIndicationsAndAsChannelData) {
  Start();
  const uint16_t relay = AllocateRelay();
  ASSERT_NE(relay, 0);
  ASSERT_EQ(Ask(kCreatePermission, [](TqynSTUN_Message& m) { AddPeer(m, "127.0.0.1", 1); }).Header().MessageType_Class(),
            stmcResponseSuccess);

  // Client -> peer by Send indication: it leaves from the relayed address.
  Client.Send(ServerPort, BuildMessage(kSendIndication, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++), [&](TqynSTUN_Message& m) {
    AddPeer(m, "127.0.0.1", Peer.Port());
    AddDataAttr(m, Bytes("ping"));
  }));
  uint16_t from = 0;
  EXPECT_EQ(ReceiveOn(Peer, &from), Bytes("ping"));
  EXPECT_EQ(from, relay);

  // Peer -> client: a Data indication from the server's listening port.
  Peer.Send(relay, Bytes("pong"));
  const TqynBytes indication = ReceiveOn(Client, &from);
  EXPECT_EQ(from, ServerPort);
  std::string ip;
  TIdPort port = 0;
  TqynBytes data;
  ASSERT_TRUE(ReadDataIndication(indication, ip, port, data));
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_EQ(port, Peer.Port());
  EXPECT_EQ(data, Bytes("pong"));

  // With a channel: ChannelData both ways.
  TqynSTUN_Message bound = Ask(kChannelBind, [&](TqynSTUN_Message& m) {
    AddChannel(m, 0x4123);
    AddPeer(m, "127.0.0.1", Peer.Port());
  });
  ASSERT_EQ(bound.Header().MessageType_Class(), stmcResponseSuccess);
  Client.Send(ServerPort, ChannelDataBytes(0x4123, Bytes("up")));
  EXPECT_EQ(ReceiveOn(Peer, &from), Bytes("up"));
  EXPECT_EQ(from, relay);
  Peer.Send(relay, Bytes("down"));
  EXPECT_EQ(ReceiveOn(Client, &from), ChannelDataBytes(0x4123, Bytes("down")));
  EXPECT_EQ(from, ServerPort);

  // Refresh 0 closes the relay binding.
  TqynSTUN_Message refreshed = Ask(kRefresh, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 0); });
  ASSERT_EQ(refreshed.Header().MessageType_Class(), stmcResponseSuccess);
  EXPECT_EQ(Server.GetUDPServer()->GetBinding("127.0.0.1", relay), nullptr);
  EXPECT_EQ(Exceptions.load(), 0);
}

TEST_F(TurnNet, APortHeldByAnotherProgramIsSkippedAndNoneLeftGives508) {
  RawClient holder;
  ASSERT_TRUE(holder.Ok());
  const uint16_t held = holder.Port();
  Server.TURNOptions().Allocation.MinPort = held;
  Server.TURNOptions().Allocation.MaxPort = static_cast<uint16_t>(held + 1); // only the held port
  Start();
  for (int i = 0; i < 2; ++i) {
    TqynSTUN_Message m = Ask(kAllocate, [](TqynSTUN_Message& r) { AddRequestedTransport(r); });
    EXPECT_EQ(ErrorOf(m).first, 508); // not 437: nothing is left behind for this 5-tuple
  }
  EXPECT_EQ(Server.GetAllocations()->Count(), 0);
  EXPECT_EQ(Server.GetUDPServer()->GetBinding("127.0.0.1", held), nullptr);

  // One more port in the range: the held one is tried at most once, the free one binds.
  const uint16_t next = static_cast<uint16_t>(held + 1);
  bool nextFree;
  {
    RawClient probe(AF_INET, next);
    nextFree = probe.Ok();
  }
  if (!nextFree) GTEST_SKIP() << "the port after the held one is in use";
  // Options are changed while the server is stopped (its listeners read them).
  Server.SetActive(false);
  Server.TURNOptions().Allocation.MaxPort = static_cast<uint16_t>(held + 2);
  Server.SetActive(true);
  ASSERT_TRUE(Server.Active());
  ServerPort = Server.Bindings().Items(0)->Port();
  EXPECT_EQ(AllocateRelay(), next);
  EXPECT_EQ(Exceptions.load(), 0);
}

TEST_F(TurnNet, ExpiryClosesTheRelayBindingOfARunningServer) {
  Start();
  const uint16_t relay = AllocateRelay();
  ASSERT_NE(relay, 0);
  ASSERT_NE(Server.GetUDPServer()->GetBinding("127.0.0.1", relay), nullptr);
  QynClockShift(661 * 1000);
  Server.DoAllocationsTimer(nullptr);
  EXPECT_EQ(Server.GetUDPServer()->GetBinding("127.0.0.1", relay), nullptr);
  EXPECT_TRUE(Server.GetAllocations()->IsRelayPortAvailable(relay));
  // The port is free again for anyone.
  RawClient reuse(AF_INET, relay);
  EXPECT_TRUE(reuse.Ok());
}

TEST_F(TurnNet, RefreshZeroOnTheMainThreadWhilePeerDataIsQueued) {
  TqynMainThread::SetMainThread();
  Start(neAsynchronous);
  const uint16_t relay = AllocateRelay();
  ASSERT_NE(relay, 0);
  Ask(kCreatePermission, [](TqynSTUN_Message& m) { AddPeer(m, "127.0.0.1", 1); });
  std::atomic<bool> stop{false};
  std::thread blaster([&] {
    RawClient p;
    while (!stop.load()) {
      p.Send(relay, Bytes("flood"));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // Let notifications pile up while the main thread is busy elsewhere.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto started = std::chrono::steady_clock::now();
  TqynSTUN_Message refreshed = Ask(kRefresh, [](TqynSTUN_Message& m) { AddLifetimeAttr(m, 0); });
  stop.store(true);
  blaster.join();
  EXPECT_EQ(refreshed.Header().MessageType_Class(), stmcResponseSuccess);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s); // generous: no deadlock
  EXPECT_EQ(Server.GetUDPServer()->GetBinding("127.0.0.1", relay), nullptr);
  TqynMainThread::CheckSynchronize(0);
}

TEST_F(TurnNet, OtherAddressListsPlainBindingsOnlyAndFollowsTheirChanges) {
  Start();
  TIdSocketHandle* second = Server.AddBinding("127.0.0.1", 0);
  ASSERT_NE(second, nullptr);
  const TIdPort secondPort = second->Port();
  const uint16_t relay = AllocateRelay();
  ASSERT_NE(relay, 0);
  auto others = [&] {
    std::vector<TIdPort> ports;
    TqynSTUN_Message m = Ask(0x0001, {});
    for (const auto& a : m.Attributes())
      if (a->AttributeType() == stmaOther_Address) ports.push_back(a->Port());
    return ports;
  };
  EXPECT_EQ(others(), std::vector<TIdPort>{secondPort});
  // Relay bindings are known as such by their mark, not by their name.
  TIdSocketHandle* relayBinding = Server.GetUDPServer()->GetBinding("127.0.0.1", relay);
  ASSERT_NE(relayBinding, nullptr);
  EXPECT_TRUE(Server.GetUDPServer()->IsRelayBinding(relayBinding));
  EXPECT_FALSE(Server.GetUDPServer()->IsRelayBinding(second));
  const uint64_t version = Server.GetUDPServer()->PlainBindingsVersion();
  // Another allocation's relay binding leaves the other addresses as they are.
  RawClient other;
  other.Send(ServerPort, BuildMessage(kAllocate, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(Tid++),
                                      [](TqynSTUN_Message& r) { AddRequestedTransport(r); }));
  EXPECT_EQ(TypeField(other.Receive()), 0x0103);
  EXPECT_EQ(Server.GetUDPServer()->PlainBindingsVersion(), version);
  TIdSocketHandle* third = Server.AddBinding("127.0.0.1", 0);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(others(), (std::vector<TIdPort>{secondPort, third->Port()}));
  Server.RemoveBinding("127.0.0.1", secondPort);
  EXPECT_EQ(others(), std::vector<TIdPort>{third->Port()});
}

TEST(TurnNetLifetime, DestroyedWhilePeersBlastItsRelays) {
  auto server = std::make_unique<TqynTURNServer>();
  server->TURNOptions().Authentication.Enabled = false;
  server->SetHost("127.0.0.1");
  server->SetPort(0);
  server->SetActive(true);
  ASSERT_TRUE(server->Active());
  const TIdPort serverPort = server->Bindings().Items(0)->Port();
  std::vector<uint16_t> relays;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<RawClient>());
    clients.back()->Send(serverPort, BuildMessage(kAllocate, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(i),
                                                  [](TqynSTUN_Message& m) { AddRequestedTransport(m); }));
    TqynSTUN_Message m;
    ReadResponse(clients.back()->Receive(), m);
    const auto* relayed = m.Attributes().GetAttribute(stmaXOR_Relayed_Address);
    ASSERT_NE(relayed, nullptr);
    relays.push_back(relayed->Port());
    clients.back()->Send(serverPort, BuildMessage(kCreatePermission, QYN_STUN_MAGIC_COOKIE, TurnTransactionId(100 + i),
                                                  [](TqynSTUN_Message& r) { AddPeer(r, "127.0.0.1", 1); }));
    clients.back()->Receive();
  }
  std::atomic<bool> stop{false};
  std::thread blaster([&] {
    RawClient p;
    while (!stop.load()) {
      for (uint16_t r : relays) p.Send(r, Bytes("x"));
      clients[0]->Send(serverPort, ChannelDataBytes(0x4000, Bytes("y")));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server.reset(); // while datagrams arrive on every binding
  stop.store(true);
  blaster.join();
}

} // namespace
