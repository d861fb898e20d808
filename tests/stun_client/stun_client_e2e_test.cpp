// qyn-test-labels: net
// qyn-test-libs: qyn_stun_client qyn_stun_server
//
// The STUN client against this system's own STUN server component over loopback: Binding
// without authentication, with the long-term credential mechanism (challenge, signed request,
// signed answer), with FINGERPRINT, and with both components' events queued to the main thread.
#include <gtest/gtest.h>

#include "qynP2P_STUN_Server.h"
#include "stun_client/stun_client_test_util.h"

namespace {

using namespace stun_client_test;

const std::string kUser = "qyn_user";
const std::string kPassword = "kiwi_tea";

struct EndToEnd : ::testing::Test {
  std::atomic<int> ServerExceptions{0};
  std::atomic<int> Authorizations{0};
  TEvents Events;
  TqynSTUNServer_Base Server;
  TqynSTUNClient Client;
  TIdPort ServerPort = 0;

  void StartServer(bool aLongTerm, TwsNotifyEvent aMode = neNoSync) {
    Server.SetNotifyEvents(aMode);
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception&) { ++ServerExceptions; };
    if (aLongTerm) {
      Server.STUNOptions().Authentication.Enabled = true;
      Server.STUNOptions().Authentication.LongTermCredentials.Enabled = true;
      Server.OnSTUNRequestAuthorization = [this](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername,
                                                 const std::string&, std::string& Password) {
        ++Authorizations;
        if (aUsername == kUser) Password = kPassword;
      };
    }
    Server.SetHost("127.0.0.1");
    Server.SetPort(0);
    Server.SetActive(true);
    ASSERT_TRUE(Server.Active());
    ServerPort = Server.Bindings().Items(0)->Port();
    ASSERT_NE(ServerPort, 0);
  }
  void StartClient(bool aLongTerm, TwsNotifyEvent aMode = neNoSync) {
    Events.Attach(Client);
    Client.SetNotifyEvents(aMode);
    Client.SetHost("127.0.0.1");
    Client.SetPort(ServerPort);
    if (aLongTerm) {
      Client.STUNOptions().Authentication.Credentials = stauLongTermCredential;
      Client.STUNOptions().Authentication.Username = kUser;
      Client.STUNOptions().Authentication.Password = kPassword;
    }
  }
  void ExpectReflexiveAddress() {
    ASSERT_EQ(Events.SuccessCount(), 1u);
    const auto s = Events.Success(0);
    EXPECT_EQ(s.Binding.FRemoteIP, "127.0.0.1");
    EXPECT_EQ(s.Binding.FRemotePort, ClientUDPPort(Client));
    EXPECT_NE(s.Binding.FRemotePort, 0);
    EXPECT_EQ(s.Binding.FIPVersion, ipV4);
    EXPECT_EQ(s.SocketPort, ServerPort);
    EXPECT_EQ(Events.ErrorCount(), 0u);
    EXPECT_EQ(Events.ExceptionCount(), 0u);
    EXPECT_EQ(ServerExceptions.load(), 0);
  }
};

TEST_F(EndToEnd, BindingWithoutAuthentication) {
  StartServer(false);
  StartClient(false);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  ExpectReflexiveAddress();
  ASSERT_TRUE(WaitUntil([&] { return TableCount(Client) == 0; }));
}

TEST_F(EndToEnd, BindingWithLongTermCredentials) {
  StartServer(true);
  StartClient(true);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  ExpectReflexiveAddress();
  EXPECT_EQ(Client.Realm(), "Qynwire");
  EXPECT_FALSE(Client.Nonce().empty());
  EXPECT_GE(Authorizations.load(), 1);

  // The next request carries the credentials at once and is answered without a challenge.
  const int before = Authorizations.load();
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 2; }));
  EXPECT_EQ(Authorizations.load(), before + 1);
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

TEST_F(EndToEnd, BindingWithLongTermCredentialsAndFingerprint) {
  StartServer(true);
  Server.STUNOptions().Fingerprint = true;
  StartClient(true);
  Client.STUNOptions().Fingerprint = true;
  Client.STUNOptions().Software = true;
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1; }));
  ExpectReflexiveAddress();
}

TEST_F(EndToEnd, WithoutCredentialsTheChallengeIsReported) {
  StartServer(true);
  StartClient(false);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  EXPECT_EQ(Events.SuccessCount(), 0u);
}

TEST_F(EndToEnd, EventsQueuedToTheMainThreadOnBothSides) {
  TqynMainThread::SetMainThread();
  StartServer(true, neAsynchronous);
  StartClient(true, neAsynchronous);
  Client.SendRequest();
  ASSERT_TRUE(DrainUntil([&] { return Events.SuccessCount() == 1; }));
  ExpectReflexiveAddress();
}

} // namespace
