#include "qynP2P_TURN_Classes.h"

#include <algorithm>
#include <vector>

#include "qynMessages.h"

// ---------------------------------------------------------------------------------------------
// TqynQueueItemTransaction

std::string TqynQueueItemTransaction::TransactionID() const {
  std::lock_guard<std::mutex> lock(FTransactionMutex);
  return FTransactionID;
}

void TqynQueueItemTransaction::SetTransactionID(const std::string& aValue) {
  std::lock_guard<std::mutex> lock(FTransactionMutex);
  FTransactionID = aValue;
}

// ---------------------------------------------------------------------------------------------
// Permissions

TqynTURNAllocationPermissionRef TqynTURNAllocationPermissions::GetPermission(const std::string& aIPAddress) const {
  return GetItemAs<TqynTURNAllocationPermission>(aIPAddress);
}

TqynTURNAllocationPermissionRef TqynTURNAllocationPermissions::GetPermissionByIndex(int aIndex) const {
  return GetItemByIndexAs<TqynTURNAllocationPermission>(aIndex);
}

TqynTURNAllocationPermissionRef TqynTURNAllocationPermissions::CreateUpdatePermission(const std::string& aIPAddress) {
  std::lock_guard<TqynCriticalSection> lock(Lock());
  TqynTURNAllocationPermissionRef permission = GetPermission(aIPAddress);
  if (!permission) {
    permission = std::make_shared<TqynTURNAllocationPermission>(aIPAddress);
    AddItem(permission);
  }
  permission->SetExpires(QynIncSeconds(QynNow(), Lifetime()));
  return permission;
}

bool TqynTURNAllocationPermissions::UpdatePermission(const std::string& aIPAddress) {
  const TqynTURNAllocationPermissionRef permission = GetPermission(aIPAddress);
  if (!permission) return false;
  permission->SetExpires(QynIncSeconds(QynNow(), UpdateLifetime));
  return true;
}

bool TqynTURNAllocationPermissions::DeletePermission(const std::string& aIPAddress) { return DeleteItem(aIPAddress); }

bool TqynTURNAllocationPermissions::IsValidPermission(const std::string& aIPAddress) const {
  const TqynTURNAllocationPermissionRef permission = GetPermission(aIPAddress);
  return permission && QynNow() <= permission->Expires();
}

// ---------------------------------------------------------------------------------------------
// Channels

TqynTURNChannelRef TqynTURNChannels::GetChannel(const std::string& aIPAddress, uint16_t aPort) const {
  std::lock_guard<TqynCriticalSection> lock(Lock());
  for (const auto& item : FList) {
    auto channel = std::dynamic_pointer_cast<TqynTURNChannel>(item);
    if (channel && channel->PeerPort() == aPort && channel->PeerIP() == aIPAddress) return channel;
  }
  return nullptr;
}

TqynTURNChannelRef TqynTURNChannels::GetChannel(uint16_t aChannelID) const {
  return GetItemAs<TqynTURNChannel>(std::to_string(aChannelID));
}

TqynTURNChannelRef TqynTURNChannels::GetChannelByIndex(int aIndex) const {
  return GetItemByIndexAs<TqynTURNChannel>(aIndex);
}

TqynTURNChannelRef TqynTURNChannels::CreateChannel(const std::string& aIPAddress, uint16_t aPort, uint16_t aChannelID) {
  std::lock_guard<TqynCriticalSection> lock(Lock());
  if (TqynTURNChannelRef existing = GetChannel(aIPAddress, aPort)) return existing;

  uint16_t number = aChannelID;
  if (number == 0) {
    // The lowest number of the range that no channel has (one pass over the list instead of one
    // lookup per candidate number).
    const uint16_t lo = MinChannelID();
    const uint16_t hi = MaxChannelID();
    bool found = false;
    if (hi >= lo) {
      std::vector<bool> used(static_cast<size_t>(hi - lo) + 1, false);
      for (const auto& item : FList) {
        const auto channel = std::dynamic_pointer_cast<TqynTURNChannel>(item);
        if (channel && channel->ChannelID() >= lo && channel->ChannelID() <= hi) used[channel->ChannelID() - lo] = true;
      }
      for (uint32_t n = lo; n <= hi; ++n) {
        if (!used[n - lo]) {
          number = static_cast<uint16_t>(n);
          found = true;
          break;
        }
      }
    }
    if (!found) throw EqynTURNChannelListFull(RS_ChannelListFull);
  }
  auto channel = std::make_shared<TqynTURNChannel>(number, aIPAddress, aPort);
  AddItem(channel);
  return channel;
}

TqynTURNChannelRef TqynTURNChannels::CreateUpdateChannel(const std::string& aIPAddress, uint16_t aPort,
                                                         uint16_t aChannelID) {
  std::lock_guard<TqynCriticalSection> lock(Lock());
  TqynTURNChannelRef channel = CreateChannel(aIPAddress, aPort, aChannelID);
  channel->SetExpires(QynIncSeconds(QynNow(), Lifetime()));
  return channel;
}

bool TqynTURNChannels::DeleteChannel(uint16_t aChannelID) { return DeleteItem(std::to_string(aChannelID)); }

bool TqynTURNChannels::IsValidChannel(const std::string& aIPAddress, uint16_t aPort) const {
  const TqynTURNChannelRef channel = GetChannel(aIPAddress, aPort);
  return channel && QynNow() <= channel->Expires();
}

// ---------------------------------------------------------------------------------------------
// ChannelData

bool TqynTURNChannelData::AllDataReceived(const TqynBytes& aValue) const {
  if (aValue.size() < 4) return false;
  const size_t length = (static_cast<size_t>(aValue[2]) << 8) | aValue[3];
  return aValue.size() - 4 >= length;
}

void TqynTURNChannelData::Read(const TqynBytes& aValue) {
  FData.clear();
  if (aValue.size() < 4) {
    FChannelID = 0;
    return;
  }
  FChannelID = static_cast<uint16_t>((aValue[0] << 8) | aValue[1]);
  const size_t length = (static_cast<size_t>(aValue[2]) << 8) | aValue[3];
  const size_t available = std::min(length, aValue.size() - 4);
  FData.assign(aValue.begin() + 4, aValue.begin() + 4 + static_cast<std::ptrdiff_t>(available));
}

TqynBytes TqynTURNChannelData::Write() const {
  if (FData.size() > 0xFFFF) throw Exception(QynFormat(RS_ChannelDataTooLong, static_cast<int>(FData.size())));
  const size_t padded = (FData.size() + 3) & ~static_cast<size_t>(3);
  TqynBytes out(4 + padded, 0);
  out[0] = static_cast<uint8_t>(FChannelID >> 8);
  out[1] = static_cast<uint8_t>(FChannelID & 0xFF);
  out[2] = static_cast<uint8_t>(FData.size() >> 8);
  out[3] = static_cast<uint8_t>(FData.size() & 0xFF);
  std::copy(FData.begin(), FData.end(), out.begin() + 4);
  return out;
}

bool IsChannelData(const TqynBytes& aBytes) { return !aBytes.empty() && aBytes[0] >= 0x40 && aBytes[0] <= 0x4F; }
