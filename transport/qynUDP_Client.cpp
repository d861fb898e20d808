#include "qynUDP_Client.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <vector>

#include "qynId_Exceptions.h"
#include "qynId_Hash.h"
#include "qynMessages.h"

namespace {

// Thread names (debuggers and `top -H`).
constexpr const char* KReadThreadName = "UDPClient Read";
constexpr const char* KRetransmissionTimerName = "UDPClient Retry";

// A failure to make or bind the socket is retried after this pause.
constexpr int KSetupRetryMS = 100;
// Upper bound of a send waiting for socket buffer space, so that a resend under the engine's
// queue lock (or a write during destruction) cannot wait without limit.
constexpr int KSendTimeoutMS = 2000;

// A copy of any caught exception as this system's Exception.
std::unique_ptr<Exception> CurrentExceptionCopy() {
  try {
    throw;
  } catch (const Exception& E) {
    return E.Clone();
  } catch (const std::exception& E) {
    return std::make_unique<Exception>(E.what());
  } catch (...) {
    return std::make_unique<Exception>(RS_UnknownException);
  }
}

int DoubledRTO(int aRTO) {
  if (aRTO <= 0) return 0;
  return aRTO > INT_MAX / 2 ? INT_MAX : aRTO * 2;
}

uint64_t DueAfter(uint64_t aNow, int aRTO) { return aNow + static_cast<uint64_t>(std::max(aRTO, 0)); }

TIdSocksVersion SocksVersionOf(TwsProxy aProxy) {
  switch (aProxy) {
  case pxySocks4: return svSocks4;
  case pxySocks4A: return svSocks4A;
  case pxySocks5: return svSocks5;
  case pxyHTTP: break;
  }
  return svNoSocks;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TqynUDPRetransmissions

TqynUDPRetransmissions::TqynUDPRetransmissions()
    : FQueue(std::make_shared<TqynUDPRetransmissionQueue>()), FAlive(std::make_shared<std::atomic<bool>>(true)) {}

TqynUDPRetransmissions::~TqynUDPRetransmissions() {
  std::unique_ptr<TqynTimer> timer;
  {
    std::lock_guard<std::mutex> lock(FTimerMutex);
    timer.swap(FTimer);
  }
  // The timer is stopped (a tick on another thread has ended) before the token is cleared; a
  // tick on this thread sees it cleared when its handler returns.
  DisposeTimer(std::move(timer));
  FAlive->store(false);
  FQueue->Clear();
}

std::unique_ptr<TqynTimer> TqynUDPRetransmissions::MakeTimer() {
  auto timer = std::make_unique<TqynTimer>(KRetransmissionTimerName);
  timer->SetInterval(10);
  timer->SetNotifyEvents(neNoSync);
  timer->OnTimer = [this](TqynTimer*) { Tick(); };
  timer->OnException = [this](TqynTimer*, const Exception& E) { Report(E); };
  return timer;
}

void TqynUDPRetransmissions::DisposeTimer(std::unique_ptr<TqynTimer> aTimer) {
  if (!aTimer) return;
  if (aTimer->IsCurrentThread()) {
    // Disposed from inside its own tick: the timer frees itself when the tick has returned.
    FreeThread(aTimer);
    return;
  }
  // Terminate first (this also withdraws a tick's pending call to the main thread), then the
  // destructor waits for a tick in progress and joins the thread.
  aTimer->SetEnabled(false);
  aTimer.reset();
}

TqynTimer* TqynUDPRetransmissions::Timer() {
  std::lock_guard<std::mutex> lock(FTimerMutex);
  if (!FTimer) FTimer = MakeTimer();
  return FTimer.get();
}

bool TqynUDPRetransmissions::Enabled() const {
  std::lock_guard<std::mutex> lock(FTimerMutex);
  return FTimer && FTimer->Enabled() && !FTimer->Terminated();
}

void TqynUDPRetransmissions::SetEnabled(bool aValue) {
  std::unique_ptr<TqynTimer> stopped;
  {
    std::lock_guard<std::mutex> lock(FTimerMutex);
    if (aValue) {
      // A timer that was stopped never ticks again: replace it.
      if (FTimer && FTimer->Terminated()) stopped = std::move(FTimer);
      if (!FTimer) FTimer = MakeTimer();
      FTimer->SetEnabled(true);
    } else if (FTimer) {
      FTimer->SetEnabled(false);
    }
  }
  DisposeTimer(std::move(stopped));
}

void TqynUDPRetransmissions::AddItem(std::shared_ptr<TqynUDPRetransmissionItem> aItem) {
  if (!aItem) return;
  std::lock_guard<TqynCriticalSection> lock(FQueue->Lock());
  aItem->RTO = RTO();
  aItem->MaxRetries = MaxRetries();
  aItem->NextRetry = DueAfter(QynTickCount64(), aItem->RTO);
  FQueue->AddItem(aItem);
}

std::shared_ptr<TqynUDPRetransmissionItem> TqynUDPRetransmissions::AddItem(const std::string& aID, const TqynBytes& aBytes,
                                                                          const std::string& aIPAddress, TIdPort aPort) {
  auto item = std::make_shared<TqynUDPRetransmissionItem>();
  item->SetID(aID);
  item->Bytes = aBytes;
  item->IPAddress = aIPAddress;
  item->Port = aPort;
  AddItem(item);
  return item;
}

bool TqynUDPRetransmissions::DeleteItem(const std::string& aID) { return FQueue->DeleteItem(aID); }

void TqynUDPRetransmissions::Report(const Exception& E) {
  const TqynUDPRetransmissionExceptionEvent handler = OnException;
  if (!handler) return;
  try {
    handler(this, E);
  } catch (...) {
  }
}

void TqynUDPRetransmissions::Tick() {
  // Both kept by the tick itself: a handler may destroy the engine.
  const std::shared_ptr<const std::atomic<bool>> alive = FAlive;
  const std::shared_ptr<TqynUDPRetransmissionQueue> queue = FQueue;
  const TqynUDPRetransmissionRetryEvent retry = OnRetry;
  std::vector<std::unique_ptr<Exception>> failures;
  {
    std::lock_guard<TqynCriticalSection> lock(queue->Lock());
    // Handlers may add or delete items meanwhile (same thread, re-entrant lock), so the tick
    // walks a snapshot and skips items that left the queue.
    const std::vector<TqynQueueItemRef> snapshot = queue->List();
    const uint64_t now = QynTickCount64();
    bool handlerRan = false;
    for (size_t k = snapshot.size(); k-- > 0;) {
      const TqynQueueItemRef& ref = snapshot[k];
      auto item = std::dynamic_pointer_cast<TqynUDPRetransmissionItem>(ref);
      if (!item || (handlerRan && !queue->Contains(ref))) continue;
      if (item->NextRetry > now) continue;
      ++item->Retries;
      item->RTO = DoubledRTO(item->RTO);
      item->NextRetry = DueAfter(now, item->RTO);
      if (item->Retries >= item->MaxRetries) {
        queue->RemoveItem(ref, FromEnd); // tries used up: dropped without a word
        continue;
      }
      if (!retry) continue;
      handlerRan = true;
      try {
        retry(this, item->Bytes, item->IPAddress, item->Port);
      } catch (...) {
        failures.push_back(CurrentExceptionCopy());
      }
      if (!alive->load()) return;
    }
  }
  // Reported without the queue's lock: an exception handler may do anything, including waiting
  // for a thread that waits for this lock.
  for (const auto& failure : failures) {
    if (!alive->load()) return;
    Report(*failure);
  }
}

// ---------------------------------------------------------------------------------------------
// TqynUDPReadThread

TqynUDPReadThread::TqynUDPReadThread(TqynIdUDPClient* aClient)
    : TqynIdThread(true, true, KReadThreadName), FClient(aClient) {}

TqynUDPReadThread::~TqynUDPReadThread() { Shutdown(); }

void TqynUDPReadThread::WakeUp() {
  if (TqynIdUDPClient* client = FClient.load()) client->Wakeup();
}

void TqynUDPReadThread::ReportException(const Exception& E) {
  const TqynReadThreadExceptionEvent handler = OnReadException;
  if (!handler) return;
  SetExecuting(true);
  try {
    handler(E);
  } catch (...) {
  }
  SetExecuting(false);
}

void TqynUDPReadThread::Run() {
  FExecuted.store(true);
  TqynIdUDPClient* client = FClient.load();
  if (!client) {
    SleepFor(ReadWaitMS);
    return;
  }
  // Once Terminated() is true the client may be gone (destroyed from a handler on this thread):
  // from then on nothing of it is touched.
  try {
    if (!Terminated()) {
      const TqynReadThreadNotifyEvent onThread = OnReadThread;
      if (onThread) onThread(this);
    }
    if (Terminated()) return;
    if (!FReadSocket.load()) {
      SleepFor(ReadWaitMS);
      return;
    }
    std::string peerIP;
    TIdPort peerPort = 0;
    int count = 0;
    client->EnterCS();
    try {
      try {
        client->PrepareSocket();
        FSetupFailure.clear();
      } catch (const Exception& E) {
        client->LeaveCS();
        // Reported once per distinct failure, retried after a pause.
        const std::string key = std::string(E.ClassName()) + "\n" + E.Message();
        if (key != FSetupFailure) {
          FSetupFailure = key;
          ReportException(E);
        }
        SleepFor(KSetupRetryMS);
        return;
      }
      count = client->ReadDatagram(peerIP, peerPort);
    } catch (...) {
      client->LeaveCS();
      throw;
    }
    client->LeaveCS();
    if (count > 0 && !Terminated()) {
      const TqynReadThreadMessageEvent onMessage = OnReadMessage;
      if (onMessage) onMessage(this, peerIP, peerPort);
    }
  } catch (const Exception& E) {
    if (!Terminated()) ReportException(E);
  } catch (const std::exception& E) {
    if (!Terminated()) ReportException(Exception(E.what()));
  } catch (...) {
    if (!Terminated()) ReportException(Exception(RS_UnknownException));
  }
}

// ---------------------------------------------------------------------------------------------
// TqynIdUDPClient

TqynIdUDPClient::TqynIdUDPClient() = default;

TqynIdUDPClient::~TqynIdUDPClient() {
  std::unique_ptr<TqynUDPReadThread> thread = std::move(FReadThread);
  if (!thread) return;
  thread->Terminate(); // wakes its wait
  if (!thread->IsCurrentThread()) thread->WaitFor();
  thread->ClearClient();
  // On the read thread itself (the component destroyed from one of its handlers) the thread
  // frees itself when its pass has unwound; otherwise it has ended and is freed here.
  FreeThread(thread);
}

void TqynIdUDPClient::StartReadThread() {
  if (FReadThread) return;
  auto thread = std::make_unique<TqynUDPReadThread>(this);
  thread->SetUDPMode(UDPMode());
  thread->OnReadThread = [this](TqynUDPReadThread* aThread) { DoReadThread(aThread); };
  thread->OnReadMessage = [this](TqynUDPReadThread* aThread, const std::string& aPeerIP, TIdPort aPeerPort) {
    DoReadMessage(aThread, aPeerIP, aPeerPort);
  };
  thread->OnReadException = [this](const Exception& E) { DoReadException(E); };
  thread->SetReadSocket(true);
  FReadThread = std::move(thread);
  FReadThread->Start();
}

void TqynIdUDPClient::StopReadThread() {
  TqynUDPReadThread* thread = FReadThread.get();
  if (!thread) return;
  thread->Terminate();
  if (!thread->IsCurrentThread()) thread->WaitFor();
}

bool TqynIdUDPClient::IsReadThread() const noexcept { return FReadThread && FReadThread->IsCurrentThread(); }

void TqynIdUDPClient::SetUDPMode(TqynUDPMode aValue) noexcept {
  FUDPMode.store(aValue);
  if (FReadThread) FReadThread->SetUDPMode(aValue);
}

void TqynIdUDPClient::PrepareSocket() {
  if (TransparentProxy().Enabled) throw EIdMustUseOpenProxy(RS_MustUseOpenProxy);
  TIdSocketHandle* handle = Binding();
  if (handle->IPVersion() != IPVersion()) {
    // Made earlier with the other family: make it again.
    handle->CloseSocket();
    handle = Binding();
  }
  FHandle.store(handle);
  if (handle->SendTimeout() == 0) handle->SetSendTimeout(KSendTimeoutMS);
}

void TqynIdUDPClient::RecreateSocketForIPVersion() {
  Wakeup(); // the read thread leaves its wait (and the lock) at once
  EnterCS();
  try {
    TIdSocketHandle* handle = Binding();
    if (handle->IPVersion() != IPVersion()) handle->CloseSocket();
    FHandle.store(handle);
  } catch (...) {
    // The family is not available: the read thread reports it when it tries to make the socket.
  }
  LeaveCS();
}

int TqynIdUDPClient::ReadDatagram(std::string& VPeerIP, TIdPort& VPeerPort) {
  std::lock_guard<TqynCriticalSection> lock(FCS);
  const int size = BufferSize() > 0 ? BufferSize() : 8192;
  FReadBuffer.resize(static_cast<size_t>(size));
  int count = 0;
  try {
    count = ReceiveBuffer(FReadBuffer, TqynUDPReadThread::ReadWaitMS, VPeerIP, VPeerPort);
  } catch (...) {
    FReadCount.store(0);
    throw;
  }
  FReadCount.store(count);
  return count;
}

void TqynIdUDPClient::DoReadThread(TqynUDPReadThread*) {
  const TqynIdUDPThreadEvent handler = OnThread;
  if (handler) handler(this);
}

void TqynIdUDPClient::DoReadMessage(TqynUDPReadThread*, const std::string& aPeerIP, TIdPort aPeerPort) {
  const int count = std::min(FReadCount.load(), static_cast<int>(FReadBuffer.size()));
  if (count <= 0) return;
  const TqynBytes bytes(FReadBuffer.begin(), FReadBuffer.begin() + count);
  const TqynIdUDPReadEvent handler = OnRead;
  // Last statement: the handler may destroy this client.
  if (handler) handler(this, bytes, aPeerIP, aPeerPort);
}

void TqynIdUDPClient::DoReadException(const Exception& E) {
  const TqynIdUDPReadExceptionEvent handler = OnReadException;
  if (handler) handler(E);
}

// ---------------------------------------------------------------------------------------------
// TqynUDPSocketClient

std::shared_ptr<TqynSocketConnection_Base> TqynUDPSocketClient::Clone() const {
  auto copy = std::make_shared<TqynUDPSocketClient>(Owner());
  copy->AssignCopy(*this);
  return copy;
}

void TqynUDPSocketClient::AssignCopy(const TqynSocketConnection_Base& aSource) {
  TqynUDPSocket::AssignCopy(aSource);
  if (const auto* src = dynamic_cast<const TqynUDPSocketClient*>(&aSource)) {
    FOwner.store(src->Owner());
    FClient.store(src->Client());
    FBinding.store(src->Binding());
  }
}

void TqynUDPSocketClient::SendDatagram(const std::string& aIPAddress, TIdPort aPort, const TqynBytes& aBytes,
                                       bool aLog) {
  // A log failure is reported after the datagram went out: the log must not cost the data.
  std::exception_ptr logFailure;
  if (aLog) {
    if (const auto log = LogFile()) {
      try {
        log->LogSendBytes(aBytes);
      } catch (...) {
        logFailure = std::current_exception();
      }
    }
  }
  TqynIdUDPClient* client = Client();
  if (client) {
    std::lock_guard<TqynCriticalSection> lock(CS());
    if (aIPAddress.empty()) {
      client->SendBuffer(aBytes);
    } else {
      const TIdIPVersion version = IdIPVersionOfText(aIPAddress) == Id_IPv6 ? Id_IPv6 : client->IPVersion();
      client->SendBuffer(aIPAddress, aPort, aBytes, version);
    }
    AddSendBytes(aBytes.size());
  }
  if (logFailure) std::rethrow_exception(logFailure);
}

void TqynUDPSocketClient::WriteReported(const std::string& aIPAddress, TIdPort aPort, const TqynBytes& aBytes,
                                        bool aLog) noexcept {
  try {
    SendDatagram(aIPAddress, aPort, aBytes, aLog);
  } catch (...) {
    const std::unique_ptr<Exception> failure = CurrentExceptionCopy();
    ReportException(*failure);
  }
}

void TqynUDPSocketClient::WriteData(const TqynBytes& aBytes) { WriteReported(std::string(), 0, aBytes, true); }

void TqynUDPSocketClient::WriteData(const std::string& aValue) {
  WriteReported(std::string(), 0, TqynBytes(aValue.begin(), aValue.end()), true);
}

void TqynUDPSocketClient::WriteData(const std::string& aIPAddress, TIdPort aPort, const TqynBytes& aBytes) {
  WriteReported(aIPAddress, aPort, aBytes, false);
}

void TqynUDPSocketClient::WriteData(const std::string& aIPAddress, TIdPort aPort, const std::string& aValue) {
  WriteReported(aIPAddress, aPort, TqynBytes(aValue.begin(), aValue.end()), false);
}

// ---------------------------------------------------------------------------------------------
// TqynUDPCLient_Base

TqynUDPCLient_Base::TqynUDPCLient_Base(TqynComponent_Base* aOwner) : TqynUDPComponent(aOwner) {
  FProxy.ProxyType = pxySocks5;
  FClient = std::make_unique<TqynIdUDPClient>();
  FClient->SetHost("127.0.0.1");
  FClient->SetPort(80);
  FClient->SetIPVersion(Id_IPv4);
  FClient->OnRead = [this](TqynIdUDPClient* Sender, const TqynBytes& Bytes, const std::string& aPeerIP,
                           TIdPort aPeerPort) { DoRead(Sender, Bytes, aPeerIP, aPeerPort); };
  FClient->OnReadException = [this](const Exception& E) { DoReadException(E); };
  FClient->OnThread = [this](TqynIdUDPClient* Sender) { DoReadThread(Sender); };
  FClient->OnConnected = [this](TIdUDPClient*) { DoConnected(); };
  FClient->OnDisconnected = [this](TIdUDPClient*) { DoDisconnected(); };
  FClient->StartReadThread();
}

TqynUDPCLient_Base::~TqynUDPCLient_Base() {
  TqynUDPCLient_Base::ShutdownComponent();
  {
    std::lock_guard<std::mutex> lock(FSocketMutex);
    if (FSocket) {
      FSocket->SetClient(nullptr);
      FSocket->SetBinding(nullptr);
    }
  }
  FClient.reset(); // closes the socket
  {
    std::lock_guard<std::mutex> lock(FSocketMutex);
    FreeSocketObject(FSocket);
  }
  {
    std::lock_guard<std::mutex> lock(FCommandsMutex);
    FCommands.reset();
  }
  FLogWriter.reset();
}

void TqynUDPCLient_Base::ShutdownComponent() noexcept {
  Destroying();
  try {
    StopReading();
  } catch (...) {
  }
  // In every mode the read thread ends before anything it uses goes away (on the read thread
  // itself it is only terminated, and touches nothing of this component once its handler returns).
  if (FClient) FClient->StopReadThread();
  // The engine: its timer first (a tick in progress finishes), then its items.
  std::unique_ptr<TqynUDPRetransmissions> engine;
  {
    std::lock_guard<std::mutex> lock(FEngineMutex);
    engine.swap(FRetransmissions);
  }
  engine.reset();
  TqynUDPComponent::ShutdownComponent();
}

std::string TqynUDPCLient_Base::Host() const { return FClient->Host(); }

void TqynUDPCLient_Base::SetHost(const std::string& aValue) { FClient->SetHost(aValue); }

TIdPort TqynUDPCLient_Base::Port() const { return FClient->Port(); }

void TqynUDPCLient_Base::SetPort(TIdPort aValue) { FClient->SetPort(aValue); }

TIdIPVersion TqynUDPCLient_Base::IPVersion() const { return FClient->IPVersion(); }

void TqynUDPCLient_Base::SetIPVersion(TIdIPVersion aValue) {
  if (FClient->IPVersion() == aValue) return;
  FClient->SetIPVersion(aValue);
  FClient->RecreateSocketForIPVersion();
}

void TqynUDPCLient_Base::SetUDPMode(TqynUDPMode aValue) {
  FUDPMode.store(aValue);
  FClient->SetUDPMode(aValue);
}

TqynUDPRetransmissionClient_Options TqynUDPCLient_Base::RetransmissionOptions() const {
  std::lock_guard<std::mutex> lock(FOptionsMutex);
  return FRetransmissionOptions;
}

void TqynUDPCLient_Base::SetRetransmissionOptions(const TqynUDPRetransmission_Options& aValue) {
  std::lock_guard<std::mutex> lock(FOptionsMutex);
  FRetransmissionOptions.Assign(aValue);
}

TqynUDPLogFile TqynUDPCLient_Base::LogFile() const {
  std::lock_guard<std::mutex> lock(FOptionsMutex);
  return FLogFile;
}

TqynUDPProxy_Options TqynUDPCLient_Base::Proxy() const {
  std::lock_guard<std::mutex> lock(FOptionsMutex);
  return FProxy;
}

TqynUDPHeartBeat_Options TqynUDPCLient_Base::HeartBeat() const {
  std::lock_guard<std::mutex> lock(FOptionsMutex);
  return FHeartBeat;
}

void TqynUDPCLient_Base::SetHeartBeat(const TqynUDPHeartBeat_Options& aValue) {
  std::lock_guard<std::mutex> lock(FOptionsMutex);
  FHeartBeat.Assign(aValue);
}

TqynUDPTLS_Options TqynUDPCLient_Base::TLSOptions() const {
  std::lock_guard<std::mutex> lock(FOptionsMutex);
  return FTLSOptions;
}

TqynUDPRetransmissions* TqynUDPCLient_Base::Retransmissions() {
  std::lock_guard<std::mutex> lock(FEngineMutex);
  if (!FRetransmissions) {
    auto engine = std::make_unique<TqynUDPRetransmissions>();
    engine->OnRetry = [this](TqynUDPRetransmissions* Sender, const TqynBytes& Bytes, const std::string& aIPAddress,
                             TIdPort aPort) { DoRetry(Sender, Bytes, aIPAddress, aPort); };
    engine->OnException = [this](TqynUDPRetransmissions* Sender, const Exception& E) {
      DoRetransmissionException(Sender, E);
    };
    const TqynUDPRetransmissionClient_Options options = RetransmissionOptions();
    engine->SetMaxRetries(options.MaxRetries);
    engine->SetRTO(options.RTO);
    engine->SetEnabled(options.Enabled);
    FRetransmissions = std::move(engine);
  }
  return FRetransmissions.get();
}

TqynQueueCommands* TqynUDPCLient_Base::Commands() {
  std::lock_guard<std::mutex> lock(FCommandsMutex);
  if (!FCommands) FCommands = std::make_unique<TqynQueueCommands>();
  return FCommands.get();
}

void TqynUDPCLient_Base::AddBytes(const TqynBytes& ABytes) {
  auto command = std::make_shared<TqynQueueCommand>();
  command->Command = tcmWriteBytes;
  command->Bytes = ABytes;
  Commands()->AddItem(command);
  // The read thread processes the queue at the start of its next pass: end its wait now.
  if (UDPMode() == udpmCommands) FClient->Wakeup();
}

void TqynUDPCLient_Base::AddCommand(TqynUDPCommands aCommand) {
  auto command = std::make_shared<TqynQueueCommand>();
  command->Command = aCommand;
  Commands()->AddItem(command);
  if (UDPMode() == udpmCommands) FClient->Wakeup();
}

bool TqynUDPCLient_Base::IsDeliveringOnReadThread() const noexcept {
  return FDeliveringThread.load() == std::this_thread::get_id();
}

void TqynUDPCLient_Base::StopReading() {
  if (!FClient) return;
  if (UDPMode() == udpmCommands) {
    if (TqynUDPReadThread* thread = FClient->ReadThread()) thread->SetReadSocket(false);
    return;
  }
  if (IsDeliveringOnReadThread() || FClient->IsReadThread()) return;
  if (TLS() && TLSOptions().IOHandler == iohSChannel) return;
  FClient->StopReadThread();
}

void TqynUDPCLient_Base::DoRead(TqynIdUDPClient*, const TqynBytes& Bytes, const std::string& aPeerIP,
                                TIdPort aPeerPort) {
  if (IsDestroying()) return;
  // Expires when a handler destroys this component; then nothing of it is touched again.
  const std::weak_ptr<char> alive = AliveToken().Weak();
  TqynUDPSocketClient* socket = nullptr;
  try {
    socket = GetSocket();
    socket->SetIP(aPeerIP);
    socket->SetPort(aPeerPort);
    socket->AddRecBytes(Bytes.size());
    if (const auto log = socket->LogFile()) {
      try {
        log->LogRecvBytes(Bytes);
      } catch (...) {
        // A log failure is reported; the datagram is still delivered.
        const std::unique_ptr<Exception> failure = CurrentExceptionCopy();
        DoSocketException(socket, *failure);
        if (alive.expired()) return;
      }
    }
    if (socket->Disconnected()) return;
    FDeliveringThread.store(std::this_thread::get_id());
    socket->SetMsgRead(Bytes);
    DoDeliverRead(socket);
    if (alive.expired()) return;
    FDeliveringThread.store(std::thread::id());
  } catch (...) {
    if (alive.expired()) return;
    FDeliveringThread.store(std::thread::id());
    const std::unique_ptr<Exception> failure = CurrentExceptionCopy();
    DoSocketException(socket, *failure);
  }
}

void TqynUDPCLient_Base::DoReadException(const Exception& E) {
  if (IsDestroying()) return;
  ReportFailure(E);
}

void TqynUDPCLient_Base::DoReadThread(TqynIdUDPClient*) {
  if (IsDestroying()) return;
  if (UDPMode() == udpmCommands) DoProcessCommands();
}

void TqynUDPCLient_Base::DoDeliverRead(TqynUDPSocketClient* aSocket) { NotifyUDPRead(aSocket); }

void TqynUDPCLient_Base::DoUDPRead(TqynUDPSocket* aSocket, const TqynBytes& aBytes) {
  const TqynUDPReadEvent handler = OnUDPRead;
  if (handler) handler(this, aSocket, aBytes);
}

void TqynUDPCLient_Base::DoUDPException(TqynUDPSocket* aSocket, const Exception& E) {
  const TqynUDPExceptionEvent handler = OnUDPException;
  if (handler) handler(this, aSocket, E);
}

void TqynUDPCLient_Base::DoHeartBeatTimer(TqynTimer*) {}

void TqynUDPCLient_Base::DoHeartBeatException(TqynTimer*, const Exception&) {}

void TqynUDPCLient_Base::StartHeartBeat() {}

void TqynUDPCLient_Base::StopHeartBeat() {}

void TqynUDPCLient_Base::DoRetry(TqynUDPRetransmissions*, const TqynBytes& Bytes, const std::string& aIPAddress,
                                 TIdPort aPort) {
  TqynUDPSocketClient* socket = GetSocket();
  if (!aIPAddress.empty()) socket->SendDatagram(aIPAddress, aPort, Bytes, false);
  else socket->SendDatagram(std::string(), 0, Bytes, true);
}

void TqynUDPCLient_Base::DoRetransmissionException(TqynUDPRetransmissions*, const Exception& E) {
  if (IsDestroying()) return;
  ReportFailure(E);
}

void TqynUDPCLient_Base::DoAfterCommand(TqynQueueCommand*) {}

void TqynUDPCLient_Base::DoProcessCommands() {
  TqynQueueCommands* queue = Commands();
  const std::weak_ptr<char> alive = AliveToken().Weak();
  while (!IsDestroying()) {
    const TqynQueueItemRef first = queue->GetItemByIndex(0);
    if (!first) break;
    const auto command = std::dynamic_pointer_cast<TqynQueueCommand>(first);
    try {
      if (command && command->Command == tcmWriteBytes) {
        GetSocket()->SendDatagram(std::string(), 0, command->Bytes, false);
        DoAfterCommand(command.get());
      }
    } catch (...) {
      if (alive.expired()) return;
      const std::unique_ptr<Exception> failure = CurrentExceptionCopy();
      ReportFailure(*failure);
    }
    if (alive.expired()) return;
    queue->Remove(first);
  }
}

TqynUDPSocketClient* TqynUDPCLient_Base::GetSocket() {
  std::lock_guard<std::mutex> lock(FSocketMutex);
  if (!FSocket) {
    FSocket = std::make_shared<TqynUDPSocketClient>(this);
    FSocket->SetExceptionRouting([this](TqynSocketConnection* aSocket, const Exception& E) {
      DoSocketException(dynamic_cast<TqynUDPSocket*>(aSocket), E);
    });
  }
  TqynIdUDPClient* client = FClient.get();
  FSocket->SetClient(client);
  if (client) {
    TIdSocketHandle* handle = client->Handle();
    FSocket->SetBinding(handle);
    if (handle) {
      FSocket->SetLocalIP(handle->IP());
      FSocket->SetLocalPort(handle->Port());
      FSocket->SetIPVersion(handle->IPVersion());
    } else {
      FSocket->SetIPVersion(client->IPVersion());
    }
    FSocket->SetGuid(TIdEncoderMIME::EncodeString(client->Host() + ":" + std::to_string(client->Port())));
  }
  const TqynUDPLogFile logFile = LogFile();
  if (logFile.Enabled && !logFile.FileName.empty()) {
    if (!FLogWriter) FLogWriter = std::make_shared<TqynIdLogFileClient>();
    if (FLogWriter->Filename() != logFile.FileName) FLogWriter->SetFilename(logFile.FileName);
    FSocket->SetLogFile(FLogWriter);
  } else {
    FSocket->SetLogFile(nullptr);
  }
  return FSocket.get();
}

void TqynUDPCLient_Base::DoConnected() {
  try {
    NotifyUDPConnect(GetSocket());
  } catch (...) {
    const std::unique_ptr<Exception> failure = CurrentExceptionCopy();
    ReportFailure(*failure);
  }
}

void TqynUDPCLient_Base::DoDisconnected() {
  try {
    // The disconnect notification frees the object it is given: hand it a copy, not the
    // component's reused socket object.
    auto copy = std::dynamic_pointer_cast<TqynUDPSocket>(GetSocket()->Clone());
    if (copy) NotifyUDPDisconnect(std::move(copy));
  } catch (...) {
    const std::unique_ptr<Exception> failure = CurrentExceptionCopy();
    ReportFailure(*failure);
  }
}

void TqynUDPCLient_Base::DoSocketException(TqynUDPSocket* aSocket, const Exception& E) {
  if (!aSocket) {
    DoException(nullptr, E);
    return;
  }
  // Each report gets its own copy of the socket object: the reused object's RawException could
  // otherwise be overwritten by a failure on another thread before it is read.
  std::shared_ptr<TqynSocketConnection_Base> copy;
  try {
    copy = aSocket->Clone();
  } catch (...) {
  }
  auto* socket = copy ? dynamic_cast<TqynUDPSocket*>(copy.get()) : nullptr;
  DoException(socket ? socket : aSocket, E);
}

void TqynUDPCLient_Base::ReportFailure(const Exception& E) noexcept {
  TqynUDPSocketClient* socket = nullptr;
  try {
    socket = GetSocket();
  } catch (...) {
  }
  try {
    DoSocketException(socket, E);
  } catch (...) {
  }
}

void TqynUDPCLient_Base::SetProxy(const TqynUDPProxy_Options& aValue) {
  {
    std::lock_guard<std::mutex> lock(FOptionsMutex);
    FProxy.Assign(aValue);
  }
  // Carried to the inner client, which refuses every send and receive while the proxy is
  // enabled (the SOCKS path is not built): datagrams never bypass a proxy the user asked for.
  FClient->Wakeup();
  FClient->EnterCS();
  TIdProxySettings& proxy = FClient->TransparentProxy();
  proxy.Enabled = aValue.Enabled;
  proxy.Version = SocksVersionOf(aValue.ProxyType);
  proxy.Host = aValue.Host;
  proxy.Port = static_cast<TIdPort>(std::clamp(aValue.Port, 0, 65535));
  proxy.Username = aValue.Username;
  proxy.Password = aValue.Password;
  FClient->LeaveCS();
}

void TqynUDPCLient_Base::SetLogFile(const TqynUDPLogFile& aValue) {
  std::lock_guard<std::mutex> lock(FOptionsMutex);
  FLogFile.Assign(aValue);
}

void TqynUDPCLient_Base::SetTLSOptions(const TqynUDPTLS_Options& aValue) {
  std::lock_guard<std::mutex> lock(FOptionsMutex);
  FTLSOptions.Assign(aValue);
}

void TqynUDPCLient_Base::WriteData(const std::string& aIPAddress, TIdPort aPort, const std::string& aValue) {
  WriteData(aIPAddress, aPort, TqynBytes(aValue.begin(), aValue.end()));
}

void TqynUDPCLient_Base::WriteData(const std::string& aIPAddress, TIdPort aPort, const TqynBytes& aValue) {
  try {
    GetSocket()->WriteData(aIPAddress, aPort, aValue);
  } catch (...) {
    const std::unique_ptr<Exception> failure = CurrentExceptionCopy();
    ReportFailure(*failure);
  }
}

void TqynUDPCLient_Base::WriteData(const std::string& aValue) { WriteData(TqynBytes(aValue.begin(), aValue.end())); }

void TqynUDPCLient_Base::WriteData(const TqynBytes& aValue) {
  try {
    GetSocket()->WriteData(aValue);
  } catch (...) {
    const std::unique_ptr<Exception> failure = CurrentExceptionCopy();
    ReportFailure(*failure);
  }
}
