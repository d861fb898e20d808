// UDP client component: one UDP socket on an ephemeral local port, a read thread that delivers
// every datagram reaching that port as OnUDPRead, a reused socket object through which the
// component writes, a command queue, and the retransmission engine that resends request
// datagrams on a doubling timeout until the caller cancels them or their tries run out.
//
// Threads: the read thread (receives, delivers with neNoSync, processes commands); the engine's
// timer thread (resends); the application's threads (writes, AddItem/DeleteItem).
//
// Locks, in the only order in which two of them are ever held together:
//   engine queue lock  ->  socket object lock  ->  (socket layer, log writer)
// The inner client's lock is held by the read thread only while it waits for a datagram (up to
// 10 ms, woken at once by a datagram or by a stop), never while it delivers. No application
// handler runs while the engine's queue lock or a socket object's lock is held by this module:
// failures of resends are reported after the tick has released the queue lock. So DeleteItem
// from the read thread waits at most for the sends of a tick in progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "qynBase_Classes.h"
#include "qynClock.h"
#include "qynId_Sockets.h"

enum TqynUDPMode : uint8_t { udpmDefault, udpmCommands };
enum TqynUDPCommands : uint8_t { tcmNone, tcmActive, tcmNotActive, tcmWriteBytes };

class TqynIdUDPClient;
class TqynUDPReadThread;
class TqynUDPCLient_Base;
class TqynUDPRetransmissions;

// ---------------------------------------------------------------------------------------------
// Retransmission settings and engine

struct TqynUDPRetransmission_Options {
  bool Enabled = false;
  int MaxRetries = 7; // transmissions in all, the caller's first send included
  int RTO = 500;      // first timeout in milliseconds, doubled after every resend
  void Assign(const TqynUDPRetransmission_Options& aSource) { *this = aSource; }
};
struct TqynUDPRetransmissionClient_Options : TqynUDPRetransmission_Options {};

// One datagram awaiting its answer. The caller fills ID (SetID), Bytes and, for a destination
// other than the component's Host:Port, IPAddress and Port, then hands the item to
// TqynUDPRetransmissions::AddItem, which sets MaxRetries, RTO and NextRetry. From then on the
// engine owns the item and changes its fields under the queue's lock; callers leave it alone.
class TqynUDPRetransmissionItem : public TqynQueueItemBase {
public:
  TqynBytes Bytes;       // the datagram to resend (a copy)
  std::string IPAddress; // destination; empty: the component's Host and Port
  TIdPort Port = 0;      // destination port (with IPAddress)
  int MaxRetries = 7;    // transmissions before the item is dropped
  int Retries = 0;       // due times passed so far
  int RTO = 0;           // current timeout in milliseconds
  // When the next resend is due, on the monotonic QynTickCount64() clock (milliseconds), so that
  // a jump of the wall clock neither stalls nor floods resends.
  uint64_t NextRetry = 0;
};

// Owns its items.
class TqynUDPRetransmissionQueue : public TqynQueueBase {
public:
  TqynUDPRetransmissionQueue() {
    SetOwnObjects(true);
    SetDuplicates(dupIgnore); // the same item object is never queued twice
  }
};

using TqynUDPRetransmissionRetryEvent = std::function<void(TqynUDPRetransmissions* Sender, const TqynBytes& Bytes,
                                                           const std::string& aIPAddress, TIdPort aPort)>;
using TqynUDPRetransmissionExceptionEvent = std::function<void(TqynUDPRetransmissions* Sender, const Exception& E)>;

// Resends queued datagrams from its timer thread (a TqynTimer with Interval 10 and neNoSync,
// which ticks about every 100 ms). A tick visits the items from the last to the first under the
// queue's lock; for every due item it counts a retry, doubles RTO and sets the next due time;
// an item whose retries reached MaxRetries is dropped silently, any other is passed to OnRetry.
// Exceptions of OnRetry are collected and passed to OnException after the lock is released.
//
// Set OnRetry and OnException before enabling the engine. Destroying the engine stops its timer
// first (waiting for a tick in progress) and then frees the items.
class TqynUDPRetransmissions {
public:
  TqynUDPRetransmissions();
  ~TqynUDPRetransmissions();
  TqynUDPRetransmissions(const TqynUDPRetransmissions&) = delete;
  TqynUDPRetransmissions& operator=(const TqynUDPRetransmissions&) = delete;

  // The timer, made on first use (Interval 10, neNoSync, not enabled).
  TqynTimer* Timer();
  TqynUDPRetransmissionQueue* Queue() const noexcept { return FQueue.get(); }
  // Taken by each item when it is added.
  int MaxRetries() const noexcept { return FMaxRetries.load(); }
  void SetMaxRetries(int aValue) noexcept { FMaxRetries.store(aValue); }
  int RTO() const noexcept { return FRTO.load(); }
  void SetRTO(int aValue) noexcept { FRTO.store(aValue); }
  // Whether the timer runs. Setting true starts it (a stopped timer is replaced by a new one);
  // false stops it: queued items then stay until DeleteItem or destruction.
  bool Enabled() const;
  void SetEnabled(bool aValue);

  // Sets the item's RTO and MaxRetries from the engine's, NextRetry to now + RTO, and appends it;
  // the queue owns it from then on. The caller has already sent the datagram once. A null item is
  // ignored.
  void AddItem(std::shared_ptr<TqynUDPRetransmissionItem> aItem);
  // Convenience form: makes the item. aIPAddress empty means the component's Host and Port.
  std::shared_ptr<TqynUDPRetransmissionItem> AddItem(const std::string& aID, const TqynBytes& aBytes,
                                                     const std::string& aIPAddress = std::string(), TIdPort aPort = 0);
  // Removes and frees the first item whose ID equals aID exactly; true when one was removed. May
  // wait for a tick in progress (its sends), never for anything else.
  bool DeleteItem(const std::string& aID);
  // Number of queued items.
  int Count() const { return FQueue->Count(); }

  TqynUDPRetransmissionRetryEvent OnRetry;
  TqynUDPRetransmissionExceptionEvent OnException;

private:
  void Tick();
  void Report(const Exception& E);
  std::unique_ptr<TqynTimer> MakeTimer();
  static void DisposeTimer(std::unique_ptr<TqynTimer> aTimer);

  std::shared_ptr<TqynUDPRetransmissionQueue> FQueue;
  std::atomic<int> FMaxRetries{7};
  std::atomic<int> FRTO{500};
  mutable std::mutex FTimerMutex; // the FTimer pointer; never held while a timer is joined
  std::unique_ptr<TqynTimer> FTimer;
  // Cleared when the engine is destroyed; a tick that outlives it (the engine destroyed from one
  // of its own handlers) keeps its own reference and stops touching the engine. The pointer
  // itself never changes, so a tick may copy it while the destructor runs.
  const std::shared_ptr<std::atomic<bool>> FAlive;
};

// ---------------------------------------------------------------------------------------------
// Command queue (udpmCommands)

class TqynQueueCommand : public TqynQueueItemBase {
public:
  TqynQueueCommand() { SetID(NewGuidText()); }
  TqynUDPCommands Command = tcmNone;
  TqynBytes Bytes;
};

// Owns its items.
class TqynQueueCommands : public TqynQueue {
public:
  TqynQueueCommands() { SetOwnObjects(true); }
};

// ---------------------------------------------------------------------------------------------
// Read thread and inner client

using TqynReadThreadNotifyEvent = std::function<void(TqynUDPReadThread* Sender)>;
using TqynReadThreadMessageEvent =
    std::function<void(TqynUDPReadThread* Sender, const std::string& aPeerIP, TIdPort aPeerPort)>;
using TqynReadThreadExceptionEvent = std::function<void(const Exception& aException)>;

// Polls the inner client's socket. One pass: raise OnReadThread (command processing); when
// ReadSocket, wait up to 10 ms for one datagram into the client's read buffer (under the
// client's lock) and raise OnReadMessage when it was not empty. The wait returns at once when a
// datagram arrives or the thread is terminated. Exceptions go to OnReadException; the thread
// goes on. A failure to set up the socket (proxy, bind) is reported once per distinct failure
// and retried every 100 ms, so a lasting fault does not flood the exception event.
//
// Made suspended by TqynIdUDPClient, which sets the events and starts it.
class TqynUDPReadThread : public TqynIdThread {
public:
  explicit TqynUDPReadThread(TqynIdUDPClient* aClient);
  ~TqynUDPReadThread() override;

  static constexpr int ReadWaitMS = 10;

  bool ReadSocket() const noexcept { return FReadSocket.load(); }
  void SetReadSocket(bool aValue) noexcept { FReadSocket.store(aValue); }
  TqynIdUDPClient* Client() const noexcept { return FClient.load(); }
  TqynUDPMode UDPMode() const noexcept { return FUDPMode.load(); }
  void SetUDPMode(TqynUDPMode aValue) noexcept { FUDPMode.store(aValue); }
  // Set on the first pass.
  bool Executed() const noexcept { return FExecuted.load(); }

  TqynReadThreadNotifyEvent OnReadThread;
  TqynReadThreadMessageEvent OnReadMessage;
  TqynReadThreadExceptionEvent OnReadException;

protected:
  void Run() override;
  void WakeUp() override;

private:
  friend class TqynIdUDPClient;
  void ReportException(const Exception& E);
  void ClearClient() noexcept { FClient.store(nullptr); }

  std::atomic<TqynIdUDPClient*> FClient;
  std::atomic<bool> FReadSocket{false};
  std::atomic<TqynUDPMode> FUDPMode{udpmDefault};
  std::atomic<bool> FExecuted{false};
  std::string FSetupFailure; // read thread only
};

using TqynIdUDPThreadEvent = std::function<void(TqynIdUDPClient* Sender)>;
// The inner client's read event (the component's own OnUDPRead has the socket-object form).
using TqynIdUDPReadEvent =
    std::function<void(TqynIdUDPClient* Sender, const TqynBytes& Bytes, const std::string& aPeerIP, TIdPort aPeerPort)>;
using TqynIdUDPReadExceptionEvent = std::function<void(const Exception& E)>;

// The socket layer's UDP client with its own lock, the read buffer and the read thread.
class TqynIdUDPClient : public TIdUDPClient {
public:
  TqynIdUDPClient();
  // Disposes of the read thread (terminated and joined, or, on that thread itself, left to free
  // itself when its pass ends), then closes the socket.
  ~TqynIdUDPClient() override;

  void EnterCS() noexcept { FCS.Acquire(); }
  void LeaveCS() noexcept { FCS.Release(); }

  // Makes and starts the read thread with ReadSocket set (once; set the events first).
  void StartReadThread();
  // Terminates the read thread and waits for it to end; only terminates when called on it.
  void StopReadThread();
  TqynUDPReadThread* ReadThread() const noexcept { return FReadThread.get(); }
  bool IsReadThread() const noexcept;

  TqynUDPMode UDPMode() const noexcept { return FUDPMode.load(); }
  void SetUDPMode(TqynUDPMode aValue) noexcept;

  // The socket handle once the read thread has made the socket (null before).
  TIdSocketHandle* Handle() const noexcept { return FHandle.load(); }
  // Count of valid bytes of the read buffer after the last wait.
  int ReadCount() const noexcept { return FReadCount.load(); }
  // Closes a socket whose family differs from IPVersion, so that the next use makes one of the
  // new family (the read thread's wait is woken first).
  void RecreateSocketForIPVersion();

  TqynIdUDPThreadEvent OnThread;
  TqynIdUDPReadEvent OnRead;
  TqynIdUDPReadExceptionEvent OnReadException;

private:
  friend class TqynUDPReadThread;
  // On the read thread: makes and binds the socket when there is none (proxy refusal and bind
  // failures raise) and records its handle.
  void PrepareSocket();
  // On the read thread, under the lock: one wait for a datagram into the read buffer.
  int ReadDatagram(std::string& VPeerIP, TIdPort& VPeerPort);
  void DoReadThread(TqynUDPReadThread* aThread);
  void DoReadMessage(TqynUDPReadThread* aThread, const std::string& aPeerIP, TIdPort aPeerPort);
  void DoReadException(const Exception& E);

  TqynCriticalSection FCS;
  TIdBytes FReadBuffer; // read thread only, under FCS
  std::atomic<int> FReadCount{0};
  std::atomic<TqynUDPMode> FUDPMode{udpmDefault};
  std::atomic<TIdSocketHandle*> FHandle{nullptr};
  std::unique_ptr<TqynUDPReadThread> FReadThread;
};

// ---------------------------------------------------------------------------------------------
// Socket object

// The client's one socket object, reused for every datagram and every write. IP and Port are the
// sender of the last datagram read; LocalIP, LocalPort and IPVersion describe the client's own
// socket; Guid is the base64 form of "Host:Port". Copies for queued notifications (Clone) keep
// the owning component and the inner client, so a handler can write through them; like every
// object handed to an event, a copy is valid for the handler call only.
//
// Writes never raise: a failure goes to the exception routing (the component's OnUDPException).
// (The server's TqynUDPSocket_Indy carries binding references the client has no use for, and the
// server includes this header, so the client's object derives from TqynUDPSocket directly.)
class TqynUDPSocketClient : public TqynUDPSocket {
public:
  explicit TqynUDPSocketClient(TqynUDPCLient_Base* aOwner = nullptr) : FOwner(aOwner) {}

  std::shared_ptr<TqynSocketConnection_Base> Clone() const override;

  TqynUDPCLient_Base* Owner() const noexcept { return FOwner.load(); }
  TqynIdUDPClient* Client() const noexcept { return FClient.load(); }
  void SetClient(TqynIdUDPClient* aValue) noexcept { FClient.store(aValue); }
  TIdSocketHandle* Binding() const noexcept { return FBinding.load(); }
  void SetBinding(TIdSocketHandle* aValue) noexcept { FBinding.store(aValue); }

  // One datagram to the client's Host:Port, logged as a "Sent" line when logging.
  void WriteData(const TqynBytes& aBytes) override;
  // Text is sent as its bytes.
  void WriteData(const std::string& aValue) override;
  // One datagram to aIPAddress:aPort (IPv6 when the address contains ':', else the client's
  // IPVersion); not logged.
  void WriteData(const std::string& aIPAddress, TIdPort aPort, const TqynBytes& aBytes);
  void WriteData(const std::string& aIPAddress, TIdPort aPort, const std::string& aValue);

  // The raising form behind the writes: logs when aLog, then sends under the object's lock (to
  // Host:Port when aIPAddress is empty). Does nothing without an inner client.
  void SendDatagram(const std::string& aIPAddress, TIdPort aPort, const TqynBytes& aBytes, bool aLog);

protected:
  void AssignCopy(const TqynSocketConnection_Base& aSource) override;

private:
  void WriteReported(const std::string& aIPAddress, TIdPort aPort, const TqynBytes& aBytes, bool aLog) noexcept;

  std::atomic<TqynUDPCLient_Base*> FOwner;
  std::atomic<TqynIdUDPClient*> FClient{nullptr};
  std::atomic<TIdSocketHandle*> FBinding{nullptr};
};

// ---------------------------------------------------------------------------------------------
// The component

// Listens from its creation: the constructor makes the inner client and its read thread, which
// binds an ephemeral local port (all addresses of the IPVersion family) on its first pass and
// keeps it for the component's life (changing IPVersion to the other family makes a new socket).
// Every datagram that reaches that port, from any sender, arrives as one OnUDPRead (where
// NotifyEvents says) whose socket object carries the sender's IP and Port; empty datagrams are
// not delivered. Writes never raise: failures arrive as OnUDPException with the socket object.
//
// Destroy the component on the main thread or from one of its own handlers; destruction stops
// the read thread and the engine's timer and waits for neither a datagram nor a timeout.
class TqynUDPCLient_Base : public TqynUDPComponent {
public:
  explicit TqynUDPCLient_Base(TqynComponent_Base* aOwner = nullptr);
  ~TqynUDPCLient_Base() override;

  // Stops the read thread (waiting for it unless called on it) and the retransmission engine
  // (its timer first). The destructor calls it too.
  void ShutdownComponent() noexcept override;

  // Destination of the writes without an address (stored in the inner client).
  std::string Host() const;
  void SetHost(const std::string& aValue);
  TIdPort Port() const;
  void SetPort(TIdPort aValue);
  // Family of the socket; a change to the other family replaces the socket (new local port).
  TIdIPVersion IPVersion() const;
  void SetIPVersion(TIdIPVersion aValue);
  TqynUDPMode UDPMode() const noexcept { return FUDPMode.load(); }
  void SetUDPMode(TqynUDPMode aValue);

  // Option records: the getters return copies, the setters copy the values in.
  TqynUDPRetransmissionClient_Options RetransmissionOptions() const;
  void SetRetransmissionOptions(const TqynUDPRetransmission_Options& aValue);
  TqynUDPLogFile LogFile() const;
  TqynUDPProxy_Options Proxy() const;
  TqynUDPHeartBeat_Options HeartBeat() const;
  void SetHeartBeat(const TqynUDPHeartBeat_Options& aValue);
  bool TLS() const noexcept { return FTLS.load(); }
  void SetTLS(bool aValue) noexcept { FTLS.store(aValue); }
  TqynUDPTLS_Options TLSOptions() const;
  bool UseNagle() const noexcept { return FUseNagle.load(); }
  void SetUseNagle(bool aValue) noexcept { FUseNagle.store(aValue); }

  // The inner client (exists for the component's whole life).
  TqynIdUDPClient* UDPClient() const noexcept { return FClient.get(); }
  // The retransmission engine, made on first use: OnRetry and OnException bound to this
  // component, MaxRetries, RTO and Enabled copied from RetransmissionOptions (later changes of
  // the options do not reach it).
  TqynUDPRetransmissions* Retransmissions();
  // The command queue, made on first use.
  TqynQueueCommands* Commands();

  // Append to the command queue; processed by the read thread in udpmCommands.
  void AddBytes(const TqynBytes& ABytes);
  void AddCommand(TqynUDPCommands aCommand);

  // --- virtual operations, in slot order ---------------------------------------------------
  // Stops the read thread (waits for it unless called on it); in udpmCommands only clears
  // ReadSocket.
  virtual void StopReading();
  // Datagram handler (read thread).
  virtual void DoRead(TqynIdUDPClient* Sender, const TqynBytes& Bytes, const std::string& aPeerIP, TIdPort aPeerPort);
  // Read-exception handler (read thread).
  virtual void DoReadException(const Exception& E);
  // Read-thread pass handler: processes the command queue in udpmCommands.
  virtual void DoReadThread(TqynIdUDPClient* Sender);
  // Delivers the datagram held by the socket object (OnUDPRead where NotifyEvents says).
  virtual void DoDeliverRead(TqynUDPSocketClient* aSocket);
  virtual void DoHeartBeatTimer(TqynTimer* Sender);
  virtual void DoHeartBeatException(TqynTimer* Sender, const Exception& E);
  virtual void StartHeartBeat();
  virtual void StopHeartBeat();
  // Retry handler of the engine (timer thread, under the engine's queue lock): resends to
  // aIPAddress:aPort, or to Host:Port when aIPAddress is empty. Raises on failure; the engine
  // reports the failure after releasing its lock.
  virtual void DoRetry(TqynUDPRetransmissions* Sender, const TqynBytes& Bytes, const std::string& aIPAddress,
                       TIdPort aPort);
  virtual void DoRetransmissionException(TqynUDPRetransmissions* Sender, const Exception& E);
  virtual void DoAfterCommand(TqynQueueCommand* aCommand);
  virtual void DoProcessCommands();
  // The socket object, made on first use; every get refreshes its inner client, socket handle,
  // local address, Guid and log writer from the current settings.
  virtual TqynUDPSocketClient* GetSocket();
  virtual void DoConnected();
  virtual void DoDisconnected();
  // Socket-object exception handler: DoException with the socket object.
  virtual void DoSocketException(TqynUDPSocket* aSocket, const Exception& E);
  virtual void SetProxy(const TqynUDPProxy_Options& aValue);
  virtual void SetLogFile(const TqynUDPLogFile& aValue);
  virtual void SetTLSOptions(const TqynUDPTLS_Options& aValue);
  // One datagram to aIPAddress:aPort (IPv6 when it contains ':'), not logged. Never raise.
  virtual void WriteData(const std::string& aIPAddress, TIdPort aPort, const std::string& aValue);
  virtual void WriteData(const std::string& aIPAddress, TIdPort aPort, const TqynBytes& aValue);
  // One datagram to Host:Port, logged as "Sent". Text is sent as its bytes. Never raise.
  virtual void WriteData(const std::string& aValue);
  virtual void WriteData(const TqynBytes& aValue);

  // True while the read thread delivers a datagram (its handler runs with neNoSync).
  bool IsDeliveringOnReadThread() const noexcept;

  // The raise operations call a copy of the application's handler, so that a handler that
  // destroys the component (and with it the handler's own closure) can still return safely.
  void DoUDPRead(TqynUDPSocket* aSocket, const TqynBytes& aBytes) override;
  void DoUDPException(TqynUDPSocket* aSocket, const Exception& E) override;

private:
  void ReportFailure(const Exception& E) noexcept;

  std::unique_ptr<TqynIdUDPClient> FClient;
  std::atomic<TqynUDPMode> FUDPMode{udpmDefault};

  mutable std::mutex FOptionsMutex; // the option records below
  TqynUDPRetransmissionClient_Options FRetransmissionOptions;
  TqynUDPLogFile FLogFile;
  TqynUDPProxy_Options FProxy;
  TqynUDPHeartBeat_Options FHeartBeat;
  TqynUDPTLS_Options FTLSOptions;
  std::atomic<bool> FTLS{false};
  std::atomic<bool> FUseNagle{true};

  std::mutex FEngineMutex;
  std::unique_ptr<TqynUDPRetransmissions> FRetransmissions;
  std::mutex FCommandsMutex;
  std::unique_ptr<TqynQueueCommands> FCommands;
  std::mutex FSocketMutex; // making and refreshing the socket object
  std::shared_ptr<TqynUDPSocketClient> FSocket;
  std::shared_ptr<TqynIdLogFileClient> FLogWriter;
  std::atomic<std::thread::id> FDeliveringThread{};
};

// The component as applications place it.
class TqynUDPClient : public TqynUDPCLient_Base {
public:
  using TqynUDPCLient_Base::TqynUDPCLient_Base;
  // Also as a stack object or a member: the read thread stops before any destructor of the chain.
  ~TqynUDPClient() override { ShutdownComponent(); }
};
