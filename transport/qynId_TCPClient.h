// The TCP client: a byte buffer, the intercept that sees a connection's bytes, the IO handler
// that owns the socket and its input buffer, and the client with its status reports. Relies on
// socket handles.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "qynBase_Types.h"
#include "qynId_SocketHandle.h"

// Connection status reported by the TCP client.
enum TIdStatus : uint8_t { hsResolving, hsConnecting, hsConnected, hsDisconnecting, hsDisconnected, hsStatusText };

// A first-in first-out byte buffer, safe for one writer and readers on other threads.
class TIdBuffer {
public:
  size_t Size() const;
  bool IsEmpty() const { return Size() == 0; }
  void Write(const void* aData, size_t aLength);
  void Write(const TIdBytes& aBytes) { Write(aBytes.data(), aBytes.size()); }
  // Moves up to aByteCount bytes (-1: all) to VBytes (appended, or replacing its content).
  // Returns the count moved.
  size_t ExtractToBytes(TIdBytes& VBytes, int aByteCount = -1, bool aAppend = true);
  void Clear();

private:
  mutable std::mutex FLock;
  TIdBytes FData;
  size_t FHead = 0;
};

// Sees every byte read and written on a connection (log writers, throttlers). Not owned.
class TIdConnectionIntercept {
public:
  virtual ~TIdConnectionIntercept() = default;
  virtual void Connect() {}
  virtual void Disconnect() {}
  // May change the bytes in place.
  virtual void Receive(TIdBytes& aBuffer) { (void)aBuffer; }
  virtual void Send(TIdBytes& aBuffer) { (void)aBuffer; }
};

class TIdTCPClient;

// Owns the TCP socket and the input buffer of a connection.
class TIdIOHandlerSocket {
public:
  TIdIOHandlerSocket();
  virtual ~TIdIOHandlerSocket();
  TIdIOHandlerSocket(const TIdIOHandlerSocket&) = delete;
  TIdIOHandlerSocket& operator=(const TIdIOHandlerSocket&) = delete;

  TIdSocketHandle* Binding() noexcept { return &FBinding; }
  TIdBuffer& InputBuffer() noexcept { return FInputBuffer; }
  // The connection is open on this side (connected and not closed here or after a detected
  // peer close).
  bool Connected() const;
  bool ClosedGracefully() const noexcept { return FClosedGracefully.load(); }
  bool InputBufferIsEmpty() const { return FInputBuffer.IsEmpty(); }
  // Waits up to aMSec (IdTimeoutInfinite: without limit) for data and moves everything the
  // socket has into the input buffer. True when bytes were added. A peer close is recorded (and
  // raised by the next check or read); a socket error raises EIdSocketError. False at once when
  // not connected.
  bool CheckForDataOnSource(int aMSec = 0);
  // When the peer has closed and (aIgnoreBuffer or the input buffer is empty): closes this side
  // and reports hsDisconnected (once), then raises EIdConnClosedGracefully when asked. When the
  // connection was closed here: raises EIdClosedSocket when asked.
  void CheckForDisconnect(bool aRaiseExceptionIfDisconnected = true, bool aIgnoreBuffer = false);
  // Reads exactly aByteCount bytes (-1: what the buffer holds, waiting for some when empty) into
  // VBuffer, filling the input buffer from the socket with ReadTimeout per wait. Raises
  // EIdReadTimeout, EIdConnClosedGracefully or EIdClosedSocket.
  void ReadBytes(TIdBytes& VBuffer, int aByteCount, bool aAppend = true);
  // Writes all bytes or raises (EIdClosedSocket when not connected, EIdSocketError).
  void Write(const TIdBytes& aBuffer);
  // Closes the socket (ends waits at once); the input buffer is kept for reading.
  void Close();
  // Wakes a thread waiting for data in CheckForDataOnSource/ReadBytes.
  void Wakeup() { FBinding.Wakeup(); }

  // Milliseconds; IdTimeoutDefault, IdTimeoutInfinite and 0 wait without limit.
  int ReadTimeout() const noexcept { return FReadTimeout.load(); }
  void SetReadTimeout(int aValue) noexcept { FReadTimeout.store(aValue); }
  TIdConnectionIntercept* Intercept() const noexcept { return FIntercept.load(); }
  void SetIntercept(TIdConnectionIntercept* aValue) noexcept { FIntercept.store(aValue); }

private:
  friend class TIdTCPClient;
  void Opened(TIdTCPClient* aClient);
  // Reads what is available (no wait); true when bytes were added.
  bool ReadFromSource();

  TIdSocketHandle FBinding;
  TIdBuffer FInputBuffer;
  std::atomic<int> FReadTimeout{IdTimeoutDefault};
  std::atomic<TIdConnectionIntercept*> FIntercept{nullptr};
  std::atomic<bool> FOpen{false};
  std::atomic<bool> FClosedGracefully{false};
  std::atomic<bool> FDisconnectReported{false};
  std::atomic<TIdTCPClient*> FClient{nullptr};
  std::mutex FReadLock; // one reader of the socket at a time
};

using TIdTCPClientNotifyEvent = std::function<void(TIdTCPClient* Sender)>;
using TIdStatusEvent = std::function<void(TIdTCPClient* ASender, TIdStatus AStatus, const std::string& AStatusText)>;

class TIdTCPClient {
public:
  TIdTCPClient();
  virtual ~TIdTCPClient(); // closes the connection without events
  TIdTCPClient(const TIdTCPClient&) = delete;
  TIdTCPClient& operator=(const TIdTCPClient&) = delete;

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
  // Milliseconds; 0 (initial) or negative leaves the system's own connect timeout.
  int ConnectTimeout() const noexcept { return FConnectTimeout.load(); }
  void SetConnectTimeout(int aValue) noexcept { FConnectTimeout.store(aValue); }
  // Milliseconds, given to the IO handler; -1 (initial) and 0 wait without limit.
  int ReadTimeout() const noexcept { return FReadTimeout.load(); }
  void SetReadTimeout(int aValue);
  bool UseNagle() const noexcept { return FUseNagle.load(); }
  void SetUseNagle(bool aValue) noexcept { FUseNagle.store(aValue); }
  // Seconds for SO_LINGER; -1 (initial) leaves the system default.
  int LingerState() const noexcept { return FLingerState.load(); }
  void SetLingerState(int aValue) noexcept { FLingerState.store(aValue); }
  // Keep-alive, applied now when connected and at every connect.
  void SetKeepAliveValues(bool aEnabled, int aTimeMS, int aIntervalMS);
  // Intercept given to the IO handler at connect (not owned).
  TIdConnectionIntercept* Intercept() const noexcept { return FIntercept.load(); }
  void SetIntercept(TIdConnectionIntercept* aValue);

  // The IO handler (made on first use) and its socket.
  TIdIOHandlerSocket* IOHandler();
  TIdSocketHandle* Socket() { return IOHandler()->Binding(); }

  // Connects to Host:Port (a connected client is disconnected first): resolves Host for
  // IPVersion, allocates a stream socket, binds it when BoundIP/BoundPort/range are set, and
  // connects within ConnectTimeout (EIdConnectTimeout "Connect timed out."). On success reports
  // hsConnected and raises OnConnected. Failures raise, with the socket closed again.
  void Connect();
  // Closes the connection (the peer sees it closed); reports hsDisconnecting and hsDisconnected
  // and raises OnDisconnected when a connection was open.
  void Disconnect(bool aNotifyPeer = true);
  bool Connected() const;
  // Wakes a thread waiting in the IO handler.
  void Wakeup();
  // The number of the connection opened last (1 for the first); 0 before any.
  uint64_t Session() const noexcept { return FSession.load(); }
  // While OnDisconnected runs on this thread: the number of the connection whose end it reports
  // (a report can come late, after another thread has opened the next connection); 0 elsewhere.
  static uint64_t ReportingSession() noexcept;

  TIdTCPClientNotifyEvent OnConnected;
  TIdTCPClientNotifyEvent OnDisconnected;
  TIdStatusEvent OnStatus;

protected:
  virtual void DoStatus(TIdStatus aStatus, const std::string& aText);

private:
  friend class TIdIOHandlerSocket;
  void ApplyKeepAlive();
  // Reports hsDisconnected and raises OnDisconnected for connection aSession.
  void PeerDisconnected(uint64_t aSession);
  std::atomic<uint64_t> FSession{0};

  mutable std::mutex FPropLock;
  std::string FHost;
  TIdPort FPort = 0;
  TIdIPVersion FIPVersion = Id_IPv4;
  std::string FBoundIP;
  TIdPort FBoundPort = 0;
  TIdPort FBoundPortMin = 0;
  TIdPort FBoundPortMax = 0;
  bool FKeepAlive = false;
  int FKeepAliveTime = 7200000;
  int FKeepAliveInterval = 1000;
  std::atomic<int> FConnectTimeout{0};
  std::atomic<int> FReadTimeout{IdTimeoutDefault};
  std::atomic<bool> FUseNagle{true};
  std::atomic<int> FLingerState{-1};
  std::atomic<TIdConnectionIntercept*> FIntercept{nullptr};
  mutable std::mutex FIOHandlerLock;
  std::unique_ptr<TIdIOHandlerSocket> FIOHandler;
};
