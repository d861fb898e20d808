// The UDP client on one socket handle; a proxy that is enabled stops every send and receive.
#include "qynId_UDPClient.h"

#include "qynId_Properties.h"
#include "qynMessages.h"

TIdUDPClient::TIdUDPClient() = default;

TIdUDPClient::~TIdUDPClient() {
  std::lock_guard<std::mutex> g(FBindingLock);
  if (FBinding) FBinding->CloseSocket();
}

QYN_PROP_GET(TIdUDPClient, std::string, Host, FHost)
QYN_PROP_GET(TIdUDPClient, TIdPort, Port, FPort)
QYN_PROP_GET(TIdUDPClient, TIdIPVersion, IPVersion, FIPVersion)
QYN_PROP_GET(TIdUDPClient, std::string, BoundIP, FBoundIP)
QYN_PROP_SET(TIdUDPClient, const std::string&, SetBoundIP, FBoundIP)
QYN_PROP_GET(TIdUDPClient, TIdPort, BoundPort, FBoundPort)
QYN_PROP_SET(TIdUDPClient, TIdPort, SetBoundPort, FBoundPort)
QYN_PROP_GET(TIdUDPClient, TIdPort, BoundPortMin, FBoundPortMin)
QYN_PROP_SET(TIdUDPClient, TIdPort, SetBoundPortMin, FBoundPortMin)
QYN_PROP_GET(TIdUDPClient, TIdPort, BoundPortMax, FBoundPortMax)
QYN_PROP_SET(TIdUDPClient, TIdPort, SetBoundPortMax, FBoundPortMax)

#undef QYN_PROP_GET
#undef QYN_PROP_SET

void TIdUDPClient::SetHost(const std::string& aValue) {
  if (Connected()) Disconnect();
  std::lock_guard<std::mutex> g(FPropLock);
  FHost = aValue;
}

void TIdUDPClient::SetPort(TIdPort aValue) {
  if (Connected()) Disconnect();
  std::lock_guard<std::mutex> g(FPropLock);
  FPort = aValue;
}

void TIdUDPClient::SetIPVersion(TIdIPVersion aValue) {
  if (Connected()) Disconnect();
  std::lock_guard<std::mutex> g(FPropLock);
  FIPVersion = aValue;
}

void TIdUDPClient::CheckProxy() const {
  if (FTransparentProxy.Enabled) throw EIdMustUseOpenProxy(RS_MustUseOpenProxy);
}

TIdSocketHandle* TIdUDPClient::Binding() {
  std::lock_guard<std::mutex> g(FBindingLock);
  if (!FBinding) FBinding = std::make_unique<TIdSocketHandle>();
  if (!FBinding->HandleAllocated()) {
    FBinding->SetIPVersion(IPVersion());
    FBinding->AllocateSocket(Id_SOCK_DGRAM);
    try {
      FBinding->SetIP(BoundIP());
      FBinding->SetPort(BoundPort());
      FBinding->SetClientPortMin(BoundPortMin());
      FBinding->SetClientPortMax(BoundPortMax());
      FBinding->Bind();
    } catch (...) {
      FBinding->CloseSocket();
      throw;
    }
  }
  return FBinding.get();
}

void TIdUDPClient::Connect() {
  if (Connected()) Disconnect();
  CheckProxy();
  const std::string host = Host();
  const TIdIPVersion version = IdIPVersionOfText(host) == Id_IPv6 ? Id_IPv6 : IPVersion();
  std::string ip = host;
  if (GStack().MakeCanonicalIPv6Address(host).empty() && !GStack().IsIP(host)) ip = GStack().ResolveHost(host, version);
  TIdSocketHandle* b = Binding();
  b->SetPeer(ip, Port(), version);
  b->Connect();
  FConnected.store(true);
  if (OnConnected) OnConnected(this);
}

void TIdUDPClient::Disconnect() {
  if (!FConnected.exchange(false)) return;
  {
    std::lock_guard<std::mutex> g(FBindingLock);
    if (FBinding) FBinding->Disconnect();
  }
  if (OnDisconnected) OnDisconnected(this);
}

void TIdUDPClient::SendBuffer(const TIdBytes& aBuffer) {
  CheckProxy();
  if (Connected()) {
    Binding()->Send(aBuffer);
    return;
  }
  const TIdIPVersion version = IPVersion();
  Binding()->SendTo(GStack().ResolveHost(Host(), version), Port(), version, aBuffer);
}

void TIdUDPClient::SendBuffer(const std::string& aHost, TIdPort aPort, const TIdBytes& aBuffer) {
  SendBuffer(aHost, aPort, aBuffer, IPVersion());
}

void TIdUDPClient::SendBuffer(const std::string& aHost, TIdPort aPort, const TIdBytes& aBuffer, TIdIPVersion aIPVersion) {
  CheckProxy();
  Binding()->SendTo(GStack().ResolveHost(aHost, aIPVersion), aPort, aIPVersion, aBuffer);
}

int TIdUDPClient::ReceiveBuffer(TIdBytes& aBuffer, int aMSec, std::string& VPeerIP, TIdPort& VPeerPort) {
  TIdIPVersion version;
  return ReceiveBuffer(aBuffer, aMSec, VPeerIP, VPeerPort, version);
}

int TIdUDPClient::ReceiveBuffer(TIdBytes& aBuffer, int aMSec, std::string& VPeerIP, TIdPort& VPeerPort, TIdIPVersion& VIPVersion) {
  VPeerIP.clear();
  VPeerPort = 0;
  VIPVersion = IPVersion();
  CheckProxy();
  int wait = aMSec;
  if (aMSec == IdTimeoutDefault) {
    const int rt = ReceiveTimeout();
    wait = rt > 0 ? rt : IdTimeoutInfinite;
  }
  return Binding()->RecvFrom(aBuffer, VPeerIP, VPeerPort, VIPVersion, wait);
}

int TIdUDPClient::ReceiveBuffer(TIdBytes& aBuffer, int aMSec) {
  std::string ip;
  TIdPort port;
  return ReceiveBuffer(aBuffer, aMSec, ip, port);
}

void TIdUDPClient::Wakeup() {
  std::lock_guard<std::mutex> g(FBindingLock);
  if (FBinding) FBinding->Wakeup();
}
