// qyn-test-labels: net
// qyn-test-libs: qyn_stun_server
//
// The STUN server component on loopback sockets: raw UDP Binding requests answered by a running
// server (IPv4 and IPv6), events delivered on the main thread, credentials on the wire, extra
// bindings and stopping.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "qynBase_Sync.h"
#include "qynMessages.h"
#include "qynUDP_Server.h"
#include "qyn_test_udp.h"
#include "stun_server/stun_server_test_util.h"

namespace {

// Starts a server on aHost, port 0, and returns the port it got.
TIdPort StartServer(TqynSTUNServer_Base& aServer, const std::string& aHost, TIdIPVersion aVersion = Id_IPv4) {
  aServer.SetHost(aHost);
  aServer.SetPort(0);
  aServer.SetIPVersion(aVersion);
  aServer.SetActive(true);
  if (!aServer.Active() || aServer.Bindings().Count() < 1) return 0;
  return aServer.Bindings().Items(0)->Port();
}

TEST(StunServerNet, AnswersARawBindingRequestOnLoopback) {
  TqynSTUNServer_Base server;
  std::atomic<int> exceptions{0};
  server.OnSTUNException = [&](TqynComponent_Base*, const Exception&) { ++exceptions; };
  const TIdPort port = StartServer(server, "127.0.0.1");
  ASSERT_NE(port, 0);
  RawClient client;
  ASSERT_TRUE(client.Ok());

  for (int i = 0; i < 3; ++i) {
    TqynBytes id = NewTransactionId();
    client.Send(port, BuildMessage(0x0001, QYN_STUN_MAGIC_COOKIE, id));
    uint16_t from = 0;
    const TqynBytes out = client.Receive(10000, &from);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(from, port);
    TqynSTUN_Message r;
    ReadResponse(out, r);
    EXPECT_EQ(TypeField(out), 0x0101);
    EXPECT_EQ(r.Header().TransactionId(), id);
    const auto* mapped = r.Attributes().GetAttribute(stmaXOR_Mapped_Address);
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(mapped->Address(), "127.0.0.1");
    EXPECT_EQ(mapped->Port(), client.Port());
    const auto* origin = r.Attributes().GetAttribute(stmaResponse_Origin);
    ASSERT_NE(origin, nullptr);
    EXPECT_EQ(origin->Address(), "127.0.0.1");
    EXPECT_EQ(origin->Port(), port);
  }
  EXPECT_EQ(exceptions.load(), 0);

  server.SetActive(false);
  EXPECT_FALSE(server.Active());
  client.Send(port, BindingRequest());
  EXPECT_TRUE(client.Receive(300).empty());
}

TEST(StunServerNet, AnswersOverIPv6Loopback) {
  RawClient client(AF_INET6);
  if (!client.Ok()) GTEST_SKIP() << "no IPv6 loopback";
  TqynSTUNServer_Base server;
  TIdPort port = 0;
  server.SetPort(0);
  server.SetIPVersion(Id_IPv6);
  TIdSocketHandle* b = server.Bindings().Add();
  b->SetIP("::1");
  b->SetIPVersion(Id_IPv6);
  b->SetPort(0);
  server.SetActive(true);
  if (!server.Active()) GTEST_SKIP() << "cannot bind ::1";
  port = server.Bindings().Items(0)->Port();
  client.Send(port, BindingRequest());
  const TqynBytes out = client.Receive();
  ASSERT_FALSE(out.empty());
  TqynSTUN_Message r;
  ReadResponse(out, r);
  const auto* mapped = r.Attributes().GetAttribute(stmaXOR_Mapped_Address);
  ASSERT_NE(mapped, nullptr);
  EXPECT_EQ(mapped->Family(), 2);
  EXPECT_EQ(mapped->Port(), client.Port());
  uint8_t got[16], want[16];
  ASSERT_EQ(inet_pton(AF_INET6, mapped->Address().c_str(), got), 1);
  inet_pton(AF_INET6, "::1", want);
  EXPECT_EQ(0, memcmp(got, want, 16));
}

TEST(StunServerNet, EventsOnTheMainThreadWithQueuedNotification) {
  TqynMainThread::SetMainThread();
  TqynSTUNServer_Base server;
  server.SetNotifyEvents(neAsynchronous);
  const std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<int> successes{0};
  server.OnSTUNRequestSuccess = [&](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*, TqynSTUN_Message*, bool&) {
    EXPECT_EQ(std::this_thread::get_id(), mainThread);
    ++successes;
  };
  const TIdPort port = StartServer(server, "127.0.0.1");
  ASSERT_NE(port, 0);
  RawClient client;
  client.Send(port, BindingRequest());
  TqynBytes out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (out.empty() && std::chrono::steady_clock::now() < deadline) {
    TqynMainThread::CheckSynchronize(50);
    out = client.Receive(0);
  }
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(successes.load(), 1);
  server.SetActive(false);
  TqynMainThread::CheckSynchronize(0);
}

TEST(StunServerNet, LongTermCredentialsOnTheWire) {
  TqynSTUNServer_Base server;
  server.STUNOptions().Authentication.Enabled = true;
  server.STUNOptions().Authentication.LongTermCredentials.Enabled = true;
  server.OnSTUNRequestAuthorization = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUser, const std::string&,
                                         std::string& Password) {
    if (aUser == "qyn_user") Password = "kiwi_tea";
  };
  const TIdPort port = StartServer(server, "127.0.0.1");
  ASSERT_NE(port, 0);
  RawClient client;
  client.Send(port, BindingRequest());
  TqynSTUN_Message challenge;
  ReadResponse(client.Receive(), challenge);
  ASSERT_EQ(ErrorOf(challenge).first, 401);
  const std::string nonce = challenge.Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce)->Nonce();
  const std::string realm = challenge.Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm)->Realm();

  client.Send(port, BindingRequest([&](TqynSTUN_Message& m) {
    m.SetUsername("qyn_user");
    m.SetRealm(realm);
    m.SetPassword("kiwi_tea");
    m.SetNonce(nonce);
    m.SetFingerprint(stfsFingerprintValid);
    m.SetCredentials(stauLongTermCredential);
  }));
  const TqynBytes key = LongTermKeyOf("qyn_user", realm, "kiwi_tea");
  TqynSTUN_Message r;
  ReadResponse(client.Receive(), r, &key);
  EXPECT_EQ(r.Header().MessageType_Class(), stmcResponseSuccess);
  EXPECT_EQ(r.MessageIntegrity(), stisMessageIntegrityValid);
  EXPECT_EQ(r.Fingerprint(), stfsFingerprintValid);
  EXPECT_EQ(r.Attributes().GetAttribute(stmaXOR_Mapped_Address)->Port(), client.Port());
}

TEST(StunServerNet, SecondBindingAnswersAndIsAdvertised) {
  TqynSTUNServer_Base server;
  const TIdPort port = StartServer(server, "127.0.0.1");
  ASSERT_NE(port, 0);
  TIdSocketHandle* second = server.AddBinding("127.0.0.1", 0);
  ASSERT_NE(second, nullptr);
  const TIdPort port2 = second->Port();
  ASSERT_NE(port2, 0);
  RawClient client;
  for (TIdPort target : {port, port2}) {
    client.Send(target, BindingRequest());
    TqynSTUN_Message r;
    ReadResponse(client.Receive(), r);
    const auto* other = r.Attributes().GetAttribute(stmaOther_Address);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->Port(), port2);
    // The binding that received the request is the origin.
    EXPECT_EQ(r.Attributes().GetAttribute(stmaResponse_Origin)->Port(), target);
  }
  EXPECT_TRUE(server.RemoveBinding("127.0.0.1", port2));
  client.Send(port, BindingRequest());
  TqynSTUN_Message r;
  ReadResponse(client.Receive(), r);
  EXPECT_EQ(r.Attributes().GetAttribute(stmaOther_Address), nullptr);
}

TEST(StunServerNet, ManyRequestsFromSeveralClientsAllAnswered) {
  TqynSTUNServer_Base server;
  const TIdPort port = StartServer(server, "127.0.0.1");
  ASSERT_NE(port, 0);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 4; ++i) clients.push_back(std::make_unique<RawClient>());
  int answered = 0;
  for (int round = 0; round < 50; ++round)
    for (auto& c : clients) {
      const TqynBytes id = NewTransactionId();
      c->Send(port, BuildMessage(0x0001, QYN_STUN_MAGIC_COOKIE, id));
      TqynSTUN_Message r;
      const TqynBytes out = c->Receive();
      ASSERT_FALSE(out.empty());
      ReadResponse(out, r);
      ASSERT_EQ(r.Header().TransactionId(), id);
      ASSERT_EQ(r.Attributes().GetAttribute(stmaXOR_Mapped_Address)->Port(), c->Port());
      ++answered;
    }
  EXPECT_EQ(answered, 200);
}

TEST(StunServerNet, DestroyingARunningServerStopsItsListeners) {
  RawClient client;
  TIdPort port = 0;
  {
    TqynSTUNServer_Base server;
    port = StartServer(server, "127.0.0.1");
    ASSERT_NE(port, 0);
    client.Send(port, BindingRequest());
    EXPECT_FALSE(client.Receive().empty());
  }
  client.Send(port, BindingRequest());
  EXPECT_TRUE(client.Receive(300).empty());
}

} // namespace
