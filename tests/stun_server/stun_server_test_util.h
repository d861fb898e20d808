// Helpers of the STUN server tests: a UDP socket object that records what it sends, request
// builders and response readers on top of the codec.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qynBase_Classes.h"
#include "qynId_Hash.h"
#include "qynP2P_STUN_Classes.h"
#include "qynP2P_STUN_Server.h"

// A datagram's socket object without a socket: the five addressing values and a WriteData that
// records the bytes.
class TFakeUDPSocket : public TqynUDPSocket {
public:
  TFakeUDPSocket(const std::string& aIP = "192.0.2.1", TIdPort aPort = 5000, const std::string& aLocalIP = "198.51.100.7",
                 TIdPort aLocalPort = 3478, TIdIPVersion aVersion = Id_IPv4) {
    SetIP(aIP);
    SetPort(aPort);
    SetLocalIP(aLocalIP);
    SetLocalPort(aLocalPort);
    SetIPVersion(aVersion);
  }
  void WriteData(const TqynBytes& aBytes) override {
    std::lock_guard<std::mutex> lock(FMutex);
    Sent.push_back(aBytes);
  }
  void WriteData(const std::string& aValue) override { WriteData(TqynBytes(aValue.begin(), aValue.end())); }
  size_t SentCount() {
    std::lock_guard<std::mutex> lock(FMutex);
    return Sent.size();
  }
  TqynBytes Last() {
    std::lock_guard<std::mutex> lock(FMutex);
    return Sent.empty() ? TqynBytes() : Sent.back();
  }
  std::vector<TqynBytes> Sent;

private:
  std::mutex FMutex;
};

inline const TqynBytes kTestTransactionId = {0xB7, 0xE7, 0xA7, 0x01, 0xBC, 0x34, 0xD6, 0x86, 0xFA, 0x87, 0xDF, 0xAE};

// A message to be written by a test: type field, cookie and transaction id given; the fill
// function adds attributes and may set states and credentials.
inline TqynBytes BuildMessage(uint16_t aType, uint32_t aCookie = QYN_STUN_MAGIC_COOKIE,
                              const TqynBytes& aTransactionId = kTestTransactionId,
                              const std::function<void(TqynSTUN_Message&)>& aFill = {}) {
  TqynSTUN_Message m;
  m.SetMessageType(stmtClientRequest);
  m.Header().SetMessageType_Method(TqynSTUN_Header::DecodeMethod(aType));
  m.Header().SetMessageType_Class(TqynSTUN_Header::DecodeClass(aType));
  m.Header().SetMagicCookie(aCookie);
  m.Header().SetTransactionId(aTransactionId);
  if (aFill) aFill(m);
  m.Header().SetMessageLength(static_cast<uint16_t>(m.ComputeMessageLength()));
  return m.Write();
}

inline TqynBytes BindingRequest(const std::function<void(TqynSTUN_Message&)>& aFill = {}) {
  return BuildMessage(0x0001, QYN_STUN_MAGIC_COOKIE, kTestTransactionId, aFill);
}

inline TqynBytes LongTermKeyOf(const std::string& aUser, const std::string& aRealm, const std::string& aPassword) {
  return TIdHashMessageDigest5::HashString(aUser + ":" + aRealm + ":" + aPassword);
}

// Reads a response; with a key, its MESSAGE-INTEGRITY is checked with that key.
inline void ReadResponse(const TqynBytes& aBytes, TqynSTUN_Message& aMessage, const TqynBytes* aKey = nullptr) {
  aMessage.SetMessageType(stmtClientResponse);
  if (aKey)
    aMessage.OnRequestMessageIntegrityKey = [aKey](TqynSTUN_Message*, const std::string&, TqynBytes& Key) { Key = *aKey; };
  aMessage.Read(aBytes);
}

// Attribute types of a message, in order.
inline std::vector<TqynStunMessageAttribute> AttributeTypes(const TqynSTUN_Message& aMessage) {
  std::vector<TqynStunMessageAttribute> out;
  for (const auto& a : aMessage.Attributes()) out.push_back(a->AttributeType());
  return out;
}

// 32 upper-case hexadecimal digits, as nonces are written.
inline bool IsUpperHex32(const std::string& aText) {
  if (aText.size() != 32) return false;
  for (char c : aText)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

inline uint16_t TypeField(const TqynBytes& aBytes) { return aBytes.size() >= 2 ? static_cast<uint16_t>((aBytes[0] << 8) | aBytes[1]) : 0; }

// Code and reason of the response's ERROR-CODE (0 and empty without one).
inline std::pair<uint16_t, std::string> ErrorOf(const TqynSTUN_Message& aMessage) {
  const auto* e = aMessage.Attributes().GetAttribute<TqynSTUN_Attribute_ERROR_CODE>(stmaError_Code);
  return e ? std::make_pair(e->Code(), e->Reason()) : std::make_pair(uint16_t{0}, std::string());
}
