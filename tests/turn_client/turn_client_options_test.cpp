// qyn-test-labels: unit
// qyn-test-libs: qyn_turn_client qyn_stun_client
//
// The TURN client's options: defaults, what Assign copies (not AutoRefresh), and the component
// keeping its own copy.
#include <gtest/gtest.h>

#include "qynP2P_TURN_Client.h"

namespace {

TEST(TURNClientOptions, Defaults) {
  TqynTURNClient client;
  const TqynTURNClient_Options& o = client.TURNOptions();
  EXPECT_TRUE(o.Fingerprint) << "set by the TURN client";
  EXPECT_FALSE(o.Software);
  EXPECT_EQ(o.Authentication.Credentials, stauNone);
  EXPECT_EQ(o.Allocation.Lifetime, 600u);
  EXPECT_TRUE(o.AutoRefresh.Enabled);
  EXPECT_TRUE(o.AutoRefresh.Allocations.Enabled);
  EXPECT_TRUE(o.AutoRefresh.Permissions.Enabled);
  EXPECT_TRUE(o.AutoRefresh.Channels.Enabled);
  EXPECT_FALSE(client.STUNOptions().Fingerprint) << "Binding keeps its own options";
  EXPECT_FALSE(client.AutoRefreshRunning());
  EXPECT_EQ(client.Allocation()->Permissions()->Lifetime(), 300);
  EXPECT_EQ(client.Allocation()->Channels()->Lifetime(), 600);
  EXPECT_EQ(client.Allocation()->Channels()->MinChannelID(), 0x4000);
  EXPECT_EQ(client.Allocation()->Channels()->MaxChannelID(), 0x4FFF);
}

TEST(TURNClientOptions, AssignCopiesValuesButNotAutoRefresh) {
  TqynTURNClient_Options source;
  source.Fingerprint = false;
  source.Software = true;
  source.Authentication.Credentials = stauLongTermCredential;
  source.Authentication.Username = "u";
  source.Authentication.Password = "p";
  source.Allocation.Lifetime = 1234;
  source.AutoRefresh.Enabled = false;
  source.AutoRefresh.Channels.Enabled = false;

  TqynTURNClient client;
  client.SetTURNOptions(source);
  const TqynTURNClient_Options& o = client.TURNOptions();
  EXPECT_FALSE(o.Fingerprint);
  EXPECT_TRUE(o.Software);
  EXPECT_EQ(o.Authentication.Credentials, stauLongTermCredential);
  EXPECT_EQ(o.Authentication.Username, "u");
  EXPECT_EQ(o.Authentication.Password, "p");
  EXPECT_EQ(o.Allocation.Lifetime, 1234u);
  EXPECT_TRUE(o.AutoRefresh.Enabled);
  EXPECT_TRUE(o.AutoRefresh.Channels.Enabled);
  source.Allocation.Lifetime = 1;
  EXPECT_EQ(client.TURNOptions().Allocation.Lifetime, 1234u) << "the component keeps its own copy";

  // From plain STUN options only Fingerprint and Software.
  TqynSTUN_Options plain;
  plain.Fingerprint = true;
  plain.Software = false;
  client.SetTURNOptions(plain);
  EXPECT_TRUE(client.TURNOptions().Fingerprint);
  EXPECT_FALSE(client.TURNOptions().Software);
  EXPECT_EQ(client.TURNOptions().Authentication.Username, "u");

  TqynTURNClientOptions_AutoRefresh refresh;
  refresh.Enabled = false;
  refresh.Permissions.Enabled = false;
  TqynTURNClientOptions_AutoRefresh target;
  target.Assign(refresh);
  EXPECT_FALSE(target.Enabled);
  EXPECT_FALSE(target.Permissions.Enabled);
  EXPECT_TRUE(target.Allocations.Enabled);
}

TEST(TURNClientOptions, TURNMethodsAndPeerFamilies) {
  for (TqynStunMessageMethod m : {stmmAllocate, stmmRefresh, stmmSend, stmmData, stmmCreatePermission, stmmChannelBind})
    EXPECT_TRUE(TqynTURNClient_Base::IsTURNMethod(m)) << static_cast<int>(m);
  EXPECT_FALSE(TqynTURNClient_Base::IsTURNMethod(stmmBinding));
  EXPECT_FALSE(TqynTURNClient_Base::IsTURNMethod(stmmUnknown));
  EXPECT_EQ(TqynTURNClient_Base::PeerFamily("192.0.2.1"), 1);
  EXPECT_EQ(TqynTURNClient_Base::PeerFamily("::1"), 2);
  EXPECT_EQ(TqynTURNClient_Base::PeerFamily("::ffff:192.0.2.1"), 2);
}

} // namespace
