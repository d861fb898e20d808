#include "qynP2P_TURN_Client_Allocation.h"

TqynTURNAllocationPermissions* TqynTURNClient_Allocation::Permissions() {
  std::lock_guard<std::mutex> lock(FLock);
  if (!FPermissions) {
    FPermissions = std::make_unique<TqynTURNAllocationPermissions>();
    FPermissions->SetLifetime(PermissionLifetime);
  }
  return FPermissions.get();
}

TqynTURNChannels* TqynTURNClient_Allocation::Channels() {
  std::lock_guard<std::mutex> lock(FLock);
  if (!FChannels) {
    FChannels = std::make_unique<TqynTURNChannels>();
    FChannels->SetLifetime(ChannelLifetime);
  }
  return FChannels.get();
}
