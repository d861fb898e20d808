// TCP client component: one TCP connection to a server, with a read thread that hands every
// chunk of received bytes to the application (OnBinary), writes of bytes and text, connect and
// disconnect events, exception routing, a hold list for received messages (QueueMessages) and a
// command mode in which the read thread also connects, disconnects and writes on request.
//
// Quick use (the STUN client's way):
//   TqynTCPCLient_Base tcp;
//   tcp.SetNotifyEvents(neNoSync);               // or a queued mode with a main-thread relay
//   tcp.SetHost("127.0.0.1"); tcp.SetPort(3478);
//   tcp.OnBinary = [](TqynTCPConnection* Connection, TqynMemoryStream& Data) { ... Data.Bytes() ... };
//   tcp.OnException = [](TqynTCPConnection* Connection, const Exception& E) { ... E.Message() ... };
//   if (tcp.Connect(10000)) tcp.WriteData(bytes);
//
// Threads. Connecting happens on the calling thread. While connected a read thread waits for data
// (10 ms per wait, woken at once when the connection is stopped) and delivers each chunk it read
// as one data message. Events run where NotifyEvents says (neNoSync: on the thread where they
// happen, mostly the read thread; neAsynchronous / neSynchronous: queued to the main thread with
// their own copy of the data). Disconnecting or destroying the component from any thread stops and
// joins the read thread; from the read thread itself (a neNoSync handler) the thread is only told
// to end and ends when the handler returns. A neNoSync handler may disconnect, reconnect or even
// destroy the component (from OnBinary, OnMessage, OnException and OnDisconnect).
//
// TLS, HTTP CONNECT / SOCKS proxies and throttling are carried as settings only: with TLS or
// Proxy.Enabled set, connecting reports an exception through OnException and does not connect.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qynBase_Classes.h"
#include "qynBase_Types.h"
#include "qynId_Sockets.h"
#include "qynUDP_Client.h"

enum TqynTCPMode : uint8_t { tcpmDefault, tcpmCommands };
// How the connection cuts received bytes into data messages (see TqynTCPConnection_Base).
enum TtcpEOFScanBuffer : uint8_t { eofScanNone, eofScanLatestBytes, eofScanAllBytes };
// Work queued for the read thread in tcpmCommands: tcmActive, tcmNotActive, tcmWriteBytes. The
// enumeration is the UDP client's, so that both transport headers can be used in one unit.
using TqynTCPCommand = TqynUDPCommands;

// ---------------------------------------------------------------------------------------------
// Memory stream

// The data of a binary event: a byte buffer with a read/write position. Handed to OnBinary
// positioned at 0. Not thread-safe; a handler reads it during its call (Bytes() gives the whole
// content, Read/ReadBytes consume from Position) and copies what it keeps.
class TqynMemoryStream {
public:
  TqynMemoryStream() = default;
  explicit TqynMemoryStream(TqynBytes aBytes) : FBytes(std::move(aBytes)) {}

  size_t Size() const noexcept { return FBytes.size(); }
  size_t Position() const noexcept { return FPosition; }
  // Clamped to Size.
  void SetPosition(size_t aValue) noexcept { FPosition = aValue < FBytes.size() ? aValue : FBytes.size(); }
  // Copies up to aCount bytes from Position and advances; returns the count copied.
  size_t Read(void* aBuffer, size_t aCount);
  // Up to aCount bytes from Position (all the rest by default), advancing.
  TqynBytes ReadBytes(size_t aCount = SIZE_MAX);
  // Writes at Position (overwriting, growing the stream as needed) and advances.
  void Write(const void* aData, size_t aCount);
  void Write(const TqynBytes& aBytes) { Write(aBytes.data(), aBytes.size()); }
  // Replaces the content; Position 0.
  void LoadFromBytes(const TqynBytes& aBytes);
  void LoadFromBytes(TqynBytes&& aBytes);
  void Clear() noexcept;
  // The whole content, whatever the position.
  const TqynBytes& Bytes() const noexcept { return FBytes; }

private:
  TqynBytes FBytes;
  size_t FPosition = 0;
};

// ---------------------------------------------------------------------------------------------
// Connection objects

class TqynIdTCPClient;

// A TCP connection as the events show it: Transport trpTCP, the last text and data messages,
// the last exception text, and how received bytes are cut into data messages:
//  - eofScanNone (initial): every chunk read from the socket is one data message.
//  - eofScanLatestBytes: received bytes are collected until a chunk ends with TCPEndOfFrame;
//    then everything collected is one data message.
//  - eofScanAllBytes: the received bytes are split after every occurrence of TCPEndOfFrame; each
//    piece is one data message, and a partial frame waits for the next read.
// With an empty TCPEndOfFrame every mode behaves as eofScanNone. Collected bytes are limited to
// MaxPendingFrame: beyond that they are delivered as one message without waiting for the marker.
class TqynTCPConnection_Base : public TqynSocketConnection {
public:
  static constexpr size_t MaxPendingFrame = 1 << 20;

  TqynTCPConnection_Base() { SetTransport(trpTCP); }

  std::string MsgReceived() const;
  void SetMsgReceived(const std::string& aValue);
  // The read thread's buffer for the data message being delivered (made on first use). With
  // neNoSync it is the stream OnBinary receives; queued events get their own copy.
  TqynMemoryStream& MsgBinaryReceived();
  std::string MsgException() const;
  void SetMsgException(const std::string& aValue);
  // Set when this side is disconnecting: the read handler stops delivering.
  bool MustDisconnect() const noexcept { return FMustDisconnect.load(); }
  void SetMustDisconnect(bool aValue) noexcept { FMustDisconnect.store(aValue); }

  TtcpEOFScanBuffer TCPEndOfFrameScanBuffer() const noexcept { return FScanBuffer.load(); }
  void SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer aValue) noexcept { FScanBuffer.store(aValue); }
  TqynBytes TCPEndOfFrame() const;
  void SetTCPEndOfFrame(const TqynBytes& aValue);
  void AddTCPEndOfFrame(uint8_t aByte);
  void ClearTCPEndOfFrame();

private:
  friend class TqynTCPCLient_Common;
  mutable std::mutex FMsgMutex;
  std::string FMsgReceived;
  std::string FMsgException;
  TqynBytes FEndOfFrame;
  std::unique_ptr<TqynMemoryStream> FMsgBinaryReceived;
  TqynBytes FPendingFrame; // read thread only: bytes waiting for an end-of-frame marker
  std::atomic<bool> FMustDisconnect{false};
  std::atomic<TtcpEOFScanBuffer> FScanBuffer{eofScanNone};
};

class TqynTCPConnection : public TqynTCPConnection_Base {};

// A connection that writes through a socket-layer TCP client.
class TqynTCPConnection_Indy : public TqynTCPConnection {
public:
  // Writes all bytes and adds them to SendBytes; raises EIdClosedSocket when the connection is
  // gone, EIdConnClosedGracefully after a peer close, EIdSocketError on a socket failure.
  void WriteBytes(const TqynBytes& aBytes);
  // The socket-object writes never raise: failures go to the owning component's OnException.
  void WriteData(const TqynBytes& aBytes) override;
  void WriteData(const std::string& aValue) override;

protected:
  friend class TqynTCPCLient_Common;
  std::shared_ptr<TIdTCPClient> Client() const { return FClient.lock(); }
  std::weak_ptr<TIdTCPClient> FClient;
};

// The connection object of TqynTCPCLient_Common: made when the connection is up, cleared after
// the disconnect notification. IP/Port are the server's, LocalIP/LocalPort this side's.
class TqynTCPConnectionClient : public TqynTCPConnection_Indy {
public:
  // The inner client this connection belongs to (identity only).
  const TqynIdTCPClient* OwnerClient() const noexcept { return FOwnerClient; }

private:
  friend class TqynTCPCLient_Common;
  const TqynIdTCPClient* FOwnerClient = nullptr;
  uint64_t FSession = 0; // the inner client's connection number
  std::atomic<bool> FCloseNotified{false};
};

// ---------------------------------------------------------------------------------------------
// TCP component base and the notification model

// Event types. The TCP events carry no Sender; Connection is null only for an exception without a
// connection (a failed connect). Objects handed to a handler are valid for that call only.
using TqynTCPConnectEvent = std::function<void(TqynTCPConnection* Connection)>;
using TqynTCPDisconnectEvent = std::function<void(TqynTCPConnection* Connection)>;
using TqynTCPMessageEvent = std::function<void(TqynTCPConnection* Connection, const std::string& Text)>;
using TqynTCPBinaryEvent = std::function<void(TqynTCPConnection* Connection, TqynMemoryStream& Data)>;
using TqynTCPExceptionEvent = std::function<void(TqynTCPConnection* Connection, const Exception& E)>;

// A queued or held notification. Connection is a reference to the connection object itself (not
// a copy); Stream and RawException are the record's own copies.
struct TqynTCPNotifyObject {
  std::shared_ptr<TqynTCPConnection> Connection;
  std::string Text;
  std::string Text1;
  int Int = 0;
  std::shared_ptr<TqynMemoryStream> Stream;
  std::shared_ptr<const Exception> RawException;
};

// The pending notifications of one event, with the flag that marks a running drain. The list's
// lock is held only to add or take a record, never while a handler runs.
class TqynTCPObjectList : public TqynThreadList<std::shared_ptr<TqynTCPNotifyObject>> {
public:
  TqynTCPObjectList() { SetDuplicates(dupAccept); }
  bool Draining = false; // guarded by Lock()
};

class TqynTCPComponent_Base : public TqynSocketComponent_Base {
public:
  using TqynSocketComponent_Base::TqynSocketComponent_Base;
};

// Events of a TCP transport component and how they reach the application (NotifyEvents):
//  - neNoSync: the handler runs at once on the notifying thread, with the connection's own
//    stream for OnBinary (nothing is copied).
//  - neAsynchronous / neSynchronous: a record (connection reference, copy of the text, data or
//    exception) is appended to the event's pending list and a drain is posted to the main thread
//    (neSynchronous waits until it ran; a notifying thread that is stopped meanwhile stops
//    waiting and the drain runs later). The drain delivers every pending record in order.
// QueueMessages: while true, OnMessage and OnBinary calls are put on hold lists instead of being
// made; setting it false delivers the held messages, then the held binaries, in arrival order, on
// the calling thread (data arriving meanwhile is delivered after them). QueueClear drops them.
// The held data is limited to MaxHeldBytes: a message beyond it is dropped and reported through
// OnException.
class TqynTCPComponent : public TqynTCPComponent_Base {
public:
  enum TNotifyKind : uint8_t { nkConnect, nkDisconnect, nkMessage, nkBinary, nkException };
  static constexpr size_t MaxHeldBytes = 16 << 20;

  explicit TqynTCPComponent(TqynComponent_Base* aOwner = nullptr) : TqynTCPComponent_Base(aOwner) {}
  ~TqynTCPComponent() override;

  TqynTCPConnectEvent OnConnect;
  TqynTCPDisconnectEvent OnDisconnect;
  TqynTCPMessageEvent OnMessage;
  TqynTCPBinaryEvent OnBinary;
  TqynTCPExceptionEvent OnException;

  bool QueueMessages() const;
  void SetQueueMessages(bool aValue);
  void QueueClear();
  // Held records (for tests and diagnostics).
  int HeldMessageCount() const;
  int HeldBinaryCount() const;
  // Pending records of one event (0 when its list was never made).
  int PendingCount(TNotifyKind aKind) const;

  // Notify operations, called on the thread where the cause happened. Message delivers the
  // connection's MsgReceived, binary its MsgBinaryReceived. Disconnect marks the connection
  // object freed after its event. An exception may come without a connection.
  virtual void NotifyConnect(const std::shared_ptr<TqynTCPConnection>& aConnection);
  virtual void NotifyDisconnect(const std::shared_ptr<TqynTCPConnection>& aConnection);
  virtual void NotifyMessage(const std::shared_ptr<TqynTCPConnection>& aConnection);
  virtual void NotifyBinary(const std::shared_ptr<TqynTCPConnection>& aConnection);
  virtual void NotifyException(const std::shared_ptr<TqynTCPConnection>& aConnection, const Exception& E);
  // Raise operations: call the application's handler when assigned (after the hold check).
  virtual void RaiseConnect(TqynTCPConnection* aConnection);
  virtual void RaiseDisconnect(TqynTCPConnection* aConnection);
  virtual void RaiseMessage(TqynTCPConnection* aConnection, const std::string& aText);
  virtual void RaiseBinary(TqynTCPConnection* aConnection, TqynMemoryStream& aData);
  // Gives E the connection's MsgException when E has no message.
  virtual void RaiseException(TqynTCPConnection* aConnection, const Exception& E);
  // The exception routine: without OnException nothing happens. With a connection its
  // MsgException and RawException are set. Then the exception is notified. Never raises.
  virtual void DoException(const std::shared_ptr<TqynTCPConnection>& aConnection, const Exception& E) noexcept;

private:
  std::shared_ptr<TqynTCPObjectList> PendingList(TNotifyKind aKind);
  void Notify(TNotifyKind aKind, const std::shared_ptr<TqynTCPConnection>& aConnection, const Exception* aE);
  TqynSyncProc MakeDrain(TNotifyKind aKind, const std::shared_ptr<TqynTCPObjectList>& aList);
  void Drain(TNotifyKind aKind, const std::shared_ptr<TqynTCPObjectList>& aList, const std::weak_ptr<char>& aAlive);
  // Delivers one record: the hold check for messages and binaries, then the raise operation.
  // aStream overrides the record's stream (the connection's own one with neNoSync).
  void Raise(TNotifyKind aKind, TqynTCPNotifyObject& aRecord, TqynMemoryStream* aStream = nullptr);
  void RaiseHeld(TNotifyKind aKind, TqynTCPNotifyObject& aRecord);

  mutable std::mutex FPendingMutex;
  std::array<std::shared_ptr<TqynTCPObjectList>, 5> FPending;

  mutable std::mutex FHoldMutex;
  bool FQueueMessages = false;
  bool FReleasing = false;
  size_t FHeldBytes = 0;
  std::vector<std::shared_ptr<TqynTCPNotifyObject>> FHeldMessages;
  std::vector<std::shared_ptr<TqynTCPNotifyObject>> FHeldBinaries;
};

// ---------------------------------------------------------------------------------------------
// Option records of the TCP client (Assign copies every field)

struct TqynTCPKeepAlive {
  bool Enabled = false;
  int Time = 7200000;  // milliseconds of idle time before the first probe
  int Interval = 1000; // milliseconds between probes
  void Assign(const TqynTCPKeepAlive& aSource) { *this = aSource; }
};

struct TqynTCPWatchDog_Options : TqynSocketWatchDog_Options {
  TqynTCPWatchDog_Options() { Interval = 10; }
};
struct TqynTCPHeartBeat_Options : TqynSocketHeartBeat_Options {};
struct TqynTCPLogFile : TqynSocketLogFile {};
struct TqynTCPThrottle : TqynSocketThrottle {};
struct TqynTCPProxy_Options : TqynSocketProxy_Options {
  TqynTCPProxy_Options() { Port = 8080; }
};
struct TqynTCPTLS_Options : TqynSocketTLS_Options {};

// ---------------------------------------------------------------------------------------------
// Inner client and its read thread

class TqynTCPReadThread;
using TqynIdTCPClientEvent = std::function<void(TqynIdTCPClient* Sender)>;
using TqynIdTCPClientExceptionEvent = std::function<void(TqynIdTCPClient* Sender, const Exception& E)>;

// One pass, repeated until terminated:
//  1. OnThread (the component processes its command queue in tcpmCommands);
//  2. without ReadSocket: wait (up to 100 ms, woken by Kick or a stop) and end the pass;
//  3. with an empty input buffer: under the client's lock, wait up to 10 ms for data and move it
//     into the input buffer;
//  4. with a non-empty input buffer: OnRead (the component's read handler takes it);
//  5. with an empty input buffer after a peer close: EIdConnClosedGracefully; after a close on
//     this side: EIdClosedSocket.
// An exception: bytes still in the input buffer are delivered first; in tcpmCommands ReadSocket
// is cleared; OnReadException reports it; the connection is closed (which reports the
// disconnect); in tcpmDefault the thread then ends.
class TqynTCPReadThread : public TqynIdThread {
public:
  explicit TqynTCPReadThread(TqynIdTCPClient& aClient);
  ~TqynTCPReadThread() override;

  // Wakes the wait of step 2.
  void Kick();

protected:
  void Run() override;
  void WakeUp() override;

private:
  friend class TqynIdTCPClient;
  friend class TqynTCPCLient_Common;
  void HandleException(const Exception& E, uint64_t aGeneration);
  void IdleWait();

  TqynIdTCPClient* FClient;
  // Set when the owner let go of this thread while it runs (the component was destroyed or
  // replaced its inner client from a handler on this thread): the thread touches nothing but
  // itself and the adopted client from then on, and frees itself when it ends.
  std::atomic<bool> FOwnerGone{false};
  std::shared_ptr<TqynIdTCPClient> FAdopted;
  std::mutex FIdleMutex;
  std::condition_variable FIdleCv;
  bool FKicked = false;
};

// The socket-layer TCP client of the component, with its own lock, read thread and mode.
class TqynIdTCPClient : public TIdTCPClient, public std::enable_shared_from_this<TqynIdTCPClient> {
public:
  TqynIdTCPClient();
  // Stops and joins the read thread first.
  ~TqynIdTCPClient() override;

  TqynCriticalSection& CS() noexcept { return FCS; }
  TqynTCPMode TCPMode() const noexcept { return FTCPMode.load(); }
  void SetTCPMode(TqynTCPMode aValue) noexcept { FTCPMode.store(aValue); }
  bool ReadSocket() const noexcept { return FReadSocket.load(); }
  void SetReadSocket(bool aValue) noexcept { FReadSocket.store(aValue); }
  TqynTCPReadThread* ReadThread() const;
  // True when called on this client's read thread.
  bool IsReadThread() const;

  // Connects (blocking). In tcpmDefault an old read thread is disposed of first.
  void ConnectClient();
  // Starts reading the open connection: a new read thread in tcpmDefault, the existing one (or a
  // new one) in tcpmCommands. When making the thread fails, the connection is closed and the
  // failure raised.
  void StartReading();
  // Asks the read thread to end; waits for it unless aWait is false or this is the read thread.
  void StopReadThread(bool aWait);
  // Wakes the read thread (idle wait and data wait).
  void KickReadThread();
  // Counts the connects of this client. In tcpmCommands a connection may be replaced while the
  // read thread still handles the end of the previous one; the count keeps it from closing or
  // reporting against the new one.
  uint64_t Generation() const noexcept { return FGeneration.load(); }

  // Set when the component lets go of the client: its events are ignored from then on.
  bool Detached() const noexcept { return FDetached.load(); }
  void Detach() noexcept { FDetached.store(true); }

  // The log writer of this connection (none when logging is off).
  void SetLogFile(std::shared_ptr<TqynIdLogFileClient> aLog);
  std::shared_ptr<TqynIdLogFileClient> LogFile() const;
  // The first failure of the log writer, once (empty when none or already taken).
  std::string TakeLogError();

  TqynIdTCPClientEvent OnThread;
  TqynIdTCPClientEvent OnRead;
  TqynIdTCPClientExceptionEvent OnReadException;

private:
  friend class TqynTCPCLient_Common;
  class TLogIntercept;
  // Hands the read thread over to itself (it frees itself and this client when it ends).
  // Called on the read thread when the owner lets go of the client from there.
  void AbandonToReadThread();

  TqynCriticalSection FCS;
  std::atomic<TqynTCPMode> FTCPMode{tcpmDefault};
  std::atomic<bool> FReadSocket{false};
  std::atomic<bool> FDetached{false};
  std::atomic<uint64_t> FGeneration{0};
  mutable std::mutex FThreadMutex;
  std::unique_ptr<TqynTCPReadThread> FReadThread;
  bool FStopRequested = false; // guarded by FThreadMutex
  std::unique_ptr<TLogIntercept> FLogIntercept;
};

// ---------------------------------------------------------------------------------------------
// TCP client component

// A queued command (tcpmCommands).
class TqynTCPCommandItem : public TqynQueueItemBase {
public:
  TqynTCPCommand Command = tcmActive;
  TqynBytes Bytes;
};
class TqynTCPCommandQueue : public TqynQueue {};

// Connecting (SetActive(true), Connect): nothing happens when connected. Otherwise a previous
// connection whose peer closed is finished first; in tcpmDefault a fresh inner client (and read
// thread) is made for every connection. The settings are copied to the inner client, the
// connection is made on the calling thread, the connection object is made and OnConnect
// notified, then reading starts. Any failure is reported through OnException (with no connection
// when none was made) and not raised; Active stays false.
//
// Disconnecting (SetActive(false), Disconnect): the read thread is stopped (joined unless this is
// the read thread; in tcpmCommands it only stops reading), the connection closed, OnDisconnect
// notified and the connection object cleared. A connect in progress on another thread is
// cancelled. The peer closing the connection produces OnException "Connection Closed
// Gracefully." and then OnDisconnect.
//
// Settings are read when connecting; change them while no connect is running.
class TqynTCPCLient_Common : public TqynTCPComponent {
public:
  explicit TqynTCPCLient_Common(TqynComponent_Base* aOwner = nullptr);
  // Stops everything without events. A descendant that overrides the notify/raise operations and
  // is not freed with delete calls ShutdownComponent() first in its own destructor.
  ~TqynTCPCLient_Common() override;

  std::string Host() const;
  void SetHost(const std::string& aValue);
  TIdPort Port() const noexcept { return FPort.load(); }
  void SetPort(TIdPort aValue) noexcept { FPort.store(aValue); }
  TIdIPVersion IPVersion() const noexcept { return FIPVersion.load(); }
  void SetIPVersion(TIdIPVersion aValue) noexcept { FIPVersion.store(aValue); }
  // Whether the inner client is connected. Setting connects or disconnects on the calling thread.
  bool Active() const;
  void SetActive(bool aValue);
  // Milliseconds; 0 leaves the system's own connect timeout (or the limit given to Connect).
  int ConnectTimeout() const noexcept { return FConnectTimeout.load(); }
  void SetConnectTimeout(int aValue) noexcept { FConnectTimeout.store(aValue); }
  // Milliseconds, passed to the socket layer (-1: its default).
  int ReadTimeout() const noexcept { return FReadTimeout.load(); }
  void SetReadTimeout(int aValue) noexcept { FReadTimeout.store(aValue); }
  // Milliseconds; a positive value sets the socket's send timeout.
  int WriteTimeout() const noexcept { return FWriteTimeout.load(); }
  void SetWriteTimeout(int aValue) noexcept { FWriteTimeout.store(aValue); }
  bool UseNagle() const noexcept { return FUseNagle.load(); }
  void SetUseNagle(bool aValue) noexcept { FUseNagle.store(aValue); }
  TIdPort BoundPortMin() const noexcept { return FBoundPortMin.load(); }
  void SetBoundPortMin(TIdPort aValue) noexcept { FBoundPortMin.store(aValue); }
  TIdPort BoundPortMax() const noexcept { return FBoundPortMax.load(); }
  void SetBoundPortMax(TIdPort aValue) noexcept { FBoundPortMax.store(aValue); }
  int LingerState() const noexcept { return FLingerState.load(); }
  void SetLingerState(int aValue) noexcept { FLingerState.store(aValue); }
  TqynTCPMode TCPMode() const noexcept { return FTCPMode.load(); }
  void SetTCPMode(TqynTCPMode aValue) noexcept { FTCPMode.store(aValue); }

  TqynTCPKeepAlive& TCPKeepAlive() noexcept { return FTCPKeepAlive; }
  const TqynTCPKeepAlive& TCPKeepAlive() const noexcept { return FTCPKeepAlive; }
  void SetTCPKeepAlive(const TqynTCPKeepAlive& aValue) { FTCPKeepAlive.Assign(aValue); }
  TqynTCPWatchDog_Options& WatchDog() noexcept { return FWatchDog; }
  const TqynTCPWatchDog_Options& WatchDog() const noexcept { return FWatchDog; }
  void SetWatchDog(const TqynTCPWatchDog_Options& aValue) { FWatchDog.Assign(aValue); }
  TqynTCPHeartBeat_Options& HeartBeat() noexcept { return FHeartBeat; }
  const TqynTCPHeartBeat_Options& HeartBeat() const noexcept { return FHeartBeat; }
  void SetHeartBeat(const TqynTCPHeartBeat_Options& aValue) { FHeartBeat.Assign(aValue); }
  TqynTCPLogFile& LogFile() noexcept { return FLogFile; }
  const TqynTCPLogFile& LogFile() const noexcept { return FLogFile; }
  void SetLogFile(const TqynTCPLogFile& aValue) { FLogFile.Assign(aValue); }
  TqynTCPThrottle& Throttle() noexcept { return FThrottle; }
  const TqynTCPThrottle& Throttle() const noexcept { return FThrottle; }
  void SetThrottle(const TqynTCPThrottle& aValue) { FThrottle.Assign(aValue); }
  TqynTCPProxy_Options& Proxy() noexcept { return FProxy; }
  const TqynTCPProxy_Options& Proxy() const noexcept { return FProxy; }
  void SetProxy(const TqynTCPProxy_Options& aValue) { FProxy.Assign(aValue); }
  bool TLS() const noexcept { return FTLS.load(); }
  void SetTLS(bool aValue) noexcept { FTLS.store(aValue); }
  TqynTCPTLS_Options& TLSOptions() noexcept { return FTLSOptions; }
  const TqynTCPTLS_Options& TLSOptions() const noexcept { return FTLSOptions; }
  void SetTLSOptions(const TqynTCPTLS_Options& aValue) { FTLSOptions.Assign(aValue); }

  // The connection object while connected (null otherwise).
  std::shared_ptr<TqynTCPConnectionClient> Connection() const;

  // Connects on the calling thread (as SetActive(true)); true when a connection object then
  // exists. A positive aTimeout limits the connect when ConnectTimeout is 0. Never raises.
  bool Connect(int aTimeout);
  // Disconnects (as SetActive(false)), then waits in 1 ms steps up to aTimeout for the connection
  // object to be cleared; true when it was. Never raises.
  bool Disconnect(int aTimeout);

  // Queue work for the read thread (tcpmCommands): connect, disconnect, write bytes. tcmActive
  // with no read thread yet connects at once (10000 ms). In tcpmDefault the work is done at once
  // on the calling thread. Failures go to OnException; never raises.
  void AddBytes(const TqynBytes& ABytes);
  void AddCommand(TqynTCPCommand aCommand);
  int CommandCount() const { return FCommands.Count(); }

  // Ticks of the watchdog timer so far (it only counts; see WatchDog).
  int WatchDogTicks() const noexcept { return FWatchDogTicks.load(); }
  bool WatchDogRunning() const;

  // Stops everything without events (idempotent).
  void Shutdown() noexcept;
  void ShutdownComponent() noexcept override {
    Shutdown();
    TqynTCPComponent::ShutdownComponent();
  }

protected:
  // Writes to the connection; nothing without one. Raises on write failures.
  void WriteToConnection(const TqynBytes& aBytes);
  // Runs after every processed command (empty).
  virtual void DoAfterCommand(TqynTCPCommandItem& aItem);

private:
  void DoActivate(int aTimeout);
  void DoDeactivate();
  std::shared_ptr<TqynIdTCPClient> NewClient();
  void ApplySettings(TqynIdTCPClient& aClient, int aTimeout);
  // Lets go of an inner client: joins its read thread, or, on that very thread, hands the thread
  // the client to free when it ends.
  static void DisposeClient(std::shared_ptr<TqynIdTCPClient> aClient);
  std::shared_ptr<TqynTCPConnectionClient> ConnectionOf(const TqynIdTCPClient* aClient) const;
  // Notifies OnDisconnect once per connection object and clears it.
  void ConnectionClosed(const std::shared_ptr<TqynTCPConnectionClient>& aConnection);
  void ReportLogError(TqynIdTCPClient& aClient, const std::shared_ptr<TqynTCPConnectionClient>& aConnection);
  void RunCommand(TqynTCPCommandItem& aItem);
  void AddCommandItem(const std::shared_ptr<TqynTCPCommandItem>& aItem);
  void StartWatchDog();
  void StopWatchDog();

  // Inner client events.
  void ClientConnected(TqynIdTCPClient* aClient);
  void ClientDisconnected(TqynIdTCPClient* aClient);
  void ClientThread(TqynIdTCPClient* aClient);
  void ClientRead(TqynIdTCPClient* aClient);
  void ClientReadException(TqynIdTCPClient* aClient, const Exception& E);
  // Cuts a received chunk into data messages and delivers them; false when the component was
  // destroyed by a handler.
  bool DeliverChunk(const std::shared_ptr<TqynTCPConnectionClient>& aConnection, TqynBytes&& aChunk,
                    const std::weak_ptr<char>& aAlive);
  bool DeliverData(const std::shared_ptr<TqynTCPConnectionClient>& aConnection, TqynBytes&& aData,
                   const std::weak_ptr<char>& aAlive);

  mutable std::mutex FPropMutex;
  std::string FHost;
  std::atomic<TIdPort> FPort{80};
  std::atomic<TIdIPVersion> FIPVersion{Id_IPv4};
  std::atomic<int> FConnectTimeout{0};
  std::atomic<int> FReadTimeout{-1};
  std::atomic<int> FWriteTimeout{0};
  std::atomic<bool> FUseNagle{false};
  std::atomic<TIdPort> FBoundPortMin{0};
  std::atomic<TIdPort> FBoundPortMax{0};
  std::atomic<int> FLingerState{-1};
  std::atomic<TqynTCPMode> FTCPMode{tcpmDefault};
  std::atomic<bool> FTLS{false};
  TqynTCPKeepAlive FTCPKeepAlive;
  TqynTCPWatchDog_Options FWatchDog;
  TqynTCPHeartBeat_Options FHeartBeat;
  TqynTCPLogFile FLogFile;
  TqynTCPThrottle FThrottle;
  TqynTCPProxy_Options FProxy;
  TqynTCPTLS_Options FTLSOptions;

  // Serialises connects (never held while notifying).
  std::recursive_mutex FConnectMutex;
  // Guards the fields below; held only for short steps, never while waiting or calling out.
  mutable std::mutex FStateMutex;
  std::shared_ptr<TqynIdTCPClient> FInner;
  std::shared_ptr<TqynTCPConnectionClient> FConnection;
  bool FDisconnecting = false;
  bool FConnecting = false;
  bool FAbortConnect = false;
  bool FWatchDogFlag = false;

  TqynTCPCommandQueue FCommands;

  mutable std::mutex FWatchDogMutex;
  std::unique_ptr<TqynTimer> FWatchDogTimer;
  std::atomic<int> FWatchDogTicks{0};
  std::atomic<bool> FShutdown{false};
};

// The TCP client component the STUN client uses: adds the writes.
class TqynTCPCLient_Base : public TqynTCPCLient_Common {
public:
  using TqynTCPCLient_Common::TqynTCPCLient_Common;
  ~TqynTCPCLient_Base() override { Shutdown(); }

  // With a connection, writes all bytes (adding them to SendBytes); without one, does nothing.
  // Write failures raise to the caller (EIdException family).
  void WriteData(const TqynBytes& aValue) { WriteToConnection(aValue); }
  // Writes the UTF-8 bytes of the text.
  void WriteData(const std::string& aValue) { WriteToConnection(TqynBytes(aValue.begin(), aValue.end())); }
};
