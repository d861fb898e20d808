// Automatic renewal of the allocation, its permissions and its channels: the one-second timer,
// its three passes, and the record of renewals that still await their answers.
#include <algorithm>

#include "qynClock.h"
#include "qynMessages.h"
#include "qynP2P_TURN_Client.h"

namespace {
// Where a renewal pass of this thread collects the transaction id of the request it sends.
struct TRenewalCapture {
  const void* Owner = nullptr;
  std::string TransactionId;
};
thread_local TRenewalCapture* gRenewalCapture = nullptr;
} // namespace

void TqynTURNClient_Base::DoSendMessage(TqynSTUN_Message* aMessage, const std::string& aIPAddress, TIdPort aPort) {
  TqynSTUNClient_Base::DoSendMessage(aMessage, aIPAddress, aPort);
  TRenewalCapture* capture = gRenewalCapture;
  if (capture && capture->Owner == this && capture->TransactionId.empty() &&
      aMessage->Header().MessageType_Class() == stmcRequest)
    capture->TransactionId = aMessage->Header().TransactionIdString();
}

// ---------------------------------------------------------------------------------------------
// Renewals awaiting their answers

template <typename TSend> bool TqynTURNClient_Base::Renew(const std::string& aKey, TSend&& aSend) {
  if (RenewalPending(aKey)) return false;
  TRenewalCapture capture{this, {}};
  TRenewalCapture* previous = gRenewalCapture;
  gRenewalCapture = &capture;
  try {
    aSend();
  } catch (...) {
    gRenewalCapture = previous;
    throw;
  }
  gRenewalCapture = previous;
  if (capture.TransactionId.empty()) return false;
  std::lock_guard<std::mutex> lock(FRenewalLock);
  FRenewals[aKey] = TRenewal{capture.TransactionId, QynTickCount64() + RenewalSpan()};
  return true;
}

bool TqynTURNClient_Base::RenewalPending(const std::string& aKey) {
  std::lock_guard<std::mutex> lock(FRenewalLock);
  const auto it = FRenewals.find(aKey);
  if (it == FRenewals.end()) return false;
  // Answered (its entry left the table) or given up by the retransmissions: due again.
  if (QynTickCount64() >= it->second.Until || !GetRequests()->GetRequest(it->second.TransactionId)) {
    FRenewals.erase(it);
    return false;
  }
  return true;
}

uint64_t TqynTURNClient_Base::RenewalSpan() const {
  const TqynSTUNPRetransmissionClient_Options& options = RetransmissionOptions();
  const int retries = std::clamp(options.MaxRetries, 1, 30);
  const uint64_t rto = static_cast<uint64_t>(std::max(options.RTO, 0));
  return std::max<uint64_t>(rto * ((uint64_t{1} << retries) - 1), AutoRefreshInterval);
}

// ---------------------------------------------------------------------------------------------
// Automatic renewal

void TqynTURNClient_Base::DoAutoRefreshAllocation() {
  if (!TURNOptions().AutoRefresh.Allocations.Enabled) return;
  const TqynTURNClient_AllocationRef record = Allocation();
  // Nothing has been granted (or the allocation has ended): there is nothing to renew.
  if (record->LastUpdate() == 0) return;
  const TqynDateTime due = QynIncSeconds(record->LastUpdate(), record->Lifetime() / 50);
  if (QynNow() < due) return;
  Renew("allocation", [this] { Refresh(TURNOptions().Allocation.Lifetime); });
}

void TqynTURNClient_Base::DoAutoRefreshPermissions() {
  if (!TURNOptions().AutoRefresh.Permissions.Enabled) return;
  TqynTURNAllocationPermissions* permissions = Allocation()->Permissions();
  // Taken in list order under the list's lock; the requests go out after it is released, so a
  // success arriving on another thread never waits for this pass's sends.
  std::vector<std::string> due;
  {
    std::lock_guard<TqynCriticalSection> lock(permissions->Lock());
    const TqynDateTime now = QynNow();
    const int count = permissions->Count();
    for (int i = 0; i < count; ++i) {
      const auto permission = permissions->GetPermissionByIndex(i);
      if (permission && now >= QynIncSeconds(permission->Expires(), -permissions->Lifetime() / 2))
        due.push_back(permission->IPAddress());
    }
  }
  for (const std::string& address : due) Renew("permission:" + address, [&] { CreatePermission(address); });
}

void TqynTURNClient_Base::DoAutoRefreshChannels() {
  if (!TURNOptions().AutoRefresh.Channels.Enabled) return;
  TqynTURNChannels* channels = Allocation()->Channels();
  struct TDue {
    uint16_t Channel;
    std::string PeerIP;
    uint16_t PeerPort;
  };
  std::vector<TDue> due;
  {
    std::lock_guard<TqynCriticalSection> lock(channels->Lock());
    const TqynDateTime now = QynNow();
    const int count = channels->Count();
    for (int i = 0; i < count; ++i) {
      const auto channel = channels->GetChannelByIndex(i);
      if (channel && now >= QynIncSeconds(channel->Expires(), -channels->Lifetime() / 2))
        due.push_back({channel->ChannelID(), channel->PeerIP(), channel->PeerPort()});
    }
  }
  for (const TDue& d : due)
    Renew("channel:" + std::to_string(d.Channel), [&] { ChannelBind(d.PeerIP, d.PeerPort); });
}

// ---------------------------------------------------------------------------------------------
// The timer

namespace {
// The gate of the tick this thread is running, if any.
thread_local const void* gTickGate = nullptr;
} // namespace

template <typename TProc> void TqynTURNClient_Base::ThroughGate(const std::shared_ptr<TTickGate>& aGate, TProc&& aProc) {
  {
    std::lock_guard<std::mutex> lock(aGate->Lock);
    if (aGate->Closed) return;
    ++aGate->Running;
  }
  const void* previous = gTickGate;
  gTickGate = aGate.get();
  struct TLeave {
    const std::shared_ptr<TTickGate>& Gate;
    const void* Previous;
    ~TLeave() {
      gTickGate = Previous;
      std::lock_guard<std::mutex> lock(Gate->Lock);
      --Gate->Running;
      Gate->Idle.notify_all();
    }
  } leave{aGate, previous};
  aProc();
}

void TqynTURNClient_Base::CloseGate() noexcept {
  const std::shared_ptr<TTickGate> gate = FTickGate;
  std::unique_lock<std::mutex> lock(gate->Lock);
  gate->Closed = true;
  // A tick on another thread ends before the component goes; one on this thread (a handler of
  // the tick destroys the component) cannot be waited for.
  const int own = gTickGate == gate.get() ? 1 : 0;
  gate->Idle.wait(lock, [&] { return gate->Running <= own; });
}

bool TqynTURNClient_Base::AutoRefreshRunning() const {
  std::lock_guard<std::mutex> lock(FTimerLock);
  return FAutoRefreshTimer != nullptr;
}

void TqynTURNClient_Base::StartAutoRefresh() {
  if (!TURNOptions().AutoRefresh.Enabled) return;
  const TwsNotifyEvent notify = NotifyEvents();
  std::lock_guard<std::mutex> lock(FTimerLock);
  if (FTimerClosed || IsDestroying()) return;
  if (!FAutoRefreshTimer) {
    auto timer = std::make_unique<TqynTimer>(RS_TURNAutoRefreshTimerName);
    timer->SetNotifyEvents(notify);
    const std::shared_ptr<TTickGate> gate = FTickGate;
    timer->OnTimer = [this, gate](TqynTimer* Sender) { ThroughGate(gate, [&] { DoAutoRefreshTimer(Sender); }); };
    timer->OnException = [this, gate](TqynTimer* Sender, const Exception& E) {
      ThroughGate(gate, [&] { DoAutoRefreshTimerException(Sender, E); });
    };
    FAutoRefreshTimer = std::move(timer);
  }
  FAutoRefreshTimer->SetInterval(AutoRefreshInterval);
  if (!FAutoRefreshTimer->Enabled()) FAutoRefreshTimer->SetEnabled(true);
}

void TqynTURNClient_Base::StopAutoRefresh() {
  std::unique_ptr<TqynTimer> timer;
  {
    std::lock_guard<std::mutex> lock(FTimerLock);
    if (IsDestroying()) FTimerClosed = true;
    timer = std::move(FAutoRefreshTimer);
  }
  // Outside the lock: freeing waits for the timer thread unless it is this thread.
  if (timer) FreeThread(timer);
}

void TqynTURNClient_Base::DoAutoRefreshTimer(TqynTimer* /*Sender*/) {
  DoAutoRefreshAllocation();
  DoAutoRefreshPermissions();
  DoAutoRefreshChannels();
}

void TqynTURNClient_Base::DoAutoRefreshTimerException(TqynTimer* /*Sender*/, const Exception& E) { DoException(E); }
