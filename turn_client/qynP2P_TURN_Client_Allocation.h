// The TURN client's record of its allocation: what the server granted, the addresses involved,
// and the permission and channel lists that gate what the client lets the application send.
//
// Shared object: the component holds it by shared_ptr and replaces it when an allocation ends, so
// a thread that still uses the previous record (a renewal pass, a read) keeps it alive. The plain
// fields are guarded by the record's own lock (getters return copies); the two lists are
// lock-protected lists of their own, created on first use.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "qynClock.h"
#include "qynP2P_STUN_Component.h"
#include "qynP2P_TURN_Classes.h"

class TqynTURNClient_Allocation {
public:
  static constexpr int PermissionLifetime = 300; // seconds
  static constexpr int ChannelLifetime = 600;    // seconds

  uint32_t Lifetime() const { return Get(FLifetime); }
  void SetLifetime(uint32_t aValue) { Set(FLifetime, aValue); }
  std::string LocalIP() const { return Get(FLocalIP); }
  void SetLocalIP(const std::string& aValue) { Set(FLocalIP, aValue); }
  uint16_t LocalPort() const { return Get(FLocalPort); }
  void SetLocalPort(uint16_t aValue) { Set(FLocalPort, aValue); }
  TwsIPVersion Family() const { return Get(FFamily); }
  void SetFamily(TwsIPVersion aValue) { Set(FFamily, aValue); }
  std::string Password() const { return Get(FPassword); }
  void SetPassword(const std::string& aValue) { Set(FPassword, aValue); }
  TwsIPVersion RelayedFamily() const { return Get(FRelayedFamily); }
  void SetRelayedFamily(TwsIPVersion aValue) { Set(FRelayedFamily, aValue); }
  std::string RelayedIP() const { return Get(FRelayedIP); }
  void SetRelayedIP(const std::string& aValue) { Set(FRelayedIP, aValue); }
  uint16_t RelayedPort() const { return Get(FRelayedPort); }
  void SetRelayedPort(uint16_t aValue) { Set(FRelayedPort, aValue); }
  std::string PeerIP() const { return Get(FPeerIP); }
  void SetPeerIP(const std::string& aValue) { Set(FPeerIP, aValue); }
  uint16_t PeerPort() const { return Get(FPeerPort); }
  void SetPeerPort(uint16_t aValue) { Set(FPeerPort, aValue); }
  std::string Username() const { return Get(FUsername); }
  void SetUsername(const std::string& aValue) { Set(FUsername, aValue); }
  // When the last Allocate or Refresh success arrived (0: never).
  TqynDateTime LastUpdate() const { return Get(FLastUpdate); }
  void SetLastUpdate(TqynDateTime aValue) { Set(FLastUpdate, aValue); }

  // Created on first use; entry lifetime 300 s.
  TqynTURNAllocationPermissions* Permissions();
  // Created on first use; entry lifetime 600 s, numbers 0x4000 to 0x4FFF.
  TqynTURNChannels* Channels();

private:
  template <typename T> T Get(const T& aField) const {
    std::lock_guard<std::mutex> lock(FLock);
    return aField;
  }
  template <typename T> void Set(T& aField, const T& aValue) {
    std::lock_guard<std::mutex> lock(FLock);
    aField = aValue;
  }

  mutable std::mutex FLock;
  uint32_t FLifetime = 0;
  std::string FLocalIP;
  uint16_t FLocalPort = 0;
  TwsIPVersion FFamily = ipV4;
  std::string FPassword;
  TwsIPVersion FRelayedFamily = ipV4;
  std::string FRelayedIP;
  uint16_t FRelayedPort = 0;
  std::string FPeerIP;
  uint16_t FPeerPort = 0;
  std::string FUsername;
  TqynDateTime FLastUpdate = 0;
  std::unique_ptr<TqynTURNAllocationPermissions> FPermissions;
  std::unique_ptr<TqynTURNChannels> FChannels;
};

using TqynTURNClient_AllocationRef = std::shared_ptr<TqynTURNClient_Allocation>;
