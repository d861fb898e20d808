#include "qynUDP_Server.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "qynClock.h"
#include "qynId_Exceptions.h"
#include "qynMessages.h"

namespace {

constexpr const char* KMethodStart = "start";
constexpr const char* KMethodStop = "stop";
constexpr const char* KMethodRestart = "restart";
constexpr const char* KThreadNamePrefix = "UDPServer ";
constexpr const char* KLoopbackIPv4 = "127.0.0.1";
constexpr const char* KLoopbackIPv6 = "0:0:0:0:0:0:0:1";
constexpr const char* KAnyIPv4 = "0.0.0.0";
constexpr const char* KAnyIPv6 = "0:0:0:0:0:0:0:0";
// The monitor secret is a GUID text: 32 hexadecimal digits.
constexpr size_t KMonitorSecretLength = 32;
// How long a worker thread waits for the activation lock before it checks whether it is being
// stopped.
constexpr auto KActivationPoll = std::chrono::milliseconds(5);

// Equal address texts; IPv6 literals compare in canonical form ("::1" equals "0:0:0:0:0:0:0:1").
bool SameIP(const std::string& aLeft, const std::string& aRight) {
  if (aLeft == aRight) return true;
  if (aLeft.find(':') == std::string::npos || aRight.find(':') == std::string::npos) return false;
  const std::string left = GStack().MakeCanonicalIPv6Address(aLeft);
  return !left.empty() && left == GStack().MakeCanonicalIPv6Address(aRight);
}

// The bindings on aIPAddress:aPort, the one added last first; at most aLimit of them.
std::vector<TIdSocketHandle*> BindingsOn(const TIdSocketHandles& aBindings, const std::string& aIPAddress, TIdPort aPort,
                                         size_t aLimit = SIZE_MAX) {
  std::vector<TIdSocketHandle*> matches;
  const std::vector<TIdSocketHandle*> all = aBindings.ToVector();
  for (auto it = all.rbegin(); it != all.rend() && matches.size() < aLimit; ++it)
    if ((*it)->Port() == aPort && SameIP((*it)->IP(), aIPAddress)) matches.push_back(*it);
  return matches;
}

// base64 (RFC 4648) of "ip:port", the identity of a datagram's socket object. Built in a
// per-thread buffer so that the datagram path allocates only the socket object's own copy.
const std::string& SocketGuid(const std::string& aIP, TIdPort aPort) {
  static constexpr char KAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  thread_local std::string text;
  thread_local std::string out;
  // A listener mostly hears the same few peers: the last text is reused for the same sender.
  thread_local std::string lastIP;
  thread_local TIdPort lastPort = 0;
  if (!out.empty() && aPort == lastPort && aIP == lastIP) return out;
  char digits[8];
  char* end = digits + sizeof digits;
  char* p0 = end;
  unsigned port = aPort;
  do {
    *--p0 = static_cast<char>('0' + port % 10);
    port /= 10;
  } while (port != 0);
  text.assign(aIP);
  text.push_back(':');
  text.append(p0, static_cast<size_t>(end - p0));
  out.clear();
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t len = text.size();
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    const uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
    out.push_back(KAlphabet[(v >> 18) & 63]);
    out.push_back(KAlphabet[(v >> 12) & 63]);
    out.push_back(KAlphabet[(v >> 6) & 63]);
    out.push_back(KAlphabet[v & 63]);
  }
  if (len - i == 1) {
    const uint32_t v = uint32_t(p[i]) << 16;
    out.push_back(KAlphabet[(v >> 18) & 63]);
    out.push_back(KAlphabet[(v >> 12) & 63]);
    out.append("==");
  } else if (len - i == 2) {
    const uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8);
    out.push_back(KAlphabet[(v >> 18) & 63]);
    out.push_back(KAlphabet[(v >> 12) & 63]);
    out.push_back(KAlphabet[(v >> 6) & 63]);
    out.push_back('=');
  }
  lastIP.assign(aIP);
  lastPort = aPort;
  return out;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Socket objects

std::shared_ptr<TqynUDPBindingRef> TqynUDPSocket_Indy::BindingRef() const {
  std::lock_guard<TqynFieldLock> lock(FBindingMutex);
  return FBindingRef;
}

void TqynUDPSocket_Indy::SetBindingRef(std::shared_ptr<TqynUDPBindingRef> aValue) {
  std::lock_guard<TqynFieldLock> lock(FBindingMutex);
  FBindingRef = std::move(aValue);
}

void TqynUDPSocket_Indy::AssignCopy(const TqynSocketConnection_Base& aSource) {
  TqynUDPSocket::AssignCopy(aSource);
  if (const auto* src = dynamic_cast<const TqynUDPSocket_Indy*>(&aSource)) SetBindingRef(src->BindingRef());
}

std::shared_ptr<TqynSocketConnection_Base> TqynUDPSocketServer::Clone() const {
  auto copy = std::make_shared<TqynUDPSocketServer>(Server());
  copy->AssignCopy(*this);
  return copy;
}

std::string TqynUDPSocketServer::DefaultGuid() const { return SocketGuid(IP(), Port()); }

void TqynUDPSocketServer::AssignCopy(const TqynSocketConnection_Base& aSource) {
  TqynUDPSocket_Indy::AssignCopy(aSource);
  if (const auto* src = dynamic_cast<const TqynUDPSocketServer*>(&aSource)) {
    SetServer(src->Server());
    // A queued copy still tells its handler which datagram it belongs to.
    SetMsgRead(src->MsgRead());
  }
}

void TqynUDPSocketServer::WriteData(const TqynBytes& aBytes) {
  TqynUDPServer_Base* server = Server();
  auto report = [&](const Exception& E) {
    if (ExceptionRouting()) ReportException(E);
    else if (server) server->DoSocketException(this, E);
  };
  std::lock_guard<TqynCriticalSection> lock(CS()); // the socket object's send lock
  try {
    if (const auto log = LogFile()) {
      // A log that cannot be written is reported, but does not hold back the answer.
      try {
        log->LogSendBytes(aBytes);
      } catch (const Exception& E) {
        report(E);
      }
    }
    if (!server) throw EqynUDPServerException(RS_UDPServerNoBinding);
    const std::shared_ptr<TqynUDPBindingRef> ref = BindingRef();
    server->WriteDataTo(IP(), Port(), LocalIP(), LocalPort(), aBytes, ref.get());
    AddSendBytes(aBytes.size());
  } catch (const Exception& E) {
    report(E);
  } catch (const std::exception& E) {
    report(Exception(E.what()));
  } catch (...) {
    report(Exception(RS_UnknownException));
  }
}

void TqynUDPSocketServer::WriteData(const std::string& aValue) { WriteData(TextBytes(aValue)); }

// ---------------------------------------------------------------------------------------------
// Inner server

TqynIdUDPServer::~TqynIdUDPServer() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------------
// Start/Stop/ReStart threads

TUDPServerThread::TUDPServerThread(TqynUDPServer_Base* aServer, const std::string& aMethod, bool aFromWatchDog)
    : TqynIdThread(true, false, KThreadNamePrefix + aMethod), FServer(aServer), FMethod(aMethod),
      FFromWatchDog(aFromWatchDog) {}

TUDPServerThread::~TUDPServerThread() { Shutdown(); }

void TUDPServerThread::Run() {
  if (Terminated() || FServer->IsDestroying()) return;
  FServer->RunThreadMethod(FMethod, FFromWatchDog);
}

// ---------------------------------------------------------------------------------------------
// Activation lock

// Takes the activation lock. A worker thread gives up when it is terminated while it waits (the
// holder may be a deactivation that is joining that very thread); the lock then tests false.
// Removals that had to give up that way are carried out when the outermost holder releases it.
class TqynUDPServer_Base::TActivationLock {
public:
  explicit TActivationLock(TqynUDPServer_Base& aOwner) : FOwner(aOwner) {
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(FOwner.FActivationMutex);
    if (FOwner.FActivationOwner != me) {
      while (FOwner.FActivationDepth != 0) {
        FOwner.FActivationCv.wait_for(lock, KActivationPoll);
        if (FOwner.FActivationDepth != 0 && TqynMainThread::ThreadAborted()) return;
      }
      FOwner.FActivationOwner = me;
    }
    ++FOwner.FActivationDepth;
    FLocked = true;
  }
  ~TActivationLock() {
    if (!FLocked) return;
    bool outermost;
    {
      std::lock_guard<std::mutex> lock(FOwner.FActivationMutex);
      outermost = FOwner.FActivationDepth == 1;
    }
    if (outermost) FOwner.ProcessPendingRemovals();
    {
      std::lock_guard<std::mutex> lock(FOwner.FActivationMutex);
      if (--FOwner.FActivationDepth == 0) FOwner.FActivationOwner = std::thread::id();
    }
    FOwner.FActivationCv.notify_all();
  }
  TActivationLock(const TActivationLock&) = delete;
  TActivationLock& operator=(const TActivationLock&) = delete;
  explicit operator bool() const noexcept { return FLocked; }

private:
  TqynUDPServer_Base& FOwner;
  bool FLocked = false;
};

// ---------------------------------------------------------------------------------------------
// Component

TqynUDPServer_Base::TqynUDPServer_Base(TqynComponent_Base* aOwner) : TqynUDPComponent(aOwner) {
  SetNotifyEvents(neNoSync);
}

TqynUDPServer_Base::~TqynUDPServer_Base() {
  TqynUDPServer_Base::ShutdownComponent();
  std::unique_ptr<TqynIdUDPServer> inner;
  {
    std::lock_guard<std::mutex> lock(FInnerMutex);
    inner = std::move(FInner);
    FInnerPtr.store(nullptr);
  }
  inner.reset();
}

void TqynUDPServer_Base::ShutdownComponent() noexcept {
  Destroying();
  // No new one-shot threads; those running finish (a waiting one gives up) and are joined.
  std::list<std::unique_ptr<TUDPServerThread>> threads;
  {
    std::lock_guard<std::mutex> lock(FThreadsMutex);
    FThreadsClosed = true;
    threads.swap(FThreads);
  }
  for (auto& t : threads) t->Terminate();
  for (auto& t : threads) {
    if (t.get() == TIdThread::Current()) {
      // Destroyed from a handler running on this very thread: it frees itself when it returns.
      if (t->SetFreeOnTerminate(true)) (void)t.release();
      continue;
    }
    t.reset();
  }
  try {
    TActivationLock lock(*this);
    Deactivate();
  } catch (...) {
  }
  // Watchdog ticks still running on the timer thread finish before the component goes.
  CloseBusy();
  StopWatchDog();
}

// --- Settings ---

std::string TqynUDPServer_Base::Host() const {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  return FHost;
}

void TqynUDPServer_Base::SetHost(const std::string& aValue) {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  FHost = aValue;
}

TIdPort TqynUDPServer_Base::Port() const {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  return FPort;
}

void TqynUDPServer_Base::SetPort(TIdPort aValue) {
  {
    std::lock_guard<std::mutex> lock(FSettingsMutex);
    FPort = aValue;
  }
  if (TqynIdUDPServer* inner = FInnerPtr.load()) inner->SetDefaultPort(aValue);
}

TIdIPVersion TqynUDPServer_Base::IPVersion() const {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  return FIPVersion;
}

void TqynUDPServer_Base::SetIPVersion(TIdIPVersion aValue) {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  FIPVersion = aValue;
}

TIdSocketHandles& TqynUDPServer_Base::Bindings() { return IdUDPServer()->Bindings(); }

TqynIdUDPServer* TqynUDPServer_Base::IdUDPServer() {
  if (TqynIdUDPServer* p = FInnerPtr.load()) return p;
  std::lock_guard<std::mutex> lock(FInnerMutex);
  if (!FInner) {
    auto inner = std::make_unique<TqynIdUDPServer>();
    inner->SetDefaultPort(Port());
    inner->SetIPVersion(IPVersion());
    inner->SetName(Name());
    inner->OnUDPRead = [this](TIdUDPListenerThread* AThread, const TIdBytes& AData, TIdSocketHandle* ABinding) {
      DoUDPServerRead(AThread, AData, ABinding);
    };
    inner->OnUDPException = [this](TIdUDPListenerThread* AThread, TIdSocketHandle* ABinding, const std::string& AMessage,
                                   const std::string& AExceptionClass) {
      DoUDPServerException(AThread, ABinding, AMessage, AExceptionClass);
    };
    inner->ThreadClass = [this](TIdUDPServer& AServer, TIdSocketHandle& ABinding) {
      return MakeListener(AServer, ABinding);
    };
    inner->BeforeBind = [this](TIdSocketHandle* aBinding) { ApplySocketBuffers(aBinding); };
    FInner = std::move(inner);
    FInnerPtr.store(FInner.get());
  }
  return FInner.get();
}

TqynUDPLogFile TqynUDPServer_Base::LogFile() const {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  return FLogFile;
}

void TqynUDPServer_Base::SetLogFile(const TqynUDPLogFile& aValue) {
  {
    std::lock_guard<std::mutex> lock(FSettingsMutex);
    FLogFile.Assign(aValue);
  }
  std::lock_guard<std::mutex> lock(FLogMutex);
  if (aValue.Enabled && !aValue.FileName.empty()) {
    // One writer for the component's life; socket objects that hold it write to the new name.
    if (!FLogWriter) FLogWriter = std::make_shared<TqynIdUDPLogFile>();
    if (FLogWriter->Filename() != aValue.FileName) FLogWriter->SetFilename(aValue.FileName);
    FLogActive.store(true);
  } else {
    FLogActive.store(false);
  }
}

std::shared_ptr<TqynIdUDPLogFile> TqynUDPServer_Base::CurrentLogWriter() const {
  if (!FLogActive.load(std::memory_order_relaxed)) return nullptr;
  std::lock_guard<std::mutex> lock(FLogMutex);
  return FLogActive.load() ? FLogWriter : nullptr;
}

TqynUDPWatchDogServer_Options TqynUDPServer_Base::WatchDog() const {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  return FWatchDog;
}

void TqynUDPServer_Base::SetWatchDog(const TqynUDPWatchDogServer_Options& aValue) {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  FWatchDog.Assign(aValue);
}

TqynUDPHeartBeat_Options TqynUDPServer_Base::HeartBeat() const {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  return FHeartBeat;
}

void TqynUDPServer_Base::SetHeartBeat(const TqynUDPHeartBeat_Options& aValue) {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  FHeartBeat.Assign(aValue);
}

TqynUDPTLS_Options TqynUDPServer_Base::TLSOptions() const {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  return FTLSOptions;
}

void TqynUDPServer_Base::SetTLSOptions(const TqynUDPTLS_Options& aValue) {
  std::lock_guard<std::mutex> lock(FSettingsMutex);
  FTLSOptions.Assign(aValue);
}

// --- Running ---

bool TqynUDPServer_Base::Active() const {
  const TqynIdUDPServer* inner = FInnerPtr.load();
  return inner && inner->Active();
}

void TqynUDPServer_Base::SetActive(bool aValue) {
  if (IsDesigning() || IsLoading()) {
    std::lock_guard<std::mutex> lock(FSettingsMutex);
    FStreamedActive = aValue;
    return;
  }
  if (aValue && IsDestroying()) return;
  TActivationLock lock(*this);
  if (!lock) return; // this worker thread is being stopped
  if (aValue) Activate();
  else Deactivate();
}

void TqynUDPServer_Base::Loaded() {
  bool active;
  {
    std::lock_guard<std::mutex> lock(FSettingsMutex);
    active = FStreamedActive;
  }
  if (active && !IsDesigning() && !IsLoading()) SetActive(true);
}

void TqynUDPServer_Base::Activate(bool aFromWatchDog) {
  TqynIdUDPServer* inner = IdUDPServer();
  if (inner->Active()) return;
  const std::string host = Host();
  const TIdPort port = Port();
  const TIdIPVersion version = IPVersion();
  FWatchDogEnabled.store(WatchDog().Enabled);
  try {
    inner->SetDefaultPort(port);
    inner->SetIPVersion(version);
    inner->SetName(Name());
    TIdSocketHandles& bindings = inner->Bindings();
    // Bindings that an earlier activation made from Host/Port (or by the inner server's own
    // rule) follow changed settings; bindings the application made are kept as they are.
    if (!FAutoBindings.empty()) {
      if (bindings.ToVector() == FAutoBindings && (host != FAutoHost || port != FAutoPort || version != FAutoIPVersion)) {
        // Under the component lock: a send of another thread may have found one of them.
        std::lock_guard<TqynCriticalSection> guard(CS());
        bindings.Clear();
      }
      FAutoBindings.clear();
    }
    const bool automatic = bindings.Count() == 0;
    if (automatic && !host.empty()) {
      TIdSocketHandle* b = bindings.Add();
      b->SetIP(host);
      b->SetPort(port);
      b->SetIPVersion(IdIPVersionOfText(host));
    }
    auto remember = [&] {
      if (!automatic) return;
      FAutoBindings = bindings.ToVector();
      FAutoHost = host;
      FAutoPort = port;
      FAutoIPVersion = version;
    };
    try {
      inner->SetActive(true);
    } catch (...) {
      remember();
      throw;
    }
    remember();
    FPlainBindingsVersion.fetch_add(1, std::memory_order_acq_rel);
    DoAfterStart();
  } catch (...) {
    // Not raised to the caller: the component stays inactive (also when OnStartup raised after
    // the listeners started), and the watchdog, when enabled, retries on its next tick. A start
    // that the watchdog itself asked for leaves the watchdog as it is, so that its Attempts
    // still end it.
    try {
      if (inner->Active()) inner->SetActive(false);
    } catch (...) {
    }
    InvalidateRefs(nullptr);
    {
      std::lock_guard<std::mutex> lock(FWatchDogMutex);
      FWatchDogMonitorSecret.clear();
    }
    FHasMonitorSecret.store(false);
    if (FWatchDogEnabled.load() && !aFromWatchDog) {
      try {
        StartWatchDog();
      } catch (...) {
      }
    }
  }
}

void TqynUDPServer_Base::Deactivate() {
  FWatchDogEnabled.store(false);
  TqynIdUDPServer* inner = FInnerPtr.load();
  const bool wasActive = inner && inner->Active();
  // Stops every listener and closes its socket at once, then joins them without holding the
  // component lock (a listener may be sending).
  if (inner) inner->SetActive(false);
  InvalidateRefs(nullptr);
  FPlainBindingsVersion.fetch_add(1, std::memory_order_acq_rel);
  DoAfterStop(wasActive);
}

void TqynUDPServer_Base::Start() { LaunchThread(KMethodStart, false); }

void TqynUDPServer_Base::Stop() { LaunchThread(KMethodStop, false); }

void TqynUDPServer_Base::ReStart() { LaunchThread(KMethodRestart, false); }

void TqynUDPServer_Base::LaunchThread(const char* aMethod, bool aFromWatchDog) {
  std::lock_guard<std::mutex> lock(FThreadsMutex);
  if (FThreadsClosed || IsDestroying()) return;
  // Reap the threads that have finished their work.
  for (auto it = FThreads.begin(); it != FThreads.end();) {
    if ((*it)->Finished()) it = FThreads.erase(it);
    else ++it;
  }
  FThreads.push_back(std::make_unique<TUDPServerThread>(this, aMethod, aFromWatchDog));
  FThreads.back()->Start();
}

void TqynUDPServer_Base::RunThreadMethod(const std::string& aMethod, bool aFromWatchDog) {
  if (aMethod == KMethodStart) {
    // A start the watchdog asked for is void once the application stopped the server.
    if (aFromWatchDog && !FWatchDogEnabled.load()) return;
    if (IsDesigning() || IsLoading() || IsDestroying()) return;
    TActivationLock lock(*this);
    if (lock && (!aFromWatchDog || FWatchDogEnabled.load())) Activate(aFromWatchDog);
  } else if (aMethod == KMethodStop) {
    SetActive(false);
  } else if (aMethod == KMethodRestart) {
    TActivationLock lock(*this);
    const TqynIdUDPServer* inner = FInnerPtr.load();
    if (!lock || !inner || !inner->Active()) return;
    Deactivate();
    if (!IsDestroying()) Activate();
  }
}

// --- Bindings ---

std::unique_ptr<TIdUDPListenerThread> TqynUDPServer_Base::MakeListener(TIdUDPServer& AServer, TIdSocketHandle& ABinding) {
  auto ref = std::make_shared<TqynUDPBindingRef>();
  ref->Handle = &ABinding;
  ref->IP = ABinding.IP();
  ref->Port = ABinding.Port();
  ref->IPVersion = ABinding.IPVersion();
  {
    std::lock_guard<TqynCriticalSection> lock(CS());
    FRefs.push_back(ref);
  }
  auto listener = std::make_unique<TqynUDPListenerThread>(AServer, ABinding, std::move(ref));
  // Thousands of relay bindings may be held: they share one poller thread.
  if (IsRelayBinding(&ABinding)) listener->SetPooled(true);
  return listener;
}

void TqynUDPServer_Base::ApplySocketBuffers(TIdSocketHandle* aBinding) {
  const int wanted = SocketBufferSize();
  if (wanted <= 0 || IsRelayBinding(aBinding)) return;
  aBinding->SetSockOpt(SOL_SOCKET, SO_RCVBUF, wanted);
  aBinding->SetSockOpt(SOL_SOCKET, SO_SNDBUF, wanted);
  const int receive = aBinding->GetSockOpt(SOL_SOCKET, SO_RCVBUF);
  const int send = aBinding->GetSockOpt(SOL_SOCKET, SO_SNDBUF);
  FGrantedReceiveBuffer.store(receive);
  FGrantedSendBuffer.store(send);
  // Linux grants twice the value asked for (the rest is its bookkeeping), capped by rmem_max and
  // wmem_max.
  if (receive / 2 >= wanted && send / 2 >= wanted) return;
  if (auto writer = CurrentLogWriter())
    writer->LogStatus(QynFormat(RS_UDPSocketBuffersCapped, wanted, receive / 2, send / 2));
}

void TqynUDPServer_Base::InvalidateRefs(const TIdSocketHandle* aHandle) {
  std::lock_guard<TqynCriticalSection> lock(CS());
  for (auto it = FRefs.begin(); it != FRefs.end();) {
    if (!aHandle || (*it)->Handle == aHandle) {
      {
        std::lock_guard<std::mutex> sending((*it)->Lock); // waits for a send through it to end
        (*it)->Handle = nullptr;
      }
      it = FRefs.erase(it);
    } else {
      ++it;
    }
  }
}

TIdSocketHandle* TqynUDPServer_Base::FirstBindingLocked() const { return FRefs.empty() ? nullptr : FRefs.front()->Handle; }

TIdSocketHandle* TqynUDPServer_Base::FindBinding(const std::string& aIPAddress, TIdPort aPort) const {
  const TqynIdUDPServer* inner = FInnerPtr.load();
  if (!inner) return nullptr;
  const std::vector<TIdSocketHandle*> found = BindingsOn(const_cast<TqynIdUDPServer*>(inner)->Bindings(), aIPAddress, aPort, 1);
  return found.empty() ? nullptr : found.front();
}

TIdSocketHandle* TqynUDPServer_Base::GetBinding(const std::string& aIPAddress, TIdPort aPort) {
  return FindBinding(aIPAddress, aPort);
}

TIdSocketHandle* TqynUDPServer_Base::AddRelayBinding(const std::string& aIPAddress, TIdPort aPort, const std::string& aName) {
  TActivationLock lock(*this);
  if (!lock) throw EqynUDPServerException(RS_UDPServerStopping);
  const uint64_t version = PlainBindingsVersion();
  TIdSocketHandle* b = AddBindingOf(aIPAddress, aPort, aName, true);
  // A relay binding does not change what the other bindings are (the activation lock is held, so
  // no other change happened meanwhile).
  FPlainBindingsVersion.store(version, std::memory_order_release);
  return b;
}

bool TqynUDPServer_Base::IsRelayBinding(const TIdSocketHandle* aBinding) const {
  std::lock_guard<std::mutex> guard(FRelayBindingsLock);
  return FRelayBindings.count(aBinding) != 0;
}

std::shared_ptr<TqynUDPBindingRef> TqynUDPServer_Base::BindingRefOf(const TIdSocketHandle* aBinding) {
  if (!aBinding) return nullptr;
  std::lock_guard<TqynCriticalSection> lock(CS());
  for (auto it = FRefs.rbegin(); it != FRefs.rend(); ++it)
    if ((*it)->Handle == aBinding) return *it;
  return nullptr;
}

TIdSocketHandle* TqynUDPServer_Base::AddBinding(const std::string& aIPAddress, TIdPort aPort, const std::string& aName) {
  return AddBindingOf(aIPAddress, aPort, aName, false);
}

TIdSocketHandle* TqynUDPServer_Base::AddBindingOf(const std::string& aIPAddress, TIdPort aPort, const std::string& aName,
                                                  bool aRelay) {
  TActivationLock lock(*this);
  if (!lock) throw EqynUDPServerException(RS_UDPServerStopping);
  auto markRelay = [this](TIdSocketHandle* aBinding) {
    std::lock_guard<std::mutex> guard(FRelayBindingsLock);
    FRelayBindings.insert(aBinding);
  };
  if (aPort != 0)
    if (TIdSocketHandle* existing = FindBinding(aIPAddress, aPort)) {
      // A relay binding is never one the server already has (its listening binding, say, on a
      // port of the relay range): that port is taken, as if another program held it.
      if (aRelay) throw EIdSocketError::FromErrno(EADDRINUSE);
      return existing;
    }
  TqynIdUDPServer* inner = IdUDPServer();
  TIdSocketHandle* b = inner->Bindings().Add();
  b->SetIP(aIPAddress);
  b->SetPort(aPort);
  b->SetName(aName);
  b->SetIPVersion(IdIPVersionOfText(aIPAddress));
  if (aRelay) {
    // Marked before its socket and listener are made, which both take their form from the mark.
    markRelay(b);
    b->SetWakeByShutdown(true);
  }
  FPlainBindingsVersion.fetch_add(1, std::memory_order_acq_rel);
  if (!inner->Active()) return b; // bound with the others by the next activation
  try {
    inner->AllocateBinding(b);
    inner->DoAfterBind();
    if (inner->BroadcastEnabled()) b->SetBroadcastEnabled(true);
    inner->StartListener(b);
    FPlainBindingsVersion.fetch_add(1, std::memory_order_acq_rel); // its bound port is known now
  } catch (...) {
    // A binding that could not be opened is not left behind: a later activation would fail on it.
    InvalidateRefs(b);
    inner->StopListener(b);
    b->CloseSocket();
    {
      std::lock_guard<std::mutex> guard(FRelayBindingsLock);
      FRelayBindings.erase(b);
    }
    {
      std::lock_guard<TqynCriticalSection> guard(CS());
      inner->Bindings().Remove(b);
    }
    throw;
  }
  return b;
}

bool TqynUDPServer_Base::RemoveBinding(const std::string& aIPAddress, TIdPort aPort) {
  TActivationLock lock(*this);
  if (!lock) {
    // A handler on a listener that is being stopped: the holder of the lock (which may be
    // joining this thread) removes the binding when it releases the lock.
    const bool found = FindBinding(aIPAddress, aPort) != nullptr;
    if (found) {
      std::lock_guard<std::mutex> guard(FPendingMutex);
      FPendingRemovals.emplace_back(aIPAddress, aPort);
    }
    return found;
  }
  TqynIdUDPServer* inner = FInnerPtr.load();
  if (!inner) return false;
  // Every match, the last one first.
  const std::vector<TIdSocketHandle*> matches = BindingsOn(inner->Bindings(), aIPAddress, aPort);
  bool removed = false;
  for (TIdSocketHandle* b : matches) {
    // From here on no send uses the binding; its listener stops at once and is joined (a
    // listener removing its own binding frees itself when its handler returns).
    InvalidateRefs(b);
    inner->StopListener(b);
    b->CloseSocket();
    {
      std::lock_guard<TqynCriticalSection> guard(CS());
      bool relay;
      {
        std::lock_guard<std::mutex> relayGuard(FRelayBindingsLock);
        relay = FRelayBindings.erase(b) != 0;
      }
      if (!relay) FPlainBindingsVersion.fetch_add(1, std::memory_order_acq_rel);
      removed = inner->Bindings().Remove(b) || removed;
    }
    FAutoBindings.erase(std::remove(FAutoBindings.begin(), FAutoBindings.end(), b), FAutoBindings.end());
  }
  return removed;
}

void TqynUDPServer_Base::ProcessPendingRemovals() noexcept {
  for (;;) {
    std::vector<std::pair<std::string, TIdPort>> pending;
    {
      std::lock_guard<std::mutex> guard(FPendingMutex);
      pending.swap(FPendingRemovals);
    }
    if (pending.empty()) return;
    for (const auto& [ip, port] : pending) {
      try {
        RemoveBinding(ip, port);
      } catch (...) {
      }
    }
  }
}

// --- Sending ---

void TqynUDPServer_Base::WriteData(const std::string& aIP, TIdPort aPort, const std::string& aValue) {
  WriteDataTo(aIP, aPort, std::string(), 0, TextBytes(aValue), nullptr);
}

void TqynUDPServer_Base::WriteData(const std::string& aIP, TIdPort aPort, const TqynBytes& aBytes) {
  WriteDataTo(aIP, aPort, std::string(), 0, aBytes, nullptr);
}

void TqynUDPServer_Base::WriteData(const std::string& aSourceIP, TIdPort aSourcePort, const std::string& aIP,
                                   TIdPort aPort, const std::string& aValue) {
  WriteDataTo(aIP, aPort, aSourceIP, aSourcePort, TextBytes(aValue), nullptr);
}

void TqynUDPServer_Base::WriteData(const std::string& aSourceIP, TIdPort aSourcePort, const std::string& aIP,
                                   TIdPort aPort, const TqynBytes& aBytes) {
  WriteDataTo(aIP, aPort, aSourceIP, aSourcePort, aBytes, nullptr);
}

void TqynUDPServer_Base::WriteDataTo(const std::string& aIP, TIdPort aPort, const std::string& aSourceIP,
                                     TIdPort aSourcePort, const TqynBytes& aBytes, const TqynUDPBindingRef* aBinding) {
  const TIdIPVersion version = IdIPVersionOfText(aIP);
  if (aBinding) {
    // The reference's lock keeps its binding alive until the send is done (it is cleared under
    // that lock before the binding goes); no component-wide lock is taken.
    std::lock_guard<std::mutex> sending(aBinding->Lock);
    if (TIdSocketHandle* handle = aBinding->Handle) {
      handle->SendTo(aIP, aPort, version, aBytes);
      return;
    }
  }
  // The component lock keeps every binding found here alive until the send is done: bindings are
  // removed, and references cleared, only under it.
  std::lock_guard<TqynCriticalSection> lock(CS());
  TIdSocketHandle* binding = nullptr;
  if (!binding && !aSourceIP.empty()) binding = FindBinding(aSourceIP, aSourcePort);
  if (!binding) {
    // The first binding that can reach the address (with the dual-stack default an IPv6
    // destination needs the IPv6 binding); the very first one when none can, which reports it.
    for (const auto& ref : FRefs) {
      if (ref->IPVersion == version) {
        binding = ref->Handle;
        break;
      }
    }
    if (!binding) binding = FirstBindingLocked();
  }
  if (!binding) throw EqynUDPServerException(RS_UDPServerNoBinding);
  binding->SendTo(aIP, aPort, version, aBytes);
}

void TqynUDPServer_Base::SetNotifyEvents(TwsNotifyEvent aValue) {
  TqynUDPComponent::SetNotifyEvents(aValue);
  std::lock_guard<std::mutex> lock(FWatchDogMutex);
  if (FWatchDogTimer) FWatchDogTimer->SetNotifyEvents(aValue);
}

bool TqynUDPServer_Base::WatchDogRunning() const {
  std::lock_guard<std::mutex> lock(FWatchDogMutex);
  return FWatchDogTimer && FWatchDogTimer->Enabled() && !FWatchDogTimer->Terminated();
}

// --- Datagrams ---

std::shared_ptr<TqynUDPSocketServer> TqynUDPServer_Base::GetSocketServer(TIdSocketHandle* aBinding,
                                                                          const std::shared_ptr<TqynUDPBindingRef>& aRef) {
  auto socket = std::make_shared<TqynUDPSocketServer>(this);
  const std::string ip = aBinding->PeerIP();
  const TIdPort port = aBinding->PeerPort();
  socket->SetIP(ip);
  socket->SetPort(port);
  if (aRef) {
    socket->SetLocalIP(aRef->IP);
    socket->SetLocalPort(aRef->Port);
    socket->SetIPVersion(aRef->IPVersion);
    socket->SetBindingRef(aRef);
  } else {
    socket->SetLocalIP(aBinding->IP());
    socket->SetLocalPort(aBinding->Port());
    socket->SetIPVersion(aBinding->IPVersion());
  }
  if (FLogActive.load(std::memory_order_relaxed)) socket->SetLogFile(CurrentLogWriter());
  socket->SetExceptionRouting([this](TqynSocketConnection* aSocket, const Exception& E) {
    DoSocketException(dynamic_cast<TqynUDPSocket*>(aSocket), E);
  });
  return socket;
}

void TqynUDPServer_Base::DoUDPServerRead(TIdUDPListenerThread* AThread, const TIdBytes& AData, TIdSocketHandle* ABinding) {
  if (IsDestroying()) return;
  std::shared_ptr<TqynUDPSocketServer> socket;
  try {
    if (IsWatchDogMonitor(AData)) {
      // The watchdog's own probe came back: neither logged nor delivered.
      FWatchDogMonitorWaiting.store(false);
      return;
    }
    const auto* listener = dynamic_cast<TqynUDPListenerThread*>(AThread);
    socket = GetSocketServer(ABinding, listener ? listener->BindingRef() : nullptr);
    // MsgRead reads the listener's bytes while the datagram is delivered (no copy per datagram).
    socket->SetMsgReadView(&AData);
    socket->AddRecBytes(AData.size());
    if (!AData.empty() && FLogActive.load(std::memory_order_relaxed)) {
      if (const auto log = socket->LogFile()) {
        // A log that cannot be written is reported; the datagram is still delivered.
        try {
          log->LogRecvBytes(AData);
        } catch (const Exception& E) {
          DoException(socket.get(), E);
        }
      }
    }
    // Nothing below may touch ABinding: a handler may remove it.
    if (NotifyEvents() == neNoSync) {
      // On this thread with the listener's own bytes: nothing is copied.
      if (!IsDestroying()) DoUDPRead(socket.get(), AData);
    } else {
      NotifyUDPRead(socket.get());
    }
  } catch (const Exception& E) {
    DoException(socket.get(), E);
  } catch (const std::exception& E) {
    DoException(socket.get(), Exception(E.what()));
  } catch (...) {
    DoException(socket.get(), Exception(RS_UnknownException));
  }
  if (socket) {
    try {
      socket->EndMsgReadView(socket.use_count() > 1);
    } catch (...) {
      socket->EndMsgReadView(false);
    }
  }
  FreeSocketObject(socket);
}

void TqynUDPServer_Base::DoUDPServerException(TIdUDPListenerThread* AThread, TIdSocketHandle* ABinding,
                                              const std::string& AMessage, const std::string& AExceptionClass) {
  (void)AExceptionClass;
  if (IsDestroying() || !ABinding) return;
  std::shared_ptr<TqynUDPSocketServer> socket;
  try {
    const auto* listener = dynamic_cast<TqynUDPListenerThread*>(AThread);
    socket = GetSocketServer(ABinding, listener ? listener->BindingRef() : nullptr);
    DoException(socket.get(), Exception(AMessage));
  } catch (...) {
  }
  FreeSocketObject(socket);
}

void TqynUDPServer_Base::DoSocketException(TqynUDPSocket* aSocket, const Exception& E) {
  if (IsDestroying()) return;
  DoException(aSocket, E);
}

// --- Watchdog ---

bool TqynUDPServer_Base::EnterBusy() {
  std::lock_guard<std::mutex> lock(FBusyMutex);
  if (FBusyClosed) return false;
  FBusy.push_back(std::this_thread::get_id());
  return true;
}

void TqynUDPServer_Base::LeaveBusy() {
  {
    std::lock_guard<std::mutex> lock(FBusyMutex);
    const auto it = std::find(FBusy.begin(), FBusy.end(), std::this_thread::get_id());
    if (it != FBusy.end()) FBusy.erase(it);
  }
  FBusyCv.notify_all();
}

void TqynUDPServer_Base::CloseBusy() {
  std::unique_lock<std::mutex> lock(FBusyMutex);
  FBusyClosed = true;
  const auto self = std::this_thread::get_id();
  FBusyCv.wait(lock, [&] {
    return std::all_of(FBusy.begin(), FBusy.end(), [&](const std::thread::id& id) { return id == self; });
  });
}

void TqynUDPServer_Base::StartWatchDog() {
  const TqynUDPWatchDogServer_Options options = WatchDog();
  if (!options.Enabled || IsDestroying()) return;
  const int interval = options.Interval > INT_MAX / 1000 ? INT_MAX : options.Interval * 1000;
  std::lock_guard<std::mutex> lock(FWatchDogMutex);
  if (!FWatchDogTimer) {
    auto* timer = new TqynTimer(RS_UDPServerWatchDogName);
    timer->SetNotifyEvents(NotifyEvents());
    timer->OnTimer = [this](TqynTimer* Sender) { DoWatchDogTimer(Sender); };
    timer->OnException = [this](TqynTimer* Sender, const Exception& E) { DoWatchDogException(Sender, E); };
    FWatchDogTimer = timer;
  }
  FWatchDogTimer->SetInterval(interval);
  if (options.Interval > 0 && !FWatchDogTimer->Enabled()) FWatchDogTimer->SetEnabled(true);
}

void TqynUDPServer_Base::StopWatchDog() {
  TqynIdThread* timer;
  {
    std::lock_guard<std::mutex> lock(FWatchDogMutex);
    timer = FWatchDogTimer;
    FWatchDogTimer = nullptr;
  }
  FreeThread(timer);
}

bool TqynUDPServer_Base::IsWatchDogMonitor(const TIdBytes& aBytes) {
  if (aBytes.size() != KMonitorSecretLength || !FHasMonitorSecret.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> lock(FWatchDogMutex);
  return FWatchDogMonitorSecret.size() == aBytes.size() &&
         std::memcmp(FWatchDogMonitorSecret.data(), aBytes.data(), aBytes.size()) == 0;
}

void TqynUDPServer_Base::DoWatchDogMonitor() {
  std::string secret;
  {
    std::lock_guard<std::mutex> lock(FWatchDogMutex);
    secret = FWatchDogMonitorSecret;
  }
  if (secret.empty()) return; // inactive
  if (FWatchDogMonitorWaiting.load()) {
    const int timeOut = std::max(0, WatchDog().Monitor.TimeOut);
    if (QynTickCount64() - FWatchDogMonitorStart.load() >= static_cast<uint64_t>(timeOut) * 1000u) {
      FWatchDogMonitorWaiting.store(false);
      ReStart();
      return;
    }
  } else {
    // Marked outstanding before it is sent: on loopback the probe may be back before the send
    // returns.
    FWatchDogMonitorStart.store(QynTickCount64());
    FWatchDogMonitorWaiting.store(true);
  }
  // The probe goes from an ephemeral port to the first binding (loopback for an any-address).
  std::string ip;
  TIdPort port = Port();
  {
    std::lock_guard<TqynCriticalSection> lock(CS());
    if (!FRefs.empty()) {
      ip = FRefs.front()->IP;
      port = FRefs.front()->Port;
    }
  }
  if (ip.empty() || ip == KAnyIPv4) ip = KLoopbackIPv4;
  else if (ip == KAnyIPv6) ip = KLoopbackIPv6;
  const TIdIPVersion version = IdIPVersionOfText(ip);
  TIdUDPClient probe;
  probe.SetIPVersion(version);
  probe.SendBuffer(ip, port, TextBytes(secret), version);
}

void TqynUDPServer_Base::DoWatchDogTimer(TqynTimer* Sender) {
  (void)Sender;
  if (IsDestroying() || !EnterBusy()) return;
  struct TLeave {
    TqynUDPServer_Base& Owner;
    ~TLeave() { Owner.LeaveBusy(); }
  } leave{*this};
  bool handled = false;
  if (OnBeforeWatchDog) OnBeforeWatchDog(this, handled);
  if (handled) return;
  const TqynUDPWatchDogServer_Options options = WatchDog();
  // Nothing to bring up once the application has stopped the server.
  if (FWatchDogEnabled.load()) {
    if (NotifyEvents() != neNoSync) {
      if (!Active()) {
        TqynMainThread::Post(AliveToken().Guard([this] { LaunchThread(KMethodStart, true); }));
      } else if (options.Monitor.Enabled) {
        TqynMainThread::Post(AliveToken().Guard([this] {
          try {
            DoWatchDogMonitor();
          } catch (const Exception& E) {
            DoException(nullptr, E);
          } catch (const std::exception& E) {
            DoException(nullptr, Exception(E.what()));
          }
        }));
      }
    } else if (!Active()) {
      LaunchThread(KMethodStart, true);
    } else if (options.Monitor.Enabled) {
      DoWatchDogMonitor();
    }
  }
  if (options.Attempts >= 1 && FWatchDogAttempts.fetch_add(1) + 1 >= options.Attempts) StopWatchDog();
}

void TqynUDPServer_Base::DoWatchDogException(TqynTimer* Sender, const Exception& E) {
  (void)Sender;
  if (IsDestroying()) return;
  DoException(nullptr, E);
}

void TqynUDPServer_Base::DoAfterStart() {
  {
    std::lock_guard<std::mutex> lock(FWatchDogMutex);
    FWatchDogMonitorSecret = NewGuidText();
  }
  FHasMonitorSecret.store(true);
  FWatchDogMonitorWaiting.store(false);
  if (FWatchDogEnabled.load()) StartWatchDog();
  if (OnStartup && !IsDestroying()) OnStartup(this);
}

void TqynUDPServer_Base::DoAfterStop(bool aWasActive) {
  {
    std::lock_guard<std::mutex> lock(FWatchDogMutex);
    FWatchDogMonitorSecret.clear();
  }
  FHasMonitorSecret.store(false);
  FWatchDogMonitorWaiting.store(false);
  StopWatchDog();
  if (aWasActive && !IsDestroying() && OnShutdown) OnShutdown(this);
}
