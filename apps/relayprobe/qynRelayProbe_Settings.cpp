#include "qynRelayProbe_Settings.h"

#include "qynRelayProbe_RestCredentials.h"

void ApplyRelayProbeDesignSettings(TqynTURNClient_Base& aClient) {
  aClient.SetHost("127.0.0.1");
  aClient.SetPort(3478);
  aClient.SetIPVersion(Id_IPv4);
  TqynSTUNPRetransmissionClient_Options& r = aClient.RetransmissionOptions();
  r.Enabled = true;
  r.MaxRetries = 7;
  r.RTO = 500;
  TqynSTUNClient_Options& stun = aClient.STUNOptions();
  stun.Fingerprint = false;
  stun.Software = false;
  stun.Authentication.Credentials = stauNone;
  aClient.SetTransport(stunUDP);
  aClient.LogFile().Enabled = false;
  aClient.SetNotifyEvents(neAsynchronous);
  TqynTURNClient_Options& turn = aClient.TURNOptions();
  turn.Fingerprint = true;
  turn.Software = false;
  turn.Authentication.Credentials = stauLongTermCredential;
  turn.Allocation.Lifetime = 600;
  turn.AutoRefresh.Enabled = false;
  turn.AutoRefresh.Allocations.Enabled = true;
  turn.AutoRefresh.Permissions.Enabled = true;
  turn.AutoRefresh.Channels.Enabled = true;
}

void ApplyRelayProbeOptions(TqynTURNClient_Base& aClient, const TqynRelayProbeOptions& aOptions, int64_t aUnixNow) {
  aClient.SetIPVersion(aOptions.Host.find(':') != std::string::npos ? Id_IPv6 : Id_IPv4);
  aClient.SetHost(aOptions.Host);
  aClient.SetPort(aOptions.Port);
  aClient.SetTransport(aOptions.TCP ? stunTCP : stunUDP);
  TqynSTUNPRetransmissionClient_Options& r = aClient.RetransmissionOptions();
  r.Enabled = aOptions.Retransmissions;
  r.RTO = aOptions.RTO;
  r.MaxRetries = aOptions.MaxRetries;
  aClient.STUNOptions().Authentication.Credentials = stauNone;
  TqynTURNClient_Options& turn = aClient.TURNOptions();
  turn.Authentication.Credentials = aOptions.Credentials ? stauLongTermCredential : stauNone;
  turn.Fingerprint = aOptions.Credentials;
  if (aOptions.AuthSecret.empty()) {
    turn.Authentication.Username = aOptions.User;
    turn.Authentication.Password = aOptions.Password;
    return;
  }
  const TqynRelayProbeRestCredentials rest = RelayProbeRestCredentials(aOptions.AuthSecret, aOptions.User, aUnixNow);
  turn.Authentication.Username = rest.Username;
  turn.Authentication.Password = rest.Password;
}
