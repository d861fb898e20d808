#include "qynId_Address.h"

#include <algorithm>

namespace {

int HexDigit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One decimal number of a dotted text at aPos: one to three digits, no leading zero, at most 255.
bool ParseDecimalPart(std::string_view aText, size_t& aPos, uint8_t& aOut) noexcept {
  const size_t start = aPos;
  unsigned v = 0;
  while (aPos < aText.size() && aPos - start < 4 && aText[aPos] >= '0' && aText[aPos] <= '9')
    v = v * 10 + static_cast<unsigned>(aText[aPos++] - '0');
  const size_t digits = aPos - start;
  if (digits == 0 || digits > 3 || v > 255) return false;
  if (digits > 1 && aText[start] == '0') return false;
  aOut = static_cast<uint8_t>(v);
  return true;
}

} // namespace

bool QynParseIPv4(std::string_view aText, uint8_t aOut[4]) noexcept {
  uint8_t b[4];
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= aText.size() || aText[pos] != '.') return false;
      ++pos;
    }
    if (!ParseDecimalPart(aText, pos, b[part])) return false;
  }
  if (pos != aText.size()) return false;
  std::copy_n(b, 4, aOut);
  return true;
}

bool QynParseIPv6(std::string_view aText, uint8_t aOut[16]) noexcept {
  uint16_t groups[8] = {};
  int count = 0;
  int gap = -1; // index in groups where "::" stands
  const size_t n = aText.size();
  size_t i = 0;
  if (n < 2) return false;
  if (aText[0] == ':') {
    if (aText[1] != ':') return false;
    gap = 0;
    i = 2;
    if (i == n) {
      std::fill(aOut, aOut + 16, 0);
      return true;
    }
  }
  while (i < n) {
    // One group, or a dotted IPv4 tail.
    const size_t start = i;
    uint32_t v = 0;
    while (i < n && HexDigit(aText[i]) >= 0 && i - start < 5) {
      v = (v << 4) | static_cast<uint32_t>(HexDigit(aText[i]));
      ++i;
    }
    if (i < n && aText[i] == '.') {
      uint8_t b[4];
      if (count > 6 || !QynParseIPv4(aText.substr(start), b)) return false;
      groups[count++] = static_cast<uint16_t>((b[0] << 8) | b[1]);
      groups[count++] = static_cast<uint16_t>((b[2] << 8) | b[3]);
      break;
    }
    const size_t len = i - start;
    if (len == 0 || len > 4 || count >= 8) return false;
    groups[count++] = static_cast<uint16_t>(v);
    if (i == n) break;
    if (aText[i] != ':') return false;
    ++i;
    if (i < n && aText[i] == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++i;
      if (i == n) break;
    } else if (i == n) {
      return false; // trailing single colon
    }
  }
  if (gap < 0) {
    if (count != 8) return false;
  } else {
    if (count >= 8) return false; // "::" must stand for at least one group
    const int tail = count - gap;
    std::copy_backward(groups + gap, groups + count, groups + 8);
    std::fill(groups + gap, groups + 8 - tail, uint16_t{0});
  }
  for (int k = 0; k < 8; ++k) {
    aOut[2 * k] = static_cast<uint8_t>(groups[k] >> 8);
    aOut[2 * k + 1] = static_cast<uint8_t>(groups[k]);
  }
  return true;
}
