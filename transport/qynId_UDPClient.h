// The UDP client: one datagram socket made on first use, sends to a host and port, receives with
// a timeout, and the (carried, not built) proxy settings. Relies on socket handles.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "qynBase_Types.h"
#include "qynId_SocketHandle.h"

// ---------------------------------------------------------------------------------------------
// Proxy settings (the SOCKS and HTTP CONNECT paths are not built; the settings are carried)
// ---------------------------------------------------------------------------------------------

enum TIdSocksVersion : uint8_t { svNoSocks, svSocks4, svSocks4A, svSocks5 };

struct TIdProxySettings {
  bool Enabled = false;
  TIdSocksVersion Version = svSocks5;
  std::string Host;
  TIdPort Port = 1080;
  std::string Username;
  std::string Password;
};

// ---------------------------------------------------------------------------------------------
// UDP client
// ---------------------------------------------------------------------------------------------

class TIdUDPClient;
using TIdUDPClientNotifyEvent = std::function<void(TIdUDPClient* Sender)>;

class TIdUDPClient {
public:
  TIdUDPClient();
  virtual ~TIdUDPClient(); // closes the socket
  TIdUDPClient(const TIdUDPClient&) = delete;
  TIdUDPClient& operator=(const TIdUDPClient&) = delete;

  // Setting Host, Port or IPVersion of a connected client disconnects it first. The socket keeps
  // the family it was made with.
  std::string Host() const;
  void SetHost(const std::string& aValue);
  TIdPort Port() const;
  void SetPort(TIdPort aValue);
  TIdIPVersion IPVersion() const;
  void SetIPVersion(TIdIPVersion aValue);
  std::string BoundIP() const;
  void SetBoundIP(const std::string& aValue);
  TIdPort BoundPort() const;
  void SetBoundPort(TIdPort aValue);
  TIdPort BoundPortMin() const;
  void SetBoundPortMin(TIdPort aValue);
  TIdPort BoundPortMax() const;
  void SetBoundPortMax(TIdPort aValue);
  int BufferSize() const noexcept { return FBufferSize.load(); }
  void SetBufferSize(int aValue) noexcept { FBufferSize.store(aValue); }
  // Milliseconds; -2 (initial) and 0 wait without limit.
  int ReceiveTimeout() const noexcept { return FReceiveTimeout.load(); }
  void SetReceiveTimeout(int aValue) noexcept { FReceiveTimeout.store(aValue); }
  // With Enabled set, every send and receive raises EIdMustUseOpenProxy (the proxy path is not
  // built, and the datagram must not go out directly instead).
  TIdProxySettings& TransparentProxy() noexcept { return FTransparentProxy; }

  // The socket handle: made on first use by allocating a datagram socket of IPVersion bound to
  // BoundIP:BoundPort (port range BoundPortMin..BoundPortMax), and again after it was closed.
  TIdSocketHandle* Binding();
  bool Connected() const noexcept { return FConnected.load(); }
  // Resolves Host (literals as they are), sets the peer and connects the socket; OnConnected.
  void Connect();
  void Disconnect();

  // One datagram to Host:Port (connected: on the connected socket).
  void SendBuffer(const TIdBytes& aBuffer);
  void SendBuffer(const std::string& aHost, TIdPort aPort, const TIdBytes& aBuffer);
  void SendBuffer(const std::string& aHost, TIdPort aPort, const TIdBytes& aBuffer, TIdIPVersion aIPVersion);
  void SendBuffer(const std::string& aHost, TIdPort aPort, TIdIPVersion aIPVersion, const TIdBytes& aBuffer) {
    SendBuffer(aHost, aPort, aBuffer, aIPVersion);
  }
  // Waits up to aMSec (IdTimeoutDefault: ReceiveTimeout, where 0 and -2 mean without limit;
  // IdTimeoutInfinite: without limit; 0: no wait) for one datagram into aBuffer (up to its size,
  // not resized). Returns 0 with VPeerIP empty when nothing came (or Wakeup() was called), else
  // the count with the sender. A datagram longer than the buffer raises EIdSocketError
  // (EMSGSIZE); a zero-length one returns 0 with the sender set.
  int ReceiveBuffer(TIdBytes& aBuffer, int aMSec, std::string& VPeerIP, TIdPort& VPeerPort);
  int ReceiveBuffer(TIdBytes& aBuffer, int aMSec, std::string& VPeerIP, TIdPort& VPeerPort, TIdIPVersion& VIPVersion);
  int ReceiveBuffer(TIdBytes& aBuffer, int aMSec = IdTimeoutDefault);
  // Ends a ReceiveBuffer wait of another thread at once (or makes the next one return at once).
  void Wakeup();

  TIdUDPClientNotifyEvent OnConnected;
  TIdUDPClientNotifyEvent OnDisconnected;

private:
  void CheckProxy() const;

  mutable std::mutex FPropLock;
  std::string FHost;
  TIdPort FPort = 0;
  TIdIPVersion FIPVersion = Id_IPv4;
  std::string FBoundIP;
  TIdPort FBoundPort = 0;
  TIdPort FBoundPortMin = 0;
  TIdPort FBoundPortMax = 0;
  std::atomic<int> FBufferSize{8192};
  std::atomic<int> FReceiveTimeout{IdTimeoutInfinite};
  TIdProxySettings FTransparentProxy;
  std::mutex FBindingLock; // lazy creation and allocation of the binding
  std::unique_ptr<TIdSocketHandle> FBinding;
  std::atomic<bool> FConnected{false};
};
