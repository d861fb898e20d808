#include "qynRelayKeeper_Server.h"

#include <cstdint>
#include <limits>
#include <vector>

#include "qynId_Sockets.h"
#include "qynMessages.h"
#include "qynRelayKeeper_RestAuth.h"

void ApplyRelayKeeperDesignSettings(TqynTURNServer& aServer) {
  aServer.SetActive(false);
  aServer.SetPort(3478);
  aServer.SetIPVersion(Id_IPv4);
  aServer.SetNotifyEvents(neNoSync);

  TqynSTUNServer_Options& stun = aServer.STUNOptions();
  stun.Fingerprint = false;
  stun.Software = true;
  stun.Authentication.Enabled = false;
  stun.Authentication.LongTermCredentials.Realm = RS_STUNDefaultRealm;
  stun.Authentication.LongTermCredentials.StaleNonce = 600;
  TqynSTUNServer_BindingAttributes& binding = stun.BindingAttributes;
  binding.AlternateServer.Enabled = false;
  binding.AlternateServer.Family = ipV4;
  binding.AlternateServer.Port = 3478;
  binding.MappedAddressRFC3489 = true;
  binding.OtherAddress = true;
  binding.ResponseOrigin = true;
  binding.SourceAddress = true;

  TqynSTUNLogFile log = aServer.LogFile();
  log.Enabled = false;
  aServer.SetLogFile(log);

  TqynTURNServer_Options& turn = aServer.TURNOptions();
  turn.Fingerprint = true;
  turn.Software = true;
  turn.Allocation.DefaultLifeTime = 600;
  turn.Allocation.MaxLifeTime = 3600;
  turn.Allocation.MinPort = 49152;
  turn.Allocation.MaxPort = 65535;
  turn.Allocation.MaxUserAllocations = 0;
  turn.Authentication.Enabled = true;
  turn.Authentication.LongTermCredentials.Enabled = true;
  turn.Authentication.LongTermCredentials.Realm = RS_STUNDefaultRealm;
  turn.Authentication.LongTermCredentials.StaleNonce = 600;
  turn.Authentication.ShortTermCredentials.Enabled = false;
}

int DropRelayKeeperAllocations(TqynTURNServer& aServer) {
  TqynTURNAllocationsQueue* table = aServer.GetAllocations();
  // Every item has expired by the end of time: the scan takes them all out.
  const std::vector<TqynTURNAllocationRef> dropped =
      table->TakeExpired(std::numeric_limits<TqynDateTime>::max(), [](TqynTURNAllocationItem*) {});
  for (const TqynTURNAllocationRef& a : dropped) {
    aServer.RemoveBinding(a->RelayIP(), a->RelayPort());
    a->SetRelayBound(false);
    table->RelayReleased(a->RelayIP(), a->RelayPort());
  }
  return static_cast<int>(dropped.size());
}

bool StartRelayKeeperServer(TqynTURNServer& aServer, const TqynRelayKeeperStart& aStart) {
  if (aServer.Active()) aServer.SetActive(false);
  DropRelayKeeperAllocations(aServer);
  aServer.SetNotifyEvents(aStart.NotifyEvents);
  aServer.SetHost(aStart.Host);
  aServer.SetPort(aStart.Port);
  aServer.Bindings().Clear();
  aServer.AddBinding(aStart.Host, aStart.Port);
  aServer.STUNOptions().Authentication.Enabled = false;
  TqynSTUNServer_Authentication& auth = aServer.TURNOptions().Authentication;
  auth.Enabled = aStart.LongTermCredentials;
  auth.LongTermCredentials.Enabled = aStart.LongTermCredentials;
  auth.LongTermCredentials.Realm = aStart.Realm;
  aServer.SetActive(true);
  return aServer.Active();
}

std::string ListenFailureText(const std::string& aHost, TIdPort aPort) {
  std::string reason;
  try {
    TIdSocketHandle probe;
    probe.SetIP(aHost);
    probe.SetPort(aPort);
    probe.SetIPVersion(IdIPVersionOfText(aHost));
    probe.AllocateSocket();
    probe.Bind();
  } catch (const Exception& E) {
    reason = E.Message();
  } catch (const std::exception& E) {
    reason = E.what();
  }
  if (reason.empty()) return QynFormat(RS_CanNotListenUnknown, aHost, static_cast<int>(aPort));
  for (char& c : reason)
    if (c == '\r' || c == '\n') c = ' ';
  std::string single;
  for (char c : reason)
    if (!(c == ' ' && !single.empty() && single.back() == ' ')) single += c;
  return QynFormat(RS_CanNotListen, aHost, static_cast<int>(aPort), single);
}

std::string StartServerLine() { return RS_LogStartServer; }
std::string StopServerLine() { return RS_LogStopServer; }
std::string ExceptionLine(const std::string& aMessage) { return QynFormat(RS_LogException, aMessage); }

std::string NewAllocationLine(const TqynTURNAllocationItem& aAllocation) {
  return QynFormat(RS_LogNewAllocation, aAllocation.RelayIP(), static_cast<int>(aAllocation.RelayPort()));
}

std::string DeletedAllocationLine(const TqynTURNAllocationItem& aAllocation) {
  return QynFormat(RS_LogDeletedAllocation, aAllocation.RelayIP(), static_cast<int>(aAllocation.RelayPort()));
}

namespace {
std::string SocketIP(const TqynSocketConnection* aSocket) { return aSocket ? aSocket->IP() : std::string("?"); }
int SocketPort(const TqynSocketConnection* aSocket) { return aSocket ? static_cast<int>(aSocket->Port()) : 0; }
} // namespace

std::string MessageDiscardedLine(const TqynSocketConnection* aSocket, TqynStunMessageMethod aMethod, const std::string& aReason) {
  return QynFormat(RS_LogMessageDiscarded, StunMethodName(aMethod), SocketIP(aSocket), SocketPort(aSocket), aReason);
}

std::string ChannelDataDiscardedLine(const TqynSocketConnection* aSocket, const std::string& aReason) {
  return QynFormat(RS_LogChannelDataDiscarded, SocketIP(aSocket), SocketPort(aSocket), aReason);
}

std::string RequestRefusedLine(const TqynSocketConnection* aSocket, const TqynSTUN_Message* aRequest,
                               const TqynSTUN_Message* aResponse) {
  int code = 0;
  std::string reason;
  if (aResponse) {
    if (const auto* e = aResponse->Attributes().GetAttribute<TqynSTUN_Attribute_ERROR_CODE>(stmaError_Code)) {
      code = e->Code();
      reason = e->Reason();
    }
  }
  const TqynStunMessageMethod method = aRequest ? aRequest->Header().MessageType_Method() : stmmUnknown;
  return QynFormat(RS_LogRequestRefused, StunMethodName(method), SocketIP(aSocket), SocketPort(aSocket), code, reason);
}

const char* StunMethodName(TqynStunMessageMethod aMethod) noexcept {
  switch (aMethod) {
  case stmmBinding: return "Binding";
  case stmmAllocate: return "Allocate";
  case stmmRefresh: return "Refresh";
  case stmmSend: return "Send";
  case stmmData: return "Data";
  case stmmCreatePermission: return "CreatePermission";
  case stmmChannelBind: return "ChannelBind";
  default: return "Unknown";
  }
}

std::string RelayKeeperPassword(const std::string& aUsername, const std::string& aRealm, const std::string& aUser,
                                const std::string& aServerRealm, const std::string& aPassword) {
  if (aUsername != aUser || aRealm != aServerRealm) return std::string();
  return aPassword;
}

std::string RelayKeeperPassword(const std::string& aUsername, const std::string& aRealm, const std::string& aUser,
                                const std::string& aServerRealm, const std::string& aPassword, const std::string& aSecret) {
  int64_t expiry = 0;
  if (aSecret.empty() || !ParseTimeLimitedUsername(aUsername, expiry))
    return RelayKeeperPassword(aUsername, aRealm, aUser, aServerRealm, aPassword);
  if (aRealm != aServerRealm) return std::string();
  return TimeLimitedPassword(aSecret, aUsername);
}
