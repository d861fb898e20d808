#include "qynBase_Convert.h"

#include <cctype>
#include <charconv>

#include "qynMessages.h"

int StrToInt(const std::string& aText) {
  size_t begin = 0, end = aText.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(aText[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(aText[end - 1]))) --end;
  // One sign: a '+' is skipped here, so a '-' after it ("+-5") must not be read as the sign.
  if (begin < end && aText[begin] == '+' && !(begin + 1 < end && aText[begin + 1] == '-')) ++begin;
  int value = 0;
  const char* first = aText.data() + begin;
  const char* last = aText.data() + end;
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (first == last || ec != std::errc() || ptr != last) throw EConvertError(QynFormat(RS_InvalidInteger, aText));
  return value;
}

int StrToIntIn(const std::string& aText, int aMin, int aMax, const char* aRangeMessage) {
  const int value = StrToInt(aText);
  if (value < aMin || value > aMax) throw EConvertError(QynFormat(aRangeMessage, aText));
  return value;
}

TIdPort StrToPort(const std::string& aText) { return static_cast<TIdPort>(StrToIntIn(aText, 0, 65535, RS_InvalidPortNumber)); }
