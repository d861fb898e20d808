// qyn-test-labels: unit
// qyn-test-libs: qyn_stun_server
//
// The STUN server as a component: defaults, properties forwarded to the owned UDP server, log
// file settings, option records and their Assign.

#include <gtest/gtest.h>

#include "qynP2P_STUN_Server.h"
#include "qynUDP_Server.h"

namespace {

TEST(StunServerComponent, Defaults) {
  TqynSTUNServer_Base server;
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.Host(), "");
  EXPECT_EQ(server.Port(), 3478);
  EXPECT_EQ(server.IPVersion(), Id_IPv4);
  EXPECT_EQ(server.NotifyEvents(), neNoSync);
  EXPECT_FALSE(server.LogFile().Enabled);
  EXPECT_EQ(server.LogFile().FileName, "");
  EXPECT_EQ(server.Version(), "4.5.2");

  const TqynSTUNServer_Options& o = server.STUNOptions();
  EXPECT_FALSE(o.Fingerprint);
  EXPECT_TRUE(o.Software);
  EXPECT_FALSE(o.Authentication.Enabled);
  EXPECT_FALSE(o.Authentication.LongTermCredentials.Enabled);
  EXPECT_EQ(o.Authentication.LongTermCredentials.Realm, "Qynwire");
  EXPECT_EQ(o.Authentication.LongTermCredentials.StaleNonce, 600);
  EXPECT_FALSE(o.Authentication.ShortTermCredentials.Enabled);
  EXPECT_TRUE(o.BindingAttributes.MappedAddressRFC3489);
  EXPECT_TRUE(o.BindingAttributes.OtherAddress);
  EXPECT_TRUE(o.BindingAttributes.ResponseOrigin);
  EXPECT_TRUE(o.BindingAttributes.SourceAddress);
  EXPECT_FALSE(o.BindingAttributes.AlternateServer.Enabled);
  EXPECT_EQ(o.BindingAttributes.AlternateServer.IPAddress, "");
  EXPECT_EQ(o.BindingAttributes.AlternateServer.Port, 3478);
  EXPECT_EQ(o.BindingAttributes.AlternateServer.Family, ipV4);
  EXPECT_EQ(o.BindingAttributes.AlternateServer.Domain, "");
}

TEST(StunServerComponent, PropertiesReachTheUDPServerBeforeAndAfterItExists) {
  TqynSTUNServer_Base server;
  server.SetHost("127.0.0.1");
  server.SetPort(0);
  server.SetIPVersion(Id_IPv6);
  server.SetNotifyEvents(neAsynchronous);
  TqynUDPServer_Base* udp = server.GetUDPServer();
  ASSERT_NE(udp, nullptr);
  EXPECT_EQ(udp, server.GetUDPServer());
  EXPECT_EQ(udp->Host(), "127.0.0.1");
  EXPECT_EQ(udp->Port(), 0);
  EXPECT_EQ(udp->IPVersion(), Id_IPv6);
  EXPECT_EQ(udp->NotifyEvents(), neAsynchronous);
  EXPECT_TRUE(udp->OnUDPRead);
  EXPECT_TRUE(udp->OnUDPException);

  server.SetHost("::1");
  server.SetPort(3479);
  server.SetIPVersion(Id_IPv4);
  server.SetNotifyEvents(neNoSync);
  EXPECT_EQ(udp->Host(), "::1");
  EXPECT_EQ(udp->Port(), 3479);
  EXPECT_EQ(udp->IPVersion(), Id_IPv4);
  EXPECT_EQ(udp->NotifyEvents(), neNoSync);
  EXPECT_EQ(server.Host(), "::1");
  EXPECT_EQ(server.Port(), 3479);
  EXPECT_EQ(&server.Bindings(), &udp->Bindings());
}

TEST(StunServerComponent, UDPServerExceptionsReachTheSTUNExceptionEvent) {
  TqynSTUNServer_Base server;
  std::vector<std::string> seen;
  server.OnSTUNException = [&](TqynComponent_Base* Sender, const Exception& E) {
    EXPECT_EQ(Sender, &server);
    seen.push_back(E.Message());
  };
  TqynUDPServer_Base* udp = server.GetUDPServer();
  udp->OnUDPException(udp, nullptr, Exception("socket trouble"));
  EXPECT_EQ(seen, std::vector<std::string>{"socket trouble"});
}

TEST(StunServerComponent, LogFileSettingsGoToTheUDPServerOnEachFetch) {
  TqynSTUNServer_Base server;
  TqynSTUNLogFile log;
  log.Enabled = false;
  log.FileName = "/tmp/qyn_stun_a.log";
  server.SetLogFile(log);
  EXPECT_EQ(server.LogFile().FileName, "/tmp/qyn_stun_a.log");
  log.FileName = "changed";
  EXPECT_EQ(server.LogFile().FileName, "/tmp/qyn_stun_a.log"); // a copy

  TqynUDPServer_Base* udp = server.GetUDPServer();
  EXPECT_FALSE(udp->LogFile().Enabled);
  EXPECT_EQ(udp->LogFile().FileName, "/tmp/qyn_stun_a.log");

  // The file name follows while the UDP log is off; once it is on, only Enabled follows.
  server.LogFile().Enabled = true;
  server.LogFile().FileName = "/tmp/qyn_stun_b.log";
  server.GetUDPServer();
  EXPECT_TRUE(udp->LogFile().Enabled);
  EXPECT_EQ(udp->LogFile().FileName, "/tmp/qyn_stun_b.log");
  server.LogFile().FileName = "/tmp/qyn_stun_c.log";
  server.GetUDPServer();
  EXPECT_EQ(udp->LogFile().FileName, "/tmp/qyn_stun_b.log");
  server.LogFile().Enabled = false;
  server.GetUDPServer();
  EXPECT_FALSE(udp->LogFile().Enabled);
}

TEST(StunServerComponent, AddAndRemoveBindingForwardToTheUDPServer) {
  TqynSTUNServer_Base server;
  TIdSocketHandle* b = server.AddBinding("127.0.0.1", 0);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Name(), "");
  EXPECT_EQ(server.Bindings().Count(), 1);
  EXPECT_FALSE(server.RemoveBinding("127.0.0.2", 1));
  EXPECT_TRUE(server.RemoveBinding("127.0.0.1", 0));
  EXPECT_EQ(server.Bindings().Count(), 0);
}

TEST(StunServerOptions, AssignCopiesNestedValuesWithoutSharing) {
  TqynSTUNServer_Options a;
  a.Fingerprint = true;
  a.Software = false;
  a.Authentication.Enabled = true;
  a.Authentication.LongTermCredentials.Enabled = true;
  a.Authentication.LongTermCredentials.Realm = "other";
  a.Authentication.LongTermCredentials.StaleNonce = 5;
  a.Authentication.ShortTermCredentials.Enabled = true;
  a.BindingAttributes.MappedAddressRFC3489 = false;
  a.BindingAttributes.OtherAddress = false;
  a.BindingAttributes.ResponseOrigin = false;
  a.BindingAttributes.SourceAddress = false;
  a.BindingAttributes.AlternateServer.Enabled = true;
  a.BindingAttributes.AlternateServer.IPAddress = "203.0.113.5";
  a.BindingAttributes.AlternateServer.Port = 1;
  a.BindingAttributes.AlternateServer.Family = ipV6;
  a.BindingAttributes.AlternateServer.Domain = "alt";

  TqynSTUNServer_Base server;
  server.SetSTUNOptions(a);
  a.Authentication.LongTermCredentials.Realm = "changed later";
  a.BindingAttributes.AlternateServer.Domain = "changed later";
  const TqynSTUNServer_Options& b = server.STUNOptions();
  EXPECT_TRUE(b.Fingerprint);
  EXPECT_FALSE(b.Software);
  EXPECT_TRUE(b.Authentication.Enabled);
  EXPECT_TRUE(b.Authentication.LongTermCredentials.Enabled);
  EXPECT_EQ(b.Authentication.LongTermCredentials.Realm, "other");
  EXPECT_EQ(b.Authentication.LongTermCredentials.StaleNonce, 5);
  EXPECT_TRUE(b.Authentication.ShortTermCredentials.Enabled);
  EXPECT_FALSE(b.BindingAttributes.MappedAddressRFC3489);
  EXPECT_FALSE(b.BindingAttributes.OtherAddress);
  EXPECT_FALSE(b.BindingAttributes.ResponseOrigin);
  EXPECT_FALSE(b.BindingAttributes.SourceAddress);
  EXPECT_TRUE(b.BindingAttributes.AlternateServer.Enabled);
  EXPECT_EQ(b.BindingAttributes.AlternateServer.IPAddress, "203.0.113.5");
  EXPECT_EQ(b.BindingAttributes.AlternateServer.Port, 1);
  EXPECT_EQ(b.BindingAttributes.AlternateServer.Family, ipV6);
  EXPECT_EQ(b.BindingAttributes.AlternateServer.Domain, "alt");

  // From the common STUN options only Fingerprint and Software are taken.
  TqynSTUN_Options common;
  common.Fingerprint = false;
  common.Software = true;
  server.STUNOptions().Assign(common);
  EXPECT_FALSE(b.Fingerprint);
  EXPECT_TRUE(b.Software);
  EXPECT_TRUE(b.Authentication.Enabled);

  // The nested records assign on their own too.
  TqynSTUNServer_Authentication auth;
  auth.Assign(b.Authentication);
  EXPECT_EQ(auth.LongTermCredentials.Realm, "other");
}

} // namespace
