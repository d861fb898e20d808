// The TCP client, its IO handler (reads into the input buffer, writes through the intercept) and
// the byte buffer.
#include "qynId_TCPClient.h"

#include <netinet/in.h>

#include <algorithm>

#include "qynId_Properties.h"
#include "qynMessages.h"

// ---------------------------------------------------------------------------------------------
// Byte buffer
// ---------------------------------------------------------------------------------------------

size_t TIdBuffer::Size() const {
  std::lock_guard<std::mutex> g(FLock);
  return FData.size() - FHead;
}

void TIdBuffer::Write(const void* aData, size_t aLength) {
  if (aLength == 0) return;
  std::lock_guard<std::mutex> g(FLock);
  const auto* p = static_cast<const uint8_t*>(aData);
  FData.insert(FData.end(), p, p + aLength);
}

size_t TIdBuffer::ExtractToBytes(TIdBytes& VBytes, int aByteCount, bool aAppend) {
  std::lock_guard<std::mutex> g(FLock);
  const size_t avail = FData.size() - FHead;
  const size_t count = aByteCount < 0 ? avail : std::min(avail, static_cast<size_t>(aByteCount));
  if (!aAppend) VBytes.clear();
  const auto first = FData.begin() + static_cast<std::ptrdiff_t>(FHead);
  VBytes.insert(VBytes.end(), first, first + static_cast<std::ptrdiff_t>(count));
  FHead += count;
  if (FHead == FData.size()) {
    FData.clear();
    FHead = 0;
  } else if (FHead > 65536 && FHead * 2 > FData.size()) {
    FData.erase(FData.begin(), FData.begin() + static_cast<std::ptrdiff_t>(FHead));
    FHead = 0;
  }
  return count;
}

void TIdBuffer::Clear() {
  std::lock_guard<std::mutex> g(FLock);
  FData.clear();
  FHead = 0;
}

// ---------------------------------------------------------------------------------------------
// IO handler
// ---------------------------------------------------------------------------------------------

TIdIOHandlerSocket::TIdIOHandlerSocket() = default;

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  FOpen.store(false);
  FBinding.CloseSocket();
}

bool TIdIOHandlerSocket::Connected() const { return FOpen.load() && !FClosedGracefully.load() && FBinding.HandleAllocated(); }

void TIdIOHandlerSocket::Opened(TIdTCPClient* aClient) {
  FInputBuffer.Clear();
  FClosedGracefully.store(false);
  FDisconnectReported.store(false);
  FClient.store(aClient);
  FOpen.store(true);
}

void TIdIOHandlerSocket::Close() {
  if (FOpen.exchange(false)) {
    if (TIdConnectionIntercept* i = Intercept()) i->Disconnect();
  }
  FBinding.CloseSocket();
}

bool TIdIOHandlerSocket::ReadFromSource() {
  std::lock_guard<std::mutex> g(FReadLock);
  TIdBytes chunk(32768);
  bool added = false;
  // Bounded per call, so a fast sender cannot keep one check going forever.
  for (int round = 0; round < 16; ++round) {
    int n;
    try {
      n = FBinding.Receive(chunk, 0);
    } catch (const EIdSocketError& E) {
      if (!FOpen.load() || !FBinding.HandleAllocated()) return added; // closed here meanwhile
      // The connection is gone (reset, ...): record it like a close, and raise the error.
      FClosedGracefully.store(true);
      throw;
    }
    if (n > 0) {
      TIdBytes data(chunk.begin(), chunk.begin() + n);
      if (TIdConnectionIntercept* i = Intercept()) i->Receive(data);
      FInputBuffer.Write(data);
      added = true;
      if (static_cast<size_t>(n) < chunk.size()) break;
      continue;
    }
    if (n == 0) FClosedGracefully.store(true);
    break;
  }
  return added;
}

bool TIdIOHandlerSocket::CheckForDataOnSource(int aMSec) {
  if (!Connected()) return false;
  if (!FBinding.Readable(aMSec)) return false;
  return ReadFromSource();
}

void TIdIOHandlerSocket::CheckForDisconnect(bool aRaiseExceptionIfDisconnected, bool aIgnoreBuffer) {
  const bool bufferDone = aIgnoreBuffer || FInputBuffer.IsEmpty();
  if (FClosedGracefully.load()) {
    if (!bufferDone) return;
    TIdTCPClient* const c = FClient.load();
    const uint64_t session = c ? c->Session() : 0; // the connection being closed
    Close();
    if (!FDisconnectReported.exchange(true)) {
      if (c) c->PeerDisconnected(session);
    }
    if (aRaiseExceptionIfDisconnected) throw EIdConnClosedGracefully(RS_ConnClosedGracefully);
    return;
  }
  if (!FOpen.load() || !FBinding.HandleAllocated()) {
    if (bufferDone && aRaiseExceptionIfDisconnected) throw EIdClosedSocket(RS_ClosedSocket);
  }
}

void TIdIOHandlerSocket::ReadBytes(TIdBytes& VBuffer, int aByteCount, bool aAppend) {
  if (!aAppend) VBuffer.clear();
  auto enough = [&] {
    const size_t have = FInputBuffer.Size();
    return aByteCount < 0 ? have > 0 : have >= static_cast<size_t>(aByteCount);
  };
  while (!enough()) {
    if (FClosedGracefully.load()) CheckForDisconnect(true, true);
    if (!Connected()) throw EIdClosedSocket(RS_ClosedSocket);
    const int t = ReadTimeout();
    if (!FBinding.Readable(t > 0 ? t : IdTimeoutInfinite)) {
      if (!Connected()) throw EIdClosedSocket(RS_ClosedSocket);
      throw EIdReadTimeout(RS_ReadTimeout);
    }
    ReadFromSource();
  }
  FInputBuffer.ExtractToBytes(VBuffer, aByteCount, true);
}

void TIdIOHandlerSocket::Write(const TIdBytes& aBuffer) {
  if (!Connected()) {
    if (FClosedGracefully.load()) throw EIdConnClosedGracefully(RS_ConnClosedGracefully);
    throw EIdClosedSocket(RS_ClosedSocket);
  }
  if (TIdConnectionIntercept* i = Intercept()) {
    TIdBytes data(aBuffer);
    i->Send(data);
    FBinding.Send(data);
  } else {
    FBinding.Send(aBuffer);
  }
}

// ---------------------------------------------------------------------------------------------
// TCP client
// ---------------------------------------------------------------------------------------------

TIdTCPClient::TIdTCPClient() = default;

TIdTCPClient::~TIdTCPClient() {
  // No events and no intercept calls from here: the objects they reach may be gone already.
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  if (FIOHandler) {
    FIOHandler->FOpen.store(false);
    FIOHandler->Binding()->CloseSocket();
  }
}

QYN_PROP_GET(TIdTCPClient, std::string, Host, FHost)
QYN_PROP_SET(TIdTCPClient, const std::string&, SetHost, FHost)
QYN_PROP_GET(TIdTCPClient, TIdPort, Port, FPort)
QYN_PROP_SET(TIdTCPClient, TIdPort, SetPort, FPort)
QYN_PROP_GET(TIdTCPClient, TIdIPVersion, IPVersion, FIPVersion)
QYN_PROP_SET(TIdTCPClient, TIdIPVersion, SetIPVersion, FIPVersion)
QYN_PROP_GET(TIdTCPClient, std::string, BoundIP, FBoundIP)
QYN_PROP_SET(TIdTCPClient, const std::string&, SetBoundIP, FBoundIP)
QYN_PROP_GET(TIdTCPClient, TIdPort, BoundPort, FBoundPort)
QYN_PROP_SET(TIdTCPClient, TIdPort, SetBoundPort, FBoundPort)
QYN_PROP_GET(TIdTCPClient, TIdPort, BoundPortMin, FBoundPortMin)
QYN_PROP_SET(TIdTCPClient, TIdPort, SetBoundPortMin, FBoundPortMin)
QYN_PROP_GET(TIdTCPClient, TIdPort, BoundPortMax, FBoundPortMax)
QYN_PROP_SET(TIdTCPClient, TIdPort, SetBoundPortMax, FBoundPortMax)

#undef QYN_PROP_GET
#undef QYN_PROP_SET

TIdIOHandlerSocket* TIdTCPClient::IOHandler() {
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  if (!FIOHandler) {
    FIOHandler = std::make_unique<TIdIOHandlerSocket>();
    FIOHandler->SetReadTimeout(ReadTimeout());
    FIOHandler->SetIntercept(Intercept());
  }
  return FIOHandler.get();
}

void TIdTCPClient::SetReadTimeout(int aValue) {
  FReadTimeout.store(aValue);
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  if (FIOHandler) FIOHandler->SetReadTimeout(aValue);
}

void TIdTCPClient::SetIntercept(TIdConnectionIntercept* aValue) {
  FIntercept.store(aValue);
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  if (FIOHandler) FIOHandler->SetIntercept(aValue);
}

void TIdTCPClient::SetKeepAliveValues(bool aEnabled, int aTimeMS, int aIntervalMS) {
  {
    std::lock_guard<std::mutex> g(FPropLock);
    FKeepAlive = aEnabled;
    FKeepAliveTime = aTimeMS;
    FKeepAliveInterval = aIntervalMS;
  }
  if (Connected()) ApplyKeepAlive();
}

void TIdTCPClient::ApplyKeepAlive() {
  bool on;
  int time, interval;
  {
    std::lock_guard<std::mutex> g(FPropLock);
    on = FKeepAlive;
    time = FKeepAliveTime;
    interval = FKeepAliveInterval;
  }
  Socket()->SetKeepAliveValues(on, time, interval);
}

void TIdTCPClient::DoStatus(TIdStatus aStatus, const std::string& aText) {
  if (OnStatus) OnStatus(this, aStatus, aText);
}

namespace {
thread_local uint64_t tReportingSession = 0;
} // namespace

uint64_t TIdTCPClient::ReportingSession() noexcept { return tReportingSession; }

void TIdTCPClient::PeerDisconnected(uint64_t aSession) {
  DoStatus(hsDisconnected, RS_StatusDisconnected);
  if (!OnDisconnected) return;
  struct TRestore {
    uint64_t Saved = tReportingSession;
    ~TRestore() { tReportingSession = Saved; }
  } restore;
  tReportingSession = aSession;
  OnDisconnected(this);
}

bool TIdTCPClient::Connected() const {
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  return FIOHandler && FIOHandler->Connected();
}

void TIdTCPClient::Wakeup() {
  std::lock_guard<std::mutex> g(FIOHandlerLock);
  if (FIOHandler) FIOHandler->Wakeup();
}

void TIdTCPClient::Connect() {
  if (Connected()) Disconnect();
  TIdIOHandlerSocket* io = IOHandler();
  io->Close();
  const std::string host = Host();
  const TIdIPVersion version = IPVersion();
  DoStatus(hsResolving, QynFormat(RS_StatusResolving, host));
  const std::string ip = GStack().ResolveHost(host, version);
  TIdSocketHandle* b = io->Binding();
  try {
    b->SetIPVersion(version);
    b->SetUseNagle(UseNagle());
    b->AllocateSocket(Id_SOCK_STREAM, IPPROTO_TCP);
    const std::string boundIP = BoundIP();
    b->SetIP(boundIP);
    b->SetPort(BoundPort());
    b->SetClientPortMin(BoundPortMin());
    b->SetClientPortMax(BoundPortMax());
    if (!boundIP.empty() || BoundPort() != 0 || (BoundPortMin() != 0 && BoundPortMax() != 0)) b->Bind();
    if (LingerState() >= 0) b->SetLingerState(LingerState());
    b->SetPeer(ip, Port(), version);
    DoStatus(hsConnecting, QynFormat(RS_StatusConnecting, ip));
    const int timeout = ConnectTimeout();
    b->Connect(timeout > 0 ? timeout : IdTimeoutInfinite);
    ApplyKeepAlive();
  } catch (...) {
    b->CloseSocket();
    throw;
  }
  io->SetReadTimeout(ReadTimeout());
  io->SetIntercept(Intercept());
  ++FSession;
  io->Opened(this);
  if (TIdConnectionIntercept* i = Intercept()) i->Connect();
  DoStatus(hsConnected, RS_StatusConnected);
  if (OnConnected) OnConnected(this);
}

void TIdTCPClient::Disconnect(bool aNotifyPeer) {
  (void)aNotifyPeer; // closing the socket is what tells the peer
  TIdIOHandlerSocket* io;
  {
    std::lock_guard<std::mutex> g(FIOHandlerLock);
    io = FIOHandler.get();
  }
  if (!io) return;
  const uint64_t session = FSession.load(); // the connection being closed
  const bool wasOpen = io->FOpen.load() && io->Binding()->HandleAllocated();
  const bool report = wasOpen && !io->FDisconnectReported.exchange(true);
  if (report) DoStatus(hsDisconnecting, RS_StatusDisconnecting);
  io->Close();
  if (report) PeerDisconnected(session);
}
