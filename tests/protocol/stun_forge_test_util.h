// Byte-level tools of the attacker tests: walk the frames of a datagram, insert or append frames,
// set the header's length field and recompute a trailing FINGERPRINT, as a forger who knows the
// wire format (but not the key) would.
#pragma once

#include <cstdint>
#include <vector>

#include "qynP2P_STUN_Classes.h"

namespace qyn_forge {

struct TFrame {
  size_t Offset; // where the frame starts
  uint16_t Code;
  uint16_t Length; // the value length, padding excluded
};

// The frames after the header, read honestly up to the end of the bytes.
inline std::vector<TFrame> Frames(const TqynBytes& aBytes) {
  std::vector<TFrame> out;
  size_t offset = QYN_STUN_HEADER_SIZE;
  while (offset + 4 <= aBytes.size()) {
    const uint16_t code = static_cast<uint16_t>(aBytes[offset] << 8 | aBytes[offset + 1]);
    const uint16_t length = static_cast<uint16_t>(aBytes[offset + 2] << 8 | aBytes[offset + 3]);
    out.push_back({offset, code, length});
    offset += 4 + ((length + 3u) & ~3u);
  }
  return out;
}

// Offset of the first frame with aCode (the end of the bytes when there is none).
inline size_t OffsetOf(const TqynBytes& aBytes, uint16_t aCode) {
  for (const TFrame& f : Frames(aBytes))
    if (f.Code == aCode) return f.Offset;
  return aBytes.size();
}

// One frame: code, length, value, zero padding.
inline TqynBytes Frame(uint16_t aCode, const TqynBytes& aValue) {
  TqynBytes out = {static_cast<uint8_t>(aCode >> 8), static_cast<uint8_t>(aCode), static_cast<uint8_t>(aValue.size() >> 8),
                   static_cast<uint8_t>(aValue.size())};
  out.insert(out.end(), aValue.begin(), aValue.end());
  out.resize(out.size() + ((4 - (aValue.size() & 3)) & 3), 0);
  return out;
}

// XOR-PEER-ADDRESS of an IPv4 address (dotted bytes given) and port.
inline TqynBytes XorPeerAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t aPort) {
  const uint16_t port = aPort ^ 0x2112;
  return Frame(0x0012, {0x00, 0x01, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port), static_cast<uint8_t>(a ^ 0x21),
                        static_cast<uint8_t>(b ^ 0x12), static_cast<uint8_t>(c ^ 0xA4), static_cast<uint8_t>(d ^ 0x42)});
}

inline void SetLengthField(TqynBytes& aBytes, size_t aLength) {
  aBytes[2] = static_cast<uint8_t>(aLength >> 8);
  aBytes[3] = static_cast<uint8_t>(aLength);
}

// The length field that matches the bytes.
inline void FixLength(TqynBytes& aBytes) { SetLengthField(aBytes, aBytes.size() - QYN_STUN_HEADER_SIZE); }

// When the last frame is a FINGERPRINT, gives it the CRC of everything before it.
inline void RefreshFingerprint(TqynBytes& aBytes) {
  const auto frames = Frames(aBytes);
  if (frames.empty() || frames.back().Code != 0x8028 || frames.back().Offset + 8 != aBytes.size()) return;
  const size_t at = frames.back().Offset;
  const uint32_t crc = QynCRC32(aBytes.data(), at) ^ QYN_STUN_FINGERPRINT_XOR;
  for (int i = 0; i < 4; ++i) aBytes[at + 4 + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

// Inserts aFrame at aOffset, then makes length field and FINGERPRINT match again.
inline TqynBytes Inserted(TqynBytes aBytes, size_t aOffset, const TqynBytes& aFrame) {
  aBytes.insert(aBytes.begin() + static_cast<std::ptrdiff_t>(aOffset), aFrame.begin(), aFrame.end());
  FixLength(aBytes);
  RefreshFingerprint(aBytes);
  return aBytes;
}

} // namespace qyn_forge
