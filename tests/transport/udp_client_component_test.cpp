// qyn-test-labels: net
// The UDP client component on loopback: reads from any sender, writes and their failures, the
// notification modes, retransmissions through the component, commands, log file, proxy refusal
// and IPv6. Peers are plain sockets on ports read back after binding port 0.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qyn_test_wait.h"
#include "qynClock.h"
#include "qynId_Hash.h"
#include "qynUDP_Client.h"

namespace {

TqynBytes Bytes(const std::string& aText) { return TqynBytes(aText.begin(), aText.end()); }

// A loopback UDP peer: records every datagram with its sender and arrival tick; optionally
// echoes each one back to its sender.
class TPeer {
public:
  struct TDatagram {
    std::string Text;
    std::string IP;
    TIdPort Port;
    uint64_t At;
  };

  explicit TPeer(bool aIPv6 = false, bool aEcho = false) : FIPv6(aIPv6), FEcho(aEcho) {
    FFd = ::socket(aIPv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    if (FFd < 0) return;
    if (aIPv6) {
      int one = 1;
      ::setsockopt(FFd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      if (::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
      socklen_t len = sizeof a;
      ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
      FPort = ntohs(a.sin6_port);
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
      socklen_t len = sizeof a;
      ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
      FPort = ntohs(a.sin_port);
    }
    FThread = std::thread([this] { Loop(); });
  }
  ~TPeer() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
    if (FFd >= 0) ::close(FFd);
  }
  bool Ok() const { return FPort != 0; }
  TIdPort Port() const { return FPort; }

  void SendTo(TIdPort aPort, const TqynBytes& aBytes) {
    if (FIPv6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      a.sin6_port = htons(aPort);
      ::sendto(FFd, aBytes.data(), aBytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(aPort);
      ::sendto(FFd, aBytes.data(), aBytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
  }
  std::vector<TDatagram> Received() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FReceived;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FReceived.size();
  }
  std::vector<TDatagram> ReceivedOf(const std::string& aText) {
    std::vector<TDatagram> out;
    for (auto& d : Received())
      if (d.Text == aText) out.push_back(d);
    return out;
  }

private:
  void Loop() {
    std::vector<uint8_t> buf(70000);
    while (!FStop) {
      pollfd p{FFd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      sockaddr_storage from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(FFd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      const uint64_t at = QynTickCount64();
      char ip[INET6_ADDRSTRLEN] = {0};
      TIdPort port = 0;
      if (from.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&from);
        ::inet_ntop(AF_INET6, &a->sin6_addr, ip, sizeof ip);
        port = ntohs(a->sin6_port);
      } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&from);
        ::inet_ntop(AF_INET, &a->sin_addr, ip, sizeof ip);
        port = ntohs(a->sin_port);
      }
      if (FEcho) ::sendto(FFd, buf.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
      std::lock_guard<std::mutex> lock(FMutex);
      FReceived.push_back({std::string(buf.begin(), buf.begin() + n), ip, port, at});
    }
  }

  bool FIPv6;
  bool FEcho;
  int FFd = -1;
  TIdPort FPort = 0;
  std::atomic<bool> FStop{false};
  std::thread FThread;
  std::mutex FMutex;
  std::vector<TDatagram> FReceived;
};

struct TRead {
  std::string Text;
  std::string IP;
  TIdPort Port;
  TIdPort LocalPort;
  TIdIPVersion IPVersion;
  std::string Guid;
  TwsTransport Transport;
  std::thread::id On;
};

struct TFailure {
  std::string Message;
  bool HasSocket;
  std::thread::id On;
};

class udp_client_component : public ::testing::Test {
protected:
  void SetUp() override {
    TqynMainThread::SetMainThread();
    while (CheckSynchronize(0)) {
    }
    Client = std::make_unique<TqynUDPCLient_Base>();
    Hook(Client.get());
  }
  void TearDown() override {
    Client.reset();
    while (CheckSynchronize(0)) {
    }
    TIdThread::JoinFreedThreads();
    QynClockReset();
  }
  void Hook(TqynUDPCLient_Base* aClient) {
    aClient->OnUDPRead = [this](TqynComponent_Base*, TqynUDPSocket* Socket, const TqynBytes& B) {
      std::lock_guard<std::mutex> lock(M);
      Reads.push_back({std::string(B.begin(), B.end()), Socket->IP(), Socket->Port(), Socket->LocalPort(),
                       Socket->IPVersion(), Socket->Guid(), Socket->Transport(), std::this_thread::get_id()});
    };
    aClient->OnUDPException = [this](TqynComponent_Base*, TqynUDPSocket* Socket, const Exception& E) {
      std::lock_guard<std::mutex> lock(M);
      Failures.push_back({E.Message(), Socket != nullptr, std::this_thread::get_id()});
    };
  }
  // The client's local port, once its read thread has made the socket.
  TIdPort ClientPort(TqynUDPCLient_Base* aClient = nullptr) {
    TqynUDPCLient_Base* c = aClient ? aClient : Client.get();
    EXPECT_TRUE(WaitUntil([&] { return c->UDPClient()->Handle() != nullptr && c->UDPClient()->Handle()->Port() != 0; }));
    return c->UDPClient()->Handle()->Port();
  }
  std::vector<TRead> ReadsNow() {
    std::lock_guard<std::mutex> lock(M);
    return Reads;
  }
  size_t ReadCount() {
    std::lock_guard<std::mutex> lock(M);
    return Reads.size();
  }
  std::vector<TFailure> FailuresNow() {
    std::lock_guard<std::mutex> lock(M);
    return Failures;
  }
  size_t FailureCount() {
    std::lock_guard<std::mutex> lock(M);
    return Failures.size();
  }
  void EnableRetransmissions(int aRTO, int aMaxRetries) {
    TqynUDPRetransmissionClient_Options options;
    options.Enabled = true;
    options.RTO = aRTO;
    options.MaxRetries = aMaxRetries;
    Client->SetRetransmissionOptions(options);
  }

  std::unique_ptr<TqynUDPCLient_Base> Client;
  std::mutex M;
  std::vector<TRead> Reads;
  std::vector<TFailure> Failures;
};

} // namespace

TEST_F(udp_client_component, Defaults) {
  EXPECT_EQ(Client->Version(), "4.5.2");
  EXPECT_EQ(Client->Host(), "127.0.0.1");
  EXPECT_EQ(Client->Port(), 80);
  EXPECT_EQ(Client->IPVersion(), Id_IPv4);
  EXPECT_EQ(Client->NotifyEvents(), neAsynchronous);
  EXPECT_EQ(Client->UDPMode(), udpmDefault);
  const auto retransmission = Client->RetransmissionOptions();
  EXPECT_FALSE(retransmission.Enabled);
  EXPECT_EQ(retransmission.MaxRetries, 7);
  EXPECT_EQ(retransmission.RTO, 500);
  EXPECT_FALSE(Client->LogFile().Enabled);
  EXPECT_EQ(Client->LogFile().FileName, "");
  EXPECT_FALSE(Client->Proxy().Enabled);
  EXPECT_EQ(Client->Proxy().ProxyType, pxySocks5);
  EXPECT_FALSE(Client->HeartBeat().Enabled);
  EXPECT_EQ(Client->HeartBeat().Interval, 60);
  EXPECT_FALSE(Client->TLS());
  ASSERT_NE(Client->UDPClient(), nullptr);
  ASSERT_NE(Client->UDPClient()->ReadThread(), nullptr);
  EXPECT_TRUE(Client->UDPClient()->ReadThread()->ReadSocket());
  // Listening from creation: the read thread binds an ephemeral port on its own.
  EXPECT_NE(ClientPort(), 0);
  EXPECT_TRUE(Client->UDPClient()->ReadThread()->Executed());
  EXPECT_NE(Client->UDPClient()->ReadThread()->ThreadID(), 0u);
}

// Every datagram from any sender arrives as one OnUDPRead with exactly its bytes and its sender.
TEST_F(udp_client_component, EveryDatagramFromAnySenderArrivesOnce) {
  Client->SetNotifyEvents(neNoSync);
  Client->SetPort(3478);
  TPeer a, b;
  ASSERT_TRUE(a.Ok() && b.Ok());
  const TIdPort port = ClientPort();
  a.SendTo(port, Bytes("from a"));
  b.SendTo(port, Bytes("from b"));
  const std::string big(8192, 'z');
  a.SendTo(port, Bytes(big));
  ASSERT_TRUE(WaitUntil([&] { return ReadCount() == 3; }));
  std::this_thread::sleep_for(100ms);
  const auto reads = ReadsNow();
  ASSERT_EQ(reads.size(), 3u);
  int seenA = 0, seenB = 0;
  for (const auto& r : reads) {
    EXPECT_EQ(r.IP, "127.0.0.1");
    EXPECT_EQ(r.LocalPort, port);
    EXPECT_EQ(r.IPVersion, Id_IPv4);
    EXPECT_EQ(r.Transport, trpUDP);
    EXPECT_EQ(r.Guid, TIdEncoderMIME::EncodeString("127.0.0.1:3478"));
    if (r.Text == "from a" || r.Text == big) {
      EXPECT_EQ(r.Port, a.Port());
      ++seenA;
    } else {
      EXPECT_EQ(r.Text, "from b");
      EXPECT_EQ(r.Port, b.Port());
      ++seenB;
    }
  }
  EXPECT_EQ(seenA, 2);
  EXPECT_EQ(seenB, 1);
  EXPECT_EQ(FailureCount(), 0u);
}

TEST_F(udp_client_component, EmptyDatagramRaisesNoEventAndOversizedOneIsAnException) {
  Client->SetNotifyEvents(neNoSync);
  TPeer peer;
  ASSERT_TRUE(peer.Ok());
  const TIdPort port = ClientPort();
  peer.SendTo(port, TqynBytes());
  peer.SendTo(port, TqynBytes(8193, 'o'));
  peer.SendTo(port, Bytes("after"));
  ASSERT_TRUE(WaitUntil([&] { return ReadCount() == 1 && FailureCount() == 1; }));
  std::this_thread::sleep_for(150ms);
  ASSERT_EQ(ReadCount(), 1u);
  EXPECT_EQ(ReadsNow()[0].Text, "after");
  ASSERT_EQ(FailureCount(), 1u);
  EXPECT_TRUE(FailuresNow()[0].HasSocket);
  EXPECT_NE(FailuresNow()[0].Message.find("Socket Error"), std::string::npos);
}

// neNoSync runs the handler on the read thread; the queued modes run it on the main thread
// only when that drains, neSynchronous with the read thread waiting meanwhile.
TEST_F(udp_client_component, NotificationModes) {
  for (const TwsNotifyEvent mode : {neNoSync, neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    {
      std::lock_guard<std::mutex> lock(M);
      Reads.clear();
      Failures.clear();
    }
    Client->SetNotifyEvents(mode);
    TPeer peer;
    ASSERT_TRUE(peer.Ok());
    const TIdPort port = ClientPort();
    peer.SendTo(port, Bytes("one"));
    peer.SendTo(port, Bytes("two"));
    if (mode == neNoSync) {
      ASSERT_TRUE(WaitUntil([&] { return ReadCount() == 2; }));
      for (const auto& r : ReadsNow()) EXPECT_NE(r.On, std::this_thread::get_id());
    } else {
      std::this_thread::sleep_for(200ms);
      EXPECT_EQ(ReadCount(), 0u); // nothing before the main thread drains
      ASSERT_TRUE(DrainUntil([&] { return ReadCount() == 2; }));
      const auto reads = ReadsNow();
      EXPECT_EQ(reads[0].Text, "one");
      EXPECT_EQ(reads[1].Text, "two");
      for (const auto& r : reads) {
        EXPECT_EQ(r.On, std::this_thread::get_id());
        EXPECT_EQ(r.Port, peer.Port());
      }
    }
    // A failing write: at once on the writing thread with neNoSync, else queued.
    Client->WriteData("::1", peer.Port(), Bytes("x"));
    if (mode == neNoSync) {
      EXPECT_EQ(FailureCount(), 1u);
    }
    ASSERT_TRUE(DrainUntil([&] { return FailureCount() == 1; }));
    EXPECT_EQ(FailuresNow()[0].On, std::this_thread::get_id());
    EXPECT_TRUE(FailuresNow()[0].HasSocket);
  }
}

TEST_F(udp_client_component, WritesReachTheirDestination) {
  Client->SetNotifyEvents(neNoSync);
  TPeer host, other;
  ASSERT_TRUE(host.Ok() && other.Ok());
  Client->SetPort(host.Port());
  Client->WriteData(Bytes("bytes"));
  Client->WriteData(std::string("text \xC3\xA9")); // text goes out as its bytes
  Client->WriteData("127.0.0.1", other.Port(), Bytes("direct bytes"));
  Client->WriteData("127.0.0.1", other.Port(), std::string("direct text"));
  ASSERT_TRUE(WaitUntil([&] { return host.Count() == 2 && other.Count() == 2; }));
  const auto h = host.Received();
  EXPECT_EQ(h[0].Text, "bytes");
  EXPECT_EQ(h[1].Text, "text \xC3\xA9");
  const auto o = other.Received();
  EXPECT_EQ(o[0].Text, "direct bytes");
  EXPECT_EQ(o[1].Text, "direct text");
  // All from the one socket the read thread listens on.
  const TIdPort port = ClientPort();
  for (const auto& d : h) EXPECT_EQ(d.Port, port);
  for (const auto& d : o) EXPECT_EQ(d.Port, port);
  // An answer to that port is read.
  host.SendTo(port, Bytes("answer"));
  ASSERT_TRUE(WaitUntil([&] { return ReadCount() == 1; }));
  EXPECT_EQ(FailureCount(), 0u);
}

// No write raises; each failure is one OnUDPException with the socket object.
TEST_F(udp_client_component, FailedWritesGoToOnUDPException) {
  Client->SetNotifyEvents(neNoSync);
  const TIdPort port = ClientPort();
  struct TCase {
    const char* Name;
    std::function<void(TqynUDPCLient_Base*)> Write;
  };
  const std::vector<TCase> cases = {
      {"IPv6 address from an IPv4 socket", [&](TqynUDPCLient_Base* c) { c->WriteData("::1", port, Bytes("x")); }},
      {"IPv6 address, text form", [&](TqynUDPCLient_Base* c) { c->WriteData("::1", port, std::string("x")); }},
      {"broadcast without permission",
       [&](TqynUDPCLient_Base* c) { c->WriteData("255.255.255.255", port, Bytes("x")); }},
      {"IPv6 host from an IPv4 socket",
       [&](TqynUDPCLient_Base* c) {
         c->SetHost("::1");
         c->WriteData(Bytes("x"));
         c->SetHost("127.0.0.1");
       }},
      {"through the socket object", [&](TqynUDPCLient_Base* c) { c->GetSocket()->WriteData("::1", port, Bytes("x")); }},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.Name);
    const size_t before = FailureCount();
    EXPECT_NO_THROW(tc.Write(Client.get()));
    ASSERT_EQ(FailureCount(), before + 1);
    const auto f = FailuresNow().back();
    EXPECT_TRUE(f.HasSocket);
    EXPECT_FALSE(f.Message.empty());
  }
  // Without a handler a failure is dropped quietly.
  Client->OnUDPException = nullptr;
  EXPECT_NO_THROW(Client->WriteData("::1", port, Bytes("x")));
}

// Retransmission through the component: the caller's send plus MaxRetries - 1 resends in all,
// on a doubling schedule, then nothing more.
TEST_F(udp_client_component, RetransmissionScheduleOnTheWire) {
  Client->SetNotifyEvents(neNoSync);
  EnableRetransmissions(100, 4);
  TPeer peer;
  ASSERT_TRUE(peer.Ok());
  Client->SetPort(peer.Port());
  Client->WriteData(Bytes("req"));
  auto* engine = Client->Retransmissions();
  EXPECT_TRUE(engine->Enabled());
  EXPECT_EQ(engine->RTO(), 100);
  EXPECT_EQ(engine->MaxRetries(), 4);
  engine->AddItem("req-id", Bytes("req"));
  ASSERT_TRUE(WaitUntil([&] { return engine->Count() == 0; }));
  std::this_thread::sleep_for(1500ms);
  const auto got = peer.ReceivedOf("req");
  ASSERT_EQ(got.size(), 4u);
  // Loose lower bounds (arrival times are taken by the peer thread).
  EXPECT_GE(got[1].At - got[0].At + 30, 100u);
  EXPECT_GE(got[2].At - got[1].At + 30, 200u);
  EXPECT_GE(got[3].At - got[2].At + 30, 400u);
  EXPECT_EQ(FailureCount(), 0u);
}

TEST_F(udp_client_component, ResendsGoToTheItemsDestination) {
  Client->SetNotifyEvents(neNoSync);
  EnableRetransmissions(100, 3);
  TPeer host, other;
  ASSERT_TRUE(host.Ok() && other.Ok());
  Client->SetPort(host.Port());
  auto* engine = Client->Retransmissions();
  engine->AddItem("to-host", Bytes("to host"));
  engine->AddItem("to-other", Bytes("to other"), "127.0.0.1", other.Port());
  ASSERT_TRUE(WaitUntil([&] { return engine->Count() == 0; }));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(host.ReceivedOf("to host").size(), 2u);
  EXPECT_EQ(host.ReceivedOf("to other").size(), 0u);
  EXPECT_EQ(other.ReceivedOf("to other").size(), 2u);
  EXPECT_EQ(other.ReceivedOf("to host").size(), 0u);
}

TEST_F(udp_client_component, RetransmissionOptionsAtEngineCreation) {
  // Disabled by default: nothing is resent, the item stays.
  TPeer peer;
  ASSERT_TRUE(peer.Ok());
  Client->SetPort(peer.Port());
  auto* engine = Client->Retransmissions();
  EXPECT_FALSE(engine->Enabled());
  engine->SetRTO(50);
  engine->AddItem("idle", Bytes("idle"));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(peer.Count(), 0u);
  EXPECT_EQ(engine->Count(), 1);
  // Options changed after the engine exists do not reach it.
  EnableRetransmissions(10, 2);
  EXPECT_FALSE(engine->Enabled());
  EXPECT_EQ(engine->RTO(), 50);
  EXPECT_EQ(engine->MaxRetries(), 7);
  EXPECT_EQ(Client->Retransmissions(), engine);
}

TEST_F(udp_client_component, FewMaxRetriesSendOnlyTheFirst) {
  for (const int maxRetries : {1, 0}) {
    SCOPED_TRACE(maxRetries);
    auto client = std::make_unique<TqynUDPCLient_Base>();
    Hook(client.get());
    client->SetNotifyEvents(neNoSync);
    TPeer peer;
    ASSERT_TRUE(peer.Ok());
    client->SetPort(peer.Port());
    TqynUDPRetransmissionClient_Options options;
    options.Enabled = true;
    options.RTO = 50;
    options.MaxRetries = maxRetries;
    client->SetRetransmissionOptions(options);
    client->WriteData(Bytes("once"));
    client->Retransmissions()->AddItem("once", Bytes("once"));
    ASSERT_TRUE(WaitUntil([&] { return client->Retransmissions()->Count() == 0; }));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(peer.ReceivedOf("once").size(), 1u);
  }
}

// The STUN client's pattern: a response read on the read thread cancels its retransmission
// there while the timer thread resends others and the main thread adds and deletes items.
TEST_F(udp_client_component, CancelFromTheReadThreadWhileResending) {
  Client->SetNotifyEvents(neNoSync);
  EnableRetransmissions(10, 1000);
  TPeer echo(false, true);
  ASSERT_TRUE(echo.Ok());
  Client->SetPort(echo.Port());
  auto* engine = Client->Retransmissions();
  std::atomic<int> cancelled{0};
  Client->OnUDPRead = [&](TqynComponent_Base*, TqynUDPSocket*, const TqynBytes& B) {
    if (engine->DeleteItem(std::string(B.begin(), B.end()))) ++cancelled;
  };
  constexpr int KItems = 200;
  for (int i = 0; i < KItems; ++i) {
    const std::string id = "id" + std::to_string(i);
    engine->AddItem(id, Bytes(id)); // registered first, so the echo always finds it
    Client->WriteData(Bytes(id));
    engine->AddItem("local" + std::to_string(i), Bytes("never answered"), "127.0.0.1", 9);
    engine->DeleteItem("local" + std::to_string(i));
  }
  ASSERT_TRUE(WaitUntil([&] { return engine->Count() == 0; }, 20s));
  EXPECT_EQ(cancelled.load(), KItems);
  // Nothing is resent once cancelled.
  std::this_thread::sleep_for(300ms);
  const size_t settled = echo.Count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(echo.Count(), settled);
}

// A failed resend is reported through OnUDPException after the engine released its lock: the
// handler may wait for another thread that uses the engine.
TEST_F(udp_client_component, FailedResendIsReported) {
  Client->SetNotifyEvents(neNoSync);
  EnableRetransmissions(50, 3);
  auto* engine = Client->Retransmissions();
  std::atomic<int> reports{0};
  std::atomic<bool> otherThreadRan{true};
  Client->OnUDPException = [&](TqynComponent_Base*, TqynUDPSocket* Socket, const Exception&) {
    EXPECT_NE(Socket, nullptr);
    auto other = std::async(std::launch::async, [engine] { return engine->DeleteItem("no such item"); });
    if (other.wait_for(5s) != std::future_status::ready) otherThreadRan = false;
    other.wait();
    ++reports;
  };
  engine->AddItem("v6", Bytes("x"), "::1", 9);
  ASSERT_TRUE(WaitUntil([&] { return engine->Count() == 0; }));
  EXPECT_EQ(reports.load(), 2);
  EXPECT_TRUE(otherThreadRan.load());
}

TEST_F(udp_client_component, CommandMode) {
  Client->SetNotifyEvents(neNoSync);
  TPeer peer;
  ASSERT_TRUE(peer.Ok());
  Client->SetPort(peer.Port());
  // In the default mode commands wait in the queue.
  Client->AddBytes(Bytes("queued"));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(peer.Count(), 0u);
  EXPECT_EQ(Client->Commands()->Count(), 1);
  auto first = Client->Commands()->GetItemByIndexAs<TqynQueueCommand>(0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Command, tcmWriteBytes);
  EXPECT_EQ(first->ID().size(), 32u);

  Client->SetUDPMode(udpmCommands);
  EXPECT_EQ(Client->UDPClient()->UDPMode(), udpmCommands);
  EXPECT_EQ(Client->UDPClient()->ReadThread()->UDPMode(), udpmCommands);
  Client->AddCommand(tcmActive);
  Client->AddBytes(Bytes("second"));
  Client->AddCommand(tcmNotActive);
  Client->AddBytes(Bytes("third"));
  ASSERT_TRUE(WaitUntil([&] { return peer.Count() == 3 && Client->Commands()->Count() == 0; }));
  const auto got = peer.Received();
  EXPECT_EQ(got[0].Text, "queued");
  EXPECT_EQ(got[1].Text, "second");
  EXPECT_EQ(got[2].Text, "third");
  // Reading goes on in the command mode.
  peer.SendTo(ClientPort(), Bytes("still read"));
  ASSERT_TRUE(WaitUntil([&] { return ReadCount() == 1; }));
  // A failing command is reported and the next one still runs.
  Client->SetHost("::1");
  Client->AddBytes(Bytes("fails"));
  ASSERT_TRUE(WaitUntil([&] { return FailureCount() == 1 && Client->Commands()->Count() == 0; }));
  Client->SetHost("127.0.0.1");
  Client->AddBytes(Bytes("fourth"));
  ASSERT_TRUE(WaitUntil([&] { return peer.Count() == 4; }));
  // Destroyed in the command mode: the read thread ends too.
  Client.reset();
}

TEST_F(udp_client_component, LogFileLinesForWritesAndReads) {
  Client->SetNotifyEvents(neNoSync);
  const auto path = std::filesystem::temp_directory_path() /
                    ("qyn_udp_client_" + std::to_string(::getpid()) + "_" + std::to_string(QynTickCount64()) + ".log");
  std::filesystem::remove(path);
  TPeer peer;
  ASSERT_TRUE(peer.Ok());
  Client->SetPort(peer.Port());
  TqynUDPLogFile log;
  log.Enabled = true;
  log.FileName = path.string();
  Client->SetLogFile(log);
  Client->WriteData(Bytes(std::string("\x00\x01\x02", 3)));
  Client->WriteData("127.0.0.1", peer.Port(), Bytes("not logged"));
  peer.SendTo(ClientPort(), Bytes("reply"));
  ASSERT_TRUE(WaitUntil([&] { return ReadCount() == 1 && peer.Count() == 2; }));
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  EXPECT_NE(text.find(std::string(": \x00\x01\x02\r\n", 6)), std::string::npos);
  EXPECT_EQ(text.rfind("Sent ", 0), 0u);
  EXPECT_NE(text.find("Recv "), std::string::npos);
  EXPECT_NE(text.find(": reply\r\n"), std::string::npos);
  EXPECT_EQ(text.find("not logged"), std::string::npos);
  std::filesystem::remove(path);
}

// The SOCKS path is not built: with the proxy enabled nothing goes out directly, every write
// fails with the socket layer's refusal, and the read thread reports its refusal only once.
TEST_F(udp_client_component, EnabledProxyRefusesInsteadOfBypassing) {
  Client->SetNotifyEvents(neNoSync);
  TPeer peer;
  ASSERT_TRUE(peer.Ok());
  Client->SetPort(peer.Port());
  ClientPort();
  TqynUDPProxy_Options proxy;
  proxy.Enabled = true;
  proxy.Host = "127.0.0.1";
  proxy.Port = 1080;
  proxy.ProxyType = pxySocks5;
  Client->SetProxy(proxy);
  EXPECT_TRUE(Client->Proxy().Enabled);
  Client->WriteData(Bytes("direct?"));
  Client->WriteData(Bytes("direct?"));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(peer.Count(), 0u);
  const auto failures = FailuresNow();
  EXPECT_GE(failures.size(), 2u);
  EXPECT_LE(failures.size(), 3u);
  for (const auto& f : failures) EXPECT_EQ(f.Message, RS_MustUseOpenProxy);
  proxy.Enabled = false;
  Client->SetProxy(proxy);
  Client->WriteData(Bytes("now"));
  ASSERT_TRUE(WaitUntil([&] { return peer.Count() == 1; }));
  peer.SendTo(ClientPort(), Bytes("read again"));
  ASSERT_TRUE(WaitUntil([&] { return ReadCount() == 1; }));
}

TEST_F(udp_client_component, IPv6) {
  if (!GStack().SupportsIPv6()) GTEST_SKIP() << "no IPv6 here";
  TPeer peer(true);
  if (!peer.Ok()) GTEST_SKIP() << "no ::1 here";
  Client->SetNotifyEvents(neNoSync);
  ClientPort(); // the IPv4 socket exists already
  Client->SetIPVersion(Id_IPv6);
  EXPECT_EQ(Client->IPVersion(), Id_IPv6);
  Client->SetHost("::1");
  Client->SetPort(peer.Port());
  Client->WriteData(Bytes("over v6"));
  ASSERT_TRUE(WaitUntil([&] { return peer.Count() == 1; }));
  const TIdPort port = peer.Received()[0].Port;
  peer.SendTo(port, Bytes("back over v6"));
  ASSERT_TRUE(WaitUntil([&] { return ReadCount() == 1; }));
  const auto r = ReadsNow()[0];
  EXPECT_EQ(r.Text, "back over v6");
  EXPECT_EQ(r.IP, GStack().MakeCanonicalIPv6Address("::1"));
  EXPECT_EQ(r.Port, peer.Port());
  EXPECT_EQ(r.IPVersion, Id_IPv6);
  EXPECT_EQ(r.LocalPort, port);
  EXPECT_EQ(FailureCount(), 0u);
}
