// qyn-test-labels: net
// qyn-test-libs: qyn_stun_client
//
// Life of the STUN client component: destroyed while answers arrive and retransmissions are
// pending, while a TCP connection is open, and with queued deliveries not yet drained; a
// descendant that overrides the read path destroyed while datagrams arrive; switching
// transports; public operations that fail report instead of raising.
#include <gtest/gtest.h>

#include "qynTCP_Client.h"
#include "stun_client/stun_client_test_util.h"

namespace {

using namespace stun_client_test;

TEST(StunClientLifecycle, DestroyedWhileAnswersArriveAndResendsArePending) {
  TFakeUDPServer server([](const TRequest& r, int aIndex) {
    if (aIndex % 2) return std::vector<TqynBytes>{};
    return std::vector<TqynBytes>{
        BuildAnswer(*r.Message, stmcResponseSuccess, [](TqynSTUN_Message& m) { AddXorMapped(m, "192.0.2.1", 1); })};
  });
  for (int round = 0; round < 5; ++round) {
    TEvents events;
    auto client = std::make_unique<TqynSTUNClient>();
    events.Attach(*client);
    PointAt(*client, server.Port());
    client->RetransmissionOptions().RTO = 20;
    for (int i = 0; i < 20; ++i) client->SendRequest();
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * round));
    client.reset(); // joins the read thread and the retransmission timer
  }
  EXPECT_GT(server.Count(), 0u);
}

// A descendant whose read path uses its own members, as the TURN client's does. It declares no
// destructor: freed with delete, the component's threads stop before any destructor runs.
class TReadingClient : public TqynSTUNClient {
public:
  std::atomic<int> Reads{0};

protected:
  void DoReadBytes(TqynSocketConnection* aSocket, const TqynBytes& aBytes) override {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FSizes.push_back(aBytes.size());
      if (FSizes.size() > 64) FSizes.clear();
    }
    ++Reads;
    std::this_thread::sleep_for(1ms); // widens the window in which a destruction would meet the read
    TqynSTUNClient::DoReadBytes(aSocket, aBytes);
  }

private:
  std::mutex FMutex;
  std::vector<size_t> FSizes;
};

// On the stack a component is not freed with delete: its most-derived class stops it first.
class TStackReadingClient : public TReadingClient {
public:
  ~TStackReadingClient() override { ShutdownComponent(); }
};

// Sends a 20-byte success answer of an unknown transaction (dropped by the client after decoding)
// to aPort, over and over, until stopped.
class TDatagramFlood {
public:
  explicit TDatagramFlood(uint16_t aPort) : FFd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    FThread = std::thread([this, aPort] {
      const sockaddr_in to = Loopback(aPort);
      const uint8_t answer[20] = {0x01, 0x01, 0, 0, 0x21, 0x12, 0xA4, 0x42, 'u', 'n', 'k', 'n', 'o', 'w', 'n', 't', 'r', 'a', 'n', 's'};
      while (!FStop.load()) {
        ::sendto(FFd, answer, sizeof answer, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        std::this_thread::sleep_for(200us);
      }
    });
  }
  ~TDatagramFlood() {
    FStop = true;
    FThread.join();
    ::close(FFd);
  }

private:
  int FFd;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

template <typename TClient> TIdPort ListeningPort(TClient& aClient) {
  PointAt(aClient, 9); // discard port: nothing is sent there
  TIdPort port = 0;
  WaitUntil([&] { return (port = ClientUDPPort(aClient)) != 0; });
  return port;
}

TEST(StunClientLifecycle, ADescendantOverridingTheReadPathIsDestroyedWhileDatagramsArrive) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    {
      auto client = std::make_unique<TReadingClient>();
      const TIdPort port = ListeningPort(*client);
      ASSERT_NE(port, 0);
      TDatagramFlood flood(port);
      ASSERT_TRUE(WaitUntil([&] { return client->Reads.load() > 5; }));
      client.reset(); // delete, while a read is likely inside DoReadBytes
    }
    {
      std::unique_ptr<TDatagramFlood> flood;
      {
        TStackReadingClient client;
        const TIdPort port = ListeningPort(client);
        ASSERT_NE(port, 0);
        flood = std::make_unique<TDatagramFlood>(port);
        ASSERT_TRUE(WaitUntil([&] { return client.Reads.load() > 5; }));
      } // leaves the scope while datagrams keep coming
    }
  }
}

TEST(StunClientLifecycle, DestroyedWithQueuedDeliveriesPending) {
  TqynMainThread::SetMainThread();
  TFakeUDPServer server([](const TRequest& r, int) {
    return std::vector<TqynBytes>{
        BuildAnswer(*r.Message, stmcResponseSuccess, [](TqynSTUN_Message& m) { AddXorMapped(m, "192.0.2.1", 1); })};
  });
  std::atomic<int> successes{0};
  {
    TqynSTUNClient client; // neAsynchronous: deliveries wait for the main thread
    client.OnSTUNResponseSuccess = [&](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                       TqynSTUN_ResponseBinding*) { ++successes; };
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    for (int i = 0; i < 5; ++i) client.SendRequest();
    ASSERT_TRUE(WaitUntil([&] { return server.Count() == 5; }));
    std::this_thread::sleep_for(100ms);
  }
  // The deliveries queued for the destroyed client are skipped.
  while (CheckSynchronize(20)) {
  }
  EXPECT_EQ(successes.load(), 0);
}

TEST(StunClientLifecycle, DestroyedWhileATCPConnectionIsOpen) {
  TFakeTCPServer server([](const TFakeTCPServer::TConnection& c, const TRequest& r, int) {
    c.Send(BuildAnswer(*r.Message, stmcResponseSuccess, [](TqynSTUN_Message& m) { AddXorMapped(m, "192.0.2.1", 1); }));
  });
  {
    TEvents events;
    TqynSTUNClient client;
    events.Attach(client);
    PointAt(client, server.Port());
    client.SetTransport(stunTCP);
    client.SendRequest();
    ASSERT_TRUE(WaitUntil([&] { return events.SuccessCount() == 1; }));
    EXPECT_TRUE(client.GetTCPClient()->Active());
  }
  ASSERT_TRUE(WaitUntil([&] { return server.ClosedByClient() == 1; }));
}

TEST(StunClientLifecycle, SwitchingTransportsClosesTheTCPConnection) {
  TFakeTCPServer tcp([](const TFakeTCPServer::TConnection& c, const TRequest& r, int) {
    c.Send(BuildAnswer(*r.Message, stmcResponseSuccess, [](TqynSTUN_Message& m) { AddXorMapped(m, "192.0.2.1", 1); }));
  });
  TFakeUDPServer udp([](const TRequest& r, int) {
    return std::vector<TqynBytes>{
        BuildAnswer(*r.Message, stmcResponseSuccess, [](TqynSTUN_Message& m) { AddXorMapped(m, "192.0.2.1", 2); })};
  });
  TEvents events;
  TqynSTUNClient client;
  events.Attach(client);
  PointAt(client, tcp.Port());
  client.SetTransport(stunTCP);
  client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return events.SuccessCount() == 1; }));

  // A new port closes the connection to the previous server.
  client.SetPort(udp.Port());
  ASSERT_TRUE(WaitUntil([&] { return tcp.ClosedByClient() == 1; }));
  client.SetTransport(stunUDP);
  client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return events.SuccessCount() == 2; }));
  EXPECT_EQ(events.Success(1).Binding.FRemotePort, 2);
  EXPECT_EQ(events.ExceptionCount(), 0u);
}

TEST(StunClientLifecycle, FailuresOfPublicOperationsAreReportedNotRaised) {
  TEvents events;
  TqynSTUNClient client;
  events.Attach(client);
  client.SetNotifyEvents(neNoSync);
  client.SetHost("this name does not resolve.invalid");
  client.SetPort(3478);
  client.RetransmissionOptions().Enabled = false;
  EXPECT_NO_THROW(client.SendRequest());
  EXPECT_NO_THROW(client.WriteData(TqynBytes{1, 2, 3}));
  ASSERT_TRUE(WaitUntil([&] { return events.ExceptionCount() >= 2; }));

  // A handler that raises inside a public operation is reported too.
  client.SetHost("127.0.0.1");
  client.OnSTUNBeforeSend = [](TqynComponent_Base*, TqynSTUN_Message*) { throw Exception("before send failed"); };
  EXPECT_NO_THROW(client.SendRequest());
  EXPECT_TRUE(events.HasException("before send failed"));
  client.OnSTUNBeforeSend = [](TqynComponent_Base*, TqynSTUN_Message*) { throw std::runtime_error("std failure"); };
  EXPECT_NO_THROW(client.SendRequest());
  EXPECT_TRUE(events.HasException("std failure"));
}

struct TDestroyCase {
  const char* Name;
  TqynSTUNTransport Transport;
  TwsNotifyEvent Mode;
};

TEST(StunClientLifecycle, AHandlerMayDestroyTheComponent) {
  TqynMainThread::SetMainThread();
  auto answer = [](const TRequest& r) {
    return BuildAnswer(*r.Message, stmcResponseSuccess, [](TqynSTUN_Message& m) { AddXorMapped(m, "192.0.2.1", 1); });
  };
  TFakeUDPServer udp([&](const TRequest& r, int) { return std::vector<TqynBytes>{answer(r), answer(r)}; });
  TFakeTCPServer tcp([&](const TFakeTCPServer::TConnection& c, const TRequest& r, int) {
    const TqynBytes a = answer(r);
    TqynBytes twice = a;
    twice.insert(twice.end(), a.begin(), a.end()); // a duplicate in the same chunk
    c.Send(twice);
  });
  const std::vector<TDestroyCase> cases = {
      {"udp, read thread", stunUDP, neNoSync},
      {"udp, main thread", stunUDP, neAsynchronous},
      {"tcp, read thread", stunTCP, neNoSync},
      {"tcp, main thread", stunTCP, neAsynchronous},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::atomic<int> calls{0};
    std::atomic<TqynSTUNClient*> client{new TqynSTUNClient()};
    client.load()->SetNotifyEvents(c.Mode);
    client.load()->SetHost("127.0.0.1");
    client.load()->SetPort(c.Transport == stunUDP ? udp.Port() : tcp.Port());
    client.load()->SetTransport(c.Transport);
    std::atomic<bool> sent{false};
    client.load()->OnSTUNResponseSuccess = [&](TqynComponent_Base* Sender, TqynSocketConnection*, TqynSTUN_Message*,
                                                TqynSTUN_ResponseBinding*) {
      ++calls;
      // Not while the test thread is still inside SendRequest (an answer can be that quick).
      WaitUntil([&] { return sent.load(); });
      delete static_cast<TqynSTUNClient*>(Sender);
      client = nullptr;
    };
    client.load()->SendRequest();
    sent = true;
    const bool queued = c.Mode != neNoSync;
    ASSERT_TRUE(queued ? DrainUntil([&] { return client.load() == nullptr; })
                       : WaitUntil([&] { return client.load() == nullptr; }));
    std::this_thread::sleep_for(100ms);
    while (CheckSynchronize(10)) {
    }
    EXPECT_EQ(calls.load(), 1);
  }
}

} // namespace
