// UDP server component: receives the datagrams of one or more UDP bindings, hands each one to the
// application as a short-lived socket object through OnUDPRead (on the thread NotifyEvents
// chooses), and sends answers through that socket object or through WriteData. Bindings can be
// added and removed while the server runs, a watchdog can bring a stopped server up again and
// check that it still receives, and datagrams can be written to a log file.
//
// Threads: one listener thread per binding (the inner TIdUDPServer's), the watchdog timer when
// enabled, and one-shot threads for Start, Stop and ReStart. The component owns all of them and
// ends them before it is gone.
//
// Locks, in the only order they are ever nested:
//   activation lock (SetActive, Start/Stop threads, AddBinding, RemoveBinding)
//     -> the inner server's listener list lock -> component lock (CS(): sends, binding references).
// No thread waits for another thread while it holds the component lock. A worker thread that
// waits for the activation lock gives up when it is terminated, so a deactivation that joins the
// listeners never deadlocks with a handler that calls back into the component.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "qynBase_Classes.h"
#include "qynId_Sockets.h"

class TqynUDPServer_Base;

QYN_DECLARE_EXCEPTION(EqynUDPServerException, Exception)

// ---------------------------------------------------------------------------------------------
// Options

struct TqynUDPWatchDogServerMonitor_Options {
  bool Enabled = false;
  int TimeOut = 10; // seconds without the probe coming back before the server is restarted
  void Assign(const TqynUDPWatchDogServerMonitor_Options& aSource) { *this = aSource; }
};

// The server's watchdog: Interval defaults to 10 seconds and a monitor probe may be enabled.
struct TqynUDPWatchDogServer_Options : TqynUDPWatchDog_Options {
  TqynUDPWatchDogServer_Options() { Interval = 10; }
  TqynUDPWatchDogServerMonitor_Options Monitor;
  void Assign(const TqynUDPWatchDogServer_Options& aSource) { *this = aSource; }
};

// ---------------------------------------------------------------------------------------------
// Binding references

// What a socket object remembers of the binding that received its datagram, so that its answer
// leaves from that binding without searching the binding list. Handle is cleared before the
// binding is removed or the server deactivated, holding both the owning component's lock (CS())
// and the reference's own Lock; reading it under either is safe. A send through the reference
// holds only Lock, so sends on different bindings never wait for each other. The address fields
// never change.
struct TqynUDPBindingRef {
  TIdSocketHandle* Handle = nullptr;
  mutable std::mutex Lock;
  std::string IP;
  TIdPort Port = 0;
  TIdIPVersion IPVersion = Id_IPv4;
};

// ---------------------------------------------------------------------------------------------
// Socket objects

// A UDP socket object of the socket layer: the binding it belongs to.
class TqynUDPSocket_Indy : public TqynUDPSocket {
public:
  std::shared_ptr<TqynUDPBindingRef> BindingRef() const;
  void SetBindingRef(std::shared_ptr<TqynUDPBindingRef> aValue);

protected:
  void AssignCopy(const TqynSocketConnection_Base& aSource) override;

private:
  mutable TqynFieldLock FBindingMutex;
  std::shared_ptr<TqynUDPBindingRef> FBindingRef;
};

// The socket object of one received datagram (or a queued copy of it). WriteData answers the
// sender from the binding that received the datagram; failures go to the server's OnUDPException
// and are never raised to the caller.
class TqynUDPSocketServer : public TqynUDPSocket_Indy {
public:
  explicit TqynUDPSocketServer(TqynUDPServer_Base* aServer = nullptr) : FServer(aServer) {}

  std::shared_ptr<TqynSocketConnection_Base> Clone() const override;

  // Logs a "Sent" line when the socket has a log writer, then sends the bytes to IP:Port.
  void WriteData(const TqynBytes& aBytes) override;
  // Text is sent as its UTF-8 bytes.
  void WriteData(const std::string& aValue) override;

  TqynUDPServer_Base* Server() const noexcept { return FServer.load(); }
  void SetServer(TqynUDPServer_Base* aValue) noexcept { FServer.store(aValue); }

protected:
  void AssignCopy(const TqynSocketConnection_Base& aSource) override;
  // base64 of "IP:Port", the sender the object stands for (made only when Guid is read).
  std::string DefaultGuid() const override;

private:
  std::atomic<TqynUDPServer_Base*> FServer;
};

// ---------------------------------------------------------------------------------------------
// Inner server and its listener threads

// The socket layer's UDP server as the component uses it: events on the listener threads
// (ThreadedEvent true) and the bind events reachable for bindings added at run time.
class TqynIdUDPServer : public TIdUDPServer {
public:
  TqynIdUDPServer() { SetThreadedEvent(true); }
  ~TqynIdUDPServer() override;
  using TIdUDPServer::DoAfterBind;
  // Runs BeforeBind (the component's socket options), then OnBeforeBind.
  void DoBeforeBind(TIdSocketHandle* AHandle) override {
    if (BeforeBind) BeforeBind(AHandle);
    TIdUDPServer::DoBeforeBind(AHandle);
  }
  std::function<void(TIdSocketHandle*)> BeforeBind;
};

// A listener thread that carries the reference of its binding.
class TqynUDPListenerThread final : public TIdUDPListenerThread {
public:
  TqynUDPListenerThread(TIdUDPServer& AServer, TIdSocketHandle& ABinding, std::shared_ptr<TqynUDPBindingRef> aRef)
      : TIdUDPListenerThread(AServer, ABinding), FRef(std::move(aRef)) {}
  const std::shared_ptr<TqynUDPBindingRef>& BindingRef() const noexcept { return FRef; }

private:
  std::shared_ptr<TqynUDPBindingRef> FRef;
};

// ---------------------------------------------------------------------------------------------
// The component

using TqynUDPOnBeforeWatchDogEvent = std::function<void(TqynComponent_Base* Sender, bool& Handled)>;
using TqynUDPServerNotifyEvent = std::function<void(TqynComponent_Base* Sender)>;

class TUDPServerThread;

class TqynUDPServer_Base : public TqynUDPComponent {
public:
  explicit TqynUDPServer_Base(TqynComponent_Base* aOwner = nullptr);
  // Ends the Start/Stop/ReStart threads, deactivates (events are no longer delivered) and ends the
  // watchdog (ShutdownComponent), then frees the inner server, the options and the log writer.
  ~TqynUDPServer_Base() override;

  // Ends everything that may call into the component from other threads: marks it as being
  // destroyed, joins the Start/Stop/ReStart threads, deactivates (joining the listeners) and ends
  // the watchdog. The destructor calls it too (for a component on the stack or a member).
  void ShutdownComponent() noexcept override;

  // --- Settings (read by the next activation) ---
  std::string Host() const;
  void SetHost(const std::string& aValue);
  TIdPort Port() const;
  void SetPort(TIdPort aValue);
  TIdIPVersion IPVersion() const;
  void SetIPVersion(TIdIPVersion aValue);
  // The inner server's binding list (made on first use), shared, not copied. Change it only
  // while the server is inactive; use AddBinding/RemoveBinding while it runs.
  TIdSocketHandles& Bindings();
  // The inner server, made on first use.
  TqynIdUDPServer* IdUDPServer();

  // Option records are copied in and out.
  TqynUDPLogFile LogFile() const;
  void SetLogFile(const TqynUDPLogFile& aValue);
  TqynUDPWatchDogServer_Options WatchDog() const;
  virtual void SetWatchDog(const TqynUDPWatchDogServer_Options& aValue);
  TqynUDPHeartBeat_Options HeartBeat() const;
  void SetHeartBeat(const TqynUDPHeartBeat_Options& aValue);
  // Carried settings, not used by UDP.
  bool TLS() const noexcept { return FTLS.load(); }
  void SetTLS(bool aValue) noexcept { FTLS.store(aValue); }
  TqynUDPTLS_Options TLSOptions() const;
  virtual void SetTLSOptions(const TqynUDPTLS_Options& aValue);
  bool UseNagle() const noexcept { return FUseNagle.load(); }
  void SetUseNagle(bool aValue) noexcept { FUseNagle.store(aValue); }
  int ConnectTimeout() const noexcept { return FConnectTimeout.load(); }
  void SetConnectTimeout(int aValue) noexcept { FConnectTimeout.store(aValue); }
  int ReadTimeout() const noexcept { return FReadTimeout.load(); }
  void SetReadTimeout(int aValue) noexcept { FReadTimeout.store(aValue); }
  int WriteTimeout() const noexcept { return FWriteTimeout.load(); }
  void SetWriteTimeout(int aValue) noexcept { FWriteTimeout.store(aValue); }

  // Also the mode of the watchdog's ticks.
  void SetNotifyEvents(TwsNotifyEvent aValue) override;

  // --- Running ---
  // True exactly when the inner server has a current binding.
  virtual bool Active() const;
  // Activation never raises: on failure the server stays inactive (and with the watchdog enabled
  // it retries on the watchdog's ticks). Deactivation stops the listeners at once.
  virtual void SetActive(bool aValue);
  // Applies the Active value recorded while the component was being loaded.
  void Loaded();
  // Each runs on a one-shot thread and returns at once.
  void Start();
  void Stop();
  // Stops and starts again on a one-shot thread; nothing when inactive.
  void ReStart();

  // --- Bindings while running ---
  // The existing binding with that address and port, or a new one (port 0 always makes a new one
  // on an ephemeral port): on a running server it is bound and gets its listener at once (a bind
  // failure raises and leaves no binding behind); on an inactive one it is bound by the next
  // activation. The family follows the address text.
  TIdSocketHandle* AddBinding(const std::string& aIPAddress, TIdPort aPort, const std::string& aName = "");
  // Stops the listener, closes and removes every binding with that address and port; true when
  // one was removed. Safe from any thread, also from a handler running on that binding's listener.
  bool RemoveBinding(const std::string& aIPAddress, TIdPort aPort);
  // The last binding whose IP equals the text (IPv6 compared in canonical form) and whose Port
  // equals the port, or null.
  TIdSocketHandle* GetBinding(const std::string& aIPAddress, TIdPort aPort);
  // AddBinding for a TURN relay binding: the binding is marked as one (IsRelayBinding), and adding
  // or removing it leaves PlainBindingsVersion as it is. An address and port the server already
  // has a binding on raise EIdSocketError (EADDRINUSE), as a port held elsewhere does.
  TIdSocketHandle* AddRelayBinding(const std::string& aIPAddress, TIdPort aPort, const std::string& aName);
  // True for a binding added with AddRelayBinding (and not removed since). A relay binding's
  // socket has no eventfd (one descriptor each), and its listener is pooled: every relay binding
  // of the server is served by one poller thread (TIdUDPPoller).
  bool IsRelayBinding(const TIdSocketHandle* aBinding) const;
  // Receive and send buffer sizes (SO_RCVBUF, SO_SNDBUF) asked for every binding that is not a
  // relay binding, when it is bound; 0 leaves the system's. The default lets a burst of a few
  // hundred requests wait while the listener is busy.
  static constexpr int KDefaultSocketBufferSize = 4 * 1024 * 1024;
  int SocketBufferSize() const noexcept { return FSocketBufferSize.load(); }
  void SetSocketBufferSize(int aValue) noexcept { FSocketBufferSize.store(aValue); }
  // What the system granted the last binding that asked (read back after setting; Linux reports
  // twice the usable size), 0 before any. When it is less than asked for, a "Stat" line says so in
  // the log file (when enabled).
  int GrantedReceiveBuffer() const noexcept { return FGrantedReceiveBuffer.load(); }
  int GrantedSendBuffer() const noexcept { return FGrantedSendBuffer.load(); }
  // Changes whenever the server's other (non-relay) bindings may have changed: activation,
  // deactivation, AddBinding and RemoveBinding of a binding that is not a relay binding. Lets a
  // reader keep what it derives from those bindings until the value moves.
  uint64_t PlainBindingsVersion() const noexcept { return FPlainBindingsVersion.load(std::memory_order_acquire); }
  // The reference of a binding that has a listener (what its socket objects carry, and what a
  // send can name instead of an address), or null. Looked up from the newest listener back, so
  // the binding just added is found at once.
  std::shared_ptr<TqynUDPBindingRef> BindingRefOf(const TIdSocketHandle* aBinding);

  // --- Sending (raises socket errors to the caller) ---
  // One datagram to aIP:aPort through the first binding (the first of the destination's family).
  void WriteData(const std::string& aIP, TIdPort aPort, const std::string& aValue);
  void WriteData(const std::string& aIP, TIdPort aPort, const TqynBytes& aBytes);
  // Through the binding aSourceIP:aSourcePort, or the first binding when there is none.
  void WriteData(const std::string& aSourceIP, TIdPort aSourcePort, const std::string& aIP, TIdPort aPort,
                 const std::string& aValue);
  void WriteData(const std::string& aSourceIP, TIdPort aSourcePort, const std::string& aIP, TIdPort aPort,
                 const TqynBytes& aBytes);
  // The core send routine every write ends in. The binding is, in this order: the one aBinding
  // still refers to, the one GetBinding(aSourceIP, aSourcePort) finds when aSourceIP is given, the
  // running server's first binding of aIP's family, its first binding. Raises
  // EqynUDPServerException when the server has no binding to send from (a write never activates
  // the server). Descendants override this six-argument form.
  virtual void WriteDataTo(const std::string& aIP, TIdPort aPort, const std::string& aSourceIP, TIdPort aSourcePort,
                           const TqynBytes& aBytes, const TqynUDPBindingRef* aBinding);
  void WriteDataTo(const std::string& aIP, TIdPort aPort, const std::string& aSourceIP, TIdPort aSourcePort,
                   const TqynBytes& aBytes) {
    WriteDataTo(aIP, aPort, aSourceIP, aSourcePort, aBytes, nullptr);
  }

  // --- Watchdog state (diagnostics) ---
  // Watchdog ticks counted so far (only while WatchDog.Attempts >= 1); never reset.
  int WatchDogAttempts() const noexcept { return FWatchDogAttempts.load(); }
  // A watchdog timer exists and runs.
  bool WatchDogRunning() const;

  TqynUDPOnBeforeWatchDogEvent OnBeforeWatchDog;
  TqynUDPServerNotifyEvent OnStartup;
  TqynUDPServerNotifyEvent OnShutdown;

protected:
  friend class TqynUDPSocketServer;
  friend class TUDPServerThread;

  // Heartbeat: kept as settings, the server sends none.
  virtual void DoHeartBeatTimer(TqynTimer* Sender) { (void)Sender; }
  virtual void DoHeartBeatException(TqynTimer* Sender, const Exception& E) { (void)Sender, (void)E; }
  virtual void StartHeartBeat() {}
  virtual void StopHeartBeat() {}
  // Makes the socket object of a datagram received on aBinding (aRef: its reference, or null).
  virtual std::shared_ptr<TqynUDPSocketServer> GetSocketServer(TIdSocketHandle* aBinding,
                                                               const std::shared_ptr<TqynUDPBindingRef>& aRef);
  // The inner server's read event (listener thread).
  virtual void DoUDPServerRead(TIdUDPListenerThread* AThread, const TIdBytes& AData, TIdSocketHandle* ABinding);
  // The inner server's exception event (listener thread).
  virtual void DoUDPServerException(TIdUDPListenerThread* AThread, TIdSocketHandle* ABinding,
                                    const std::string& AMessage, const std::string& AExceptionClass);
  // Failures of a socket object's writes.
  virtual void DoSocketException(TqynUDPSocket* aSocket, const Exception& E);
  virtual void StartWatchDog();
  virtual void StopWatchDog();
  // Sends the probe to the server's own first binding, or restarts the server when the previous
  // probe has not come back within Monitor.TimeOut seconds.
  virtual void DoWatchDogMonitor();
  virtual bool IsWatchDogMonitor(const TIdBytes& aBytes);
  virtual void DoWatchDogTimer(TqynTimer* Sender);
  virtual void DoWatchDogException(TqynTimer* Sender, const Exception& E);
  virtual void DoAfterStart();
  virtual void DoAfterStop(bool aWasActive);

private:
  class TActivationLock;

  // aFromWatchDog: a start the watchdog asked for.
  void Activate(bool aFromWatchDog = false);
  void Deactivate();
  // Starts a one-shot thread running aMethod ("start", "stop", "restart"); nothing once the
  // component is being destroyed.
  void LaunchThread(const char* aMethod, bool aFromWatchDog);
  // The work of a one-shot thread.
  void RunThreadMethod(const std::string& aMethod, bool aFromWatchDog);
  std::unique_ptr<TIdUDPListenerThread> MakeListener(TIdUDPServer& AServer, TIdSocketHandle& ABinding);
  // AddBinding, and AddRelayBinding with aRelay (the binding is marked before it is bound).
  TIdSocketHandle* AddBindingOf(const std::string& aIPAddress, TIdPort aPort, const std::string& aName, bool aRelay);
  // Socket options of a binding about to be bound (the inner server's BeforeBind).
  void ApplySocketBuffers(TIdSocketHandle* aBinding);
  // Carries out the removals of FPendingRemovals (activation lock held).
  void ProcessPendingRemovals() noexcept;
  // Under the component lock: clears the references of aHandle (all when null).
  void InvalidateRefs(const TIdSocketHandle* aHandle);
  // Caller holds the component lock.
  TIdSocketHandle* FirstBindingLocked() const;
  TIdSocketHandle* FindBinding(const std::string& aIPAddress, TIdPort aPort) const;
  std::shared_ptr<TqynIdUDPLogFile> CurrentLogWriter() const;
  bool EnterBusy();
  void LeaveBusy();
  void CloseBusy();

  // Settings.
  mutable std::mutex FSettingsMutex;
  std::string FHost;
  TIdPort FPort = 80;
  TIdIPVersion FIPVersion = Id_IPv4;
  TqynUDPLogFile FLogFile;
  TqynUDPWatchDogServer_Options FWatchDog;
  TqynUDPHeartBeat_Options FHeartBeat;
  TqynUDPTLS_Options FTLSOptions;
  std::atomic<bool> FTLS{false};
  std::atomic<bool> FUseNagle{true};
  std::atomic<int> FConnectTimeout{0};
  std::atomic<int> FReadTimeout{-1};
  std::atomic<int> FWriteTimeout{0};
  bool FStreamedActive = false;

  // Inner server (made on first use, kept until destruction).
  mutable std::mutex FInnerMutex;
  std::unique_ptr<TqynIdUDPServer> FInner;
  std::atomic<TqynIdUDPServer*> FInnerPtr{nullptr};
  // Bindings made by an activation from Host/Port (or the inner server's default rule) and the
  // settings they were made from: replaced at the next activation when those settings changed.
  std::vector<TIdSocketHandle*> FAutoBindings;
  std::string FAutoHost;
  TIdPort FAutoPort = 0;
  TIdIPVersion FAutoIPVersion = Id_IPv4;

  // The activation lock (re-entrant; see TActivationLock): serialises activation, deactivation
  // and binding changes. FActivationMutex guards its owner and nesting depth.
  std::mutex FActivationMutex;
  std::condition_variable FActivationCv;
  std::thread::id FActivationOwner;
  int FActivationDepth = 0;
  // Removals asked for by threads that had to give up waiting for the activation lock.
  std::mutex FPendingMutex;
  std::vector<std::pair<std::string, TIdPort>> FPendingRemovals;
  // References of the bindings that have a listener, in listener order (component lock).
  std::vector<std::shared_ptr<TqynUDPBindingRef>> FRefs;
  // Bindings added as relay bindings, under their own lock (taken last, never held while taking
  // another), and the version of the others.
  mutable std::mutex FRelayBindingsLock;
  std::unordered_set<const TIdSocketHandle*> FRelayBindings;
  std::atomic<uint64_t> FPlainBindingsVersion{1};
  std::atomic<int> FSocketBufferSize{KDefaultSocketBufferSize};
  std::atomic<int> FGrantedReceiveBuffer{0};
  std::atomic<int> FGrantedSendBuffer{0};

  // Log writer (made once, file name kept up to date) and the fast check for the datagram path.
  mutable std::mutex FLogMutex;
  std::shared_ptr<TqynIdUDPLogFile> FLogWriter;
  std::atomic<bool> FLogActive{false};

  // Watchdog.
  std::atomic<bool> FWatchDogEnabled{false};
  std::atomic<int> FWatchDogAttempts{0};
  mutable std::mutex FWatchDogMutex; // the timer pointer and the monitor secret
  TqynTimer* FWatchDogTimer = nullptr;
  std::string FWatchDogMonitorSecret;
  std::atomic<bool> FHasMonitorSecret{false};
  std::atomic<uint64_t> FWatchDogMonitorStart{0};
  std::atomic<bool> FWatchDogMonitorWaiting{false};
  // Watchdog ticks running on other threads; destruction waits for them.
  std::mutex FBusyMutex;
  std::condition_variable FBusyCv;
  std::vector<std::thread::id> FBusy;
  bool FBusyClosed = false;

  // Start/Stop/ReStart threads: owned here, reaped when finished, joined by the destructor.
  std::mutex FThreadsMutex;
  std::list<std::unique_ptr<TUDPServerThread>> FThreads;
  bool FThreadsClosed = false;
};

// The one-shot thread of Start ("start"), Stop ("stop") and ReStart ("restart").
class TUDPServerThread : public TqynIdThread {
public:
  TUDPServerThread(TqynUDPServer_Base* aServer, const std::string& aMethod, bool aFromWatchDog);
  ~TUDPServerThread() override;
  const std::string& Method() const noexcept { return FMethod; }

protected:
  void Run() override;

private:
  TqynUDPServer_Base* FServer;
  std::string FMethod;
  bool FFromWatchDog;
};
