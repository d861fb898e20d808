// qyn-test-labels: interop
// qyn-test-libs: qyn_stun_client
//
// The STUN client against coturn's turnserver, started by each test on a free loopback port and
// stopped by its process id: Binding over UDP and TCP, anonymous and with the long-term
// credential mechanism (turnserver --secure-stun makes Binding require it), and wrong
// credentials ending in one reported error.
#include <gtest/gtest.h>

#include "qynTCP_Client.h"
#include "qyn_test_coturn.h"
#include "stun_client/stun_client_test_util.h"

namespace {

using namespace stun_client_test;
using namespace qyn_test_coturn;

const std::string kUser = "qyn_user";
const std::string kPassword = "kiwi_tea";
const std::string kRealm = "Qynwire";

struct Coturn : ::testing::Test {
  TEvents Events;
  TqynSTUNClient Client;

  void SetUp() override {
    if (!TTurnServer::Installed()) GTEST_SKIP() << "turnserver (package coturn) is not installed";
    Events.Attach(Client);
  }
  void Start(const TTurnServer& aServer, bool aCredentials, TqynSTUNTransport aTransport = stunUDP) {
    ASSERT_TRUE(aServer.Ready()) << "turnserver did not start";
    PointAt(Client, aServer.Port());
    Client.SetTransport(aTransport);
    if (aCredentials) {
      Client.STUNOptions().Authentication.Credentials = stauLongTermCredential;
      Client.STUNOptions().Authentication.Username = kUser;
      Client.STUNOptions().Authentication.Password = kPassword;
    }
  }
  void ExpectMappedAddress(TIdPort aLocalPort) {
    ASSERT_EQ(Events.SuccessCount(), 1u);
    const auto s = Events.Success(0);
    EXPECT_EQ(s.Binding.FRemoteIP, "127.0.0.1");
    EXPECT_EQ(s.Binding.FRemotePort, aLocalPort);
    EXPECT_NE(aLocalPort, 0);
    EXPECT_EQ(s.Binding.FIPVersion, ipV4);
    EXPECT_EQ(Events.ErrorCount(), 0u);
    EXPECT_EQ(Events.ExceptionCount(), 0u) << (Events.ExceptionCount() ? Events.ExceptionText(0) : "");
  }
};

TEST_F(Coturn, AnonymousBindingOverUDP) {
  TTurnServer server(/*aSecureStun=*/false, /*aTCP=*/false);
  Start(server, false);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  ExpectMappedAddress(ClientUDPPort(Client));
}

TEST_F(Coturn, LongTermCredentialsWithoutSecureStunAreNotAskedForBinding) {
  // With --lt-cred-mech alone coturn answers Binding anonymously: no challenge, nothing learned.
  TTurnServer server(false, false);
  Start(server, true);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  ExpectMappedAddress(ClientUDPPort(Client));
  EXPECT_EQ(Client.Realm(), "");
}

TEST_F(Coturn, SecureStunBindingWithLongTermCredentialsOverUDP) {
  TTurnServer server(/*aSecureStun=*/true, false);
  Start(server, true);
  Client.STUNOptions().Fingerprint = true;
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  ExpectMappedAddress(ClientUDPPort(Client));
  EXPECT_EQ(Client.Realm(), kRealm);
  EXPECT_FALSE(Client.Nonce().empty());
  // coturn signs the answer; the client checked it with the key stored for the request.
  const auto types = Events.Success(0).Types;
  EXPECT_NE(std::find(types.begin(), types.end(), stmaMesssage_Integrity), types.end());
  EXPECT_EQ(types.back(), stmaFingerprint);
}

TEST_F(Coturn, SecureStunBindingWithLongTermCredentialsAndNoFingerprint) {
  TTurnServer server(true, false);
  Start(server, true);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  ExpectMappedAddress(ClientUDPPort(Client));
}

TEST_F(Coturn, SecureStunWithoutCredentialsReportsTheChallenge) {
  TTurnServer server(true, false);
  Start(server, false);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  EXPECT_EQ(Events.SuccessCount(), 0u);
}

TEST_F(Coturn, SecureStunWithAWrongPasswordEndsInOneError) {
  TTurnServer server(true, false);
  Start(server, true);
  Client.STUNOptions().Authentication.Password = "not_the_password";
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Events.ErrorCount(), 1u);
  EXPECT_EQ(Events.SuccessCount(), 0u);
  EXPECT_EQ(TableCount(Client), 0);
}

TEST_F(Coturn, AnonymousBindingOverTCP) {
  TTurnServer server(false, /*aTCP=*/true);
  Start(server, false, stunTCP);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  const auto connection = Client.GetTCPClient()->Connection();
  ASSERT_TRUE(connection);
  ExpectMappedAddress(connection->LocalPort());
  EXPECT_EQ(Events.Success(0).Binding.FLocalPort, connection->LocalPort());
}

TEST_F(Coturn, SecureStunBindingWithLongTermCredentialsOverTCP) {
  TTurnServer server(true, true);
  Start(server, true, stunTCP);
  Client.STUNOptions().Fingerprint = true;
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  const auto connection = Client.GetTCPClient()->Connection();
  ASSERT_TRUE(connection);
  ExpectMappedAddress(connection->LocalPort());
  // Several requests on the one connection.
  Client.SendRequest();
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 3 || Events.ErrorCount() > 0; }));
  EXPECT_EQ(Events.ErrorCount(), 0u);
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

} // namespace
