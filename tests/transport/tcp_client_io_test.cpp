// qyn-test-labels: net
// TCP client component on loopback: connecting, writes, received chunks, peer close, exception
// routing, held messages, end-of-frame modes and the queued notification modes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qyn_test_tcp.h"
#include "qynBase_Sync.h"
#include "qynMessages.h"
#include "qynTCP_Client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Records every event of a component, in order, with the thread it ran on.
struct Recorder {
  std::mutex M;
  std::vector<std::string> Log;
  std::vector<TqynBytes> Binaries;
  std::vector<std::string> Exceptions;
  std::vector<bool> ExceptionHadConnection;
  std::vector<std::thread::id> Threads;

  void Attach(TqynTCPComponent& aComponent) {
    aComponent.OnConnect = [this](TqynTCPConnection* c) { Add("connect", c); };
    aComponent.OnDisconnect = [this](TqynTCPConnection* c) { Add("disconnect", c); };
    aComponent.OnMessage = [this](TqynTCPConnection* c, const std::string& t) { Add("message:" + t, c); };
    aComponent.OnBinary = [this](TqynTCPConnection* c, TqynMemoryStream& d) {
      EXPECT_EQ(d.Position(), 0u);
      std::lock_guard<std::mutex> g(M);
      Binaries.push_back(d.Bytes());
      Log.push_back("binary:" + Text(d.Bytes()));
      Threads.push_back(std::this_thread::get_id());
      EXPECT_NE(c, nullptr);
    };
    aComponent.OnException = [this](TqynTCPConnection* c, const Exception& E) {
      std::lock_guard<std::mutex> g(M);
      Exceptions.push_back(E.Message());
      ExceptionHadConnection.push_back(c != nullptr);
      Log.push_back("exception:" + E.Message());
      Threads.push_back(std::this_thread::get_id());
    };
  }
  void Add(const std::string& aWhat, TqynTCPConnection* aConnection) {
    std::lock_guard<std::mutex> g(M);
    Log.push_back(aWhat);
    Threads.push_back(std::this_thread::get_id());
    EXPECT_NE(aConnection, nullptr) << aWhat;
  }
  size_t Count(const std::string& aPrefix) {
    std::lock_guard<std::mutex> g(M);
    size_t n = 0;
    for (const auto& l : Log)
      if (l.rfind(aPrefix, 0) == 0) ++n;
    return n;
  }
  std::vector<std::string> Snapshot() {
    std::lock_guard<std::mutex> g(M);
    return Log;
  }
};

class TCPClientIO : public ::testing::Test {
protected:
  void SetUp() override { TqynMainThread::SetMainThread(); }
  void TearDown() override {
    while (CheckSynchronize(0)) {
    }
  }
};

// Suite name as the file's, so that ctest -R tcp_client selects these tests.
using tcp_client_io = TCPClientIO;

std::unique_ptr<TqynTCPCLient_Base> NewClient(TIdPort aPort, TwsNotifyEvent aMode = neNoSync) {
  auto c = std::make_unique<TqynTCPCLient_Base>();
  c->SetNotifyEvents(aMode);
  c->SetHost("127.0.0.1");
  c->SetPort(aPort);
  return c;
}

} // namespace

TEST_F(tcp_client_io, PropertiesStartWithTheirDefaults) {
  TqynTCPCLient_Base c;
  EXPECT_EQ(c.Host(), "");
  EXPECT_EQ(c.Port(), 80);
  EXPECT_EQ(c.IPVersion(), Id_IPv4);
  EXPECT_FALSE(c.Active());
  EXPECT_EQ(c.ConnectTimeout(), 0);
  EXPECT_EQ(c.ReadTimeout(), -1);
  EXPECT_EQ(c.WriteTimeout(), 0);
  EXPECT_FALSE(c.UseNagle());
  EXPECT_EQ(c.BoundPortMin(), 0);
  EXPECT_EQ(c.BoundPortMax(), 0);
  EXPECT_EQ(c.LingerState(), -1);
  EXPECT_EQ(c.TCPMode(), tcpmDefault);
  EXPECT_EQ(c.NotifyEvents(), neAsynchronous);
  EXPECT_FALSE(c.TCPKeepAlive().Enabled);
  EXPECT_EQ(c.TCPKeepAlive().Time, 7200000);
  EXPECT_EQ(c.TCPKeepAlive().Interval, 1000);
  EXPECT_FALSE(c.WatchDog().Enabled);
  EXPECT_EQ(c.WatchDog().Interval, 10);
  EXPECT_EQ(c.WatchDog().Attempts, 0);
  EXPECT_FALSE(c.HeartBeat().Enabled);
  EXPECT_EQ(c.HeartBeat().Interval, 60);
  EXPECT_FALSE(c.LogFile().Enabled);
  EXPECT_EQ(c.LogFile().FileName, "");
  EXPECT_FALSE(c.Throttle().Enabled);
  EXPECT_FALSE(c.Proxy().Enabled);
  EXPECT_EQ(c.Proxy().Port, 8080);
  EXPECT_EQ(c.Proxy().ProxyType, pxyHTTP);
  EXPECT_FALSE(c.TLS());
  EXPECT_EQ(c.TLSOptions().IOHandler, iohOpenSSL);
  EXPECT_EQ(c.Connection(), nullptr);
  EXPECT_FALSE(c.QueueMessages());
  EXPECT_EQ(c.Version(), "4.5.2");

  // Option properties copy values.
  TqynTCPProxy_Options proxy;
  proxy.Host = "proxy.example";
  proxy.ProxyType = pxySocks5;
  c.SetProxy(proxy);
  proxy.Host = "changed";
  EXPECT_EQ(c.Proxy().Host, "proxy.example");
  EXPECT_EQ(c.Proxy().ProxyType, pxySocks5);
}

TEST_F(tcp_client_io, MemoryStreamReadsWritesAndPositions) {
  TqynMemoryStream s(Bytes("abcdef"));
  EXPECT_EQ(s.Size(), 6u);
  char buf[4] = {};
  EXPECT_EQ(s.Read(buf, 4), 4u);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(Text(s.ReadBytes()), "ef");
  EXPECT_EQ(s.Read(buf, 4), 0u);
  s.SetPosition(100);
  EXPECT_EQ(s.Position(), 6u);
  s.SetPosition(4);
  s.Write(Bytes("XYZ"));
  EXPECT_EQ(Text(s.Bytes()), "abcdXYZ");
  s.LoadFromBytes(Bytes("q"));
  EXPECT_EQ(s.Position(), 0u);
  EXPECT_EQ(Text(s.ReadBytes(10)), "q");
  s.Clear();
  EXPECT_EQ(s.Size(), 0u);
}

// A failed connect: Connect answers false, Active stays false, and OnException reports the
// failure without a connection (on the test thread's turn in the queued modes).
TEST_F(tcp_client_io, ConnectFailureIsReportedNotRaised) {
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(int(mode));
    TestServer notListening(NotListening);
    auto c = NewClient(notListening.Port(), mode);
    Recorder r;
    r.Attach(*c);
    EXPECT_FALSE(c->Connect(10000));
    EXPECT_FALSE(c->Active());
    EXPECT_EQ(c->Connection(), nullptr);
    ASSERT_TRUE(DrainUntil([&] { return r.Count("exception:") == 1; }));
    std::lock_guard<std::mutex> g(r.M);
    EXPECT_EQ(r.Exceptions[0], EIdSocketError::FromErrno(ECONNREFUSED).Message());
    EXPECT_FALSE(r.ExceptionHadConnection[0]);
    EXPECT_EQ(r.Log.size(), 1u);
  }
}

// ConnectTimeout limits a connect; without it the limit given to Connect does.
TEST_F(tcp_client_io, ConnectTimeoutEndsAConnectThatCannotComplete) {
  // A listener whose accept queue is full drops further attempts: only the time limit ends them.
  TestServer full;
  std::vector<int> fillers;
  for (int i = 0; i < 16; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(full.Port());
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  std::this_thread::sleep_for(50ms);
  struct Case {
    int ConnectTimeout;
    int Limit;
  };
  for (const Case k : {Case{200, 60000}, Case{0, 300}}) {
    SCOPED_TRACE(k.ConnectTimeout);
    auto c = NewClient(full.Port());
    c->SetConnectTimeout(k.ConnectTimeout);
    Recorder r;
    r.Attach(*c);
    EXPECT_FALSE(c->Connect(k.Limit));
    EXPECT_FALSE(c->Active());
    ASSERT_EQ(r.Count("exception:"), 1u);
    EXPECT_EQ(r.Exceptions[0], RS_ConnectTimeout);
  }
  for (int fd : fillers) ::close(fd);
}

// TLS and proxies are not built: asking for them fails loudly instead of connecting in clear.
TEST_F(tcp_client_io, TLSAndProxyRequestsAreRefused) {
  struct Case {
    const char* Name;
    std::function<void(TqynTCPCLient_Base&)> Set;
    const char* Text;
  };
  const Case cases[] = {
      {"tls", [](TqynTCPCLient_Base& c) { c.SetTLS(true); }, RS_TCPTLSNotSupported},
      {"proxy", [](TqynTCPCLient_Base& c) { c.Proxy().Enabled = true; }, RS_TCPProxyNotSupported},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.Name);
    TestServer server;
    auto c = NewClient(server.Port());
    k.Set(*c);
    Recorder r;
    r.Attach(*c);
    EXPECT_FALSE(c->Connect(10000));
    EXPECT_FALSE(c->Active());
    ASSERT_EQ(r.Count("exception:"), 1u);
    EXPECT_EQ(r.Exceptions[0], k.Text);
    EXPECT_EQ(server.Accept(200), -1) << "connected anyway";
  }
}

TEST_F(tcp_client_io, WriteDataWhileNotConnectedDoesNothing) {
  auto c = NewClient(1);
  Recorder r;
  r.Attach(*c);
  EXPECT_NO_THROW(c->WriteData(Bytes("hello")));
  EXPECT_NO_THROW(c->WriteData(std::string("hello")));
  EXPECT_TRUE(r.Snapshot().empty());
  EXPECT_EQ(c->Connection(), nullptr);
}

TEST_F(tcp_client_io, ConnectAndWriteReachTheServerUnchanged) {
  TestServer server;
  auto c = NewClient(server.Port());
  Recorder r;
  r.Attach(*c);
  ASSERT_TRUE(c->Connect(10000));
  EXPECT_TRUE(c->Active());
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(r.Snapshot(), std::vector<std::string>{"connect"});

  auto conn = c->Connection();
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->Transport(), trpTCP);
  EXPECT_EQ(conn->IP(), "127.0.0.1");
  EXPECT_EQ(conn->Port(), server.Port());
  EXPECT_EQ(conn->LocalIP(), "127.0.0.1");
  EXPECT_NE(conn->LocalPort(), 0);
  EXPECT_TRUE(conn->Active());

  // A STUN Binding request header: 20 bytes, including zero bytes.
  const TqynBytes request = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42, 'a', 'b',
                             'c',  'd',  'e',  'f',  'g',  'h',  'i',  'j',  'k', 'l'};
  c->WriteData(request);
  EXPECT_EQ(ReadExactly(peer, 20), request);
  EXPECT_EQ(conn->SendBytes(), 20u);
  c->WriteData(std::string("h\xC3\xA9llo"));
  EXPECT_EQ(Text(ReadExactly(peer, 6)), "h\xC3\xA9llo");
  EXPECT_EQ(conn->SendBytes(), 26u);
  // Connecting an active component changes nothing.
  EXPECT_TRUE(c->Connect(10000));
  EXPECT_EQ(c->Connection(), conn);
  EXPECT_EQ(r.Count("connect"), 1u);
}

// Two responses written by the server in one send() are one chunk for the reader: they arrive
// as one OnBinary holding both, unchanged.
TEST_F(tcp_client_io, BackToBackResponsesArriveAsOneBinary) {
  TestServer server;
  auto c = NewClient(server.Port());
  Recorder r;
  r.Attach(*c);
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  TqynBytes both = Bytes("first-message-of-20b");
  const TqynBytes second = Bytes("second-message-24-bytes!");
  both.insert(both.end(), second.begin(), second.end());
  SendAll(peer, both);
  ASSERT_TRUE(WaitUntil([&] { return r.Count("binary:") >= 1; }));
  std::this_thread::sleep_for(50ms); // a second event would show up here
  std::lock_guard<std::mutex> g(r.M);
  ASSERT_EQ(r.Binaries.size(), 1u);
  EXPECT_EQ(r.Binaries[0], both);
  EXPECT_EQ(c->Connection()->RecBytes(), both.size());
  EXPECT_NE(r.Threads.back(), std::this_thread::get_id()); // neNoSync: the read thread
}

TEST_F(tcp_client_io, LargeTransfersArriveCompleteAndInOrder) {
  TestServer server;
  auto c = NewClient(server.Port());
  std::mutex m;
  TqynBytes received;
  c->OnBinary = [&](TqynTCPConnection*, TqynMemoryStream& d) {
    std::lock_guard<std::mutex> g(m);
    const TqynBytes chunk = d.ReadBytes();
    received.insert(received.end(), chunk.begin(), chunk.end());
  };
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  TqynBytes big(1 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  std::thread sender([&] { SendAll(peer, big); });
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(m);
    return received.size() >= big.size();
  }));
  sender.join();
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(received, big);
}

// The peer closing: OnException "Connection Closed Gracefully." with the connection, then
// OnDisconnect; data sent before the close comes first. Writes afterwards raise.
TEST_F(tcp_client_io, PeerCloseReportsTheCloseThenDisconnects) {
  TestServer server;
  auto c = NewClient(server.Port());
  Recorder r;
  r.Attach(*c);
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  auto conn = c->Connection();
  SendAll(peer, Bytes("last words"));
  server.ClosePeer(peer);
  ASSERT_TRUE(WaitUntil([&] { return r.Count("disconnect") == 1; }));
  EXPECT_EQ(r.Snapshot(), (std::vector<std::string>{"connect", "binary:last words",
                                                    std::string("exception:") + RS_ConnClosedGracefully, "disconnect"}));
  {
    std::lock_guard<std::mutex> g(r.M);
    EXPECT_TRUE(r.ExceptionHadConnection[0]);
  }
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(c->Connection(), nullptr);
  EXPECT_TRUE(conn->Disconnected());
  EXPECT_TRUE(conn->Freed());
  EXPECT_EQ(conn->MsgException(), RS_ConnClosedGracefully);
  EXPECT_NO_THROW(c->WriteData(Bytes("x"))); // no connection: nothing
  EXPECT_THROW(conn->WriteBytes(Bytes("x")), EIdException);
  // A later Connect makes a new connection.
  ASSERT_TRUE(c->Connect(10000));
  EXPECT_NE(c->Connection(), conn);
  EXPECT_GE(server.Accept(), 0);
}

TEST_F(tcp_client_io, WriteOnABrokenConnectionRaises) {
  TestServer server;
  auto c = NewClient(server.Port());
  std::atomic<int> exceptions{0};
  c->OnException = [&](TqynTCPConnection*, const Exception&) { ++exceptions; };
  ASSERT_TRUE(c->Connect(10000));
  auto conn = c->Connection();
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  // Closing with unread data makes the server side reset the connection.
  linger l{1, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  server.ClosePeer(peer);
  bool raised = false;
  for (int i = 0; i < 200 && !raised; ++i) {
    try {
      conn->WriteBytes(Bytes("ping"));
      std::this_thread::sleep_for(5ms);
    } catch (const EIdException&) {
      raised = true;
    }
  }
  EXPECT_TRUE(raised);
  ASSERT_TRUE(WaitUntil([&] { return c->Connection() == nullptr; }));
  EXPECT_GE(exceptions.load(), 1);
}

TEST_F(tcp_client_io, DisconnectNotifiesOnceAndTheServerSeesTheClose) {
  TestServer server;
  auto c = NewClient(server.Port());
  Recorder r;
  r.Attach(*c);
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_TRUE(c->Disconnect(5000));
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(r.Snapshot(), (std::vector<std::string>{"connect", "disconnect"}));
  EXPECT_TRUE(WaitForEof(peer));
  // Disconnecting again does nothing.
  EXPECT_TRUE(c->Disconnect(100));
  c->SetActive(false);
  EXPECT_EQ(r.Count("disconnect"), 1u);
}

// QueueMessages holds OnBinary calls; switching it off delivers them in arrival order;
// QueueClear drops them.
TEST_F(tcp_client_io, QueueMessagesHoldsAndReleasesInOrder) {
  TestServer server;
  auto c = NewClient(server.Port());
  Recorder r;
  r.Attach(*c);
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  auto conn = c->Connection();
  c->SetQueueMessages(true);
  size_t sent = 0;
  for (const char* m : {"one", "two", "three"}) {
    SendAll(peer, Bytes(m));
    sent += std::strlen(m);
    // Each message is read on its own before the next is sent.
    ASSERT_TRUE(WaitUntil([&] { return conn->RecBytes() == sent; }));
  }
  ASSERT_TRUE(WaitUntil([&] { return c->HeldBinaryCount() == 3; }));
  EXPECT_EQ(r.Count("binary:"), 0u);
  c->SetQueueMessages(false);
  EXPECT_EQ(c->HeldBinaryCount(), 0);
  EXPECT_EQ(r.Snapshot(), (std::vector<std::string>{"connect", "binary:one", "binary:two", "binary:three"}));
  // Released on the calling thread.
  {
    std::lock_guard<std::mutex> g(r.M);
    EXPECT_EQ(r.Threads.back(), std::this_thread::get_id());
  }
  // Delivery goes on directly afterwards.
  SendAll(peer, Bytes("four"));
  ASSERT_TRUE(WaitUntil([&] { return r.Count("binary:four") == 1; }));

  c->SetQueueMessages(true);
  SendAll(peer, Bytes("dropped"));
  ASSERT_TRUE(WaitUntil([&] { return c->HeldBinaryCount() == 1; }));
  c->QueueClear();
  EXPECT_EQ(c->HeldBinaryCount(), 0);
  c->SetQueueMessages(false);
  EXPECT_EQ(r.Count("binary:dropped"), 0u);
}

TEST_F(tcp_client_io, HeldMessagesAreBounded) {
  TestServer server;
  auto c = NewClient(server.Port());
  Recorder r;
  r.Attach(*c);
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  c->SetQueueMessages(true);
  // Far more than the limit, sent while nothing is released.
  const TqynBytes block(1 << 20, 0x5A);
  const size_t blocks = TqynTCPComponent::MaxHeldBytes / block.size() + 4;
  std::thread sender([&] {
    for (size_t i = 0; i < blocks; ++i) SendAll(peer, block);
  });
  ASSERT_TRUE(WaitUntil([&] { return c->Connection()->RecBytes() == blocks * block.size(); }));
  sender.join();
  EXPECT_GE(r.Count("exception:Held messages exceed"), 1u);
  c->QueueClear();
}

// The end-of-frame modes of the connection object.
TEST_F(tcp_client_io, EndOfFrameModesCutTheStream) {
  struct Case {
    TtcpEOFScanBuffer Mode;
    std::vector<std::string> Sends;
    std::vector<std::string> Expected;
  };
  const Case cases[] = {
      {eofScanAllBytes, {"a\nbc", "d\n", "e\nf\ng"}, {"a\n", "bcd\n", "e\n", "f\n"}},
      {eofScanLatestBytes, {"a\nbc", "d\n", "ef"}, {"a\nbcd\n"}},
      {eofScanNone, {"a\nbc", "d\n"}, {"a\nbc", "d\n"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(int(k.Mode));
    TestServer server;
    auto c = NewClient(server.Port());
    Recorder r;
    r.Attach(*c);
    c->OnConnect = [&](TqynTCPConnection* conn) {
      conn->SetTCPEndOfFrameScanBuffer(k.Mode);
      conn->AddTCPEndOfFrame('\n');
    };
    ASSERT_TRUE(c->Connect(10000));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    auto conn = c->Connection();
    size_t sent = 0;
    for (const auto& s : k.Sends) {
      SendAll(peer, Bytes(s));
      sent += s.size();
      ASSERT_TRUE(WaitUntil([&] { return conn->RecBytes() == sent; }));
    }
    ASSERT_TRUE(WaitUntil([&] { return r.Count("binary:") == k.Expected.size(); }));
    std::this_thread::sleep_for(20ms);
    std::lock_guard<std::mutex> g(r.M);
    ASSERT_EQ(r.Binaries.size(), k.Expected.size());
    for (size_t i = 0; i < k.Expected.size(); ++i) EXPECT_EQ(Text(r.Binaries[i]), k.Expected[i]);
  }
}

// The queued modes: every event runs on the thread that drains the main-thread relay, in order,
// each with its own copy of the data.
TEST_F(tcp_client_io, QueuedModesDeliverOnTheMainThread) {
  for (TwsNotifyEvent mode : {neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(int(mode));
    TestServer server;
    auto c = NewClient(server.Port(), mode);
    Recorder r;
    r.Attach(*c);
    ASSERT_TRUE(c->Connect(10000));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    auto conn = c->Connection();
    size_t sent = 0;
    for (const char* m : {"alpha", "beta", "gamma"}) {
      SendAll(peer, Bytes(m));
      sent += std::strlen(m);
      // Read as separate chunks; with neSynchronous the read thread waits for the drain.
      ASSERT_TRUE(DrainUntil([&] { return conn->RecBytes() == sent; }));
    }
    server.ClosePeer(peer);
    ASSERT_TRUE(DrainUntil([&] { return r.Count("disconnect") == 1; }));
    EXPECT_EQ(r.Snapshot(), (std::vector<std::string>{"connect", "binary:alpha", "binary:beta", "binary:gamma",
                                                      std::string("exception:") + RS_ConnClosedGracefully,
                                                      "disconnect"}));
    std::lock_guard<std::mutex> g(r.M);
    for (auto id : r.Threads) EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_EQ(c->PendingCount(TqynTCPComponent::nkBinary), 0);
  }
}

// With neAsynchronous, data read while the main thread is busy waits in the pending list and is
// delivered in arrival order once the main thread drains; the connection reference stays valid
// after the connection is gone.
TEST_F(tcp_client_io, AsynchronousEventsWaitForTheMainThread) {
  TestServer server;
  auto c = NewClient(server.Port(), neAsynchronous);
  Recorder r;
  r.Attach(*c);
  std::vector<std::shared_ptr<TqynTCPConnection>> seen;
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  auto conn = c->Connection();
  size_t sent = 0;
  for (const char* m : {"1", "22", "333"}) {
    SendAll(peer, Bytes(m));
    sent += std::strlen(m);
    ASSERT_TRUE(WaitUntil([&] { return conn->RecBytes() == sent; }));
  }
  EXPECT_EQ(c->PendingCount(TqynTCPComponent::nkBinary), 3);
  EXPECT_TRUE(c->Disconnect(5000)); // notified, not yet delivered
  std::string peerText;
  c->OnDisconnect = [&](TqynTCPConnection* x) {
    peerText = x->IP();
    r.Add("disconnect", x);
  };
  ASSERT_TRUE(DrainUntil([&] { return r.Count("disconnect") == 1; }));
  EXPECT_EQ(r.Snapshot(), (std::vector<std::string>{"connect", "binary:1", "binary:22", "binary:333", "disconnect"}));
  EXPECT_EQ(peerText, "127.0.0.1");
  EXPECT_TRUE(conn->Freed());
}

TEST_F(tcp_client_io, ExceptionWithoutAHandlerIsDropped) {
  TestServer notListening(NotListening);
  auto c = NewClient(notListening.Port(), neAsynchronous);
  EXPECT_FALSE(c->Connect(10000));
  EXPECT_EQ(c->PendingCount(TqynTCPComponent::nkException), 0);
}

// A handler that raises does not stop the read thread: its exception is reported and reading
// goes on.
TEST_F(tcp_client_io, HandlerExceptionsAreReportedAndReadingGoesOn) {
  TestServer server;
  auto c = NewClient(server.Port());
  std::mutex m;
  std::vector<std::string> seen;
  c->OnBinary = [&](TqynTCPConnection*, TqynMemoryStream& d) {
    std::lock_guard<std::mutex> g(m);
    seen.push_back(Text(d.Bytes()));
    if (seen.size() == 1) throw Exception("handler failed");
  };
  c->OnException = [&](TqynTCPConnection* conn, const Exception& E) {
    std::lock_guard<std::mutex> g(m);
    seen.push_back("exception:" + E.Message() + (conn ? "+conn" : ""));
    throw Exception("exception handlers may raise too");
  };
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  auto conn = c->Connection();
  SendAll(peer, Bytes("a"));
  ASSERT_TRUE(WaitUntil([&] { return conn->RecBytes() == 1; }));
  SendAll(peer, Bytes("b"));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(m);
    return seen.size() == 3;
  }));
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "exception:handler failed+conn", "b"}));
}

TEST_F(tcp_client_io, LogFileRecordsSentAndReceivedBytes) {
  char path[] = "/tmp/qyn_tcp_log_XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  {
    TestServer server;
    auto c = NewClient(server.Port());
    c->LogFile().Enabled = true;
    c->LogFile().FileName = path;
    std::atomic<int> binaries{0};
    c->OnBinary = [&](TqynTCPConnection*, TqynMemoryStream&) { ++binaries; };
    ASSERT_TRUE(c->Connect(10000));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    c->WriteData(TqynBytes{'o', 'u', 't', 0x00, '\r', '\n'});
    EXPECT_EQ(ReadExactly(peer, 6).size(), 6u);
    SendAll(peer, Bytes("in\x01"));
    ASSERT_TRUE(WaitUntil([&] { return binaries.load() == 1; }));
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string log = ss.str();
  EXPECT_NE(log.find(std::string("Sent ")), std::string::npos);
  EXPECT_NE(log.find(std::string(": out\0\r\n\r\n", 10)), std::string::npos) << log;
  EXPECT_NE(log.find(std::string("Recv ")), std::string::npos);
  EXPECT_NE(log.find(": in\x01\r\n"), std::string::npos);
  std::remove(path);
}

TEST_F(tcp_client_io, ALogFileThatCannotBeWrittenIsReportedOnce) {
  TestServer server;
  auto c = NewClient(server.Port());
  c->LogFile().Enabled = true;
  c->LogFile().FileName = "/nonexistent-dir/qyn/tcp.log";
  Recorder r;
  r.Attach(*c);
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  c->WriteData(Bytes("abc"));
  c->WriteData(Bytes("def"));
  EXPECT_EQ(Text(ReadExactly(peer, 6)), "abcdef"); // the data goes through
  SendAll(peer, Bytes("xyz"));
  ASSERT_TRUE(WaitUntil([&] { return r.Count("binary:xyz") == 1; }));
  EXPECT_EQ(r.Count("exception:Cannot open log file"), 1u);
}

// Held text messages are released before held binaries, each in arrival order.
TEST_F(tcp_client_io, HeldMessagesGoBeforeHeldBinaries) {
  TestServer server;
  auto c = NewClient(server.Port());
  Recorder r;
  r.Attach(*c);
  ASSERT_TRUE(c->Connect(10000));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  auto conn = c->Connection();
  c->SetQueueMessages(true);
  SendAll(peer, Bytes("bin1"));
  ASSERT_TRUE(WaitUntil([&] { return c->HeldBinaryCount() == 1; }));
  for (const char* m : {"text1", "text2"}) {
    conn->SetMsgReceived(m);
    c->NotifyMessage(conn);
  }
  EXPECT_EQ(c->HeldMessageCount(), 2);
  c->SetQueueMessages(false);
  EXPECT_EQ(r.Snapshot(), (std::vector<std::string>{"connect", "message:text1", "message:text2", "binary:bin1"}));
}

TEST_F(tcp_client_io, IPv6Loopback) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) GTEST_SKIP() << "no IPv6 here";
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
    ::close(fd);
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  auto c = NewClient(ntohs(a.sin6_port));
  c->SetHost("::1");
  c->SetIPVersion(Id_IPv6);
  Recorder r;
  r.Attach(*c);
  ASSERT_TRUE(c->Connect(10000));
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  const int peer = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(peer, 0);
  auto conn = c->Connection();
  EXPECT_EQ(conn->IPVersion(), Id_IPv6);
  EXPECT_EQ(conn->IP(), "0:0:0:0:0:0:0:1");
  c->WriteData(Bytes("six"));
  EXPECT_EQ(Text(ReadExactly(peer, 3)), "six");
  SendAll(peer, Bytes("back"));
  ASSERT_TRUE(WaitUntil([&] { return r.Count("binary:back") == 1; }));
  c.reset();
  ::close(peer);
  ::close(fd);
}
