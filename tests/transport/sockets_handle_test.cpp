// qyn-test-labels: net
// Socket handles on loopback: bind, port ranges, datagrams, wake-ups, IPv6.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

#include "qynId_Sockets.h"
#include "qynMessages.h"

namespace {

using namespace std::chrono_literals;

// A datagram handle bound to aIP:0.
std::unique_ptr<TIdSocketHandle> BoundUdp(const std::string& aIP, TIdIPVersion aVersion = Id_IPv4) {
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
    BoundUdp("::1", Id_IPv6);
    return true;
  } catch (const EIdException&) {
    return false;
  }
}

// Receives one datagram, waiting up to 10 s.
int Recv(TIdSocketHandle& aHandle, TIdBytes& aBuffer, std::string& VIP, TIdPort& VPort) {
  return aHandle.RecvFrom(aBuffer, VIP, VPort, 10000);
}

// True when a fresh IPv4 datagram socket can bind 127.0.0.1:aPort.
bool PortIsFree(TIdPort aPort) {
  TIdSocketHandle h;
  h.SetIP("127.0.0.1");
  h.SetPort(aPort);
  h.AllocateSocket(Id_SOCK_DGRAM);
  try {
    h.Bind();
    return true;
  } catch (const EIdSocketError&) {
    return false;
  }
}

} // namespace

TEST(SocketHandle, BindReportsAddressAndCloseKeepsIt) {
  auto h = BoundUdp("127.0.0.1");
  EXPECT_TRUE(h->HandleAllocated());
  EXPECT_EQ(h->IP(), "127.0.0.1");
  EXPECT_NE(h->Port(), 0);
  EXPECT_EQ(h->SocketType(), Id_SOCK_DGRAM);
  const TIdPort port = h->Port();
  h->CloseSocket();
  h->CloseSocket(); // idempotent
  EXPECT_FALSE(h->HandleAllocated());
  EXPECT_EQ(h->Handle(), -1);
  EXPECT_EQ(h->IP(), "127.0.0.1");
  EXPECT_EQ(h->Port(), port);
  EXPECT_TRUE(PortIsFree(port));
}

TEST(SocketHandle, EmptyIPBindsAllAddresses) {
  auto h = BoundUdp("");
  EXPECT_EQ(h->IP(), "0.0.0.0");
  if (GStack().SupportsIPv6()) {
    auto h6 = BoundUdp("", Id_IPv6);
    EXPECT_EQ(h6->IP(), "0:0:0:0:0:0:0:0");
  }
}

TEST(SocketHandle, IPVersionCannotChangeWhileAllocated) {
  auto h = BoundUdp("127.0.0.1");
  h->SetIPVersion(Id_IPv4); // same value: fine
  try {
    h->SetIPVersion(Id_IPv6);
    FAIL() << "no exception";
  } catch (const EIdCannotSetIPVersionWhenConnected& E) {
    EXPECT_EQ(E.Message(), "Cannot change IPVersion when connected");
  }
  h->CloseSocket();
  h->SetIPVersion(Id_IPv6);
  EXPECT_EQ(h->IPVersion(), Id_IPv6);
}

TEST(SocketHandle, ReuseOptionFollowsReuseSocket) {
  struct Case {
    TIdReuseSocket Reuse;
    int Expected;
  } cases[] = {{rsOSDependent, 0}, {rsTrue, 1}, {rsFalse, 0}};
  for (const auto& c : cases) {
    TIdSocketHandle h;
    h.SetIP("127.0.0.1");
    h.SetReuseSocket(c.Reuse);
    h.AllocateSocket(Id_SOCK_DGRAM);
    h.Bind();
    EXPECT_EQ(h.GetSockOpt(SOL_SOCKET, SO_REUSEADDR) != 0, c.Expected != 0) << int(c.Reuse);
  }
}

TEST(SocketHandle, BindFailureRaisesSocketError) {
  auto busy = BoundUdp("127.0.0.1");
  TIdSocketHandle h;
  h.SetIP("127.0.0.1");
  h.SetPort(busy->Port());
  h.AllocateSocket(Id_SOCK_DGRAM);
  try {
    h.Bind();
    FAIL() << "no exception";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.LastError(), EADDRINUSE);
    EXPECT_EQ(E.Message(), EIdSocketError::FromErrno(EADDRINUSE).Message());
  }
}

TEST(SocketHandle, ClientPortRange) {
  // Inverted range.
  {
    TIdSocketHandle h;
    h.SetIP("127.0.0.1");
    h.SetClientPortMin(5000);
    h.SetClientPortMax(4000);
    h.AllocateSocket(Id_SOCK_DGRAM);
    try {
      h.Bind();
      FAIL() << "no exception";
    } catch (const EIdInvalidPortRange& E) {
      EXPECT_EQ(E.Message(), "Invalid Port Range (5000 - 4000)");
    }
  }
  // A range whose only port is taken.
  auto busy = BoundUdp("127.0.0.1");
  const TIdPort p = busy->Port();
  {
    TIdSocketHandle h;
    h.SetIP("127.0.0.1");
    h.SetClientPortMin(p);
    h.SetClientPortMax(p);
    h.AllocateSocket(Id_SOCK_DGRAM);
    try {
      h.Bind();
      FAIL() << "no exception";
    } catch (const EIdCanNotBindPortInRange& E) {
      EXPECT_EQ(E.Message(), "Can not bind in port range (" + std::to_string(p) + " - " + std::to_string(p) + ")");
    }
  }
  // Tried from the top down: the taken top port is skipped, a lower free one is used.
  auto other = BoundUdp("127.0.0.1");
  const TIdPort hi = std::max(p, other->Port());
  const TIdPort lo = std::min(p, other->Port());
  (hi == p ? other : busy)->CloseSocket(); // free the lower one, keep the top taken
  {
    TIdSocketHandle h;
    h.SetIP("127.0.0.1");
    h.SetClientPortMin(lo);
    h.SetClientPortMax(hi);
    h.AllocateSocket(Id_SOCK_DGRAM);
    h.Bind();
    EXPECT_GE(h.Port(), lo);
    EXPECT_LT(h.Port(), hi);
  }
  // An explicit port ignores the range.
  {
    TIdSocketHandle h;
    h.SetIP("127.0.0.1");
    h.SetPort(lo);
    h.SetClientPortMin(5000);
    h.SetClientPortMax(4000);
    h.AllocateSocket(Id_SOCK_DGRAM);
    h.Bind();
    EXPECT_EQ(h.Port(), lo);
  }
}

TEST(SocketHandle, DatagramRoundTripAndSender) {
  auto a = BoundUdp("127.0.0.1");
  auto b = BoundUdp("127.0.0.1");
  const TIdBytes payload = {1, 2, 3, 4, 5};
  a->SendTo("127.0.0.1", b->Port(), Id_IPv4, payload);
  TIdBytes buf(100);
  std::string ip;
  TIdPort port = 0;
  TIdIPVersion version = Id_IPv6;
  ASSERT_EQ(b->RecvFrom(buf, ip, port, version, 10000), 5);
  EXPECT_EQ(TIdBytes(buf.begin(), buf.begin() + 5), payload);
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_EQ(port, a->Port());
  EXPECT_EQ(version, Id_IPv4);
  EXPECT_EQ(buf.size(), 100u); // not resized
}

TEST(SocketHandle, ZeroLengthDatagramIsNotNothing) {
  auto a = BoundUdp("127.0.0.1");
  auto b = BoundUdp("127.0.0.1");
  TIdBytes buf(64);
  std::string ip;
  TIdPort port = 0;
  // Nothing there: 0 and no sender.
  EXPECT_EQ(b->RecvFrom(buf, ip, port, 0), 0);
  EXPECT_TRUE(ip.empty());
  a->SendTo("127.0.0.1", b->Port(), Id_IPv4, TIdBytes{});
  EXPECT_EQ(Recv(*b, buf, ip, port), 0);
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_EQ(port, a->Port());
}

TEST(SocketHandle, DatagramLongerThanBufferIsAnErrorNotATruncation) {
  auto a = BoundUdp("127.0.0.1");
  auto b = BoundUdp("127.0.0.1");
  a->SendTo("127.0.0.1", b->Port(), Id_IPv4, TIdBytes(101, 7));
  a->SendTo("127.0.0.1", b->Port(), Id_IPv4, TIdBytes(100, 8));
  TIdBytes buf(100);
  std::string ip;
  TIdPort port = 0;
  ASSERT_TRUE(b->Readable(10000));
  try {
    b->RecvFrom(buf, ip, port, 0);
    FAIL() << "no exception";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.LastError(), EMSGSIZE);
  }
  // The next datagram, which fits exactly, comes whole.
  ASSERT_EQ(Recv(*b, buf, ip, port), 100);
  EXPECT_EQ(buf, TIdBytes(100, 8));
}

TEST(SocketHandle, SendToWrongFamilyFails) {
  auto a = BoundUdp("127.0.0.1");
  try {
    a->SendTo("::1", 9, Id_IPv6, TIdBytes{1});
    FAIL() << "no exception";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.LastError(), EAFNOSUPPORT);
  }
}

TEST(SocketHandle, OperationsWithoutSocket) {
  TIdSocketHandle h;
  TIdBytes buf(10);
  std::string ip;
  TIdPort port;
  EXPECT_FALSE(h.Readable(0));
  h.Wakeup(); // no effect
  EXPECT_THROW(h.RecvFrom(buf, ip, port, 0), EIdSocketError);
  EXPECT_THROW(h.SendTo("127.0.0.1", 9, Id_IPv4, buf), EIdSocketError);
  EXPECT_THROW(h.Bind(), EIdSocketError);
}

TEST(SocketHandle, WaitsEndAtOnceOnWakeupAndClose) {
  auto h = BoundUdp("127.0.0.1");
  // A wake-up while a thread waits without limit.
  {
    auto waiting = std::async(std::launch::async, [&] { return h->Readable(IdTimeoutInfinite); });
    std::this_thread::sleep_for(50ms);
    h->Wakeup();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
  }
  // A wake-up with nobody waiting makes the next wait return at once.
  h->Wakeup();
  {
    auto waiting = std::async(std::launch::async, [&] { return h->Readable(60000); });
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
  }
  // RecvFrom woken: nothing, no sender.
  {
    auto waiting = std::async(std::launch::async, [&] {
      TIdBytes buf(10);
      std::string ip = "x";
      TIdPort port = 1;
      const int n = h->RecvFrom(buf, ip, port, IdTimeoutInfinite);
      return n == 0 && ip.empty();
    });
    std::this_thread::sleep_for(50ms);
    h->Wakeup();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(waiting.get());
  }
  // Closing the socket ends the wait too, and the port is free afterwards.
  {
    const TIdPort port = h->Port();
    auto waiting = std::async(std::launch::async, [&] { return h->Readable(IdTimeoutInfinite); });
    std::this_thread::sleep_for(50ms);
    h->CloseSocket();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    EXPECT_TRUE(PortIsFree(port));
  }
}

TEST(SocketHandle, ReadableSeesData) {
  auto a = BoundUdp("127.0.0.1");
  auto b = BoundUdp("127.0.0.1");
  EXPECT_FALSE(b->Readable(0));
  a->SendTo("127.0.0.1", b->Port(), Id_IPv4, TIdBytes{9});
  EXPECT_TRUE(b->Readable(10000));
  EXPECT_TRUE(b->Select(0));
}

TEST(SocketHandle, IPv6Loopback) {
  if (!HaveIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback here";
  auto a = BoundUdp("::1", Id_IPv6);
  auto b = BoundUdp("::1", Id_IPv6);
  EXPECT_EQ(a->IP(), "0:0:0:0:0:0:0:1");
  a->SendTo("::1", b->Port(), Id_IPv6, TIdBytes{1, 2});
  TIdBytes buf(10);
  std::string ip;
  TIdPort port = 0;
  TIdIPVersion version = Id_IPv4;
  ASSERT_EQ(b->RecvFrom(buf, ip, port, version, 10000), 2);
  EXPECT_EQ(ip, "0:0:0:0:0:0:0:1");
  EXPECT_EQ(port, a->Port());
  EXPECT_EQ(version, Id_IPv6);
  // The reported text is accepted as input as well.
  b->SendTo(ip, port, Id_IPv6, TIdBytes{3});
  ASSERT_EQ(a->RecvFrom(buf, ip, port, version, 10000), 1);
  EXPECT_EQ(buf[0], 3);
}

TEST(SocketHandle, IPv4AndIPv6ShareAPort) {
  if (!HaveIPv6Loopback()) GTEST_SKIP() << "no IPv6 here";
  auto v4 = BoundUdp("");
  TIdSocketHandle v6;
  v6.SetIPVersion(Id_IPv6);
  v6.SetPort(v4->Port());
  v6.AllocateSocket(Id_SOCK_DGRAM);
  v6.Bind();
  EXPECT_EQ(v6.Port(), v4->Port());
}

TEST(SocketHandles, AddDeleteAndDefaultPort) {
  TIdSocketHandles list(3478);
  TIdSocketHandle* a = list.Add();
  EXPECT_EQ(a->Port(), 3478);
  EXPECT_EQ(a->IP(), "");
  EXPECT_EQ(a->IPVersion(), Id_IPv4);
  list.SetDefaultPort(0);
  TIdSocketHandle* b = list.Add();
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(1), b);
  EXPECT_EQ(list[0], a);
  EXPECT_EQ(list.Items(2), nullptr);
  EXPECT_EQ(list.IndexOf(b), 1);

  b->SetIP("127.0.0.1");
  b->AllocateSocket(Id_SOCK_DGRAM);
  b->Bind();
  const TIdPort port = b->Port();
  EXPECT_FALSE(PortIsFree(port));
  EXPECT_TRUE(list.Remove(b)); // deleting closes the socket
  EXPECT_TRUE(PortIsFree(port));
  EXPECT_FALSE(list.Remove(b));
  EXPECT_EQ(list.Count(), 1);
  list.Delete(0);
  EXPECT_EQ(list.Count(), 0);
  list.Add();
  list.Add();
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}
