// qyn-test-labels: net
// qyn-test-libs: qyn_stun_client
//
// The STUN client over UDP against scripted loopback servers: Binding requests and their
// matching, duplicates and strangers, the result record, error responses, ALTERNATE-SERVER,
// malformed datagrams, requests and indications from the server side, retransmissions, the
// request's own form (SOFTWARE, FINGERPRINT, length) and the queued notification mode.
#include <gtest/gtest.h>

#include <set>

#include "stun_client/stun_client_test_util.h"

namespace {

using namespace stun_client_test;

struct UdpClient : ::testing::Test {
  TEvents Events; // declared first: outlives the client that reports into it
  TqynSTUNClient Client;

  void SetUp() override { Events.Attach(Client); }
  void Start(uint16_t aPort, bool aRetransmit = false) {
    PointAt(Client, aPort);
    Client.RetransmissionOptions().Enabled = aRetransmit;
  }
};

std::vector<TqynBytes> Success(const TRequest& r, const std::string& aIP = "192.0.2.1", uint16_t aPort = 4500) {
  return {BuildAnswer(*r.Message, stmcResponseSuccess, [&](TqynSTUN_Message& m) { AddXorMapped(m, aIP, aPort); })};
}

bool IsLowercaseId(const std::string& aId) {
  if (aId.size() != 12) return false;
  for (char c : aId)
    if (c < 'a' || c > 'z') return false;
  return true;
}

TEST_F(UdpClient, BindingSuccessIsMatchedByTransactionIdAndLeavesTheTableEmpty) {
  TFakeUDPServer server([](const TRequest& r, int) { return Success(r); });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return TableCount(Client) == 0; }));

  const TRequest request = server.Received(0);
  EXPECT_EQ(request.Bytes.size(), 20u) << "a default Binding request has no attributes";
  EXPECT_EQ(request.Message->Header().MessageType_Method(), stmmBinding);
  EXPECT_EQ(request.Message->Header().MessageType_Class(), stmcRequest);
  EXPECT_EQ(request.Message->Header().MagicCookie(), QYN_STUN_MAGIC_COOKIE);
  EXPECT_TRUE(IsLowercaseId(request.TransactionId)) << request.TransactionId;

  const auto s = Events.Success(0);
  EXPECT_EQ(s.TransactionId, request.TransactionId);
  EXPECT_EQ(s.Binding.FRemoteIP, "192.0.2.1");
  EXPECT_EQ(s.Binding.FRemotePort, 4500);
  EXPECT_EQ(s.Binding.FIPVersion, ipV4);
  EXPECT_EQ(s.Binding.FLocalPort, ClientUDPPort(Client));
  EXPECT_EQ(s.SocketIP, "127.0.0.1");
  EXPECT_EQ(s.SocketPort, server.Port());
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

TEST_F(UdpClient, DuplicatesAndAnswersToOtherTransactionsAreDroppedSilently) {
  TFakeUDPServer server([](const TRequest& r, int) {
    const TqynBytes stranger = NewTransactionId();
    const TqynBytes other =
        BuildAnswer(*r.Message, stmcResponseSuccess, [](TqynSTUN_Message& m) { AddXorMapped(m, "198.51.100.9", 9); }, &stranger);
    const TqynBytes answer = Success(r)[0];
    const TqynBytes otherError =
        BuildAnswer(*r.Message, stmcResponseError, [](TqynSTUN_Message& m) { AddErrorCode(m, 400, "Bad Request"); }, &stranger);
    return std::vector<TqynBytes>{other, otherError, answer, answer, answer};
  });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Events.SuccessCount(), 1u);
  EXPECT_EQ(Events.ErrorCount(), 0u);
  EXPECT_EQ(Events.ExceptionCount(), 0u);
  EXPECT_EQ(Events.Success(0).Binding.FRemoteIP, "192.0.2.1");
}

TEST_F(UdpClient, SignedDuplicateOfAnAnsweredRequestIsNotTakenForAForgery) {
  // The second copy arrives after the entry (and with it the key) is gone.
  TFakeUDPServer server([](const TRequest& r, int) {
    const TqynBytes signedAnswer = BuildAnswer(*r.Message, stmcResponseSuccess, [](TqynSTUN_Message& m) {
      AddXorMapped(m, "192.0.2.1", 4500);
      SignLongTerm(m, "u", "r", "p");
    });
    return std::vector<TqynBytes>{Success(r)[0], signedAnswer};
  });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

struct TMappedCase {
  const char* Name;
  bool Xor;
  bool Mapped;
  uint16_t Family;
  std::string ExpectedIP;
  uint16_t ExpectedPort;
  TwsIPVersion ExpectedVersion;
};

TEST_F(UdpClient, TheResultRecordComesFromXorMappedThenMappedAddress) {
  const std::vector<TMappedCase> cases = {
      {"xor only", true, false, 1, "192.0.2.1", 4500, ipV4},
      {"mapped only", false, true, 1, "203.0.113.7", 7000, ipV4},
      {"both: xor wins", true, true, 1, "192.0.2.1", 4500, ipV4},
      {"ipv6 xor", true, false, 2, "2001:db8:0:0:0:0:0:1", 4500, ipV6},
      {"neither", false, false, 1, "", 0, ipV4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TEvents events;
    TqynSTUNClient client;
    events.Attach(client);
    TFakeUDPServer server([&c](const TRequest& r, int) {
      return std::vector<TqynBytes>{BuildAnswer(*r.Message, stmcResponseSuccess, [&c](TqynSTUN_Message& m) {
        if (c.Xor) AddXorMapped(m, c.Family == 2 ? "2001:db8::1" : "192.0.2.1", 4500, c.Family);
        if (c.Mapped) {
          auto* a = m.Attributes().Add<TqynSTUN_Attribute_MAPPED_ADDRESS>();
          a->SetAddress("203.0.113.7");
          a->SetPort(7000);
          a->SetFamily(1);
        }
      })};
    });
    PointAt(client, server.Port());
    client.RetransmissionOptions().Enabled = false;
    client.SendRequest();
    ASSERT_TRUE(WaitUntil([&] { return events.SuccessCount() == 1; }));
    const auto s = events.Success(0);
    EXPECT_EQ(s.Binding.FRemoteIP, c.ExpectedIP);
    EXPECT_EQ(s.Binding.FRemotePort, c.ExpectedPort);
    EXPECT_EQ(s.Binding.FIPVersion, c.ExpectedVersion);
    if (!c.Xor && !c.Mapped) {
      EXPECT_EQ(s.Binding.FLocalIP, "");
      EXPECT_EQ(s.Binding.FLocalPort, 0);
    }
  }
}

TEST_F(UdpClient, TwoRequestsMakeTwoEntriesWithDifferentIds) {
  TFakeUDPServer server;
  Start(server.Port());
  Client.SendRequest();
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 2; }));
  EXPECT_EQ(TableCount(Client), 2);
  const std::string a = server.Received(0).TransactionId, b = server.Received(1).TransactionId;
  EXPECT_NE(a, b);
  EXPECT_TRUE(IsLowercaseId(a));
  EXPECT_TRUE(IsLowercaseId(b));
  EXPECT_TRUE(Client.GetRequests()->GetRequest(a));
  EXPECT_TRUE(Client.GetRequests()->GetRequest(b));
}

struct TErrorCase {
  const char* Name;
  std::function<void(TqynSTUN_Message&)> Fill;
  TqynStunCredentials Credentials;
  uint16_t Code;
  std::string Reason;
};

TEST_F(UdpClient, ErrorResponsesAreReportedWithTheirCode) {
  const std::vector<TErrorCase> cases = {
      {"no ERROR-CODE", [](TqynSTUN_Message&) {}, stauNone, 0, ""},
      {"300 without ALTERNATE-SERVER", [](TqynSTUN_Message& m) { AddErrorCode(m, 300, "Try Alternate"); }, stauNone, 300,
       "Try Alternate"},
      {"420", [](TqynSTUN_Message& m) { AddErrorCode(m, 420, "Unknown Attribute"); }, stauNone, 420, "Unknown Attribute"},
      {"401 with REALM, no credentials configured",
       [](TqynSTUN_Message& m) { AddChallenge(m, 401, "Qynwire", "abc"); }, stauNone, 401, "Unauthorized"},
      {"401 without REALM, long-term configured", [](TqynSTUN_Message& m) { AddChallenge(m, 401, "", "abc"); },
       stauLongTermCredential, 401, "Unauthorized"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TEvents events;
    TqynSTUNClient client;
    events.Attach(client);
    TFakeUDPServer server([&c](const TRequest& r, int) {
      return std::vector<TqynBytes>{BuildAnswer(*r.Message, stmcResponseError, c.Fill)};
    });
    PointAt(client, server.Port());
    client.RetransmissionOptions().Enabled = false;
    client.STUNOptions().Authentication.Credentials = c.Credentials;
    client.STUNOptions().Authentication.Username = "qyn_user";
    client.STUNOptions().Authentication.Password = "kiwi_tea";
    client.SendRequest();
    ASSERT_TRUE(WaitUntil([&] { return events.ErrorCount() == 1; }));
    EXPECT_EQ(events.Error(0).Error.FCode, c.Code);
    EXPECT_EQ(events.Error(0).Error.FReason, c.Reason);
    EXPECT_EQ(events.Error(0).TransactionId, server.Received(0).TransactionId);
    ASSERT_TRUE(WaitUntil([&] { return TableCount(client) == 0; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(server.Count(), 1u) << "nothing is resent";
    EXPECT_EQ(client.Realm(), "") << "nothing is learned";
    EXPECT_EQ(client.Nonce(), "");
  }
}

std::vector<TqynBytes> Redirect(const TRequest& r, uint16_t aPort) {
  return {BuildAnswer(*r.Message, stmcResponseError, [aPort](TqynSTUN_Message& m) {
    AddErrorCode(m, 300, "Try Alternate");
    auto* a = m.Attributes().Add<TqynSTUN_Attribute_ALTERNATE_SERVER>();
    a->SetAddress("127.0.0.1");
    a->SetPort(aPort);
    a->SetFamily(1);
  })};
}

TEST_F(UdpClient, AlternateServerIsFollowedWithANewBindingRequest) {
  TFakeUDPServer second([](const TRequest& r, int) { return Success(r, "192.0.2.77", 777); });
  TFakeUDPServer first([&](const TRequest& r, int) { return Redirect(r, second.Port()); });
  Start(first.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  EXPECT_EQ(Events.ErrorCount(), 0u);
  EXPECT_EQ(Client.Host(), "127.0.0.1");
  EXPECT_EQ(Client.Port(), second.Port());
  EXPECT_EQ(Client.IPVersion(), Id_IPv4);
  EXPECT_EQ(Events.Success(0).SocketPort, second.Port());
  EXPECT_EQ(Events.Success(0).Binding.FRemoteIP, "192.0.2.77");
  ASSERT_EQ(second.Count(), 1u);
  EXPECT_NE(second.Received(0).TransactionId, first.Received(0).TransactionId);
  ASSERT_TRUE(WaitUntil([&] { return TableCount(Client) == 0; }));
}

TEST(UdpClientAlone, AlternateServerIsNotFollowedWithoutAnErrorHandler) {
  TEvents events;
  TqynSTUNClient client;
  events.Attach(client, /*aErrors=*/false);
  TFakeUDPServer second([](const TRequest& r, int) { return Success(r); });
  TFakeUDPServer first([&](const TRequest& r, int) { return Redirect(r, second.Port()); });
  PointAt(client, first.Port());
  client.RetransmissionOptions().Enabled = false;
  client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return first.Count() == 1 && TableCount(client) == 0; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(second.Count(), 0u);
  EXPECT_EQ(client.Port(), first.Port());
  EXPECT_EQ(events.SuccessCount(), 0u);
  EXPECT_EQ(events.ExceptionCount(), 0u);
}

TEST_F(UdpClient, ARedirectLoopEndsInOneReportedError) {
  std::atomic<uint16_t> self{0};
  TFakeUDPServer server([&](const TRequest& r, int) { return Redirect(r, self.load()); });
  self = server.Port();
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 300);
  EXPECT_EQ(server.Count(), 1u + TqynSTUNClient_Base::DefaultMaxRedirects);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server.Count(), 1u + TqynSTUNClient_Base::DefaultMaxRedirects);
  EXPECT_EQ(Events.ErrorCount(), 1u);
  EXPECT_EQ(TableCount(Client), 0);
}

TEST_F(UdpClient, MalformedDatagramsAreReportedOrIgnored) {
  TFakeUDPServer server;
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  const uint16_t clientPort = server.Received(0).FromPort;

  // Fewer than 20 bytes: ignored.
  server.SendTo(clientPort, TqynBytes(19, 0x01));
  // A first byte with either top bit set is not a STUN message.
  TqynBytes bad(20, 0);
  bad[0] = 0x80;
  server.SendTo(clientPort, bad);
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() == 1; }));
  EXPECT_EQ(Events.ExceptionText(0), "Invalid Header Format");
  bad[0] = 0x40;
  server.SendTo(clientPort, bad);
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() == 2; }));
  EXPECT_EQ(Events.ExceptionText(1), "Invalid Header Format");

  // A pending answer with a wrong FINGERPRINT: reported, the entry stays.
  TqynBytes answer = BuildAnswer(*server.Received(0).Message, stmcResponseSuccess, [](TqynSTUN_Message& m) {
    AddXorMapped(m, "192.0.2.1", 4500);
    m.SetFingerprint(stfsFingerprintValid);
  });
  answer.back() ^= 0xFF;
  server.SendTo(clientPort, answer);
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() == 3; }));
  EXPECT_EQ(Events.ExceptionText(2), "Invalid Fingerprint");
  EXPECT_EQ(TableCount(Client), 1);
  EXPECT_EQ(Events.SuccessCount(), 0u);

  // The client keeps working.
  answer.back() ^= 0xFF;
  server.SendTo(clientPort, answer);
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  EXPECT_EQ(Events.ExceptionCount(), 3u);
}

TEST_F(UdpClient, AnAnswerFromAnotherAddressIsAcceptedAndShowsThatAddress) {
  TFakeUDPServer server;
  TFakeUDPServer other;
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  const TRequest r = server.Received(0);
  other.SendTo(r.FromPort, Success(r)[0]);
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  EXPECT_EQ(Events.Success(0).SocketPort, other.Port());
  EXPECT_EQ(Events.Success(0).SocketIP, "127.0.0.1");
}

// A request and an indication of the server side, sent to the client's port (learned from a
// first request of the client).
struct TServerSide {
  TqynBytes Request, Indication;
  TServerSide() {
    TqynSTUN_Message probe;
    probe.Header().SetMessageType_Method(stmmBinding);
    const TqynBytes id = NewTransactionId();
    Request = BuildAnswer(probe, stmcRequest, {}, &id);
    Indication = BuildAnswer(probe, stmcIndication, {}, &id);
  }
};

uint16_t ClientPortSeenBy(TFakeUDPServer& aServer, TqynSTUNClient& aClient) {
  aClient.SendRequest();
  if (!WaitUntil([&] { return aServer.Count() == 1; })) return 0;
  return aServer.Received(0).FromPort;
}

TEST_F(UdpClient, RequestsAndIndicationsFromTheServerSideWithoutHandler) {
  TFakeUDPServer server;
  Start(server.Port());
  const uint16_t clientPort = ClientPortSeenBy(server, Client);
  ASSERT_NE(clientPort, 0);
  const TServerSide side;
  server.SendTo(clientPort, side.Request);
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() == 1; }));
  EXPECT_EQ(Events.ExceptionText(0), "Invalid Message Class Identifier");
  server.SendTo(clientPort, side.Indication);
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() == 2; }));
  EXPECT_EQ(Events.ExceptionText(1), "Invalid Message Class Identifier");
}

TEST_F(UdpClient, RequestsFromTheServerSideGoToOnICERequestBinding) {
  std::atomic<int> requests{0};
  std::atomic<uint16_t> from{0};
  // Handlers are assigned before the client is used, as applications do.
  Client.OnICERequestBinding = [&](TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage) {
    EXPECT_EQ(Sender, &Client);
    EXPECT_EQ(aMessage->Header().MessageType_Class(), stmcRequest);
    from = aSocket->Port();
    ++requests;
  };
  TFakeUDPServer server;
  Start(server.Port());
  const uint16_t clientPort = ClientPortSeenBy(server, Client);
  ASSERT_NE(clientPort, 0);
  const TServerSide side;
  server.SendTo(clientPort, side.Request);
  ASSERT_TRUE(WaitUntil([&] { return requests.load() == 1; }));
  EXPECT_EQ(from.load(), server.Port());
  // An indication still has no handler.
  server.SendTo(clientPort, side.Indication);
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() == 1; }));
  EXPECT_EQ(Events.ExceptionText(0), "Invalid Message Class Identifier");
  EXPECT_EQ(requests.load(), 1);
}

TEST_F(UdpClient, WithRetransmissionsOffARequestIsWrittenOnce) {
  TFakeUDPServer server;
  Start(server.Port());
  Client.RetransmissionOptions().RTO = 50; // would resend at 50, 150, 350 ms if it were on
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  std::this_thread::sleep_for(900ms);
  EXPECT_EQ(server.Count(), 1u);
  EXPECT_EQ(TableCount(Client), 1) << "an unanswered request stays in the table";
}

TEST_F(UdpClient, RetransmissionsResendTheSameBytesUntilTheAnswer) {
  TFakeUDPServer server([](const TRequest& r, int aIndex) { return aIndex == 2 ? Success(r) : std::vector<TqynBytes>{}; });
  Start(server.Port(), /*aRetransmit=*/true);
  Client.RetransmissionOptions().RTO = 50;
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  ASSERT_GE(server.Count(), 3u);
  EXPECT_EQ(server.Received(1).Bytes, server.Received(0).Bytes);
  EXPECT_EQ(server.Received(2).Bytes, server.Received(0).Bytes);
  // The answer cancelled the retransmission: at most a resend that was already under way follows.
  const size_t seen = server.Count();
  std::this_thread::sleep_for(800ms);
  EXPECT_LE(server.Count(), seen + 1);
  EXPECT_EQ(Events.SuccessCount(), 1u);
}

TEST_F(UdpClient, AnUnansweredRetransmittedRequestIsKeptBeyondItsLastResend) {
  TFakeUDPServer server;
  Start(server.Port(), /*aRetransmit=*/true);
  Client.RetransmissionOptions().MaxRetries = 10; // dropped by the engine after 500 * 1023 ms
  const uint64_t before = QynTickCount64();
  Client.SendRequest();
  auto item = Client.GetRequests()->GetItemByIndexAs<TqynSTUNRequestItem>(0);
  ASSERT_TRUE(item);
  EXPECT_GE(item->Expires(), before + 500ull * 1023 + TqynSTUNClient_Base::RetransmissionGrace);
  // With the defaults the table's own retention is the longer one.
  Client.RetransmissionOptions().MaxRetries = 7;
  Client.SendRequest();
  item = Client.GetRequests()->GetItemByIndexAs<TqynSTUNRequestItem>(1);
  ASSERT_TRUE(item);
  EXPECT_GE(item->Expires(), before + TqynSTUNRequestsQueue::DefaultMaxAge);
  EXPECT_LT(item->Expires(), QynTickCount64() + TqynSTUNRequestsQueue::DefaultMaxAge + 1000);
}

TEST_F(UdpClient, SoftwareFingerprintAndTheLengthField) {
  TFakeUDPServer server([](const TRequest& r, int) { return Success(r); });
  Start(server.Port());
  Client.STUNOptions().Software = true;
  Client.STUNOptions().Fingerprint = true;
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  TRequest r = server.Received(0);
  EXPECT_EQ(r.Types, (std::vector<TqynStunMessageAttribute>{stmaSoftware, stmaFingerprint}));
  EXPECT_EQ(r.Text(stmaSoftware), "Qynwire 4.5.2");
  EXPECT_EQ(r.Message->Fingerprint(), stfsFingerprintValid);
  EXPECT_EQ(r.Message->Header().MessageLength() + 20u, r.Bytes.size());

  // SOFTWARE alone: the length field still covers it.
  Client.STUNOptions().Fingerprint = false;
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 2; }));
  r = server.Received(1);
  EXPECT_EQ(r.Types, (std::vector<TqynStunMessageAttribute>{stmaSoftware}));
  EXPECT_EQ(r.Message->Header().MessageLength() + 20u, r.Bytes.size());
}

TEST_F(UdpClient, BeforeSendMayChangeTheMessage) {
  TFakeUDPServer server([](const TRequest& r, int) { return Success(r); });
  Start(server.Port());
  std::atomic<int> calls{0};
  Client.OnSTUNBeforeSend = [&](TqynComponent_Base* Sender, TqynSTUN_Message* aMessage) {
    EXPECT_EQ(Sender, &Client);
    aMessage->Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware("probe");
    ++calls;
  };
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  EXPECT_EQ(calls.load(), 1);
  const TRequest r = server.Received(0);
  EXPECT_EQ(r.Text(stmaSoftware), "probe");
  EXPECT_EQ(r.Message->Header().MessageLength() + 20u, r.Bytes.size());
}

TEST_F(UdpClient, AnExceptionOfAHandlerIsReportedAndTheEntryDeleted) {
  TFakeUDPServer server([](const TRequest& r, int) { return Success(r); });
  Start(server.Port());
  Client.OnSTUNResponseSuccess = [](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*, TqynSTUN_ResponseBinding*) {
    throw Exception("handler failed");
  };
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() == 1; }));
  EXPECT_EQ(Events.ExceptionText(0), "handler failed");
  ASSERT_TRUE(WaitUntil([&] { return TableCount(Client) == 0; }));
}

TEST_F(UdpClient, WriteDataSendsRawBytes) {
  TFakeUDPServer server;
  Start(server.Port());
  const TqynBytes raw = {1, 2, 3, 4, 5};
  Client.WriteData(raw);
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  EXPECT_EQ(server.Received(0).Bytes, raw);
  EXPECT_EQ(TableCount(Client), 0);
}

TEST(UdpClientAlone, QueuedNotificationDeliversOnTheMainThread) {
  TqynMainThread::SetMainThread();
  TEvents events;
  TqynSTUNClient client;
  events.Attach(client);
  std::atomic<bool> onMain{false};
  client.OnSTUNResponseSuccess = [&](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*, TqynSTUN_ResponseBinding* b) {
    onMain = TqynMainThread::IsMainThread();
    std::lock_guard<std::mutex> lock(events.Lock);
    events.Successes.push_back({"", *b, "", 0, {}});
  };
  TFakeUDPServer server([](const TRequest& r, int) { return Success(r); });
  client.SetHost("127.0.0.1");
  client.SetPort(server.Port());
  EXPECT_EQ(client.NotifyEvents(), neAsynchronous);
  client.SendRequest();
  ASSERT_TRUE(DrainUntil([&] { return events.SuccessCount() == 1; }));
  EXPECT_TRUE(onMain.load());
  EXPECT_EQ(events.Success(0).Binding.FRemotePort, 4500);
}

TEST(UdpClientAlone, DefaultsOfTheComponentAndItsOptions) {
  TqynSTUNClient client;
  EXPECT_EQ(client.Host(), "127.0.0.1");
  EXPECT_EQ(client.Port(), 3478);
  EXPECT_EQ(client.IPVersion(), Id_IPv4);
  EXPECT_EQ(client.Transport(), stunUDP);
  EXPECT_EQ(client.Version(), "4.5.2");
  EXPECT_TRUE(client.RetransmissionOptions().Enabled);
  EXPECT_EQ(client.RetransmissionOptions().MaxRetries, 7);
  EXPECT_EQ(client.RetransmissionOptions().RTO, 500);
  EXPECT_FALSE(client.STUNOptions().Fingerprint);
  EXPECT_FALSE(client.STUNOptions().Software);
  EXPECT_EQ(client.STUNOptions().Authentication.Credentials, stauNone);
  EXPECT_FALSE(client.LogFile().Enabled);
  EXPECT_EQ(client.Realm(), "");
  EXPECT_EQ(client.GetTCPClient()->Host(), "127.0.0.1");
  EXPECT_EQ(client.GetTCPClient()->Port(), 3478);

  // Assigning options copies values.
  TqynSTUNClient_Options options;
  options.Fingerprint = true;
  options.Authentication.Credentials = stauLongTermCredential;
  options.Authentication.Username = "u";
  client.SetSTUNOptions(options);
  options.Authentication.Username = "changed";
  EXPECT_TRUE(client.STUNOptions().Fingerprint);
  EXPECT_EQ(client.STUNOptions().Authentication.Username, "u");
  TqynSTUNLogFile log;
  log.Enabled = true;
  log.FileName = "x.log";
  client.SetLogFile(log);
  EXPECT_TRUE(client.LogFile().Enabled);
  EXPECT_EQ(client.LogFile().FileName, "x.log");

  client.SetHost("::1");
  client.SetIPVersion(Id_IPv6);
  client.SetPort(3479);
  EXPECT_EQ(client.GetTCPClient()->Host(), "::1");
  EXPECT_EQ(client.GetTCPClient()->IPVersion(), Id_IPv6);
  EXPECT_EQ(client.GetTCPClient()->Port(), 3479);
}

TEST(UdpClientAlone, LogFileSettingsReachTheUDPTransport) {
  const std::string file = ::testing::TempDir() + "stun_client_udp_log_" + std::to_string(::getpid()) + ".log";
  std::remove(file.c_str());
  TEvents events;
  TqynSTUNClient client;
  events.Attach(client);
  TFakeUDPServer server([](const TRequest& r, int) { return Success(r); });
  PointAt(client, server.Port());
  client.RetransmissionOptions().Enabled = false;
  TqynSTUNLogFile log;
  log.Enabled = true;
  log.FileName = file;
  client.SetLogFile(log);
  client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return events.SuccessCount() == 1; }));
  client.GetUDPClient(); // settings are handed down on use
  FILE* f = std::fopen(file.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::string text(4096, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), f));
  std::fclose(f);
  std::remove(file.c_str());
  EXPECT_NE(text.find("Sent "), std::string::npos);
  EXPECT_NE(text.find("Recv "), std::string::npos);
}

} // namespace
