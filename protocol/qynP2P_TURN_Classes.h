// TURN records shared by the TURN client and server: the permission list and the channel list of
// an allocation, and ChannelData framing.
//
// Both lists are keyed queues (TqynQueueBase) whose items are shared objects: a caller may keep
// a returned item while another thread deletes it from the list. Expiry times are local wall-
// clock times from QynNow(); an item is valid while now is not later than its Expires.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "qynBase_Classes.h"
#include "qynBase_Types.h"
#include "qynClock.h"

QYN_DECLARE_EXCEPTION(EqynTURNChannelListFull, Exception)

// A queue item that remembers the transaction of the request that created it.
class TqynQueueItemTransaction : public TqynQueueItemBase {
public:
  std::string TransactionID() const;
  void SetTransactionID(const std::string& aValue);

private:
  mutable std::mutex FTransactionMutex;
  std::string FTransactionID;
};

// A permission for one peer IP address; its ID is the address.
class TqynTURNAllocationPermission : public TqynQueueItemTransaction {
public:
  explicit TqynTURNAllocationPermission(const std::string& aIPAddress = "") : FIPAddress(aIPAddress) {}
  std::string ID() const override { return FIPAddress; }
  const std::string& IPAddress() const noexcept { return FIPAddress; }
  TqynDateTime Expires() const noexcept { return FExpires.load(); }
  void SetExpires(TqynDateTime aValue) noexcept { FExpires.store(aValue); }

private:
  const std::string FIPAddress;
  std::atomic<TqynDateTime> FExpires{0};
};

using TqynTURNAllocationPermissionRef = std::shared_ptr<TqynTURNAllocationPermission>;

class TqynTURNAllocationPermissions : public TqynQueueBase {
public:
  static constexpr int DefaultLifetime = 300;
  // The fixed lifetime UpdatePermission grants, whatever Lifetime holds.
  static constexpr int UpdateLifetime = 300;

  TqynTURNAllocationPermissions() { SetOwnObjects(true); }

  int Lifetime() const noexcept { return FLifetime.load(); }
  void SetLifetime(int aSeconds) noexcept { FLifetime.store(aSeconds); }

  // Finds or adds the permission for aIPAddress and sets its Expires to now + Lifetime seconds.
  TqynTURNAllocationPermissionRef CreateUpdatePermission(const std::string& aIPAddress);
  // When the permission exists, sets its Expires to now + 300 s and returns true; else false.
  bool UpdatePermission(const std::string& aIPAddress);
  bool DeletePermission(const std::string& aIPAddress);
  // True when the permission exists and now is not later than its Expires.
  bool IsValidPermission(const std::string& aIPAddress) const;
  TqynTURNAllocationPermissionRef GetPermission(const std::string& aIPAddress) const;
  TqynTURNAllocationPermissionRef GetPermissionByIndex(int aIndex) const;

private:
  std::atomic<int> FLifetime{DefaultLifetime};
};

// A channel binding: number, peer address and port; its ID is the number in decimal.
class TqynTURNChannel : public TqynQueueItemTransaction {
public:
  TqynTURNChannel(uint16_t aChannelID = 0, const std::string& aPeerIP = "", uint16_t aPeerPort = 0)
      : FChannelID(aChannelID), FPeerIP(aPeerIP), FPeerPort(aPeerPort) {}
  std::string ID() const override { return std::to_string(FChannelID); }
  uint16_t ChannelID() const noexcept { return FChannelID; }
  const std::string& PeerIP() const noexcept { return FPeerIP; }
  uint16_t PeerPort() const noexcept { return FPeerPort; }
  // 0 until first set.
  TqynDateTime Expires() const noexcept { return FExpires.load(); }
  void SetExpires(TqynDateTime aValue) noexcept { FExpires.store(aValue); }

private:
  const uint16_t FChannelID;
  const std::string FPeerIP;
  const uint16_t FPeerPort;
  std::atomic<TqynDateTime> FExpires{0};
};

using TqynTURNChannelRef = std::shared_ptr<TqynTURNChannel>;

class TqynTURNChannels : public TqynQueueBase {
public:
  static constexpr int DefaultLifetime = 600;
  static constexpr uint16_t DefaultMinChannelID = 0x4000;
  static constexpr uint16_t DefaultMaxChannelID = 0x4FFF;

  TqynTURNChannels() { SetOwnObjects(true); }

  int Lifetime() const noexcept { return FLifetime.load(); }
  void SetLifetime(int aSeconds) noexcept { FLifetime.store(aSeconds); }
  uint16_t MinChannelID() const noexcept { return FMinChannelID.load(); }
  void SetMinChannelID(uint16_t aValue) noexcept { FMinChannelID.store(aValue); }
  uint16_t MaxChannelID() const noexcept { return FMaxChannelID.load(); }
  void SetMaxChannelID(uint16_t aValue) noexcept { FMaxChannelID.store(aValue); }

  // The first channel (list order) whose PeerIP equals aIPAddress exactly and whose PeerPort is
  // aPort, or null.
  TqynTURNChannelRef GetChannel(const std::string& aIPAddress, uint16_t aPort) const;
  // The channel with that number, or null.
  TqynTURNChannelRef GetChannel(uint16_t aChannelID) const;
  TqynTURNChannelRef GetChannelByIndex(int aIndex) const;
  // Returns the peer's existing channel unchanged; otherwise adds one numbered aChannelID, or with
  // aChannelID 0 the lowest number from MinChannelID to MaxChannelID that no channel has. Raises
  // EqynTURNChannelListFull "Cannot create a new channel, list is full." when no number is free.
  // The whole operation holds the list's lock, so concurrent callers never share a number.
  TqynTURNChannelRef CreateChannel(const std::string& aIPAddress, uint16_t aPort, uint16_t aChannelID);
  // CreateChannel, then Expires = now + Lifetime seconds.
  TqynTURNChannelRef CreateUpdateChannel(const std::string& aIPAddress, uint16_t aPort, uint16_t aChannelID);
  bool DeleteChannel(uint16_t aChannelID);
  // True when the peer has a channel and now is not later than its Expires.
  bool IsValidChannel(const std::string& aIPAddress, uint16_t aPort) const;

private:
  std::atomic<int> FLifetime{DefaultLifetime};
  std::atomic<uint16_t> FMinChannelID{DefaultMinChannelID};
  std::atomic<uint16_t> FMaxChannelID{DefaultMaxChannelID};
};

// A ChannelData message: channel number (2 bytes), data length (2 bytes), data, zero padding to a
// multiple of 4; numbers big-endian.
class TqynTURNChannelData {
public:
  uint16_t ChannelID() const noexcept { return FChannelID; }
  void SetChannelID(uint16_t aValue) noexcept { FChannelID = aValue; }
  const TqynBytes& Data() const noexcept { return FData; }
  // Copies the bytes; an empty value clears.
  void SetData(const TqynBytes& aValue) { FData = aValue; }

  // False for fewer than 4 bytes; otherwise true when the bytes after the header hold at least
  // the length the header announces.
  bool AllDataReceived(const TqynBytes& aValue) const;
  // Takes the channel number and the announced data from aValue, never reading past its end
  // (input shorter than the header leaves the record empty).
  void Read(const TqynBytes& aValue);
  // The framed message; Data is not changed. Data longer than 65535 bytes cannot be framed and
  // raises Exception.
  TqynBytes Write() const;

private:
  uint16_t FChannelID = 0;
  TqynBytes FData;
};

// True when the datagram's first byte lies in 0x40..0x4F (channel numbers 0x4000..0x4FFF).
bool IsChannelData(const TqynBytes& aBytes);
