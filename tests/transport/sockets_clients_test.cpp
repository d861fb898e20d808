// qyn-test-labels: net
// TIdUDPClient and TIdTCPClient on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "qyn_test_wait.h"
#include "qynId_Sockets.h"
#include "qynMessages.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::unique_ptr<TIdSocketHandle> UdpPeer(const std::string& aIP = "127.0.0.1", TIdIPVersion aVersion = Id_IPv4) {
  auto h = std::make_unique<TIdSocketHandle>();
  h->SetIPVersion(aVersion);
  h->SetIP(aIP);
  h->AllocateSocket(Id_SOCK_DGRAM);
  h->Bind();
  return h;
}

bool HaveIPv6Loopback() {
  if (!GStack().SupportsIPv6()) return false;
  try {
    UdpPeer("::1", Id_IPv6);
    return true;
  } catch (const EIdException&) {
    return false;
  }
}

// A plain TCP listener on loopback (the test's server side).
class TcpListener {
public:
  explicit TcpListener(int aBacklog = 4, bool aListen = true, int aFamily = AF_INET) {
    FFd = ::socket(aFamily, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (aFamily == AF_INET) {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      len = sizeof *a;
    }
    EXPECT_EQ(::bind(FFd, reinterpret_cast<sockaddr*>(&ss), len), 0);
    if (aListen) {
      EXPECT_EQ(::listen(FFd, aBacklog), 0);
    }
    len = sizeof ss;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&ss), &len);
    FPort = ntohs(aFamily == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  }
  ~TcpListener() { ::close(FFd); }
  TIdPort Port() const { return FPort; }
  int Fd() const { return FFd; }
  // Accepts one connection (waiting up to 10 s); -1 when none came.
  int Accept() {
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return -1;
    return ::accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
  }

private:
  int FFd;
  TIdPort FPort = 0;
};

// Reads exactly aCount bytes from a blocking descriptor (up to 10 s).
TIdBytes ReadExactly(int aFd, size_t aCount) {
  TIdBytes out;
  const auto end = Clock::now() + 10s;
  while (out.size() < aCount && Clock::now() < end) {
    pollfd p{aFd, POLLIN, 0};
    if (::poll(&p, 1, 100) != 1) continue;
    uint8_t buf[4096];
    const ssize_t n = ::recv(aFd, buf, std::min(sizeof buf, aCount - out.size()), 0);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

void WriteAll(int aFd, const std::string& aText) { ASSERT_EQ(::send(aFd, aText.data(), aText.size(), MSG_NOSIGNAL), ssize_t(aText.size())); }

std::string Text(const TIdBytes& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }

// Counts the bytes an intercept sees.
class CountingIntercept : public TIdConnectionIntercept {
public:
  std::atomic<size_t> Received{0}, Sent{0};
  std::atomic<int> Connects{0}, Disconnects{0};
  void Connect() override { ++Connects; }
  void Disconnect() override { ++Disconnects; }
  void Receive(TIdBytes& aBuffer) override { Received += aBuffer.size(); }
  void Send(TIdBytes& aBuffer) override { Sent += aBuffer.size(); }
};

} // namespace

// ---------------------------------------------------------------------------------------------
// UDP client
// ---------------------------------------------------------------------------------------------

TEST(UDPClient, IdleReceiveReturnsNothingAndAnEmptyPeer) {
  TIdUDPClient client;
  TIdBytes buf(8192);
  std::string ip = "stale";
  TIdPort port = 7;
  EXPECT_EQ(client.ReceiveBuffer(buf, 10, ip, port), 0);
  EXPECT_TRUE(ip.empty());
  EXPECT_EQ(port, 0);
  // The first receive made and bound the socket: ephemeral port, all addresses.
  ASSERT_TRUE(client.Binding()->HandleAllocated());
  EXPECT_EQ(client.Binding()->IP(), "0.0.0.0");
  EXPECT_NE(client.Binding()->Port(), 0);
  EXPECT_EQ(client.ReceiveTimeout(), -2);
  EXPECT_EQ(client.BufferSize(), 8192);
}

TEST(UDPClient, SendAndReceiveWithTheSender) {
  auto server = UdpPeer();
  TIdUDPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(server->Port());
  client.SendBuffer(TIdBytes{1, 2, 3});
  TIdBytes buf(100);
  std::string ip;
  TIdPort port = 0;
  ASSERT_EQ(server->RecvFrom(buf, ip, port, 10000), 3);
  EXPECT_EQ(port, client.Binding()->Port());

  server->SendTo(ip, port, Id_IPv4, TIdBytes{9, 8});
  TIdBytes in(8192);
  std::string peer;
  TIdPort peerPort = 0;
  ASSERT_EQ(client.ReceiveBuffer(in, 10000, peer, peerPort), 2);
  EXPECT_EQ(in[0], 9);
  EXPECT_EQ(peer, "127.0.0.1");
  EXPECT_EQ(peerPort, server->Port());

  // Zero-length datagram: count 0, but with the sender.
  server->SendTo(ip, port, Id_IPv4, TIdBytes{});
  peer.clear();
  EXPECT_EQ(client.ReceiveBuffer(in, 10000, peer, peerPort), 0);
  EXPECT_EQ(peer, "127.0.0.1");

  // Longer than the buffer: an error, and the next datagram still comes.
  server->SendTo(ip, port, Id_IPv4, TIdBytes(8193, 1));
  try {
    client.ReceiveBuffer(in, 10000, peer, peerPort);
    FAIL() << "no exception";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.LastError(), EMSGSIZE);
  }
  server->SendTo(ip, port, Id_IPv4, TIdBytes(8192, 2));
  EXPECT_EQ(client.ReceiveBuffer(in, 10000, peer, peerPort), 8192);

  // Explicit destinations.
  auto other = UdpPeer();
  client.SendBuffer("127.0.0.1", other->Port(), TIdBytes{4});
  client.SendBuffer("localhost", other->Port(), TIdBytes{5}, Id_IPv4);
  ASSERT_EQ(other->RecvFrom(buf, ip, port, 10000), 1);
  EXPECT_EQ(buf[0], 4);
  ASSERT_EQ(other->RecvFrom(buf, ip, port, 10000), 1);
  EXPECT_EQ(buf[0], 5);
}

TEST(UDPClient, DefaultTimeoutComesFromReceiveTimeout) {
  TIdUDPClient client;
  client.SetReceiveTimeout(20);
  TIdBytes buf(100);
  auto waiting = std::async(std::launch::async, [&] { return client.ReceiveBuffer(buf); });
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(waiting.get(), 0);
}

TEST(UDPClient, WakeupEndsAnUnlimitedReceive) {
  TIdUDPClient client;
  client.Binding();
  auto waiting = std::async(std::launch::async, [&] {
    TIdBytes buf(100);
    std::string ip = "x";
    TIdPort port = 1;
    const int n = client.ReceiveBuffer(buf, IdTimeoutInfinite, ip, port);
    return n == 0 && ip.empty() && port == 0;
  });
  std::this_thread::sleep_for(50ms);
  client.Wakeup();
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
}

TEST(UDPClient, IPv6Loopback) {
  if (!HaveIPv6Loopback()) GTEST_SKIP() << "no IPv6 here";
  auto server = UdpPeer("::1", Id_IPv6);
  TIdUDPClient client;
  client.SetIPVersion(Id_IPv6);
  client.SetHost("::1");
  client.SetPort(server->Port());
  client.SendBuffer(TIdBytes{6});
  TIdBytes buf(10);
  std::string ip;
  TIdPort port = 0;
  ASSERT_EQ(server->RecvFrom(buf, ip, port, 10000), 1);
  EXPECT_EQ(ip, "0:0:0:0:0:0:0:1");
  EXPECT_EQ(client.Binding()->IP(), "0:0:0:0:0:0:0:0");
  server->SendTo(ip, port, Id_IPv6, TIdBytes{7});
  TIdIPVersion version = Id_IPv4;
  ASSERT_EQ(client.ReceiveBuffer(buf, 10000, ip, port, version), 1);
  EXPECT_EQ(version, Id_IPv6);
}

TEST(UDPClient, PortRangeAndProxyErrors) {
  {
    TIdUDPClient client;
    client.SetBoundPortMin(5000);
    client.SetBoundPortMax(4000);
    TIdBytes buf(10);
    try {
      client.ReceiveBuffer(buf, 0);
      FAIL() << "no exception";
    } catch (const EIdInvalidPortRange& E) {
      EXPECT_EQ(E.Message(), "Invalid Port Range (5000 - 4000)");
    }
  }
  {
    auto busy = UdpPeer("");
    TIdUDPClient client;
    client.SetBoundPortMin(busy->Port());
    client.SetBoundPortMax(busy->Port());
    EXPECT_THROW(client.Binding(), EIdCanNotBindPortInRange);
    EXPECT_FALSE(client.Connected());
  }
  {
    TIdUDPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(9);
    client.TransparentProxy().Enabled = true;
    try {
      client.SendBuffer(TIdBytes{1});
      FAIL() << "no exception";
    } catch (const EIdMustUseOpenProxy& E) {
      EXPECT_EQ(E.Message(), "You must use proxyOpen");
    }
  }
}

TEST(UDPClient, ConnectedClientSendsToItsPeer) {
  auto server = UdpPeer();
  TIdUDPClient client;
  int connects = 0, disconnects = 0;
  client.OnConnected = [&](TIdUDPClient* c) {
    EXPECT_EQ(c, &client);
    ++connects;
  };
  client.OnDisconnected = [&](TIdUDPClient*) { ++disconnects; };
  client.SetHost("127.0.0.1");
  client.SetPort(server->Port());
  client.Connect();
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(client.Binding()->PeerPort(), server->Port());
  const TIdPort local = client.Binding()->Port();
  client.SendBuffer(TIdBytes{1});
  TIdBytes buf(10);
  std::string ip;
  TIdPort port = 0;
  ASSERT_EQ(server->RecvFrom(buf, ip, port, 10000), 1);
  EXPECT_EQ(port, local);
  client.SetPort(server->Port()); // changing the destination disconnects first
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(client.Binding()->Port(), local); // same socket, same port
  client.SendBuffer(TIdBytes{2});
  ASSERT_EQ(server->RecvFrom(buf, ip, port, 10000), 1);
  EXPECT_EQ(buf[0], 2);
}

// ---------------------------------------------------------------------------------------------
// TCP client
// ---------------------------------------------------------------------------------------------

TEST(TCPClient, ConnectToAClosedPortFails) {
  TcpListener notListening(0, false); // bound, so nobody else listens there
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(notListening.Port());
  try {
    client.Connect();
    FAIL() << "no exception";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.LastError(), ECONNREFUSED);
    EXPECT_EQ(E.Message(), EIdSocketError::FromErrno(ECONNREFUSED).Message());
  }
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.Socket()->HandleAllocated());
}

TEST(TCPClient, ConnectTimesOut) {
  // A listener whose accept queue is full drops further connection attempts, so a connect to
  // it can only time out.
  TcpListener full(0);
  std::vector<int> fillers;
  for (int i = 0; i < 8; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(full.Port());
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  std::this_thread::sleep_for(50ms);
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(full.Port());
  client.SetConnectTimeout(200);
  try {
    client.Connect();
    ADD_FAILURE() << "connected to a full listener";
  } catch (const EIdConnectTimeout& E) {
    EXPECT_EQ(E.Message(), "Connect timed out.");
  }
  EXPECT_FALSE(client.Connected());
  for (int fd : fillers) ::close(fd);
}

TEST(TCPClient, WakeupCancelsAConnectInProgress) {
  TcpListener full(0);
  std::vector<int> fillers;
  for (int i = 0; i < 8; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(full.Port());
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(full.Port());
  std::atomic<bool> connecting{false};
  client.OnStatus = [&](TIdTCPClient*, TIdStatus s, const std::string&) {
    if (s == hsConnecting) connecting = true;
  };
  auto attempt = std::async(std::launch::async, [&] {
    try {
      client.Connect();
      return 0;
    } catch (const EIdSocketError& E) {
      return E.LastError();
    } catch (const EIdException&) {
      return -1;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return connecting.load(); }));
  // Keep waking until the attempt gives up (the first wake-up may come before its wait).
  ASSERT_TRUE(WaitUntil([&] {
    client.Socket()->Wakeup();
    return attempt.wait_for(5ms) == std::future_status::ready;
  }));
  EXPECT_EQ(attempt.get(), ECANCELED);
  for (int fd : fillers) ::close(fd);
}

TEST(TCPClient, ReadWriteStatusAndPeerClose) {
  TcpListener listener;
  TIdTCPClient client;
  CountingIntercept intercept;
  client.SetIntercept(&intercept);
  std::vector<TIdStatus> statuses;
  std::vector<std::string> texts;
  int connected = 0, disconnected = 0;
  client.OnStatus = [&](TIdTCPClient*, TIdStatus s, const std::string& t) {
    statuses.push_back(s);
    texts.push_back(t);
  };
  client.OnConnected = [&](TIdTCPClient*) { ++connected; };
  // Each report names the connection whose end it is (numbered from 1 by Connect).
  std::vector<uint64_t> ended;
  client.OnDisconnected = [&](TIdTCPClient*) {
    ++disconnected;
    ended.push_back(TIdTCPClient::ReportingSession());
  };
  client.SetHost("127.0.0.1");
  client.SetPort(listener.Port());
  client.SetConnectTimeout(10000);
  EXPECT_EQ(client.Session(), 0u);
  client.Connect();
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(client.Session(), 1u);
  EXPECT_EQ(statuses, (std::vector<TIdStatus>{hsResolving, hsConnecting, hsConnected}));
  EXPECT_EQ(texts[0], "Resolving hostname 127.0.0.1.");
  EXPECT_EQ(texts[1], "Connecting to 127.0.0.1.");
  EXPECT_EQ(texts[2], "Connected.");
  EXPECT_EQ(client.Socket()->PeerIP(), "127.0.0.1");
  EXPECT_EQ(client.Socket()->PeerPort(), listener.Port());
  EXPECT_NE(client.Socket()->Port(), 0);
  EXPECT_EQ(intercept.Connects.load(), 1);

  TIdIOHandlerSocket* io = client.IOHandler();
  EXPECT_TRUE(io->InputBufferIsEmpty());
  EXPECT_FALSE(io->CheckForDataOnSource(10));

  TIdBytes request(20);
  for (size_t i = 0; i < request.size(); ++i) request[i] = static_cast<uint8_t>(i);
  io->Write(request);
  EXPECT_EQ(ReadExactly(peer, 20), request);
  EXPECT_EQ(intercept.Sent.load(), 20u);

  WriteAll(peer, "hello");
  ASSERT_TRUE(WaitUntil([&] {
    io->CheckForDataOnSource(10);
    return io->InputBuffer().Size() >= 5;
  }));
  EXPECT_FALSE(io->InputBufferIsEmpty());
  TIdBytes got;
  io->ReadBytes(got, 5);
  EXPECT_EQ(Text(got), "hello");
  EXPECT_EQ(intercept.Received.load(), 5u);

  // The peer sends a last chunk and closes: the chunk is read first, then the close is raised.
  WriteAll(peer, "abc");
  ::close(peer);
  ASSERT_TRUE(WaitUntil([&] {
    io->CheckForDataOnSource(10);
    return io->ClosedGracefully();
  }));
  EXPECT_NO_THROW(io->CheckForDisconnect(true, false)); // buffer not empty yet
  EXPECT_EQ(disconnected, 0);
  got.clear();
  io->ReadBytes(got, -1);
  EXPECT_EQ(Text(got), "abc");
  EXPECT_THROW(io->CheckForDisconnect(true, false), EIdConnClosedGracefully);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(disconnected, 1);
  EXPECT_EQ(statuses.back(), hsDisconnected);
  EXPECT_EQ(texts.back(), "Disconnected.");
  // Reported once; later checks and writes raise the same close.
  const size_t count = statuses.size();
  EXPECT_THROW(io->CheckForDisconnect(), EIdConnClosedGracefully);
  EXPECT_THROW(io->Write(request), EIdConnClosedGracefully);
  EXPECT_THROW(io->ReadBytes(got, 1), EIdConnClosedGracefully);
  client.Disconnect();
  EXPECT_EQ(statuses.size(), count);
  EXPECT_EQ(disconnected, 1);
  EXPECT_EQ(intercept.Disconnects.load(), 1);

  // The same client connects again.
  client.Connect();
  const int peer2 = listener.Accept();
  ASSERT_GE(peer2, 0);
  EXPECT_TRUE(client.Connected());
  EXPECT_TRUE(io->InputBufferIsEmpty());
  EXPECT_EQ(client.Session(), 2u);
  client.Disconnect();
  EXPECT_EQ(ended, (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(TIdTCPClient::ReportingSession(), 0u); // only while a report runs
  ::close(peer2);
}

TEST(TCPClient, ReadTimeoutWakeupAndDisconnectFromAnotherThread) {
  TcpListener listener;
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(listener.Port());
  client.SetReadTimeout(30);
  std::vector<TIdStatus> statuses;
  std::mutex statusLock;
  client.OnStatus = [&](TIdTCPClient*, TIdStatus s, const std::string&) {
    std::lock_guard<std::mutex> g(statusLock);
    statuses.push_back(s);
  };
  client.Connect();
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  TIdIOHandlerSocket* io = client.IOHandler();
  TIdBytes got;
  try {
    io->ReadBytes(got, 1);
    FAIL() << "no exception";
  } catch (const EIdReadTimeout& E) {
    EXPECT_EQ(E.Message(), "Read timed out.");
  }

  // A wake-up ends an unlimited wait for data.
  {
    auto waiting = std::async(std::launch::async, [&] { return io->CheckForDataOnSource(IdTimeoutInfinite); });
    std::this_thread::sleep_for(50ms);
    client.Wakeup();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
  }
  // So does a disconnect from another thread.
  {
    auto waiting = std::async(std::launch::async, [&] { return io->CheckForDataOnSource(IdTimeoutInfinite); });
    std::this_thread::sleep_for(50ms);
    client.Disconnect();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
  }
  EXPECT_FALSE(client.Connected());
  {
    std::lock_guard<std::mutex> g(statusLock);
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[statuses.size() - 2], hsDisconnecting);
    EXPECT_EQ(statuses.back(), hsDisconnected);
  }
  try {
    io->CheckForDisconnect();
    FAIL() << "no exception";
  } catch (const EIdClosedSocket& E) {
    EXPECT_EQ(E.Message(), "Disconnected.");
  }
  EXPECT_THROW(io->Write(TIdBytes{1}), EIdClosedSocket);
  // The peer sees the connection closed.
  EXPECT_TRUE(ReadExactly(peer, 1).empty());
  ::close(peer);
}

TEST(TCPClient, SocketOptions) {
  TcpListener listener;
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(listener.Port());
  client.SetUseNagle(false);
  client.SetBoundIP("127.0.0.1");
  client.Connect();
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  TIdSocketHandle* s = client.Socket();
  EXPECT_EQ(s->IP(), "127.0.0.1");
  EXPECT_NE(s->GetSockOpt(IPPROTO_TCP, TCP_NODELAY), 0);
  EXPECT_EQ(s->GetSockOpt(SOL_SOCKET, SO_KEEPALIVE), 0);
  client.SetKeepAliveValues(true, 7000, 2000);
  EXPECT_NE(s->GetSockOpt(SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(s->GetSockOpt(IPPROTO_TCP, TCP_KEEPIDLE), 7);
  EXPECT_EQ(s->GetSockOpt(IPPROTO_TCP, TCP_KEEPINTVL), 2);
  client.Disconnect();
  ::close(peer);
}

TEST(TCPClient, IPv6Loopback) {
  if (!HaveIPv6Loopback()) GTEST_SKIP() << "no IPv6 here";
  TcpListener listener(4, true, AF_INET6);
  TIdTCPClient client;
  client.SetIPVersion(Id_IPv6);
  client.SetHost("::1");
  client.SetPort(listener.Port());
  client.Connect();
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(client.Socket()->PeerIP(), "0:0:0:0:0:0:0:1");
  EXPECT_EQ(client.Socket()->IPVersion(), Id_IPv6);
  client.IOHandler()->Write(TIdBytes{'x'});
  EXPECT_EQ(ReadExactly(peer, 1), TIdBytes{'x'});
  ::close(peer);
}
