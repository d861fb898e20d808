// qyn-test-labels: net
// TqynUDPServer_Base on loopback: socket objects, answers from the receiving binding, the three
// notification modes, failing writes, bindings added and removed while datagrams flow, log lines.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qyn_test_wait.h"
#include "qynBase_Sync.h"
#include "qynId_Hash.h"
#include "qynMessages.h"
#include "qynUDP_Server.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// Runs the main thread's queue while waiting (for the queued notification modes).
TqynBytes B(const std::string& aText) { return TqynBytes(aText.begin(), aText.end()); }

// A plain UDP socket on loopback that talks to the server.
class TPeer {
public:
  explicit TPeer(const std::string& aIP = "127.0.0.1") {
    FSocket.SetIPVersion(IdIPVersionOfText(aIP));
    FSocket.SetIP(aIP);
    FSocket.SetPort(0);
    FSocket.AllocateSocket(Id_SOCK_DGRAM);
    FSocket.Bind();
  }
  TIdPort Port() const { return FSocket.Port(); }
  std::string IP() const { return FSocket.IP(); }
  void Send(const std::string& aIP, TIdPort aPort, const TqynBytes& aBytes) {
    FSocket.SendTo(aIP, aPort, IdIPVersionOfText(aIP), aBytes);
  }
  struct TReply {
    bool Ok = false;
    TqynBytes Data;
    std::string IP;
    TIdPort Port = 0;
  };
  TReply Receive(int aMSec = 10000) {
    TReply r;
    TqynBytes buffer(65536);
    TIdIPVersion version;
    const int n = FSocket.RecvFrom(buffer, r.IP, r.Port, version, aMSec);
    if (r.IP.empty()) return r;
    buffer.resize(static_cast<size_t>(n));
    r.Data = buffer;
    r.Ok = true;
    return r;
  }

private:
  TIdSocketHandle FSocket;
};

struct TRead {
  TqynBytes Bytes;
  TqynBytes MsgRead;
  std::string IP, LocalIP, Guid;
  TIdPort Port = 0, LocalPort = 0;
  TIdIPVersion IPVersion = Id_IPv4;
  TwsTransport Transport = trpUndefined;
  std::thread::id Thread;
};

struct TFailure {
  std::string Message;
  bool HasSocket = false;
  std::string Guid;
  TIdPort LocalPort = 0;
};

// Records the server's events; answers every datagram through its socket object when Echo is set.
class TRecorder {
public:
  std::atomic<bool> Echo{false};
  std::function<void(TqynUDPSocket*, const TqynBytes&)> Extra;

  void Attach(TqynUDPServer_Base& aServer) {
    aServer.OnUDPRead = [this](TqynComponent_Base*, TqynUDPSocket* Socket, const TqynBytes& Bytes) {
      {
        std::lock_guard<std::mutex> lock(FLock);
        FReads.push_back({Bytes, Socket->MsgRead(), Socket->IP(), Socket->LocalIP(), Socket->Guid(), Socket->Port(),
                          Socket->LocalPort(), Socket->IPVersion(), Socket->Transport(), std::this_thread::get_id()});
      }
      if (Extra) Extra(Socket, Bytes);
      if (Echo.load()) Socket->WriteData(Bytes);
    };
    aServer.OnUDPException = [this](TqynComponent_Base*, TqynUDPSocket* Socket, const Exception& E) {
      std::lock_guard<std::mutex> lock(FLock);
      FFailures.push_back({E.Message(), Socket != nullptr, Socket ? Socket->Guid() : std::string(),
                           Socket ? Socket->LocalPort() : TIdPort(0)});
    };
  }
  size_t Reads() {
    std::lock_guard<std::mutex> lock(FLock);
    return FReads.size();
  }
  TRead Read(size_t i) {
    std::lock_guard<std::mutex> lock(FLock);
    return FReads.at(i);
  }
  size_t Failures() {
    std::lock_guard<std::mutex> lock(FLock);
    return FFailures.size();
  }
  TFailure Failure(size_t i) {
    std::lock_guard<std::mutex> lock(FLock);
    return FFailures.at(i);
  }

private:
  std::mutex FLock;
  std::vector<TRead> FReads;
  std::vector<TFailure> FFailures;
};

class udp_server_io : public ::testing::Test {
protected:
  void SetUp() override { TqynMainThread::SetMainThread(); }
  // A server listening on 127.0.0.1 on an ephemeral port.
  void StartLoopback(TqynUDPServer_Base& aServer, const std::string& aHost = "127.0.0.1") {
    aServer.SetHost(aHost);
    aServer.SetPort(0);
    aServer.SetActive(true);
    ASSERT_TRUE(aServer.Active());
    ASSERT_EQ(aServer.Bindings().Count(), 1);
  }
  static TIdPort PortOf(TqynUDPServer_Base& aServer, int aIndex = 0) { return aServer.Bindings()[aIndex]->Port(); }
};

TEST_F(udp_server_io, Defaults) {
  TqynUDPServer_Base server;
  EXPECT_EQ(server.Host(), "");
  EXPECT_EQ(server.Port(), 80);
  EXPECT_EQ(server.IPVersion(), Id_IPv4);
  EXPECT_EQ(server.NotifyEvents(), neNoSync);
  EXPECT_FALSE(server.Active());
  EXPECT_FALSE(server.LogFile().Enabled);
  EXPECT_EQ(server.LogFile().FileName, "");
  const TqynUDPWatchDogServer_Options wd = server.WatchDog();
  EXPECT_FALSE(wd.Enabled);
  EXPECT_EQ(wd.Interval, 10);
  EXPECT_EQ(wd.Attempts, 0);
  EXPECT_FALSE(wd.Monitor.Enabled);
  EXPECT_EQ(wd.Monitor.TimeOut, 10);
  EXPECT_FALSE(server.HeartBeat().Enabled);
  EXPECT_EQ(server.HeartBeat().Interval, 60);
  EXPECT_EQ(server.ConnectTimeout(), 0);
  EXPECT_EQ(server.ReadTimeout(), -1);
  EXPECT_FALSE(server.TLS());
  EXPECT_EQ(server.Version(), "4.5.2");
  EXPECT_TRUE(server.IdUDPServer()->ThreadedEvent());
  EXPECT_EQ(server.Bindings().Count(), 0);
  EXPECT_FALSE(server.WatchDogRunning());
}

// One IPv4 binding from Host; the socket object describes sender and binding; the answer written
// through it reaches the sender from the binding's address.
TEST_F(udp_server_io, SocketObjectOfADatagramAndItsAnswer) {
  TRecorder rec; // outlives the server, whose listeners write into it
  TqynUDPServer_Base server;
  rec.Attach(server);
  rec.Echo = true;
  StartLoopback(server);
  EXPECT_EQ(server.Bindings()[0]->IPVersion(), Id_IPv4);
  const TIdPort port = PortOf(server);

  TPeer peer;
  const TqynBytes payload = {0x00, 0x01, 0x02, 0xFF, 'a'};
  peer.Send("127.0.0.1", port, payload);
  const TPeer::TReply reply = peer.Receive();
  ASSERT_TRUE(reply.Ok);
  EXPECT_EQ(reply.Data, payload);
  EXPECT_EQ(reply.IP, "127.0.0.1");
  EXPECT_EQ(reply.Port, port);

  ASSERT_EQ(rec.Reads(), 1u);
  const TRead r = rec.Read(0);
  EXPECT_EQ(r.Bytes, payload);
  EXPECT_EQ(r.MsgRead, payload);
  EXPECT_EQ(r.IP, "127.0.0.1");
  EXPECT_EQ(r.Port, peer.Port());
  EXPECT_EQ(r.LocalIP, "127.0.0.1");
  EXPECT_EQ(r.LocalPort, port);
  EXPECT_EQ(r.IPVersion, Id_IPv4);
  EXPECT_EQ(r.Transport, trpUDP);
  EXPECT_EQ(r.Guid, TIdEncoderMIME::EncodeString("127.0.0.1:" + std::to_string(peer.Port())));
  EXPECT_NE(r.Thread, std::this_thread::get_id()); // neNoSync: on the listener thread

  // An empty datagram is a datagram too.
  peer.Send("127.0.0.1", port, TqynBytes());
  const TPeer::TReply empty = peer.Receive();
  ASSERT_TRUE(empty.Ok);
  EXPECT_TRUE(empty.Data.empty());
  ASSERT_EQ(rec.Reads(), 2u);
  EXPECT_TRUE(rec.Read(1).Bytes.empty());
  EXPECT_EQ(rec.Failures(), 0u);
}

// An answer leaves from the binding that received the datagram, also when that is not the first
// binding, and also across families.
TEST_F(udp_server_io, AnswersLeaveFromTheReceivingBinding) {
  struct TCase {
    const char* Name;
    const char* Second;
  };
  const TCase cases[] = {{"second IPv4 port", "127.0.0.1"}, {"IPv6 beside IPv4", "::1"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    if (IdIPVersionOfText(c.Second) == Id_IPv6 && !GStack().SupportsIPv6()) continue;
    TRecorder rec; // outlives the server, whose listeners write into it
    TqynUDPServer_Base server;
    rec.Attach(server);
    rec.Echo = true;
    TIdSocketHandle* first = server.Bindings().Add();
    first->SetIP("127.0.0.1");
    first->SetPort(0);
    TIdSocketHandle* second = server.Bindings().Add();
    second->SetIP(c.Second);
    second->SetIPVersion(IdIPVersionOfText(c.Second));
    second->SetPort(0);
    server.SetActive(true);
    ASSERT_TRUE(server.Active());
    const TIdPort firstPort = first->Port();
    const TIdPort secondPort = second->Port();

    TPeer peer(c.Second);
    peer.Send(c.Second, secondPort, B("to the second"));
    const TPeer::TReply reply = peer.Receive();
    ASSERT_TRUE(reply.Ok);
    EXPECT_EQ(reply.Data, B("to the second"));
    EXPECT_EQ(reply.Port, secondPort);
    EXPECT_EQ(reply.IP, second->IP());
    ASSERT_EQ(rec.Reads(), 1u);
    EXPECT_EQ(rec.Read(0).LocalPort, secondPort);
    EXPECT_EQ(rec.Read(0).IPVersion, IdIPVersionOfText(c.Second));

    // The component's WriteData with a source naming the second binding sends from it; an
    // unknown source sends from the first.
    TPeer peer4;
    server.WriteData("127.0.0.1", firstPort, "127.0.0.1", peer4.Port(), B("from the first"));
    EXPECT_EQ(peer4.Receive().Port, firstPort);
    server.WriteData("10.255.255.1", 9, "127.0.0.1", peer4.Port(), std::string("unknown source"));
    EXPECT_EQ(peer4.Receive().Port, firstPort);
    server.WriteData("127.0.0.1", peer4.Port(), B("plain"));
    EXPECT_EQ(peer4.Receive().Port, firstPort);
    if (IdIPVersionOfText(c.Second) == Id_IPv4) {
      server.WriteData(c.Second, secondPort, "127.0.0.1", peer4.Port(), B("from the second"));
      EXPECT_EQ(peer4.Receive().Port, secondPort);
    } else {
      // "::1" names the binding whose address reads "0:0:0:0:0:0:0:1".
      EXPECT_EQ(server.GetBinding("::1", secondPort), second);
      server.WriteData("::1", secondPort, "::1", peer.Port(), B("from the second"));
      EXPECT_EQ(peer.Receive().Port, secondPort);
    }
    EXPECT_EQ(rec.Failures(), 0u);
  }
}

// The default dual-stack bindings: an IPv6 sender gets its answer over IPv6.
TEST_F(udp_server_io, DualStackDefaultAnswersIPv6Senders) {
  if (!GStack().SupportsIPv6()) GTEST_SKIP() << "no IPv6";
  TRecorder rec; // outlives the server, whose listeners write into it
  TqynUDPServer_Base server;
  rec.Attach(server);
  rec.Echo = true;
  server.SetPort(0);
  server.SetActive(true);
  ASSERT_TRUE(server.Active());
  ASSERT_EQ(server.Bindings().Count(), 2);
  const TIdPort port = PortOf(server);
  TPeer peer6("::1");
  peer6.Send("::1", port, B("six"));
  const TPeer::TReply reply = peer6.Receive();
  ASSERT_TRUE(reply.Ok);
  EXPECT_EQ(reply.Data, B("six"));
  TPeer peer4;
  peer4.Send("127.0.0.1", port, B("four"));
  EXPECT_EQ(peer4.Receive().Data, B("four"));
  // The component's own writes pick the binding of the destination's family.
  server.WriteData("::1", peer6.Port(), B("to six"));
  const TPeer::TReply six = peer6.Receive();
  ASSERT_TRUE(six.Ok);
  EXPECT_EQ(six.Data, B("to six"));
  EXPECT_EQ(six.Port, port);
  server.WriteData("127.0.0.1", peer4.Port(), B("to four"));
  EXPECT_EQ(peer4.Receive().Data, B("to four"));
  EXPECT_EQ(rec.Failures(), 0u);
}

// Writes of a socket object that fail are reported through OnUDPException, never raised; the
// component's own WriteData raises to its caller and never activates the server.
TEST_F(udp_server_io, FailingWrites) {
  struct TCase {
    const char* Name;
    std::function<void(TqynUDPSocket*)> Write;
  };
  const TCase cases[] = {
      {"datagram too long", [](TqynUDPSocket* s) { s->WriteData(TqynBytes(70000, 0x41)); }},
      {"IPv6 destination on an IPv4 binding",
       [](TqynUDPSocket* s) {
         s->SetIP("::1");
         s->WriteData(std::string("x"));
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRecorder rec; // outlives the server, whose listeners write into it
    std::atomic<bool> raised{false};
    TqynUDPServer_Base server;
    rec.Attach(server);
    rec.Extra = [&](TqynUDPSocket* s, const TqynBytes&) {
      try {
        c.Write(s);
      } catch (...) {
        raised = true;
      }
    };
    StartLoopback(server);
    TPeer peer;
    peer.Send("127.0.0.1", PortOf(server), B("go"));
    ASSERT_TRUE(WaitUntil([&] { return rec.Failures() >= 1; }));
    EXPECT_FALSE(raised.load());
    const TFailure f = rec.Failure(0);
    EXPECT_TRUE(f.HasSocket);
    EXPECT_EQ(f.LocalPort, PortOf(server));
    EXPECT_NE(f.Message.find("Socket Error"), std::string::npos) << f.Message;
  }

  TqynUDPServer_Base server;
  EXPECT_THROW(server.WriteData("127.0.0.1", 9, B("x")), EqynUDPServerException);
  EXPECT_FALSE(server.Active());
  StartLoopback(server);
  EXPECT_THROW(server.WriteData("127.0.0.1", 9, TqynBytes(70000, 0)), EIdSocketError);
  server.SetActive(false);
  EXPECT_THROW(server.WriteData("127.0.0.1", 9, B("x")), EqynUDPServerException);
  EXPECT_FALSE(server.Active());
}

// A handler that raises (neNoSync) is reported for the same socket object and the listener goes on;
// so is a receive error of the listener (a datagram longer than the 8192-byte buffer).
TEST_F(udp_server_io, HandlerAndReceiveErrorsAreReported) {
  TRecorder rec; // outlives the server, whose listeners write into it
  TqynUDPServer_Base server;
  rec.Attach(server);
  rec.Extra = [](TqynUDPSocket*, const TqynBytes& b) {
    if (b == B("raise")) throw Exception("handler failed");
  };
  StartLoopback(server);
  const TIdPort port = PortOf(server);
  TPeer peer;
  peer.Send("127.0.0.1", port, B("raise"));
  ASSERT_TRUE(WaitUntil([&] { return rec.Failures() == 1; }));
  EXPECT_EQ(rec.Failure(0).Message, "handler failed");
  EXPECT_EQ(rec.Failure(0).Guid, rec.Read(0).Guid);

  peer.Send("127.0.0.1", port, TqynBytes(9000, 0x42));
  ASSERT_TRUE(WaitUntil([&] { return rec.Failures() == 2; }));
  EXPECT_TRUE(rec.Failure(1).HasSocket);
  EXPECT_EQ(rec.Failure(1).LocalPort, port);

  peer.Send("127.0.0.1", port, B("still there"));
  ASSERT_TRUE(WaitUntil([&] { return rec.Reads() == 2; }));
  EXPECT_EQ(rec.Read(1).Bytes, B("still there"));
}

// Every mode delivers OnUDPRead in arrival order with the datagram's bytes; the queued modes on
// the main thread with copies that can still answer.
TEST_F(udp_server_io, NotificationModes) {
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TRecorder rec; // outlives the server, whose listeners write into it
    TqynUDPServer_Base server;
    server.SetNotifyEvents(mode);
    rec.Attach(server);
    rec.Echo = true;
    StartLoopback(server);
    const TIdPort port = PortOf(server);
    TPeer peer;
    const std::vector<TqynBytes> sent = {B("one"), B("two"), B("three")};
    for (const auto& b : sent) peer.Send("127.0.0.1", port, b);
    ASSERT_TRUE(DrainUntil([&] { return rec.Reads() == 3; }));
    for (size_t i = 0; i < sent.size(); ++i) {
      const TRead r = rec.Read(i);
      EXPECT_EQ(r.Bytes, sent[i]);
      EXPECT_EQ(r.MsgRead, sent[i]);
      EXPECT_EQ(r.LocalPort, port);
      EXPECT_EQ(r.Port, peer.Port());
      if (mode == neNoSync) EXPECT_NE(r.Thread, std::this_thread::get_id());
      else EXPECT_EQ(r.Thread, std::this_thread::get_id());
    }
    for (const auto& b : sent) {
      const TPeer::TReply reply = peer.Receive();
      ASSERT_TRUE(reply.Ok);
      EXPECT_EQ(reply.Data, b);
      EXPECT_EQ(reply.Port, port);
    }
    EXPECT_EQ(rec.Failures(), 0u);
  }
}

TEST_F(udp_server_io, AddAndRemoveBindings) {
  TRecorder rec; // outlives the server, whose listeners write into it
  TqynUDPServer_Base server;
  rec.Attach(server);
  rec.Echo = true;
  StartLoopback(server);
  const TIdPort mainPort = PortOf(server);

  EXPECT_EQ(server.AddBinding("127.0.0.1", mainPort), server.Bindings()[0]); // existing: nothing new
  EXPECT_EQ(server.Bindings().Count(), 1);
  TIdSocketHandle* extra = server.AddBinding("127.0.0.1", 0, "relay");
  ASSERT_NE(extra, nullptr);
  EXPECT_EQ(server.Bindings().Count(), 2);
  const TIdPort extraPort = extra->Port();
  ASSERT_NE(extraPort, 0);
  EXPECT_EQ(server.GetBinding("127.0.0.1", extraPort), extra);
  EXPECT_EQ(server.IdUDPServer()->ListenerCount(), 2);

  TPeer peer;
  peer.Send("127.0.0.1", extraPort, B("relay"));
  const TPeer::TReply reply = peer.Receive();
  ASSERT_TRUE(reply.Ok);
  EXPECT_EQ(reply.Port, extraPort);
  EXPECT_EQ(rec.Read(0).LocalPort, extraPort);

  EXPECT_FALSE(server.RemoveBinding("127.0.0.1", 1)); // no such binding
  EXPECT_TRUE(server.RemoveBinding("127.0.0.1", extraPort));
  EXPECT_EQ(server.GetBinding("127.0.0.1", extraPort), nullptr);
  EXPECT_EQ(server.Bindings().Count(), 1);
  EXPECT_EQ(server.IdUDPServer()->ListenerCount(), 1);
  // The port is free again.
  TIdSocketHandle h;
  h.SetIP("127.0.0.1");
  h.SetPort(extraPort);
  h.AllocateSocket();
  EXPECT_NO_THROW(h.Bind());
  h.CloseSocket();

  // A bind failure raises and leaves no binding behind.
  TPeer busy;
  EXPECT_THROW(server.AddBinding("127.0.0.1", busy.Port()), EIdSocketError);
  EXPECT_EQ(server.Bindings().Count(), 1);
  EXPECT_TRUE(server.Active());
  peer.Send("127.0.0.1", mainPort, B("main"));
  EXPECT_EQ(peer.Receive().Data, B("main"));

  // On an inactive server a binding is only listed, and opened by the next activation.
  server.SetActive(false);
  TIdSocketHandle* later = server.AddBinding("127.0.0.1", 0);
  EXPECT_FALSE(later->HandleAllocated());
  server.SetActive(true);
  ASSERT_TRUE(server.Active());
  EXPECT_TRUE(later->HandleAllocated());
  EXPECT_EQ(server.IdUDPServer()->ListenerCount(), 2);
}

// Removing a binding stops its listener at once, even with a very long listener wait.
TEST_F(udp_server_io, RemoveBindingAndDeactivationDoNotWaitForTheListenerPeriod) {
  TqynUDPServer_Base server;
  server.IdUDPServer()->SetAcceptWait(120000);
  StartLoopback(server);
  TIdSocketHandle* extra = server.AddBinding("127.0.0.1", 0);
  std::this_thread::sleep_for(50ms); // both listeners are waiting now
  const auto start = TClock::now();
  EXPECT_TRUE(server.RemoveBinding("127.0.0.1", extra->Port()));
  server.SetActive(false);
  EXPECT_LT(TClock::now() - start, 20s);
  EXPECT_FALSE(server.Active());
}

// A handler may remove the very binding its datagram came from.
TEST_F(udp_server_io, HandlerRemovesItsOwnBinding) {
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TRecorder rec; // outlives the server, whose listeners write into it
    std::atomic<int> removed{-1};
    TqynUDPServer_Base server;
    server.SetNotifyEvents(mode);
    rec.Extra = [&](TqynUDPSocket* s, const TqynBytes&) {
      removed = server.RemoveBinding(s->LocalIP(), s->LocalPort()) ? 1 : 0;
      s->WriteData(B("answer after removal")); // falls back to the first binding
    };
    rec.Attach(server);
    StartLoopback(server);
    TIdSocketHandle* extra = server.AddBinding("127.0.0.1", 0);
    const TIdPort extraPort = extra->Port();
    TPeer peer;
    peer.Send("127.0.0.1", extraPort, B("remove me"));
    ASSERT_TRUE(DrainUntil([&] { return removed.load() >= 0; }));
    EXPECT_EQ(removed.load(), 1);
    const TPeer::TReply reply = peer.Receive();
    ASSERT_TRUE(reply.Ok);
    EXPECT_EQ(reply.Port, PortOf(server));
    EXPECT_EQ(server.GetBinding("127.0.0.1", extraPort), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return server.IdUDPServer()->ListenerCount() == 1; }));
    EXPECT_EQ(rec.Failures(), 0u);
  }
  TIdThread::JoinFreedThreads();
}

// Queued copies outlive the binding that received them: their answers fall back to the first
// binding, and removing the binding from the main thread with notifications pending returns.
TEST_F(udp_server_io, RemoveBindingWithPendingQueuedNotifications) {
  TRecorder rec;
  TqynUDPServer_Base server;
  server.SetNotifyEvents(neAsynchronous);
  rec.Attach(server);
  rec.Echo = true;
  StartLoopback(server);
  const TIdPort mainPort = PortOf(server);
  TIdSocketHandle* extra = server.AddBinding("127.0.0.1", 0);
  const TIdPort extraPort = extra->Port();

  // A sender keeps the extra binding's listener busy queueing while the main thread is not
  // draining.
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread blaster([&] {
    TPeer blast;
    while (!stop.load()) {
      try {
        blast.Send("127.0.0.1", extraPort, B("queued"));
        ++sent;
      } catch (...) {
      }
      if (sent.load() % 64 == 0) std::this_thread::sleep_for(1ms);
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return server.PendingCount(TqynUDPComponent::nkRead) >= 20; }));
  EXPECT_TRUE(server.RemoveBinding("127.0.0.1", extraPort));
  stop = true;
  blaster.join();
  EXPECT_EQ(server.GetBinding("127.0.0.1", extraPort), nullptr);

  // Now the queued copies run and answer (from the first binding, theirs being gone).
  TPeer peer;
  const size_t before = rec.Reads();
  ASSERT_GT(server.PendingCount(TqynUDPComponent::nkRead), 0);
  ASSERT_TRUE(DrainUntil([&] { return server.PendingCount(TqynUDPComponent::nkRead) == 0; }));
  EXPECT_GT(rec.Reads(), before);
  peer.Send("127.0.0.1", mainPort, B("main"));
  ASSERT_TRUE(DrainUntil([&] { return rec.Reads() > 0 && rec.Read(rec.Reads() - 1).Bytes == B("main"); }));
  const TPeer::TReply reply = peer.Receive();
  ASSERT_TRUE(reply.Ok);
  EXPECT_EQ(reply.Data, B("main"));

  // A handler running inside a drain (holding the pending list's lock) removes a binding whose
  // listener is queueing, that is waiting for that very lock.
  TIdSocketHandle* other = server.AddBinding("127.0.0.1", 0);
  const TIdPort otherPort = other->Port();
  std::atomic<int> removed{-1};
  rec.Extra = [&](TqynUDPSocket*, const TqynBytes& b) {
    if (b != B("remove")) return;
    std::this_thread::sleep_for(100ms); // the other listener now waits for the list
    removed = server.RemoveBinding("127.0.0.1", otherPort) ? 1 : 0;
  };
  stop = false;
  std::thread blaster2([&] {
    TPeer blast;
    while (!stop.load()) {
      try {
        blast.Send("127.0.0.1", otherPort, B("queued"));
      } catch (...) {
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  peer.Send("127.0.0.1", mainPort, B("remove"));
  ASSERT_TRUE(DrainUntil([&] { return removed.load() >= 0; }));
  stop = true;
  blaster2.join();
  EXPECT_EQ(removed.load(), 1);
  EXPECT_EQ(server.GetBinding("127.0.0.1", otherPort), nullptr);
  DrainUntil([&] { return server.PendingCount(TqynUDPComponent::nkRead) == 0; });
}

// Bindings come and go while a sender blasts every one of them and the server answers each
// datagram; nothing crashes, every answer comes from a binding of the server, and the main binding
// keeps working.
TEST_F(udp_server_io, BindingsChangeWhileDatagramsFlow) {
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TRecorder rec; // outlives the server, whose listeners write into it
    TqynUDPServer_Base server;
    server.SetNotifyEvents(mode);
    rec.Attach(server);
    rec.Echo = true;
    StartLoopback(server);
    const TIdPort mainPort = PortOf(server);

    std::mutex portsLock;
    std::vector<TIdPort> ports = {mainPort};
    std::vector<TIdPort> everOpened = {mainPort};
    std::vector<TIdPort> answeredFrom;
    std::atomic<bool> stop{false};
    std::thread blaster([&] {
      TPeer blast;
      size_t i = 0;
      auto collect = [&] {
        // Take the answers off the socket so its buffer never fills.
        for (;;) {
          const TPeer::TReply r = blast.Receive(0);
          if (!r.Ok) break;
          answeredFrom.push_back(r.Port);
        }
      };
      while (!stop.load()) {
        TIdPort port;
        {
          std::lock_guard<std::mutex> lock(portsLock);
          port = ports[i++ % ports.size()];
        }
        try {
          blast.Send("127.0.0.1", port, B("flow"));
        } catch (...) {
        }
        collect();
        if (i % 32 == 0) std::this_thread::sleep_for(1ms);
      }
      std::this_thread::sleep_for(20ms);
      collect();
    });
    for (int round = 0; round < 30; ++round) {
      TIdSocketHandle* b = server.AddBinding("127.0.0.1", 0);
      const TIdPort port = b->Port();
      {
        std::lock_guard<std::mutex> lock(portsLock);
        ports.push_back(port);
        everOpened.push_back(port);
      }
      DrainUntil([] { return false; }, 10ms);
      {
        std::lock_guard<std::mutex> lock(portsLock);
        ports.pop_back();
      }
      EXPECT_TRUE(server.RemoveBinding("127.0.0.1", port));
    }
    stop = true;
    blaster.join();
    DrainUntil([&] { return server.PendingCount(TqynUDPComponent::nkRead) == 0; });
    EXPECT_EQ(server.Bindings().Count(), 1);
    EXPECT_EQ(server.IdUDPServer()->ListenerCount(), 1);
    EXPECT_GT(rec.Reads(), 0u);
    EXPECT_FALSE(answeredFrom.empty());
    for (TIdPort p : answeredFrom)
      EXPECT_NE(std::find(everOpened.begin(), everOpened.end(), p), everOpened.end()) << p;
    TPeer peer;
    peer.Send("127.0.0.1", mainPort, B("after"));
    TPeer::TReply reply;
    ASSERT_TRUE(DrainUntil([&] {
      reply = peer.Receive(0);
      return reply.Ok;
    }));
    EXPECT_EQ(reply.Data, B("after"));
  }
}

// "Recv" and "Sent" lines carry the datagram's bytes unchanged; an empty datagram writes no
// "Recv" line.
TEST_F(udp_server_io, LogFileLines) {
  const std::string file =
      (std::filesystem::temp_directory_path() / ("qyn_udp_server_log_" + std::to_string(::getpid()) + ".log")).string();
  std::filesystem::remove(file);
  {
    TRecorder rec; // outlives the server, whose listeners write into it
    TqynUDPServer_Base server;
    rec.Attach(server);
    rec.Echo = true;
    TqynUDPLogFile log;
    log.Enabled = true;
    log.FileName = file;
    server.SetLogFile(log);
    StartLoopback(server);
    TPeer peer;
    const TqynBytes payload = {0x00, 0x01, 0x02};
    peer.Send("127.0.0.1", PortOf(server), payload);
    ASSERT_TRUE(peer.Receive().Ok);
    peer.Send("127.0.0.1", PortOf(server), TqynBytes());
    ASSERT_TRUE(peer.Receive().Ok);
    // Logging off: nothing more is written.
    server.SetLogFile(TqynUDPLogFile());
    peer.Send("127.0.0.1", PortOf(server), B("quiet"));
    ASSERT_TRUE(peer.Receive().Ok);
  }
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  std::filesystem::remove(file);

  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  ASSERT_EQ(lines.size(), 3u) << text;
  const std::string bytes("\x00\x01\x02", 3);
  EXPECT_EQ(lines[0].rfind(RS_LogRecvPrefix, 0), 0u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 5), ": " + bytes);
  EXPECT_EQ(lines[1].rfind(RS_LogSentPrefix, 0), 0u);
  EXPECT_EQ(lines[1].substr(lines[1].size() - 5), ": " + bytes);
  EXPECT_EQ(lines[2].rfind(RS_LogSentPrefix, 0), 0u); // the empty answer
  EXPECT_EQ(lines[2].substr(lines[2].size() - 2), ": ");
}

// Host decides the binding of an activation; a later activation follows changed settings.
TEST_F(udp_server_io, HostBindingFollowsTheSettings) {
  TqynUDPServer_Base server;
  StartLoopback(server);
  EXPECT_EQ(server.Bindings()[0]->IP(), "127.0.0.1");
  server.SetActive(false);
  EXPECT_EQ(server.Bindings().Count(), 1); // kept while inactive
  if (GStack().SupportsIPv6()) {
    server.SetHost("::1");
    server.SetActive(true);
    ASSERT_TRUE(server.Active());
    ASSERT_EQ(server.Bindings().Count(), 1);
    EXPECT_EQ(server.Bindings()[0]->IPVersion(), Id_IPv6);
    EXPECT_EQ(server.Bindings()[0]->IP(), "0:0:0:0:0:0:0:1");
    server.SetActive(false);
  }
  // Unchanged settings reuse the bindings (and their ports).
  server.SetHost("127.0.0.1");
  server.SetActive(true);
  const TIdPort port = PortOf(server);
  server.SetActive(false);
  server.SetActive(true);
  EXPECT_EQ(PortOf(server), port);
}

} // namespace
