// qyn-test-labels: net
// qyn-test-libs: qyn_turn_client qyn_stun_client
//
// The TURN client's requests and the handling of their answers, against a scripted loopback
// server: the attributes of Allocate, Refresh, CreatePermission and ChannelBind, the challenge
// answers (401/438) with the TURN credentials, the local record kept by the success handlers,
// the local checks of Send indications and ChannelData, and what is received from peers.
#include <gtest/gtest.h>

#include "turn_client/turn_client_test_util.h"

namespace {

using namespace turn_client_test;

struct Requests : TURNClientTest {
  TFakeUDPServer Server; // records, never answers: the tests deliver the answers themselves
  void SetUp() override {
    TURNClientTest::SetUp();
    Point(Server.Port());
  }
};

TEST_F(Requests, AllocateCarriesTransportAndLifetimeAndFingerprintWithoutCredentials) {
  LongTerm(); // no realm and nonce known yet: no credentials
  Client.Allocate();
  const TRequest r = Nth(Server, 1);
  EXPECT_EQ(r.Message->Header().MessageType_Class(), stmcRequest);
  EXPECT_EQ(r.Message->Header().MessageType_Method(), stmmAllocate);
  EXPECT_EQ(r.Types, (std::vector<TqynStunMessageAttribute>{stmaRequested_Transport, stmaLifetime, stmaFingerprint}));
  EXPECT_EQ(r.Message->Fingerprint(), stfsFingerprintValid);
  EXPECT_EQ(r.Message->Attributes().GetAttribute<TqynSTUN_Attribute_REQUESTED_TRANSPORT>(stmaRequested_Transport)->Protocol(), 17);
  EXPECT_EQ(r.Message->Attributes().GetAttribute<TqynSTUN_Attribute_LIFETIME>(stmaLifetime)->Lifetime(), 600u);
  EXPECT_EQ(r.TransactionId.size(), 12u);
  EXPECT_EQ(Pending(stmmAllocate), 1);
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

TEST_F(Requests, AllocateFollowsTheTURNOptionsNotTheSTUNOptions) {
  Client.TURNOptions().Allocation.Lifetime = 1200;
  Client.TURNOptions().Software = true;
  Client.STUNOptions().Software = false;
  Client.Allocate();
  Client.TURNOptions().Fingerprint = false;
  Client.STUNOptions().Fingerprint = true;
  Client.Refresh(77);
  const TRequest allocate = Nth(Server, 1);
  EXPECT_EQ(allocate.Types,
            (std::vector<TqynStunMessageAttribute>{stmaRequested_Transport, stmaLifetime, stmaSoftware, stmaFingerprint}));
  EXPECT_EQ(allocate.Message->Attributes().GetAttribute<TqynSTUN_Attribute_LIFETIME>(stmaLifetime)->Lifetime(), 1200u);
  EXPECT_EQ(allocate.Text(stmaSoftware), "Qynwire 4.5.2");
  const TRequest refresh = Nth(Server, 2);
  EXPECT_EQ(refresh.Message->Header().MessageType_Method(), stmmRefresh);
  EXPECT_EQ(refresh.Types, (std::vector<TqynStunMessageAttribute>{stmaLifetime, stmaSoftware}));
  EXPECT_EQ(refresh.Message->Attributes().GetAttribute<TqynSTUN_Attribute_LIFETIME>(stmaLifetime)->Lifetime(), 77u);
}

TEST_F(Requests, AllocateSuccessRaisesTheEventAndFillsTheRecord) {
  Client.TURNOptions().AutoRefresh.Enabled = false;
  Client.TURNOptions().Authentication.Username = "someone";
  Client.Allocate();
  const TqynDateTime before = QynNow();
  Deliver(Success(Nth(Server, 1), 600));
  ASSERT_EQ(Events.Size(Events.Allocations), 1u);
  const auto a = Events.At(Events.Allocations, 0);
  EXPECT_EQ(a.FRelayedIP, "203.0.113.5");
  EXPECT_EQ(a.FRelayedPort, 49152);
  EXPECT_EQ(a.FRelayedFamily, ipV4);
  EXPECT_EQ(a.FReflexiveIP, "198.51.100.2");
  EXPECT_EQ(a.FReflexivePort, 61000);
  EXPECT_EQ(a.FLifetime, 600u);
  EXPECT_EQ(a.FLocalIP, "192.0.2.20");
  EXPECT_EQ(a.FLocalPort, 50000);

  const auto record = Client.Allocation();
  EXPECT_EQ(record->RelayedIP(), "203.0.113.5");
  EXPECT_EQ(record->RelayedPort(), 49152);
  EXPECT_EQ(record->Lifetime(), 600u);
  EXPECT_EQ(record->PeerIP(), "192.0.2.10");
  EXPECT_EQ(record->PeerPort(), 3478);
  EXPECT_EQ(record->LocalIP(), "192.0.2.20");
  EXPECT_EQ(record->Username(), "someone");
  EXPECT_GE(record->LastUpdate(), before);
  EXPECT_EQ(Pending(stmmAllocate), 0) << "the answered request leaves the table";
  EXPECT_FALSE(Client.AutoRefreshRunning()) << "AutoRefresh.Enabled is off";
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

TEST_F(Requests, AllocateSuccessWithoutMappedAddressTakesTheServerAsReflexive) {
  Client.TURNOptions().AutoRefresh.Enabled = false;
  Client.Allocate();
  const TRequest r = Nth(Server, 1);
  Deliver(BuildAnswer(*r.Message, stmcResponseSuccess, [&](TqynSTUN_Message& m) {
    AddXorRelayed(m, "2001:db8::5", 50001, 2);
    AddLifetime(m, 300);
  }));
  ASSERT_EQ(Events.Size(Events.Allocations), 1u);
  const auto a = Events.At(Events.Allocations, 0);
  EXPECT_EQ(a.FRelayedFamily, ipV6);
  EXPECT_EQ(a.FRelayedIP, "2001:db8:0:0:0:0:0:5");
  EXPECT_EQ(a.FReflexiveIP, "192.0.2.10");
  EXPECT_EQ(a.FReflexivePort, 3478);
}

// ---- Challenges ----

struct ChallengeCase {
  const char* Name;
  std::vector<uint16_t> Codes; // the challenges the server sends before it grants
};

class Challenges : public TURNClientTest, public ::testing::WithParamInterface<ChallengeCase> {};

TEST_P(Challenges, EachChallengeCausesExactlyOneNewSignedAllocate) {
  const ChallengeCase c = GetParam();
  // The server challenges with the listed codes in turn (a new nonce each), then grants a
  // correctly signed request with a signed success.
  TFakeUDPServer server(
      [&](const TRequest& r, int aIndex) -> std::vector<TqynBytes> {
        if (static_cast<size_t>(aIndex) < c.Codes.size())
          return {ChallengeAnswer(r, c.Codes[static_cast<size_t>(aIndex)], "nonce-" + std::to_string(aIndex))};
        if (r.Message->MessageIntegrity() != stisMessageIntegrityValid) return {};
        return {BuildAnswer(*r.Message, stmcResponseSuccess, [&](TqynSTUN_Message& m) {
          AddXorRelayed(m, "203.0.113.5", 49152);
          AddLifetime(m, 600);
          SignLongTerm(m, kUser, kRealm, kPassword);
        })};
      },
      kPassword);
  Point(server.Port());
  LongTerm();
  Client.TURNOptions().AutoRefresh.Enabled = false;
  Client.Allocate();
  ASSERT_TRUE(WaitUntil([&] { return Events.Size(Events.Allocations) == 1 || Events.ErrorCount() > 0; }));
  EXPECT_EQ(Events.ErrorCount(), 0u) << "challenges raise no error event";
  EXPECT_EQ(Events.ExceptionCount(), 0u) << (Events.ExceptionCount() ? Events.ExceptionText(0) : "");
  ASSERT_EQ(server.Count(), c.Codes.size() + 1) << "one new Allocate per challenge";
  EXPECT_FALSE(server.Received(0).Has(stmaUsername));
  for (size_t i = 1; i <= c.Codes.size(); ++i) {
    const TRequest r = server.Received(i);
    EXPECT_EQ(r.Message->Header().MessageType_Method(), stmmAllocate);
    EXPECT_NE(r.TransactionId, server.Received(i - 1).TransactionId);
    EXPECT_EQ(r.Types, (std::vector<TqynStunMessageAttribute>{stmaRequested_Transport, stmaLifetime, stmaUsername,
                                                              stmaRealm, stmaNonce, stmaMesssage_Integrity, stmaFingerprint}));
    EXPECT_EQ(r.Text(stmaNonce), "nonce-" + std::to_string(i - 1)) << "the newest nonce is used";
    EXPECT_EQ(r.Message->MessageIntegrity(), stisMessageIntegrityValid);
  }
  EXPECT_EQ(Client.Realm(), kRealm);
  EXPECT_EQ(Pending(stmmAllocate), 0);
}

INSTANTIATE_TEST_SUITE_P(TURN, Challenges,
                         ::testing::Values(ChallengeCase{"Unauthorized", {401}}, ChallengeCase{"StaleNonce", {438}},
                                           ChallengeCase{"UnauthorizedThenStale", {401, 438}}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(Requests, ChallengesWithoutEndAreAnsweredABoundedNumberOfTimesThenReported) {
  TFakeUDPServer server([](const TRequest& r, int aIndex) -> std::vector<TqynBytes> {
    return {ChallengeAnswer(r, 401, "nonce-" + std::to_string(aIndex))};
  });
  Point(server.Port());
  LongTerm();
  Client.Allocate();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  EXPECT_EQ(server.Count(), static_cast<size_t>(Client.MaxChallengeAnswers()) + 1);
}

TEST_F(Requests, AChallengeToATURNRequestIsAnsweredWithTheTURNCredentialsEvenWhenBothAreSet) {
  Client.STUNOptions().Authentication.Credentials = stauLongTermCredential;
  Client.STUNOptions().Authentication.Username = "binding_user";
  Client.STUNOptions().Authentication.Password = "binding_secret";
  Client.STUNOptions().Fingerprint = true;
  LongTerm();
  Client.TURNOptions().AutoRefresh.Enabled = false;
  Client.Allocate();
  Deliver(ChallengeAnswer(Nth(Server, 1), 401, "n-1"));
  const TRequest resent = Nth(Server, 2);
  EXPECT_EQ(resent.Message->Header().MessageType_Method(), stmmAllocate);
  EXPECT_EQ(resent.Text(stmaUsername), kUser);
  const TRequest verified = ReadRequest(resent.Bytes, kPassword);
  EXPECT_EQ(verified.Message->MessageIntegrity(), stisMessageIntegrityValid);

  // Binding keeps its own credentials, with the shared realm and nonce.
  Client.SendRequest();
  const TRequest binding = Nth(Server, 3);
  EXPECT_EQ(binding.Message->Header().MessageType_Method(), stmmBinding);
  EXPECT_EQ(binding.Text(stmaUsername), "binding_user");
  EXPECT_EQ(binding.Text(stmaNonce), "n-1");
  EXPECT_EQ(ReadRequest(binding.Bytes, "binding_secret").Message->MessageIntegrity(), stisMessageIntegrityValid);
}

TEST_F(Requests, WithoutTURNCredentialsAChallengeToATURNRequestIsReportedEvenWhenBindingHasThem) {
  Client.STUNOptions().Authentication.Credentials = stauLongTermCredential;
  Client.STUNOptions().Authentication.Username = "binding_user";
  Client.STUNOptions().Authentication.Password = "binding_secret";
  Client.Allocate();
  Deliver(ChallengeAnswer(Nth(Server, 1), 401, "n-1"));
  ASSERT_EQ(Events.ErrorCount(), 1u);
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  EXPECT_EQ(Client.Realm(), "") << "nothing is learned";
  EXPECT_EQ(Pending(stmmAllocate), 0);
  EXPECT_EQ(Server.Count(), 1u);
}

TEST_F(Requests, AChallengedRefreshOrChannelBindLearnsTheNonceAndResendsNothing) {
  LongTerm();
  Client.Refresh(600);
  Deliver(ChallengeAnswer(Nth(Server, 1), 401, "n-r"));
  Client.ChannelBind("192.0.2.50", 7000);
  Deliver(ChallengeAnswer(Nth(Server, 2), 438, "n-c"));
  EXPECT_EQ(Events.ErrorCount(), 0u);
  EXPECT_EQ(Client.Nonce(), "n-c");
  EXPECT_EQ(Pending(stmmRefresh) + Pending(stmmChannelBind), 0);
  // The next request carries the credentials from the start.
  Client.Refresh(600);
  const TRequest next = Nth(Server, 3);
  EXPECT_EQ(next.Text(stmaNonce), "n-c");
  EXPECT_EQ(Server.Count(), 3u);
}

TEST_F(Requests, A401WithoutRealmIsReportedAndNothingIsResent) {
  LongTerm();
  Client.Allocate();
  Deliver(Error(Nth(Server, 1), 401, "Unauthorized"));
  ASSERT_EQ(Events.ErrorCount(), 1u);
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  Client.Allocate();
  Deliver(Error(Nth(Server, 2), 437, "Allocation Mismatch"));
  ASSERT_EQ(Events.ErrorCount(), 2u);
  EXPECT_EQ(Events.Error(1).Error.FCode, 437);
  EXPECT_EQ(Server.Count(), 2u);
}

// ---- CreatePermission ----

TEST_F(Requests, CreatePermissionForTwoAddressesIsOneRequestAndOneEvent) {
  Client.CreatePermission("192.0.2.1,192.0.2.2");
  const TRequest r = Nth(Server, 1);
  const auto peers = AllAttrs(r, stmaXOR_Peer_Address);
  ASSERT_EQ(peers.size(), 2u);
  EXPECT_EQ(peers[0]->Address(), "192.0.2.1");
  EXPECT_EQ(peers[1]->Address(), "192.0.2.2");
  EXPECT_EQ(peers[0]->Family(), 1);
  EXPECT_EQ(peers[0]->Port(), 0);
  EXPECT_FALSE(Client.Allocation()->Permissions()->IsValidPermission("192.0.2.1"));

  Deliver(Success(r));
  ASSERT_EQ(Events.Size(Events.Permissions), 1u);
  EXPECT_EQ(Events.At(Events.Permissions, 0), (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
  EXPECT_TRUE(Client.Allocation()->Permissions()->IsValidPermission("192.0.2.1"));
  EXPECT_TRUE(Client.Allocation()->Permissions()->IsValidPermission("192.0.2.2"));
}

struct SplitCase {
  const char* Text;
  std::vector<std::string> Entries;
};

class PeerAddressText : public ::testing::TestWithParam<SplitCase> {};

TEST_P(PeerAddressText, SplitsLikeACommaText) {
  EXPECT_EQ(TqynTURNClient_Base::SplitPeerAddresses(GetParam().Text), GetParam().Entries);
}

INSTANTIATE_TEST_SUITE_P(
    TURN, PeerAddressText,
    ::testing::Values(SplitCase{"", {}}, SplitCase{"192.0.2.1", {"192.0.2.1"}},
                      SplitCase{"192.0.2.1,192.0.2.2", {"192.0.2.1", "192.0.2.2"}},
                      SplitCase{" 192.0.2.1 ,\t192.0.2.2\r\n", {"192.0.2.1", "192.0.2.2"}},
                      SplitCase{"192.0.2.1 192.0.2.2", {"192.0.2.1", "192.0.2.2"}},
                      SplitCase{"\"2001:db8::1\",192.0.2.9", {"2001:db8::1", "192.0.2.9"}},
                      SplitCase{"\"a b\",c", {"a b", "c"}}, SplitCase{"\"q\"\"x\"", {"q\"x"}},
                      SplitCase{",,192.0.2.1,,", {"192.0.2.1"}}, SplitCase{"\"unterminated", {"unterminated"}}));

TEST_F(Requests, CreatePermissionTakesTheFamilyFromEachAddressText) {
  Client.SetIPVersion(Id_IPv4);
  Client.CreatePermission("\"2001:db8::1\" 192.0.2.7");
  const TRequest r = Nth(Server, 1);
  const auto peers = AllAttrs(r, stmaXOR_Peer_Address);
  ASSERT_EQ(peers.size(), 2u);
  EXPECT_EQ(peers[0]->Family(), 2);
  EXPECT_EQ(peers[0]->Address(), "2001:db8:0:0:0:0:0:1");
  EXPECT_EQ(peers[1]->Family(), 1);
}

TEST_F(Requests, AnEmptyCreatePermissionSendsNoPeerAddress) {
  Client.CreatePermission("");
  const TRequest r = Nth(Server, 1);
  EXPECT_EQ(r.Message->Header().MessageType_Method(), stmmCreatePermission);
  EXPECT_TRUE(AllAttrs(r, stmaXOR_Peer_Address).empty());
}

TEST_F(Requests, AnAddressTextThatIsNoAddressIsReportedAndNothingIsSent) {
  for (const char* text : {"192.0.2.300", "peer.example", "2001:db8::1::2", "192.0.2.1,bogus"}) {
    Client.CreatePermission(text);
    Client.ChannelBind(text, 5000);
  }
  Client.SendIndication("not-an-ip", 5000, std::string("x"));
  EXPECT_EQ(Events.ExceptionCount(), 9u);
  EXPECT_TRUE(Events.HasException("'192.0.2.300' is not a valid IPv4 address"));
  EXPECT_TRUE(Events.HasException("'2001:db8::1::2' is not a valid IPv6 address"));
  EXPECT_EQ(Client.Allocation()->Channels()->Count(), 0) << "no channel is numbered for a bad address";
  EXPECT_EQ(Client.GetRequests()->Count(), 0);
  Client.Refresh(1);
  EXPECT_EQ(Nth(Server, 1).Message->Header().MessageType_Method(), stmmRefresh) << "the first datagram sent";
}

TEST_F(Requests, AChallengedCreatePermissionIsResentForTheFirstAddressOnly) {
  LongTerm();
  Client.CreatePermission("192.0.2.1,192.0.2.2");
  Deliver(ChallengeAnswer(Nth(Server, 1), 401, "n-p"));
  const TRequest resent = Nth(Server, 2);
  EXPECT_EQ(resent.Message->Header().MessageType_Method(), stmmCreatePermission);
  const auto peers = AllAttrs(resent, stmaXOR_Peer_Address);
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers[0]->Address(), "192.0.2.1");
  EXPECT_TRUE(resent.Has(stmaMesssage_Integrity));
  EXPECT_EQ(Events.ErrorCount(), 0u);
  EXPECT_EQ(Pending(stmmCreatePermission), 1) << "the refused entry is replaced by the resent one";
}

// ---- ChannelBind ----

TEST_F(Requests, ChannelNumbersStartAt0x4000AndARepeatedPeerKeepsItsNumber) {
  Client.ChannelBind("192.0.2.1", 5000);
  Client.ChannelBind("192.0.2.2", 5000);
  Client.ChannelBind("192.0.2.1", 5000);
  Client.ChannelBind("192.0.2.1", 5001); // another port is another peer
  std::vector<uint16_t> numbers;
  for (size_t i = 1; i <= 4; ++i) {
    const TRequest r = Nth(Server, i);
    EXPECT_EQ(r.Message->Header().MessageType_Method(), stmmChannelBind);
    numbers.push_back(r.Message->Attributes().GetAttribute<TqynSTUN_Attribute_CHANNEL_NUMBER>(stmaChannel_Number)->Channel());
  }
  EXPECT_EQ(numbers, (std::vector<uint16_t>{0x4000, 0x4001, 0x4000, 0x4002}));
  EXPECT_EQ(Client.Allocation()->Channels()->Count(), 3);
}

TEST_F(Requests, ChannelBindAndSendIndicationTakeThePeerFamilyFromTheAddressText) {
  Client.SetIPVersion(Id_IPv4);
  Client.ChannelBind("2001:db8::7", 5000);
  const TRequest bind = Nth(Server, 1);
  const TqynSTUN_Attribute* peer = Attr(bind, stmaXOR_Peer_Address);
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(peer->Family(), 2);
  EXPECT_EQ(peer->Address(), "2001:db8:0:0:0:0:0:7");
  EXPECT_EQ(peer->Port(), 5000);
  Deliver(Success(bind)); // the binding installs the permission for its address

  Client.SendIndication("2001:db8::7", 5000, std::string("six"));
  const TRequest send = Nth(Server, 2);
  ASSERT_EQ(send.Message->Header().MessageType_Method(), stmmSend);
  EXPECT_EQ(Attr(send, stmaXOR_Peer_Address)->Family(), 2);
  EXPECT_EQ(Attr(send, stmaXOR_Peer_Address)->Address(), "2001:db8:0:0:0:0:0:7");
  EXPECT_EQ(Events.ExceptionCount(), 0u) << (Events.ExceptionCount() ? Events.ExceptionText(0) : "");
}

TEST_F(Requests, ChannelBindSuccessRenewsChannelAndPermission) {
  Client.ChannelBind("192.0.2.1", 5000);
  const TRequest r = Nth(Server, 1);
  EXPECT_FALSE(Client.Allocation()->Channels()->IsValidChannel("192.0.2.1", 5000));
  Deliver(Success(r));
  ASSERT_EQ(Events.Size(Events.Channels), 1u);
  const auto c = Events.At(Events.Channels, 0);
  EXPECT_EQ(c.FChannel, 0x4000);
  EXPECT_EQ(c.FIPAddress, "192.0.2.1");
  EXPECT_EQ(c.FPort, 5000);
  EXPECT_TRUE(Client.Allocation()->Channels()->IsValidChannel("192.0.2.1", 5000));
  EXPECT_TRUE(Client.Allocation()->Permissions()->IsValidPermission("192.0.2.1"));
}

TEST_F(Requests, AFullChannelListIsReportedAndNothingIsSent) {
  Client.Allocation()->Channels()->SetMaxChannelID(0x4001);
  Client.ChannelBind("192.0.2.1", 1);
  Client.ChannelBind("192.0.2.2", 1);
  Client.ChannelBind("192.0.2.3", 1);
  ASSERT_TRUE(Events.HasException("Cannot create a new channel, list is full."));
  EXPECT_EQ(Pending(stmmChannelBind), 2);
}

// ---- Sending data ----

TEST_F(Requests, SendIndicationNeedsAValidPermission) {
  Client.SendIndication("192.168.1.1", 5000, std::string("hello"));
  ASSERT_EQ(Events.ExceptionCount(), 1u);
  EXPECT_EQ(Events.ExceptionText(0), "There is not Valid permission for IP Address: 192.168.1.1");

  Client.CreatePermission("192.168.1.1");
  Deliver(Success(Nth(Server, 1)));
  Client.SendIndication("192.168.1.1", 5000, std::string("hello"));
  const TRequest send = Nth(Server, 2);
  EXPECT_EQ(send.Message->Header().MessageType_Class(), stmcIndication);
  EXPECT_EQ(send.Message->Header().MessageType_Method(), stmmSend);
  EXPECT_EQ(send.Types, (std::vector<TqynStunMessageAttribute>{stmaXOR_Peer_Address, stmaData, stmaFingerprint}));
  const auto* data = send.Message->Attributes().GetAttribute<TqynSTUN_Attribute_DATA>(stmaData);
  EXPECT_EQ(data->Data(), (TqynBytes{'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(Attr(send, stmaXOR_Peer_Address)->Port(), 5000);
  EXPECT_EQ(Client.GetRequests()->Count(), 0) << "an indication is not recorded";

  // An expired permission no longer lets data through.
  Clock.By(301);
  Client.SendIndication("192.168.1.1", 5000, std::string("late"));
  EXPECT_EQ(Events.ExceptionCount(), 2u);
}

TEST_F(Requests, ChannelDataNeedsABoundUnexpiredChannel) {
  Client.SendChannelData(0, std::string("x"));
  Client.ChannelBind("192.0.2.1", 5000);
  const TRequest bind = Nth(Server, 1);
  Client.SendChannelData(0x4000, std::string("too early"));
  Client.SendChannelData(0x4000, std::string("gone"));
  ASSERT_EQ(Events.ExceptionCount(), 3u);
  EXPECT_EQ(Events.ExceptionText(0), "Channel ID: 0 not exists.");
  EXPECT_EQ(Events.ExceptionText(1), "Channel ID :16384 has expired.");
  EXPECT_EQ(Events.ExceptionText(2), "Channel ID: 16384 not exists.") << "the expired entry was removed";

  Client.ChannelBind("192.0.2.1", 5000);
  Deliver(Success(Nth(Server, 2)));
  (void)bind;
  Client.SendChannelData(0x4000, std::string("hello"));
  const TRequest data = Nth(Server, 3);
  EXPECT_EQ(data.Bytes, (TqynBytes{0x40, 0x00, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o', 0, 0, 0}));
  Client.SendChannelData(0x4000, TqynBytes{});
  EXPECT_EQ(Nth(Server, 4).Bytes, (TqynBytes{0x40, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Events.ExceptionCount(), 3u);
  Client.SendChannelData(0x4000, TqynBytes(65536, 1));
  EXPECT_EQ(Events.ExceptionCount(), 4u) << "data that cannot be framed is reported";
}

// ---- Receiving ----

TEST_F(Requests, ChannelDataIsDeliveredWhetherOrNotTheChannelIsBound) {
  Deliver(TqynBytes{0x40, 0x00, 0x00, 0x03, 'a', 'b', 'c', 0});
  Deliver(TqynBytes{0x4F, 0xFF, 0x00, 0x00});
  ASSERT_EQ(Events.Size(Events.ChannelData), 2u);
  EXPECT_EQ(Events.At(Events.ChannelData, 0).first, 16384);
  EXPECT_EQ(Events.At(Events.ChannelData, 0).second, (TqynBytes{'a', 'b', 'c'}));
  EXPECT_EQ(Events.At(Events.ChannelData, 1).first, 0x4FFF);
  EXPECT_TRUE(Events.At(Events.ChannelData, 1).second.empty());
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

TEST_F(Requests, DataAndICMPIndicationsAreDelivered) {
  Deliver(Indication([](TqynSTUN_Message& m) {
    AddXorPeer(m, "192.0.2.77", 4000);
    m.Attributes().Add<TqynSTUN_Attribute_DATA>()->SetData(TqynBytes{1, 2, 3});
  }));
  Deliver(Indication([](TqynSTUN_Message& m) {
    AddXorPeer(m, "2001:db8::9", 4001, 2);
    auto* icmp = m.Attributes().Add<TqynSTUN_Attribute_ICMP>();
    icmp->SetICMPType(3);
  }));
  ASSERT_EQ(Events.Size(Events.Data), 1u);
  EXPECT_EQ(Events.At(Events.Data, 0).FPeerIP, "192.0.2.77");
  EXPECT_EQ(Events.At(Events.Data, 0).FPeerPort, 4000);
  EXPECT_EQ(Events.At(Events.Data, 0).FData, (TqynBytes{1, 2, 3}));
  ASSERT_EQ(Events.Size(Events.ICMP), 1u);
  EXPECT_EQ(Events.At(Events.ICMP, 0), (std::pair<std::string, int>("2001:db8:0:0:0:0:0:9", 3)));
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

TEST_F(Requests, IndicationsWithoutPeerOrPayloadAreReported) {
  Deliver(Indication([](TqynSTUN_Message& m) { m.Attributes().Add<TqynSTUN_Attribute_DATA>()->SetData(TqynBytes{1}); }));
  Deliver(Indication([](TqynSTUN_Message& m) { AddXorPeer(m, "192.0.2.77", 4000); }));
  EXPECT_EQ(Events.AllExceptions(), (std::vector<std::string>{"Attribute XOR_PEER_ADDRESS not found.",
                                                              "Attribute SendChannelData or ICMP not found."}));
  EXPECT_EQ(Events.Size(Events.Data), 0u);
}

// ---- Refresh ----

TEST_F(Requests, RefreshZeroEndsTheAllocationAndEmptiesTheLocalState) {
  Client.Allocate();
  Deliver(Success(Nth(Server, 1)));
  ASSERT_TRUE(Client.AutoRefreshRunning());
  Client.CreatePermission("192.0.2.1");
  Deliver(Success(Nth(Server, 2)));
  Client.ChannelBind("192.0.2.2", 5000);
  Deliver(Success(Nth(Server, 3)));
  const auto before = Client.Allocation();
  ASSERT_EQ(before->Permissions()->Count(), 2);
  ASSERT_EQ(before->Channels()->Count(), 1);

  Client.Refresh(0);
  const TRequest refresh = Nth(Server, 4);
  EXPECT_EQ(refresh.Message->Attributes().GetAttribute<TqynSTUN_Attribute_LIFETIME>(stmaLifetime)->Lifetime(), 0u);
  Deliver(Success(refresh, 0));
  EXPECT_EQ(Events.Size(Events.Refreshes), 1u);
  EXPECT_EQ(Events.At(Events.Refreshes, 0), 0u);
  EXPECT_FALSE(Client.AutoRefreshRunning());
  const auto after = Client.Allocation();
  EXPECT_NE(after, before) << "a fresh record";
  EXPECT_EQ(after->Permissions()->Count(), 0);
  EXPECT_EQ(after->Channels()->Count(), 0);
  EXPECT_EQ(after->LastUpdate(), 0);
  Client.SendChannelData(0x4000, std::string("x"));
  EXPECT_TRUE(Events.HasException("Channel ID: 16384 not exists."));
}

TEST_F(Requests, ARefreshSuccessWithoutLifetimeRaisesNoEvent) {
  Client.Refresh(600);
  const TRequest r = Nth(Server, 1);
  const TqynDateTime before = QynNow();
  Deliver(BuildAnswer(*r.Message, stmcResponseSuccess));
  EXPECT_EQ(Events.Size(Events.Refreshes), 0u);
  EXPECT_GE(Client.Allocation()->LastUpdate(), before);
  Client.Refresh(300);
  Deliver(Success(Nth(Server, 2), 300));
  ASSERT_EQ(Events.Size(Events.Refreshes), 1u);
  EXPECT_EQ(Events.At(Events.Refreshes, 0), 300u);
  EXPECT_EQ(Client.Allocation()->Lifetime(), 300u);
}

TEST_F(Requests, BindingStillWorksOnTheTURNClient) {
  Client.SendRequest();
  const TRequest r = Nth(Server, 1);
  EXPECT_EQ(r.Message->Header().MessageType_Method(), stmmBinding);
  EXPECT_TRUE(r.Types.empty()) << "STUNOptions: no FINGERPRINT, no SOFTWARE";
  Deliver(BuildAnswer(*r.Message, stmcResponseSuccess, [](TqynSTUN_Message& m) { AddXorMapped(m, "192.0.2.1", 4500); }));
  ASSERT_EQ(Events.SuccessCount(), 1u);
  EXPECT_EQ(Events.Success(0).Binding.FRemoteIP, "192.0.2.1");
}

} // namespace
