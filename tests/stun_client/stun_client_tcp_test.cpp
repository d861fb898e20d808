// qyn-test-labels: net
// qyn-test-libs: qyn_stun_client
//
// The STUN client over TCP against scripted loopback servers: messages cut from the byte stream
// by the header's length field whatever the chunks (two answers in one send, one answer in
// several sends with pauses), a stream that cannot be cut, a connection ending in the middle of
// a message, and a server that is not there.
#include <gtest/gtest.h>

#include "qynTCP_Client.h"
#include "stun_client/stun_client_test_util.h"

namespace {

using namespace stun_client_test;

struct TcpClient : ::testing::Test {
  TEvents Events;
  TqynSTUNClient Client;

  void SetUp() override { Events.Attach(Client); }
  void Start(uint16_t aPort) {
    PointAt(Client, aPort);
    Client.SetTransport(stunTCP);
  }
};

TqynBytes SuccessBytes(const TRequest& r, uint16_t aPort) {
  return BuildAnswer(*r.Message, stmcResponseSuccess, [aPort](TqynSTUN_Message& m) {
    AddXorMapped(m, "192.0.2.1", aPort);
    m.Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware("fake tcp server"); // odd length: padding
  });
}

TqynBytes Concat(const TqynBytes& a, const TqynBytes& b) {
  TqynBytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

TEST_F(TcpClient, TwoAnswersInOneSendAreTwoMessages) {
  std::mutex lock;
  TqynBytes first;
  TFakeTCPServer server([&](const TFakeTCPServer::TConnection& c, const TRequest& r, int aIndex) {
    std::lock_guard<std::mutex> g(lock);
    if (aIndex == 0) {
      first = SuccessBytes(r, 1001);
      return;
    }
    c.Send(Concat(first, SuccessBytes(r, 1002)));
  });
  Start(server.Port());
  Client.SendRequest();
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 2; }));
  EXPECT_EQ(Events.Success(0).Binding.FRemotePort, 1001);
  EXPECT_EQ(Events.Success(1).Binding.FRemotePort, 1002);
  EXPECT_EQ(Events.ExceptionCount(), 0u);
  EXPECT_EQ(server.Accepted(), 1);
  ASSERT_TRUE(WaitUntil([&] { return TableCount(Client) == 0; }));
  // Over TCP the request is written once, as it is.
  EXPECT_EQ(server.Count(), 2u);
  EXPECT_EQ(server.Received(0).Bytes.size(), 20u);
}

TEST_F(TcpClient, AnAnswerSplitOverSeveralSendsIsOneMessage) {
  // Cuts inside the type, inside the length, at the end of the header, inside an attribute.
  for (size_t cut : {1u, 3u, 19u, 20u, 25u}) {
    SCOPED_TRACE(cut);
    TEvents events;
    TqynSTUNClient client;
    events.Attach(client);
    TFakeTCPServer server([cut](const TFakeTCPServer::TConnection& c, const TRequest& r, int) {
      const TqynBytes answer = SuccessBytes(r, 2000);
      c.Send(answer.data(), cut);
      std::this_thread::sleep_for(60ms);
      c.Send(answer.data() + cut, answer.size() - cut);
    });
    PointAt(client, server.Port());
    client.SetTransport(stunTCP);
    client.SendRequest();
    ASSERT_TRUE(WaitUntil([&] { return events.SuccessCount() == 1; }));
    EXPECT_EQ(events.Success(0).Binding.FRemotePort, 2000);
    EXPECT_EQ(events.ExceptionCount(), 0u);
  }
}

TEST_F(TcpClient, AnswersJoinedAndSplitAcrossSends) {
  std::mutex lock;
  std::vector<TqynBytes> answers;
  TFakeTCPServer server([&](const TFakeTCPServer::TConnection& c, const TRequest& r, int aIndex) {
    std::lock_guard<std::mutex> g(lock);
    answers.push_back(SuccessBytes(r, static_cast<uint16_t>(3000 + aIndex)));
    if (aIndex < 2) return;
    // First answer and half of the second, then the rest of the second and the third.
    const TqynBytes all = Concat(Concat(answers[0], answers[1]), answers[2]);
    const size_t cut = answers[0].size() + answers[1].size() / 2;
    c.Send(all.data(), cut);
    std::this_thread::sleep_for(60ms);
    c.Send(all.data() + cut, all.size() - cut);
  });
  Start(server.Port());
  for (int i = 0; i < 3; ++i) Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 3; }));
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(Events.Success(i).Binding.FRemotePort, 3000 + i);
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

struct TGarbage {
  const char* Name;
  TqynBytes Bytes;
  std::string Text;
};

TEST_F(TcpClient, AStreamThatCannotBeCutIsReportedAndClosed) {
  const std::vector<TGarbage> cases = {
      {"top bits set", {0xC1, 0x01, 0x00, 0x04, 0, 0, 0, 0}, "Invalid STUN stream: a message cannot start with type 0xc101 and length 4"},
      {"first byte 0x80", {0x80, 0x00, 0x00, 0x00}, "Invalid STUN stream: a message cannot start with type 0x8000 and length 0"},
      {"length not a multiple of 4", {0x01, 0x01, 0x00, 0x03}, "Invalid STUN stream: a message cannot start with type 0x0101 and length 3"},
  };
  for (const auto& g : cases) {
    SCOPED_TRACE(g.Name);
    TEvents events;
    TqynSTUNClient client;
    events.Attach(client);
    TFakeTCPServer server([&g](const TFakeTCPServer::TConnection& c, const TRequest&, int) { c.Send(g.Bytes); });
    PointAt(client, server.Port());
    client.SetTransport(stunTCP);
    client.SendRequest();
    ASSERT_TRUE(WaitUntil([&] { return events.HasException(g.Text); }));
    ASSERT_TRUE(WaitUntil([&] { return server.ClosedByClient() == 1; })) << "the connection is closed";
    EXPECT_FALSE(client.GetTCPClient()->Active());
    EXPECT_EQ(events.SuccessCount(), 0u);
    EXPECT_EQ(TableCount(client), 1) << "the request stays pending";
  }
}

TEST_F(TcpClient, AValidMessageBeforeGarbageIsDeliveredFirst) {
  TFakeTCPServer server([](const TFakeTCPServer::TConnection& c, const TRequest& r, int) {
    c.Send(Concat(SuccessBytes(r, 4000), TqynBytes{0xFF, 0xFF, 0xFF, 0xFF}));
  });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 && Events.ExceptionCount() >= 1; }));
  EXPECT_EQ(Events.ExceptionText(0), "Invalid STUN stream: a message cannot start with type 0xffff and length 65535");
  ASSERT_TRUE(WaitUntil([&] { return server.ClosedByClient() == 1; }));
}

TEST_F(TcpClient, AMessageCutByTheEndOfAConnectionDoesNotSpillIntoTheNext) {
  // The first connection ends after part of an answer; its bytes must not prefix the stream of
  // the second connection.
  TFakeTCPServer server([](const TFakeTCPServer::TConnection& c, const TRequest& r, int aIndex) {
    const TqynBytes answer = SuccessBytes(r, 5000);
    if (aIndex == 0) {
      c.Send(answer.data(), 10);
      c.Close();
      return;
    }
    c.Send(answer);
  });
  Start(server.Port());
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1 && !Client.GetTCPClient()->Active(); }));
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  EXPECT_EQ(Events.Success(0).TransactionId, server.Received(1).TransactionId);
  EXPECT_EQ(Events.Success(0).Binding.FRemotePort, 5000);
  EXPECT_EQ(server.Accepted(), 2);
  for (size_t i = 0; i < Events.ExceptionCount(); ++i)
    EXPECT_EQ(Events.ExceptionText(i).find("Invalid"), std::string::npos) << Events.ExceptionText(i);
  EXPECT_EQ(TableCount(Client), 1) << "the first request is still pending";
}

TEST_F(TcpClient, NoServerListening) {
  uint16_t port;
  {
    // A port that was free a moment ago.
    TFakeTCPServer probe({});
    port = probe.Port();
  }
  Start(port);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ExceptionCount() >= 1; }));
  EXPECT_EQ(Events.SuccessCount(), 0u);
  EXPECT_EQ(TableCount(Client), 1) << "the request is still recorded";
  EXPECT_FALSE(Client.GetTCPClient()->Active());
}

} // namespace
