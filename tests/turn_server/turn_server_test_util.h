// Helpers of the TURN server tests: a server whose relayed datagrams are recorded instead of
// sent, request builders and response readers. Built on the STUN server test helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qynClock.h"
#include "qynP2P_TURN_Server.h"
#include "stun_server/stun_server_test_util.h"

inline const std::string kTurnUser = "qyn_user";
inline const std::string kTurnPassword = "kiwi_tea";
inline const std::string kTurnRealm = "Qynwire";
inline constexpr uint16_t kAllocate = 0x0003;
inline constexpr uint16_t kRefresh = 0x0004;
inline constexpr uint16_t kCreatePermission = 0x0008;
inline constexpr uint16_t kChannelBind = 0x0009;
inline constexpr uint16_t kSendIndication = 0x0016;

// One datagram the server relayed: from which binding to where.
struct TRelayed {
  std::shared_ptr<TqynUDPBindingRef> Binding;
  std::string SourceIP;
  TIdPort SourcePort = 0;
  std::string IP;
  TIdPort Port = 0;
  TqynBytes Bytes;
};

// The component with its relayed datagrams recorded (Record true) instead of sent.
class TTestTURNServer : public TqynTURNServer {
public:
  explicit TTestTURNServer(bool aRecord = true) : Record(aRecord) {}
  ~TTestTURNServer() override { ShutdownComponent(); }

  bool Record;
  std::vector<TRelayed> Relayed() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FRelayed;
  }
  void ClearRelayed() {
    std::lock_guard<std::mutex> lock(FMutex);
    FRelayed.clear();
  }
  using TqynTURNServer::FindRelayPort;

protected:
  void WriteRelayData(const std::shared_ptr<TqynUDPBindingRef>& aBinding, const std::string& aSourceIP, TIdPort aSourcePort,
                      const std::string& aIP, TIdPort aPort, const TqynBytes& aBytes) override {
    if (!Record) {
      TqynTURNServer::WriteRelayData(aBinding, aSourceIP, aSourcePort, aIP, aPort, aBytes);
      return;
    }
    std::lock_guard<std::mutex> lock(FMutex);
    FRelayed.push_back({aBinding, aSourceIP, aSourcePort, aIP, aPort, aBytes});
  }

private:
  std::mutex FMutex;
  std::vector<TRelayed> FRelayed;
};

inline TqynBytes TurnTransactionId(int aNumber) {
  TqynBytes id(12, 'a');
  id[8] = static_cast<uint8_t>('a' + (aNumber / 26 / 26) % 26);
  id[9] = static_cast<uint8_t>('a' + (aNumber / 26) % 26);
  id[10] = static_cast<uint8_t>('a' + aNumber % 26);
  return id;
}

inline void AddRequestedTransport(TqynSTUN_Message& m, uint8_t aProtocol = 17) {
  m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_TRANSPORT>()->SetProtocol(aProtocol);
}

template <class T> T* AddPeerAttribute(TqynSTUN_Message& m, const std::string& aIP, TIdPort aPort, uint16_t aFamily = 0) {
  auto* a = m.Attributes().Add<T>();
  a->SetAddress(aIP);
  a->SetPort(aPort);
  a->SetFamily(aFamily ? aFamily : (aIP.find(':') != std::string::npos ? 2 : 1));
  a->SetTransactionId(m.Header().TransactionId());
  return a;
}

inline void AddPeer(TqynSTUN_Message& m, const std::string& aIP, TIdPort aPort, uint16_t aFamily = 0) {
  AddPeerAttribute<TqynSTUN_Attribute_XOR_PEER_ADDRESS>(m, aIP, aPort, aFamily);
}

inline void AddLifetimeAttr(TqynSTUN_Message& m, uint32_t aSeconds) {
  m.Attributes().Add<TqynSTUN_Attribute_LIFETIME>()->SetLifetime(aSeconds);
}

inline void AddChannel(TqynSTUN_Message& m, uint16_t aNumber) {
  m.Attributes().Add<TqynSTUN_Attribute_CHANNEL_NUMBER>()->SetChannel(aNumber);
}

inline void AddDataAttr(TqynSTUN_Message& m, const TqynBytes& aData) { m.Attributes().Add<TqynSTUN_Attribute_DATA>()->SetData(aData); }

// Signs a request with long-term credentials (USERNAME, REALM, NONCE, MESSAGE-INTEGRITY added by
// the codec on writing).
inline void SignRequest(TqynSTUN_Message& m, const std::string& aNonce, const std::string& aUser = kTurnUser,
                        const std::string& aPassword = kTurnPassword) {
  m.SetCredentials(stauLongTermCredential);
  m.SetUsername(aUser);
  m.SetRealm(kTurnRealm);
  m.SetPassword(aPassword);
  m.SetNonce(aNonce);
}

// A ChannelData message with the given channel, length field and data bytes.
inline TqynBytes ChannelDataBytes(uint16_t aChannel, const TqynBytes& aData, int aLengthField = -1) {
  const size_t length = aLengthField < 0 ? aData.size() : static_cast<size_t>(aLengthField);
  TqynBytes out((4 + aData.size() + 3) & ~size_t{3}, 0);
  out[0] = static_cast<uint8_t>(aChannel >> 8);
  out[1] = static_cast<uint8_t>(aChannel & 0xFF);
  out[2] = static_cast<uint8_t>(length >> 8);
  out[3] = static_cast<uint8_t>(length & 0xFF);
  for (size_t i = 0; i < aData.size(); ++i) out[4 + i] = aData[i];
  return out;
}

inline TqynBytes Bytes(const std::string& aText) { return TqynBytes(aText.begin(), aText.end()); }

// The XOR-PEER-ADDRESS and DATA of a Data indication (false when the bytes are not one).
inline bool ReadDataIndication(const TqynBytes& aBytes, std::string& VIP, TIdPort& VPort, TqynBytes& VData) {
  if (TypeField(aBytes) != 0x0017) return false;
  TqynSTUN_Message m;
  ReadResponse(aBytes, m);
  const auto* peer = m.Attributes().GetAttribute<TqynSTUN_Attribute_XOR_PEER_ADDRESS>(stmaXOR_Peer_Address);
  const auto* data = m.Attributes().GetAttribute<TqynSTUN_Attribute_DATA>(stmaData);
  if (!peer || !data) return false;
  VIP = peer->Address();
  VPort = peer->Port();
  VData = data->Data();
  return true;
}
