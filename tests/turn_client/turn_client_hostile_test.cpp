// qyn-test-labels: net
// qyn-test-libs: qyn_turn_client qyn_stun_client
//
// What a hostile or broken server may send the TURN client: forged lengths, answers signed with
// the wrong key, answers to transactions never sent or of another method, malformed ChannelData
// and indications, and random bytes. Every case ends in a report or a silent drop, never in an
// event with made-up values, and the pending request stays matched to its real answer.
#include <gtest/gtest.h>

#include <random>

#include "turn_client/turn_client_test_util.h"

namespace {

using namespace turn_client_test;

struct Hostile : TURNClientTest {
  TFakeUDPServer Server;
  void SetUp() override {
    TURNClientTest::SetUp();
    Point(Server.Port());
    Client.TURNOptions().AutoRefresh.Enabled = false;
  }
};

TqynBytes WithLength(TqynBytes aBytes, uint16_t aLength) {
  aBytes[2] = static_cast<uint8_t>(aLength >> 8);
  aBytes[3] = static_cast<uint8_t>(aLength & 0xFF);
  return aBytes;
}

TEST_F(Hostile, ForgedLengthsOfAnAllocateAnswerNeverGiveMadeUpValues) {
  using TForge = std::function<TqynBytes(const TqynBytes&)>;
  const std::vector<std::pair<const char*, TForge>> forges = {
      {"header length beyond the datagram", [](const TqynBytes& g) { return WithLength(g, static_cast<uint16_t>(g.size())); }},
      {"header length shorter than the attributes", [](const TqynBytes& g) { return WithLength(g, 4); }},
      {"header length 0xFFFF", [](const TqynBytes& g) { return WithLength(g, 0xFFFF); }},
      {"cut inside the relayed address", [](const TqynBytes& g) { return TqynBytes(g.begin(), g.begin() + 31); }},
      {"attribute length past the end",
       [](const TqynBytes& g) {
         TqynBytes b = g;
         b[22] = 0xFF;
         b[23] = 0xF0;
         return b;
       }},
  };
  size_t sent = 0;
  for (const auto& [name, forge] : forges) {
    const size_t events = Events.Size(Events.Allocations);
    Client.Allocate();
    const TRequest r = Nth(Server, ++sent);
    Deliver(forge(Success(r)));
    if (Events.Size(Events.Allocations) > events) {
      const auto a = Events.At(Events.Allocations, events);
      EXPECT_TRUE(a.FRelayedIP == "203.0.113.5" || a.FRelayedIP.empty()) << name << ": " << a.FRelayedIP;
      EXPECT_TRUE(a.FRelayedPort == 49152 || a.FRelayedPort == 0) << name << ": " << a.FRelayedPort;
    }
  }
  // A real answer after all that is still matched.
  Client.Allocate();
  Deliver(Success(Nth(Server, ++sent)));
  EXPECT_EQ(Events.At(Events.Allocations, Events.Size(Events.Allocations) - 1).FRelayedIP, "203.0.113.5");
}

TEST_F(Hostile, AnAnswerSignedWithTheWrongKeyIsReportedAndTheRequestStaysPending) {
  TFakeUDPServer server(
      [](const TRequest& r, int aIndex) -> std::vector<TqynBytes> {
        if (aIndex == 0) return {ChallengeAnswer(r, 401, "n-1")};
        return {BuildAnswer(*r.Message, stmcResponseSuccess, [&](TqynSTUN_Message& m) {
          AddXorRelayed(m, "203.0.113.66", 49999);
          SignLongTerm(m, kUser, kRealm, "not the password");
        })};
      },
      kPassword);
  Point(server.Port());
  LongTerm();
  Client.Allocate();
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() == 1; }));
  EXPECT_EQ(Events.ExceptionText(0), "Invalid Message Integrity");
  EXPECT_EQ(Events.Size(Events.Allocations), 0u);
  EXPECT_EQ(Pending(stmmAllocate), 1);
}

TEST_F(Hostile, AnAnswerToAnUnsignedRequestThatCarriesIntegrityIsRejected) {
  Client.CreatePermission("192.0.2.1");
  const TRequest r = Nth(Server, 1);
  Deliver(BuildAnswer(*r.Message, stmcResponseSuccess, [&](TqynSTUN_Message& m) { SignLongTerm(m, kUser, kRealm, kPassword); }));
  EXPECT_EQ(Events.AllExceptions(), (std::vector<std::string>{"Invalid Message Integrity"}));
  EXPECT_FALSE(Client.Allocation()->Permissions()->IsValidPermission("192.0.2.1"));
}

TEST_F(Hostile, AnswersToUnknownTransactionsAreDroppedSilently) {
  Client.ChannelBind("192.0.2.1", 5000);
  const TRequest r = Nth(Server, 1);
  const TqynBytes otherId = NewTransactionId();
  for (TqynStunMessageClass cls : {stmcResponseSuccess, stmcResponseError})
    Deliver(BuildAnswer(*r.Message, cls, [](TqynSTUN_Message& m) { AddErrorCode(m, 400, "Bad Request"); }, &otherId));
  EXPECT_EQ(Events.ExceptionCount(), 0u);
  EXPECT_EQ(Events.ErrorCount(), 0u);
  EXPECT_EQ(Events.Size(Events.Channels), 0u);
  EXPECT_EQ(Pending(stmmChannelBind), 1);
  EXPECT_FALSE(Client.Allocation()->Permissions()->IsValidPermission("192.0.2.1"));
}

TEST_F(Hostile, ASuccessOfAnotherMethodThanItsRequestIsReportedNotObeyed) {
  Client.Refresh(600);
  const TRequest refresh = Nth(Server, 1);
  // An Allocate success carrying the Refresh's transaction id.
  TqynSTUN_Message fake;
  fake.Header().SetMessageType_Method(stmmAllocate);
  fake.Header().SetTransactionId(refresh.Message->Header().TransactionId());
  Deliver(BuildAnswer(fake, stmcResponseSuccess, [](TqynSTUN_Message& m) {
    AddXorRelayed(m, "203.0.113.66", 49999);
    AddLifetime(m, 600);
  }));
  EXPECT_EQ(Events.Size(Events.Allocations), 0u);
  EXPECT_EQ(Client.Allocation()->RelayedIP(), "");
  EXPECT_FALSE(Client.AutoRefreshRunning());
  ASSERT_EQ(Events.ExceptionCount(), 1u);
  EXPECT_EQ(Events.ExceptionText(0), "Response of method 3 does not answer the request of method 4");

  // A CreatePermission success to a ChannelBind transaction installs nothing either.
  Client.ChannelBind("192.0.2.5", 5000);
  const TRequest bind = Nth(Server, 2);
  TqynSTUN_Message asPermission;
  asPermission.Header().SetMessageType_Method(stmmCreatePermission);
  asPermission.Header().SetTransactionId(bind.Message->Header().TransactionId());
  Deliver(BuildAnswer(asPermission, stmcResponseSuccess));
  EXPECT_FALSE(Client.Allocation()->Permissions()->IsValidPermission("192.0.2.5"));
  EXPECT_EQ(Events.Size(Events.Permissions), 0u);
}

// A 20-byte datagram starting with aFirst, long enough for the STUN header checks.
TqynBytes Header(uint8_t aFirst) {
  TqynBytes b(20, 0);
  b[0] = aFirst;
  return b;
}

struct ChannelDataCase {
  const char* Name;
  TqynBytes Bytes;
  bool Delivered;
};

class MalformedChannelData : public Hostile, public ::testing::WithParamInterface<ChannelDataCase> {};

TEST_P(MalformedChannelData, IsReportedInsteadOfDeliveredCut) {
  const ChannelDataCase c = GetParam();
  Deliver(c.Bytes);
  EXPECT_EQ(Events.Size(Events.ChannelData), c.Delivered ? 1u : 0u);
  EXPECT_EQ(Events.ExceptionCount(), c.Delivered ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    TURN, MalformedChannelData,
    ::testing::Values(ChannelDataCase{"OneByte", {0x40}, false}, ChannelDataCase{"ThreeBytes", {0x40, 0x00, 0x00}, false},
                      ChannelDataCase{"LengthBeyondDatagram", {0x40, 0x00, 0x00, 0x10, 1, 2, 3, 4}, false},
                      ChannelDataCase{"MaximalLengthNoData", {0x40, 0x01, 0xFF, 0xFF}, false},
                      ChannelDataCase{"NoPadding", {0x40, 0x00, 0x00, 0x01, 9}, true},
                      ChannelDataCase{"ExtraBytesAfterPadding", {0x40, 0x00, 0x00, 0x01, 9, 0, 0, 0, 7, 7, 7, 7}, true},
                      ChannelDataCase{"ReservedRange0x5000", Header(0x50), false},
                      ChannelDataCase{"ReservedRange0x7FFF", Header(0x7F), false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(Hostile, ChannelDataIsCutToItsLengthField) {
  Deliver(TqynBytes{0x40, 0x00, 0x00, 0x01, 9, 0, 0, 0, 7, 7, 7, 7});
  ASSERT_EQ(Events.Size(Events.ChannelData), 1u);
  EXPECT_EQ(Events.At(Events.ChannelData, 0).second, TqynBytes{9});
}

TEST_F(Hostile, AnIndicationWithIntegrityWhichNoRequestExplainsIsRejected) {
  Deliver(Indication([](TqynSTUN_Message& m) {
    AddXorPeer(m, "192.0.2.77", 4000);
    m.Attributes().Add<TqynSTUN_Attribute_DATA>()->SetData(TqynBytes{1});
    SignLongTerm(m, kUser, kRealm, kPassword);
  }));
  EXPECT_EQ(Events.Size(Events.Data), 0u);
  EXPECT_EQ(Events.AllExceptions(), (std::vector<std::string>{"Invalid Message Integrity"}));
}

TEST_F(Hostile, AFloodOfPeersFillsTheChannelListToItsBoundAndNoFurther) {
  TqynTURNChannels* channels = Client.Allocation()->Channels();
  for (int i = 0; i < 4096; ++i)
    channels->CreateChannel("192.0.2." + std::to_string(i % 250), static_cast<uint16_t>(1000 + i / 250), 0);
  EXPECT_EQ(channels->Count(), 4096);
  Client.ChannelBind("198.51.100.1", 1);
  EXPECT_TRUE(Events.HasException("Cannot create a new channel, list is full."));
  EXPECT_EQ(channels->Count(), 4096);
}

TEST_F(Hostile, RandomDatagramsNeverCrashOrInventEvents) {
  Client.Allocate();
  Client.ChannelBind("192.0.2.1", 5000);
  const TRequest allocate = Nth(Server, 1);
  std::mt19937 random(20261210);
  for (int i = 0; i < 20000; ++i) {
    TqynBytes bytes(random() % 120);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    if (!bytes.empty() && i % 3 == 0) bytes[0] &= 0x4F; // STUN and ChannelData first bytes
    if (bytes.size() >= 20 && i % 5 == 0) {
      // Headers that pass the first checks: cookie and a pending transaction id.
      bytes[0] = 0x01;
      bytes[1] = 0x03;
      bytes[4] = 0x21;
      bytes[5] = 0x12;
      bytes[6] = 0xA4;
      bytes[7] = 0x42;
      std::copy_n(allocate.Message->Header().TransactionId().begin(), 12, bytes.begin() + 8);
    }
    Deliver(bytes);
  }
  SUCCEED() << Events.ExceptionCount() << " reports";
  EXPECT_LE(Client.GetRequests()->Count(), 2);
}

} // namespace
